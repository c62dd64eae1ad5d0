/* Backup files on disk (see backup_store.h). */
#include "backup_store.h"

#include <stdlib.h>
#include <wchar.h>

DWORD read_whole_file(const WCHAR *path, char **text, size_t *length) {
  DWORD size, got = 0, error = ERROR_SUCCESS;
  HANDLE file =
      CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  *text = NULL;
  *length = 0;
  if (file == INVALID_HANDLE_VALUE) return GetLastError();
  size = GetFileSize(file, NULL);
  if (size == INVALID_FILE_SIZE) error = GetLastError();
  if (error == ERROR_SUCCESS && (*text = malloc(size ? size : 1)) == NULL) error = ERROR_NOT_ENOUGH_MEMORY;
  while (error == ERROR_SUCCESS && *length < size) {
    if (!ReadFile(file, *text + *length, size - (DWORD)*length, &got, NULL))
      error = GetLastError();
    else if (got == 0)
      break; /* shorter than it was: the reader's checks will refuse it */
    *length += got;
  }
  CloseHandle(file);
  if (error != ERROR_SUCCESS) {
    free(*text);
    *text = NULL;
    *length = 0;
  }
  return error;
}

static DWORD write_and_flush(HANDLE file, const char *text, size_t length) {
  DWORD written;
  while (length > 0) {
    DWORD piece = length > (1u << 20) ? (1u << 20) : (DWORD)length;
    if (!WriteFile(file, text, piece, &written, NULL)) return GetLastError();
    if (written == 0) return ERROR_HANDLE_DISK_FULL;
    text += written;
    length -= written;
  }
  return FlushFileBuffers(file) ? ERROR_SUCCESS : GetLastError();
}

DWORD write_whole_file(const WCHAR *path, const char *text, size_t length) {
  static const WCHAR suffix[] = L".partial";
  size_t path_length = wcslen(path);
  WCHAR *partial = malloc((path_length + sizeof suffix / sizeof suffix[0]) * sizeof(WCHAR));
  DWORD error;
  HANDLE file;
  if (partial == NULL) return ERROR_NOT_ENOUGH_MEMORY;
  wcscpy(partial, path);
  wcscpy(partial + path_length, suffix);
  file = CreateFileW(partial, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) {
    error = GetLastError();
    free(partial);
    return error;
  }
  error = write_and_flush(file, text, length);
  if (!CloseHandle(file) && error == ERROR_SUCCESS) error = GetLastError();
  if (error == ERROR_SUCCESS && !MoveFileExW(partial, path, MOVEFILE_WRITE_THROUGH)) error = GetLastError();
  if (error != ERROR_SUCCESS) DeleteFileW(partial);
  free(partial);
  return error;
}
