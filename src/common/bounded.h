/*
 * bounded.h - copying a string into a fixed-size buffer.
 *
 * The program keeps names, values and paths in fixed character buffers;
 * every copy into one goes through here, so a text that does not fit is
 * cut and still terminated, and the caller learns that it was cut.
 */
#ifndef VKM_BOUNDED_H
#define VKM_BOUNDED_H

#include <stddef.h>

/* Copies at most SIZE - 1 bytes of SRC to DST and terminates it when SIZE
 * is at least 1.  Returns strlen(SRC): a result >= SIZE means it was cut. */
size_t copy_bounded(char *dst, const char *src, size_t size);

#endif
