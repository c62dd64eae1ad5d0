/*
 * The colour backup file's reader (backup/backup_reader.c) on any bytes: it
 * either refuses them, with a reason and nothing kept, or accepts a backup
 * whose tokens and names are well-formed and which, written out again by
 * the writer, reads back to the same sessions and values. The first byte
 * chooses how the rest is read: as it is, or as the text before an end line
 * that the target adds with the count and checksum that fit, so that the
 * fuzzer gets past the checksum to the lines it guards.
 */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "backup/backup_file.h"

static void violation(const char *what) {
  fprintf(stderr, "%s\n", what);
  abort();
}

static char *with_fitting_end_line(const uint8_t *data, size_t size, size_t *length) {
  unsigned long sessions = 0;
  size_t i;
  char *text = malloc(size + 64);
  if (text == NULL) violation("out of memory");
  memcpy(text, data, size);
  for (i = 0; i + 9 <= size; i++) sessions += memcmp(data + i, "\nsession ", 9) == 0;
  *length = size + (size_t)sprintf(text + size, "end %lu %08lx\n", sessions, add_to_checksum(0, text, size));
  return text;
}

static BOOL same_backups(const ColourBackup *a, const ColourBackup *b) {
  size_t s;
  int i;
  if (strcmp(a->registry, b->registry) != 0 || strcmp(a->time, b->time) != 0 ||
      a->session_count != b->session_count)
    return FALSE;
  for (s = 0; s < a->session_count; s++) {
    const SessionColours *x = &a->sessions[s], *y = &b->sessions[s];
    if (x->name_length != y->name_length || memcmp(x->name, y->name, x->name_length * sizeof(WCHAR)) != 0)
      return FALSE;
    for (i = 0; i < COLOUR_VALUE_COUNT; i++)
      if (!same_colour_value(&x->colours[i], &y->colours[i])) return FALSE;
  }
  return TRUE;
}

static void check_accepted(const ColourBackup *backup) {
  ColourBackup again;
  BackupText text;
  char reason[512];
  size_t s;
  if (backup->format != 1 && backup->format != 2) violation("accepted a format it does not know");
  if (!is_backup_token(backup->registry) || !is_backup_token(backup->time)) violation("accepted a bad token");
  for (s = 0; s < backup->session_count; s++)
    if (backup->sessions[s].name_length == 0) violation("accepted a session without a name");
  begin_backup(&text, backup->registry, backup->time);
  for (s = 0; s < backup->session_count; s++)
    add_session(&text, backup->sessions[s].name, backup->sessions[s].name_length,
                backup->sessions[s].colours);
  if (!finish_backup(&text)) violation("out of memory");
  if (!read_backup(text.text, text.length, &again, reason, sizeof reason)) violation(reason);
  if (again.format != BACKUP_FORMAT || !same_backups(backup, &again))
    violation("written again, it reads otherwise");
  free_backup(&again);
  free_backup_text(&text);
}

int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const ColourBackup empty;
  ColourBackup backup;
  char reason[512] = "", *text;
  size_t length;
  if (size == 0) return 0;
  if (data[0] & 1) {
    text = with_fitting_end_line(data + 1, size - 1, &length);
  } else {
    /* An exact copy, so that a read past the end is a fault. */
    length = size - 1;
    text = malloc(length ? length : 1);
    if (text == NULL) violation("out of memory");
    memcpy(text, data + 1, length);
  }
  if (read_backup(text, length, &backup, reason, sizeof reason)) {
    check_accepted(&backup);
    free_backup(&backup);
  } else if (reason[0] == '\0' || memcmp(&backup, &empty, sizeof backup) != 0) {
    violation("refused without a reason, or kept something");
  }
  free(text);
  return 0;
}
