#!/usr/bin/env bash
# Builds the fuzz targets with clang and libFuzzer in build/fuzz, then runs them.
#
#   fuzz/run.sh smoke            every target for 60 s from an empty corpus (CTest,
#                                two at a time, about 2 minutes); fails when one crashes
#   fuzz/run.sh long [SECONDS]   every target for SECONDS (default 1800), all at once,
#                                keeping corpora, logs and a summary in build/fuzz/long/
#
# A crash leaves its input in build/fuzz/artifacts/ (smoke) or build/fuzz/long/
# (long); replay it with build/fuzz/<target> <input>, and FUZZ_VERBOSE=1 shows
# the case the input stands for.
set -euo pipefail
cd "$(dirname "$0")/.."

mode=${1:-smoke}
targets=(fuzz_run fuzz_console_output fuzz_report_text fuzz_backup_reader)
compiler=${FUZZ_CXX:-$(command -v clang++-14 || command -v clang++)}
c_compiler=${FUZZ_CC:-$(command -v clang-14 || command -v clang)}

cmake -S fuzz -B build/fuzz -DCMAKE_CXX_COMPILER="$compiler" -DCMAKE_C_COMPILER="$c_compiler" >/dev/null
cmake --build build/fuzz -j2

case $mode in
  smoke)
    ctest --test-dir build/fuzz -L fuzz -j2 --output-on-failure
    ;;
  long)
    seconds=${2:-1800}
    out=build/fuzz/long
    mkdir -p "$out/bin"
    git rev-parse HEAD >"$out/commit" 2>/dev/null || true
    for target in "${targets[@]}"; do
      mkdir -p "$out/$target-corpus"
      # A copy, so that rebuilding the fuzz tree meanwhile leaves this run alone.
      cp "build/fuzz/$target" "$out/bin/$target"
      # shellcheck disable=SC2046 # the flags file holds one line of separate flags
      "$out/bin/$target" -max_total_time="$seconds" $(cat build/fuzz/$target.flags) \
        -artifact_prefix="$out/$target-" "$out/$target-corpus" >"$out/$target.log" 2>&1 &
    done
    status=0
    wait || status=$?
    for target in "${targets[@]}"; do
      runs=$(grep -a 'stat::number_of_executed_units' "$out/$target.log" | awk '{print $2}')
      crashes=$(find "$out" -maxdepth 1 -type f -name "$target-*" | grep -cE -- "-(crash|leak|timeout|oom)-" || true)
      corpus=$(find "$out/$target-corpus" -type f | wc -l)
      echo "$target: ${runs:-?} executions in ${seconds} s, $crashes crashes, corpus of $corpus inputs"
    done | tee "$out/summary.txt"
    exit $status
    ;;
  *)
    echo "usage: fuzz/run.sh smoke | long [SECONDS]" >&2
    exit 2
    ;;
esac
