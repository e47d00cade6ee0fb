/*
 * platform.h - everything the program asks of the operating system,
 * apart from the registry (registry/reg_sys.h).
 *
 * Two implementations with the same file names: src/platform/win for
 * Win32, src/platform/unix for an offline Windows installation seen from
 * Linux (paths resolved without regard to case, the command interpreter's
 * one command carried out in-process).  The build picks the folder; the
 * program's logic includes no system header beyond the C library.
 */
#ifndef VKM_PLATFORM_H
#define VKM_PLATFORM_H

#include <stddef.h>

#if defined(__GNUC__)
#define PLAT_PRINTF_LIKE(f, a) __attribute__((format(printf, f, a)))
#else
#define PLAT_PRINTF_LIKE(f, a)
#endif

/* Formatted output to standard output, flushed at once so that a question
 * without a line end is visible before its key is awaited.  Placeholders
 * %s, %d and %% only; every %s argument is shown with its control
 * characters as '?' (common/out_format.h), so data from the system never
 * reaches the terminal raw. */
void plat_printf(const char *fmt, ...) PLAT_PRINTF_LIKE(1, 2);

/* Waits for one key press and returns its code (0..255) without echo and
 * without Enter; Ctrl-C reads as 3, Escape as 27.  A function or cursor key
 * gives two codes on two calls: 0 or 224, then the key's code.
 * Returns -1 when no console (terminal) can be read. */
int plat_read_key(void);

/* Copies the value of the environment variable NAME, its name matched
 * without regard to ASCII case, into BUF of SIZE bytes.
 * 1: set, value in BUF; 0: not set; -1: the value does not fit (BUF ""). */
int plat_getenv(const char *name, char *buf, size_t size);

typedef struct plat_file plat_file;

/* Opens the file at PATH (a Windows path; backslashes separate folders)
 * for reading.  MODE is "r" (text: CR LF reads as LF, byte 26 ends the
 * file) or "rb".  Returns NULL when the file cannot be opened, a folder
 * included. */
plat_file *plat_fopen(const char *path, const char *mode);

/* Reads the next line into BUF: at most SIZE - 1 bytes, the line feed
 * kept, NUL-terminated.  A longer line comes in pieces.
 * 1: BUF holds a line or piece; 0: end of file or read error. */
int plat_fgets(char *buf, int size, plat_file *f);

/* Closes a file from plat_fopen. */
void plat_fclose(plat_file *f);

/* Deletes the file at PATH.  0 on success; -1 on failure with errno set
 * as the C run-time of Windows sets it: 2 not found, 13 refused or in use,
 * 8 or 22 for the rarer causes. */
int plat_remove(const char *path);

/* Runs CMDLINE through the command interpreter ("/c") and waits for it.
 * Returns the interpreter's exit code, or -1 when nothing could be run. */
int plat_system(const char *cmdline);

#endif
