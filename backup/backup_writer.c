/* Builds the colour backup file's text (format in backup_file.h). */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "backup_file.h"

static const char HEX_DIGITS[] = "0123456789abcdef";
static const char UNIT_DIGITS[] = "0123456789ABCDEF";

BOOL is_backup_token(const char *text) {
  const char *c;
  if (*text == '\0') return FALSE;
  for (c = text; *c != '\0'; c++) {
    if (*c < 0x21 || *c > 0x7E) return FALSE;
  }
  return TRUE;
}

unsigned long add_to_checksum(unsigned long checksum, const char *bytes, size_t length) {
  static unsigned long table[256];
  size_t i;
  if (table[1] == 0) {
    unsigned long n, entry;
    int bit;
    for (n = 0; n < 256; n++) {
      for (entry = n, bit = 0; bit < 8; bit++) entry = entry & 1 ? 0xEDB88320UL ^ (entry >> 1) : entry >> 1;
      table[n] = entry;
    }
  }
  checksum = ~checksum & 0xFFFFFFFFUL;
  for (i = 0; i < length; i++)
    checksum = table[(checksum ^ (unsigned char)bytes[i]) & 0xFF] ^ (checksum >> 8);
  return ~checksum & 0xFFFFFFFFUL;
}

static void append(BackupText *writer, const char *bytes, size_t length) {
  if (writer->out_of_memory) return;
  if (writer->capacity - writer->length < length) {
    size_t capacity = writer->capacity ? writer->capacity : 4096;
    char *larger;
    while (capacity - writer->length < length) capacity *= 2;
    larger = realloc(writer->text, capacity);
    if (larger == NULL) {
      writer->out_of_memory = TRUE;
      return;
    }
    writer->text = larger;
    writer->capacity = capacity;
  }
  memcpy(writer->text + writer->length, bytes, length);
  writer->length += length;
}

static void emit(BackupText *writer, const char *bytes, size_t length) {
  writer->checksum = add_to_checksum(writer->checksum, bytes, length);
  append(writer, bytes, length);
}

static void emit_text(BackupText *writer, const char *text) { emit(writer, text, strlen(text)); }

/* Large values go out in pieces of this buffer, never a byte at a time. */
static void emit_hex(BackupText *writer, const BYTE *data, DWORD size) {
  char buffer[512];
  size_t used = 0;
  DWORD i;
  if (size == 0) emit_text(writer, "-");
  for (i = 0; i < size; i++) {
    if (used + 2 > sizeof buffer) {
      emit(writer, buffer, used);
      used = 0;
    }
    buffer[used++] = HEX_DIGITS[data[i] >> 4];
    buffer[used++] = HEX_DIGITS[data[i] & 15];
  }
  emit(writer, buffer, used);
}

static void emit_name(BackupText *writer, const WCHAR *name, size_t length) {
  char buffer[512];
  size_t used = 0, i;
  for (i = 0; i < length; i++) {
    WCHAR unit = name[i];
    if (used + 6 > sizeof buffer) {
      emit(writer, buffer, used);
      used = 0;
    }
    if (unit >= 0x21 && unit <= 0x7E && unit != '\\') {
      buffer[used++] = (char)unit;
    } else {
      buffer[used++] = '\\';
      buffer[used++] = 'u';
      buffer[used++] = UNIT_DIGITS[(unit >> 12) & 15];
      buffer[used++] = UNIT_DIGITS[(unit >> 8) & 15];
      buffer[used++] = UNIT_DIGITS[(unit >> 4) & 15];
      buffer[used++] = UNIT_DIGITS[unit & 15];
    }
  }
  emit(writer, buffer, used);
}

void begin_backup(BackupText *writer, const char *registry, const char *time) {
  char header[64];
  memset(writer, 0, sizeof *writer);
  sprintf(header, BACKUP_HEADER_STEM "%d\nregistry ", BACKUP_FORMAT);
  emit_text(writer, header);
  emit_text(writer, registry);
  emit_text(writer, "\ntime ");
  emit_text(writer, time);
  emit_text(writer, "\n");
}

void add_session(BackupText *writer, const WCHAR *name, size_t name_length,
                 const ColourValue colours[COLOUR_VALUE_COUNT]) {
  char line[32];
  int i;
  emit_text(writer, "session ");
  emit_name(writer, name, name_length);
  emit_text(writer, "\n");
  for (i = 0; i < COLOUR_VALUE_COUNT; i++) {
    if (!colours[i].present) {
      sprintf(line, "%s absent\n", colour_value_name_in_file(i));
      emit_text(writer, line);
      continue;
    }
    sprintf(line, "%s %lu ", colour_value_name_in_file(i), (unsigned long)colours[i].type);
    emit_text(writer, line);
    emit_hex(writer, colours[i].data, colours[i].size);
    emit_text(writer, "\n");
  }
  writer->session_count++;
}

BOOL finish_backup(BackupText *writer) {
  char line[48];
  sprintf(line, "end %lu %08lx\n", writer->session_count, writer->checksum);
  append(writer, line, strlen(line));
  return !writer->out_of_memory;
}

void free_backup_text(BackupText *writer) {
  free(writer->text);
  memset(writer, 0, sizeof *writer);
}
