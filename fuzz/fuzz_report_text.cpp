// The failure report's text for random class names, messages of up to 4 KiB,
// module and program paths of up to 1 KiB and random code positions, with
// the module lookups failing at random: the text is the template filled in
// and cut at 1023 bytes, the module name is what follows the last backslash
// of at most 260 bytes of path, the period is added only to a message that
// lacks one, and nothing is written beyond a buffer. The whole report must
// reach standard error as that text and a closing line end, with status 1.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "console/console_output.h"
#include "console/failure_report.h"
#include "platform/standin/standin.h"

namespace {

[[noreturn]] void Violation(const std::string& what) {
  std::fprintf(stderr, "%s\n", what.c_str());
  std::abort();
}

std::string Path(FuzzedDataProvider& in) {
  std::string path;
  const int parts = in.ConsumeIntegralInRange(0, 6);
  for (int i = 0; i < parts; ++i) {
    if (i > 0 || in.ConsumeBool()) path += '\\';
    path += in.ConsumeRandomLengthString(300);
  }
  return path.substr(0, 1024);
}

std::string Hex8(uint32_t value) {
  char text[9];
  std::snprintf(text, sizeof text, "%08X", value);
  return text;
}

struct Setting {
  std::string ProgramPath;
  std::string ModulePath;
  uintptr_t Base;
  size_t Size;
  uintptr_t Position;
  bool QueryFails;
  int LookupFailures;    // 0: none, 1: the first lookup fails, 2: every lookup fails
  int ConverterMissing;  // 0: found; 1: its library, 2: its entry cannot be loaded

  void Apply() const {
    standin::Reset();
    standin::SetProgramPath(ProgramPath);
    standin::AddModule(reinterpret_cast<const void*>(Base), Size, ModulePath);
    if (QueryFails) standin::FailNext("VirtualQuery", 5);
    if (LookupFailures > 0) standin::FailNext("GetModuleFileNameA", 6, LookupFailures == 2);
    if (ConverterMissing > 0)
      standin::FailNext(ConverterMissing == 1 ? "LoadLibraryA" : "GetProcAddress", 126);
  }

  // Where the report places the position: the module's name and the offset.
  std::pair<std::string, uint32_t> Expected() const {
    int lookups = 0;
    const auto lookup = [&](const std::string& text, std::string& path) {
      ++lookups;
      if (LookupFailures == 2 || (LookupFailures == 1 && lookups == 1) || text.empty()) return false;
      path = text.substr(0, 260);  // a 261-byte buffer, its last byte the terminator
      return true;
    };
    std::string path;
    uint32_t offset;
    const bool inModule = !QueryFails && Position >= Base && Position - Base < Size;
    if (inModule && lookup(ModulePath, path)) {
      offset = static_cast<uint32_t>(Position - Base);
    } else {
      if (!lookup(ProgramPath, path)) path.clear();
      offset = static_cast<uint32_t>(Position == 0 ? 0 : Position - 0x1000);
    }
    path = path.substr(0, path.find('\0'));
    const size_t backslash = path.rfind('\\');
    return {backslash == std::string::npos ? path : path.substr(backslash + 1), offset};
  }
};

std::string ExpectedText(const std::string& className, const std::string& module, uint32_t position,
                         const std::string& message) {
  const bool period = !message.empty() && message.back() != '.';
  const std::string full = "Exception " + className + " in module " + module + " at " + Hex8(position) +
                           ".\r\n" + message + (period ? "." : "") + "\r\n";
  return full.substr(0, ReportCapacity - 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  Setting setting;
  setting.ProgramPath = Path(in);
  setting.ModulePath = Path(in);
  // No module lies on the null page: a null module handle names the program itself.
  setting.Base = std::max<uintptr_t>(in.ConsumeIntegral<uintptr_t>(), 0x10000);
  setting.Size = in.ConsumeIntegralInRange<size_t>(1, size_t(1) << 24);
  setting.Position = in.ConsumeBool() ? setting.Base + in.ConsumeIntegralInRange<size_t>(0, setting.Size - 1)
                                      : in.ConsumeIntegral<uintptr_t>();
  if (in.ConsumeIntegralInRange(0, 7) == 0) setting.Position = 0;
  setting.QueryFails = in.ConsumeIntegralInRange(0, 7) == 0;
  setting.LookupFailures = in.ConsumeIntegralInRange(0, 7) < 6 ? 0 : in.ConsumeIntegralInRange(1, 2);
  setting.ConverterMissing = in.ConsumeIntegralInRange(0, 7) < 6 ? 0 : in.ConsumeIntegralInRange(1, 2);
  const std::string className = in.ConsumeRandomLengthString(300);
  const std::string message = in.ConsumeRandomLengthString(4096);
  const auto [module, offset] = setting.Expected();
  if (std::getenv("FUZZ_VERBOSE") != nullptr) {
    std::fprintf(
        stderr,
        "program path %zu bytes, module path %zu bytes at %zx+%zx, position %zx%s, lookups failing %d\n",
        setting.ProgramPath.size(), setting.ModulePath.size(), static_cast<size_t>(setting.Base),
        setting.Size, static_cast<size_t>(setting.Position), setting.QueryFails ? ", query failing" : "",
        setting.LookupFailures);
  }

  // Where the position is.
  setting.Apply();
  const auto location = std::make_unique<CodeLocation>();
  LocateCode(reinterpret_cast<const void*>(setting.Position), *location);
  const size_t pathLength = strnlen(location->Path, sizeof location->Path);
  if (pathLength == sizeof location->Path) Violation("the located path has no terminator");
  if (location->ModuleName < location->Path || location->ModuleName > location->Path + pathLength) {
    Violation("the module name lies outside the located path");
  }
  if (location->ModuleName != module) {
    Violation("module name \"" + std::string(location->ModuleName) + "\", not \"" + module + "\"");
  }
  if (location->Offset != offset) Violation("offset " + Hex8(location->Offset) + ", not " + Hex8(offset));

  // The text, in a buffer of exactly its capacity so that any byte beyond it is caught.
  const std::string expected = ExpectedText(className, module, offset, message);
  const auto buffer = std::make_unique<char[]>(ReportCapacity);
  char(&text)[ReportCapacity] = *reinterpret_cast<char(*)[ReportCapacity]>(buffer.get());
  // An empty message may come without bytes at all (a null pointer), as that
  // of an error that is not an Exception does.
  const std::string_view messageText = message.empty() && in.ConsumeBool() ? std::string_view() : message;
  const size_t length = BuildReportText(text, className, module, offset, messageText);
  if (length > ReportCapacity - 1 || text[length] != '\0') Violation("the text is not cut and terminated");
  if (std::string(text, length) != expected) Violation("the text differs from the template filled in");

  // The whole report, on standard error.
  setting.Apply();
  InstallFailureHandling();
  StandardOutput = ConsoleOutput();
  unsigned status = 0;
  try {
    ReportFailure(className, messageText, reinterpret_cast<const void*>(setting.Position));
  } catch (const standin::ProcessExit& exit) {
    status = exit.Status;
  }
  if (status != 1) Violation("the report ended with status " + std::to_string(status));
  const std::vector<std::string>& writes = standin::StandardErrorWrites();
  if (writes.size() != 2 || writes[1] != "\r\n") Violation("the report is not one text and a line end");
  if (writes[0].size() != expected.size()) Violation("the report's length");
  // The text goes out in the OEM code page: bytes below 128 stay as they are
  // (the conversion stops at a zero byte). Without the converter it goes out
  // as it is.
  const size_t converted = setting.ConverterMissing > 0 ? 0 : expected.find('\0');
  for (size_t i = 0; i < expected.size(); ++i) {
    const auto byte = static_cast<unsigned char>(expected[i]);
    if ((i >= converted || byte < 0x80) && writes[0][i] != expected[i]) {
      Violation("the report's byte " + std::to_string(i));
    }
  }
  if (!standin::StandardOutputWrites().empty()) Violation("the report wrote to standard output");
  return 0;
}
