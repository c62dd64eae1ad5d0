#!/usr/bin/env bash
# The tool's main job: builds the Windows programs when needed, keeps a
# backup of every session's colour values, then runs the tool under Wine on
# $WINEPREFIX (Wine's default prefix, ~/.wine, when unset), where the client
# keeps its sessions when it runs under Wine. recolour.cmd does the same on
# Windows.
#
# Standard output and the exit status are the tool's. Where the backup went
# (see scripts/colour-backups.sh) is said on standard error;
# scripts/restore.sh puts it back. Without a sessions key there is nothing
# to keep and the tool runs as it would alone. When the backup cannot be
# written whole, the tool does not run and the exit status is
# STATUS_BACKUP_NOT_WRITTEN of backup/exit_status.h.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/colour-backups.sh

# colour-backup.exe writes the file whole under a temporary name and
# renames it, and says where it went or why it did not.
save_backup() {
  local directory file status=0
  directory=$(backup_directory)
  if ! mkdir -p -- "$directory"; then
    echo "run.sh: cannot make the backup folder $directory" >&2
    return 1
  fi
  file=$directory/$(date -u +%Y%m%dT%H%M%S.%NZ).colours
  wine "$colour_backup_exe" save --registry "$(prefix_token)" "$(windows_path "$file")" || status=$?
  if [[ $status -eq $(exit_status STATUS_DONE) ]]; then
    echo "run.sh: that is $file; scripts/restore.sh puts it back" >&2
  fi
  [[ $status -eq $(exit_status STATUS_DONE) || $status -eq $(exit_status STATUS_NO_SESSIONS_KEY) ]]
}

build_windows_programs
if ! save_backup; then
  echo "run.sh: without a backup the tool was not run" >&2
  exit "$(exit_status STATUS_BACKUP_NOT_WRITTEN)"
fi
exec wine "$tool_exe"
