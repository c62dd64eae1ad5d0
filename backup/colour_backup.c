/*
 * colour-backup.exe: keeps and puts back the sessions' colour values for
 * scripts/run.sh and scripts/restore.sh.
 *
 *   colour-backup.exe save PREFIX TIME
 *       writes a backup of Colour0 to Colour21 of every session to standard
 *       output (format in backup_file.h). Exit status 0 when it is whole,
 *       4 when there is no sessions key (nothing written), 3 when a session
 *       could not be read or the output could not be written (standard
 *       error says which).
 *   colour-backup.exe restore PREFIX
 *       reads a backup from standard input, checks all of it, and then, in
 *       every session of the backup that still exists, puts back each colour
 *       value that differs from it: the old type and bytes, or no value.
 *       Standard output lists what could not be put back and ends with a
 *       count. Exit status 0 when everything was put back, 1 when some
 *       values could not be, 2 when the file was refused (nothing changed),
 *       3 when the restore could not start.
 *
 * PREFIX names the Wine prefix as the scripts escaped it: a backup is put
 * back only into the prefix it was taken from. Names and data go through the
 * wide registry calls, so that every type and every name is kept exactly.
 */
#include <fcntl.h>
#include <io.h>
#include <stdlib.h>
#include <string.h>

#include "backup_file.h"

#define SESSIONS_KEY L"Software\\Tessaloquin\\Zorvo\\Sessions"

enum { SAVED = 0, SAVE_FAILED = 3, NO_SESSIONS_KEY = 4 };
enum { ALL_PUT_BACK = 0, SOME_NOT_PUT_BACK = 1, BACKUP_REFUSED = 2, RESTORE_FAILED = 3 };

/* Names go into messages as UTF-8, the text of the Unix terminal. */
static void print_name(FILE *out, const WCHAR *name, size_t length) {
  char buffer[1024];
  int bytes = WideCharToMultiByte(CP_UTF8, 0, name, (int)length, buffer, sizeof buffer, NULL, NULL);
  fwrite(buffer, 1, bytes > 0 ? (size_t)bytes : 0, out);
}

static void report(FILE *out, const char *before, const WCHAR *name, size_t length, const char *after) {
  fputs(before, out);
  print_name(out, name, length);
  fputs(after, out);
}

/* ---- save ------------------------------------------------------------ */

static LONG save_session(BackupWriter *writer, HKEY sessions, const WCHAR *name, size_t length) {
  ColourValue colours[COLOUR_COUNT];
  HKEY key;
  int read = 0, i;
  LONG result = RegOpenKeyExW(sessions, name, 0, KEY_QUERY_VALUE, &key);
  if (result != ERROR_SUCCESS) return result;
  while (read < COLOUR_COUNT && (result = read_colour_value(key, read, &colours[read])) == ERROR_SUCCESS)
    read++;
  RegCloseKey(key);
  if (result == ERROR_SUCCESS) write_session(writer, name, length, colours);
  for (i = 0; i < read; i++) free_colour_value(&colours[i]);
  return result;
}

static int save(const char *prefix, const char *time) {
  /* Key names have at most 255 characters. */
  WCHAR name[256];
  BackupWriter writer;
  HKEY sessions;
  DWORD index;
  LONG result = RegOpenKeyExW(HKEY_CURRENT_USER, SESSIONS_KEY, 0, KEY_READ, &sessions);
  if (result == ERROR_FILE_NOT_FOUND) return NO_SESSIONS_KEY;
  if (result != ERROR_SUCCESS) {
    fprintf(stderr, "could not open the sessions key to read it (error %ld)\n", (long)result);
    return SAVE_FAILED;
  }
  /* Fully buffered whatever standard output is: a character device would
     otherwise take a write per call. */
  setvbuf(stdout, NULL, _IOFBF, 1 << 16);
  begin_backup(&writer, stdout, prefix, time);
  for (index = 0;; index++) {
    DWORD length = sizeof name / sizeof name[0];
    result = RegEnumKeyExW(sessions, index, name, &length, NULL, NULL, NULL, NULL);
    if (result != ERROR_SUCCESS) break;
    result = save_session(&writer, sessions, name, length);
    /* Deleted since it was listed: the tool will not see it either. */
    if (result != ERROR_SUCCESS && result != ERROR_FILE_NOT_FOUND) {
      report(stderr, "could not read the colour values of session \"", name, length, "\"");
      fprintf(stderr, " (error %ld)\n", (long)result);
      RegCloseKey(sessions);
      return SAVE_FAILED;
    }
  }
  RegCloseKey(sessions);
  if (result != ERROR_NO_MORE_ITEMS) {
    fprintf(stderr, "could not list the sessions (error %ld)\n", (long)result);
    return SAVE_FAILED;
  }
  if (!finish_backup(&writer)) {
    fprintf(stderr, "could not write the backup\n");
    return SAVE_FAILED;
  }
  return SAVED;
}

/* ---- restore --------------------------------------------------------- */

typedef struct {
  unsigned long put_back, not_put_back, sessions_gone;
} RestoreCounts;

static void report_value(int index, const SessionColours *session, LONG error) {
  printf("Could not put back Colour%d of session \"", index);
  print_name(stdout, session->name, session->name_length);
  printf("\" (error %ld)\n", (long)error);
}

static void restore_session(HKEY sessions, const SessionColours *session, RestoreCounts *counts) {
  HKEY readable, writable = NULL;
  LONG open_for_writing = ERROR_SUCCESS;
  int i;
  LONG opened = RegOpenKeyExW(sessions, session->name, 0, KEY_QUERY_VALUE, &readable);
  if (opened == ERROR_FILE_NOT_FOUND) {
    report(stdout, "Session \"", session->name, session->name_length, "\" no longer exists: left alone\n");
    counts->sessions_gone++;
    return;
  }
  for (i = 0; i < COLOUR_COUNT; i++) {
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

static char *read_all_input(size_t *length) {
  size_t capacity = 1 << 16, got;
  char *text = malloc(capacity);
  *length = 0;
  while (text != NULL && (got = fread(text + *length, 1, capacity - *length, stdin)) > 0) {
    *length += got;
    if (*length == capacity) {
      char *larger = realloc(text, capacity *= 2);
      if (larger == NULL) free(text);
      text = larger;
    }
  }
  if (text != NULL && ferror(stdin)) {
    free(text);
    text = NULL;
  }
  return text;
}

static int restore(const char *prefix) {
  ColourBackup backup;
  RestoreCounts counts = {0, 0, 0};
  char reason[512];
  size_t length, s;
  HKEY sessions;
  LONG result;
  char *text = read_all_input(&length);
  if (text == NULL) {
    fprintf(stderr, "could not read the backup\n");
    return RESTORE_FAILED;
  }
  if (!read_backup(text, length, &backup, reason, sizeof reason)) {
    free(text);
    fprintf(stderr, "Refused: %s. Nothing was changed.\n", reason);
    return BACKUP_REFUSED;
  }
  free(text);
  if (strcmp(backup.prefix, prefix) != 0) {
    fprintf(stderr, "Refused: the backup was taken from the Wine prefix %s, not %s. Nothing was changed.\n",
            backup.prefix, prefix);
    free_backup(&backup);
    return BACKUP_REFUSED;
  }
  result = RegOpenKeyExW(HKEY_CURRENT_USER, SESSIONS_KEY, 0, KEY_READ, &sessions);
  if (result == ERROR_FILE_NOT_FOUND) {
    counts.sessions_gone = (unsigned long)backup.session_count;
    printf("The sessions key no longer exists: every session is left alone\n");
  } else if (result != ERROR_SUCCESS) {
    fprintf(stderr, "could not open the sessions key (error %ld). Nothing was changed.\n", (long)result);
    free_backup(&backup);
    return RESTORE_FAILED;
  } else {
    for (s = 0; s < backup.session_count; s++) restore_session(sessions, &backup.sessions[s], &counts);
    RegCloseKey(sessions);
  }
  printf("Put back %lu values; %lu could not be put back; %lu of %lu sessions no longer exist\n",
         counts.put_back, counts.not_put_back, counts.sessions_gone, (unsigned long)backup.session_count);
  free_backup(&backup);
  if (fflush(stdout) != 0) return RESTORE_FAILED;
  return counts.not_put_back > 0 ? SOME_NOT_PUT_BACK : ALL_PUT_BACK;
}

int main(int argc, char **argv) {
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
  if (argc == 4 && strcmp(argv[1], "save") == 0 && is_backup_token(argv[2]) && is_backup_token(argv[3]))
    return save(argv[2], argv[3]);
  if (argc == 3 && strcmp(argv[1], "restore") == 0 && is_backup_token(argv[2])) return restore(argv[2]);
  fputs("usage: colour-backup.exe save PREFIX TIME | restore PREFIX\n", stderr);
  return RESTORE_FAILED;
}
