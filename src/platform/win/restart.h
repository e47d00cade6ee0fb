/*
 * restart.h (Windows) - files in use.  A deletion the system refuses only
 * because the file is in use (open elsewhere without sharing its
 * deletion, or the image of a loaded driver) is told apart from one it
 * refuses for want of rights, and handed to the system to do at the next
 * restart, as installers do for the files they replace.
 */
#ifndef VKM_WIN_RESTART_H
#define VKM_WIN_RESTART_H

#include <wchar.h>

/* 1 when deleting the file at PATH failed with the GetLastError value
 * CODE only because it is in use; 0 for any other refusal (no access, a
 * read-only file, a folder). */
int restart_in_use(const wchar_t *path, unsigned long code);

/* Gives the file or empty folder at PATH to the system to delete at the
 * next restart (it is named in PendingFileRenameOperations).  1: done;
 * 0: refused, GetLastError says why. */
int restart_schedule(const wchar_t *path);

#endif
