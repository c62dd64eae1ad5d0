/* Comparing and releasing colour values (see colour_value.h). */
#include "colour_value.h"

#include <stdlib.h>
#include <string.h>

#define AS_ENTRY(name) name,
static const char *const COLOUR_NAMES[COLOUR_VALUE_COUNT] = {FOR_EACH_COLOUR_VALUE_NAME(AS_ENTRY)};

const char *colour_value_name_in_file(int index) { return COLOUR_NAMES[index]; }

BOOL same_colour_value(const ColourValue *a, const ColourValue *b) {
  if (a->present != b->present) return FALSE;
  if (!a->present) return TRUE;
  return a->type == b->type && a->size == b->size && (a->size == 0 || memcmp(a->data, b->data, a->size) == 0);
}

void free_colour_value(ColourValue *value) {
  free(value->data);
  memset(value, 0, sizeof *value);
}
