// Shared by the stand-in's parts: numbering, logging and failing calls.
#pragma once

#include <cstddef>
#include <string>

#include "platform/win32.h"

namespace standin::detail {

struct CallSite {
  bool Fails;  // an injected failure applies to this call
  DWORD Code;  // the injected failure's code
};

/// Runs the between-calls hook, numbers the call and decides whether an
/// injected failure applies to it (only when it can fail).
CallSite BeginCall(const char* function, bool canFail = true);
void LogCall(std::string line);

/// A zero-terminated text, quoted, with backslash, quote and every byte
/// outside 0x20..0x7E escaped; NULL for a null pointer.
std::string Quote(const char* text);
std::string QuoteBytes(const void* bytes, size_t count);
std::string Hex(uint32_t number);
/// "NULL" for a null pointer, "&" for any other: which out-arguments a call asked for.
std::string Given(const void* pointer);

void SetLastErrorCode(DWORD code);

void ResetRegistry();
void ResetProcess();

}  // namespace standin::detail
