/*
 * save [FILE]: Colour0 to Colour21 of every session, each value's type and
 * bytes or its absence, into FILE or a new file in the default folder.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "backup_file.h"
#include "backup_folder.h"
#include "backup_store.h"
#include "colour_registry.h"
#include "commands.h"
#include "exit_status.h"
#include "messages.h"

static LONG save_session(BackupText *backup, HKEY sessions, const WCHAR *name, size_t length) {
  ColourValue colours[COLOUR_VALUE_COUNT];
  HKEY key;
  int read = 0, i;
  LONG result = RegOpenKeyExW(sessions, name, 0, KEY_QUERY_VALUE, &key);
  if (result != ERROR_SUCCESS) return result;
  while (read < COLOUR_VALUE_COUNT &&
         (result = read_colour_value(key, read, &colours[read])) == ERROR_SUCCESS)
    read++;
  RegCloseKey(key);
  if (result == ERROR_SUCCESS) add_session(backup, name, length, colours);
  for (i = 0; i < read; i++) free_colour_value(&colours[i]);
  return result;
}

/* Every session into BACKUP; FALSE, with a message said, when one could not
   be read, since the backup would not be whole. */
static BOOL save_sessions(HKEY sessions, BackupText *backup) {
  /* Key names have at most 255 characters. */
  WCHAR name[256];
  DWORD index;
  LONG result;
  for (index = 0;; index++) {
    DWORD length = sizeof name / sizeof name[0];
    result = RegEnumKeyExW(sessions, index, name, &length, NULL, NULL, NULL, NULL);
    if (result != ERROR_SUCCESS) break;
    result = save_session(backup, sessions, name, length);
    /* Deleted since it was listed: the tool will not see it either. */
    if (result != ERROR_SUCCESS && result != ERROR_FILE_NOT_FOUND) {
      say(TO_ERROR, "Could not read the colour values of session \"");
      say_wide(TO_ERROR, name, length);
      say(TO_ERROR, "\" (error %ld). No backup was written.\n", (long)result);
      return FALSE;
    }
  }
  if (result != ERROR_NO_MORE_ITEMS) {
    say(TO_ERROR, "Could not list the sessions (error %ld). No backup was written.\n", (long)result);
    return FALSE;
  }
  return TRUE;
}

/* FILE, or a new file named after NOW in the default folder, made when
   missing; NULL, with a message said, when there is none. */
static WCHAR *backup_path(const Options *options, const SYSTEMTIME *now) {
  WCHAR *folder, *path;
  DWORD error;
  if (options->file != NULL) return _wcsdup(options->file);
  folder = default_backup_folder();
  if (folder == NULL) {
    say(TO_ERROR, "%%LOCALAPPDATA%% is not set: name the backup file. No backup was written.\n");
    return NULL;
  }
  error = make_folder(folder);
  path = error == ERROR_SUCCESS ? new_backup_path(folder, now) : NULL;
  if (error != ERROR_SUCCESS)
    say(TO_ERROR, "Could not make the folder %ls (error %lu). No backup was written.\n", folder, error);
  free(folder);
  return path;
}

static int write_backup(const Options *options, const SYSTEMTIME *now, const BackupText *backup) {
  WCHAR full[MAX_PATH];
  WCHAR *path = backup_path(options, now);
  DWORD error;
  if (path == NULL) return STATUS_FAILED;
  error = write_whole_file(path, backup->text, backup->length);
  if (error == ERROR_SUCCESS) {
    DWORD length = GetFullPathNameW(path, MAX_PATH, full, NULL);
    say(TO_ERROR, "The sessions' colours are saved in %ls\n", length > 0 && length < MAX_PATH ? full : path);
  } else if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS) {
    say(TO_ERROR, "%ls already exists: name a new file. No backup was written.\n", path);
  } else {
    say(TO_ERROR, "Could not write the backup %ls (error %lu). No backup was written.\n", path, error);
  }
  free(path);
  return error == ERROR_SUCCESS ? STATUS_DONE : STATUS_FAILED;
}

int save_command(const Options *options) {
  BackupText backup;
  SYSTEMTIME now;
  char time[32];
  HKEY sessions;
  LONG result;
  int status = STATUS_FAILED;
  char *registry = registry_name(options, "No backup was written.");
  if (registry == NULL) return STATUS_FAILED;
  result = RegOpenKeyExW(HKEY_CURRENT_USER, SESSIONS_KEY, 0, KEY_READ, &sessions);
  if (result == ERROR_FILE_NOT_FOUND) {
    say(TO_ERROR, "There is no key %ls: no sessions, nothing to back up.\n", SESSIONS_KEY_TEXT);
    free(registry);
    return STATUS_NO_SESSIONS_KEY;
  }
  if (result != ERROR_SUCCESS) {
    say(TO_ERROR, "Could not open %ls to read it (error %ld). No backup was written.\n", SESSIONS_KEY_TEXT,
        (long)result);
    free(registry);
    return STATUS_FAILED;
  }
  GetSystemTime(&now);
  sprintf(time, "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", now.wYear, now.wMonth, now.wDay, now.wHour,
          now.wMinute, now.wSecond, now.wMilliseconds);
  begin_backup(&backup, registry, time);
  if (save_sessions(sessions, &backup)) {
    if (finish_backup(&backup))
      status = write_backup(options, &now, &backup);
    else
      say(TO_ERROR, "Out of memory. No backup was written.\n");
  }
  RegCloseKey(sessions);
  free_backup_text(&backup);
  free(registry);
  return status;
}
