/*
 * colour-backup.exe: keeps and puts back the Colour0 to Colour21 values of
 * every session, so that a run of zorvo-recolour.exe can be undone exactly.
 * main is the table of commands; each lives in its own file (commands.h),
 * and exit_status.h holds every exit status.
 */
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "backup_file.h"
#include "commands.h"
#include "exit_status.h"
#include "identity.h"
#include "messages.h"

enum { TAKES_FILE = 1, TAKES_REGISTRY = 2, TAKES_ALLOW_OTHER = 4 };

typedef struct {
  const WCHAR *name;
  int (*run)(const Options *options);
  unsigned accepts;
  const char *usage; /* NULL: not shown (a helper of recolour.cmd) */
} Command;

static const Command COMMANDS[] = {
    {L"save", save_command, TAKES_FILE | TAKES_REGISTRY,
     "  colour-backup save [FILE]\n"
     "      Saves the colour values of every session to FILE, or to a new file in\n"
     "      %LOCALAPPDATA%\\zorvo-recolour\\backups, and says where.\n"},
    {L"restore", restore_command, TAKES_FILE | TAKES_REGISTRY | TAKES_ALLOW_OTHER,
     "  colour-backup restore [--allow-other-registry] [FILE]\n"
     "      Puts back the colour values saved in FILE, or in the newest backup of\n"
     "      that folder. A backup of another user's or computer's registry is\n"
     "      refused unless --allow-other-registry is given.\n"},
    {L"list", list_command, 0,
     "  colour-backup list\n"
     "      Lists the backups in that folder, oldest first: time, sessions, path.\n"},
    {L"wait-if-own-window", wait_if_own_window_command, 0, NULL},
};

static void usage(Stream stream) {
  size_t i;
  say(stream,
      "colour-backup: keeps the colours that zorvo-recolour.exe replaces, so that a run\n"
      "can be undone.\n\n");
  for (i = 0; i < sizeof COMMANDS / sizeof COMMANDS[0]; i++) {
    if (COMMANDS[i].usage != NULL) say(stream, "%hs", COMMANDS[i].usage);
  }
  say(stream, "\nUSAGE.txt lists the exit statuses.\n");
}

static BOOL is_help(const WCHAR *argument) {
  return wcscmp(argument, L"/?") == 0 || wcscmp(argument, L"-h") == 0 || wcscmp(argument, L"--help") == 0;
}

/* An ASCII copy of ARGUMENT that can stand in a backup file, or NULL. */
static char *as_token(const WCHAR *argument) {
  size_t length = wcslen(argument), i;
  char *token = malloc(length + 1);
  if (token == NULL) return NULL;
  for (i = 0; i <= length; i++) token[i] = argument[i] < 0x80 ? (char)argument[i] : '?';
  if (!is_backup_token(token) || strchr(token, '?') != NULL) {
    free(token);
    return NULL;
  }
  return token;
}

static BOOL parse_options(int argc, WCHAR **argv, unsigned accepts, Options *options) {
  int i;
  memset(options, 0, sizeof *options);
  for (i = 0; i < argc; i++) {
    if ((accepts & TAKES_REGISTRY) && wcscmp(argv[i], L"--registry") == 0 && i + 1 < argc &&
        options->registry == NULL) {
      options->registry = as_token(argv[++i]);
      if (options->registry == NULL) return FALSE;
    } else if ((accepts & TAKES_ALLOW_OTHER) && wcscmp(argv[i], L"--allow-other-registry") == 0) {
      options->allow_other_registry = TRUE;
    } else if ((accepts & TAKES_FILE) && options->file == NULL && argv[i][0] != L'-' && argv[i][0] != 0) {
      options->file = argv[i];
    } else {
      return FALSE;
    }
  }
  return TRUE;
}

char *registry_name(const Options *options, const char *consequence) {
  DWORD error;
  char *name;
  if (options->registry != NULL) return _strdup(options->registry);
  name = this_registry(&error);
  if (name == NULL)
    say(TO_ERROR, "Could not tell whose registry this is (error %lu). %hs\n", error, consequence);
  return name;
}

int wmain(int argc, WCHAR **argv) {
  size_t i;
  if (argc == 2 && is_help(argv[1])) {
    usage(TO_OUTPUT);
    return STATUS_DONE;
  }
  for (i = 0; argc >= 2 && i < sizeof COMMANDS / sizeof COMMANDS[0]; i++) {
    Options options;
    int status;
    if (wcscmp(argv[1], COMMANDS[i].name) != 0) continue;
    if (!parse_options(argc - 2, argv + 2, COMMANDS[i].accepts, &options)) break;
    status = COMMANDS[i].run(&options);
    free((char *)options.registry);
    return status;
  }
  usage(TO_ERROR);
  return STATUS_WRONG_COMMAND_LINE;
}
