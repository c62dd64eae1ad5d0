// Heap allocations counted by replacing the global operator new, for the
// allocation test and the native microbenchmark: all of them, and the
// core's own, those made while no platform call of the stand-in is under way.
#pragma once

#include <cstdint>
#include <functional>

uint64_t AllAllocations();
uint64_t CoreAllocations();

/// The core's allocations during one run, by phase, told apart by the
/// platform calls that the run makes.
struct RunAllocations {
  uint64_t StartUp = 0;       // until the key query that starts the listing
  uint64_t Listing = 0;       // from there until the first session's key is created
  uint64_t FirstSession = 0;  // while the first session's values are written
  uint64_t SteadyState = 0;   // while every later value is written
  uint64_t SteadyValues = 0;  // how many values the steady state wrote
};

/// Runs `run` against the stand-in, through a between-calls hook of its own,
/// and splits the core's allocations into phases; a session is
/// `valuesPerSession` values.
RunAllocations CountRunAllocations(const std::function<void()>& run, uint64_t valuesPerSession);
