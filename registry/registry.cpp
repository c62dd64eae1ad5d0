#include "registry/registry.h"

#include <cstring>
#include <vector>

#include "common/text_format.h"
#include "registry/platform_facts.h"

namespace {

constexpr DWORD LongestKeyName = 255;  // characters, the service's own limit
constexpr UINT WidestCharacter = 4;    // bytes, for a code page that GetCPInfo cannot describe

// A buffer that holds any key name in the ANSI code page, whatever its
// characters' sizes.
DWORD AnyNameBufferSize() {
  CPINFO info;
  const UINT characterSize = GetCPInfo(CP_ACP, &info) ? info.MaxCharSize : WidestCharacter;
  return LongestKeyName * characterSize + 1;
}

// A subkey's name as the service keeps it, in UTF-16.
struct WideName {
  static constexpr DWORD Capacity = LongestKeyName + 1;
  WCHAR Units[Capacity];
  DWORD Length;
};

// How the ANSI name that the listing gave for an index relates to the name
// the wide listing gave for it.
enum class ListedSpelling {
  Exact,          // it converts back, as the service converts the names it is handed, to that name
  CodePageLacks,  // the code page's spelling of that name, with question marks or look-alike letters
  AnotherKey,     // the subkeys moved between the two listings: the names are of two keys
};

// A name the code page cannot hold must never be selected: by its spelling
// the service would create a key that no session had, or reach another
// session. A conversion that fails leaves the name unproven, and so
// unselected too.
ListedSpelling CompareSpelling(std::string_view listed, const WideName& trueName) {
  WCHAR converted[WideName::Capacity];
  const int length = MultiByteToWideChar(CP_ACP, 0, listed.data(), static_cast<int>(listed.size()), converted,
                                         static_cast<int>(WideName::Capacity));
  if (length <= 0) return ListedSpelling::CodePageLacks;
  if (static_cast<DWORD>(length) == trueName.Length &&
      std::memcmp(converted, trueName.Units, trueName.Length * sizeof(WCHAR)) == 0) {
    return ListedSpelling::Exact;
  }
  char spelt[LongestKeyName * WidestCharacter + 1];
  const int spelling = WideCharToMultiByte(CP_ACP, 0, trueName.Units, static_cast<int>(trueName.Length),
                                           spelt, static_cast<int>(sizeof spelt), nullptr, nullptr);
  if (spelling <= 0) return ListedSpelling::CodePageLacks;
  const bool sameKey =
      static_cast<size_t>(spelling) == listed.size() && std::memcmp(spelt, listed.data(), listed.size()) == 0;
  return sameKey ? ListedSpelling::CodePageLacks : ListedSpelling::AnotherKey;
}

}  // namespace

bool TRegistry::SelectKey(const std::string& path, bool create) {
  const bool absolute = !path.empty() && path[0] == '\\';
  const size_t skipped = absolute ? 1 : 0;
  const char* remaining = path.c_str() + skipped;
  const bool belowCurrent = CurrentHandle != nullptr && !absolute;
  const HKEY base = belowCurrent ? CurrentHandle : RootHandle;
  // Built before the service call, so that nothing can fail once the new key
  // is open; into storage kept from the selection before, so that selecting
  // the same key again and again allocates nothing; and copied by its known
  // length, with no scan for its end at every value.
  SparePath.clear();
  if (belowCurrent) SparePath.append(CurrentKeyPath).append(1, '\\');
  SparePath.append(path, skipped);

  HKEY opened = nullptr;
  LONG result;
  if (create && *remaining != '\0') {
    DWORD disposition;
    result = RegCreateKeyExA(base, remaining, 0, nullptr, REG_OPTION_NON_VOLATILE, AccessMask, nullptr,
                             &opened, &disposition);
  } else {
    result = RegOpenKeyExA(base, remaining, 0, AccessMask, &opened);
  }
  if (result != ERROR_SUCCESS) return false;

  // The old key stayed open during the call, where it may have been the base.
  ReleaseKey();
  CurrentHandle = opened;
  CurrentKeyPath.swap(SparePath);
  return true;
}

bool TRegistry::QueryKeyCounts(KeyCounts& counts) {
  std::memset(&counts, 0, sizeof counts);
  const LONG result = RegQueryInfoKeyA(
      CurrentHandle, nullptr, nullptr, nullptr, &counts.SubkeyCount, &counts.LongestSubkeyName, nullptr,
      &counts.ValueCount, &counts.LongestValueName, &counts.LongestValueData, nullptr, &counts.LastWriteTime);
  // On NT the ANSI query counts characters, and a double-byte character
  // takes two bytes in the buffer.
  const PlatformFacts& facts = StartupPlatformFacts();
  if (facts.PlatformId == VER_PLATFORM_WIN32_NT && facts.DoubleByteLocale) {
    counts.LongestSubkeyName *= 2;
    counts.LongestValueName *= 2;
  }
  return result == ERROR_SUCCESS;
}

void TRegistry::ListSubkeyNames(TStringList& list, std::vector<bool>& nameIsExact) {
  list.Clear();
  nameIsExact.clear();
  KeyCounts counts;
  if (!QueryKeyCounts(counts)) return;

  const DWORD bufferSize = counts.LongestSubkeyName + 1;
  std::vector<char> buffer(bufferSize);
  std::vector<char> anyNameBuffer;  // made at the first name that does not fit
  for (DWORD index = 0; index < counts.SubkeyCount; ++index) {
    char* name = buffer.data();
    DWORD capacity = bufferSize;
    DWORD length = capacity;
    LONG result = RegEnumKeyExA(CurrentHandle, index, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (result == ERROR_MORE_DATA) {
      // The query's longest name undercounts names whose characters take
      // more than one byte (UTF-8), or a longer name arrived since the query.
      if (anyNameBuffer.empty()) anyNameBuffer.resize(AnyNameBufferSize());
      name = anyNameBuffer.data();
      capacity = static_cast<DWORD>(anyNameBuffer.size());
      length = capacity;
      result = RegEnumKeyExA(CurrentHandle, index, name, &length, nullptr, nullptr, nullptr, nullptr);
    }
    WideName trueName;
    if (result == ERROR_SUCCESS) {
      trueName.Length = WideName::Capacity;
      result = RegEnumKeyExW(CurrentHandle, index, trueName.Units, &trueName.Length, nullptr, nullptr,
                             nullptr, nullptr);
    }
    // A failed index is skipped, so that neither an earlier name nor the
    // buffer's undefined content reaches the list; when the subkeys ran out
    // (some were removed since the query) no later index can succeed. An
    // index whose key changed between the two listings went the same way.
    if (result == ERROR_NO_MORE_ITEMS) break;
    if (result != ERROR_SUCCESS) continue;
    const std::string_view listed(name, strnlen(name, capacity));
    const ListedSpelling spelling = CompareSpelling(listed, trueName);
    if (spelling == ListedSpelling::AnotherKey) continue;
    list.Add(listed);
    nameIsExact.push_back(spelling == ListedSpelling::Exact);
  }
}

void TRegistry::PutText(const std::string& valueName, const std::string& text) {
  const LONG result =
      RegSetValueExA(CurrentHandle, valueName.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                     static_cast<DWORD>(text.size() + 1));
  if (result != ERROR_SUCCESS) {
    throw ERegistryException(Format("Failed to set data for '%s'", {valueName}), CALLER_POSITION());
  }
}

void TRegistry::ReleaseKey() {
  if (CurrentHandle == nullptr) return;
  RegCloseKey(CurrentHandle);
  CurrentHandle = nullptr;
  CurrentKeyPath.clear();
}
