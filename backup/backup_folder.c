/* Where backups go and which are there (see backup_folder.h). */
#include "backup_folder.h"

#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

static const WCHAR BELOW_LOCAL_APP_DATA[] = L"\\zorvo-recolour\\backups";

static WCHAR *joined(const WCHAR *first, const WCHAR *second) {
  size_t length = wcslen(first) + wcslen(second) + 1;
  WCHAR *path = malloc(length * sizeof(WCHAR));
  if (path != NULL) _snwprintf(path, length, L"%ls%ls", first, second);
  return path;
}

WCHAR *default_backup_folder(void) {
  WCHAR base[MAX_PATH];
  DWORD length = GetEnvironmentVariableW(L"LOCALAPPDATA", base, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return NULL;
  return joined(base, BELOW_LOCAL_APP_DATA);
}

DWORD make_folder(const WCHAR *folder) {
  WCHAR *path = joined(folder, L"");
  DWORD error = ERROR_SUCCESS;
  WCHAR *cut;
  if (path == NULL) return ERROR_NOT_ENOUGH_MEMORY;
  /* Each level in turn; a drive ("C:") or a share's name fails as existing. */
  for (cut = path;; cut++) {
    WCHAR kept = *cut;
    if (kept != L'\\' && kept != L'/' && kept != 0) continue;
    if (cut > path && cut[-1] != L':' && cut[-1] != L'\\') {
      *cut = 0;
      error = CreateDirectoryW(path, NULL) ? ERROR_SUCCESS : GetLastError();
      if (error == ERROR_ALREADY_EXISTS || error == ERROR_ACCESS_DENIED) {
        DWORD attributes = GetFileAttributesW(path);
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
          error = ERROR_SUCCESS;
      }
      *cut = kept;
    }
    if (kept == 0) break;
  }
  free(path);
  return error;
}

WCHAR *new_backup_path(const WCHAR *folder, const SYSTEMTIME *now) {
  WCHAR name[40];
  _snwprintf(name, sizeof name / sizeof name[0], L"\\%04u%02u%02uT%02u%02u%02u.%03uZ" BACKUP_SUFFIX,
             now->wYear, now->wMonth, now->wDay, now->wHour, now->wMinute, now->wSecond, now->wMilliseconds);
  name[sizeof name / sizeof name[0] - 1] = 0;
  return joined(folder, name);
}

static BOOL is_backup_name(const WCHAR *name) {
  size_t length = wcslen(name), suffix = wcslen(BACKUP_SUFFIX);
  return length > suffix && _wcsicmp(name + length - suffix, BACKUP_SUFFIX) == 0;
}

static int by_name(const void *a, const void *b) { return wcscmp(*(WCHAR *const *)a, *(WCHAR *const *)b); }

static DWORD add_path(BackupList *list, size_t *capacity, const WCHAR *folder, const WCHAR *name) {
  WCHAR *path;
  if (list->count == *capacity) {
    size_t larger = *capacity ? *capacity * 2 : 16;
    WCHAR **paths = realloc(list->paths, larger * sizeof *paths);
    if (paths == NULL) return ERROR_NOT_ENOUGH_MEMORY;
    list->paths = paths;
    *capacity = larger;
  }
  path = malloc((wcslen(folder) + 1 + wcslen(name) + 1) * sizeof(WCHAR));
  if (path == NULL) return ERROR_NOT_ENOUGH_MEMORY;
  _snwprintf(path, wcslen(folder) + 1 + wcslen(name) + 1, L"%ls\\%ls", folder, name);
  list->paths[list->count++] = path;
  return ERROR_SUCCESS;
}

DWORD list_backups(const WCHAR *folder, BackupList *list) {
  WIN32_FIND_DATAW found;
  size_t capacity = 0;
  DWORD error = ERROR_SUCCESS;
  WCHAR *pattern = joined(folder, L"\\*" BACKUP_SUFFIX);
  HANDLE search;
  list->paths = NULL;
  list->count = 0;
  if (pattern == NULL) return ERROR_NOT_ENOUGH_MEMORY;
  search = FindFirstFileW(pattern, &found);
  free(pattern);
  if (search == INVALID_HANDLE_VALUE) {
    error = GetLastError();
    /* No folder yet, or nothing in it: no backups. */
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? ERROR_SUCCESS : error;
  }
  do {
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && is_backup_name(found.cFileName))
      error = add_path(list, &capacity, folder, found.cFileName);
  } while (error == ERROR_SUCCESS && FindNextFileW(search, &found));
  if (error == ERROR_SUCCESS && GetLastError() != ERROR_NO_MORE_FILES) error = GetLastError();
  FindClose(search);
  if (error != ERROR_SUCCESS) {
    free_backup_list(list);
    return error;
  }
  /* The names sort by time: the folder's own order is no order. */
  qsort(list->paths, list->count, sizeof *list->paths, by_name);
  return ERROR_SUCCESS;
}

void free_backup_list(BackupList *list) {
  size_t i;
  for (i = 0; i < list->count; i++) free(list->paths[i]);
  free(list->paths);
  list->paths = NULL;
  list->count = 0;
}
