/* The failing calls of colour-backup-faults.exe (see fault_injection.h). */
/* The declarations and the list of calls, without the renaming. */
#define FAULT_INJECTION_BUILD
#include "fault_injection.h"

#include <stdio.h>
#include <stdlib.h>

static unsigned long calls, failed;

static void say_count(void) { fprintf(stderr, "fault injection: %lu calls, %lu failed\n", calls, failed); }

/* The error code when this call is to fail, else 0. */
static DWORD injected(void) {
  static unsigned long chosen;
  static DWORD code;
  static int persistent = -1;
  if (persistent < 0) {
    const char *call = getenv("ZORVO_FAIL_CALL"), *error = getenv("ZORVO_FAIL_CODE"),
               *lasting = getenv("ZORVO_FAIL_PERSISTENT");
    chosen = call != NULL ? strtoul(call, NULL, 10) : 0;
    code = error != NULL ? (DWORD)strtoul(error, NULL, 10) : ERROR_ACCESS_DENIED;
    persistent = lasting != NULL && lasting[0] == '1';
    atexit(say_count);
  }
  calls++;
  if (chosen == 0 || calls < chosen || (calls > chosen && !persistent)) return 0;
  failed++;
  return code;
}

/* What a failure looks like for each kind of result. */
static LONG fail_LONG(DWORD code) { return (LONG)code; }
static BOOL fail_BOOL(DWORD code) {
  SetLastError(code);
  return FALSE;
}
static HANDLE fail_HANDLE(DWORD code) {
  SetLastError(code);
  return INVALID_HANDLE_VALUE;
}
static DWORD fail_DWORD(DWORD code) {
  SetLastError(code);
  return (DWORD)-1; /* INVALID_FILE_SIZE and INVALID_FILE_ATTRIBUTES alike */
}

#define DEFINE_FAULTY(type, name, parameters, arguments)   \
  type WINAPI faulty_##name parameters {                   \
    DWORD code = injected();                               \
    return code != 0 ? fail_##type(code) : name arguments; \
  }
FAULTY_CALLS(DEFINE_FAULTY)

BOOL WINAPI faulty_WriteFile(HANDLE file, LPCVOID bytes, DWORD count, LPDWORD written,
                             LPOVERLAPPED overlapped) {
  DWORD code;
  if (file == GetStdHandle(STD_OUTPUT_HANDLE) || file == GetStdHandle(STD_ERROR_HANDLE))
    return WriteFile(file, bytes, count, written, overlapped);
  code = injected();
  return code != 0 ? fail_BOOL(code) : WriteFile(file, bytes, count, written, overlapped);
}
