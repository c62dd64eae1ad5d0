// The whole run over a random registry: 1 to 50 sessions whose names are 1 to
// 255 random bytes (no backslash, no zero byte) or, now and then, 1 to 60
// random UTF-16 units that the code page may not hold, random values already in
// them, random refusals, random code pages and locales, random standard
// output and error devices, random failing calls, and sessions removed or
// added between calls, among them between the listing's key query and its
// enumeration. Every run must keep the invariants of run_invariants.h.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/recolouring_run.h"
#include "console/console_output.h"
#include "console/run_outcome.h"
#include "fuzz/run_invariants.h"

namespace {

using runcheck::SessionsKey;

const DWORD Codes[] = {5, 2, 6, 234, 259, 112, 233, 1018};
const char* const RegistryCalls[] = {"RegOpenKeyExA", "RegCreateKeyExA", "RegQueryInfoKeyA", "RegEnumKeyExA",
                                     "RegEnumKeyExW", "RegSetValueExA",  "RegCloseKey"};
const char* const OtherCalls[] = {"WriteFile",           "GetStdHandle",        "GetFileType",
                                  "MultiByteToWideChar", "WideCharToMultiByte", "GetCPInfo",
                                  "VirtualQuery",        "GetModuleFileNameA",  "GetVersionExA",
                                  "LoadLibraryA",        "GetProcAddress"};
const standin::Device Devices[] = {standin::Device::Console, standin::Device::DiskFile, standin::Device::Pipe,
                                   standin::Device::Unknown, standin::Device::Invalid};

std::string SessionName(FuzzedDataProvider& in) {
  const size_t length = in.ConsumeIntegralInRange<size_t>(1, 255);
  std::string name = in.ConsumeBytesAsString(length);
  if (name.empty()) name = "s";
  for (char& byte : name) {
    if (byte == '\\' || byte == '\0') byte = '_';
  }
  return name;
}

// A name kept in UTF-16: random units, surrogates and all, but no zero and no backslash.
std::string WideSessionName(FuzzedDataProvider& in) {
  std::u16string name(in.ConsumeIntegralInRange<size_t>(1, 60), u'_');
  for (char16_t& unit : name) {
    unit = in.ConsumeIntegral<char16_t>();
    if (unit == 0 || unit == u'\\') unit = u'_';
  }
  return standin::KeyNameOf(name);
}

void ChooseFacts(FuzzedDataProvider& in) {
  standin::Facts& facts = standin::StartupFacts();
  switch (in.ConsumeIntegralInRange(0, 4)) {
    case 0: break;  // English, code page 1252
    case 1:         // UTF-8: the key query counts characters, names take more bytes
      facts.AnsiCodePage = 65001;
      facts.LocaleAnsiCodePage = "65001";
      break;
    case 2:  // a double-byte locale: the query's counts are doubled
      facts.ThreadLocale = 0x0411;
      facts.AnsiCodePage = 932;
      facts.LocaleAnsiCodePage = "932";
      break;
    case 3:  // a double-byte system code page under a western locale: no doubling
      facts.AnsiCodePage = 932;
      break;
    case 4:  // a code page that GetCPInfo does not know
      facts.AnsiCodePage = 1256;
      facts.LocaleAnsiCodePage = "1256";
      facts.ThreadLocale = 0x0401;
      break;
  }
  if (in.ConsumeIntegralInRange(0, 7) == 0) facts.PlatformId = 1;
  if (in.ConsumeIntegralInRange(0, 15) == 0) facts.VersionSucceeds = false;
}

void FillRegistry(FuzzedDataProvider& in) {
  standin::SetValue(SessionsKey, "Marker", standin::Value{REG_SZ, std::string("m\0", 2)});
  standin::SetValue("Software\\Tessaloquin\\Zorvo\\Settings", "Colour0",
                    standin::Value{REG_SZ, std::string("x\0", 2)});
  if (in.ConsumeIntegralInRange(0, 31) == 0) standin::Refuse(SessionsKey, standin::RefuseOpen);
  const int sessions = in.ConsumeIntegralInRange(1, 50);
  for (int i = 0; i < sessions; ++i) {
    const bool wide = in.ConsumeIntegralInRange(0, 7) == 0;
    const std::string path = SessionsKey + "\\" + (wide ? WideSessionName(in) : SessionName(in));
    standin::CreateKey(path);
    const int values = in.ConsumeIntegralInRange(0, 3);
    for (int v = 0; v < values; ++v) {
      const std::string name = in.ConsumeBool() ? "Colour" + std::to_string(in.ConsumeIntegralInRange(0, 23))
                                                : in.ConsumeRandomLengthString(12);
      const DWORD type = in.PickValueInArray({REG_SZ, REG_DWORD, REG_BINARY, REG_NONE});
      standin::SetValue(path, name, standin::Value{type, in.ConsumeRandomLengthString(16)});
    }
    if (in.ConsumeIntegralInRange(0, 7) == 0) {
      standin::SetValue(path + "\\Child", "Colour1", standin::Value{REG_SZ, std::string("c\0", 2)});
    }
    if (in.ConsumeIntegralInRange(0, 3) == 0) {
      const unsigned refusals = in.ConsumeIntegralInRange<unsigned>(1, standin::RefuseAll);
      standin::Refuse(path, refusals, static_cast<LONG>(in.PickValueInArray(Codes)));
    }
  }
}

void InjectFailures(FuzzedDataProvider& in) {
  const int injections = in.ConsumeIntegralInRange(0, 4);
  for (int i = 0; i < injections; ++i) {
    const DWORD code = in.PickValueInArray(Codes);
    const bool persistent = in.ConsumeIntegralInRange(0, 3) == 0;
    switch (in.ConsumeIntegralInRange(0, 3)) {
      case 0: standin::FailFunction("WriteFile", in.ConsumeIntegralInRange(1, 40), code, persistent); break;
      case 1:
        standin::FailFunction(in.PickValueInArray(RegistryCalls), in.ConsumeIntegralInRange(1, 400), code,
                              persistent);
        break;
      case 2:
        standin::FailFunction(in.PickValueInArray(OtherCalls), in.ConsumeIntegralInRange(1, 8), code,
                              persistent);
        break;
      case 3: standin::FailCall(in.ConsumeIntegralInRange(1, 4000), code, persistent); break;
    }
  }
}

// Changes to the registry made "between calls": before the occurrence-th call
// of a function, a session is removed, the sessions key is removed, or a
// session is added (often with a longer name than any listed so far).
struct Change {
  std::string Function;  // "" for any call
  int Occurrence;
  int Action;  // 0, 1: remove a session; 2: remove the sessions key; 3, 4: add a session
  size_t Which;
  std::string Name;
};

struct Harness {
  std::vector<Change> Changes;
  std::map<std::string, int> Seen;
  runcheck::HarnessChanges Made;

  void Before(const std::string& function) {
    ++Seen[""];
    ++Seen[function];
    for (const Change& change : Changes) {
      if (Seen[change.Function] != change.Occurrence ||
          (!change.Function.empty() && change.Function != function)) {
        continue;
      }
      if (change.Action <= 1) {
        const std::vector<std::string> names = standin::SubkeyNames(SessionsKey);
        if (names.empty()) continue;
        const std::string path = SessionsKey + "\\" + names[change.Which % names.size()];
        standin::DeleteKey(path);
        Made.Deleted.insert(path);
      } else if (change.Action == 2) {
        if (!standin::KeyExists(SessionsKey)) continue;
        standin::DeleteKey(SessionsKey);
        Made.Deleted.insert(SessionsKey);
      } else {
        const std::string path = SessionsKey + "\\" + change.Name;
        if (standin::KeyExists(path)) continue;  // names compare without regard to case
        standin::CreateKey(path);
        Made.Added.insert(path);
      }
    }
  }
};

Harness* Current = nullptr;

void PlanChanges(FuzzedDataProvider& in, Harness& harness) {
  const int changes = in.ConsumeIntegralInRange(0, 4);
  for (int i = 0; i < changes; ++i) {
    Change change;
    change.Function = in.PickValueInArray({"", "RegEnumKeyExA", "RegEnumKeyExA", "RegEnumKeyExW",
                                           "RegCreateKeyExA", "RegSetValueExA", "WriteFile"});
    const bool listing = change.Function == "RegEnumKeyExA" || change.Function == "RegEnumKeyExW";
    change.Occurrence = in.ConsumeIntegralInRange(1, listing ? 50 : 600);
    change.Action = in.ConsumeIntegralInRange(0, 4);
    change.Which = in.ConsumeIntegral<size_t>();
    change.Name = SessionName(in);
    harness.Changes.push_back(std::move(change));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  standin::Reset();
  StandardOutput = ConsoleOutput();
  try {
    CheckOutput();
  } catch (const EInOutError&) {
  }

  ChooseFacts(in);
  FillRegistry(in);
  standin::SetStandardOutput(in.PickValueInArray(Devices));
  standin::SetStandardError(in.ConsumeIntegralInRange(0, 3) == 0 ? in.PickValueInArray(Devices)
                                                                 : standin::Device::DiskFile);
  InjectFailures(in);
  Harness harness;
  PlanChanges(in, harness);
  const runcheck::Snapshot before = runcheck::TakeSnapshot();
  Current = &harness;
  standin::BeforeEachCall([](const std::string& function) { Current->Before(function); });

  UINT status = 0;
  try {
    RunToCompletion(RecolouringRun);
  } catch (const standin::ProcessExit& exit) {
    status = exit.Status;
  }
  standin::BeforeEachCall(nullptr);
  Current = nullptr;

  const runcheck::Verdict verdict = runcheck::CheckRun(before, harness.Made, status);
  if (std::getenv("FUZZ_VERBOSE") != nullptr) {
    int moreData = 0;
    for (const std::string& call : standin::CallsOf("RegEnumKeyExA"))
      moreData += call.find(") = 234") != std::string::npos;
    std::fprintf(stderr,
                 "status %u%s, %zu sessions before, %zu listed, %zu value writes, %zu output writes, "
                 "%d failures injected, %zu removed, %zu added, %d enumerations needing more room\n",
                 status,
                 status == 0             ? ""
                 : verdict.ReportWritten ? " reported"
                                         : " report lost",
                 standin::SubkeyNames(runcheck::SessionsKey).size(), standin::EnumeratedNames().size(),
                 standin::ValueWrites().size(), standin::StandardOutputWrites().size(),
                 standin::InjectedFailures(), harness.Made.Deleted.size(), harness.Made.Added.size(),
                 moreData);
  }
  if (!verdict.Violations.empty()) {
    std::fprintf(stderr, "exit status %u; %zu violations:\n", status, verdict.Violations.size());
    for (const std::string& violation : verdict.Violations) std::fprintf(stderr, "  %s\n", violation.c_str());
    std::fprintf(stderr, "call log (last 40 of %zu):\n", standin::CallLog().size());
    const std::vector<std::string>& log = standin::CallLog();
    for (size_t i = log.size() > 40 ? log.size() - 40 : 0; i < log.size(); ++i) {
      std::fprintf(stderr, "  %s\n", log[i].c_str());
    }
    std::abort();
  }
  return 0;
}
