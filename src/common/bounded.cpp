/*
 * bounded.cpp - the bounded string copy.
 */
#include "common/bounded.h"

#include <string.h>

size_t
copy_bounded(char *dst, const char *src, size_t size)
{
	size_t len = strlen(src);

	if (size == 0)
		return len;
	size_t n = len < size - 1 ? len : size - 1;
	memcpy(dst, src, n);
	dst[n] = '\0';
	return len;
}
