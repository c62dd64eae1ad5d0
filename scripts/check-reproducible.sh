#!/usr/bin/env bash
# Checks that the Windows build is reproducible: builds zorvo-recolour.exe,
# colour-backup.exe and their release archive twice, from scratch, in two separate build trees whose
# paths differ in name and length (build/reproducible/first and
# build/reproducible/second/tree), and compares the bytes. Also checks that
# the archive holds exactly the six release files and that its SHA256SUMS
# matches them. Prints both trees' checksums; fails on any difference.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
root=build/reproducible
trees=("$root/first" "$root/second/tree")
version=$(sed -n 's/^project([^)]* VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
archive=zorvo-recolour-$version-win32.zip
top=zorvo-recolour-$version-win32

rm -rf "$root"
for tree in "${trees[@]}"; do
  cmake --preset win32 -B "$tree" >/dev/null
  cmake --build "$tree" -j "$(nproc)" >/dev/null
  (cd "$tree" && cpack -G ZIP >/dev/null)
done

failed=0
for name in zorvo-recolour.exe colour-backup.exe "$archive"; do
  first=${trees[0]}/$name second=${trees[1]}/$name
  sha256sum "$first" "$second"
  if ! cmp -s "$first" "$second"; then
    echo "NOT REPRODUCIBLE: $name differs between the two build trees ($(cmp -l "$first" "$second" | wc -l) bytes)"
    failed=1
  fi
done

# The archive's contents (in any order: CPack takes the staged folder's),
# and its own checksums.
listing=$(python3 -c 'import sys, zipfile; print("\n".join(sorted(zipfile.ZipFile(sys.argv[1]).namelist())))' \
  "${trees[0]}/$archive")
expected=$(printf '%s\n' "$top/README.md" "$top/SHA256SUMS" "$top/USAGE.txt" "$top/colour-backup.exe" \
  "$top/recolour.cmd" "$top/zorvo-recolour.exe")
if [[ $listing != "$expected" ]]; then
  printf 'The archive holds:\n%s\nand should hold:\n%s\n' "$listing" "$expected"
  failed=1
fi
unpacked=$root/unpacked
mkdir -p "$unpacked"
python3 -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])' \
  "${trees[0]}/$archive" "$unpacked"
if ! (cd "$unpacked/$top" && sha256sum --check --quiet SHA256SUMS); then
  echo "The archive's SHA256SUMS does not match its files"
  failed=1
fi
for name in zorvo-recolour.exe colour-backup.exe; do
  if ! cmp -s "$unpacked/$top/$name" "${trees[0]}/$name"; then
    echo "The archive's $name is not the one that was built"
    failed=1
  fi
done

if [[ $failed -ne 0 ]]; then exit 1; fi
echo "Reproducible: zorvo-recolour.exe, colour-backup.exe and $archive are byte-identical in both build trees"
