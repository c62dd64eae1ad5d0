/*
 * Every exit status of colour-backup.exe, and the one of the main job that
 * runs it (recolour.cmd, scripts/run.sh). The scripts and the release's
 * recolour.cmd read the numbers from here; nothing else restates them.
 */
#ifndef EXIT_STATUS_H
#define EXIT_STATUS_H

enum ExitStatus {
  /* save: the backup is written whole; restore: every value that differed
     was put back; list, help: done. */
  STATUS_DONE = 0,
  /* restore: some values could not be put back (listed on standard output). */
  STATUS_SOME_NOT_PUT_BACK = 1,
  /* restore: nothing was changed: no backup, or the file was refused. */
  STATUS_REFUSED = 2,
  /* save: no backup was written; restore: it could not start (the sessions
     key could not be read) and nothing was changed; list: the folder could
     not be read. */
  STATUS_FAILED = 3,
  /* save: there is no sessions key, so there is nothing to keep; nothing
     was written. */
  STATUS_NO_SESSIONS_KEY = 4,
  /* The command line was not understood; nothing was done. */
  STATUS_WRONG_COMMAND_LINE = 64,
  /* The main job: the backup could not be written, so the tool did not run. */
  STATUS_BACKUP_NOT_WRITTEN = 73
};

#endif
