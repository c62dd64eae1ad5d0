/*
 * Reads the colour backup file (format in backup_file.h). Everything is
 * checked before anything is returned, so that a restore from a damaged or
 * foreign file changes nothing.
 */
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "backup_file.h"

typedef struct {
  const char *start;
  size_t length;
} Span;

typedef struct {
  const char *next; /* the first byte of the next line */
  const char *end;  /* where the lines that the checksum covers end */
  int number;
  char *reason;
  size_t reason_size;
} LineReader;

static BOOL refuse(LineReader *reader, const char *format, ...) {
  va_list arguments;
  int used = 0;
  if (reader->number > 0) used = snprintf(reader->reason, reader->reason_size, "line %d: ", reader->number);
  va_start(arguments, format);
  vsnprintf(reader->reason + used, reader->reason_size - (size_t)used, format, arguments);
  va_end(arguments);
  return FALSE;
}

static BOOL next_line(LineReader *reader, Span *line) {
  const char *newline;
  if (reader->next >= reader->end) return FALSE;
  newline = memchr(reader->next, '\n', (size_t)(reader->end - reader->next));
  line->start = reader->next;
  line->length = (size_t)(newline - reader->next);
  reader->next = newline + 1;
  reader->number++;
  return TRUE;
}

/* Splits LINE at single spaces into exactly COUNT fields. */
static BOOL split_fields(Span line, Span *fields, int count) {
  int field = 0;
  size_t i, start = 0;
  for (i = 0; i <= line.length; i++) {
    if (i < line.length && line.start[i] != ' ') continue;
    if (field == count || i == start) return FALSE;
    fields[field].start = line.start + start;
    fields[field].length = i - start;
    field++;
    start = i + 1;
  }
  return field == count;
}

static BOOL is(Span field, const char *text) {
  return field.length == strlen(text) && memcmp(field.start, text, field.length) == 0;
}

static int hex_value(char c, const char *digits) {
  const char *found = c != '\0' ? strchr(digits, c) : NULL;
  return found != NULL ? (int)(found - digits) : -1;
}

/* A decimal number without sign or leading zeros, at most MAXIMUM. */
static BOOL parse_number(Span field, unsigned long maximum, unsigned long *number) {
  size_t i;
  *number = 0;
  if (field.length == 0 || (field.length > 1 && field.start[0] == '0')) return FALSE;
  for (i = 0; i < field.length; i++) {
    int digit = hex_value(field.start[i], "0123456789");
    if (digit < 0 || *number > (maximum - (unsigned long)digit) / 10) return FALSE;
    *number = *number * 10 + (unsigned long)digit;
  }
  return TRUE;
}

static char *copy_token(Span field) {
  char *copy = malloc(field.length + 1);
  if (copy == NULL) return NULL;
  memcpy(copy, field.start, field.length);
  copy[field.length] = '\0';
  return copy;
}

static BOOL parse_name(Span field, SessionColours *session) {
  size_t i = 0, units = 0;
  WCHAR *name = malloc((field.length + 1) * sizeof(WCHAR));
  if (name == NULL || field.length == 0) {
    free(name);
    return FALSE;
  }
  while (i < field.length) {
    char c = field.start[i];
    if (c == '\\') {
      int d, digit;
      WCHAR unit = 0;
      if (i + 6 > field.length || field.start[i + 1] != 'u') break;
      for (d = 2; d < 6; d++) {
        digit = hex_value(field.start[i + d], "0123456789ABCDEF");
        if (digit < 0) break;
        unit = (WCHAR)(unit * 16 + digit);
      }
      if (d < 6) break;
      name[units++] = unit;
      i += 6;
    } else if (c >= 0x21 && c <= 0x7E) {
      name[units++] = (WCHAR)c;
      i++;
    } else {
      break;
    }
  }
  if (i < field.length) {
    free(name);
    return FALSE;
  }
  name[units] = 0;
  session->name = name;
  session->name_length = units;
  return TRUE;
}

static BOOL parse_data(Span field, ColourValue *value) {
  size_t i;
  if (is(field, "-")) return TRUE;
  if (field.length % 2 != 0) return FALSE;
  value->size = (DWORD)(field.length / 2);
  value->data = malloc(value->size);
  if (value->data == NULL) return FALSE;
  for (i = 0; i < value->size; i++) {
    int high = hex_value(field.start[2 * i], "0123456789abcdef");
    int low = hex_value(field.start[2 * i + 1], "0123456789abcdef");
    if (high < 0 || low < 0) return FALSE;
    value->data[i] = (BYTE)(high * 16 + low);
  }
  return TRUE;
}

static BOOL read_colour(LineReader *reader, int index, ColourValue *value) {
  const char *expected = colour_value_name_in_file(index);
  Span line, fields[3];
  unsigned long type;
  if (!next_line(reader, &line)) return refuse(reader, "the file ends before the value %s", expected);
  if (split_fields(line, fields, 2) && is(fields[0], expected) && is(fields[1], "absent")) return TRUE;
  if (!split_fields(line, fields, 3) || !is(fields[0], expected))
    return refuse(reader, "expected the value %s as \"%s TYPE HEX\" or \"%s absent\"", expected, expected,
                  expected);
  if (!parse_number(fields[1], 0xFFFFFFFFUL, &type)) return refuse(reader, "the type is not a number");
  value->present = TRUE;
  value->type = (DWORD)type;
  if (!parse_data(fields[2], value)) return refuse(reader, "the data is not lower-case hexadecimal bytes");
  return TRUE;
}

static BOOL read_token_line(LineReader *reader, const char *keyword, char **token) {
  Span line, fields[2];
  if (!next_line(reader, &line) || !split_fields(line, fields, 2) || !is(fields[0], keyword))
    return refuse(reader, "expected \"%s\" and one word", keyword);
  *token = copy_token(fields[1]);
  if (*token == NULL) return refuse(reader, "out of memory");
  /* A zero byte would cut the token short unseen. */
  if (strlen(*token) == fields[1].length && is_backup_token(*token)) return TRUE;
  return refuse(reader, "the %s is not printable ASCII", keyword);
}

static BOOL read_sessions(LineReader *reader, ColourBackup *backup) {
  size_t capacity = 0;
  Span line, fields[2];
  while (next_line(reader, &line)) {
    SessionColours *session;
    int i;
    if (!split_fields(line, fields, 2) || !is(fields[0], "session"))
      return refuse(reader, "expected \"session NAME\"");
    if (backup->session_count == capacity) {
      SessionColours *larger;
      capacity = capacity ? capacity * 2 : 64;
      larger = realloc(backup->sessions, capacity * sizeof *larger);
      if (larger == NULL) return refuse(reader, "out of memory");
      backup->sessions = larger;
    }
    session = &backup->sessions[backup->session_count++];
    memset(session, 0, sizeof *session);
    if (!parse_name(fields[1], session))
      return refuse(reader, "the session name is not escaped as it should be");
    for (i = 0; i < COLOUR_VALUE_COUNT; i++) {
      if (!read_colour(reader, i, &session->colours[i])) return FALSE;
    }
  }
  return TRUE;
}

/* The end line must be the file's last; returns where it starts. */
static const char *find_end_line(const char *text, size_t length) {
  const char *last = text + length - 1;
  while (last > text && last[-1] != '\n') last--;
  return last;
}

static BOOL check_end_line(LineReader *reader, const char *text, size_t length, unsigned long *sessions) {
  const char *end_line = find_end_line(text, length);
  Span line = {end_line, (size_t)(text + length - 1 - end_line)}, fields[3];
  unsigned long checksum;
  char expected[16];
  if (!split_fields(line, fields, 3) || !is(fields[0], "end") ||
      !parse_number(fields[1], 0xFFFFFFFFUL, sessions))
    return refuse(reader, "the file is damaged: its last line is not its end line (was it cut short?)");
  checksum = add_to_checksum(0, text, (size_t)(end_line - text));
  sprintf(expected, "%08lx", checksum);
  if (!is(fields[2], expected))
    return refuse(reader, "the file is damaged: its checksum does not match its contents");
  reader->end = end_line;
  return TRUE;
}

/* The format's number from the first line, 0 when it is no colour backup,
   -1 when it is one of a format this reader does not know. */
static int read_format(Span first_line) {
  size_t stem = strlen(BACKUP_HEADER_STEM);
  Span number;
  if (first_line.length <= stem || memcmp(first_line.start, BACKUP_HEADER_STEM, stem) != 0) return 0;
  number.start = first_line.start + stem;
  number.length = first_line.length - stem;
  if (is(number, "1")) return 1;
  if (is(number, "2")) return 2;
  return -1;
}

BOOL read_backup(const char *text, size_t length, ColourBackup *backup, char *reason, size_t reason_size) {
  LineReader reader = {text, text + length, 0, reason, reason_size};
  unsigned long sessions = 0;
  const char *newline = memchr(text, '\n', length);
  Span header = {text, newline != NULL ? (size_t)(newline - text) : length};
  int format = read_format(header);
  BOOL ok;
  memset(backup, 0, sizeof *backup);
  if (format == 0 || newline == NULL)
    return refuse(&reader, "the file is not a colour backup (its first line is not \"%s%d\")",
                  BACKUP_HEADER_STEM, BACKUP_FORMAT);
  if (format < 0)
    return refuse(&reader, "the file is a colour backup of a format this program does not know");
  if (text[length - 1] != '\n')
    return refuse(&reader, "the file is damaged: it does not end with a whole line (was it cut short?)");
  ok = check_end_line(&reader, text, length, &sessions) && next_line(&reader, &header);
  backup->format = format;
  if (ok) ok = read_token_line(&reader, format == 1 ? "prefix" : "registry", &backup->registry);
  if (ok) ok = read_token_line(&reader, "time", &backup->time);
  if (ok) ok = read_sessions(&reader, backup);
  if (ok && backup->session_count != sessions)
    ok = refuse(&reader, "the end line counts %lu sessions, the file holds %lu", sessions,
                (unsigned long)backup->session_count);
  if (!ok) free_backup(backup);
  return ok;
}

void free_backup(ColourBackup *backup) {
  size_t s;
  int i;
  for (s = 0; s < backup->session_count; s++) {
    free(backup->sessions[s].name);
    for (i = 0; i < COLOUR_VALUE_COUNT; i++) free_colour_value(&backup->sessions[s].colours[i]);
  }
  free(backup->sessions);
  free(backup->registry);
  free(backup->time);
  memset(backup, 0, sizeof *backup);
}
