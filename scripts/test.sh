#!/usr/bin/env bash
# Builds everything and runs every test: the native unit tests against the
# platform stand-in, and the end-to-end tests of the real executable under
# Wine. The output ends with CTest's summary.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
warnings=()
[[ ${CI:-} == true ]] && warnings=(-DWARNINGS_AS_ERRORS=ON)

cmake --preset win32 "${warnings[@]}" >/dev/null
cmake --build --preset win32
cmake --preset native "${warnings[@]}" >/dev/null
cmake --build --preset native
ctest --preset native
