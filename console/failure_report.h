// The end of a failed run: the report of the error that escaped the run,
// written to standard error, and exit status 1.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <string_view>

#include "common/exception.h"
#include "platform/win32.h"

/// An exhausted allocation. It is also a std::bad_alloc, so that code which
/// expects the standard's allocation failure still recognises it.
class EOutOfMemory : public Exception, public std::bad_alloc {
 public:
  explicit EOutOfMemory(const void* position) : Exception("Out of memory", position) {}
  const char* ClassName() const override { return "EOutOfMemory"; }
};

/// A platform access fault, turned into an error for the report.
class EAccessViolation : public Exception {
 public:
  using Exception::Exception;
  const char* ClassName() const override { return "EAccessViolation"; }
};

/// Any other platform fault, turned into an error for the report.
class EPlatformFault : public Exception {
 public:
  using Exception::Exception;
  const char* ClassName() const override { return "EPlatformFault"; }
};

/// The report text's room, its terminating zero included.
constexpr size_t ReportCapacity = 1024;

/// Fills the report template into `out`; a text longer than
/// ReportCapacity - 1 bytes is cut. Returns the text's length.
size_t BuildReportText(char (&out)[ReportCapacity], std::string_view className, std::string_view moduleName,
                       uint32_t position, std::string_view message);

/// The module that holds a code position and the position's offset within it;
/// when no module holds it, the program file and the position less 0x1000.
struct CodeLocation {
  char Path[261];
  const char* ModuleName;  // the part of Path after its last backslash
  uint32_t Offset;
};
void LocateCode(const void* position, CodeLocation& location);

/// Reports an error that escaped the run and ends the process with status 1.
[[noreturn]] void ReportFailure(const Exception& error);
/// The same for an error that is not an Exception: it has no message.
[[noreturn]] void ReportFailure(std::string_view className, std::string_view message, const void* position);

/// Installs the handlers that route an exhausted allocation and a platform
/// fault into the report; called once at start-up.
void InstallFailureHandling();

/// The top-level filter that the platform consults before its post-mortem
/// debugger or error-reporting dialog.
LONG WINAPI TopLevelFailureFilter(EXCEPTION_POINTERS* failure);

/// Set only by a debugger that knows this program (it finds the flag through
/// the linker map): failures are then reported without being offered to the
/// platform first. Clear in ordinary runs.
extern volatile BYTE DebuggerFlag;
