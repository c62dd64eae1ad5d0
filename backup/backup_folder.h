/*
 * The folder where backups go when no file is named,
 * %LOCALAPPDATA%\zorvo-recolour\backups, and the backups in a folder: files
 * named after their UTC time, YYYYMMDDTHHMMSS.mmmZ.colours, so that their
 * names sort oldest first.
 */
#ifndef BACKUP_FOLDER_H
#define BACKUP_FOLDER_H

#include <windows.h>

#define BACKUP_SUFFIX L".colours"

/* The default folder, in malloc'd memory; NULL when %LOCALAPPDATA% is not
   set. */
WCHAR *default_backup_folder(void);

/* Makes FOLDER and every folder above it that is missing. */
DWORD make_folder(const WCHAR *folder);

/* A new backup's path in FOLDER, named after the time NOW; malloc'd. */
WCHAR *new_backup_path(const WCHAR *folder, const SYSTEMTIME *now);

/* The paths of the backups in FOLDER, oldest first. */
typedef struct {
  WCHAR **paths;
  size_t count;
} BackupList;
DWORD list_backups(const WCHAR *folder, BackupList *list);
void free_backup_list(BackupList *list);

#endif
