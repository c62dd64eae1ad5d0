/*
 * What colour-backup.exe says, on standard output and standard error, in
 * text that reads right where it lands: on a console through the console's
 * own wide calls; redirected, in the console's output code page as cmd.exe
 * and PowerShell read it, or in UTF-8 when there is no console at all (a
 * program run from Unix under Wine).
 */
#ifndef MESSAGES_H
#define MESSAGES_H

#include <windows.h>

typedef enum { TO_OUTPUT, TO_ERROR } Stream;

/* Writes FORMAT, which is ASCII, with its arguments as printf does: "%hs"
   takes a narrow text, "%ls" a wide one. */
void say(Stream stream, const char *format, ...);
/* Writes LENGTH UTF-16 units of TEXT. */
void say_wide(Stream stream, const WCHAR *text, size_t length);
/* FALSE when a write to that stream failed since the start. */
BOOL stream_ok(Stream stream);

#endif
