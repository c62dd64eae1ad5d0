#!/usr/bin/env bash
# The benchmark suite: builds the tool, the floor, the registry fixtures and
# the native microbenchmark, then measures under Wine in a scratch prefix of
# its own (made by the end-to-end harness, removed at the end). The table
# goes to standard output and to build/bench-results/table.txt, progress to
# standard error. Exit status: 0 when every target is met, 1 when one is
# missed, 2 when a run went wrong, 3 when one stayed undecided. Extra
# arguments go to bench/wine_bench.py (--rounds, --sizes, --budget, --cpu,
# --reg-add-sessions, --reg-add-rounds, --native-sessions).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
echo "Building ..." >&2
cmake --preset win32 >/dev/null
cmake --build --preset win32 --target zorvo-recolour bench-floor bench-fixture e2e-fixture >/dev/null
cmake --preset native >/dev/null
cmake --build --preset native --target run_benchmark >/dev/null

scratch=$(mktemp -d "${TMPDIR:-/tmp}/zorvo-bench.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

# The tool and the wineserver answer each other for every registry call, so
# other work on a shared machine slows a run several-fold at times: as root
# the suite runs in a session of its own (a scheduling group of its own,
# which wine_bench.py raises) at a raised priority.
priority=()
[[ $(id -u) -eq 0 ]] && priority=(setsid --wait nice -n -10)

# The stand-in lists subkeys in time that grows with the square of their
# number, so the native default is 10,000 sessions rather than 100,000.
"${priority[@]}" python3 -B bench/wine_bench.py \
  --exe build/win32/zorvo-recolour.exe \
  --floor build/win32/bench/floor.exe \
  --fixture build/win32/bench/fixture.exe \
  --harness-fixture build/win32/e2e/fixture.exe \
  --prefix "$scratch/prefix" \
  --native build/native/bench/run_benchmark \
  --native-sessions "${BENCH_NATIVE_SESSIONS:-10000}" \
  --results build/bench-results \
  "$@"
