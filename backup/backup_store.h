/*
 * Backup files on disk, through the wide file calls so that any path a
 * user may type (spaces, letters beyond ASCII, relative to the current
 * folder) works.
 */
#ifndef BACKUP_STORE_H
#define BACKUP_STORE_H

#include <windows.h>

/* Reads the whole file into malloc'd memory (never NULL on success, even
   when empty); returns the failed call's error. */
DWORD read_whole_file(const WCHAR *path, char **text, size_t *length);

/* Writes TEXT under PATH + ".partial", flushes it to disk and only then
   renames it to PATH, so that a file cut short never passes for a backup;
   an existing PATH is never replaced. On failure nothing is left under
   either name, and the failed call's error is returned. */
DWORD write_whole_file(const WCHAR *path, const char *text, size_t length);

#endif
