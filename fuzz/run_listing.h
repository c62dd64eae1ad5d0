// The sessions a run listed, as its call log shows them: which names it
// listed and which of them it could select. Part of the run's invariants.
#pragma once

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/standin/standin.h"

namespace runcheck::detail {

inline bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// The result a logged call returned: the number after the last ") = ".
inline long LoggedResult(const std::string& line) {
  const size_t at = line.rfind(") = ");
  if (at == std::string::npos) return -1;
  return std::strtol(line.c_str() + at + 4, nullptr, 10);
}

// One listed session: its name as the ANSI listing gave it, and whether
// that name converted back to exactly the name the wide listing gave.
struct Entry {
  std::string Name;
  bool Exact = false;
};

// The listed sessions, from the call log. Each wide enumeration follows the
// ANSI one of its index; after one that succeeded, the ANSI name is
// converted back: the same name means an exact entry. Otherwise, unless the
// conversion failed, the wide name is converted to the code page: its
// spelling is a listed entry that is not exact, and any other text shows an
// index whose key changed between the two listings, which is skipped. A
// failed conversion lists the name, not exact.
inline std::vector<Entry> ListedEntries(const std::vector<std::string>& log) {
  const std::vector<std::string>& names = standin::EnumeratedNames();
  const std::vector<std::u16string>& wideNames = standin::EnumeratedWideNames();
  std::vector<Entry> entries;
  size_t nextName = 0;
  size_t nextWideName = 0;
  std::string listed;
  std::u16string wide;
  enum { Idle, AwaitingConversionBack, AwaitingSpelling } state = Idle;
  for (const std::string& line : log) {
    const long result = LoggedResult(line);
    if (StartsWith(line, "RegEnumKeyExA(") && result == 0 && nextName < names.size()) {
      listed = names[nextName++];
    } else if (StartsWith(line, "RegEnumKeyExW(")) {
      state = result == 0 && nextWideName < wideNames.size() ? AwaitingConversionBack : Idle;
      if (state == AwaitingConversionBack) wide = wideNames[nextWideName++];
    } else if (StartsWith(line, "MultiByteToWideChar(") && state == AwaitingConversionBack) {
      state = Idle;
      if (result > 0 && standin::Widen(listed) == wide) {
        entries.push_back(Entry{listed, true});
      } else if (result > 0) {
        state = AwaitingSpelling;
      } else {
        entries.push_back(Entry{listed, false});
      }
    } else if (StartsWith(line, "WideCharToMultiByte(") && state == AwaitingSpelling) {
      state = Idle;
      if (result <= 0 || standin::Narrow(wide) == listed) entries.push_back(Entry{listed, false});
    }
  }
  return entries;
}

}  // namespace runcheck::detail
