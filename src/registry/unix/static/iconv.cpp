/*
 * iconv.cpp - iconv_open, iconv and iconv_close of the static file, over
 * charsets.h.  Linked into the program itself, they stand in for the C
 * library's, which are then never linked in, nor the module loading
 * behind them.
 */
#include <errno.h>
#include <iconv.h>
#include <stdlib.h>

#include "static/charsets.h"

/* A handle holds its conversion; NULL with errno EINVAL for a pair of
 * character sets charsets.h has no conversion for. */
iconv_t
iconv_open(const char *to, const char *from)
{
	int conv = charset_find(to, from), *h;

	if (conv == CHARSET_NONE) {
		errno = EINVAL;
		return (iconv_t)-1;
	}
	if ((h = (int *)malloc(sizeof(*h))) == NULL)
		return (iconv_t)-1;
	*h = conv;
	return (iconv_t)h;
}

/* The conversions keep no state: a call without input (a reset) has
 * nothing to do.  libhivex uses a handle without checking that it
 * opened: (iconv_t)-1 is refused with EBADF. */
size_t
iconv(iconv_t cd, char **in, size_t *inleft, char **out, size_t *outleft)
{
	if (cd == (iconv_t)-1 || cd == NULL) {
		errno = EBADF;
		return (size_t)-1;
	}
	if (in == NULL || *in == NULL)
		return 0;
	return charset_convert(*(int *)cd, (const char **)in, inleft, out,
	    outleft);
}

/* 0, or -1 with errno EBADF for a handle that never opened. */
int
iconv_close(iconv_t cd)
{
	if (cd == (iconv_t)-1 || cd == NULL) {
		errno = EBADF;
		return -1;
	}
	free(cd);
	return 0;
}
