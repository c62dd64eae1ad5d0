/*
 * The colour backup file that scripts/run.sh keeps before each run and
 * scripts/restore.sh puts back. Plain ASCII text with LF line ends:
 *
 *   zorvo-recolour colour backup, format 1
 *   prefix TOKEN         the Wine prefix, escaped by the scripts
 *   time TOKEN           when the backup was taken, in UTC
 *   session NAME         a session: the name of a subkey of the sessions key
 *   Colour0 TYPE HEX     a value: its type in decimal, its bytes as the
 *                        registry keeps them in lower-case hexadecimal
 *                        ("-" when it has none)
 *   Colour1 absent       a value the session did not have
 *   ...                  Colour0 to Colour21, in order, for every session
 *   end COUNT CRC        the number of sessions, and the CRC-32 of every
 *                        byte before this line in 8 lower-case hex digits
 *
 * NAME holds the UTF-16 code units of the key's name: 0x21 to 0x7E stand for
 * themselves, except the backslash; every other unit is written \uXXXX
 * (upper-case hexadecimal). TOKENs are printable ASCII without spaces. The
 * checksum makes any damage, a file cut short included, a refusal rather
 * than a wrong restore.
 */
#ifndef BACKUP_FILE_H
#define BACKUP_FILE_H

#include <stdio.h>

#include "colour_values.h"

typedef struct {
  WCHAR *name;
  size_t name_length; /* in UTF-16 code units, without a terminator */
  ColourValue colours[COLOUR_COUNT];
} SessionColours;

typedef struct {
  char *prefix;
  char *time;
  SessionColours *sessions;
  size_t session_count;
} ColourBackup;

typedef struct {
  FILE *out;
  unsigned long checksum;
  unsigned long session_count;
} BackupWriter;

/* Whether TEXT can stand as the prefix or the time: non-empty, printable
   ASCII, no spaces. */
BOOL is_backup_token(const char *text);

unsigned long add_to_checksum(unsigned long checksum, const char *bytes, size_t length);

void begin_backup(BackupWriter *writer, FILE *out, const char *prefix, const char *time);
void write_session(BackupWriter *writer, const WCHAR *name, size_t name_length,
                   const ColourValue colours[COLOUR_COUNT]);
/* Writes the end line and flushes; FALSE when any write failed. */
BOOL finish_backup(BackupWriter *writer);

/* Checks the whole text and fills BACKUP; on refusal returns FALSE with the
   reason in REASON and BACKUP left empty. */
BOOL read_backup(const char *text, size_t length, ColourBackup *backup, char *reason, size_t reason_size);
void free_backup(ColourBackup *backup);

#define BACKUP_HEADER "zorvo-recolour colour backup, format 1"
#define BACKUP_HEADER_STEM "zorvo-recolour colour backup, format "

#endif
