/*
 * A session's 22 colour values, read and written exactly as the registry
 * keeps them: through the wide calls, as a type and raw bytes, so that text
 * values keep their UTF-16 bytes and every other type its own.
 */
#ifndef COLOUR_VALUES_H
#define COLOUR_VALUES_H

#include <windows.h>

#define COLOUR_COUNT 22

typedef struct {
  BOOL present;
  DWORD type;
  BYTE *data;
  DWORD size;
} ColourValue;

/* "Colour0" to "Colour21". */
const WCHAR *colour_value_name(int index);

/* Reads the value of that index; an absent value is a success with present
   FALSE. The caller frees the data with free_colour_value. */
LONG read_colour_value(HKEY key, int index, ColourValue *value);

/* Stores the value, or deletes it when it is absent (a value already gone
   counts as deleted). */
LONG write_colour_value(HKEY key, int index, const ColourValue *value);

BOOL same_colour_value(const ColourValue *a, const ColourValue *b);

void free_colour_value(ColourValue *value);

#endif
