/*
 * For the fault sweep only (e2e/test_backup_faults.py): forced first into
 * every source of colour-backup-faults.exe, it routes the registry and file
 * calls of save, restore and list (not the writes of messages to standard
 * output and error) through
 * fault_injection.c, which makes the call numbered ZORVO_FAIL_CALL fail with
 * ZORVO_FAIL_CODE (and, with ZORVO_FAIL_PERSISTENT=1, every later one) and
 * says at exit how many such calls the run made.
 */
#ifndef FAULT_INJECTION_H
#define FAULT_INJECTION_H

#include <windows.h>

#define FAULTY_CALLS(CALL)                                                                        \
  CALL(LONG, RegOpenKeyExW, (HKEY a, LPCWSTR b, DWORD c, REGSAM d, PHKEY e), (a, b, c, d, e))     \
  CALL(LONG, RegEnumKeyExW,                                                                       \
       (HKEY a, DWORD b, LPWSTR c, LPDWORD d, LPDWORD e, LPWSTR f, LPDWORD g, PFILETIME h),       \
       (a, b, c, d, e, f, g, h))                                                                  \
  CALL(LONG, RegQueryValueExW, (HKEY a, LPCWSTR b, LPDWORD c, LPDWORD d, LPBYTE e, LPDWORD f),    \
       (a, b, c, d, e, f))                                                                        \
  CALL(LONG, RegQueryValueExA, (HKEY a, LPCSTR b, LPDWORD c, LPDWORD d, LPBYTE e, LPDWORD f),     \
       (a, b, c, d, e, f))                                                                        \
  CALL(LONG, RegSetValueExW, (HKEY a, LPCWSTR b, DWORD c, DWORD d, const BYTE *e, DWORD f),       \
       (a, b, c, d, e, f))                                                                        \
  CALL(LONG, RegDeleteValueW, (HKEY a, LPCWSTR b), (a, b))                                        \
  CALL(LONG, RegCloseKey, (HKEY a), (a))                                                          \
  CALL(HANDLE, CreateFileW,                                                                       \
       (LPCWSTR a, DWORD b, DWORD c, LPSECURITY_ATTRIBUTES d, DWORD e, DWORD f, HANDLE g),        \
       (a, b, c, d, e, f, g))                                                                     \
  CALL(BOOL, ReadFile, (HANDLE a, LPVOID b, DWORD c, LPDWORD d, LPOVERLAPPED e), (a, b, c, d, e)) \
  CALL(DWORD, GetFileSize, (HANDLE a, LPDWORD b), (a, b))                                         \
  CALL(BOOL, FlushFileBuffers, (HANDLE a), (a))                                                   \
  CALL(BOOL, CloseHandle, (HANDLE a), (a))                                                        \
  CALL(BOOL, MoveFileExW, (LPCWSTR a, LPCWSTR b, DWORD c), (a, b, c))                             \
  CALL(BOOL, DeleteFileW, (LPCWSTR a), (a))                                                       \
  CALL(BOOL, CreateDirectoryW, (LPCWSTR a, LPSECURITY_ATTRIBUTES b), (a, b))                      \
  CALL(DWORD, GetFileAttributesW, (LPCWSTR a), (a))                                               \
  CALL(HANDLE, FindFirstFileW, (LPCWSTR a, LPWIN32_FIND_DATAW b), (a, b))                         \
  CALL(BOOL, FindNextFileW, (HANDLE a, LPWIN32_FIND_DATAW b), (a, b))

#define DECLARE_FAULTY(type, name, parameters, arguments) type WINAPI faulty_##name parameters;
FAULTY_CALLS(DECLARE_FAULTY)
#undef DECLARE_FAULTY
BOOL WINAPI faulty_WriteFile(HANDLE file, LPCVOID bytes, DWORD count, LPDWORD written,
                             LPOVERLAPPED overlapped);

#ifndef FAULT_INJECTION_BUILD
#define RegOpenKeyExW faulty_RegOpenKeyExW
#define RegEnumKeyExW faulty_RegEnumKeyExW
#define RegQueryValueExW faulty_RegQueryValueExW
#define RegQueryValueExA faulty_RegQueryValueExA
#define RegSetValueExW faulty_RegSetValueExW
#define RegDeleteValueW faulty_RegDeleteValueW
#define RegCloseKey faulty_RegCloseKey
#define CreateFileW faulty_CreateFileW
#define ReadFile faulty_ReadFile
#define WriteFile faulty_WriteFile
#define GetFileSize faulty_GetFileSize
#define FlushFileBuffers faulty_FlushFileBuffers
#define CloseHandle faulty_CloseHandle
#define MoveFileExW faulty_MoveFileExW
#define DeleteFileW faulty_DeleteFileW
#define CreateDirectoryW faulty_CreateDirectoryW
#define GetFileAttributesW faulty_GetFileAttributesW
#define FindFirstFileW faulty_FindFirstFileW
#define FindNextFileW faulty_FindNextFileW
#endif

#endif
