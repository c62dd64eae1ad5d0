#!/usr/bin/env bash
# Line coverage of app/, registry/ and console/ by the native unit tests,
# measured with gcov and printed by gcovr: one row per file with its
# uncovered lines, then the total. Builds in its own tree, build/coverage
# (the "coverage" preset: Debug, --coverage), and also writes a browsable
# report to build/coverage/coverage.html.
#
# Fails when line coverage falls below COVERAGE_MINIMUM percent (default 95).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
minimum=${COVERAGE_MINIMUM:-95}

cmake --preset coverage >/dev/null
cmake --build --preset coverage >/dev/null
# Counts from an earlier run would add up with this one's.
find build/coverage -name '*.gcda' -delete
if ! ctest --preset coverage >build/coverage/ctest.log 2>&1; then
  cat build/coverage/ctest.log
  exit 1
fi
grep 'tests passed' build/coverage/ctest.log

gcovr --root . --object-directory build/coverage \
  --exclude-directories 'build/coverage/CMakeFiles/[0-9.]+' \
  --filter 'app/' --filter 'registry/' --filter 'console/' \
  --html-details build/coverage/coverage.html \
  --print-summary --fail-under-line "$minimum" \
  --txt -
