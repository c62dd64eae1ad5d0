#include "app/colour_scheme.h"

#include "common/session_values.h"

namespace {

const char* const ColourScheme[] = {
    "215,215,215", "255,255,255", "0,0,0",       "85,85,85",    "0,0,0",       "255,255,0",
    "0,0,0",       "85,85,85",    "242,0,0",     "255,0,0",     "0,242,0",     "0,255,0",
    "242,174,0",   "255,174,0",   "87,117,242",  "87,117,255",  "242,104,242", "255,104,255",
    "87,191,242",  "87,191,255",  "235,235,235", "255,255,255",
};
static_assert(sizeof ColourScheme / sizeof ColourScheme[0] == COLOUR_VALUE_COUNT,
              "one text per colour value");

#define AS_ENTRY(name) name,
const char* const ColourValueNames[] = {FOR_EACH_COLOUR_VALUE_NAME(AS_ENTRY)};
#undef AS_ENTRY

}  // namespace

void LoadColourScheme(TStringList& list) {
  for (const char* text : ColourScheme) list.Add(text);
}

std::string ColourValueName(int32_t index) { return ColourValueNames[index]; }
