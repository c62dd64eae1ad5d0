/*
 * Whose registry this is, as a backup records it, so that a backup is put
 * back only where it was taken. On Windows: the user's SID, the computer's
 * name and the installation's machine GUID, as
 *
 *   S-1-5-21-...-1001@COMPUTER@{GUID}
 *
 * (the GUID tells apart two installations, or two Wine prefixes, that share
 * a user and a computer name). The Wine scripts name the prefix instead,
 * with --registry.
 */
#ifndef IDENTITY_H
#define IDENTITY_H

#include <windows.h>

/* This registry's name as a backup token, in malloc'd memory; NULL with the
   failed call's error in ERROR when it cannot be told. */
char *this_registry(DWORD *error);

#endif
