# Sourced by scripts/run.sh and scripts/restore.sh: the Wine settings they
# share, the Windows programs they run (built here, unless
# ZORVO_RECOLOUR_EXE and COLOUR_BACKUP_EXE name them: the end-to-end suite
# hands over the builds it tests), the exit statuses of backup/exit_status.h,
# and where the colour backups of a prefix live:
#
#   ${XDG_STATE_HOME:-~/.local/state}/zorvo-recolour/backups/PREFIX-TAG/TIME.colours
#
# PREFIX-TAG is the prefix folder's name followed by a hash of its full path,
# so that two prefixes never share a folder; TIME is the UTC time of the run
# to the nanosecond, so the newest backup sorts last.

export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
tool_exe=${ZORVO_RECOLOUR_EXE:-build/win32/zorvo-recolour.exe}
colour_backup_exe=${COLOUR_BACKUP_EXE:-build/win32/colour-backup.exe}

build_windows_programs() {
  if [[ -n ${ZORVO_RECOLOUR_EXE:-} || -n ${COLOUR_BACKUP_EXE:-} ]]; then
    if [[ -z ${ZORVO_RECOLOUR_EXE:-} || -z ${COLOUR_BACKUP_EXE:-} ]]; then
      echo "$(basename "$0"): name both ZORVO_RECOLOUR_EXE and COLOUR_BACKUP_EXE, or neither" >&2
      exit 2
    fi
    return
  fi
  scripts/install-deps.sh
  if [[ ! -f build/win32/CMakeCache.txt ]]; then
    cmake --preset win32 >/dev/null
  fi
  cmake --build --preset win32 >/dev/null
}

# The exit status that backup/exit_status.h names NAME (STATUS_...).
exit_status() {
  local number
  number=$(sed -n "s/^ *$1 = \([0-9][0-9]*\),\{0,1\}$/\1/p" backup/exit_status.h)
  [[ -n $number ]] || { echo "no exit status $1 in backup/exit_status.h" >&2; exit 2; }
  printf '%s\n' "$number"
}

# A Unix path as the Windows programs take it (Z:\...).
windows_path() {
  wine winepath -w "$1" 2>/dev/null
}

# The prefix that wine will use, as a full path with links resolved.
wine_prefix() {
  realpath -m -- "${WINEPREFIX:-$HOME/.wine}"
}

backup_directory() {
  local state=${XDG_STATE_HOME:-}
  # The XDG convention: a relative path is to be ignored.
  [[ $state == /* ]] || state=$HOME/.local/state
  local prefix name hash
  prefix=$(wine_prefix)
  name=$(basename -- "$prefix" | LC_ALL=C tr -c 'A-Za-z0-9._\n-' '_')
  name=${name##.}
  hash=$(printf '%s' "$prefix" | sha256sum)
  printf '%s\n' "$state/zorvo-recolour/backups/${name:-prefix}-${hash:0:12}"
}

# The prefix as the backup file records it and colour-backup.exe takes it
# after --registry: bytes other than letters, digits and /._+- become
# \xNN, so that nothing depends on how Wine converts a command line.
prefix_token() {
  local LC_ALL=C text token= char i
  text=$(wine_prefix)
  for ((i = 0; i < ${#text}; i++)); do
    char=${text:i:1}
    if [[ $char == [A-Za-z0-9/._+-] ]]; then
      token+=$char
    else
      printf -v char '\\x%02X' "'$char"
      token+=$char
    fi
  done
  printf '%s\n' "$token"
}
