#include "registry/platform_facts.h"

namespace {

PlatformFacts Facts;

constexpr LCID DefaultLocale = 0x0409;
constexpr DWORD EnglishLanguage = 0x09;

// Languages whose locales use single-byte code pages: their lead-byte ranges
// are never asked for.
bool IsWesternLanguage(DWORD primaryLanguage) {
  switch (primaryLanguage) {
    case 0x00:  // neutral
    case 0x06:  // Danish
    case 0x07:  // German
    case 0x09:  // English
    case 0x0A:  // Spanish
    case 0x0B:  // Finnish
    case 0x0C:  // French
    case 0x10:  // Italian
    case 0x13:  // Dutch
    case 0x14:  // Norwegian
    case 0x16:  // Portuguese
    case 0x1D:  // Swedish
      return true;
    default: return false;
  }
}

// The locale's ANSI code page as the locale names it, or the system's ANSI
// code page when the locale's text is missing or not a decimal number.
UINT LocaleAnsiCodePage(LCID locale) {
  char text[7];
  const int length = GetLocaleInfoA(locale, LOCALE_IDEFAULTANSICODEPAGE, text, sizeof text);
  // The returned length counts the terminating zero.
  if (length <= 1 || length > static_cast<int>(sizeof text)) return GetACP();
  UINT codePage = 0;
  for (int i = 0; i < length - 1; ++i) {
    if (text[i] < '0' || text[i] > '9') return GetACP();
    codePage = codePage * 10 + static_cast<UINT>(text[i] - '0');
  }
  return codePage;
}

bool HasLeadByteRange(UINT codePage) {
  CPINFO info;
  if (!GetCPInfo(codePage, &info)) return false;
  for (int pair = 0; pair < MAX_LEADBYTES / 2; ++pair) {
    const BYTE low = info.LeadByte[2 * pair];
    const BYTE high = info.LeadByte[2 * pair + 1];
    if (low == 0 && high == 0) break;
    if (low <= high) return true;
  }
  return false;
}

bool DecideDoubleByteLocale(DWORD platformId) {
  LCID locale = GetThreadLocale();
  if (locale == 0) locale = DefaultLocale;
  const DWORD primaryLanguage = (locale & 0xFFFF) != 0 ? (locale & 0x3FF) : EnglishLanguage;
  if (platformId != VER_PLATFORM_WIN32_NT) return false;
  if (IsWesternLanguage(primaryLanguage)) return false;
  return HasLeadByteRange(LocaleAnsiCodePage(locale));
}

}  // namespace

void FixPlatformFacts() {
  OSVERSIONINFOA version = {};
  version.dwOSVersionInfoSize = sizeof version;
  Facts.PlatformId = GetVersionExA(&version) ? version.dwPlatformId : 0;
  Facts.DoubleByteLocale = DecideDoubleByteLocale(Facts.PlatformId);
}

const PlatformFacts& StartupPlatformFacts() { return Facts; }
