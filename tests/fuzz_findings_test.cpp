// Cases raised by the fuzz targets and the sanitizer builds, each the
// smallest that shows its point. Natively the first passes whether or not
// its fault is there; under the sanitize preset (UndefinedBehaviorSanitizer)
// the fault stops it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string_view>

#include "common/text_format.h"
#include "registry/platform_facts.h"
#include "registry/registry.h"
#include "test_support.h"

namespace {

// An empty std::string_view holds no bytes at all (its data pointer is null),
// and copying from a null pointer is undefined even when nothing is copied.
// The run passes one for the message of an error that is not an Exception.
TEST(SanitizerFindings, AnEmptyTextWithoutBytesIsFilledInWithoutCopyingFromIt) {
  char out[16];
  EXPECT_EQ(FormatInto(out, sizeof out, "[%s]", {std::string_view()}), 2u);
  EXPECT_STREQ(out, "[]");
}

class AnyNameBuffer : public FreshProcess {};

// The retry's buffer holds any name the service can have; a longer one (only
// the stand-in can make it) is skipped like any other failed index, never
// listed cut to the buffer's size.
TEST_F(AnyNameBuffer, ANameLongerThanItIsSkippedNotCut) {
  FixPlatformFacts();
  standin::CreateKey("S\\b");
  TRegistry registry;
  ASSERT_TRUE(registry.SelectKey("\\S", false));
  standin::BeforeEachCall([](const std::string& function) {
    if (function == "RegEnumKeyExA") standin::CreateKey("S\\a" + std::string(299, 'x'));
  });
  TStringList list;
  std::vector<bool> nameIsExact;
  standin::ClearCallLog();
  registry.ListSubkeyNames(list, nameIsExact);
  EXPECT_EQ(list.Count(), 0);
  EXPECT_THAT(standin::CallsOf("RegEnumKeyExA"),
              ::testing::ElementsAre("RegEnumKeyExA(k1, 0, buffer1, 2, NULL, NULL, NULL, NULL) = 234",
                                     "RegEnumKeyExA(k1, 0, buffer2, 256, NULL, NULL, NULL, NULL) = 234"));
}

}  // namespace
