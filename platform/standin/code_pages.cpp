// The stand-in's ANSI code pages: how bytes become UTF-16 and back, and the
// conversion call the tool makes. A model, not the real tables: a single-byte
// code page maps byte b to U+00bb; a double-byte one maps a lead byte and its
// trail byte to one unit of its own; code page 65001 is UTF-8. Going back, a
// unit the code page lacks becomes a look-alike letter where one is known
// (sigma to "s", mu to the micro sign, epsilon to "e") and a question mark otherwise, one
// per UTF-16 unit, as the real service does.
#include "platform/standin/code_pages.h"

#include <algorithm>
#include <cstring>

#include "platform/standin/calls.h"
#include "platform/standin/standin.h"

namespace standin {
namespace {

constexpr UINT Utf8CodePage = 65001;
constexpr char16_t Replacement = 0xFFFD;
// Where a double-byte character's unit lies: 0x4000 + (lead & 0x7F) * 256 + trail.
constexpr char16_t FirstDoubleByteUnit = 0x4000;
constexpr char16_t LastDoubleByteUnit = 0xBFFF;
// Trail bytes start here, as in the real double-byte code pages: never a
// zero byte, so no name holds one.
constexpr unsigned char FirstTrailByte = 0x40;

bool IsHighSurrogate(char32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(char32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

void AppendUtf16(char32_t point, std::u16string& out) {
  if (point < 0x10000) {
    out += static_cast<char16_t>(point);
  } else {
    point -= 0x10000;
    out += static_cast<char16_t>(0xD800 + (point >> 10));
    out += static_cast<char16_t>(0xDC00 + (point & 0x3FF));
  }
}

void AppendUtf8(char32_t point, std::string& out) {
  if (point < 0x80) {
    out += static_cast<char>(point);
  } else if (point < 0x800) {
    out += static_cast<char>(0xC0 | (point >> 6));
    out += static_cast<char>(0x80 | (point & 0x3F));
  } else if (point < 0x10000) {
    out += static_cast<char>(0xE0 | (point >> 12));
    out += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (point & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (point >> 18));
    out += static_cast<char>(0x80 | ((point >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (point & 0x3F));
  }
}

// The length of the UTF-8 sequence that `lead` starts, 0 for none.
size_t SequenceLength(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 0;
}

// The code point of the well-formed sequence at `at`, or nothing; encoded
// surrogates are well-formed only when `keepSurrogates` is set.
bool DecodeSequence(const std::string& bytes, size_t at, size_t length, bool keepSurrogates,
                    char32_t& point) {
  if (length == 0 || at + length > bytes.size()) return false;
  static const unsigned char leadBits[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
  point = static_cast<unsigned char>(bytes[at]) & leadBits[length];
  for (size_t k = 1; k < length; ++k) {
    const auto next = static_cast<unsigned char>(bytes[at + k]);
    if ((next & 0xC0) != 0x80) return false;
    point = (point << 6) | (next & 0x3F);
  }
  const char32_t smallest = length == 3 ? 0x800 : length == 4 ? 0x10000 : 0;
  const bool surrogate = IsHighSurrogate(point) || IsLowSurrogate(point);
  return point >= smallest && point <= 0x10FFFF && (keepSurrogates || !surrogate);
}

// UTF-8 to UTF-16. Every byte that starts no well-formed sequence becomes
// U+FFFD; encoded surrogates are kept only when `keepSurrogates` is set,
// which the stand-in's own spelling of UTF-16 names needs.
std::u16string DecodeUtf8(const std::string& bytes, bool keepSurrogates) {
  std::u16string out;
  size_t i = 0;
  while (i < bytes.size()) {
    const size_t length = SequenceLength(static_cast<unsigned char>(bytes[i]));
    char32_t point = 0;
    if (DecodeSequence(bytes, i, length, keepSurrogates, point)) {
      AppendUtf16(point, out);
      i += length;
    } else {
      out += Replacement;
      ++i;
    }
  }
  return out;
}

// UTF-16 to UTF-8; a lone surrogate becomes U+FFFD unless `keepSurrogates`.
std::string EncodeUtf8(const std::u16string& units, bool keepSurrogates) {
  std::string out;
  for (size_t i = 0; i < units.size(); ++i) {
    char32_t point = units[i];
    if (IsHighSurrogate(point) && i + 1 < units.size() && IsLowSurrogate(units[i + 1])) {
      point = 0x10000 + ((point - 0xD800) << 10) + (units[++i] - 0xDC00);
    } else if ((IsHighSurrogate(point) || IsLowSurrogate(point)) && !keepSurrogates) {
      point = Replacement;
    }
    AppendUtf8(point, out);
  }
  return out;
}

const CPINFO* KnownCodePage() {
  const Facts& facts = StartupFacts();
  const auto found = facts.CodePages.find(facts.AnsiCodePage);
  return found == facts.CodePages.end() ? nullptr : &found->second;
}

bool IsLeadByte(const CPINFO* info, unsigned char byte) {
  if (info == nullptr) return false;
  for (int pair = 0; pair < MAX_LEADBYTES / 2; ++pair) {
    const BYTE low = info->LeadByte[2 * pair];
    const BYTE high = info->LeadByte[2 * pair + 1];
    if (low == 0 && high == 0) return false;
    if (byte >= low && byte <= high) return true;
  }
  return false;
}

char LookAlike(char16_t unit) {
  switch (unit) {
    case 0x03C3: return 's';     // small sigma
    case 0x03BC: return '\xB5';  // small mu: the micro sign
    case 0x03B5: return 'e';     // small epsilon
    default: return '?';
  }
}

const std::string WideSpellingMark(1, '\0');

}  // namespace

std::u16string Widen(const std::string& bytes) {
  if (StartupFacts().AnsiCodePage == Utf8CodePage) return DecodeUtf8(bytes, false);
  const CPINFO* info = KnownCodePage();
  std::u16string out;
  for (size_t i = 0; i < bytes.size(); ++i) {
    const auto byte = static_cast<unsigned char>(bytes[i]);
    if (IsLeadByte(info, byte) && i + 1 < bytes.size() &&
        static_cast<unsigned char>(bytes[i + 1]) >= FirstTrailByte) {
      const auto trail = static_cast<unsigned char>(bytes[++i]);
      out += static_cast<char16_t>(FirstDoubleByteUnit + ((byte & 0x7F) << 8) + trail);
    } else {
      out += static_cast<char16_t>(byte);
    }
  }
  return out;
}

std::string Narrow(const std::u16string& units) {
  if (StartupFacts().AnsiCodePage == Utf8CodePage) return EncodeUtf8(units, false);
  const CPINFO* info = KnownCodePage();
  std::string out;
  for (const char16_t unit : units) {
    const bool doubleByte = unit >= FirstDoubleByteUnit && unit <= LastDoubleByteUnit;
    const auto lead = static_cast<unsigned char>(doubleByte ? ((unit - FirstDoubleByteUnit) >> 8) | 0x80 : 0);
    if (unit < 0x100 && !IsLeadByte(info, static_cast<unsigned char>(unit))) {
      out += static_cast<char>(unit);
    } else if (doubleByte && IsLeadByte(info, lead) && (unit & 0xFF) >= FirstTrailByte) {
      out += static_cast<char>(lead);
      out += static_cast<char>(unit & 0xFF);
    } else {
      out += LookAlike(unit);
    }
  }
  return out;
}

std::string KeyNameOf(const std::u16string& name) {
  const std::string ansi = Narrow(name);
  return Widen(ansi) == name ? ansi : WideSpellingMark + EncodeUtf8(name, true);
}

namespace detail {

bool IsWideSpelling(const std::string& spelling) {
  return spelling.compare(0, WideSpellingMark.size(), WideSpellingMark) == 0;
}

std::u16string WideNameOf(const std::string& spelling) {
  return IsWideSpelling(spelling) ? DecodeUtf8(spelling.substr(WideSpellingMark.size()), true)
                                  : Widen(spelling);
}

std::string AnsiNameOf(const std::string& spelling) {
  return IsWideSpelling(spelling) ? Narrow(WideNameOf(spelling)) : spelling;
}

}  // namespace detail

}  // namespace standin

using namespace standin;

namespace {

// Both conversion calls: an injected failure, or a request the stand-in does
// not model, is ERROR_INVALID_PARAMETER; otherwise the text is converted and
// handed over, its length alone when `room` is 0. Returns the count, or 0
// with the error set.
template <class Input, class Output, class Unit>
int Convert(const detail::CallSite& call, bool modelled, const Input& input, Output (*convert)(const Input&),
            Unit* out, int room) {
  DWORD error = call.Fails ? call.Code : modelled ? 0 : 87;
  int result = 0;
  if (error == 0) {
    const Output converted = convert(input);
    if (room == 0) {
      result = static_cast<int>(converted.size());
    } else if (converted.size() > static_cast<size_t>(room)) {
      error = ERROR_INSUFFICIENT_BUFFER;
    } else {
      std::copy(converted.begin(), converted.end(), out);
      result = static_cast<int>(converted.size());
    }
  }
  if (error != 0) detail::SetLastErrorCode(error);
  return result;
}

bool IsTheAnsiCodePage(UINT codePage) {
  return codePage == CP_ACP || codePage == StartupFacts().AnsiCodePage;
}

}  // namespace

int WINAPI MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR bytes, int byteCount, LPWSTR wide,
                               int wideCount) {
  const detail::CallSite call = detail::BeginCall("MultiByteToWideChar");
  const size_t length = bytes == nullptr ? 0
                        : byteCount < 0  ? std::strlen(bytes) + 1
                                         : static_cast<size_t>(byteCount);
  const std::string input = length == 0 ? std::string() : std::string(bytes, length);
  const int result =
      Convert(call, !input.empty() && IsTheAnsiCodePage(codePage), input, Widen, wide, wideCount);
  detail::LogCall("MultiByteToWideChar(" + std::to_string(codePage) + ", " + std::to_string(flags) + ", " +
                  detail::QuoteBytes(bytes, bytes == nullptr ? 0 : length) + ", " +
                  std::to_string(byteCount) + ", " + detail::Given(wide) + ", " + std::to_string(wideCount) +
                  ") = " + std::to_string(result));
  return result;
}

int WINAPI WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wide, int wideCount, LPSTR bytes,
                               int byteCount, LPCSTR defaultCharacter, BOOL* usedDefault) {
  const detail::CallSite call = detail::BeginCall("WideCharToMultiByte");
  const std::u16string units = wide == nullptr ? std::u16string()
                               : wideCount < 0 ? std::u16string(wide) + u'\0'
                                               : std::u16string(wide, static_cast<size_t>(wideCount));
  const bool modelled =
      !units.empty() && IsTheAnsiCodePage(codePage) && defaultCharacter == nullptr && usedDefault == nullptr;
  const int result = Convert(call, modelled, units, Narrow, bytes, byteCount);
  const std::string shown = EncodeUtf8(units, true);  // logged as UTF-8
  detail::LogCall("WideCharToMultiByte(" + std::to_string(codePage) + ", " + std::to_string(flags) + ", " +
                  detail::QuoteBytes(shown.data(), shown.size()) + ", " + std::to_string(wideCount) + ", " +
                  detail::Given(bytes) + ", " + std::to_string(byteCount) + ", " +
                  detail::Given(defaultCharacter) + ", " + detail::Given(usedDefault) +
                  ") = " + std::to_string(result));
  return result;
}
