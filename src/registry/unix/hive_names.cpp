/*
 * hive_names.cpp - key and value names as Windows folds them, and
 * UTF-16LE to UTF-8: pure functions, no hive and no I/O.
 */
#include "hive_names.h"

#include <string.h>

#include "common/ascii.h"

/* The next character of S (LEN bytes) from *I on, folded as Windows folds
 * key and value names: ASCII letters and the Latin-1 capitals (UTF-8
 * C3 80..C3 9E but for the multiplication sign) become small letters;
 * every other byte stands for itself. */
static unsigned
next_folded(const char *s, size_t len, size_t *i)
{
	unsigned char c = (unsigned char)s[(*i)++], d;

	if (c != 0xc3 || *i >= len)
		return ascii_lower(c);
	d = (unsigned char)s[*i];
	if (d < 0x80 || d > 0xbf)
		return c;
	(*i)++;
	if (d <= 0x9e && d != 0x97)
		d += 0x20;
	return 0x100u | d;
}

int
names_equal(const char *a, size_t alen, const char *b, size_t blen)
{
	size_t i = 0, j = 0;

	while (i < alen && j < blen) {
		if (next_folded(a, alen, &i) != next_folded(b, blen, &j))
			return 0;
	}
	return i == alen && j == blen;
}

/* A folded character is as long as the one it comes from. */
void
fold_name(const char *s, size_t len, char *out)
{
	size_t i = 0;
	unsigned c;

	while (i < len) {
		if ((c = next_folded(s, len, &i)) > 0xff)
			*out++ = (char)0xc3;
		*out++ = (char)(c & 0xff);
	}
}

/* FNV-1a over the folded characters. */
unsigned
name_hash(const char *s, size_t len)
{
	unsigned h = 2166136261u;
	size_t i = 0;

	while (i < len)
		h = (h ^ next_folded(s, len, &i)) * 16777619u;
	return h;
}

size_t
put_utf8(unsigned long c, char *out)
{
	unsigned char b[4];
	size_t n;

	if (c < 0x80)
		b[0] = (unsigned char)c, n = 1;
	else if (c < 0x800)
		b[0] = (unsigned char)(0xc0 | c >> 6), n = 2;
	else if (c < 0x10000)
		b[0] = (unsigned char)(0xe0 | c >> 12), n = 3;
	else
		b[0] = (unsigned char)(0xf0 | c >> 18), n = 4;
	for (size_t k = n - 1; k > 0; k--, c >>= 6)
		b[k] = (unsigned char)(0x80 | (c & 0x3f));
	if (out != NULL)
		memcpy(out, b, n);
	return n;
}

/* Units are read in pairs only where a high surrogate meets a low one. */
size_t
utf16_to_utf8(const unsigned char *src, size_t n, char *dst)
{
	size_t out = 0;

	for (size_t i = 0; i + 1 < n; i += 2) {
		unsigned long c = src[i] | (unsigned long)src[i + 1] << 8, d;

		d = i + 3 < n ? src[i + 2] | (unsigned long)src[i + 3] << 8 : 0;
		if (c >= 0xd800 && c <= 0xdbff && d >= 0xdc00 && d <= 0xdfff) {
			c = 0x10000 + ((c - 0xd800) << 10) + (d - 0xdc00);
			i += 2;
		}
		if (c >= 0xd800 && c <= 0xdfff)
			c = 0xfffd;
		out += put_utf8(c, dst != NULL ? dst + out : NULL);
	}
	return out;
}
