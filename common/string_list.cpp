#include "common/string_list.h"

#include "common/text_format.h"

const std::string& TStringList::Get(int32_t index) const {
  if (index < 0 || index >= Count()) {
    throw EStringListError(Format("List index out of bounds (%d)", {index}), CALLER_POSITION());
  }
  return Items[static_cast<size_t>(index)];
}
