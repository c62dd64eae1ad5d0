#include "tests/allocation_count.h"

#include <cstdlib>
#include <new>
#include <string>

#include "platform/standin/standin.h"

namespace {

uint64_t All = 0;
uint64_t Core = 0;

void* CountedAllocation(std::size_t size) {
  ++All;
  if (!standin::InsideCall()) ++Core;
  return std::malloc(size == 0 ? 1 : size);
}

}  // namespace

// GCC takes the free() in these replacements for a mismatch with new.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
  while (true) {
    if (void* block = CountedAllocation(size)) return block;
    // The core installs a new handler that raises its own out-of-memory error.
    if (std::new_handler handler = std::get_new_handler()) {
      handler();
    } else {
      throw std::bad_alloc();
    }
  }
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t& /*tag*/) noexcept {
  return CountedAllocation(size);
}
void* operator new[](std::size_t size, const std::nothrow_t& /*tag*/) noexcept {
  return CountedAllocation(size);
}
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t /*size*/) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t /*size*/) noexcept { std::free(block); }
#pragma GCC diagnostic pop

uint64_t AllAllocations() { return All; }
uint64_t CoreAllocations() { return Core; }

RunAllocations CountRunAllocations(const std::function<void()>& run, uint64_t valuesPerSession) {
  // The core's count where each phase began; the hook runs at the start of
  // every platform call, so a value's own work ends where the next call begins.
  const uint64_t started = Core;
  uint64_t queryStarted = started;
  uint64_t listingEnded = started;
  uint64_t secondSessionStarted = started;
  uint64_t lastValueEnded = started;
  uint64_t creates = 0;
  uint64_t steadyValues = 0;
  bool queried = false;
  bool afterValue = false;
  standin::BeforeEachCall([&](const std::string& function) {
    const uint64_t now = Core;
    if (afterValue) lastValueEnded = now;
    afterValue = function == "RegSetValueExA";
    if (function == "RegQueryInfoKeyA" && !queried) {
      queried = true;
      queryStarted = listingEnded = secondSessionStarted = now;
    }
    if (function == "RegCreateKeyExA") {
      ++creates;
      if (creates == 1) listingEnded = secondSessionStarted = now;
      if (creates == valuesPerSession + 1) secondSessionStarted = now;
    }
    if (afterValue && creates > valuesPerSession) ++steadyValues;
  });
  run();
  if (afterValue) lastValueEnded = Core;
  standin::BeforeEachCall(nullptr);

  RunAllocations counts;
  counts.StartUp = queryStarted - started;
  counts.Listing = listingEnded - queryStarted;
  if (creates > 0) {
    counts.FirstSession = (creates > valuesPerSession ? secondSessionStarted : lastValueEnded) - listingEnded;
  }
  counts.SteadyState = creates > valuesPerSession ? lastValueEnded - secondSessionStarted : 0;
  counts.SteadyValues = steadyValues;
  return counts;
}
