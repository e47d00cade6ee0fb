/*
 * winpath.h - Windows paths on a Linux file system.
 *
 * An offline Windows installation keeps Windows' idea of names: "System32",
 * "system32" and "SYSTEM32" are one folder.  A path composed by the program
 * (backslashes, any letter case) is resolved here, one component at a
 * time, to the name the Linux file system really holds.
 */
#ifndef VKM_WINPATH_H
#define VKM_WINPATH_H

#include <stddef.h>

/* Resolves PATH ('\' and '/' both separate; a leading one starts at the
 * root, else the current folder) into OUT of SIZE bytes.  Each component
 * is matched exactly if it exists, else without regard to ASCII case.
 * 1: OUT names an existing file, folder or link; 0: a component is missing
 * (OUT holds the resolved part and the rest, '/'-separated); -1: PATH is
 * empty or OUT is too small. */
int winpath_resolve(const char *path, char *out, size_t size);

#endif
