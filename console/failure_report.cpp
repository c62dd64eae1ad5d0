#include "console/failure_report.h"

#include <cstring>

#include "common/text_format.h"
#include "console/console_output.h"

volatile BYTE DebuggerFlag = 0;

namespace {

// The platform code under which an error of the program is offered to the
// platform, and raised when the platform wants it left to itself.
constexpr DWORD ProgramErrorCode = 0xE0455252;
constexpr uintptr_t FallbackImageOffset = 0x1000;
constexpr char ReportTemplate[] = "Exception %s in module %s at %p.\r\n%s%s\r\n";

// Which of the platform's calls into TopLevelFailureFilter are ours.
bool OfferingToPlatform = false;
bool LeftToPlatform = false;
bool ReportingPlatformFault = false;

LONG OfferToPlatform(const void* position) {
  EXCEPTION_RECORD record = {};
  record.ExceptionCode = ProgramErrorCode;
  record.ExceptionFlags = EXCEPTION_NONCONTINUABLE;
  record.ExceptionAddress = const_cast<void*>(position);
  CONTEXT context = {};
  EXCEPTION_POINTERS failure = {&record, &context};
  OfferingToPlatform = true;
  const LONG verdict = UnhandledExceptionFilter(&failure);
  OfferingToPlatform = false;
  return verdict;
}

// Converts the report's text in place to the OEM code page. The converter is
// looked up in user32 only when a report is written: importing it would have
// the loader map user32 and the libraries it needs into every run, for one
// call that only a failed run makes (under Wine, 3.5 MiB of the tool's
// resident memory). Without user32 the text stays as it is.
void ConvertToOemCodePage(char* text) {
  using CharToOemFunction = BOOL(WINAPI*)(LPCSTR, LPSTR);
  const HMODULE user32 = LoadLibraryA("user32.dll");
  if (user32 == nullptr) return;
  const auto convert =
      reinterpret_cast<CharToOemFunction>(reinterpret_cast<void (*)()>(GetProcAddress(user32, "CharToOemA")));
  if (convert != nullptr) convert(text, text);
}

// Writes out what standard output still holds, so that it precedes the
// report; a failure there raises a new EInOutError.
void WriteOutStandardOutput() {
  if (StandardOutput.IsOpen()) {
    if (const DWORD code = StandardOutput.WriteOut()) RecordOutputFailure(static_cast<int32_t>(code));
  }
  CheckOutput();
}

// The end of every failed run: what standard output still holds goes out
// first, then the process ends with status 1.
[[noreturn]] void Shutdown() {
  StandardOutput.CloseOutput();
  ExitProcess(1);
}

void WriteToStandardError(const char* bytes, DWORD count) {
  DWORD written;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), bytes, count, &written, nullptr);
}

// Everything after the offer to the platform.
[[noreturn]] void WriteReportAndExit(std::string_view className, std::string_view message,
                                     const void* position) {
  CodeLocation location;
  LocateCode(position, location);
  char text[ReportCapacity];
  const size_t length = BuildReportText(text, className, location.ModuleName, location.Offset, message);
  try {
    WriteOutStandardOutput();
  } catch (const EInOutError& failure) {
    // The first report is abandoned for that of the failure to write it out.
    ReportFailure(failure);
  }
  ConvertToOemCodePage(text);
  WriteToStandardError(text, static_cast<DWORD>(length));
  WriteToStandardError("\r\n", 2);
  Shutdown();
}

std::string AccessViolationMessage(const EXCEPTION_RECORD& record) {
  if (record.NumberParameters < 2) return "Access violation";
  const ULONG_PTR kind = record.ExceptionInformation[0];
  const char* access = kind == 0 ? "read" : kind == 1 ? "write" : "execution";
  return Format("Access violation: %s of address %p",
                {access, FormatArgument::Position(static_cast<uint32_t>(record.ExceptionInformation[1]))});
}

RAISES_AT_CALLER void RaiseOutOfMemory() { throw EOutOfMemory(CALLER_POSITION()); }

}  // namespace

size_t BuildReportText(char (&out)[ReportCapacity], std::string_view className, std::string_view moduleName,
                       uint32_t position, std::string_view message) {
  const bool addPeriod = !message.empty() && message.back() != '.';
  return FormatInto(
      out, ReportCapacity, ReportTemplate,
      {className, moduleName, FormatArgument::Position(position), message, addPeriod ? "." : ""});
}

void LocateCode(const void* position, CodeLocation& location) {
  const uintptr_t address = reinterpret_cast<uintptr_t>(position);
  location.Path[0] = '\0';
  MEMORY_BASIC_INFORMATION region;
  DWORD length = 0;
  if (VirtualQuery(position, &region, sizeof region) != 0 && region.State == MEM_COMMIT) {
    length =
        GetModuleFileNameA(static_cast<HMODULE>(region.AllocationBase), location.Path, sizeof location.Path);
  }
  if (length != 0) {
    location.Offset = static_cast<uint32_t>(address - reinterpret_cast<uintptr_t>(region.AllocationBase));
  } else {
    if (GetModuleFileNameA(nullptr, location.Path, sizeof location.Path) == 0) location.Path[0] = '\0';
    location.Offset = static_cast<uint32_t>(address == 0 ? 0 : address - FallbackImageOffset);
  }
  // Older systems leave a path that fills the buffer unterminated.
  location.Path[sizeof location.Path - 1] = '\0';
  const char* lastBackslash = std::strrchr(location.Path, '\\');
  location.ModuleName = lastBackslash != nullptr ? lastBackslash + 1 : location.Path;
}

void ReportFailure(const Exception& error) {
  ReportFailure(error.ClassName(), error.Message(), error.Position());
}

void ReportFailure(std::string_view className, std::string_view message, const void* position) {
  if (DebuggerFlag == 0 && OfferToPlatform(position) == EXCEPTION_CONTINUE_SEARCH) {
    // A debugger wants the failure: hand it over as a platform exception.
    LeftToPlatform = true;
    RaiseException(ProgramErrorCode, EXCEPTION_NONCONTINUABLE, 0, nullptr);
    Shutdown();
  }
  WriteReportAndExit(className, message, position);
}

LONG WINAPI TopLevelFailureFilter(EXCEPTION_POINTERS* failure) {
  if (OfferingToPlatform) return EXCEPTION_EXECUTE_HANDLER;
  if (LeftToPlatform) return EXCEPTION_CONTINUE_SEARCH;
  // A fault while a fault is being reported ends the process at once.
  if (ReportingPlatformFault) ExitProcess(1);
  ReportingPlatformFault = true;

  // The platform consulted this filter because no debugger is attached, so
  // the report follows without another offer.
  const EXCEPTION_RECORD& record = *failure->ExceptionRecord;
  if (record.ExceptionCode == EXCEPTION_ACCESS_VIOLATION) {
    const EAccessViolation error(AccessViolationMessage(record), record.ExceptionAddress);
    WriteReportAndExit(error.ClassName(), error.Message(), error.Position());
  }
  const EPlatformFault error(Format("Platform fault %p", {FormatArgument::Position(record.ExceptionCode)}),
                             record.ExceptionAddress);
  WriteReportAndExit(error.ClassName(), error.Message(), error.Position());
}

void InstallFailureHandling() {
  OfferingToPlatform = false;
  LeftToPlatform = false;
  ReportingPlatformFault = false;
  SetUnhandledExceptionFilter(TopLevelFailureFilter);
  std::set_new_handler(RaiseOutOfMemory);
}
