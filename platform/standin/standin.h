// Control of the platform stand-in, for tests only: an in-memory registry
// under HKEY_CURRENT_USER, captured standard handles, controllable start-up
// facts, failure injection, and a log of every platform call.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/win32.h"

namespace standin {

/// Back to a fresh process: an empty registry, standard output and error on
/// disk files, an English locale with code page 1252 on platform 2, no
/// injected failures, an empty call log.
void Reset();

// ---- Registry. Paths are below HKEY_CURRENT_USER, names separated by "\".

struct Value {
  DWORD Type;
  std::string Data;
  bool operator==(const Value& other) const { return Type == other.Type && Data == other.Data; }
};

void CreateKey(const std::string& path);
/// The name, within a path, of a key whose name is `name` in UTF-16. A name
/// the ANSI code page holds is its ANSI bytes; one it cannot hold is spelt
/// so that only these control functions reach it, as no ANSI call can.
std::string KeyNameOf(const std::u16string& name);
/// The ANSI code page's conversions as the stand-in models them (byte b of
/// a single-byte code page is U+00bb; 65001 is UTF-8).
std::u16string Widen(const std::string& bytes);
std::string Narrow(const std::u16string& units);
/// Removes the key and its subtree; handles still open on them then fail
/// with ERROR_KEY_DELETED.
void DeleteKey(const std::string& path);
bool KeyExists(const std::string& path);
/// Direct subkeys in the service's enumeration order (case-insensitive).
std::vector<std::string> SubkeyNames(const std::string& path);
void SetValue(const std::string& path, const std::string& name, const Value& value);
std::map<std::string, Value> Values(const std::string& path);

enum Refusal : unsigned { RefuseOpen = 1, RefuseCreate = 2, RefuseSet = 4, RefuseAll = 7 };
/// Makes opens, creates or value writes that target the key fail with `code`.
void Refuse(const std::string& path, unsigned refusals, LONG code = ERROR_ACCESS_DENIED);

int OpenKeyHandles();
int MostOpenKeyHandles();

/// One RegSetValueExA call as the service saw it: the path (below
/// HKEY_CURRENT_USER, names joined by single backslashes) of the key its
/// handle was opened on, or "?" for a handle the service does not know.
struct ValueWrite {
  std::string KeyPath;
  std::string Name;
  Value Data;
  LONG Status;
};
/// Every RegSetValueExA call since Reset, in call order.
const std::vector<ValueWrite>& ValueWrites();
/// The name that every successful RegEnumKeyExA returned since Reset, in call order.
const std::vector<std::string>& EnumeratedNames();
/// Likewise for RegEnumKeyExW.
const std::vector<std::u16string>& EnumeratedWideNames();

// ---- Call log and failure injection. Calls are numbered from 1 since Reset.

/// One line per platform call: its name, arguments and result.
const std::vector<std::string>& CallLog();
void ClearCallLog();
int CallCount();
/// The lines of the log that start with `function`.
std::vector<std::string> CallsOf(const std::string& function);

/// Makes call number `n` fail with `code`; a persistent failure also makes
/// every later call fail that can fail. A call that cannot fail (GetACP,
/// GetLastError, ExitProcess, ...) ignores the injection.
void FailCall(int n, DWORD code, bool persistent = false);
/// Makes the `occurrence`-th call of `function` (from 1) fail with `code`,
/// and, when persistent, every later call of it.
void FailFunction(const std::string& function, int occurrence, DWORD code, bool persistent = false);
/// Makes the next call of `function` fail with `code` (and, when persistent,
/// every later one).
void FailNext(const std::string& function, DWORD code, bool persistent = false);
/// How many calls an injection has made fail since Reset.
int InjectedFailures();

/// Runs before every platform call, with the function's name; tests change
/// the registry from here "between calls".
void BeforeEachCall(std::function<void(const std::string& function)> hook);

/// Whether a platform call is under way, from its start to its log line (the
/// last thing every call does): what is allocated meanwhile is the
/// stand-in's own, not the core's.
bool InsideCall();

// ---- Start-up facts.

struct Facts {
  bool VersionSucceeds = true;
  DWORD PlatformId = 2;
  LCID ThreadLocale = 0x0409;
  bool LocaleInfoSucceeds = true;
  std::string LocaleAnsiCodePage = "1252";
  UINT AnsiCodePage = 1252;
  /// What GetCPInfo knows; a code page missing here makes it fail.
  std::map<UINT, CPINFO> CodePages;
};
Facts& StartupFacts();
/// A CPINFO with the given largest character size and lead-byte pairs.
CPINFO CodePage(UINT maxCharSize, std::vector<BYTE> leadBytePairs = {});

// ---- Standard handles.

enum class Device {
  Console,   // FILE_TYPE_CHAR
  DiskFile,  // FILE_TYPE_DISK
  Pipe,      // FILE_TYPE_PIPE
  Unknown,   // a handle of FILE_TYPE_UNKNOWN
  Invalid,   // GetStdHandle gives INVALID_HANDLE_VALUE
};
void SetStandardOutput(Device device);
void SetStandardError(Device device);
/// The bytes of each successful WriteFile, in order.
const std::vector<std::string>& StandardOutputWrites();
const std::vector<std::string>& StandardErrorWrites();
std::string StandardOutputBytes();
std::string StandardErrorBytes();

// ---- Modules, the failure filter and the end of the process.

/// Code positions in [base, base + size) belong to the module at `path`.
void AddModule(const void* base, size_t size, const std::string& path);
/// What GetModuleFileNameA gives for the program itself.
void SetProgramPath(const std::string& path);
/// With a debugger attached, UnhandledExceptionFilter answers
/// EXCEPTION_CONTINUE_SEARCH without consulting the top-level filter.
void SetDebuggerAttached(bool attached);
LPTOP_LEVEL_EXCEPTION_FILTER TopLevelFilter();

/// Thrown by ExitProcess.
struct ProcessExit {
  UINT Status;
};
/// Thrown by RaiseException.
struct PlatformRaise {
  DWORD Code;
};

}  // namespace standin
