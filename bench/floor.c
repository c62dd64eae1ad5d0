/*
 * The floor: one recolouring pass with nothing but the platform calls that
 * the tool's design makes for it, in the same number and with the same
 * arguments. It opens the sessions key, queries it once, enumerates every
 * subkey through the ANSI and the wide call and compares the two names
 * through the code page as the tool does, and for every colour value of a
 * session whose name came back whole creates the session's key by its absolute path under
 * HKEY_CURRENT_USER, closes the key opened before it and sets the value. The names go out through one 128-byte buffer, as full
 * blocks and one last short block. No lists, no formatting, no error report:
 * what the tool costs beyond this program is what its own code costs.
 *
 * Cross-built as a plain C program; the native benchmark also compiles it
 * against the platform stand-in, where it gives the stand-in's share of a
 * run.
 */
#include <windows.h>

#define SESSIONS_PATH "Software\\Tessaloquin\\Zorvo\\Sessions"
#define COLOUR_COUNT 22
#define OUTPUT_BLOCK 128
#define LONGEST_NAME_CHARACTERS 255
#define LONGEST_NAME_BYTES (LONGEST_NAME_CHARACTERS * 4)

static const char *const ColourTexts[COLOUR_COUNT] = {
    "215,215,215", "255,255,255", "0,0,0",       "85,85,85",    "0,0,0",      "255,255,0",
    "0,0,0",       "85,85,85",    "242,0,0",     "255,0,0",     "0,242,0",    "0,255,0",
    "242,174,0",   "255,174,0",   "87,117,242",  "87,117,255",  "242,104,242", "255,104,255",
    "87,191,242",  "87,191,255",  "235,235,235", "255,255,255",
};

static const char *const ValueNames[COLOUR_COUNT] = {
    "Colour0",  "Colour1",  "Colour2",  "Colour3",  "Colour4",  "Colour5",  "Colour6",  "Colour7",
    "Colour8",  "Colour9",  "Colour10", "Colour11", "Colour12", "Colour13", "Colour14", "Colour15",
    "Colour16", "Colour17", "Colour18", "Colour19", "Colour20", "Colour21",
};

static char OutputBuffer[OUTPUT_BLOCK];
static DWORD OutputPending;
static HANDLE OutputHandle;

static void WriteOutBuffer(void) {
  DWORD written;
  if (OutputPending == 0) return;
  WriteFile(OutputHandle, OutputBuffer, OutputPending, &written, NULL);
  OutputPending = 0;
}

/* How the ANSI name of an index relates to its wide name, as the tool
   decides it: 1 the same name, 0 the code page's spelling of it (or not
   known), -1 the name of another key (the subkeys moved in between). */
static int CompareSpelling(const char *name, DWORD nameBytes, const WCHAR *trueName, DWORD trueLength) {
  WCHAR converted[LONGEST_NAME_CHARACTERS + 1];
  char spelt[LONGEST_NAME_BYTES + 1];
  const int length =
      MultiByteToWideChar(CP_ACP, 0, name, (int)nameBytes, converted, LONGEST_NAME_CHARACTERS + 1);
  int spelling;
  DWORD i;
  if (length <= 0) return 0;
  if ((DWORD)length == trueLength) {
    for (i = 0; i < trueLength && converted[i] == trueName[i]; ++i) {
    }
    if (i == trueLength) return 1;
  }
  spelling = WideCharToMultiByte(CP_ACP, 0, trueName, (int)trueLength, spelt, (int)sizeof spelt, NULL, NULL);
  if (spelling <= 0) return 0;
  if ((DWORD)spelling != nameBytes) return -1;
  for (i = 0; i < nameBytes; ++i) {
    if (spelt[i] != name[i]) return -1;
  }
  return 0;
}

static void AppendOutput(const char *bytes, DWORD count) {
  while (count > 0) {
    DWORD room = OUTPUT_BLOCK - OutputPending;
    DWORD taken = count < room ? count : room;
    DWORD i;
    for (i = 0; i < taken; ++i) OutputBuffer[OutputPending + i] = bytes[i];
    OutputPending += taken;
    bytes += taken;
    count -= taken;
    if (OutputPending == OUTPUT_BLOCK) WriteOutBuffer();
  }
}

int main(void) {
  /* The session's absolute path: the prefix stays, each name is enumerated
     straight into the place after it. */
  static char sessionPath[sizeof SESSIONS_PATH + LONGEST_NAME_BYTES + 1] = SESSIONS_PATH "\\";
  char *const name = sessionPath + sizeof SESSIONS_PATH;
  const DWORD nameRoom = (DWORD)(sizeof sessionPath - sizeof SESSIONS_PATH);
  HKEY sessions;
  HKEY current = NULL;
  DWORD subkeyCount = 0, longestSubkey = 0, valueCount = 0, longestValueName = 0, longestValue = 0;
  FILETIME lastWrite;
  DWORD index;

  OutputHandle = NULL;
  OutputPending = 0;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, SESSIONS_PATH, 0, KEY_ALL_ACCESS, &sessions) != ERROR_SUCCESS) return 0;
  /* The tool makes the sessions key its current key; its first session
     selection closes it. Here it stays open for the enumeration, and is
     closed at the end instead: the same calls, in another order. */
  if (RegQueryInfoKeyA(sessions, NULL, NULL, NULL, &subkeyCount, &longestSubkey, NULL, &valueCount,
                       &longestValueName, &longestValue, NULL, &lastWrite) != ERROR_SUCCESS) {
    subkeyCount = 0;
  }
  /* The tool's name buffer holds the longest name the query reports, and so
     does this one: the enumeration is asked for the same length. */
  if (longestSubkey + 1 > nameRoom) longestSubkey = nameRoom - 1;
  for (index = 0; index < subkeyCount; ++index) {
    DWORD nameLength = longestSubkey + 1;
    DWORD nameBytes = 0;
    WCHAR trueName[LONGEST_NAME_CHARACTERS + 1];
    DWORD trueLength = LONGEST_NAME_CHARACTERS + 1;
    int listedSpelling;
    int colour;
    if (RegEnumKeyExA(sessions, index, name, &nameLength, NULL, NULL, NULL, NULL) != ERROR_SUCCESS) continue;
    if (RegEnumKeyExW(sessions, index, trueName, &trueLength, NULL, NULL, NULL, NULL) != ERROR_SUCCESS) continue;
    while (name[nameBytes] != '\0') ++nameBytes;
    listedSpelling = CompareSpelling(name, nameBytes, trueName, trueLength);
    if (listedSpelling < 0) continue;
    if (OutputHandle == NULL) OutputHandle = GetStdHandle(STD_OUTPUT_HANDLE);
    AppendOutput(name, nameBytes);
    AppendOutput("\r\n", 2);

    for (colour = 0; colour < COLOUR_COUNT && listedSpelling > 0; ++colour) {
      const char *const text = ColourTexts[colour];
      DWORD size = 1;
      HKEY opened;
      DWORD disposition;
      while (text[size - 1] != '\0') ++size;
      if (RegCreateKeyExA(HKEY_CURRENT_USER, sessionPath, 0, NULL, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                          NULL, &opened, &disposition) != ERROR_SUCCESS) {
        continue;
      }
      if (current != NULL) RegCloseKey(current);
      current = opened;
      RegSetValueExA(current, ValueNames[colour], 0, REG_SZ, (const BYTE *)text, size);
    }
  }
  if (current != NULL) RegCloseKey(current);
  RegCloseKey(sessions);
  WriteOutBuffer();
  return 0;
}
