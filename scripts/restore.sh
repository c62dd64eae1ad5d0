#!/usr/bin/env bash
# Puts back the sessions' colour values that scripts/run.sh saved before a
# run, in $WINEPREFIX (Wine's default prefix, ~/.wine, when unset):
#
#   scripts/restore.sh [BACKUP]
#
# BACKUP defaults to the newest backup of that prefix. It runs
# "colour-backup.exe restore" on it, which checks the whole file first
# (a damaged or foreign file, or a backup of another prefix, changes
# nothing) and then, in every session of the backup that still exists,
# gives each of Colour0 to Colour21 that differs from the backup its old
# type and data back, or deletes it when the session did not have it.
#
# Exit status: colour-backup.exe's (backup/exit_status.h): STATUS_DONE
# everything was put back; STATUS_SOME_NOT_PUT_BACK some values could not
# be (listed on standard output); STATUS_REFUSED nothing was changed: no
# backup, or the file was refused (standard error says why); STATUS_FAILED
# or any other: the restore could not start and nothing was changed.
set -euo pipefail
# Named from where the user stands, before the move to the repository.
[[ $# -eq 1 ]] && backup=$(realpath -m -- "$1")
cd "$(dirname "$0")/.."
source scripts/colour-backups.sh

if [[ $# -gt 1 ]]; then
  echo "usage: scripts/restore.sh [BACKUP]" >&2
  exit "$(exit_status STATUS_WRONG_COMMAND_LINE)"
fi
if [[ $# -eq 0 ]]; then
  directory=$(backup_directory)
  backup=$(find "$directory" -maxdepth 1 -name '*.colours' 2>/dev/null | LC_ALL=C sort | tail -n 1)
  if [[ -z $backup ]]; then
    echo "restore.sh: no backup of the prefix $(wine_prefix) in $directory. Nothing was changed." >&2
    exit "$(exit_status STATUS_REFUSED)"
  fi
fi

build_windows_programs
exec wine "$colour_backup_exe" restore --registry "$(prefix_token)" "$(windows_path "$backup")"
