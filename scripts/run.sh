#!/usr/bin/env bash
# The tool's main job: builds zorvo-recolour.exe when needed, keeps a backup
# of every session's colour values, then runs the tool under Wine on
# $WINEPREFIX (Wine's default prefix, ~/.wine, when unset), where the client
# keeps its sessions when it runs under Wine.
#
# Standard output and the exit status are the tool's. The backup's place
# (see scripts/colour-backups.sh) is said on standard error;
# scripts/restore.sh puts it back. Without a sessions key there is nothing
# to keep and the tool runs as it would alone. When the backup cannot be
# made whole, the tool does not run and the exit status is 73.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/colour-backups.sh

backup_not_written=73

# Writes the backup beside its final name and renames it once whole, so
# that a backup cut short never passes for one.
save_backup() {
  local directory stamp partial status=0
  directory=$(backup_directory)
  if ! mkdir -p -- "$directory"; then
    echo "run.sh: cannot make the backup folder $directory" >&2
    return 1
  fi
  stamp=$(date -u +%Y%m%dT%H%M%S.%NZ)
  partial=$directory/$stamp.partial
  wine "$colour_backup_exe" save "$(prefix_token)" "$stamp" >"$partial" || status=$?
  if [[ $status -eq 4 ]]; then
    rm -f -- "$partial"
    echo "run.sh: no sessions key in $(wine_prefix): nothing to back up" >&2
    return 0
  fi
  if [[ $status -ne 0 ]] || ! mv -- "$partial" "$directory/$stamp.colours"; then
    rm -f -- "$partial"
    echo "run.sh: the backup in $directory could not be written" >&2
    return 1
  fi
  echo "run.sh: the sessions' colours are saved in $directory/$stamp.colours;" \
    "scripts/restore.sh puts them back" >&2
}

build_windows_programs
if ! save_backup; then
  echo "run.sh: without a backup the tool was not run" >&2
  exit $backup_not_written
fi
exec wine build/win32/zorvo-recolour.exe
