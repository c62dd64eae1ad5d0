// Native microbenchmarks of the core against the platform stand-in: whole
// runs over many sessions, and the standard-output channel on its own. Heap
// allocations are counted by replacing the global operator new.
//
// The stand-in allocates too (its call log, its maps), so the core's share is
// found by subtraction: the floor program (bench/floor.c, built against the
// stand-in) makes the same platform calls with the same arguments over the
// same registry and allocates nothing itself, so its run counts the
// stand-in's allocations alone; the tool's run less the floor's is the
// core's. The tool also makes a few start-up and exit calls that the floor
// does not (start-up facts, GetFileType, SetUnhandledExceptionFilter,
// ExitProcess); their log lines are counted as the core's. For the channel,
// the stand-in's share is that of the same WriteFile calls replayed directly.
//
//   run_benchmark [--sessions=N] [--iterations=K] [Google Benchmark flags]
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "app/recolouring_run.h"
#include "console/console_output.h"
#include "console/run_outcome.h"
#include "platform/standin/standin.h"

int FloorMain();

namespace {

uint64_t Allocations = 0;

void* CountedAllocation(std::size_t size) {
  ++Allocations;
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  return nullptr;
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
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return CountedAllocation(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return CountedAllocation(size); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
#pragma GCC diagnostic pop

namespace {

constexpr int ColourCount = 22;
int SessionCount = 100000;
int Iterations = 3;
const std::string SessionsPath = "Software\\Tessaloquin\\Zorvo\\Sessions";

// The same sessions as the Wine fixture seeds: 22-byte names, each key
// holding an old scheme and two other settings.
std::string SessionName(int index) {
  char name[32];
  std::snprintf(name, sizeof name, "host-%05d.example.org", index);
  return name;
}

void SeedSessions(int count) {
  standin::Reset();
  standin::CreateKey(SessionsPath);
  const std::string port("\x16\0\0\0", 4);
  for (int index = 0; index < count; ++index) {
    const std::string name = SessionName(index);
    const std::string path = SessionsPath + "\\" + name;
    standin::SetValue(path, "HostName", {REG_SZ, name + '\0'});
    standin::SetValue(path, "PortNumber", {REG_DWORD, port});
    for (int colour = 0; colour < ColourCount; ++colour) {
      const std::string old = std::to_string(colour * 11 % 256) + "," + std::to_string(colour * 37 % 256) +
                              "," + std::to_string(colour * 53 % 256);
      standin::SetValue(path, "Colour" + std::to_string(colour), {REG_SZ, old + '\0'});
    }
  }
}

void FreshChannel() {
  StandardOutput = ConsoleOutput();
  try {
    CheckOutput();
  } catch (const EInOutError&) {
  }
}

UINT RunTool() {
  try {
    RunToCompletion(RecolouringRun);
  } catch (const standin::ProcessExit& exit) {
    return exit.Status;
  }
}

std::string ExpectedOutput(int count) {
  std::string output;
  for (int index = 0; index < count; ++index) output += SessionName(index) + "\r\n";
  return output;
}

// What one run costs, counted from a freshly seeded registry.
struct RunCost {
  uint64_t Allocations;
  int Calls;
};

template <class Run>
RunCost MeasureRun(Run&& run) {
  const int callsBefore = standin::CallCount();
  const uint64_t before = Allocations;
  run();
  return {Allocations - before, standin::CallCount() - callsBefore};
}

void ReportAllocations(benchmark::State& state, uint64_t toolAllocations, uint64_t floorAllocations,
                       double values) {
  const double iterations = static_cast<double>(state.iterations());
  const double perRun = static_cast<double>(toolAllocations) / iterations;
  state.counters["values"] = values;
  state.counters["allocs_per_value"] = perRun / values;
  state.counters["standin_allocs_per_value"] = static_cast<double>(floorAllocations) / values;
  state.counters["core_allocs_per_value"] = (perRun - static_cast<double>(floorAllocations)) / values;
}

// The tool's whole run over `range(0)` sessions, from start-up to exit.
void WholeRun(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  const std::string expected = ExpectedOutput(count);

  SeedSessions(count);
  FreshChannel();
  const RunCost floorCost = MeasureRun([] { FloorMain(); });
  if (standin::StandardOutputBytes() != expected) state.SkipWithError("the floor's output differs");

  uint64_t toolAllocations = 0;
  for (auto _ : state) {
    state.PauseTiming();
    SeedSessions(count);
    FreshChannel();
    state.ResumeTiming();
    UINT status = 0;
    const RunCost cost = MeasureRun([&status] { status = RunTool(); });
    state.PauseTiming();
    toolAllocations += cost.Allocations;
    if (status != 0 || standin::StandardOutputBytes() != expected) state.SkipWithError("the run went wrong");
    state.counters["extra_calls"] = cost.Calls - floorCost.Calls;
    state.ResumeTiming();
  }
  ReportAllocations(state, toolAllocations, floorCost.Allocations, static_cast<double>(count) * ColourCount);
}

// The floor's run over the same registry: the stand-in's own time.
void FloorRun(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  uint64_t allocations = 0;
  for (auto _ : state) {
    state.PauseTiming();
    SeedSessions(count);
    state.ResumeTiming();
    allocations += MeasureRun([] { FloorMain(); }).Allocations;
  }
  state.counters["values"] = static_cast<double>(count) * ColourCount;
  state.counters["allocs_per_value"] =
      static_cast<double>(allocations) / static_cast<double>(state.iterations()) / (count * ColourCount);
}

// `range(0)` session names written as lines through the channel to a disk
// file, then the final write-out; allocations less those of the same
// WriteFile calls made directly.
void OutputChannel(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  std::vector<std::string> names;
  for (int index = 0; index < count; ++index) names.push_back(SessionName(index));

  uint64_t channelAllocations = 0, standinAllocations = 0;
  for (auto _ : state) {
    state.PauseTiming();
    standin::Reset();
    FreshChannel();
    state.ResumeTiming();
    const uint64_t before = Allocations;
    for (const std::string& name : names) {
      StandardOutput.WriteText(name);
      StandardOutput.EndLine();
      CheckOutput();
    }
    StandardOutput.CloseOutput();
    CheckOutput();
    state.PauseTiming();
    channelAllocations += Allocations - before;

    const std::vector<std::string> blocks = standin::StandardOutputWrites();
    standin::Reset();
    const uint64_t replayBefore = Allocations;
    const HANDLE handle = GetStdHandle(STD_OUTPUT_HANDLE);
    GetFileType(handle);
    for (const std::string& block : blocks) {
      DWORD written;
      WriteFile(handle, block.data(), static_cast<DWORD>(block.size()), &written, nullptr);
    }
    standinAllocations += Allocations - replayBefore;
    state.ResumeTiming();
  }
  const double lines = static_cast<double>(count) * static_cast<double>(state.iterations());
  state.counters["lines"] = count;
  state.counters["channel_allocs_per_line"] =
      (static_cast<double>(channelAllocations) - static_cast<double>(standinAllocations)) / lines;
}

}  // namespace

int main(int argc, char** argv) {
  // --sessions=N is ours; everything else goes to Google Benchmark.
  std::vector<char*> arguments;
  for (int i = 0; i < argc; ++i) {
    if (std::strncmp(argv[i], "--sessions=", 11) == 0) {
      SessionCount = std::atoi(argv[i] + 11);
    } else if (std::strncmp(argv[i], "--iterations=", 13) == 0) {
      Iterations = std::atoi(argv[i] + 13);
    } else {
      arguments.push_back(argv[i]);
    }
  }
  int argumentCount = static_cast<int>(arguments.size());

  // At 1,000 sessions the stand-in's listing costs little, so the tool's
  // time less the floor's is the core's own; at the large count the
  // stand-in's listing, whose time grows with the square of the count,
  // dominates both, and the floor (which lists between writes, on a cold
  // tree) can take longer than the tool.
  const int smallCount = 1000;
  for (const auto& [name, run] : {std::pair{"WholeRun", WholeRun}, std::pair{"FloorRun", FloorRun}}) {
    // Five repetitions, of which the harness takes the fastest: other work
    // on the machine only ever adds time.
    benchmark::RegisterBenchmark(name, run)
        ->Arg(smallCount)
        ->Iterations(20)
        ->Repetitions(5)
        ->Unit(benchmark::kMillisecond);
    if (SessionCount != smallCount) {
      benchmark::RegisterBenchmark(name, run)
          ->Arg(SessionCount)
          ->Iterations(Iterations)
          ->Unit(benchmark::kMillisecond);
    }
  }
  benchmark::RegisterBenchmark("OutputChannel", OutputChannel)
      ->Arg(SessionCount)
      ->Unit(benchmark::kMillisecond);

  benchmark::Initialize(&argumentCount, arguments.data());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
