#!/usr/bin/env bash
# Puts back the sessions' colour values that scripts/run.sh saved before a
# run, in $WINEPREFIX (Wine's default prefix, ~/.wine, when unset):
#
#   scripts/restore.sh [BACKUP]
#
# BACKUP defaults to the newest backup of that prefix. In every session of
# the backup that still exists, each of Colour0 to Colour21 that differs
# from the backup gets its old type and data back, or is deleted when the
# session did not have it; nothing else is touched. The whole file is
# checked first: a damaged or foreign file, or a backup of another prefix,
# changes nothing.
#
# Exit status: 0 everything was put back; 1 some values could not be put
# back (listed on standard output); 2 nothing was changed: no backup, or
# the file was refused (standard error says why); 3 or any other: the
# restore could not start (the sessions key could not be read, or Wine
# failed) and nothing was changed.
set -euo pipefail
if [[ $# -gt 1 ]]; then
  echo "usage: scripts/restore.sh [BACKUP]" >&2
  exit 2
fi
# Named from where the user stands, before the move to the repository.
[[ $# -eq 1 ]] && backup=$(realpath -m -- "$1")
cd "$(dirname "$0")/.."
source scripts/colour-backups.sh

if [[ $# -eq 1 ]]; then
  if [[ ! -f $backup || ! -r $backup ]]; then
    echo "restore.sh: $1 is not a readable file. Nothing was changed." >&2
    exit 2
  fi
else
  directory=$(backup_directory)
  backup=$(find "$directory" -maxdepth 1 -name '*.colours' 2>/dev/null | LC_ALL=C sort | tail -n 1)
  if [[ -z $backup ]]; then
    echo "restore.sh: no backup of the prefix $(wine_prefix) in $directory. Nothing was changed." >&2
    exit 2
  fi
fi

build_windows_programs
echo "restore.sh: putting back the colours saved in $backup" >&2
exec wine "$colour_backup_exe" restore "$(prefix_token)" <"$backup"
