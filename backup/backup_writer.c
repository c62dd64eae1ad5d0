/* Writes the colour backup file (format in backup_file.h). */
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

static void emit(BackupWriter *writer, const char *bytes, size_t length) {
  writer->checksum = add_to_checksum(writer->checksum, bytes, length);
  fwrite(bytes, 1, length, writer->out);
}

static void emit_text(BackupWriter *writer, const char *text) { emit(writer, text, strlen(text)); }

/* Large values go out in pieces of this buffer, never a byte at a time. */
static void emit_hex(BackupWriter *writer, const BYTE *data, DWORD size) {
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

static void emit_name(BackupWriter *writer, const WCHAR *name, size_t length) {
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

void begin_backup(BackupWriter *writer, FILE *out, const char *prefix, const char *time) {
  writer->out = out;
  writer->checksum = 0;
  writer->session_count = 0;
  emit_text(writer, BACKUP_HEADER "\nprefix ");
  emit_text(writer, prefix);
  emit_text(writer, "\ntime ");
  emit_text(writer, time);
  emit_text(writer, "\n");
}

void write_session(BackupWriter *writer, const WCHAR *name, size_t name_length,
                   const ColourValue colours[COLOUR_COUNT]) {
  char line[32];
  int i;
  emit_text(writer, "session ");
  emit_name(writer, name, name_length);
  emit_text(writer, "\n");
  for (i = 0; i < COLOUR_COUNT; i++) {
    if (!colours[i].present) {
      sprintf(line, "Colour%d absent\n", i);
      emit_text(writer, line);
      continue;
    }
    sprintf(line, "Colour%d %lu ", i, (unsigned long)colours[i].type);
    emit_text(writer, line);
    emit_hex(writer, colours[i].data, colours[i].size);
    emit_text(writer, "\n");
  }
  writer->session_count++;
}

BOOL finish_backup(BackupWriter *writer) {
  fprintf(writer->out, "end %lu %08lx\n", writer->session_count, writer->checksum);
  return fflush(writer->out) == 0 && !ferror(writer->out);
}
