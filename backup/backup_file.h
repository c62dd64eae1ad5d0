/*
 * The colour backup file. Plain ASCII text with LF line ends:
 *
 *   zorvo-recolour colour backup, format 2
 *   registry TOKEN       whose registry it was taken from (see identity.h)
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
 * Format 1, which the scripts wrote before, differs only in its first line
 * and in naming the registry with "prefix TOKEN" (a Wine prefix); it is
 * still read.
 *
 * NAME holds the UTF-16 code units of the key's name: 0x21 to 0x7E stand for
 * themselves, except the backslash; every other unit is written \uXXXX
 * (upper-case hexadecimal). TOKENs are printable ASCII without spaces. The
 * checksum makes any damage, a file cut short included, a refusal rather
 * than a wrong restore.
 */
#ifndef BACKUP_FILE_H
#define BACKUP_FILE_H

#include <stddef.h>

#include "colour_value.h"

typedef struct {
  WCHAR *name;
  size_t name_length; /* in UTF-16 code units, without a terminator */
  ColourValue colours[COLOUR_VALUE_COUNT];
} SessionColours;

typedef struct {
  int format;
  char *registry;
  char *time;
  SessionColours *sessions;
  size_t session_count;
} ColourBackup;

/* A backup's text, built in memory and written to disk whole. */
typedef struct {
  char *text;
  size_t length, capacity;
  BOOL out_of_memory;
  unsigned long checksum;
  unsigned long session_count;
} BackupText;

/* Whether TEXT can stand as the registry or the time: non-empty, printable
   ASCII, no spaces. */
BOOL is_backup_token(const char *text);

unsigned long add_to_checksum(unsigned long checksum, const char *bytes, size_t length);

void begin_backup(BackupText *backup, const char *registry, const char *time);
void add_session(BackupText *backup, const WCHAR *name, size_t name_length,
                 const ColourValue colours[COLOUR_VALUE_COUNT]);
/* Adds the end line; FALSE when memory ran out on the way. */
BOOL finish_backup(BackupText *backup);
void free_backup_text(BackupText *backup);

/* Checks the whole text and fills BACKUP; on refusal returns FALSE with the
   reason in REASON and BACKUP left empty. */
BOOL read_backup(const char *text, size_t length, ColourBackup *backup, char *reason, size_t reason_size);
void free_backup(ColourBackup *backup);

#define BACKUP_FORMAT 2
#define BACKUP_HEADER_STEM "zorvo-recolour colour backup, format "

#endif
