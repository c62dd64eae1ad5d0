#!/usr/bin/env bash
# The maintainers' static checks of the C++ sources and of the documents:
#
#   scripts/lint.sh            all four below, in this order
#   scripts/lint.sh format     clang-format: every tracked .cpp and .h file,
#                              demo/*.c and backup/*.c laid out as .clang-format says
#   scripts/lint.sh tidy       clang-tidy with .clang-tidy on the sources of the
#                              native build (core, stand-in, unit tests)
#   scripts/lint.sh cppcheck   cppcheck on the core: app/ registry/ console/ common/
#   scripts/lint.sh docs       every tracked .md file: each relative link and
#                              anchor resolves (scripts/check_doc_links.py),
#                              and mdl passes with .mdl_style.rb
#
# Each check prints what it found and fails the script when it found
# anything. To reformat in place what the format check rejects:
#
#   git ls-files '*.cpp' '*.h' 'demo/*.c' 'backup/*.c' | xargs clang-format -i
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc)

check_format() {
  local files unformatted=()
  mapfile -t files < <(git ls-files -- '*.cpp' '*.h' 'demo/*.c' 'backup/*.c')
  for file in "${files[@]}"; do
    [[ -f $file ]] || continue
    clang-format --dry-run --Werror "$file" >/dev/null 2>&1 || unformatted+=("$file")
  done
  if [[ ${#unformatted[@]} -ne 0 ]]; then
    echo "clang-format: ${#unformatted[@]} of ${#files[@]} files differ from .clang-format:"
    for file in "${unformatted[@]}"; do
      echo "  $file: $(clang-format "$file" | diff "$file" - | grep -c '^>') lines to change"
    done
    return 1
  fi
  echo "clang-format: ${#files[@]} files formatted"
}

check_tidy() {
  # A configure of the native build is all clang-tidy needs: its compile
  # commands, with the stand-in's declarations in place of <windows.h>.
  cmake -S . -B build/lint -DCMAKE_BUILD_TYPE=Debug -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
  local files log=build/lint/clang-tidy.log
  mapfile -t files < <(git ls-files -- 'app/*.cpp' 'registry/*.cpp' 'console/*.cpp' 'common/*.cpp' \
    'platform/*.cpp' 'tests/*.cpp')
  local existing=()
  for file in "${files[@]}"; do [[ -f $file ]] && existing+=("$file"); done
  if ! printf '%s\0' "${existing[@]}" |
      xargs -0 -n 1 -P "$jobs" clang-tidy -p build/lint --quiet >"$log" 2>/dev/null; then
    grep -E '^[^ ].*: (error|warning): ' "$log" | sed "s|^$PWD/||" | sort -u
    echo "clang-tidy: $(grep -cE ': (error|warning): ' "$log") findings in ${#existing[@]} files (full log: $log)"
    return 1
  fi
  echo "clang-tidy: ${#existing[@]} files clean"
}

check_cppcheck() {
  # Suppressed by design: FormatArgument converts implicitly so that a
  # message's arguments can be listed in braces; a plain loop over a
  # six-entry table reads better than an algorithm.
  if ! cppcheck --quiet --std=c++17 --language=c++ -I . \
      --enable=warning,style,performance,portability --inline-suppr --error-exitcode=1 \
      --suppress=noExplicitConstructor:common/text_format.h \
      --suppress=useStlAlgorithm \
      app registry console common; then
    echo "cppcheck: findings above"
    return 1
  fi
  echo "cppcheck: app/ registry/ console/ common/ clean"
}

check_docs() {
  local documents found=0
  mapfile -t documents < <(git ls-files -- '*.md')
  python3 -B scripts/check_doc_links.py || found=1
  if ! mdl --style .mdl_style.rb "${documents[@]}"; then
    echo "mdl: findings above"
    found=1
  else
    echo "mdl: ${#documents[@]} documents clean"
  fi
  return $found
}

status=0
case ${1:-all} in
  format) check_format || status=1 ;;
  tidy) check_tidy || status=1 ;;
  cppcheck) check_cppcheck || status=1 ;;
  docs) check_docs || status=1 ;;
  all)
    check_format || status=1
    check_tidy || status=1
    check_cppcheck || status=1
    check_docs || status=1
    ;;
  *) echo "usage: scripts/lint.sh [format|tidy|cppcheck|docs|all]" >&2; exit 2 ;;
esac
exit $status
