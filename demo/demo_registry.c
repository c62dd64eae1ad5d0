/*
 * The demo's registry helper (see demo/run.sh), a Windows console program:
 *
 *   demo_registry.exe reset        deletes HKCU\Software\Tessaloquin and all
 *                                  below it, whatever the keys' permissions
 *   demo_registry.exe deny NAME    gives the session key NAME the DACL
 *                                  D:P(A;;KR;;;WD): everyone may read it, no
 *                                  one may open it for writing
 *   demo_registry.exe dump         prints the sessions key's tree
 *
 * Dump format, one record a line, names and data in hexadecimal so that any
 * byte survives:
 *   S NAME              a session: a direct subkey of the sessions key
 *   K PATH              a key below the session, PATH relative to it
 *   V NAME TYPE DATA    a value of the key above; "-" for empty name or data
 * Nothing is printed when the sessions key does not exist.
 *
 * Exit status 0 on success, 1 when a registry call fails (reported on
 * standard error), 2 for a usage error.
 */
#include <windows.h>

#include <sddl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define TOOL_ROOT "Software\\Tessaloquin"
#define SESSIONS_KEY "Software\\Tessaloquin\\Zorvo\\Sessions"
#define READ_ONLY_SDDL "D:P(A;;KR;;;WD)"
#define FULL_ACCESS_SDDL "D:P(A;;KA;;;WD)"

static int failed(const char *what, LONG code) {
  fprintf(stderr, "demo_registry: %s failed with %ld\n", what, (long)code);
  return 1;
}

static LONG set_dacl(HKEY parent, const char *name, const char *sddl) {
  PSECURITY_DESCRIPTOR descriptor = NULL;
  HKEY key;
  LONG result = RegOpenKeyExA(parent, name, 0, WRITE_DAC, &key);
  if (result != ERROR_SUCCESS) return result;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &descriptor, NULL)) {
    result = (LONG)GetLastError();
  } else {
    result = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor);
    LocalFree(descriptor);
  }
  RegCloseKey(key);
  return result;
}

/* Deletes NAME below PARENT with everything below it. Each key is first given
   full access, so that a read-only session key goes too. */
static LONG delete_tree(HKEY parent, const char *name) {
  char child[256];
  HKEY key;
  LONG result = set_dacl(parent, name, FULL_ACCESS_SDDL);
  if (result != ERROR_SUCCESS) return result;
  result = RegOpenKeyExA(parent, name, 0, KEY_ALL_ACCESS, &key);
  if (result != ERROR_SUCCESS) return result;
  for (;;) {
    DWORD length = sizeof child;
    result = RegEnumKeyExA(key, 0, child, &length, NULL, NULL, NULL, NULL);
    if (result == ERROR_NO_MORE_ITEMS) break;
    if (result == ERROR_SUCCESS) result = delete_tree(key, child);
    if (result != ERROR_SUCCESS) {
      RegCloseKey(key);
      return result;
    }
  }
  RegCloseKey(key);
  return RegDeleteKeyA(parent, name);
}

static void print_hex(const BYTE *bytes, DWORD count) {
  DWORD i;
  if (count == 0) fputs("-", stdout);
  for (i = 0; i < count; i++) printf("%02x", bytes[i]);
}

/* Prints KEY's values, then the keys below it. The sessions key (depth 0)
   has no values of interest; its subkeys are the sessions. Below a session,
   PATH is the key's path relative to the session ("" for the session). */
static LONG dump_key(HKEY key, const char *path, int depth) {
  DWORD subkeys, longest_subkey, values, longest_name, longest_data, i;
  char *name, *child_path;
  BYTE *data;
  LONG result = RegQueryInfoKeyA(key, NULL, NULL, NULL, &subkeys, &longest_subkey, NULL, &values,
                                 &longest_name, &longest_data, NULL, NULL);
  if (result != ERROR_SUCCESS) return result;
  /* The counts are in characters; a character may take several bytes. */
  name = malloc((size_t)(longest_name > longest_subkey ? longest_name : longest_subkey) * 4 + 16);
  data = malloc((size_t)longest_data + 16);
  child_path = malloc(strlen(path) + (size_t)longest_subkey * 4 + 16);
  if (name == NULL || data == NULL || child_path == NULL) return ERROR_NOT_ENOUGH_MEMORY;
  for (i = 0; depth > 0 && i < values; i++) {
    DWORD name_length = longest_name * 4 + 16, type = 0, size = longest_data + 16;
    result = RegEnumValueA(key, i, name, &name_length, NULL, &type, data, &size);
    if (result != ERROR_SUCCESS) break;
    fputs("V ", stdout);
    print_hex((const BYTE *)name, name_length);
    printf(" %lu ", (unsigned long)type);
    print_hex(data, size);
    putchar('\n');
  }
  for (i = 0; result == ERROR_SUCCESS && i < subkeys; i++) {
    DWORD length = longest_subkey * 4 + 16;
    HKEY child;
    result = RegEnumKeyExA(key, i, name, &length, NULL, NULL, NULL, NULL);
    if (result != ERROR_SUCCESS) break;
    result = RegOpenKeyExA(key, name, 0, KEY_READ, &child);
    if (result != ERROR_SUCCESS) break;
    if (depth == 0) {
      child_path[0] = '\0';
      fputs("S ", stdout);
      print_hex((const BYTE *)name, length);
    } else {
      sprintf(child_path, "%s%s%s", path, *path != '\0' ? "\\" : "", name);
      fputs("K ", stdout);
      print_hex((const BYTE *)child_path, (DWORD)strlen(child_path));
    }
    putchar('\n');
    result = dump_key(child, child_path, depth + 1);
    RegCloseKey(child);
  }
  free(name);
  free(data);
  free(child_path);
  return result;
}

int main(int argc, char **argv) {
  LONG result;
  if (argc == 2 && strcmp(argv[1], "reset") == 0) {
    result = delete_tree(HKEY_CURRENT_USER, TOOL_ROOT);
    if (result != ERROR_SUCCESS && result != ERROR_FILE_NOT_FOUND) return failed("reset", result);
    return 0;
  }
  if (argc == 3 && strcmp(argv[1], "deny") == 0) {
    HKEY sessions;
    result = RegOpenKeyExA(HKEY_CURRENT_USER, SESSIONS_KEY, 0, KEY_READ, &sessions);
    if (result != ERROR_SUCCESS) return failed("deny: opening the sessions key", result);
    result = set_dacl(sessions, argv[2], READ_ONLY_SDDL);
    RegCloseKey(sessions);
    if (result != ERROR_SUCCESS) return failed("deny", result);
    return 0;
  }
  if (argc == 2 && strcmp(argv[1], "dump") == 0) {
    HKEY sessions;
    result = RegOpenKeyExA(HKEY_CURRENT_USER, SESSIONS_KEY, 0, KEY_READ, &sessions);
    if (result == ERROR_FILE_NOT_FOUND) return 0;
    if (result != ERROR_SUCCESS) return failed("dump: opening the sessions key", result);
    result = dump_key(sessions, "", 0);
    RegCloseKey(sessions);
    fflush(stdout);
    if (result != ERROR_SUCCESS) return failed("dump", result);
    return 0;
  }
  fputs("usage: demo_registry.exe reset | deny NAME | dump\n", stderr);
  return 2;
}
