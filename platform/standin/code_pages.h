// The stand-in's model of the ANSI code page, shared by its registry service
// and its conversion call. Key names are kept as their spelling: the ANSI
// bytes of a name the code page holds, or a mark and the UTF-16 name (as
// UTF-8) of one it cannot hold, which no ANSI call can name.
#pragma once

#include <string>

namespace standin::detail {

bool IsWideSpelling(const std::string& spelling);
/// The name as the service keeps it, in UTF-16.
std::u16string WideNameOf(const std::string& spelling);
/// The name as the ANSI calls give it: lossy for a wide spelling.
std::string AnsiNameOf(const std::string& spelling);

}  // namespace standin::detail
