#include "registry/registry.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "registry/platform_facts.h"
#include "test_support.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

class RegistryCursor : public FreshProcess {
 protected:
  void SetUp() override {
    FreshProcess::SetUp();
    standin::CreateKey("A\\B\\C");
    standin::CreateKey("Other");
    FixPlatformFacts();
    standin::ClearCallLog();
  }

  std::vector<bool> nameIsExact;

  /// Makes the key S with the subkeys a, b and c current.
  static void SelectThreeSubkeys(TRegistry& registry) {
    for (const char* path : {"S\\a", "S\\b", "S\\c"}) standin::CreateKey(path);
    ASSERT_TRUE(registry.SelectKey("\\S", false));
  }

  static std::vector<std::string> Names(const TStringList& list) {
    std::vector<std::string> names;
    names.reserve(static_cast<size_t>(list.Count()));
    for (int32_t i = 0; i < list.Count(); ++i) names.push_back(list.Get(i));
    return names;
  }
};

struct Selection {
  const char* Case;
  const char* Before;  // selected first with create false; nullptr for no current key
  const char* Path;
  bool Create;
  const char* Call;          // the service call the selection makes
  const char* RecordedPath;  // nullptr when the selection must fail
};

const Selection Selections[] = {
    {"absolute, no current key", nullptr, "\\A\\B", false,
     R"(RegOpenKeyExA(HKCU, "A\\B", 0, 0xF003F) = 0 -> k1)", "A\\B"},
    {"absolute ignores the current key", "\\A", "\\Other", false,
     R"(RegOpenKeyExA(HKCU, "Other", 0, 0xF003F) = 0 -> k2)", "Other"},
    {"relative below the current key", "\\A", "B\\C", false,
     R"(RegOpenKeyExA(k1, "B\\C", 0, 0xF003F) = 0 -> k2)", "A\\B\\C"},
    {"relative with no current key", nullptr, "A\\B", false,
     R"(RegOpenKeyExA(HKCU, "A\\B", 0, 0xF003F) = 0 -> k1)", "A\\B"},
    {"relative below a current key with an empty path", "\\", "A", false,
     R"(RegOpenKeyExA(k1, "A", 0, 0xF003F) = 0 -> k2)", "\\A"},
    {"a lone backslash opens the root even with create", nullptr, "\\", true,
     R"(RegOpenKeyExA(HKCU, "", 0, 0xF003F) = 0 -> k1)", ""},
    {"an empty path opens even with create", nullptr, "", true,
     R"(RegOpenKeyExA(HKCU, "", 0, 0xF003F) = 0 -> k1)", ""},
    {"an empty path below the current key", "\\A", "", true, R"(RegOpenKeyExA(k1, "", 0, 0xF003F) = 0 -> k2)",
     "A\\"},
    {"create makes a missing key", nullptr, "\\New\\Key", true,
     R"(RegCreateKeyExA(HKCU, "New\\Key", 0, NULL, 0, 0xF003F, NULL) = 0 -> k1)", "New\\Key"},
    {"create below the current key", "\\A", "Fresh", true,
     R"(RegCreateKeyExA(k1, "Fresh", 0, NULL, 0, 0xF003F, NULL) = 0 -> k2)", "A\\Fresh"},
    {"a double backslash keeps the second one", nullptr, "\\\\A", false,
     R"(RegOpenKeyExA(HKCU, "\\A", 0, 0xF003F) = 161)", nullptr},
    {"a missing key without create fails", "\\A", "\\Missing", false,
     R"(RegOpenKeyExA(HKCU, "Missing", 0, 0xF003F) = 2)", nullptr},
};

void PrintTo(const Selection& selection, std::ostream* out) { *out << selection.Case; }

class SelectKeyRules : public RegistryCursor, public ::testing::WithParamInterface<Selection> {};

TEST_P(SelectKeyRules, UsesTheRightBaseAndRecordsTheRightPath) {
  const Selection& selection = GetParam();
  TRegistry registry;
  if (selection.Before != nullptr) {
    ASSERT_TRUE(registry.SelectKey(selection.Before, false));
  }
  const HKEY before = registry.CurrentKey();
  const std::string pathBefore = registry.CurrentPath();
  standin::ClearCallLog();

  const bool selected = registry.SelectKey(selection.Path, selection.Create);

  ASSERT_FALSE(standin::CallLog().empty());
  EXPECT_EQ(standin::CallLog()[0], selection.Call);
  if (selection.RecordedPath == nullptr) {
    EXPECT_FALSE(selected);
    EXPECT_EQ(registry.CurrentKey(), before);
    EXPECT_EQ(registry.CurrentPath(), pathBefore);
    EXPECT_EQ(standin::CallLog().size(), 1u) << "a failed selection gives nothing back";
  } else {
    EXPECT_TRUE(selected);
    EXPECT_EQ(registry.CurrentPath(), selection.RecordedPath);
    // The old key is given back only after the new one is open.
    const std::vector<std::string> expected =
        before == nullptr ? std::vector<std::string>{selection.Call}
                          : std::vector<std::string>{selection.Call, "RegCloseKey(k1) = 0"};
    EXPECT_EQ(standin::CallLog(), expected);
  }
}

INSTANTIATE_TEST_SUITE_P(Paths, SelectKeyRules, ::testing::ValuesIn(Selections), [](const auto& info) {
  std::string name;
  for (const char* c = info.param.Case; *c; ++c) name += isalnum(*c) ? *c : '_';
  return name;
});

TEST_F(RegistryCursor, NewCursorHasNoKeyAndDestroyingItCallsNothing) {
  {
    TRegistry registry;
    EXPECT_EQ(registry.CurrentKey(), nullptr);
    EXPECT_EQ(registry.CurrentPath(), "");
    registry.ReleaseKey();
  }
  EXPECT_THAT(standin::CallLog(), IsEmpty());
}

TEST_F(RegistryCursor, KeepsAtMostTwoKeysOpenAndReleasesOnlyWithRegCloseKey) {
  {
    TRegistry registry;
    for (int i = 0; i < 5; ++i) {
      ASSERT_TRUE(registry.SelectKey("\\A\\B", true));
      EXPECT_EQ(standin::OpenKeyHandles(), 1);
    }
    EXPECT_EQ(standin::MostOpenKeyHandles(), 2);
    standin::ClearCallLog();
  }
  EXPECT_THAT(standin::CallLog(), ElementsAre("RegCloseKey(k5) = 0"));
  EXPECT_EQ(standin::OpenKeyHandles(), 0);
}

TEST_F(RegistryCursor, AFailedSelectionLeavesNothingInTheNextOnesPath) {
  TRegistry registry;
  ASSERT_TRUE(registry.SelectKey("\\A\\B\\C", false));
  ASSERT_TRUE(registry.SelectKey("\\A", false));
  EXPECT_FALSE(registry.SelectKey("Missing\\Longer\\Than\\Any", false));
  EXPECT_EQ(registry.CurrentPath(), "A");
  ASSERT_TRUE(registry.SelectKey("B", false));
  EXPECT_EQ(registry.CurrentPath(), "A\\B");
  ASSERT_TRUE(registry.SelectKey("\\Other", true));
  EXPECT_EQ(registry.CurrentPath(), "Other");
}

TEST_F(RegistryCursor, ListingMakesOneQueryAndReusesOneBufferSizedFromTheLongestName) {
  standin::CreateKey("S\\bbb");
  standin::CreateKey("S\\a");
  standin::CreateKey("S\\CC");
  standin::CreateKey("S\\a\\grandchild");
  TRegistry registry;
  ASSERT_TRUE(registry.SelectKey("\\S", false));
  TStringList list;
  list.Add("stale");
  standin::ClearCallLog();

  registry.ListSubkeyNames(list, nameIsExact);

  EXPECT_THAT(Names(list), ElementsAre("a", "bbb", "CC"));
  EXPECT_THAT(nameIsExact, ElementsAre(true, true, true));
  EXPECT_THAT(standin::CallLog(),
              ElementsAre("RegQueryInfoKeyA(k1, NULL, NULL, NULL, &, &, NULL, &, &, &, NULL, &) = 0",
                          "RegEnumKeyExA(k1, 0, buffer1, 4, NULL, NULL, NULL, NULL) = 0",
                          "RegEnumKeyExW(k1, 0, &, 256, NULL, NULL, NULL, NULL) = 0",
                          R"(MultiByteToWideChar(0, 0, "a", 1, &, 256) = 1)",
                          "RegEnumKeyExA(k1, 1, buffer1, 4, NULL, NULL, NULL, NULL) = 0",
                          "RegEnumKeyExW(k1, 1, &, 256, NULL, NULL, NULL, NULL) = 0",
                          R"(MultiByteToWideChar(0, 0, "bbb", 3, &, 256) = 3)",
                          "RegEnumKeyExA(k1, 2, buffer1, 4, NULL, NULL, NULL, NULL) = 0",
                          "RegEnumKeyExW(k1, 2, &, 256, NULL, NULL, NULL, NULL) = 0",
                          R"(MultiByteToWideChar(0, 0, "CC", 2, &, 256) = 2)"));
}

// Names stored in UTF-16 that code page 1252 cannot hold: one comes back
// with question marks and look-alike letters, one as another session's name.
TEST_F(RegistryCursor, ANameTheCodePageCannotHoldIsListedAsItReadsButNotAsExact) {
  standin::CreateKey("S\\Plain");
  standin::CreateKey("S\\Kosmos");
  standin::CreateKey("S\\" + standin::KeyNameOf(u"Emoji \U0001F308 \u03BA\u03CC\u03C3\u03BC\u03B5"));
  standin::CreateKey("S\\" + standin::KeyNameOf(u"Kosmo\u03C3"));
  TRegistry registry;
  ASSERT_TRUE(registry.SelectKey("\\S", false));
  TStringList list;
  registry.ListSubkeyNames(list, nameIsExact);
  EXPECT_THAT(Names(list), ElementsAre("Emoji ?? ??s\xB5"
                                       "e",
                                       "Kosmos", "Kosmos", "Plain"));
  EXPECT_THAT(nameIsExact, ElementsAre(false, false, true, true));
}

TEST_F(RegistryCursor, UnderUtf8OnlyANameWithAHalfSurrogatePairIsNotExact) {
  standin::StartupFacts().AnsiCodePage = 65001;
  standin::StartupFacts().LocaleAnsiCodePage = "65001";
  FixPlatformFacts();
  standin::CreateKey("S\\" + standin::KeyNameOf(u"a \U0001F308 \u03C3"));
  standin::CreateKey("S\\" + standin::KeyNameOf(u"b half " + std::u16string(1, char16_t{0xD83C})));
  TRegistry registry;
  ASSERT_TRUE(registry.SelectKey("\\S", false));
  TStringList list;
  registry.ListSubkeyNames(list, nameIsExact);
  EXPECT_THAT(Names(list), ElementsAre("b half \xEF\xBF\xBD", "a \xF0\x9F\x8C\x88 \xCF\x83"));
  EXPECT_THAT(nameIsExact, ElementsAre(false, true));
}

// The wide listing of an index fails as the ANSI one can: a name gone
// between the two ends the listing, any other failure skips the index, and
// a failed conversion leaves the name listed but not exact.
TEST_F(RegistryCursor, AFailureOfTheWideListingOrTheConversionNeverListsANameAsExact) {
  TRegistry registry;
  SelectThreeSubkeys(registry);
  TStringList list;

  standin::FailFunction("RegEnumKeyExW", 2, ERROR_ACCESS_DENIED);
  standin::FailFunction("MultiByteToWideChar", 2, ERROR_INSUFFICIENT_BUFFER);
  registry.ListSubkeyNames(list, nameIsExact);
  EXPECT_THAT(Names(list), ElementsAre("a", "c"));
  EXPECT_THAT(nameIsExact, ElementsAre(true, false));

  standin::BeforeEachCall([](const std::string& function) {
    if (function == "RegEnumKeyExW" && standin::KeyExists("S\\b")) {
      standin::DeleteKey("S\\b");
      standin::DeleteKey("S\\c");
    }
  });
  registry.ListSubkeyNames(list, nameIsExact);
  EXPECT_THAT(Names(list), ElementsAre("a"));
  EXPECT_THAT(nameIsExact, ElementsAre(true));
}

// Subkeys removed between the ANSI and the wide listing of an index: the
// two calls name two keys, and the index is skipped as a vanished one,
// never listed as a name the code page cannot hold.
TEST_F(RegistryCursor, AnIndexWhoseKeyChangedBetweenTheTwoListingsIsSkipped) {
  TRegistry registry;
  SelectThreeSubkeys(registry);
  standin::BeforeEachCall([](const std::string& function) {
    if (function == "RegEnumKeyExW" && standin::KeyExists("S\\a")) standin::DeleteKey("S\\a");
  });
  TStringList list;
  standin::ClearCallLog();
  registry.ListSubkeyNames(list, nameIsExact);
  EXPECT_THAT(Names(list), ElementsAre("c"));
  EXPECT_THAT(nameIsExact, ElementsAre(true));
  EXPECT_THAT(standin::CallsOf("WideCharToMultiByte"),
              ElementsAre(R"(WideCharToMultiByte(0, 0, "b", 1, &, 1021, NULL, NULL) = 1)"));
}

TEST_F(RegistryCursor, ListingClearsTheListAlsoWhenTheQueryFails) {
  TRegistry registry;
  TStringList list;
  list.Add("stale");
  registry.ListSubkeyNames(list, nameIsExact);  // no key is current: the query on the null handle fails
  EXPECT_EQ(list.Count(), 0);
  EXPECT_THAT(standin::CallsOf("RegEnumKeyExA"), IsEmpty());

  ASSERT_TRUE(registry.SelectKey("\\Other", false));
  list.Add("stale");
  registry.ListSubkeyNames(list, nameIsExact);
  EXPECT_EQ(list.Count(), 0);
}

struct BufferDoubling {
  const char* Case;
  DWORD PlatformId;
  LCID Locale;
  const char* LocaleCodePage;
  DWORD ExpectedLength;
};

void PrintTo(const BufferDoubling& doubling, std::ostream* out) { *out << doubling.Case; }

class NameBufferSize : public RegistryCursor, public ::testing::WithParamInterface<BufferDoubling> {};

TEST_P(NameBufferSize, IsDoubledOnlyOnPlatform2WithADoubleByteLocale) {
  standin::CreateKey("S\\abcde");
  standin::StartupFacts().PlatformId = GetParam().PlatformId;
  standin::StartupFacts().ThreadLocale = GetParam().Locale;
  standin::StartupFacts().LocaleAnsiCodePage = GetParam().LocaleCodePage;
  FixPlatformFacts();
  TRegistry registry;
  ASSERT_TRUE(registry.SelectKey("\\S", false));
  TStringList list;
  standin::ClearCallLog();
  registry.ListSubkeyNames(list, nameIsExact);
  EXPECT_THAT(Names(list), ElementsAre("abcde"));
  EXPECT_EQ(standin::CallsOf("RegEnumKeyExA").at(0), "RegEnumKeyExA(k1, 0, buffer1, " +
                                                         std::to_string(GetParam().ExpectedLength) +
                                                         ", NULL, NULL, NULL, NULL) = 0");
}

INSTANTIATE_TEST_SUITE_P(Locales, NameBufferSize,
                         ::testing::Values(BufferDoubling{"English", 2, 0x0409, "1252", 6},
                                           BufferDoubling{"Japanese", 2, 0x0411, "932", 11},
                                           BufferDoubling{"JapaneseOnPlatform1", 1, 0x0411, "932", 6}),
                         [](const auto& info) { return std::string(info.param.Case); });

TEST_F(RegistryCursor, AFailedIndexIsSkippedAndNeverRepeatsAnEarlierName) {
  TRegistry registry;
  SelectThreeSubkeys(registry);
  TStringList list;

  standin::FailFunction("RegEnumKeyExA", 2, ERROR_ACCESS_DENIED);
  registry.ListSubkeyNames(list, nameIsExact);
  EXPECT_THAT(Names(list), ElementsAre("a", "c"));

  // A subkey removed after the query: the indexes shift and the last one runs out.
  standin::BeforeEachCall([](const std::string& function) {
    if (function == "RegEnumKeyExA" && standin::KeyExists("S\\b")) standin::DeleteKey("S\\b");
  });
  registry.ListSubkeyNames(list, nameIsExact);
  EXPECT_THAT(Names(list), ElementsAre("a", "c"));
}

TEST_F(RegistryCursor, ANameLongerThanTheQuerySaidIsReadWithABufferForAnyName) {
  standin::CreateKey("S\\b");
  standin::CreateKey("S\\c");
  TRegistry registry;
  ASSERT_TRUE(registry.SelectKey("\\S", false));
  standin::BeforeEachCall([](const std::string& function) {
    if (function == "RegEnumKeyExA") standin::CreateKey("S\\a-much-longer-name");
  });
  TStringList list;
  standin::ClearCallLog();
  registry.ListSubkeyNames(list, nameIsExact);
  EXPECT_THAT(Names(list), ElementsAre("a-much-longer-name", "b"));
  EXPECT_THAT(standin::CallsOf("RegEnumKeyExA"),
              ElementsAre("RegEnumKeyExA(k1, 0, buffer1, 2, NULL, NULL, NULL, NULL) = 234",
                          "RegEnumKeyExA(k1, 0, buffer2, 256, NULL, NULL, NULL, NULL) = 0",
                          "RegEnumKeyExA(k1, 1, buffer1, 2, NULL, NULL, NULL, NULL) = 0"));
}

TEST_F(RegistryCursor, UnderUtf8ANonAsciiNameIsReadInsteadOfSkipped) {
  standin::StartupFacts().AnsiCodePage = 65001;
  standin::StartupFacts().LocaleAnsiCodePage = "65001";
  FixPlatformFacts();
  standin::CreateKey("S\\ab");
  standin::CreateKey("S\\\xC3\xA9\xC3\xA9");  // two characters in four bytes
  TRegistry registry;
  ASSERT_TRUE(registry.SelectKey("\\S", false));
  TStringList list;
  standin::ClearCallLog();
  registry.ListSubkeyNames(list, nameIsExact);
  EXPECT_THAT(Names(list), ElementsAre("ab", "\xC3\xA9\xC3\xA9"));
  EXPECT_THAT(standin::CallsOf("RegEnumKeyExA"),
              ElementsAre("RegEnumKeyExA(k1, 0, buffer1, 3, NULL, NULL, NULL, NULL) = 0",
                          "RegEnumKeyExA(k1, 1, buffer1, 3, NULL, NULL, NULL, NULL) = 234",
                          "RegEnumKeyExA(k1, 1, buffer2, 1021, NULL, NULL, NULL, NULL) = 0"));
}

TEST_F(RegistryCursor, PutTextStoresTheTextWithItsTerminatingZero) {
  TRegistry registry;
  ASSERT_TRUE(registry.SelectKey("\\A", false));
  standin::ClearCallLog();
  registry.PutText("Colour0", "215,215,215");
  registry.PutText("Empty", "");
  EXPECT_THAT(standin::CallLog(),
              ElementsAre(R"(RegSetValueExA(k1, "Colour0", 0, 1, "215,215,215\x00", 12) = 0)",
                          R"(RegSetValueExA(k1, "Empty", 0, 1, "\x00", 1) = 0)"));
  EXPECT_EQ(standin::Values("A").at("Empty"), (standin::Value{REG_SZ, std::string(1, '\0')}));
}

TEST_F(RegistryCursor, ARefusedWriteRaisesWithTheValueNameAsDataAndKeepsTheCursor) {
  TRegistry registry;
  try {
    registry.PutText("Name %s %d", "x");
    FAIL() << "a write with no current key must raise";
  } catch (const ERegistryException& error) {
    EXPECT_EQ(error.Message(), "Failed to set data for 'Name %s %d'");
    EXPECT_STREQ(error.ClassName(), "ERegistryException");
  }
  EXPECT_EQ(standin::CallLog().at(0), R"(RegSetValueExA(NULL, "Name %s %d", 0, 1, "x\x00", 2) = 6)");

  standin::Refuse("A", standin::RefuseSet);
  ASSERT_TRUE(registry.SelectKey("\\A", false));
  EXPECT_THROW(registry.PutText("Colour1", "1,2,3"), ERegistryException);
  EXPECT_EQ(registry.CurrentPath(), "A");
  EXPECT_NE(registry.CurrentKey(), nullptr);
}

}  // namespace
