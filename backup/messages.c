/* Messages in the text that their stream's reader expects (see messages.h). */
#include "messages.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

static BOOL failed[2];

static HANDLE handle_of(Stream stream) {
  return GetStdHandle(stream == TO_OUTPUT ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
}

static void write_bytes(Stream stream, const char *bytes, DWORD length) {
  DWORD written = 0;
  while (length > 0) {
    if (!WriteFile(handle_of(stream), bytes, length, &written, NULL) || written == 0) {
      failed[stream] = TRUE;
      return;
    }
    bytes += written;
    length -= written;
  }
}

void say_wide(Stream stream, const WCHAR *text, size_t length) {
  HANDLE handle = handle_of(stream);
  DWORD mode, written;
  UINT code_page;
  int bytes;
  char *encoded;
  if (length == 0) return;
  if (GetConsoleMode(handle, &mode)) {
    if (!WriteConsoleW(handle, text, (DWORD)length, &written, NULL)) failed[stream] = TRUE;
    return;
  }
  code_page = GetConsoleOutputCP();
  if (code_page == 0) code_page = CP_UTF8;
  bytes = WideCharToMultiByte(code_page, 0, text, (int)length, NULL, 0, NULL, NULL);
  encoded = bytes > 0 ? malloc((size_t)bytes) : NULL;
  if (encoded == NULL) {
    failed[stream] = TRUE;
    return;
  }
  WideCharToMultiByte(code_page, 0, text, (int)length, encoded, bytes, NULL, NULL);
  write_bytes(stream, encoded, (DWORD)bytes);
  free(encoded);
}

static void widen(const char *ascii, WCHAR *wide, size_t capacity) {
  size_t i;
  for (i = 0; ascii[i] != '\0' && i + 1 < capacity; i++) wide[i] = (WCHAR)(unsigned char)ascii[i];
  wide[i] = 0;
}

void say(Stream stream, const char *format, ...) {
  WCHAR wide_format[512], text[2048];
  const int capacity = (int)(sizeof text / sizeof text[0]) - 1;
  int length;
  va_list arguments;
  widen(format, wide_format, sizeof wide_format / sizeof wide_format[0]);
  va_start(arguments, format);
  length = _vsnwprintf(text, (size_t)capacity, wide_format, arguments);
  va_end(arguments);
  /* A longer message is cut, not lost. */
  say_wide(stream, text, (size_t)(length < 0 || length > capacity ? capacity : length));
}

BOOL stream_ok(Stream stream) { return !failed[stream]; }
