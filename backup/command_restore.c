/*
 * restore [FILE]: checks the whole backup (FILE, or the newest in the
 * default folder) and whose registry it was taken from, then, in every
 * session of the backup that still exists, puts back each colour value that
 * differs from it: the old type and bytes, or no value. Standard output
 * lists what could not be put back and ends with a count.
 */
#include <stdlib.h>
#include <string.h>

#include "backup_file.h"
#include "backup_folder.h"
#include "backup_store.h"
#include "colour_registry.h"
#include "commands.h"
#include "exit_status.h"
#include "messages.h"

typedef struct {
  unsigned long put_back, not_put_back, sessions_gone;
} RestoreCounts;

static void report_value(int index, const SessionColours *session, LONG error) {
  say(TO_OUTPUT, "Could not put back %hs of session \"", colour_value_name_in_file(index));
  say_wide(TO_OUTPUT, session->name, session->name_length);
  say(TO_OUTPUT, "\" (error %ld)\n", (long)error);
}

static void restore_session(HKEY sessions, const SessionColours *session, RestoreCounts *counts) {
  HKEY readable, writable = NULL;
  LONG open_for_writing = ERROR_SUCCESS;
  int i;
  LONG opened = RegOpenKeyExW(sessions, session->name, 0, KEY_QUERY_VALUE, &readable);
  if (opened == ERROR_FILE_NOT_FOUND) {
    say(TO_OUTPUT, "Session \"");
    say_wide(TO_OUTPUT, session->name, session->name_length);
    say(TO_OUTPUT, "\" no longer exists: left alone\n");
    counts->sessions_gone++;
    return;
  }
  for (i = 0; i < COLOUR_VALUE_COUNT; i++) {
    ColourValue current = {0};
    LONG result = opened == ERROR_SUCCESS ? read_colour_value(readable, i, &current) : opened;
    if (result == ERROR_SUCCESS && !same_colour_value(&current, &session->colours[i])) {
      /* Opened for writing only when something differs, so that a key that
         refuses writes but still holds its old values reports nothing. */
      if (writable == NULL && open_for_writing == ERROR_SUCCESS)
        open_for_writing = RegOpenKeyExW(sessions, session->name, 0, KEY_SET_VALUE, &writable);
      result = open_for_writing == ERROR_SUCCESS ? write_colour_value(writable, i, &session->colours[i])
                                                 : open_for_writing;
      if (result == ERROR_SUCCESS) counts->put_back++;
    }
    if (result != ERROR_SUCCESS) {
      report_value(i, session, result);
      counts->not_put_back++;
    }
    free_colour_value(&current);
  }
  if (writable != NULL) RegCloseKey(writable);
  if (opened == ERROR_SUCCESS) RegCloseKey(readable);
}

/* FILE, or the newest backup of the default folder; NULL, with a message
   said, when there is none. */
static WCHAR *backup_to_restore(const Options *options) {
  BackupList list;
  WCHAR *folder, *newest = NULL;
  DWORD error;
  if (options->file != NULL) return _wcsdup(options->file);
  folder = default_backup_folder();
  if (folder == NULL) {
    say(TO_ERROR, "%%LOCALAPPDATA%% is not set: name the backup file. Nothing was changed.\n");
    return NULL;
  }
  error = list_backups(folder, &list);
  if (error != ERROR_SUCCESS)
    say(TO_ERROR, "Could not read the folder %ls (error %lu). Nothing was changed.\n", folder, error);
  else if (list.count == 0)
    say(TO_ERROR, "There is no backup in %ls. Nothing was changed.\n", folder);
  else
    newest = _wcsdup(list.paths[list.count - 1]);
  if (error == ERROR_SUCCESS) free_backup_list(&list);
  free(folder);
  return newest;
}

/* Reads and checks the whole file; FALSE, with a message said, when it is
   refused. */
static BOOL read_checked_backup(const WCHAR *path, const char *registry, const Options *options,
                                ColourBackup *backup) {
  char reason[512], *text;
  size_t length;
  BOOL accepted;
  DWORD error = read_whole_file(path, &text, &length);
  if (error != ERROR_SUCCESS) {
    say(TO_ERROR, "Refused: could not read %ls (error %lu). Nothing was changed.\n", path, error);
    return FALSE;
  }
  accepted = read_backup(text, length, backup, reason, sizeof reason);
  free(text);
  if (!accepted) {
    say(TO_ERROR, "Refused: %ls: %hs. Nothing was changed.\n", path, reason);
    return FALSE;
  }
  accepted = options->allow_other_registry || strcmp(backup->registry, registry) == 0;
  if (!accepted) {
    say(TO_ERROR,
        "Refused: the backup was taken from the registry of %hs, and this is the registry of %hs. "
        "Nothing was changed. To put it back here all the same, add --allow-other-registry.\n",
        backup->registry, registry);
    free_backup(backup);
  }
  return accepted;
}

static int put_back(const ColourBackup *backup) {
  RestoreCounts counts = {0, 0, 0};
  HKEY sessions;
  size_t s;
  LONG result = RegOpenKeyExW(HKEY_CURRENT_USER, SESSIONS_KEY, 0, KEY_READ, &sessions);
  if (result == ERROR_FILE_NOT_FOUND) {
    counts.sessions_gone = (unsigned long)backup->session_count;
    say(TO_OUTPUT, "The sessions key no longer exists: every session is left alone\n");
  } else if (result != ERROR_SUCCESS) {
    say(TO_ERROR, "Could not open %ls (error %ld). Nothing was changed.\n", SESSIONS_KEY_TEXT, (long)result);
    return STATUS_FAILED;
  } else {
    for (s = 0; s < backup->session_count; s++) restore_session(sessions, &backup->sessions[s], &counts);
    RegCloseKey(sessions);
  }
  say(TO_OUTPUT, "Put back %lu values; %lu could not be put back; %lu of %lu sessions no longer exist\n",
      counts.put_back, counts.not_put_back, counts.sessions_gone, (unsigned long)backup->session_count);
  if (!stream_ok(TO_OUTPUT)) return STATUS_FAILED;
  return counts.not_put_back > 0 ? STATUS_SOME_NOT_PUT_BACK : STATUS_DONE;
}

int restore_command(const Options *options) {
  ColourBackup backup;
  int status = STATUS_REFUSED;
  WCHAR *path;
  char *registry = registry_name(options, "Nothing was changed.");
  if (registry == NULL) return STATUS_FAILED;
  path = backup_to_restore(options);
  if (path != NULL && read_checked_backup(path, registry, options, &backup)) {
    say(TO_ERROR, "Putting back the colours saved in %ls\n", path);
    status = put_back(&backup);
    free_backup(&backup);
  }
  free(path);
  free(registry);
  return status;
}
