/*
 * winpath.h - Windows paths on a Linux file system.
 *
 * An offline Windows installation keeps Windows' idea of names: "System32",
 * "system32" and "SYSTEM32" are one folder.  A path composed by the program
 * (backslashes, any letter case) is resolved here, one component at a
 * time, to the name the Linux file system really holds.
 *
 * The disk is not ours: an absolute link on it names a place on this
 * machine.  So below SystemRoot every folder is entered through the
 * descriptor of the one above it, never through a link; a folder reached
 * through one counts as missing, and each such link is kept, once a run,
 * for the run to name.  SystemRoot itself is the user's word and is
 * followed.
 */
#ifndef VKM_WINPATH_H
#define VKM_WINPATH_H

#include <stddef.h>

/* Resolves PATH ('\' and '/' both separate; a leading one starts at the
 * root, else the current folder) into OUT of SIZE bytes.  Each component
 * is matched exactly if it exists, else without regard to ASCII case.
 * 1: OUT names an existing file, folder or link; 0: a component is missing,
 * is "..", or is a folder below SystemRoot reached through a link (OUT
 * holds the resolved part and the rest, '/'-separated); -1: PATH is
 * empty or OUT is too small (errno ENAMETOOLONG), or a folder on the way
 * could not be looked in (errno as the system set it; OUT as for 0):
 * whether the entry is there is not known. */
int winpath_resolve(const char *path, char *out, size_t size);

/* Resolves PATH as winpath_resolve does and opens the folder that holds
 * its last component.  1: the entry exists, *DIRFD is that folder (the
 * caller closes it) and OUT + *LEAF is the entry's name in it, which may
 * be a link; 0: missing, -1: bad input, no descriptor either way. */
int winpath_open_at(const char *path, char *out, size_t size, int *dirfd,
    size_t *leaf);

/* Hands out the next link below SystemRoot that a walk did not take,
 * each once a run, in the order they were met: its path as the disk
 * spells it, into OUT (SIZE bytes, cut to fit).  1: OUT set; 0: none
 * is waiting. */
int winpath_next_told(char *out, size_t size);

/* Closes the folder the resolver holds open for the next path in it and
 * forgets it (a test counting descriptors, a new installation). */
void winpath_forget(void);

#endif
