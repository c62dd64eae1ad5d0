#include "common/text_format.h"

#include <cstring>

class TemplateExpander {
 public:
  // Calls emit(bytes, count) for each piece of the filled template, in order.
  // A placeholder without an argument left expands to nothing; "%%" is one
  // percent sign; any other percent sequence stands as it is.
  template <class Emit>
  static void Expand(std::string_view pattern, std::initializer_list<FormatArgument> arguments, Emit&& emit) {
    const FormatArgument* next = arguments.begin();
    size_t literalStart = 0;
    for (size_t i = 0; i < pattern.size(); ++i) {
      if (pattern[i] != '%' || i + 1 == pattern.size()) continue;
      const char directive = pattern[i + 1];
      if (directive != 's' && directive != 'd' && directive != 'p' && directive != '%') continue;
      emit(pattern.data() + literalStart, i - literalStart);
      literalStart = i + 2;
      ++i;
      if (directive == '%') {
        emit("%", 1);
      } else if (next != arguments.end()) {
        EmitArgument(*next++, emit);
      }
    }
    emit(pattern.data() + literalStart, pattern.size() - literalStart);
  }

 private:
  template <class Emit>
  static void EmitArgument(const FormatArgument& argument, Emit& emit) {
    char digits[12];
    size_t length = 0;
    switch (argument.Kind) {
      case FormatArgument::Text: emit(argument.TextValue.data(), argument.TextValue.size()); return;
      case FormatArgument::Number: {
        const int64_t number = argument.NumberValue;
        uint64_t magnitude = number < 0 ? static_cast<uint64_t>(-number) : static_cast<uint64_t>(number);
        char reversed[12];
        do {
          reversed[length++] = static_cast<char>('0' + magnitude % 10);
          magnitude /= 10;
        } while (magnitude != 0);
        size_t out = 0;
        if (number < 0) digits[out++] = '-';
        while (length > 0) digits[out++] = reversed[--length];
        emit(digits, out);
        return;
      }
      case FormatArgument::Address: {
        static const char hex[] = "0123456789ABCDEF";
        const uint32_t position = static_cast<uint32_t>(argument.NumberValue);
        for (int shift = 28; shift >= 0; shift -= 4) digits[length++] = hex[(position >> shift) & 0xF];
        emit(digits, length);
        return;
      }
    }
  }
};

size_t FormatInto(char* out, size_t capacity, std::string_view pattern,
                  std::initializer_list<FormatArgument> arguments) {
  size_t used = 0;
  TemplateExpander::Expand(pattern, arguments, [&](const char* bytes, size_t count) {
    const size_t room = capacity - 1 - used;
    const size_t taken = count < room ? count : room;
    // An empty text may come without bytes at all: a null pointer.
    if (taken != 0) std::memcpy(out + used, bytes, taken);
    used += taken;
  });
  out[used] = '\0';
  return used;
}

std::string Format(std::string_view pattern, std::initializer_list<FormatArgument> arguments) {
  std::string result;
  TemplateExpander::Expand(pattern, arguments,
                           [&](const char* bytes, size_t count) { result.append(bytes, count); });
  return result;
}
