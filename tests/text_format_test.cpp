#include "common/text_format.h"

#include <gtest/gtest.h>

#include <string>

TEST(TextFormat, FillsPlaceholdersInOrderAndTakesArgumentsAsData) {
  EXPECT_EQ(Format("Failed to set data for '%s'", {"100% %s %n %d"}),
            "Failed to set data for '100% %s %n %d'");
  EXPECT_EQ(Format("List index out of bounds (%d)", {-2147483647 - 1}),
            "List index out of bounds (-2147483648)");
  EXPECT_EQ(Format("at %p.", {FormatArgument::Position(0xABCDEF)}), "at 00ABCDEF.");
  EXPECT_EQ(Format("%s|%d|%%|%x|%", {"a", 0}), "a|0|%|%x|%");
  EXPECT_EQ(Format("%s and %s", {"only one"}), "only one and ");
}

TEST(TextFormat, CutsAtTheCapacityAndAlwaysTerminates) {
  char out[8];
  EXPECT_EQ(FormatInto(out, sizeof out, "%s!", {"abcdefghij"}), 7u);
  EXPECT_STREQ(out, "abcdefg");
  EXPECT_EQ(FormatInto(out, 1, "%s", {"abc"}), 0u);
  EXPECT_STREQ(out, "");
}
