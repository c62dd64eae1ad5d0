// Native microbenchmarks of the core against the platform stand-in: whole
// runs over many sessions, and the standard-output channel on its own.
//
// Heap allocations are counted by the replaced global operator new of
// tests/allocation_count.cpp, which tells the core's own from the
// stand-in's (its call log, its maps): those made while a platform call is
// under way are the stand-in's. A whole run's are split into start-up, the
// listing, the first session and the steady state (every later value), from
// one run outside the timed ones, since telling the phases apart takes time
// of its own.
//
//   run_benchmark [--sessions=N] [--iterations=K] [Google Benchmark flags]
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/recolouring_run.h"
#include "console/console_output.h"
#include "console/run_outcome.h"
#include "platform/standin/standin.h"
#include "tests/allocation_count.h"

int FloorMain();

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

// The tool's whole run over `range(0)` sessions, from start-up to exit.
void WholeRun(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  const std::string expected = ExpectedOutput(count);

  SeedSessions(count);
  FreshChannel();
  FloorMain();
  const int floorCalls = standin::CallCount();
  if (standin::StandardOutputBytes() != expected) state.SkipWithError("the floor's output differs");

  SeedSessions(count);
  FreshChannel();
  UINT status = 0;
  const RunAllocations allocations = CountRunAllocations([&status] { status = RunTool(); }, ColourCount);
  if (status != 0 || standin::StandardOutputBytes() != expected) state.SkipWithError("the run went wrong");
  state.counters["extra_calls"] = standin::CallCount() - floorCalls;

  for (auto _ : state) {
    state.PauseTiming();
    SeedSessions(count);
    FreshChannel();
    state.ResumeTiming();
    status = RunTool();
    state.PauseTiming();
    if (status != 0 || standin::StandardOutputBytes() != expected) state.SkipWithError("the run went wrong");
    state.ResumeTiming();
  }
  state.counters["values"] = static_cast<double>(count) * ColourCount;
  state.counters["core_startup_allocs"] = static_cast<double>(allocations.StartUp);
  state.counters["core_listing_allocs_per_session"] = static_cast<double>(allocations.Listing) / count;
  state.counters["core_first_session_allocs"] = static_cast<double>(allocations.FirstSession);
  state.counters["core_steady_allocs_per_value"] =
      static_cast<double>(allocations.SteadyState) / static_cast<double>(allocations.SteadyValues);
}

// The floor's run over the same registry: the stand-in's own time.
void FloorRun(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  for (auto _ : state) {
    state.PauseTiming();
    SeedSessions(count);
    state.ResumeTiming();
    FloorMain();
  }
  state.counters["values"] = static_cast<double>(count) * ColourCount;
}

// `range(0)` session names written as lines through the channel to a disk
// file, then the final write-out; the stand-in's WriteFile does not count.
void OutputChannel(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  std::vector<std::string> names;
  for (int index = 0; index < count; ++index) names.push_back(SessionName(index));

  uint64_t channelAllocations = 0;
  for (auto _ : state) {
    state.PauseTiming();
    standin::Reset();
    FreshChannel();
    state.ResumeTiming();
    const uint64_t before = CoreAllocations();
    for (const std::string& name : names) {
      StandardOutput.WriteText(name);
      StandardOutput.EndLine();
      CheckOutput();
    }
    StandardOutput.CloseOutput();
    CheckOutput();
    channelAllocations += CoreAllocations() - before;
  }
  const double lines = static_cast<double>(count) * static_cast<double>(state.iterations());
  state.counters["lines"] = count;
  state.counters["channel_allocs_per_line"] = static_cast<double>(channelAllocations) / lines;
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
