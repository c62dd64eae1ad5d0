#!/usr/bin/env bash
# Installs what the build and the tests need on Debian 12: the i686 MinGW-w64
# cross compiler, Wine with its 32-bit part, and the native test tools.
# As root it installs them with apt; otherwise it prints the commands to run.
set -euo pipefail

packages=(
  cmake g++ make libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev clang-format clang-tidy cppcheck valgrind
  g++-mingw-w64-i686-win32 binutils-mingw-w64-i686
  wine wine32:i386 wine64
  gcovr hyperfine time python3 locales
)

missing=()
for package in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  [[ $status == "install ok installed" ]] || missing+=("$package")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

needs_i386=no
dpkg --print-foreign-architectures | grep -qx i386 || needs_i386=yes

if [[ $(id -u) -ne 0 ]]; then
  echo "Missing packages: ${missing[*]}" >&2
  echo "Install them as root with:" >&2
  [[ $needs_i386 == yes ]] && echo "  dpkg --add-architecture i386" >&2
  echo "  apt-get update && apt-get install -y ${missing[*]}" >&2
  exit 1
fi

echo "Installing: ${missing[*]}"
[[ $needs_i386 == yes ]] && dpkg --add-architecture i386
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
