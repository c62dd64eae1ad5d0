// The one colour scheme the tool gives every saved session: 22 texts of
// "red,green,blue", written in order as the values Colour0 to Colour21.
#pragma once

#include <cstdint>
#include <string>

#include "common/string_list.h"

/// Appends the scheme's texts to `list` in index order.
void LoadColourScheme(TStringList& list);

/// The registry value that receives the scheme's text at `index`.
std::string ColourValueName(int32_t index);
