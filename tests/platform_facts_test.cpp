#include "registry/platform_facts.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "test_support.h"

namespace {

struct LocaleCase {
  const char* Case;
  DWORD PlatformId;
  LCID ThreadLocale;
  const char* LocaleCodePage;  // nullptr: GetLocaleInfoA fails
  UINT AnsiCodePage;           // what GetACP returns
  bool Expected;
};

const LocaleCase LocaleCases[] = {
    {"Japanese with code page 932", 2, 0x0411, "932", 1252, true},
    {"Japanese on another platform", 1, 0x0411, "932", 932, false},
    {"English never asks for lead bytes", 2, 0x0409, "932", 932, false},
    {"a zero locale counts as English", 2, 0, "932", 932, false},
    {"a locale with zero low bits counts as English", 2, 0x00110000, "932", 932, false},
    {"a non-western locale with a single-byte code page", 2, 0x0419, "1251", 1251, false},
    {"a non-number falls back to the system code page", 2, 0x0411, "x932", 932, true},
    {"a failed locale query falls back to the system code page", 2, 0x0411, nullptr, 932, true},
    {"a code page GetCPInfo does not know has no lead bytes", 2, 0x0411, "50000", 932, false},
};

void PrintTo(const LocaleCase& locale, std::ostream* out) { *out << locale.Case; }

class DoubleByteLocaleRule : public FreshProcess, public ::testing::WithParamInterface<LocaleCase> {};

TEST_P(DoubleByteLocaleRule, FollowsTheLocalesCodePage) {
  const LocaleCase& locale = GetParam();
  standin::Facts& facts = standin::StartupFacts();
  facts.PlatformId = locale.PlatformId;
  facts.ThreadLocale = locale.ThreadLocale;
  facts.LocaleInfoSucceeds = locale.LocaleCodePage != nullptr;
  facts.LocaleAnsiCodePage = locale.LocaleCodePage != nullptr ? locale.LocaleCodePage : "";
  facts.AnsiCodePage = locale.AnsiCodePage;
  FixPlatformFacts();
  EXPECT_EQ(StartupPlatformFacts().DoubleByteLocale, locale.Expected);
  EXPECT_EQ(StartupPlatformFacts().PlatformId, locale.PlatformId);
}

INSTANTIATE_TEST_SUITE_P(Locales, DoubleByteLocaleRule, ::testing::ValuesIn(LocaleCases),
                         [](const auto& info) {
                           std::string name;
                           for (const char* c = info.param.Case; *c; ++c) name += isalnum(*c) ? *c : '_';
                           return name;
                         });

TEST_F(FreshProcess, EveryWesternLanguageIsSingleByteWhateverItsCodePage) {
  standin::StartupFacts().LocaleAnsiCodePage = "932";
  for (LCID language : {0x00, 0x06, 0x07, 0x09, 0x0A, 0x0B, 0x0C, 0x10, 0x13, 0x14, 0x16, 0x1D}) {
    standin::StartupFacts().ThreadLocale = 0x0400 | language;
    standin::ClearCallLog();
    FixPlatformFacts();
    EXPECT_FALSE(StartupPlatformFacts().DoubleByteLocale) << std::hex << language;
    EXPECT_THAT(standin::CallsOf("GetCPInfo"), ::testing::IsEmpty());
  }
}

TEST_F(FreshProcess, OnlyOrderedLeadBytePairsBeforeTheEndMarkCountAsRanges) {
  standin::Facts& facts = standin::StartupFacts();
  facts.ThreadLocale = 0x0411;
  facts.LocaleAnsiCodePage = "932";
  facts.CodePages[932] = standin::CodePage(2, {0x9F, 0x81});
  FixPlatformFacts();
  EXPECT_FALSE(StartupPlatformFacts().DoubleByteLocale) << "low above high is no range";
  facts.CodePages[932] = standin::CodePage(2, {0x00, 0x00, 0x81, 0x9F});
  FixPlatformFacts();
  EXPECT_FALSE(StartupPlatformFacts().DoubleByteLocale) << "pairs after 0, 0 do not count";
  facts.CodePages[932] = standin::CodePage(2, {0x9F, 0x81, 0xE0, 0xFC});
  FixPlatformFacts();
  EXPECT_TRUE(StartupPlatformFacts().DoubleByteLocale);
}

TEST_F(FreshProcess, AFailedVersionQueryGivesPlatformZeroAndNoDoubling) {
  standin::StartupFacts().VersionSucceeds = false;
  standin::StartupFacts().ThreadLocale = 0x0411;
  standin::StartupFacts().LocaleAnsiCodePage = "932";
  FixPlatformFacts();
  EXPECT_EQ(StartupPlatformFacts().PlatformId, 0u);
  EXPECT_FALSE(StartupPlatformFacts().DoubleByteLocale);
  EXPECT_EQ(standin::CallLog().at(0), "GetVersionExA(148) = 0");
}

}  // namespace
