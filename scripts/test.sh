#!/usr/bin/env bash
# Builds everything and runs every test: the native unit tests against the
# platform stand-in (also under valgrind's memcheck and under the address and
# undefined-behaviour sanitizers), a minute of each fuzz target, the static
# checks and the reproducible-build check, and the end-to-end tests of the
# real executable under Wine. The output ends with CTest's summary.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
echo "Wine's 32-bit side runs $(python3 scripts/i386_host.py describe)"
warnings=()
[[ ${CI:-} == true ]] && warnings=(-DWARNINGS_AS_ERRORS=ON)

cmake --preset win32 "${warnings[@]}" >/dev/null
cmake --build --preset win32
# Built by its own CTest step; configured first so the native tree registers it.
cmake --preset sanitize >/dev/null
fuzz/run.sh smoke
cmake --preset native "${warnings[@]}" -DMAINTAINER_CHECKS=ON >/dev/null
cmake --build --preset native
ctest --preset native
