// The run's steady state: once its first session is written, writing a value
// allocates nothing on the heap. A binary of its own, since it replaces the
// global operator new, which the memory tools that check unit_tests replace too.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "test_support.h"
#include "tests/allocation_count.h"

namespace {

constexpr uint64_t ValuesPerSession = 22;

class Allocations : public FreshProcess {
 protected:
  // Names longer than a string keeps without the heap, as real host names
  // are; the first in the listing's order may be longer than the others.
  static void SeedSessions(int count, int firstNameLength) {
    for (int index = 0; index < count; ++index) {
      char number[16];
      std::snprintf(number, sizeof number, "%05d", index);
      std::string path = SessionsPath + "\\";
      path.append(index == 0 ? std::string(firstNameLength, 'a') : std::string(20, 'h')).append(number);
      standin::CreateKey(path);
    }
  }
};

TEST_F(Allocations, NoValueAfterTheFirstSessionAllocates) {
  SeedSessions(40, 20);
  const RunAllocations counts = CountRunAllocations([] { EXPECT_EQ(RunProgram(), 0u); }, ValuesPerSession);
  EXPECT_EQ(counts.SteadyValues, 39 * ValuesPerSession) << "the steady state must be the run's later values";
  EXPECT_EQ(counts.SteadyState, 0u);
  EXPECT_GE(counts.Listing, 40u) << "each name over the short-string size takes a block of its own";
}

TEST_F(Allocations, StorageGrownForALongFirstNameServesTheShorterOnes) {
  // The longest name first: the paths built for it leave room for every later one.
  SeedSessions(3, 200);
  const RunAllocations counts = CountRunAllocations([] { EXPECT_EQ(RunProgram(), 0u); }, ValuesPerSession);
  EXPECT_EQ(counts.SteadyValues, 2 * ValuesPerSession);
  EXPECT_EQ(counts.SteadyState, 0u);
}

}  // namespace
