// Message templates with printf-like placeholders, filled safely: arguments are
// inserted as data and never read as templates themselves.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

/// One argument of a template: a text for %s, a signed number for %d, or a
/// code position for %p, shown as eight upper-case hexadecimal digits.
class FormatArgument {
 public:
  FormatArgument(std::string_view text) : Kind(Text), TextValue(text) {}
  FormatArgument(const char* text) : Kind(Text), TextValue(text) {}
  FormatArgument(const std::string& text) : Kind(Text), TextValue(text) {}
  FormatArgument(int32_t number) : Kind(Number), NumberValue(number) {}
  static FormatArgument Position(uint32_t position) {
    FormatArgument argument(static_cast<int32_t>(position));
    argument.Kind = Address;
    return argument;
  }

 private:
  friend class TemplateExpander;
  enum KindOfArgument { Text, Number, Address } Kind;
  std::string_view TextValue;
  int32_t NumberValue = 0;
};

/// Fills `pattern` into `out`, writing at most capacity - 1 bytes and a
/// terminating zero (capacity must be at least 1); longer results are cut.
/// Returns the number of bytes written before the zero. Never allocates.
size_t FormatInto(char* out, size_t capacity, std::string_view pattern,
                  std::initializer_list<FormatArgument> arguments);

/// Fills `pattern` into a new string.
std::string Format(std::string_view pattern, std::initializer_list<FormatArgument> arguments);
