// An ordered list of 8-bit strings, kept in insertion order, duplicates kept.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/exception.h"

class EStringListError : public Exception {
 public:
  using Exception::Exception;
  const char* ClassName() const override { return "EStringListError"; }
};

class TStringList {
 public:
  void Add(std::string_view text) { Items.emplace_back(text); }
  int32_t Count() const { return static_cast<int32_t>(Items.size()); }
  void Clear() { Items.clear(); }

  /// The entry at `index`; an index outside 0 to Count() - 1 raises
  /// EStringListError.
  RAISES_AT_CALLER const std::string& Get(int32_t index) const;

 private:
  std::vector<std::string> Items;
};
