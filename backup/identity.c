/* Whose registry this is (see identity.h). */
#include "identity.h"

#include <sddl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static DWORD user_sid(char **sid) {
  BYTE buffer[256];
  DWORD size = 0, error = ERROR_SUCCESS;
  HANDLE token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return GetLastError();
  if (!GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size) ||
      !ConvertSidToStringSidA(((TOKEN_USER *)buffer)->User.Sid, sid))
    error = GetLastError();
  CloseHandle(token);
  return error;
}

static DWORD machine_guid(char *guid, DWORD size) {
  HKEY key;
  DWORD type = 0;
  /* The 64-bit view on 64-bit Windows, where the GUID lives; ignored on
     32-bit Windows. */
  LONG result = RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Cryptography", 0,
                              KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key);
  if (result != ERROR_SUCCESS) return (DWORD)result;
  size--;
  result = RegQueryValueExA(key, "MachineGuid", NULL, &type, (BYTE *)guid, &size);
  RegCloseKey(key);
  if (result != ERROR_SUCCESS) return (DWORD)result;
  guid[size] = '\0';
  return type == REG_SZ ? ERROR_SUCCESS : ERROR_INVALID_DATA;
}

/* Appends TEXT with every unit outside 0x21..0x7E, and "@", written \uXXXX. */
static void append_escaped(char *token, const WCHAR *text) {
  char *end = token + strlen(token);
  for (; *text != 0; text++) {
    if (*text > 0x20 && *text < 0x7F && *text != '@' && *text != '\\')
      *end++ = (char)*text;
    else
      end += sprintf(end, "\\u%04X", (unsigned)*text);
  }
  *end = '\0';
}

char *this_registry(DWORD *error) {
  WCHAR computer[MAX_COMPUTERNAME_LENGTH + 1];
  DWORD computer_length = sizeof computer / sizeof computer[0];
  char guid[64], *sid = NULL, *token;
  *error = user_sid(&sid);
  if (*error != ERROR_SUCCESS) return NULL;
  if (!GetComputerNameW(computer, &computer_length))
    *error = GetLastError();
  else
    *error = machine_guid(guid, sizeof guid);
  token =
      *error == ERROR_SUCCESS ? malloc(strlen(sid) + 1 + 6 * computer_length + 1 + strlen(guid) + 1) : NULL;
  if (token != NULL) {
    sprintf(token, "%s@", sid);
    append_escaped(token, computer);
    strcat(token, "@");
    strcat(token, guid);
  } else if (*error == ERROR_SUCCESS) {
    *error = ERROR_NOT_ENOUGH_MEMORY;
  }
  LocalFree(sid);
  return token;
}
