/* list: the backups in the default folder, oldest first, each with its
   time, its number of sessions and its path. */
#include <stdlib.h>

#include "backup_file.h"
#include "backup_folder.h"
#include "backup_store.h"
#include "commands.h"
#include "exit_status.h"
#include "messages.h"

static void describe(const WCHAR *path) {
  ColourBackup backup;
  char reason[512], *text;
  size_t length;
  DWORD error = read_whole_file(path, &text, &length);
  if (error != ERROR_SUCCESS) {
    say(TO_OUTPUT, "(could not read it: error %lu)  %ls\n", error, path);
    return;
  }
  if (read_backup(text, length, &backup, reason, sizeof reason)) {
    say(TO_OUTPUT, "%hs  %lu session%hs  %ls\n", backup.time, (unsigned long)backup.session_count,
        backup.session_count == 1 ? "" : "s", path);
    free_backup(&backup);
  } else {
    say(TO_OUTPUT, "(refused: %hs)  %ls\n", reason, path);
  }
  free(text);
}

int list_command(const Options *options) {
  BackupList list;
  size_t i;
  DWORD error;
  WCHAR *folder = default_backup_folder();
  (void)options;
  if (folder == NULL) {
    say(TO_ERROR, "%%LOCALAPPDATA%% is not set: there is no default folder.\n");
    return STATUS_FAILED;
  }
  error = list_backups(folder, &list);
  if (error != ERROR_SUCCESS) {
    say(TO_ERROR, "Could not read the folder %ls (error %lu).\n", folder, error);
    free(folder);
    return STATUS_FAILED;
  }
  if (list.count == 0) say(TO_ERROR, "There is no backup in %ls.\n", folder);
  for (i = 0; i < list.count; i++) describe(list.paths[i]);
  free_backup_list(&list);
  free(folder);
  return stream_ok(TO_OUTPUT) ? STATUS_DONE : STATUS_FAILED;
}
