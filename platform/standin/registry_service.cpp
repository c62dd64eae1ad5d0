// The stand-in registry service: keys, typed values, refusals, handles.
#include <algorithm>
#include <cstring>
#include <memory>

#include "platform/standin/calls.h"
#include "platform/standin/code_pages.h"
#include "platform/standin/standin.h"

namespace standin {
namespace {

using detail::BeginCall;
using detail::Given;
using detail::Hex;
using detail::LogCall;
using detail::Quote;

unsigned char Folded(unsigned char byte) { return byte >= 'A' && byte <= 'Z' ? byte + 32 : byte; }

// Key and value names compare without regard to ASCII case, which is also
// the order in which subkeys enumerate.
struct NameOrder {
  bool operator()(const std::string& left, const std::string& right) const {
    const size_t common = left.size() < right.size() ? left.size() : right.size();
    for (size_t i = 0; i < common; ++i) {
      const unsigned char a = Folded(static_cast<unsigned char>(left[i]));
      const unsigned char b = Folded(static_cast<unsigned char>(right[i]));
      if (a != b) return a < b;
    }
    return left.size() < right.size();
  }
};

struct Key {
  std::map<std::string, std::shared_ptr<Key>, NameOrder> Subkeys;
  std::map<std::string, Value, NameOrder> Values;
  unsigned Refusals = 0;
  LONG RefusalCode = ERROR_ACCESS_DENIED;
  bool Deleted = false;
};

struct RegistryState {
  std::shared_ptr<Key> Root = std::make_shared<Key>();
  std::map<uintptr_t, std::shared_ptr<Key>> Handles;
  uintptr_t NextHandle = 1;
  int MostOpen = 0;
  std::map<const void*, int> BufferNames;        // name buffers, numbered as first seen
  std::map<uintptr_t, std::string> HandlePaths;  // the path each open handle was opened on
  std::vector<ValueWrite> Writes;
  std::vector<std::string> Enumerated;
  std::vector<std::u16string> EnumeratedWide;
};

RegistryState& Registry() {
  static RegistryState state;
  return state;
}

constexpr uintptr_t FirstHandleValue = 0x1000;

std::string KeyName(HKEY key) {
  if (key == HKEY_CURRENT_USER) return "HKCU";
  if (key == nullptr) return "NULL";
  const uintptr_t value = reinterpret_cast<uintptr_t>(key);
  if (value > FirstHandleValue) return "k" + std::to_string(value - FirstHandleValue);
  return Hex(static_cast<uint32_t>(value));
}

std::shared_ptr<Key> KeyOfHandle(HKEY key) {
  if (key == HKEY_CURRENT_USER) return Registry().Root;
  const auto found = Registry().Handles.find(reinterpret_cast<uintptr_t>(key));
  return found == Registry().Handles.end() ? nullptr : found->second;
}

// The path below HKEY_CURRENT_USER by which a handle was opened.
std::string PathOfHandle(HKEY key) {
  if (key == HKEY_CURRENT_USER) return "";
  const auto found = Registry().HandlePaths.find(reinterpret_cast<uintptr_t>(key));
  return found == Registry().HandlePaths.end() ? "?" : found->second;
}

HKEY NewHandle(std::shared_ptr<Key> key, std::string path) {
  RegistryState& state = Registry();
  const uintptr_t value = FirstHandleValue + state.NextHandle++;
  state.Handles[value] = std::move(key);
  state.HandlePaths[value] = std::move(path);
  if (static_cast<int>(state.Handles.size()) > state.MostOpen)
    state.MostOpen = static_cast<int>(state.Handles.size());
  return reinterpret_cast<HKEY>(value);
}

// Splits a relative path into names; a leading or doubled backslash is a
// malformed path, a single trailing one is allowed.
bool SplitPath(const std::string& path, std::vector<std::string>& names) {
  names.clear();
  if (path.empty()) return true;
  size_t start = 0;
  while (true) {
    const size_t end = path.find('\\', start);
    const std::string name = path.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (name.empty()) return end == std::string::npos && !names.empty();
    names.push_back(name);
    if (end == std::string::npos) return true;
    start = end + 1;
    if (start == path.size()) return true;
  }
}

// The path of `subKey` below the key opened as `basePath`, its names joined
// by single backslashes.
std::string JoinedPath(const std::string& basePath, const char* subKey) {
  std::vector<std::string> names;
  SplitPath(subKey == nullptr ? "" : subKey, names);
  std::string path = basePath;
  for (const std::string& name : names) path += (path.empty() ? "" : "\\") + name;
  return path;
}

// Walks `path` below `base`, creating missing keys when `create` is set. A
// path from an ANSI call holds no zero byte, so it never names a key whose
// name the code page cannot hold.
LONG Resolve(const std::shared_ptr<Key>& base, const std::string& path, bool create,
             std::shared_ptr<Key>& found) {
  if (base == nullptr) return ERROR_INVALID_HANDLE;
  if (base->Deleted) return ERROR_KEY_DELETED;
  std::vector<std::string> names;
  if (!SplitPath(path, names)) return ERROR_BAD_PATHNAME;
  std::shared_ptr<Key> key = base;
  for (const std::string& name : names) {
    auto next = key->Subkeys.find(name);
    if (next == key->Subkeys.end()) {
      if (!create) return ERROR_FILE_NOT_FOUND;
      next = key->Subkeys.emplace(name, std::make_shared<Key>()).first;
    }
    key = next->second;
  }
  found = key;
  return ERROR_SUCCESS;
}

std::shared_ptr<Key> KeyAt(const std::string& path) {
  std::shared_ptr<Key> key;
  Resolve(Registry().Root, path, false, key);
  return key;
}

void MarkDeleted(Key& key) {
  key.Deleted = true;
  for (auto& subkey : key.Subkeys) MarkDeleted(*subkey.second);
}

// Characters of a name as the query counts them: its UTF-16 units.
DWORD CharacterCount(const std::string& spelling) {
  return static_cast<DWORD>(detail::WideNameOf(spelling).size());
}

struct KeySizes {
  DWORD LongestSubkeyName = 0;
  DWORD LongestValueName = 0;
  DWORD LongestValueData = 0;
};

KeySizes SizesOf(const Key& key) {
  KeySizes sizes;
  for (const auto& subkey : key.Subkeys) {
    sizes.LongestSubkeyName = std::max(sizes.LongestSubkeyName, CharacterCount(subkey.first));
  }
  for (const auto& value : key.Values) {
    sizes.LongestValueName = std::max(sizes.LongestValueName, CharacterCount(value.first));
    sizes.LongestValueData = std::max(sizes.LongestValueData, static_cast<DWORD>(value.second.Data.size()));
  }
  return sizes;
}

// Fills an out-argument the caller asked for.
template <class T>
void Store(T* out, const T& value) {
  if (out != nullptr) *out = value;
}

std::string OpenedName(LONG status, HKEY* result) {
  return status == ERROR_SUCCESS && result != nullptr ? " -> " + KeyName(*result) : "";
}

// The spelling of the subkey at `index` of the key behind `key`, as both
// enumeration calls find it; a status other than success when there is none.
LONG SubkeyAt(HKEY key, DWORD index, std::string& spelling) {
  const std::shared_ptr<Key> found = KeyOfHandle(key);
  if (found == nullptr) return ERROR_INVALID_HANDLE;
  if (found->Deleted) return ERROR_KEY_DELETED;
  if (index >= found->Subkeys.size()) return ERROR_NO_MORE_ITEMS;
  auto subkey = found->Subkeys.begin();
  std::advance(subkey, index);
  spelling = subkey->first;
  return ERROR_SUCCESS;
}

}  // namespace

namespace detail {
void ResetRegistry() { Registry() = RegistryState(); }
}  // namespace detail

void CreateKey(const std::string& path) {
  std::shared_ptr<Key> key;
  Resolve(Registry().Root, path, true, key);
}

void DeleteKey(const std::string& path) {
  const size_t split = path.rfind('\\');
  const std::shared_ptr<Key> parent =
      split == std::string::npos ? Registry().Root : KeyAt(path.substr(0, split));
  if (parent == nullptr) return;
  const auto found = parent->Subkeys.find(path.substr(split == std::string::npos ? 0 : split + 1));
  if (found == parent->Subkeys.end()) return;
  MarkDeleted(*found->second);
  parent->Subkeys.erase(found);
}

bool KeyExists(const std::string& path) { return KeyAt(path) != nullptr; }

std::vector<std::string> SubkeyNames(const std::string& path) {
  std::vector<std::string> names;
  if (const std::shared_ptr<Key> key = KeyAt(path)) {
    for (const auto& subkey : key->Subkeys) names.push_back(subkey.first);
  }
  return names;
}

void SetValue(const std::string& path, const std::string& name, const Value& value) {
  std::shared_ptr<Key> key;
  Resolve(Registry().Root, path, true, key);
  key->Values[name] = value;
}

std::map<std::string, Value> Values(const std::string& path) {
  std::map<std::string, Value> values;
  if (const std::shared_ptr<Key> key = KeyAt(path)) values.insert(key->Values.begin(), key->Values.end());
  return values;
}

void Refuse(const std::string& path, unsigned refusals, LONG code) {
  std::shared_ptr<Key> key;
  Resolve(Registry().Root, path, true, key);
  key->Refusals = refusals;
  key->RefusalCode = code;
}

int OpenKeyHandles() { return static_cast<int>(Registry().Handles.size()); }
const std::vector<ValueWrite>& ValueWrites() { return Registry().Writes; }
const std::vector<std::string>& EnumeratedNames() { return Registry().Enumerated; }
const std::vector<std::u16string>& EnumeratedWideNames() { return Registry().EnumeratedWide; }
int MostOpenKeyHandles() { return Registry().MostOpen; }

}  // namespace standin

using namespace standin;

LONG WINAPI RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM access, PHKEY result) {
  const detail::CallSite call = BeginCall("RegOpenKeyExA");
  LONG status = static_cast<LONG>(call.Code);
  if (!call.Fails) {
    std::shared_ptr<Key> found;
    status = Resolve(KeyOfHandle(key), subKey == nullptr ? "" : subKey, false, found);
    if (status == ERROR_SUCCESS && (found->Refusals & RefuseOpen) != 0) status = found->RefusalCode;
    if (status == ERROR_SUCCESS) *result = NewHandle(found, JoinedPath(PathOfHandle(key), subKey));
  }
  LogCall("RegOpenKeyExA(" + KeyName(key) + ", " + Quote(subKey) + ", " + std::to_string(options) + ", " +
          Hex(access) + ") = " + std::to_string(status) + OpenedName(status, result));
  return status;
}

LONG WINAPI RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR keyClass, DWORD options,
                            REGSAM access, LPSECURITY_ATTRIBUTES security, PHKEY result,
                            LPDWORD disposition) {
  const detail::CallSite call = BeginCall("RegCreateKeyExA");
  LONG status = static_cast<LONG>(call.Code);
  if (!call.Fails) {
    const std::shared_ptr<Key> base = KeyOfHandle(key);
    const std::string path = subKey == nullptr ? "" : subKey;
    std::shared_ptr<Key> existing;
    const bool existed = Resolve(base, path, false, existing) == ERROR_SUCCESS;
    std::shared_ptr<Key> found;
    status = existed ? ERROR_SUCCESS : Resolve(base, path, true, found);
    if (existed) found = existing;
    if (status == ERROR_SUCCESS && existed && (found->Refusals & RefuseCreate) != 0)
      status = found->RefusalCode;
    if (status == ERROR_SUCCESS) {
      *result = NewHandle(found, JoinedPath(PathOfHandle(key), subKey));
      if (disposition != nullptr) *disposition = existed ? 2 : 1;
    }
  }
  LogCall("RegCreateKeyExA(" + KeyName(key) + ", " + Quote(subKey) + ", " + std::to_string(reserved) + ", " +
          Given(keyClass) + ", " + std::to_string(options) + ", " + Hex(access) + ", " + Given(security) +
          ") = " + std::to_string(status) + OpenedName(status, result));
  return status;
}

LONG WINAPI RegQueryInfoKeyA(HKEY key, LPSTR keyClass, LPDWORD classLength, LPDWORD reserved, LPDWORD subKeys,
                             LPDWORD maxSubKeyLength, LPDWORD maxClassLength, LPDWORD values,
                             LPDWORD maxValueNameLength, LPDWORD maxValueLength,
                             LPDWORD securityDescriptorSize, PFILETIME lastWriteTime) {
  const detail::CallSite call = BeginCall("RegQueryInfoKeyA");
  LONG status = static_cast<LONG>(call.Code);
  if (!call.Fails) {
    const std::shared_ptr<Key> found = KeyOfHandle(key);
    status = found == nullptr ? ERROR_INVALID_HANDLE : found->Deleted ? ERROR_KEY_DELETED : ERROR_SUCCESS;
    if (status == ERROR_SUCCESS) {
      const KeySizes sizes = SizesOf(*found);
      Store(subKeys, static_cast<DWORD>(found->Subkeys.size()));
      Store(maxSubKeyLength, sizes.LongestSubkeyName);
      Store(values, static_cast<DWORD>(found->Values.size()));
      Store(maxValueNameLength, sizes.LongestValueName);
      Store(maxValueLength, sizes.LongestValueData);
      Store(lastWriteTime, FILETIME{1, 0});
    }
  }
  LogCall("RegQueryInfoKeyA(" + KeyName(key) + ", " + Given(keyClass) + ", " + Given(classLength) + ", " +
          Given(reserved) + ", " + Given(subKeys) + ", " + Given(maxSubKeyLength) + ", " +
          Given(maxClassLength) + ", " + Given(values) + ", " + Given(maxValueNameLength) + ", " +
          Given(maxValueLength) + ", " + Given(securityDescriptorSize) + ", " + Given(lastWriteTime) +
          ") = " + std::to_string(status));
  return status;
}

LONG WINAPI RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD nameLength, LPDWORD reserved,
                          LPSTR keyClass, LPDWORD classLength, PFILETIME lastWriteTime) {
  const detail::CallSite call = BeginCall("RegEnumKeyExA");
  const DWORD givenLength = *nameLength;
  LONG status = static_cast<LONG>(call.Code);
  std::string spelling;
  if (!call.Fails) status = SubkeyAt(key, index, spelling);
  if (status == ERROR_SUCCESS) {
    const std::string text = detail::AnsiNameOf(spelling);
    if (text.size() + 1 > givenLength) {
      status = ERROR_MORE_DATA;
    } else {
      std::memcpy(name, text.c_str(), text.size() + 1);
      *nameLength = static_cast<DWORD>(text.size());
      Registry().Enumerated.push_back(text);
    }
  }
  // What a failed call leaves in the buffer is undefined; make it visible.
  if (status != ERROR_SUCCESS) std::memset(name, '#', givenLength);
  std::map<const void*, int>& buffers = Registry().BufferNames;
  const auto buffer = buffers.emplace(name, static_cast<int>(buffers.size()) + 1).first;
  LogCall("RegEnumKeyExA(" + KeyName(key) + ", " + std::to_string(index) + ", buffer" +
          std::to_string(buffer->second) + ", " + std::to_string(givenLength) + ", " + Given(reserved) +
          ", " + Given(keyClass) + ", " + Given(classLength) + ", " + Given(lastWriteTime) +
          ") = " + std::to_string(status));
  return status;
}

LONG WINAPI RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameLength, LPDWORD reserved,
                          LPWSTR keyClass, LPDWORD classLength, PFILETIME lastWriteTime) {
  const detail::CallSite call = BeginCall("RegEnumKeyExW");
  const DWORD givenLength = *nameLength;
  LONG status = static_cast<LONG>(call.Code);
  std::string spelling;
  if (!call.Fails) status = SubkeyAt(key, index, spelling);
  if (status == ERROR_SUCCESS) {
    const std::u16string text = detail::WideNameOf(spelling);
    if (text.size() + 1 > givenLength) {
      status = ERROR_MORE_DATA;
    } else {
      std::copy(text.begin(), text.end(), name);
      name[text.size()] = 0;
      *nameLength = static_cast<DWORD>(text.size());
      Registry().EnumeratedWide.push_back(text);
    }
  }
  if (status != ERROR_SUCCESS) std::fill(name, name + givenLength, u'#');
  LogCall("RegEnumKeyExW(" + KeyName(key) + ", " + std::to_string(index) + ", " + Given(name) + ", " +
          std::to_string(givenLength) + ", " + Given(reserved) + ", " + Given(keyClass) + ", " +
          Given(classLength) + ", " + Given(lastWriteTime) + ") = " + std::to_string(status));
  return status;
}

LONG WINAPI RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type, const BYTE* data,
                           DWORD size) {
  const detail::CallSite call = BeginCall("RegSetValueExA");
  LONG status = static_cast<LONG>(call.Code);
  if (!call.Fails) {
    const std::shared_ptr<Key> found = KeyOfHandle(key);
    status = found == nullptr || key == nullptr ? ERROR_INVALID_HANDLE
             : found->Deleted                   ? ERROR_KEY_DELETED
             : (found->Refusals & RefuseSet)    ? found->RefusalCode
                                                : ERROR_SUCCESS;
    if (status == ERROR_SUCCESS) {
      found->Values[valueName == nullptr ? "" : valueName] =
          Value{type, std::string(reinterpret_cast<const char*>(data), size)};
    }
  }
  Registry().Writes.push_back(ValueWrite{PathOfHandle(key), valueName == nullptr ? "" : valueName,
                                         Value{type, std::string(reinterpret_cast<const char*>(data), size)},
                                         status});
  LogCall("RegSetValueExA(" + KeyName(key) + ", " + Quote(valueName) + ", " + std::to_string(reserved) +
          ", " + std::to_string(type) + ", " + detail::QuoteBytes(data, size) + ", " + std::to_string(size) +
          ") = " + std::to_string(status));
  return status;
}

LONG WINAPI RegCloseKey(HKEY key) {
  const detail::CallSite call = BeginCall("RegCloseKey");
  // The handle is gone whatever the result says.
  const size_t erased = Registry().Handles.erase(reinterpret_cast<uintptr_t>(key));
  Registry().HandlePaths.erase(reinterpret_cast<uintptr_t>(key));
  LONG status = erased == 1 || key == HKEY_CURRENT_USER ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
  if (call.Fails) status = static_cast<LONG>(call.Code);
  LogCall("RegCloseKey(" + KeyName(key) + ") = " + std::to_string(status));
  return status;
}
