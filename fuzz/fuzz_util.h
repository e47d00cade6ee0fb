/*
 * fuzz_util.h - what the fuzz targets share: a check that stops the run
 * where it fails, guard bytes around the buffers handed to the code under
 * test, and writing an input to the file the code will read.
 */
#ifndef VKM_FUZZ_UTIL_H
#define VKM_FUZZ_UTIL_H

#include <fcntl.h>
#include <stddef.h>
#include <stdint.h>
#include <unistd.h>

#define CHECK(c)	do { if (!(c)) __builtin_trap(); } while (0)

/* What guard bytes hold until something writes over them. */
#define FILL 0xa5

/* 1 when the LEN bytes at P all still hold FILL. */
static inline int
untouched(const unsigned char *p, size_t len)
{
	for (size_t k = 0; k < len; k++) {
		if (p[k] != FILL)
			return 0;
	}
	return 1;
}

/* Writes SIZE bytes of DATA as the whole file PATH.  0, or -1. */
static inline int
write_file(const char *path, const uint8_t *data, size_t size)
{
	int fd, ok;

	if ((fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0600)) < 0)
		return -1;
	ok = size == 0 || write(fd, data, size) == (ssize_t)size;
	return close(fd) == 0 && ok ? 0 : -1;
}

#endif
