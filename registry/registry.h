// TRegistry: a cursor over the registry service. It holds one predefined root
// key and at most one open key, the current key, with the path by which that
// key was reached. Listing and writing act on the current key.
#pragma once

#include <string>
#include <vector>

#include "common/exception.h"
#include "common/string_list.h"
#include "platform/win32.h"

class ERegistryException : public Exception {
 public:
  using Exception::Exception;
  const char* ClassName() const override { return "ERegistryException"; }
};

/// What the key query reports about the current key; every field is zero
/// before each query.
struct KeyCounts {
  DWORD SubkeyCount;
  DWORD LongestSubkeyName;  // in characters, without the terminating zero
  DWORD ValueCount;
  DWORD LongestValueName;  // in characters, without the terminating zero
  DWORD LongestValueData;  // in bytes
  FILETIME LastWriteTime;
};

class TRegistry {
 public:
  /// A cursor on HKEY_CURRENT_USER asking for all access; no call is made.
  TRegistry() = default;
  ~TRegistry() { ReleaseKey(); }
  TRegistry(const TRegistry&) = delete;
  TRegistry& operator=(const TRegistry&) = delete;

  /// Makes the key at `path` current, creating it first when `create` is set.
  /// A path starting with one backslash is taken from the root key; any
  /// other is taken from the current key, or from the root when none is
  /// current. On failure nothing changes and false is returned.
  bool SelectKey(const std::string& path, bool create);

  /// Clears `list`, then appends the current key's subkey names in the
  /// service's enumeration order. A failed key query leaves it empty.
  /// `nameIsExact[i]` tells whether entry i is its subkey's own name: one
  /// that the ANSI code page cannot hold comes back with question marks or
  /// look-alike letters, and would address a key that is not that subkey.
  void ListSubkeyNames(TStringList& list, std::vector<bool>& nameIsExact);

  /// Stores `text` as a REG_SZ value named `valueName` in the current key;
  /// a refused write raises ERegistryException.
  RAISES_AT_CALLER void PutText(const std::string& valueName, const std::string& text);

  /// Closes the current key, if any, and forgets it and its path.
  void ReleaseKey();

  HKEY CurrentKey() const { return CurrentHandle; }
  const std::string& CurrentPath() const { return CurrentKeyPath; }

 private:
  bool QueryKeyCounts(KeyCounts& counts);

  HKEY CurrentHandle = nullptr;
  HKEY RootHandle = HKEY_CURRENT_USER;
  std::string CurrentKeyPath;
  // The previous selection's path storage, where the next one builds its
  // path: the two swap at every successful selection.
  std::string SparePath;
  DWORD AccessMask = KEY_ALL_ACCESS;
};
