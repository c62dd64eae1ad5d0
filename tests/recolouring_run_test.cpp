#include "app/recolouring_run.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>

#include "app/colour_scheme.h"
#include "test_support.h"

using ::testing::IsEmpty;

namespace {

std::string Session(const std::string& name) { return SessionsPath + "\\" + name; }

std::string FailureLine(const std::string& session, int index) {
  TStringList scheme;
  LoadColourScheme(scheme);
  return "Could not write value " + scheme.Get(index) +
         " to registry key HKEY_CURRENT_USER\\Software\\Tessaloquin\\Zorvo\\Sessions\\" + session +
         "\\Colour" + std::to_string(index) + "\r\n";
}

std::string AllFailureLines(const std::string& session) {
  std::string lines;
  for (int index = 0; index < 22; ++index) lines += FailureLine(session, index);
  return lines;
}

// What a recoloured session key holds: every scheme text as REG_SZ with its zero.
std::map<std::string, standin::Value> Recoloured(std::map<std::string, standin::Value> others = {}) {
  TStringList scheme;
  LoadColourScheme(scheme);
  for (int32_t index = 0; index < scheme.Count(); ++index) {
    others[ColourValueName(index)] = standin::Value{REG_SZ, scheme.Get(index) + '\0'};
  }
  return others;
}

bool MatchesReport(const std::string& bytes, const std::string& className, const std::string& message) {
  return std::regex_match(
      bytes, std::regex("Exception " + className + " in module zorvo-recolour\\.exe at [0-9A-F]{8}\\.\r\n" +
                        message + "\r\n\r\n"));
}

class Run : public FreshProcess {};

TEST(ColourScheme, HoldsTwentyTwoRgbTextsWithRepeatsKeptApart) {
  TStringList scheme;
  LoadColourScheme(scheme);
  ASSERT_EQ(scheme.Count(), 22);
  EXPECT_EQ(scheme.Get(2), "0,0,0");
  EXPECT_EQ(scheme.Get(4), "0,0,0");
  EXPECT_EQ(scheme.Get(6), "0,0,0");
  const std::regex component("(0|[1-9][0-9]{0,2}),(0|[1-9][0-9]{0,2}),(0|[1-9][0-9]{0,2})");
  for (int32_t index = 0; index < scheme.Count(); ++index) {
    std::smatch parts;
    const std::string& text = scheme.Get(index);
    ASSERT_TRUE(std::regex_match(text, parts, component)) << text;
    for (int part = 1; part <= 3; ++part) EXPECT_LE(std::stoi(parts[part]), 255) << text;
  }
  EXPECT_EQ(ColourValueName(10), "Colour10");
  EXPECT_EQ(ColourValueName(0), "Colour0");
  EXPECT_THROW(scheme.Get(22), EStringListError);
}

TEST_F(Run, WithoutASessionsKeyEndsQuietlyAndCreatesNothing) {
  standin::CreateKey("Software\\Tessaloquin");
  EXPECT_EQ(RunProgram(), 0u);
  EXPECT_FALSE(standin::KeyExists("Software\\Tessaloquin\\Zorvo"));
  EXPECT_THAT(standin::CallsOf("GetStdHandle"), IsEmpty()) << "standard output is never touched";
  EXPECT_THAT(standin::CallsOf("RegCreateKeyExA"), IsEmpty());
  EXPECT_EQ(standin::CallLog().back(), "ExitProcess(0)");
}

TEST_F(Run, WithoutSessionsPrintsNothing) {
  standin::CreateKey(SessionsPath);
  EXPECT_EQ(RunProgram(), 0u);
  EXPECT_THAT(standin::CallsOf("GetStdHandle"), IsEmpty());
  EXPECT_THAT(standin::CallsOf("RegSetValueExA"), IsEmpty());
}

TEST_F(Run, PrintsEverySessionAndWritesTheSchemeIntoItsOwnKeyOnly) {
  standin::SetValue(Session("beta"), "Colour5", standin::Value{REG_DWORD, std::string(4, '\x07')});
  standin::SetValue(Session("beta"), "FontHeight", standin::Value{REG_DWORD, std::string(4, '\x0A')});
  standin::CreateKey(Session("beta") + "\\Grandchild");
  standin::CreateKey(Session("Alpha"));
  standin::SetValue(SessionsPath, "Marker", standin::Value{REG_SZ, std::string("m\0", 2)});

  EXPECT_EQ(RunProgram(), 0u);

  EXPECT_EQ(standin::StandardOutputBytes(), "Alpha\r\nbeta\r\n");
  EXPECT_EQ(standin::Values(Session("Alpha")), Recoloured());
  EXPECT_EQ(standin::Values(Session("beta")),
            Recoloured({{"FontHeight", standin::Value{REG_DWORD, std::string(4, '\x0A')}}}));
  EXPECT_THAT(standin::Values(Session("beta") + "\\Grandchild"), IsEmpty());
  EXPECT_EQ(standin::Values(SessionsPath).size(), 1u);
  EXPECT_EQ(standin::OpenKeyHandles(), 0);
  EXPECT_EQ(standin::MostOpenKeyHandles(), 2);
}

TEST_F(Run, SelectsTheSessionKeyAnewWithCreationForEveryValue) {
  standin::CreateKey(Session("Work"));
  RunProgram();
  const std::vector<std::string> creates = standin::CallsOf("RegCreateKeyExA");
  ASSERT_EQ(creates.size(), 22u);
  for (const std::string& call : creates) {
    EXPECT_THAT(
        call,
        ::testing::StartsWith(
            R"(RegCreateKeyExA(HKCU, "Software\\Tessaloquin\\Zorvo\\Sessions\\Work", 0, NULL, 0, 0xF003F, NULL) = 0 -> k)"));
  }
  EXPECT_EQ(standin::CallsOf("RegCloseKey").size(), 23u);
}

TEST_F(Run, PrintsNamesAndFailureLinesExactlyAsTheKeyNamesRead) {
  const std::string odd = "100% %s %n %d {x} [y] \xF6 \x7F ~";
  standin::CreateKey(Session(odd));
  standin::Refuse(Session(odd), standin::RefuseAll);
  EXPECT_EQ(RunProgram(), 0u);
  EXPECT_EQ(standin::StandardOutputBytes(), odd + "\r\n" + AllFailureLines(odd));
}

TEST_F(Run, ASessionThatRefusesWritesGets22LinesWhileTheOthersAreRecoloured) {
  for (const char* name : {"Alpha", "Locked", "Zulu"}) standin::CreateKey(Session(name));
  standin::Refuse(Session("Locked"), standin::RefuseOpen | standin::RefuseCreate);
  EXPECT_EQ(RunProgram(), 0u);
  EXPECT_EQ(standin::StandardOutputBytes(), "Alpha\r\nLocked\r\n" + AllFailureLines("Locked") + "Zulu\r\n");
  EXPECT_EQ(standin::Values(Session("Alpha")), Recoloured());
  EXPECT_EQ(standin::Values(Session("Zulu")), Recoloured());
  EXPECT_THAT(standin::Values(Session("Locked")), IsEmpty());
  EXPECT_THAT(standin::Values(SessionsPath), IsEmpty());
  EXPECT_EQ(standin::CallsOf("RegSetValueExA").size(), 44u) << "a failed selection writes into no other key";
}

// Sessions named in UTF-16 with characters code page 1252 lacks: selecting
// the names the listing gives would create a phantom session beside the
// first and write the second's colours into "Kosmos" instead.
TEST_F(Run, ASessionWhoseNameTheCodePageCannotHoldIsReportedAndNeverSelected) {
  const std::string emoji = standin::KeyNameOf(u"Emoji \U0001F308 \u03BA\u03CC\u03C3\u03BC\u03B5");
  const std::string twin = standin::KeyNameOf(u"Kosmo\u03C3");
  standin::SetValue(Session(emoji), "Colour0", standin::Value{REG_SZ, std::string("1,1,1\0", 6)});
  standin::CreateKey(Session(twin));
  standin::CreateKey(Session("Kosmos"));
  standin::CreateKey(Session("Plain"));
  const std::vector<std::string> sessionsBefore = standin::SubkeyNames(SessionsPath);

  EXPECT_EQ(RunProgram(), 0u);

  const std::string shownEmoji =
      "Emoji ?? ??s\xB5"
      "e";
  EXPECT_EQ(standin::StandardOutputBytes(), shownEmoji + "\r\n" + AllFailureLines(shownEmoji) + "Kosmos\r\n" +
                                                AllFailureLines("Kosmos") + "Kosmos\r\nPlain\r\n");
  EXPECT_EQ(standin::SubkeyNames(SessionsPath), sessionsBefore) << "no key appeared";
  EXPECT_EQ(standin::Values(Session(emoji)).size(), 1u);
  EXPECT_THAT(standin::Values(Session(twin)), IsEmpty());
  EXPECT_EQ(standin::Values(Session("Kosmos")), Recoloured());
  EXPECT_EQ(standin::CallsOf("RegCreateKeyExA").size(), 44u) << "only the exact names are selected";
}

TEST_F(Run, AValueTheServiceRefusesGetsOneLineAndTheRunGoesOn) {
  standin::CreateKey(Session("Work"));
  standin::FailFunction("RegSetValueExA", 13, ERROR_ACCESS_DENIED);
  EXPECT_EQ(RunProgram(), 0u);
  EXPECT_EQ(standin::StandardOutputBytes(), "Work\r\n" + FailureLine("Work", 12));
  EXPECT_EQ(standin::Values(Session("Work")).size(), 21u);
}

TEST_F(Run, ASessionsKeyThatRefusesAllAccessEndsQuietly) {
  standin::CreateKey(Session("Work"));
  standin::Refuse(SessionsPath, standin::RefuseOpen);
  EXPECT_EQ(RunProgram(), 0u);
  EXPECT_THAT(standin::CallsOf("GetStdHandle"), IsEmpty());
  EXPECT_THAT(standin::Values(Session("Work")), IsEmpty());
}

TEST_F(Run, RecreatesASessionKeyDeletedAfterTheListing) {
  standin::CreateKey(Session("a"));
  standin::CreateKey(Session("b"));
  standin::BeforeEachCall([](const std::string& function) {
    if (function == "GetStdHandle") standin::DeleteKey(Session("b"));
  });
  EXPECT_EQ(RunProgram(), 0u);
  EXPECT_EQ(standin::StandardOutputBytes(), "a\r\nb\r\n");
  EXPECT_EQ(standin::Values(Session("b")), Recoloured());
}

TEST_F(Run, AnOutputFailureOnANameLineEndsTheRunWithTheReport) {
  standin::SetStandardOutput(standin::Device::Console);
  standin::CreateKey(Session("a"));
  standin::FailFunction("WriteFile", 1, 112);
  EXPECT_EQ(RunProgram(), 1u);
  EXPECT_TRUE(MatchesReport(standin::StandardErrorBytes(), "EInOutError", "I/O error 112\\."))
      << standin::StandardErrorBytes();
  EXPECT_THAT(standin::StandardOutputWrites(), IsEmpty());
  EXPECT_THAT(standin::CallsOf("RegSetValueExA"), IsEmpty());
}

TEST_F(Run, AnOutputFailureOnAFailureLineEscapesThePerValueGuard) {
  standin::SetStandardOutput(standin::Device::Console);
  standin::CreateKey(Session("Locked"));
  standin::Refuse(Session("Locked"), standin::RefuseCreate);
  standin::FailFunction("WriteFile", 2, 233);
  EXPECT_EQ(RunProgram(), 1u);
  EXPECT_EQ(standin::StandardOutputBytes(), "Locked\r\n");
  EXPECT_TRUE(MatchesReport(standin::StandardErrorBytes(), "EInOutError", "I/O error 233\\."));
  EXPECT_EQ(standin::CallsOf("RegCreateKeyExA").size(), 1u);
}

TEST_F(Run, AFailedFinalWriteOutIsReportedAfterTheWorkIsDone) {
  standin::SetStandardOutput(standin::Device::Pipe);
  standin::CreateKey(Session("a"));
  standin::CreateKey(Session("b"));
  standin::FailFunction("WriteFile", 1, 233);
  EXPECT_EQ(RunProgram(), 1u);
  EXPECT_TRUE(MatchesReport(standin::StandardErrorBytes(), "EInOutError", "I/O error 233\\."));
  EXPECT_EQ(standin::Values(Session("a")), Recoloured());
  EXPECT_EQ(standin::Values(Session("b")), Recoloured());
}

TEST_F(Run, AnUnusableStandardOutputIsReportedAs105) {
  standin::SetStandardOutput(standin::Device::Invalid);
  standin::CreateKey(Session("a"));
  EXPECT_EQ(RunProgram(), 1u);
  EXPECT_TRUE(MatchesReport(standin::StandardErrorBytes(), "EInOutError", "I/O error 105\\."));
}

TEST_F(Run, WritesSessionNamesWithoutConversionButConvertsTheReport) {
  standin::SetStandardOutput(standin::Device::Pipe);
  standin::SetProgramPath("C:\\Z\xF6rvo Recolour.exe");
  standin::CreateKey(Session("Z\xF6rvo"));
  standin::FailFunction("WriteFile", 1, 233);
  EXPECT_EQ(RunProgram(), 1u);
  EXPECT_TRUE(std::regex_match(
      standin::StandardErrorBytes(),
      std::regex("Exception EInOutError in module Z\x94rvo Recolour\\.exe at [0-9A-F]{8}\\.\r\n"
                 "I/O error 233\\.\r\n\r\n")));
  standin::Reset();
  StandardOutput = ConsoleOutput();
  standin::CreateKey(Session("Z\xF6rvo"));
  EXPECT_EQ(RunProgram(), 0u);
  EXPECT_EQ(standin::StandardOutputBytes(), "Z\xF6rvo\r\n");
}

}  // namespace
