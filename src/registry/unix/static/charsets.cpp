/*
 * charsets.cpp - Latin-1 and UTF-16LE to UTF-8, with iconv's contract:
 * pure functions over buffers.
 */
#include "static/charsets.h"

#include <errno.h>
#include <strings.h>

#include "hive_names.h"

/* The names each set goes by, as libhivex and glibc spell them. */
static const char *const g_latin1[] = { "LATIN1", "ISO-8859-1",
    "ISO8859-1", NULL };
static const char *const g_utf16le[] = { "UTF-16LE", NULL };
static const char *const g_utf8[] = { "UTF-8", "UTF8", NULL };

/* 1 when NAME is one of NAMES, ignoring letter case; else 0. */
static int
named(const char *name, const char *const *names)
{
	for (; *names != NULL; names++) {
		if (strcasecmp(name, *names) == 0)
			return 1;
	}
	return 0;
}

int
charset_find(const char *to, const char *from)
{
	if (to == NULL || from == NULL || !named(to, g_utf8))
		return CHARSET_NONE;
	if (named(from, g_latin1))
		return CHARSET_LATIN1_TO_UTF8;
	if (named(from, g_utf16le))
		return CHARSET_UTF16LE_TO_UTF8;
	return CHARSET_NONE;
}

/* The next character of the LEFT bytes (at least one) at IN, read by
 * CONV: its code point in *C and its length in bytes; 0 when the input
 * ends inside it, -1 when IN begins no character.  A UTF-16 surrogate
 * is a character only as the high half of a pair, as glibc reads it. */
static int
next_char(int conv, const unsigned char *in, size_t left, unsigned long *c)
{
	unsigned long hi, lo;

	if (conv == CHARSET_LATIN1_TO_UTF8) {
		*c = in[0];
		return 1;
	}
	if (left < 2)
		return 0;
	hi = in[0] | (unsigned long)in[1] << 8;
	if (hi >= 0xdc00 && hi <= 0xdfff)
		return -1;
	if (hi < 0xd800 || hi > 0xdbff) {
		*c = hi;
		return 2;
	}
	if (left < 4)
		return 0;
	lo = in[2] | (unsigned long)in[3] << 8;
	if (lo < 0xdc00 || lo > 0xdfff)
		return -1;
	*c = 0x10000 + ((hi - 0xd800) << 10) + (lo - 0xdc00);
	return 4;
}

size_t
charset_convert(int conv, const char **in, size_t *inleft, char **out,
    size_t *outleft)
{
	unsigned long c;
	size_t len;
	int n;

	if (conv != CHARSET_LATIN1_TO_UTF8 && conv != CHARSET_UTF16LE_TO_UTF8) {
		errno = EBADF;
		return (size_t)-1;
	}
	while (*inleft > 0) {
		n = next_char(conv, (const unsigned char *)*in, *inleft, &c);
		if (n <= 0) {
			errno = n == 0 ? EINVAL : EILSEQ;
			return (size_t)-1;
		}
		if ((len = put_utf8(c, NULL)) > *outleft) {
			errno = E2BIG;
			return (size_t)-1;
		}
		put_utf8(c, *out);
		*in += n;
		*inleft -= (size_t)n;
		*out += len;
		*outleft -= len;
	}
	return 0;
}
