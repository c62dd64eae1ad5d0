/*
 * A session's colour values read and written exactly as the registry keeps
 * them, through the wide calls.
 */
#ifndef COLOUR_REGISTRY_H
#define COLOUR_REGISTRY_H

#include "colour_value.h"

#define WIDE_TEXT(text) L"" text
#define SESSIONS_KEY WIDE_TEXT(SESSIONS_KEY_PATH)

/* "Colour0" to "Colour21". */
const WCHAR *colour_value_name(int index);

/* Reads the value of that index; an absent value is a success with present
   FALSE. The caller frees the data with free_colour_value. */
LONG read_colour_value(HKEY key, int index, ColourValue *value);

/* Stores the value, or deletes it when it is absent (a value already gone
   counts as deleted). */
LONG write_colour_value(HKEY key, int index, const ColourValue *value);

#endif
