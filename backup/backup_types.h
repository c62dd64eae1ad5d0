/*
 * The few Windows types that the backup file's reader and writer use: from
 * <windows.h> in the program, declared here with the same widths where the
 * reader is built natively (its fuzz target and its unit tests).
 */
#ifndef BACKUP_TYPES_H
#define BACKUP_TYPES_H

#ifdef _WIN32
#include <windows.h>
#else
#include <stdint.h>
typedef int BOOL;
typedef uint8_t BYTE;
typedef uint32_t DWORD;
typedef uint16_t WCHAR;
#define TRUE 1
#define FALSE 0
#endif

#endif
