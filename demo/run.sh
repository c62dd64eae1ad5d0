#!/usr/bin/env bash
# A demo of zorvo-recolour for a newcomer, in one command:
#
#   demo/run.sh
#
# It builds the tool, makes a scratch Wine prefix (build/demo/wineprefix,
# about 20 s the first time, reused afterwards), seeds it with the four sample
# sessions of demo/sessions.reg, makes the "Read-only" session's key refuse
# writes, runs the tool once, and shows the tool's output and, per session,
# the 22 colour values before and after the run. On a terminal every colour
# gets a swatch (24-bit colour); piped or redirected, the output is plain
# text (NO_COLOR=1 forces plain text on a terminal too).
#
# Nothing outside build/demo is touched: the client's real sessions, in your
# own prefix, stay as they are.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
echo "Wine's 32-bit side runs $(python3 scripts/i386_host.py describe)"
work=build/demo
mkdir -p "$work"

# The tool, and the demo's registry helper.
if [[ ! -f build/win32/CMakeCache.txt ]]; then
  cmake --preset win32 >/dev/null
fi
cmake --build --preset win32 >/dev/null
helper=$work/demo_registry.exe
if [[ ! -f $helper || demo/demo_registry.c -nt $helper ]]; then
  i686-w64-mingw32-gcc-win32 -O2 -static -s -Wall -Wextra -o "$helper" demo/demo_registry.c -ladvapi32
fi

export WINEPREFIX=$PWD/$work/wineprefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
if [[ ! -f $WINEPREFIX/.demo-prefix ]]; then
  echo "Making a scratch Wine prefix in $work/wineprefix (once)..." >&2
  rm -rf "$WINEPREFIX"
  wineboot -i >/dev/null 2>&1
  wineserver -w
  touch "$WINEPREFIX/.demo-prefix"
fi

# Key permissions live only in the running wineserver, not in the saved
# prefix: one server, kept up from the seeding to the last dump, serves every
# step, and is stopped at the end.
wineserver -k 2>/dev/null || true
wineserver -w
wineserver -p
trap 'wineserver -k 2>/dev/null || true' EXIT

wine "$helper" reset
wine regedit /S demo/sessions.reg
wine "$helper" deny Read-only
wine "$helper" dump >"$work/before.txt"

status=0
wine build/win32/zorvo-recolour.exe >"$work/tool-output.txt" || status=$?

wine "$helper" dump >"$work/after.txt"
python3 demo/show_sessions.py "$work/before.txt" "$work/after.txt" "$work/tool-output.txt" "$status"
