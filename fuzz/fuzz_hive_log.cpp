/*
 * fuzz_hive_log.cpp - a dirty hive brought up to date from a log, both
 * fed any bytes.
 *
 * The input is the hive file (as long as its header's bins size says,
 * or all of it) and then its log, which stands in each of the three
 * places a log can have in turn.  Whatever the bytes: the hive is left
 * as it was unless it was brought up to date; when it was, it is as
 * long as its header says, its bins follow each other to its end, and
 * it is clean, so that the same log then brings it nothing; marked
 * dirty again, the log still brings it nothing: none of its entries
 * counts as newer than the result.
 */
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "registry/unix/hive_format.h"
#include "registry/unix/hive_log.h"

#include "fuzz_util.h"

/* 1 when the bins of the hive IMG follow each other to its end. */
static int
bins_follow(const struct hive_image *img)
{
	size_t at = BINS_START;

	while (at < img->size) {
		if (img->size - at < BIN_HEADER ||
		    memcmp(img->b + at, HBIN_MAGIC, 4) != 0 ||
		    le32(img->b + at + BIN_SIZE) == 0 ||
		    le32(img->b + at + BIN_SIZE) > img->size - at)
			return 0;
		at += le32(img->b + at + BIN_SIZE);
	}
	return 1;
}

static void
copy_image(struct hive_image *img, const uint8_t *data, size_t size)
{
	img->b = (unsigned char *)malloc(size > 0 ? size : 1);
	CHECK(img->b != NULL);
	memcpy(img->b, data, size);
	img->size = img->cap = size;
}

/* The checks on the hive HIVE (SIZE bytes) and the log LOGS[SLOT]. */
static void
recover_checked(const uint8_t *hive, size_t size,
    const struct hive_log *logs)
{
	struct hive_image img;
	int why, bad, rc;

	copy_image(&img, hive, size);
	rc = hive_log_recover(&img, logs, 0x1d0000000000000ull, &why, &bad);
	CHECK(rc >= -1 && rc <= 1);
	CHECK(bad >= -1 && bad < HIVE_LOGS);
	if (rc <= 0) {
		CHECK(img.size == size && memcmp(img.b, hive, size) == 0);
		free(img.b);
		return;
	}
	CHECK(img.size == BINS_START + le32(img.b + REGF_BINS_SIZE));
	CHECK(bins_follow(&img) && !hive_is_dirty(img.b, img.size));
	CHECK(le32(img.b + REGF_SEQ1) == le32(img.b + REGF_SEQ2));
	CHECK(hive_log_recover(&img, logs, 0, &why, &bad) == 0);
	/* Dirty again: a write begun on it and never ended. */
	img.b[REGF_SEQ1] ^= 1;
	img.b[0x1fc] ^= 1;
	CHECK(hive_log_recover(&img, logs, 0, &why, &bad) == -1 &&
	    why == LOG_NONE_APPLIES);
	free(img.b);
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	struct hive_log logs[HIVE_LOGS];
	size_t hive = size;

	if (size >= BINS_START &&
	    le32(data + REGF_BINS_SIZE) <= size - BINS_START)
		hive = BINS_START + le32(data + REGF_BINS_SIZE);
	for (int slot = 0; slot < HIVE_LOGS; slot++) {
		memset(logs, 0, sizeof(logs));
		logs[slot].data = data + hive;
		logs[slot].size = size - hive;
		recover_checked(data, hive, logs);
	}
	return 0;
}
