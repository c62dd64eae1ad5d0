#include "console/failure_report.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <new>
#include <regex>

#include "test_support.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

const void* At(uintptr_t address) { return reinterpret_cast<const void*>(address); }

std::string ReportOf(std::string_view className, std::string_view module, uint32_t position,
                     std::string_view message) {
  char text[ReportCapacity];
  const size_t length = BuildReportText(text, className, module, position, message);
  return std::string(text, length);
}

TEST(ReportText, AddsAPeriodOnlyToAMessageThatLacksOne) {
  EXPECT_EQ(ReportOf("EInOutError", "tool.exe", 0x17D7, "I/O error 232"),
            "Exception EInOutError in module tool.exe at 000017D7.\r\nI/O error 232.\r\n");
  EXPECT_EQ(ReportOf("EInOutError", "tool.exe", 0xABCDEF01, "Disk full."),
            "Exception EInOutError in module tool.exe at ABCDEF01.\r\nDisk full.\r\n");
  EXPECT_EQ(ReportOf("Exception", "tool.exe", 0, ""),
            "Exception Exception in module tool.exe at 00000000.\r\n\r\n");
  EXPECT_EQ(ReportOf("E", "m", 1, "100% %s %n"), "Exception E in module m at 00000001.\r\n100% %s %n.\r\n");
}

TEST(ReportText, IsCutAt1023Bytes) {
  char text[ReportCapacity];
  const std::string message(4096, 'm');
  EXPECT_EQ(BuildReportText(text, "EOutOfMemory", "tool.exe", 0, message), 1023u);
  EXPECT_EQ(text[1023], '\0');
  EXPECT_EQ(std::string(text, 56), "Exception EOutOfMemory in module tool.exe at 00000000.\r\n");
  EXPECT_EQ(text[1022], 'm');
}

class CodeLocations : public FreshProcess {
 protected:
  void SetUp() override {
    FreshProcess::SetUp();
    standin::AddModule(At(0x400000), 0x10000, "C:\\Program Files\\Zorvo\\zorvo-recolour.exe");
    standin::AddModule(At(0x7C800000), 0x10000, "C:\\windows\\system32\\kernel32.dll");
    standin::SetProgramPath("C:\\tools\\renamed.exe");
  }
  static std::pair<std::string, uint32_t> Locate(uintptr_t position) {
    CodeLocation location;
    LocateCode(At(position), location);
    return {location.ModuleName, location.Offset};
  }
};

TEST_F(CodeLocations, NameTheModuleThatHoldsThePositionAndTheOffsetWithinIt) {
  EXPECT_EQ(Locate(0x4017D7), std::make_pair(std::string("zorvo-recolour.exe"), 0x17D7u));
  EXPECT_EQ(Locate(0x7C801234), std::make_pair(std::string("kernel32.dll"), 0x1234u));
}

TEST_F(CodeLocations, FallBackToTheProgramFileAndThePositionLess4096) {
  EXPECT_EQ(Locate(0x00905000), std::make_pair(std::string("renamed.exe"), 0x904000u));
  EXPECT_EQ(Locate(0), std::make_pair(std::string("renamed.exe"), 0u));
  standin::FailNext("VirtualQuery", 5);
  EXPECT_EQ(Locate(0x4017D7), std::make_pair(std::string("renamed.exe"), 0x4007D7u));
  standin::FailNext("GetModuleFileNameA", 5, true);
  EXPECT_EQ(Locate(0x4017D7), std::make_pair(std::string(""), 0x4007D7u));
}

TEST_F(CodeLocations, ShowAtMost260BytesOfTheModuleName) {
  standin::SetProgramPath(std::string(400, 'n'));
  EXPECT_EQ(Locate(0).first, std::string(260, 'n'));
  standin::SetProgramPath("C:\\" + std::string(300, 'p') + "\\tool.exe");
  EXPECT_EQ(Locate(0).first, std::string(257, 'p'))
      << "a cut path shows what is left after its last backslash";
}

class Report : public CodeLocations {
 protected:
  void SetUp() override {
    CodeLocations::SetUp();
    standin::SetProgramPath("C:\\Program Files\\Zorvo\\zorvo-recolour.exe");
    InstallFailureHandling();
    standin::ClearCallLog();
  }
  static UINT Reported(const Exception& error) {
    try {
      ReportFailure(error);
    } catch (const standin::ProcessExit& exit) {
      return exit.Status;
    }
  }
};

TEST_F(Report, GoesToStandardErrorInTwoWritesAndEndsWithStatus1) {
  EXPECT_EQ(Reported(EInOutError(112, "I/O error 112", At(0x4017D7))), 1u);
  EXPECT_THAT(
      standin::StandardErrorWrites(),
      ElementsAre("Exception EInOutError in module zorvo-recolour.exe at 000017D7.\r\nI/O error 112.\r\n",
                  "\r\n"));
  EXPECT_THAT(
      standin::CallLog(),
      ElementsAre("UnhandledExceptionFilter(0xE0455252) = 1",
                  "VirtualQuery() = " + std::to_string(sizeof(MEMORY_BASIC_INFORMATION)),
                  "GetModuleFileNameA(module, 261) = 41", R"(LoadLibraryA("user32.dll") = user32)",
                  R"(GetProcAddress(user32, "CharToOemA") = CharToOemA)", "CharToOemA() = 1",
                  "GetStdHandle(STD_ERROR_HANDLE) = err", "WriteFile(err, 81, NULL) = 1",
                  "GetStdHandle(STD_ERROR_HANDLE) = err", "WriteFile(err, 2, NULL) = 1", "ExitProcess(1)"));
}

TEST_F(Report, IsConvertedToTheOemCodePage) {
  standin::SetProgramPath("C:\\Z\xF6rvo Recolour.exe");
  Reported(Exception("caf\xE9", At(0x905000)));
  EXPECT_EQ(standin::StandardErrorBytes(),
            "Exception Exception in module Z\x94rvo Recolour.exe at 00904000.\r\ncaf\x82.\r\n\r\n");
}

TEST_F(Report, StaysUnconvertedWhenTheConverterCannotBeLoaded) {
  standin::SetProgramPath("C:\\Z\xF6rvo.exe");
  standin::FailNext("LoadLibraryA", 126);
  EXPECT_EQ(Reported(Exception("x", At(0x905000))), 1u);
  EXPECT_EQ(standin::StandardErrorBytes(),
            "Exception Exception in module Z\xF6rvo.exe at 00904000.\r\nx.\r\n\r\n");
}

TEST_F(Report, FollowsWhatStandardOutputStillHeld) {
  StandardOutput.WriteText("pending line");
  StandardOutput.EndLine();
  standin::ClearCallLog();
  Reported(Exception("boom", At(0x401000)));
  EXPECT_EQ(standin::StandardOutputBytes(), "pending line\r\n");
  EXPECT_EQ(standin::CallsOf("WriteFile"),
            (std::vector<std::string>{"WriteFile(out, 14, NULL) = 1", "WriteFile(err, 70, NULL) = 1",
                                      "WriteFile(err, 2, NULL) = 1"}));
}

TEST_F(Report, OfAFailureToWriteOutStandardOutputReplacesTheFirst) {
  StandardOutput.WriteText("lost line");
  StandardOutput.EndLine();
  standin::FailFunction("WriteFile", 1, 233);
  EXPECT_EQ(Reported(Exception("the first failure", At(0x401000))), 1u);
  const std::string report = standin::StandardErrorBytes();
  EXPECT_TRUE(std::regex_match(report, std::regex("Exception EInOutError in module zorvo-recolour.exe at "
                                                  "[0-9A-F]{8}\\.\r\nI/O error 233\\.\r\n\r\n")))
      << report;
  EXPECT_EQ(standin::StandardErrorWrites().size(), 2u);
  EXPECT_EQ(standin::CallsOf("ExitProcess"), std::vector<std::string>{"ExitProcess(1)"});
}

TEST_F(Report, LeavesTheFailureToAnAttachedDebugger) {
  standin::SetDebuggerAttached(true);
  EXPECT_THROW(Reported(Exception("boom", At(0x401000))), standin::PlatformRaise);
  EXPECT_THAT(standin::StandardErrorWrites(), IsEmpty());
  EXPECT_EQ(standin::CallLog().front(), "UnhandledExceptionFilter(0xE0455252) = 0");
}

TEST_F(Report, SkipsThePlatformWhenTheDebuggerFlagIsSet) {
  DebuggerFlag = 1;
  standin::SetDebuggerAttached(true);
  Reported(Exception("boom", At(0x401000)));
  DebuggerFlag = 0;
  EXPECT_THAT(standin::CallsOf("UnhandledExceptionFilter"), IsEmpty());
  EXPECT_EQ(standin::StandardErrorWrites().size(), 2u);
}

UINT FilterReports(DWORD code, std::vector<ULONG_PTR> information) {
  EXCEPTION_RECORD record = {};
  record.ExceptionCode = code;
  record.ExceptionAddress = const_cast<void*>(At(0x402345));
  record.NumberParameters = static_cast<DWORD>(information.size());
  for (size_t i = 0; i < information.size(); ++i) record.ExceptionInformation[i] = information[i];
  CONTEXT context = {};
  EXCEPTION_POINTERS failure = {&record, &context};
  try {
    standin::TopLevelFilter()(&failure);
  } catch (const standin::ProcessExit& exit) {
    return exit.Status;
  }
  return 0;
}

TEST_F(Report, TurnsAPlatformAccessFaultIntoEAccessViolation) {
  ASSERT_EQ(standin::TopLevelFilter(), &TopLevelFailureFilter);
  EXPECT_EQ(FilterReports(EXCEPTION_ACCESS_VIOLATION, {1, 0x10}), 1u);
  EXPECT_EQ(standin::StandardErrorBytes(),
            "Exception EAccessViolation in module zorvo-recolour.exe at 00002345.\r\n"
            "Access violation: write of address 00000010.\r\n\r\n");
  EXPECT_THAT(standin::CallsOf("UnhandledExceptionFilter"), IsEmpty())
      << "the platform already asked the filter";
}

TEST_F(Report, TurnsAnyOtherPlatformFaultIntoEPlatformFault) {
  EXPECT_EQ(FilterReports(0xC0000094, {}), 1u);
  EXPECT_EQ(standin::StandardErrorBytes(),
            "Exception EPlatformFault in module zorvo-recolour.exe at 00002345.\r\nPlatform fault "
            "C0000094.\r\n\r\n");
}

TEST_F(Report, OfAnExhaustedAllocationIsEOutOfMemory) {
  try {
    void* never = ::operator new(SIZE_MAX / 2);
    ::operator delete(never);
    FAIL() << "the allocation cannot succeed";
  } catch (const std::bad_alloc& failure) {
    const auto* error = dynamic_cast<const EOutOfMemory*>(&failure);
    ASSERT_NE(error, nullptr);
    EXPECT_NE(error->Position(), nullptr);
    EXPECT_EQ(error->Message(), "Out of memory");
  }

  EXPECT_EQ(RunProgram([] { throw std::bad_alloc(); }), 1u);
  EXPECT_EQ(standin::StandardErrorBytes(),
            "Exception EOutOfMemory in module zorvo-recolour.exe at 00000000.\r\nOut of memory.\r\n\r\n");
}

TEST_F(Report, OfAForeignErrorNamesItsTypeWithoutAMessage) {
  EXPECT_EQ(RunProgram([] { throw 42; }), 1u);
  EXPECT_EQ(standin::StandardErrorBytes(),
            "Exception int in module zorvo-recolour.exe at 00000000.\r\n\r\n\r\n");
}

}  // namespace
