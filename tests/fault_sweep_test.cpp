// The fault sweep: the whole run, against a registry of a few sessions (one
// refusing writes), with the n-th platform call failing for n = 1, 2, 3, ...
// until a run reaches no n-th call, as a transient failure, as a persistent
// one (every later call fails too, standard error included), and as one that
// persists in the n-th call's function only (the registry keeps refusing
// while output still works), for each of the failure codes the platform
// really gives, on a console and on a pipe. Calls that cannot fail are swept
// too: their runs inject nothing. Every run must end in an allowed outcome
// (run_invariants.h).
#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>
#include <sstream>

#include "fuzz/run_invariants.h"
#include "test_support.h"

namespace {

const std::string Alpha = "Alpha";
const std::string Locked = "Locked";
const std::string Percent = "100% %s %d";
// Half a surrogate pair: a UTF-16 name that even UTF-8 cannot hold, listed
// with U+FFFD in its place.
const std::u16string HalfPair = u"Half " + std::u16string(1, char16_t{0xD83C}) + u" pair";
const std::string HalfPairListed = "Half \xEF\xBF\xBD pair";
// 72 characters in 136 bytes: the key query, which counts characters,
// undercounts its bytes, so listing it takes the retry with a buffer for any
// name; its lines also span several 128-byte blocks.
const std::string LongUtf8 = [] {
  std::string name = "Sitzung ";
  for (int i = 0; i < 64; ++i) name += "\xC3\xA9";
  return name;
}();

std::string Session(const std::string& name) { return runcheck::SessionsKey + "\\" + name; }
standin::Value Text(const std::string& text) { return standin::Value{REG_SZ, text + '\0'}; }

void BuildRegistry() {
  standin::StartupFacts().AnsiCodePage = 65001;
  standin::StartupFacts().LocaleAnsiCodePage = "65001";
  standin::SetValue(Session(Alpha), "Colour5", standin::Value{REG_DWORD, std::string(4, '\x07')});
  standin::SetValue(Session(Alpha), "Colour21", Text("1,2,3"));
  standin::SetValue(Session(Alpha), "FontHeight", standin::Value{REG_DWORD, std::string(4, '\x0A')});
  standin::SetValue(Session(Alpha) + "\\Grandchild", "Colour0", Text("old"));
  standin::SetValue(Session(Locked), "Colour0", Text("9,9,9"));
  standin::Refuse(Session(Locked), standin::RefuseSet);
  standin::CreateKey(Session(Percent));
  standin::CreateKey(Session(LongUtf8));
  standin::CreateKey(Session(standin::KeyNameOf(HalfPair)));
  standin::SetValue(runcheck::SessionsKey, "Marker", Text("m"));
  standin::SetValue("Software\\Tessaloquin\\Zorvo\\Settings", "Theme", Text("dark"));
}

// Access denied, not found, invalid handle, more data, no more items, disk
// full, pipe closed. FAULT_SWEEP_CODES (for example "234,259") narrows the
// sweep for slow hosts such as valgrind: the codes decide little beyond which
// way the listing goes on after a failed index.
std::vector<DWORD> FailureCodes() {
  std::vector<DWORD> codes = {5, 2, 6, 234, 259, 112, 233};
  if (const char* chosen = std::getenv("FAULT_SWEEP_CODES")) {
    codes.clear();
    std::stringstream list(chosen);
    for (std::string code; std::getline(list, code, ',');) {
      if (!code.empty()) codes.push_back(static_cast<DWORD>(std::stoul(code)));
    }
  }
  return codes;
}

struct Tally {
  int Runs = 0;
  int Completed = 0;
  int Reported = 0;
  int ReportLost = 0;
  std::vector<std::string> Violations;
};

enum class Failure {
  Transient,             // only the n-th call fails
  Persistent,            // the n-th call and every later one fail
  PersistentInFunction,  // the n-th call and every later call of its function fail
};

class FaultSweep : public FreshProcess {
 protected:
  static void NewProcess(standin::Device device) {
    standin::Reset();
    StandardOutput = ConsoleOutput();
    ClearPendingOutputFailure();
    BuildRegistry();
    standin::SetStandardOutput(device);
  }

  // The function of each call of a run without failures, by number from 1:
  // up to the n-th call, a run whose n-th call fails makes the same calls.
  static std::vector<std::string> CleanRunCalls(standin::Device device) {
    NewProcess(device);
    RunProgram();
    std::vector<std::string> functions = {""};
    for (const std::string& line : standin::CallLog()) functions.push_back(line.substr(0, line.find('(')));
    return functions;
  }

  static void Inject(const std::vector<std::string>& cleanCalls, int n, DWORD code, Failure failure) {
    if (failure != Failure::PersistentInFunction) {
      standin::FailCall(n, code, failure == Failure::Persistent);
      return;
    }
    if (n >= static_cast<int>(cleanCalls.size())) return;
    int occurrence = 0;
    for (int i = 1; i <= n; ++i) occurrence += cleanCalls[i] == cleanCalls[n];
    standin::FailFunction(cleanCalls[n], occurrence, code, true);
  }

  static void Sweep(standin::Device device, Failure failure, const std::string& name) {
    const std::vector<std::string> cleanCalls = CleanRunCalls(device);
    Tally tally;
    for (const DWORD code : FailureCodes()) {
      for (int n = 1;; ++n) {
        NewProcess(device);
        const runcheck::Snapshot before = runcheck::TakeSnapshot();
        Inject(cleanCalls, n, code, failure);
        const UINT status = RunProgram();
        const runcheck::Verdict verdict = runcheck::CheckRun(before, {}, status);
        ++tally.Runs;
        tally.Completed += verdict.Completed;
        tally.Reported += verdict.ReportWritten;
        tally.ReportLost += !verdict.Completed && !verdict.ReportWritten;
        for (const std::string& violation : verdict.Violations) {
          tally.Violations.push_back("call " + std::to_string(n) + " (" +
                                     (n < static_cast<int>(cleanCalls.size()) ? cleanCalls[n] : "none") +
                                     ") failing with " + std::to_string(code) + ": " + violation);
        }
        // A call that cannot fail (SetUnhandledExceptionFilter, GetLastError,
        // ...) injects nothing either; the sweep ends past the run's last call.
        if (standin::InjectedFailures() == 0 && standin::CallCount() < n) break;
        ASSERT_LT(n, 100000) << "the sweep does not end";
      }
    }
    std::cout << "[ sweep    ] " << name << ": " << tally.Runs << " runs, " << tally.Completed
              << " completed, " << tally.Reported << " reported, " << tally.ReportLost
              << " with the report lost\n";
    RecordProperty("runs", tally.Runs);
    EXPECT_TRUE(tally.Violations.empty())
        << tally.Violations.size() << " violations, the first: " << tally.Violations.front();
    for (size_t i = 1; i < tally.Violations.size() && i < 8; ++i) ADD_FAILURE() << tally.Violations[i];
    // Each kind of sweep reaches both outcomes, or it would test little.
    EXPECT_GT(tally.Completed, 0);
    EXPECT_GT(tally.Runs - tally.Completed, 0);
    if (failure != Failure::Persistent) {
      EXPECT_GT(tally.Reported, 0);
    }
  }
};

// The layout does what the sweep relies on: a completed run lists all four
// sessions, takes the retry for the long name, prints 22 lines for the one
// refusing writes, and writes only into the three others.
TEST_F(FaultSweep, LayoutRunsCleanlyWithoutInjection) {
  NewProcess(standin::Device::Console);
  const runcheck::Snapshot before = runcheck::TakeSnapshot();
  ASSERT_EQ(RunProgram(), 0u);
  const runcheck::Verdict verdict = runcheck::CheckRun(before, {}, 0);
  EXPECT_TRUE(verdict.Violations.empty()) << verdict.Violations.front();
  EXPECT_EQ(standin::EnumeratedNames(),
            (std::vector<std::string>{HalfPairListed, Percent, Alpha, Locked, LongUtf8}));
  EXPECT_FALSE(standin::KeyExists(Session(HalfPairListed)));
  int moreData = 0;
  for (const std::string& call : standin::CallsOf("RegEnumKeyExA"))
    moreData += call.find(") = 234") != std::string::npos;
  EXPECT_EQ(moreData, 1);
  EXPECT_EQ(standin::Values(Session(Locked)),
            (std::map<std::string, standin::Value>{{"Colour0", Text("9,9,9")}}));
  EXPECT_EQ(standin::Values(Session(Alpha)).at("FontHeight").Type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(standin::Values(Session(Alpha)).at("Colour5"), Text("255,255,0"));
  EXPECT_GT(standin::StandardOutputWrites().size(), 4u + 22u) << "some lines span several blocks";
}

// The checker itself: each of these is something a run must never do, done
// to the stand-in after a clean run, and each must be caught.
TEST_F(FaultSweep, CheckerCatchesWhatARunMustNeverDo) {
  struct Tamper {
    const char* Expected;
    std::function<void()> Do;
  };
  const Tamper tampers[] = {
      {"holds a new or changed value",
       [] { standin::SetValue(runcheck::SessionsKey, "Colour0", Text("215,215,215")); }},
      {"appeared", [] { standin::CreateKey("Software\\Stray"); }},
      {"appeared", [] { standin::CreateKey(Session(HalfPairListed)); }},
      {"vanished", [] { standin::DeleteKey(Session(Alpha) + "\\Grandchild"); }},
      {"was written but does not hold it",
       [] { standin::SetValue(Session(Percent), "Colour3", Text("1,1,1")); }},
      {"changed though no step wrote it",
       [] { standin::SetValue(Session(Locked), "Colour4", Text("0,0,0")); }},
      {"is not",
       [] {
         DWORD written;
         WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), "Alpha\r\n", 7, &written, nullptr);  // a stale name
       }},
      {"a value was written after a failed selection",
       [] {
         // A failed selection that lets the next value land in the key current before it.
         HKEY sessions;
         RegOpenKeyExA(HKEY_CURRENT_USER, runcheck::SessionsKey.c_str(), 0, KEY_ALL_ACCESS, &sessions);
         standin::FailNext("RegCreateKeyExA", ERROR_ACCESS_DENIED);
         HKEY session;
         DWORD disposition;
         RegCreateKeyExA(HKEY_CURRENT_USER, Session(Alpha).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                         &session, &disposition);
         RegSetValueExA(sessions, "Colour0", 0, REG_SZ, reinterpret_cast<const BYTE*>("215,215,215"), 12);
       }},
      {"key handles open",
       [] {
         HKEY key;
         RegOpenKeyExA(HKEY_CURRENT_USER, "", 0, KEY_ALL_ACCESS, &key);
       }},
  };
  for (const Tamper& tamper : tampers) {
    NewProcess(standin::Device::Pipe);
    const runcheck::Snapshot before = runcheck::TakeSnapshot();
    ASSERT_EQ(RunProgram(), 0u);
    tamper.Do();
    const std::vector<std::string> violations = runcheck::CheckRun(before, {}, 0).Violations;
    bool caught = false;
    for (const std::string& violation : violations)
      caught = caught || violation.find(tamper.Expected) != std::string::npos;
    EXPECT_TRUE(caught) << "not caught: " << tamper.Expected;
  }

  // A failed run's report: a second report, or one with a message that names
  // no failure of the run, is caught.
  NewProcess(standin::Device::Console);
  const runcheck::Snapshot before = runcheck::TakeSnapshot();
  standin::FailFunction("WriteFile", 3, 112);
  ASSERT_EQ(RunProgram(), 1u);
  EXPECT_TRUE(runcheck::CheckRun(before, {}, 1).Violations.empty());
  DWORD written;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), "x", 1, &written, nullptr);
  EXPECT_FALSE(runcheck::CheckRun(before, {}, 1).Violations.empty());
}

TEST_F(FaultSweep, TransientFailuresOnAConsole) {
  Sweep(standin::Device::Console, Failure::Transient, "transient, console");
}
TEST_F(FaultSweep, PersistentFailuresOnAConsole) {
  Sweep(standin::Device::Console, Failure::Persistent, "persistent, console");
}
TEST_F(FaultSweep, FunctionFailuresOnAConsole) {
  Sweep(standin::Device::Console, Failure::PersistentInFunction, "persistent in its function, console");
}
TEST_F(FaultSweep, TransientFailuresOnAPipe) {
  Sweep(standin::Device::Pipe, Failure::Transient, "transient, pipe");
}
TEST_F(FaultSweep, PersistentFailuresOnAPipe) {
  Sweep(standin::Device::Pipe, Failure::Persistent, "persistent, pipe");
}
TEST_F(FaultSweep, FunctionFailuresOnAPipe) {
  Sweep(standin::Device::Pipe, Failure::PersistentInFunction, "persistent in its function, pipe");
}

}  // namespace
