/*
 * One colour value as the registry keeps it: a type and raw bytes, or no
 * value at all, so that text values keep their UTF-16 bytes and every other
 * type its own.
 */
#ifndef COLOUR_VALUE_H
#define COLOUR_VALUE_H

#include "backup_types.h"
#include "common/session_values.h"

typedef struct {
  BOOL present;
  DWORD type;
  BYTE *data;
  DWORD size;
} ColourValue;

/* "Colour0" to "Colour21", as the backup file names them. */
const char *colour_value_name_in_file(int index);

BOOL same_colour_value(const ColourValue *a, const ColourValue *b);

void free_colour_value(ColourValue *value);

#endif
