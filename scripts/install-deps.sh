#!/usr/bin/env bash
# Installs what the build and the tests need on Debian 12: the i686 MinGW-w64
# cross compiler, Wine with its 32-bit part, and the native test tools; then
# makes sure this host runs Wine's 32-bit side, through qemu's user-mode
# emulation where the kernel refuses 32-bit code (scripts/i386_host.py).
# As root it installs them with apt; otherwise it prints the commands to run.
# Everything it prints goes to standard error: standard output is left to
# the scripts that call it.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  cmake g++ make libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev clang-format clang-tidy cppcheck valgrind
  g++-mingw-w64-i686-win32 binutils-mingw-w64-i686
  wine wine32:i386 wine64
  gcovr hyperfine time python3 python3-pytest locales ruby-mdl
)

# One query for all: a package dpkg has never seen is simply not listed, and
# one of this machine's own architecture may be listed with it.
native_arch=$(dpkg --print-architecture)
declare -A installed=()
while read -r name status; do
  [[ $status == "install ok installed" ]] && installed[${name%:"$native_arch"}]=1
done < <(dpkg-query -W -f='${binary:Package} ${Status}\n' "${packages[@]}" 2>/dev/null || true)
missing=()
for package in "${packages[@]}"; do
  [[ -n ${installed[$package]:-} ]] || missing+=("$package")
done

if [[ ${#missing[@]} -gt 0 ]]; then
  needs_i386=no
  dpkg --print-foreign-architectures | grep -qx i386 || needs_i386=yes

  if [[ $(id -u) -ne 0 ]]; then
    echo "Missing packages: ${missing[*]}" >&2
    echo "Install them as root with:" >&2
    [[ $needs_i386 == yes ]] && echo "  dpkg --add-architecture i386" >&2
    echo "  apt-get update && apt-get install -y ${missing[*]}" >&2
    exit 1
  fi

  echo "Installing: ${missing[*]}" >&2
  [[ $needs_i386 == yes ]] && dpkg --add-architecture i386
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

exec python3 scripts/i386_host.py setup
