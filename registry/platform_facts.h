// Facts about the platform that decide how large a buffer for subkey names
// must be. They are fixed once at start-up, before the run, and only read
// afterwards.
#pragma once

#include "platform/win32.h"

struct PlatformFacts {
  /// What GetVersionExA reports as dwPlatformId, or 0 when that call fails.
  DWORD PlatformId = 0;
  /// True when the user's locale uses an ANSI code page with lead bytes.
  bool DoubleByteLocale = false;
};

/// Reads the facts from the platform; called once at start-up.
void FixPlatformFacts();

const PlatformFacts& StartupPlatformFacts();
