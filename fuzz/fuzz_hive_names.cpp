/*
 * fuzz_hive_names.cpp - the hive's name folding and UTF-16 conversion,
 * fed any bytes.
 *
 * As UTF-16LE the input must give as many UTF-8 bytes as the count
 * says, write no further, and give valid UTF-8 that glibc's iconv turns
 * back into UTF-16 and the conversion into the same UTF-8 again; where
 * iconv itself accepts the input, both must agree.  As a name, its
 * folded form must be as long, fold to itself, equal it and share its
 * hash; split in two, the halves are the same name exactly when their
 * folded forms are the same bytes.
 */
#include <errno.h>
#include <iconv.h>
#include <stdint.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>

#include "registry/unix/hive_names.h"

#include "fuzz_util.h"

#define GUARD 16

/* DATA (SIZE bytes) converted from FROM to TO by iconv, to be freed, its
 * length in *LEN; NULL when iconv refuses some of it. */
static char *
convert(const char *to, const char *from, const char *data, size_t size,
    size_t *len)
{
	iconv_t cd = iconv_open(to, from);
	size_t room = size * 4 + 4, left = room;
	char *in = (char *)data, *buf, *out;
	size_t rc;

	CHECK(cd != (iconv_t)-1);
	buf = (char *)malloc(room);
	CHECK(buf != NULL);
	out = buf;
	rc = iconv(cd, &in, &size, &out, &left);
	iconv_close(cd);
	if (rc == (size_t)-1 || size != 0) {
		free(buf);
		return NULL;
	}
	*len = room - left;
	return buf;
}

/* The UTF-8 of SIZE bytes of UTF-16LE at DATA, to be freed, checked
 * against its count and the guard bytes after it. */
static char *
to_utf8(const unsigned char *data, size_t size, size_t *len)
{
	size_t need = utf16_to_utf8(data, size, NULL);
	unsigned char *buf = (unsigned char *)malloc(need + GUARD);

	CHECK(buf != NULL);
	memset(buf, FILL, need + GUARD);
	CHECK(utf16_to_utf8(data, size, (char *)buf) == need);
	CHECK(untouched(buf + need, GUARD));
	*len = need;
	return (char *)buf;
}

static void
check_utf16(const unsigned char *data, size_t size)
{
	size_t len, wide_len, again_len, ref_len;
	char *utf8 = to_utf8(data, size, &len), *wide, *again, *ref;

	/* Valid UTF-8, no surrogate in it: iconv takes it whole. */
	wide = convert("UTF-16LE", "UTF-8", utf8, len, &wide_len);
	CHECK(wide != NULL);
	again = to_utf8((const unsigned char *)wide, wide_len, &again_len);
	CHECK(again_len == len && memcmp(again, utf8, len) == 0);
	ref = convert("UTF-8", "UTF-16LE", (const char *)data, size & ~1ul,
	    &ref_len);
	if (ref != NULL)
		CHECK(ref_len == len && memcmp(ref, utf8, len) == 0);
	free(ref);
	free(again);
	free(wide);
	free(utf8);
}

/* The folded form of S (LEN bytes), to be freed. */
static char *
folded(const char *s, size_t len)
{
	char *out = (char *)malloc(len + GUARD);

	CHECK(out != NULL);
	memset(out, FILL, len + GUARD);
	fold_name(s, len, out);
	CHECK(untouched((const unsigned char *)out + len, GUARD));
	return out;
}

static void
check_fold(const char *s, size_t len)
{
	char *f = folded(s, len), *ff = folded(f, len);

	CHECK(memcmp(ff, f, len) == 0);
	CHECK(names_equal(s, len, f, len) == 1);
	CHECK(name_hash(s, len) == name_hash(f, len));
	free(ff);
	free(f);
}

static void
check_pair(const char *a, size_t alen, const char *b, size_t blen)
{
	char *fa = folded(a, alen), *fb = folded(b, blen);
	int same = alen == blen && memcmp(fa, fb, alen) == 0;

	CHECK(names_equal(a, alen, b, blen) == same);
	CHECK(names_equal(b, blen, a, alen) == same);
	if (same)
		CHECK(name_hash(a, alen) == name_hash(b, blen));
	free(fb);
	free(fa);
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	const char *s = (const char *)data;
	size_t half = size / 2;

	check_utf16(data, size);
	check_fold(s, size);
	check_pair(s, half, s + half, size - half);
	return 0;
}
