/* A session's colour values through the wide registry calls (see colour_registry.h). */
#include "colour_registry.h"

#include <stdlib.h>
#include <string.h>

#define AS_WIDE_ENTRY(name) WIDE_TEXT(name),
static const WCHAR *const COLOUR_NAMES[COLOUR_VALUE_COUNT] = {FOR_EACH_COLOUR_VALUE_NAME(AS_WIDE_ENTRY)};

const WCHAR *colour_value_name(int index) { return COLOUR_NAMES[index]; }

static LONG keep_copy(ColourValue *value, DWORD type, const BYTE *data, DWORD size) {
  value->data = malloc(size ? size : 1);
  if (value->data == NULL) return ERROR_NOT_ENOUGH_MEMORY;
  if (size > 0) memcpy(value->data, data, size);
  value->present = TRUE;
  value->type = type;
  value->size = size;
  return ERROR_SUCCESS;
}

LONG read_colour_value(HKEY key, int index, ColourValue *value) {
  /* Every call is a round trip to the registry service: a value that fits
     this buffer, as colour texts do, takes one. */
  BYTE small[256];
  DWORD size = sizeof small, type = 0;
  LONG result = RegQueryValueExW(key, COLOUR_NAMES[index], NULL, &type, small, &size);
  memset(value, 0, sizeof *value);
  if (result == ERROR_SUCCESS) return keep_copy(value, type, small, size);
  /* A larger value may grow again between asking its size and reading it. */
  while (result == ERROR_MORE_DATA) {
    BYTE *data = malloc(size ? size : 1);
    if (data == NULL) return ERROR_NOT_ENOUGH_MEMORY;
    result = RegQueryValueExW(key, COLOUR_NAMES[index], NULL, &type, data, &size);
    if (result == ERROR_SUCCESS) result = keep_copy(value, type, data, size);
    free(data);
  }
  return result == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : result;
}

/*
 * The registry adds a terminator to a text value whose data does not end with
 * one when the two bytes after the data are zero (it takes the size as one
 * that forgot the terminator), and with an odd size it looks at the two bytes
 * before the data too. The data goes from a copy with non-zero bytes on both
 * sides, so that it is stored exactly as given.
 */
static LONG set_exactly(HKEY key, const WCHAR *name, const ColourValue *value) {
  LONG result;
  BYTE *guarded = malloc((size_t)value->size + 4);
  if (guarded == NULL) return ERROR_NOT_ENOUGH_MEMORY;
  memset(guarded, 0xFF, (size_t)value->size + 4);
  if (value->size > 0) memcpy(guarded + 2, value->data, value->size);
  result = RegSetValueExW(key, name, 0, value->type, guarded + 2, value->size);
  free(guarded);
  return result;
}

LONG write_colour_value(HKEY key, int index, const ColourValue *value) {
  LONG result;
  if (value->present) return set_exactly(key, COLOUR_NAMES[index], value);
  result = RegDeleteValueW(key, COLOUR_NAMES[index]);
  return result == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : result;
}
