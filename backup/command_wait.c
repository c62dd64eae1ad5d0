/*
 * wait-if-own-window: for recolour.cmd's last line. Waits for a key when
 * the window would otherwise close at once on what was said: when the
 * console is shared by no program but this one and the cmd.exe that runs
 * the script, and that cmd.exe was started for the script alone (its
 * command line, which recolour.cmd passes in %ZORVO_RECOLOUR_LAUNCH%, holds
 * "/c"), as a double-click in Explorer starts it. Never when input or output
 * is redirected or there is no console, so that scripts and tests never
 * wait. A cmd.exe window the user typed into is not started with /c, and
 * PowerShell shares its console with the cmd.exe it starts.
 */
#include <wchar.h>

#include "commands.h"
#include "exit_status.h"
#include "messages.h"

static BOOL is_console(DWORD which) {
  DWORD mode;
  return GetConsoleMode(GetStdHandle(which), &mode);
}

static BOOL started_for_the_script_alone(void) {
  WCHAR launch[4096];
  DWORD length = GetEnvironmentVariableW(L"ZORVO_RECOLOUR_LAUNCH", launch, sizeof launch / sizeof launch[0]);
  if (length == 0 || length >= sizeof launch / sizeof launch[0]) return FALSE;
  _wcslwr(launch);
  return wcsstr(launch, L" /c ") != NULL;
}

static void wait_for_a_key(void) {
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  INPUT_RECORD record;
  DWORD read;
  FlushConsoleInputBuffer(input);
  while (ReadConsoleInputW(input, &record, 1, &read) && read == 1) {
    if (record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown) return;
  }
}

int wait_if_own_window_command(const Options *options) {
  DWORD processes[4];
  (void)options;
  if (!is_console(STD_INPUT_HANDLE) || !is_console(STD_OUTPUT_HANDLE)) return STATUS_DONE;
  if (GetConsoleProcessList(processes, 4) != 2 || !started_for_the_script_alone()) return STATUS_DONE;
  say(TO_OUTPUT, "Press any key to close this window.\n");
  wait_for_a_key();
  return STATUS_DONE;
}
