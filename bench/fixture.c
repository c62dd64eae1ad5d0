/*
 * The benchmark's registry fixture, run under Wine in the benchmark's own
 * prefix:
 *
 *   bench-fixture seed N    HKCU\Software\Tessaloquin is replaced by a
 *                           sessions key with N sessions, each holding the
 *                           22 colour values of an old scheme and two
 *                           other settings
 *   bench-fixture clear     HKCU\Software\Tessaloquin is removed
 *   bench-fixture check N [FIRST]
 *                           exit status 0 when exactly N sessions exist and
 *                           each (or each of the first FIRST) holds the new
 *                           scheme and its two other settings unchanged;
 *                           else the first difference on standard output
 *                           and status 1
 *
 * Session i (from 0) is named host-NNNNN.example.org, NNNNN being i in five
 * digits: 22 bytes, so that every name needs a heap block of its own in a
 * program that keeps a list of them.
 */
#define _WIN32_WINNT 0x0600
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define TOOL_ROOT "Software\\Tessaloquin"
#define SESSIONS_PATH TOOL_ROOT "\\Zorvo\\Sessions"
#define COLOUR_COUNT 22

static const char *const NewScheme[COLOUR_COUNT] = {
    "215,215,215", "255,255,255", "0,0,0",       "85,85,85",    "0,0,0",      "255,255,0",
    "0,0,0",       "85,85,85",    "242,0,0",     "255,0,0",     "0,242,0",    "0,255,0",
    "242,174,0",   "255,174,0",   "87,117,242",  "87,117,255",  "242,104,242", "255,104,255",
    "87,191,242",  "87,191,255",  "235,235,235", "255,255,255",
};

static void SessionName(int index, char *name, size_t size) {
  snprintf(name, size, "host-%05d.example.org", index);
}

static void OldColour(int index, char *text, size_t size) {
  snprintf(text, size, "%d,%d,%d", index * 11 % 256, index * 37 % 256, index * 53 % 256);
}

static const char HostNameValue[] = "HostName";
static const char PortValue[] = "PortNumber";
static const DWORD Port = 22;

static int Fail(const char *what, LONG code) {
  printf("%s failed: %ld\n", what, (long)code);
  return 2;
}

static int Clear(void) {
  LONG result = RegDeleteTreeA(HKEY_CURRENT_USER, TOOL_ROOT);
  if (result != ERROR_SUCCESS && result != ERROR_FILE_NOT_FOUND) return Fail("RegDeleteTreeA", result);
  return 0;
}

static int Seed(int count) {
  HKEY sessions;
  LONG result;
  int i, j;
  if (Clear() != 0) return 2;
  result = RegCreateKeyExA(HKEY_CURRENT_USER, SESSIONS_PATH, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &sessions, NULL);
  if (result != ERROR_SUCCESS) return Fail("RegCreateKeyExA(Sessions)", result);
  for (i = 0; i < count; ++i) {
    char name[64], text[16], valueName[16];
    HKEY session;
    SessionName(i, name, sizeof name);
    result = RegCreateKeyExA(sessions, name, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &session, NULL);
    if (result != ERROR_SUCCESS) return Fail("RegCreateKeyExA(session)", result);
    RegSetValueExA(session, HostNameValue, 0, REG_SZ, (const BYTE *)name, (DWORD)strlen(name) + 1);
    RegSetValueExA(session, PortValue, 0, REG_DWORD, (const BYTE *)&Port, sizeof Port);
    for (j = 0; j < COLOUR_COUNT; ++j) {
      snprintf(valueName, sizeof valueName, "Colour%d", j);
      OldColour(j, text, sizeof text);
      result = RegSetValueExA(session, valueName, 0, REG_SZ, (const BYTE *)text, (DWORD)strlen(text) + 1);
      if (result != ERROR_SUCCESS) return Fail("RegSetValueExA", result);
    }
    RegCloseKey(session);
  }
  RegCloseKey(sessions);
  return 0;
}

static int Check(int count, int first) {
  HKEY sessions;
  DWORD subkeys = 0;
  LONG result;
  int i, j;
  result = RegOpenKeyExA(HKEY_CURRENT_USER, SESSIONS_PATH, 0, KEY_READ, &sessions);
  if (result != ERROR_SUCCESS) return Fail("RegOpenKeyExA(Sessions)", result);
  RegQueryInfoKeyA(sessions, NULL, NULL, NULL, &subkeys, NULL, NULL, NULL, NULL, NULL, NULL, NULL);
  if (subkeys != (DWORD)count) {
    printf("%lu sessions, expected %d\n", (unsigned long)subkeys, count);
    return 1;
  }
  for (i = 0; i < first; ++i) {
    char name[64], valueName[16], data[64];
    DWORD values = 0, type, size, port;
    HKEY session;
    SessionName(i, name, sizeof name);
    result = RegOpenKeyExA(sessions, name, 0, KEY_READ, &session);
    if (result != ERROR_SUCCESS) return Fail(name, result);
    RegQueryInfoKeyA(session, NULL, NULL, NULL, NULL, NULL, NULL, &values, NULL, NULL, NULL, NULL);
    if (values != COLOUR_COUNT + 2) {
      printf("%s holds %lu values\n", name, (unsigned long)values);
      return 1;
    }
    for (j = 0; j < COLOUR_COUNT; ++j) {
      snprintf(valueName, sizeof valueName, "Colour%d", j);
      size = sizeof data;
      result = RegQueryValueExA(session, valueName, NULL, &type, (BYTE *)data, &size);
      if (result != ERROR_SUCCESS || type != REG_SZ || size != strlen(NewScheme[j]) + 1 ||
          memcmp(data, NewScheme[j], size) != 0) {
        printf("%s\\%s is not %s\n", name, valueName, NewScheme[j]);
        return 1;
      }
    }
    size = sizeof data;
    result = RegQueryValueExA(session, HostNameValue, NULL, &type, (BYTE *)data, &size);
    if (result != ERROR_SUCCESS || type != REG_SZ || strcmp(data, name) != 0) {
      printf("%s\\%s changed\n", name, HostNameValue);
      return 1;
    }
    size = sizeof port;
    result = RegQueryValueExA(session, PortValue, NULL, &type, (BYTE *)&port, &size);
    if (result != ERROR_SUCCESS || type != REG_DWORD || port != Port) {
      printf("%s\\%s changed\n", name, PortValue);
      return 1;
    }
    RegCloseKey(session);
  }
  RegCloseKey(sessions);
  return 0;
}

int main(int argc, char **argv) {
  if (argc == 2 && strcmp(argv[1], "clear") == 0) return Clear();
  if (argc == 3 && strcmp(argv[1], "seed") == 0) return Seed(atoi(argv[2]));
  if (argc == 3 && strcmp(argv[1], "check") == 0) return Check(atoi(argv[2]), atoi(argv[2]));
  if (argc == 4 && strcmp(argv[1], "check") == 0) return Check(atoi(argv[2]), atoi(argv[3]));
  fprintf(stderr, "usage: bench-fixture seed N | clear | check N [FIRST]\n");
  return 2;
}
