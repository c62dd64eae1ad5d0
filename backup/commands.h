/*
 * The commands of colour-backup.exe, one file each (command_*.c), and what
 * their command lines may hold. main (colour_backup.c) lists them in its
 * table; a new command is a new file and a new row there.
 */
#ifndef COMMANDS_H
#define COMMANDS_H

#include <windows.h>

typedef struct {
  /* --registry NAME: whose registry this is, instead of the user's SID and
     computer (the Wine scripts name the prefix). */
  const char *registry;
  /* --allow-other-registry: restore a backup taken from another registry. */
  BOOL allow_other_registry;
  /* The backup file, or NULL for the default folder's. */
  const WCHAR *file;
} Options;

int save_command(const Options *options);
int restore_command(const Options *options);
int list_command(const Options *options);
int wait_if_own_window_command(const Options *options);

/* This registry's name: the --registry option's, else the user's own
   (identity.h); NULL when it cannot be told, with a message said that
   ends with CONSEQUENCE. */
char *registry_name(const Options *options, const char *consequence);

/* What a refusal or a failure says of the sessions key. */
#define SESSIONS_KEY_TEXT L"HKEY_CURRENT_USER\\" WIDE_TEXT(SESSIONS_KEY_PATH)

#endif
