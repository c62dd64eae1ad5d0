// The stand-in's start-up facts, standard handles, modules, failure filter
// and process end.
#include <cstring>

#include "platform/standin/calls.h"
#include "platform/standin/standin.h"

namespace standin {
namespace {

using detail::BeginCall;
using detail::Hex;
using detail::LogCall;

HANDLE const OutputHandle = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x51));
HANDLE const ErrorHandle = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x52));
HMODULE const User32 = reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x77D40000));

struct StandardStream {
  Device Kind = Device::DiskFile;
  bool Closed = false;
  std::vector<std::string> Writes;
};

struct Module {
  uintptr_t Base;
  size_t Size;
  std::string Path;
};

struct ProcessState {
  Facts StartupFacts;
  StandardStream Output;
  StandardStream Error;
  std::vector<Module> Modules;
  std::string ProgramPath = "C:\\tool\\zorvo-recolour.exe";
  bool DebuggerAttached = false;
  LPTOP_LEVEL_EXCEPTION_FILTER TopFilter = nullptr;
};

ProcessState& Process() {
  static ProcessState state;
  return state;
}

thread_local DWORD LastError = 0;

Facts DefaultFacts() {
  Facts facts;
  facts.CodePages[437] = CodePage(1);
  facts.CodePages[1252] = CodePage(1);
  facts.CodePages[932] = CodePage(2, {0x81, 0x9F, 0xE0, 0xFC});
  facts.CodePages[65001] = CodePage(4);
  return facts;
}

StandardStream* StreamOf(HANDLE handle) {
  if (handle == OutputHandle) return &Process().Output;
  if (handle == ErrorHandle) return &Process().Error;
  return nullptr;
}

std::string HandleName(HANDLE handle) {
  if (handle == OutputHandle) return "out";
  if (handle == ErrorHandle) return "err";
  if (handle == INVALID_HANDLE_VALUE) return "INVALID_HANDLE_VALUE";
  return handle == nullptr ? "NULL" : Hex(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(handle)));
}

const Module* ModuleAt(uintptr_t address) {
  for (const Module& module : Process().Modules) {
    if (address >= module.Base && address - module.Base < module.Size) return &module;
  }
  return nullptr;
}

// Code page 1252 to 437 for the letters the tests use; other bytes above
// 127 have no OEM form here and become '?'.
char OemByte(unsigned char byte) {
  switch (byte) {
    case 0xE4: return static_cast<char>(0x84);  // a umlaut
    case 0xE9: return static_cast<char>(0x82);  // e acute
    case 0xF6: return static_cast<char>(0x94);  // o umlaut
    case 0xFC: return static_cast<char>(0x81);  // u umlaut
    case 0xD6: return static_cast<char>(0x99);  // O umlaut
    default: return byte < 0x80 ? static_cast<char>(byte) : '?';
  }
}

}  // namespace

namespace detail {
void ResetProcess() {
  Process() = ProcessState();
  Process().StartupFacts = DefaultFacts();
  LastError = 0;
}
void SetLastErrorCode(DWORD code) { LastError = code; }
}  // namespace detail

Facts& StartupFacts() { return Process().StartupFacts; }

CPINFO CodePage(UINT maxCharSize, std::vector<BYTE> leadBytePairs) {
  CPINFO info = {};
  info.MaxCharSize = maxCharSize;
  info.DefaultChar[0] = '?';
  for (size_t i = 0; i < leadBytePairs.size() && i < MAX_LEADBYTES; ++i) info.LeadByte[i] = leadBytePairs[i];
  return info;
}

// A new device comes with a new handle, open again.
void SetStandardOutput(Device device) { Process().Output = {device, false, Process().Output.Writes}; }
void SetStandardError(Device device) { Process().Error = {device, false, Process().Error.Writes}; }
const std::vector<std::string>& StandardOutputWrites() { return Process().Output.Writes; }
const std::vector<std::string>& StandardErrorWrites() { return Process().Error.Writes; }

static std::string Joined(const std::vector<std::string>& writes) {
  std::string bytes;
  for (const std::string& write : writes) bytes += write;
  return bytes;
}
std::string StandardOutputBytes() { return Joined(Process().Output.Writes); }
std::string StandardErrorBytes() { return Joined(Process().Error.Writes); }

void AddModule(const void* base, size_t size, const std::string& path) {
  Process().Modules.push_back({reinterpret_cast<uintptr_t>(base), size, path});
}
void SetProgramPath(const std::string& path) { Process().ProgramPath = path; }
void SetDebuggerAttached(bool attached) { Process().DebuggerAttached = attached; }
LPTOP_LEVEL_EXCEPTION_FILTER TopLevelFilter() { return Process().TopFilter; }

}  // namespace standin

using namespace standin;

BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA info) {
  const detail::CallSite call = BeginCall("GetVersionExA");
  const Facts& facts = StartupFacts();
  const bool succeeds = !call.Fails && facts.VersionSucceeds && info->dwOSVersionInfoSize == sizeof *info;
  if (succeeds) {
    info->dwMajorVersion = 6;
    info->dwMinorVersion = 1;
    info->dwBuildNumber = 7601;
    info->dwPlatformId = facts.PlatformId;
    info->szCSDVersion[0] = '\0';
  }
  LogCall("GetVersionExA(" + std::to_string(info->dwOSVersionInfoSize) + ") = " + std::to_string(succeeds));
  return succeeds;
}

LCID WINAPI GetThreadLocale() {
  const detail::CallSite call = BeginCall("GetThreadLocale");
  const LCID locale = call.Fails ? 0 : StartupFacts().ThreadLocale;
  LogCall("GetThreadLocale() = " + Hex(locale));
  return locale;
}

int WINAPI GetLocaleInfoA(LCID locale, LCTYPE type, LPSTR data, int size) {
  const detail::CallSite call = BeginCall("GetLocaleInfoA");
  const Facts& facts = StartupFacts();
  const std::string& text = facts.LocaleAnsiCodePage;
  int result = 0;
  if (!call.Fails && facts.LocaleInfoSucceeds && type == LOCALE_IDEFAULTANSICODEPAGE &&
      static_cast<int>(text.size()) < size) {
    std::memcpy(data, text.c_str(), text.size() + 1);
    result = static_cast<int>(text.size()) + 1;
  } else if (size > 0) {
    std::memset(data, '#', static_cast<size_t>(size));  // what a failed call leaves is undefined
  }
  LogCall("GetLocaleInfoA(" + Hex(locale) + ", " + Hex(type) + ", " + std::to_string(size) +
          ") = " + std::to_string(result));
  return result;
}

UINT WINAPI GetACP() {
  BeginCall("GetACP", false);
  const UINT codePage = StartupFacts().AnsiCodePage;
  LogCall("GetACP() = " + std::to_string(codePage));
  return codePage;
}

BOOL WINAPI GetCPInfo(UINT codePage, LPCPINFO info) {
  const detail::CallSite call = BeginCall("GetCPInfo");
  const Facts& facts = StartupFacts();
  const auto found = facts.CodePages.find(codePage == CP_ACP ? facts.AnsiCodePage : codePage);
  const bool succeeds = !call.Fails && found != facts.CodePages.end();
  if (succeeds) *info = found->second;
  LogCall("GetCPInfo(" + std::to_string(codePage) + ") = " + std::to_string(succeeds));
  return succeeds;
}

HANDLE WINAPI GetStdHandle(DWORD which) {
  const detail::CallSite call = BeginCall("GetStdHandle");
  const bool output = which == STD_OUTPUT_HANDLE;
  const StandardStream& stream = output ? Process().Output : Process().Error;
  HANDLE handle = output ? OutputHandle : ErrorHandle;
  if (call.Fails || stream.Kind == Device::Invalid) handle = INVALID_HANDLE_VALUE;
  if (call.Fails) detail::SetLastErrorCode(call.Code);
  LogCall(std::string("GetStdHandle(") + (output ? "STD_OUTPUT_HANDLE" : "STD_ERROR_HANDLE") +
          ") = " + HandleName(handle));
  return handle;
}

DWORD WINAPI GetFileType(HANDLE file) {
  const detail::CallSite call = BeginCall("GetFileType");
  const StandardStream* stream = StreamOf(file);
  DWORD type = FILE_TYPE_UNKNOWN;
  if (!call.Fails && stream != nullptr && !stream->Closed) {
    switch (stream->Kind) {
      case Device::Console: type = FILE_TYPE_CHAR; break;
      case Device::DiskFile: type = FILE_TYPE_DISK; break;
      case Device::Pipe: type = FILE_TYPE_PIPE; break;
      case Device::Unknown:
      case Device::Invalid: type = FILE_TYPE_UNKNOWN; break;
    }
  }
  LogCall("GetFileType(" + HandleName(file) + ") = " + std::to_string(type));
  return type;
}

BOOL WINAPI CloseHandle(HANDLE object) {
  const detail::CallSite call = BeginCall("CloseHandle");
  StandardStream* stream = StreamOf(object);
  const bool succeeds = !call.Fails && stream != nullptr && !stream->Closed;
  if (stream != nullptr) stream->Closed = true;
  if (!succeeds) detail::SetLastErrorCode(call.Fails ? call.Code : ERROR_INVALID_HANDLE);
  LogCall("CloseHandle(" + HandleName(object) + ") = " + std::to_string(succeeds));
  return succeeds;
}

BOOL WINAPI WriteFile(HANDLE file, LPCVOID bytes, DWORD count, LPDWORD written, LPOVERLAPPED overlapped) {
  const detail::CallSite call = BeginCall("WriteFile");
  StandardStream* stream = StreamOf(file);
  const bool usable = stream != nullptr && !stream->Closed && stream->Kind != Device::Unknown &&
                      stream->Kind != Device::Invalid;
  const bool succeeds = !call.Fails && usable;
  if (succeeds) {
    stream->Writes.emplace_back(static_cast<const char*>(bytes), count);
    if (written != nullptr) *written = count;
  } else {
    detail::SetLastErrorCode(call.Fails ? call.Code : ERROR_INVALID_HANDLE);
  }
  LogCall("WriteFile(" + HandleName(file) + ", " + std::to_string(count) + ", " + detail::Given(overlapped) +
          ") = " + std::to_string(succeeds));
  return succeeds;
}

DWORD WINAPI GetLastError() {
  BeginCall("GetLastError", false);
  LogCall("GetLastError() = " + std::to_string(LastError));
  return LastError;
}

SIZE_T WINAPI VirtualQuery(LPCVOID address, PMEMORY_BASIC_INFORMATION info, SIZE_T size) {
  const detail::CallSite call = BeginCall("VirtualQuery");
  SIZE_T result = 0;
  if (!call.Fails && size >= sizeof *info) {
    const Module* module = ModuleAt(reinterpret_cast<uintptr_t>(address));
    std::memset(info, 0, sizeof *info);
    info->BaseAddress = const_cast<void*>(address);
    info->AllocationBase = module != nullptr ? reinterpret_cast<void*>(module->Base) : nullptr;
    info->State = module != nullptr ? MEM_COMMIT : MEM_FREE;
    result = sizeof *info;
  }
  LogCall("VirtualQuery() = " + std::to_string(result));
  return result;
}

DWORD WINAPI GetModuleFileNameA(HMODULE module, LPSTR path, DWORD size) {
  const detail::CallSite call = BeginCall("GetModuleFileNameA");
  const Module* found = module == nullptr ? nullptr : ModuleAt(reinterpret_cast<uintptr_t>(module));
  const std::string* text = module == nullptr ? &Process().ProgramPath : found ? &found->Path : nullptr;
  DWORD result = 0;
  if (!call.Fails && text != nullptr && size > 0) {
    // A path that does not fit is cut and terminated, and the size returned.
    const size_t copied = text->size() < size ? text->size() : size - 1;
    std::memcpy(path, text->data(), copied);
    path[copied] = '\0';
    result = text->size() < size ? static_cast<DWORD>(copied) : size;
  }
  LogCall(std::string("GetModuleFileNameA(") + (module == nullptr ? "NULL" : "module") + ", " +
          std::to_string(size) + ") = " + std::to_string(result));
  return result;
}

// Only user32, for its CharToOemA, is there to be loaded.
HMODULE WINAPI LoadLibraryA(LPCSTR name) {
  const detail::CallSite call = BeginCall("LoadLibraryA");
  const bool found = !call.Fails && std::string(name) == "user32.dll";
  if (!found) detail::SetLastErrorCode(call.Fails ? call.Code : 126);
  LogCall("LoadLibraryA(" + detail::Quote(name) + ") = " + (found ? "user32" : "NULL"));
  return found ? User32 : nullptr;
}

FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR name) {
  const detail::CallSite call = BeginCall("GetProcAddress");
  const bool found = !call.Fails && module == User32 && std::string(name) == "CharToOemA";
  LogCall("GetProcAddress(" + std::string(module == User32 ? "user32" : "?") + ", " + detail::Quote(name) +
          ") = " + (found ? "CharToOemA" : "NULL"));
  return found ? reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&CharToOemA)) : nullptr;
}

BOOL WINAPI CharToOemA(LPCSTR source, LPSTR target) {
  BeginCall("CharToOemA", false);
  const size_t length = std::strlen(source);
  for (size_t i = 0; i <= length; ++i) target[i] = OemByte(static_cast<unsigned char>(source[i]));
  LogCall("CharToOemA() = 1");
  return 1;
}

LONG WINAPI UnhandledExceptionFilter(EXCEPTION_POINTERS* failure) {
  BeginCall("UnhandledExceptionFilter", false);
  LONG verdict = EXCEPTION_CONTINUE_SEARCH;
  if (!Process().DebuggerAttached) {
    if (Process().TopFilter != nullptr) verdict = Process().TopFilter(failure);
    // Without a filter that decides, the post-mortem debugger runs and the
    // failure counts as handled.
    if (verdict == EXCEPTION_CONTINUE_SEARCH) verdict = EXCEPTION_EXECUTE_HANDLER;
  }
  LogCall("UnhandledExceptionFilter(" + Hex(failure->ExceptionRecord->ExceptionCode) +
          ") = " + std::to_string(verdict));
  return verdict;
}

LPTOP_LEVEL_EXCEPTION_FILTER WINAPI SetUnhandledExceptionFilter(LPTOP_LEVEL_EXCEPTION_FILTER filter) {
  BeginCall("SetUnhandledExceptionFilter", false);
  const LPTOP_LEVEL_EXCEPTION_FILTER previous = Process().TopFilter;
  Process().TopFilter = filter;
  LogCall("SetUnhandledExceptionFilter()");
  return previous;
}

void WINAPI RaiseException(DWORD code, DWORD flags, DWORD argumentCount, const ULONG_PTR* /*arguments*/) {
  BeginCall("RaiseException", false);
  LogCall("RaiseException(" + Hex(code) + ", " + std::to_string(flags) + ", " +
          std::to_string(argumentCount) + ")");
  throw PlatformRaise{code};
}

// Here ExitProcess returns to the test by throwing, and the process goes on.
// A failure that escapes the run ends it on purpose without releasing the
// run's cursor and lists, which on the platform the end of the process takes
// back; the leak checker would report them at the test process's end. The
// suppression is scoped to what the run's main procedure allocated: a leak
// anywhere else (the channel, the report, the stand-in, the tests) is still
// reported. Only sanitizer builds see it.
#if defined(__SANITIZE_ADDRESS__)
#define STANDIN_LEAK_CHECKED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define STANDIN_LEAK_CHECKED 1
#endif
#endif
#ifdef STANDIN_LEAK_CHECKED
extern "C" const char* __lsan_default_suppressions() { return "leak:RecolouringRun\n"; }
extern "C" const char* __lsan_default_options() { return "print_suppressions=0"; }
#endif

void WINAPI ExitProcess(UINT status) {
  BeginCall("ExitProcess", false);
  LogCall("ExitProcess(" + std::to_string(status) + ")");
  throw ProcessExit{status};
}
