#!/usr/bin/env bash
# The tool's main job: builds zorvo-recolour.exe when needed, then runs it
# under Wine on $WINEPREFIX (Wine's default prefix, ~/.wine, when unset),
# where the client keeps its sessions when it runs under Wine. The tool's
# exit status is this script's.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
if [[ ! -f build/win32/CMakeCache.txt ]]; then
  cmake --preset win32 >/dev/null
fi
cmake --build --preset win32 >/dev/null

export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
exec wine build/win32/zorvo-recolour.exe
