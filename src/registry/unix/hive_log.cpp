/*
 * hive_log.cpp - a dirty hive brought up to date from its transaction
 * logs, in memory (hive_log.h).
 *
 * Which log applies, and how far, is the registry's own rule: an old
 * log whose base block carries the hive's last written time is applied
 * whole (the first of .LOG1, .LOG2, .LOG that does, as the boot loader
 * takes them); of the new logs, the entries that carry the hive's
 * sequence number and then each next one, the log with the earlier
 * entries first, the walk stopping at the first entry that does not
 * follow.  An entry that does follow but whose hashes or sizes are
 * wrong is damage: nothing is applied then, the caller names the log.
 */
#include "hive_log.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "hive_format.h"

/* The base block, beyond hive_format.h's sequence numbers. */
#define REGF_STAMP 0x0c		/* last written time, a FILETIME */
#define REGF_TYPE 0x1c		/* 0 a hive; in a log 1 (2 on NT 5.0), 6 */
#define REGF_ROOT 0x24
#define REGF_NAME 0x30		/* the file's name, UTF-16: whose it is */
#define REGF_NAME_BYTES 64
#define REGF_FLAGS 0x90
#define REGF_CHECKSUM 0x1fc
#define TYPE_OLD_LOG 1
#define TYPE_OLD_LOG_NT50 2
#define TYPE_NEW_LOG 6
#define BIN_OFFSET 0x04		/* a bin's offset from the first */
#define BIN_STAMP 0x14		/* the first bin's copy of REGF_STAMP */
#define SECTOR 512		/* log layout unit, and an old log's page */

/* An old log: "DIRT", one bit per page of the bins, then the pages. */
#define DIRT_MAGIC "DIRT"
#define DIRT_BITMAP 4

/* A new log's entry. */
#define HVLE_MAGIC "HvLE"
#define LE_SIZE 0x04
#define LE_FLAGS 0x08
#define LE_SEQ 0x0c
#define LE_BINS 0x10
#define LE_PAGES 0x14
#define LE_HASH1 0x18
#define LE_HASH2 0x20		/* over the 32 bytes before it */
#define LE_REFS 0x28		/* then per page its offset and size */
#define LE_REF 8
#define LE_SEED 0xc5554e7a884def82ull	/* bytes 82 ef 4d 88 7a 4e 55 c5 */

enum { KIND_NONE, KIND_OLD, KIND_NEW, KIND_DAMAGED, KIND_FOREIGN };

static void
put32(unsigned char *p, uint32_t v)
{
	for (int k = 0; k < 4; k++)
		p[k] = (unsigned char)(v >> (8 * k));
}

static uint64_t
le64(const unsigned char *p)
{
	return (uint64_t)le32(p) | (uint64_t)le32(p + 4) << 32;
}

static uint32_t
rotl(uint32_t x, int n)
{
	return x << n | x >> (32 - n);
}

static void
marvin_block(uint32_t *lo, uint32_t *hi)
{
	*hi ^= *lo;
	*lo = rotl(*lo, 20);
	*lo += *hi;
	*hi = rotl(*hi, 9);
	*hi ^= *lo;
	*lo = rotl(*lo, 27);
	*lo += *hi;
	*hi = rotl(*hi, 19);
}

uint64_t
marvin32(const unsigned char *p, size_t n, uint64_t seed)
{
	uint32_t lo = (uint32_t)seed, hi = (uint32_t)(seed >> 32), last = 0x80;
	size_t k;

	for (k = 0; n - k >= 4; k += 4) {
		lo += (uint32_t)le32(p + k);
		marvin_block(&lo, &hi);
	}
	/* The 0 to 3 bytes left, then 0x80, as one more word. */
	for (size_t j = n - k; j > 0; j--)
		last = last << 8 | p[k + j - 1];
	lo += last;
	marvin_block(&lo, &hi);
	marvin_block(&lo, &hi);
	return (uint64_t)hi << 32 | lo;
}

uint32_t
regf_checksum(const unsigned char *base)
{
	uint32_t sum = 0;

	for (int k = 0; k < REGF_CHECKSUM; k += 4)
		sum ^= (uint32_t)le32(base + k);
	return sum;
}

int
hive_is_dirty(const unsigned char *img, size_t size)
{
	return size >= BINS_START && memcmp(img, REGF_MAGIC, 4) == 0 &&
	    regf_checksum(img) == le32(img + REGF_CHECKSUM) &&
	    le32(img + REGF_SEQ1) != le32(img + REGF_SEQ2);
}

/* What the log L is to the hive whose base block is BASE.  A log never
 * written (empty, or a first sector of zeros) is none. */
static int
log_kind(const struct hive_log *l, const unsigned char *base)
{
	const unsigned char *p = l->data;
	unsigned long type;
	size_t k = 0;

	while (k < l->size && k < SECTOR && p[k] == 0)
		k++;
	if (k == l->size || k == SECTOR)
		return KIND_NONE;
	if (l->size < SECTOR || memcmp(p, REGF_MAGIC, 4) != 0 ||
	    regf_checksum(p) != le32(p + REGF_CHECKSUM) ||
	    le32(p + REGF_SEQ1) != le32(p + REGF_SEQ2))
		return KIND_DAMAGED;
	type = le32(p + REGF_TYPE);
	if (type != TYPE_OLD_LOG && type != TYPE_OLD_LOG_NT50 &&
	    type != TYPE_NEW_LOG)
		return KIND_DAMAGED;
	/* A log carries its hive's name, as the hive's own base block. */
	if (memcmp(p + REGF_NAME, base + REGF_NAME, REGF_NAME_BYTES) != 0)
		return KIND_FOREIGN;
	return type == TYPE_NEW_LOG ? KIND_NEW : KIND_OLD;
}

/* Gives IMG bins of BINS bytes, grown with zeros or cut.  1, or -1 when
 * there is no memory (IMG unchanged). */
static int
image_resize(struct hive_image *img, uint32_t bins)
{
	size_t want = BINS_START + (size_t)bins;
	unsigned char *b;

	if (want > img->cap) {
		if ((b = (unsigned char *)realloc(img->b, want)) == NULL)
			return -1;
		img->b = b;
		img->cap = want;
	}
	if (want > img->size)
		memset(img->b + img->size, 0, want - img->size);
	img->size = want;
	put32(img->b + REGF_BINS_SIZE, bins);
	return 1;
}

/* 1 when BINS, the bins size a log sets, is one a hive can have and
 * one the logs can have filled: no more than MOST, the hive's own bins
 * and every byte of its logs. */
static int
bins_size_ok(uint32_t bins, size_t most)
{
	return bins != 0 && bins % BIN_ALIGN == 0 && bins <= most;
}

/* 1 when the bins of IMG follow each other from the first to its end,
 * each at the offset it names and a whole number of blocks long, and
 * the root cell lies inside them. */
static int
bins_whole(const struct hive_image *img)
{
	size_t at = BINS_START, size;
	const unsigned char *bin;

	while (at < img->size) {
		bin = img->b + at;
		if (img->size - at < BIN_HEADER ||
		    memcmp(bin, HBIN_MAGIC, 4) != 0 ||
		    le32(bin + BIN_OFFSET) != at - BINS_START)
			return 0;
		size = le32(bin + BIN_SIZE);
		if (size < BIN_ALIGN || size % BIN_ALIGN != 0 ||
		    size > img->size - at)
			return 0;
		at += size;
	}
	return img->size > BINS_START &&
	    le32(img->b + REGF_ROOT) < img->size - BINS_START;
}

/* ---- new logs: entries ---- */

/* The walk over the entries of the new logs. */
struct chain {
	uint32_t next;		/* the sequence number the next must carry */
	int applied;
	size_t most;		/* the largest bins size a log can set */
};

/* 1 when the entry at P (ROOM bytes left in its log) may be applied:
 * its size, its pages and its bins size agree (a bins size up to
 * MOST), and its hashes are right.  0: it is damaged. */
static int
entry_ok(const unsigned char *p, size_t room, size_t most)
{
	unsigned long size = le32(p + LE_SIZE), count = le32(p + LE_PAGES);
	unsigned long bins = le32(p + LE_BINS), used, off, len;

	if (size < LE_REFS || size % SECTOR != 0 || size > room ||
	    !bins_size_ok((uint32_t)bins, most) ||
	    count > (size - LE_REFS) / LE_REF)
		return 0;
	if (marvin32(p + LE_REFS, size - LE_REFS, LE_SEED) !=
	    le64(p + LE_HASH1) ||
	    marvin32(p, LE_HASH2, LE_SEED) != le64(p + LE_HASH2))
		return 0;
	used = LE_REFS + count * LE_REF;
	for (unsigned long k = 0; k < count; k++) {
		off = le32(p + LE_REFS + k * LE_REF);
		len = le32(p + LE_REFS + k * LE_REF + 4);
		if (len > size - used || off > bins || len > bins - off)
			return 0;
		used += len;
	}
	return 1;
}

/* Writes the pages of the entry at P (checked) into IMG, at the bins
 * size it sets, and takes its flag.  1, or -1 for no memory. */
static int
entry_apply(struct hive_image *img, const unsigned char *p)
{
	unsigned long count = le32(p + LE_PAGES), off, len;
	const unsigned char *data = p + LE_REFS + count * LE_REF;

	if (image_resize(img, (uint32_t)le32(p + LE_BINS)) < 0)
		return -1;
	for (unsigned long k = 0; k < count; k++) {
		off = le32(p + LE_REFS + k * LE_REF);
		len = le32(p + LE_REFS + k * LE_REF + 4);
		memcpy(img->b + BINS_START + off, data, len);
		data += len;
	}
	/* Only the lowest bit of the flags is logged. */
	put32(img->b + REGF_FLAGS, (uint32_t)((le32(img->b + REGF_FLAGS) &
	    ~1ul) | (le32(p + LE_FLAGS) & 1)));
	return 1;
}

/* Applies the entries of the new log L that carry C->next and each
 * next number, from its first on.  1: walked to one that does not
 * follow, or to the end; 0: one that follows is damaged; -1: no
 * memory. */
static int
walk_entries(struct hive_image *img, const struct hive_log *l,
    struct chain *c)
{
	const unsigned char *p;
	size_t at = SECTOR;

	while (l->size - at >= LE_REFS) {
		p = l->data + at;
		if (memcmp(p, HVLE_MAGIC, 4) != 0 || le32(p + LE_SEQ) != c->next)
			return 1;
		if (!entry_ok(p, l->size - at, c->most))
			return 0;
		if (entry_apply(img, p) < 0)
			return -1;
		c->next++;
		c->applied++;
		at += le32(p + LE_SIZE);
	}
	return 1;
}

/* Applies the new logs of LOGS (KINDS says which) to IMG.  Those whose
 * base block's sequence number is below the hive's second one hold
 * nothing newer.  1: applied; 0: nothing to apply; -1: damaged (*BAD
 * the log) or no memory (*BAD -1). */
static int
recover_new(struct hive_image *img, const struct hive_log *logs,
    const int *kinds, size_t most, int *bad)
{
	uint32_t from = (uint32_t)le32(img->b + REGF_SEQ2);
	int order[2], n = 0, rc;
	struct chain c;

	for (int k = HIVE_LOG1; k <= HIVE_LOG2; k++) {
		if (kinds[k] == KIND_NEW && le32(logs[k].data + REGF_SEQ1) >=
		    from)
			order[n++] = k;
	}
	if (n == 0)
		return 0;
	if (n == 2 && le32(logs[order[1]].data + REGF_SEQ1) <
	    le32(logs[order[0]].data + REGF_SEQ1)) {
		order[0] = HIVE_LOG2;
		order[1] = HIVE_LOG1;
	}
	c.next = (uint32_t)le32(logs[order[0]].data + REGF_SEQ1);
	c.applied = 0;
	c.most = most;
	for (int k = 0; k < n; k++) {
		if ((rc = walk_entries(img, &logs[order[k]], &c)) <= 0) {
			*bad = rc == 0 ? order[k] : -1;
			return -1;
		}
		if (c.applied > 0)
			*bad = order[k];
	}
	return c.applied > 0;
}

/* ---- old logs: the dirty vector ---- */

/* Applies the old log L to IMG: its bins size (up to MOST), and each
 * page its dirty vector marks.  1, 0 when it is damaged, -1 for no
 * memory. */
static int
apply_dirty_vector(struct hive_image *img, const struct hive_log *l,
    size_t most)
{
	uint32_t bins = (uint32_t)le32(l->data + REGF_BINS_SIZE);
	const unsigned char *map = l->data + SECTOR + DIRT_BITMAP;
	size_t bits = bins / SECTOR, pages, set = 0, at;

	if (!bins_size_ok(bins, most) || l->size < SECTOR + DIRT_BITMAP ||
	    memcmp(l->data + SECTOR, DIRT_MAGIC, 4) != 0)
		return 0;
	pages = SECTOR + DIRT_BITMAP + bits / 8;
	pages = (pages + SECTOR - 1) / SECTOR * SECTOR;
	if (pages > l->size)
		return 0;
	for (size_t k = 0; k < bits; k++)
		set += map[k / 8] >> (k % 8) & 1;
	if (set > (l->size - pages) / SECTOR)
		return 0;
	if (image_resize(img, bins) < 0)
		return -1;
	at = pages;
	for (size_t k = 0; k < bits; k++) {
		if ((map[k / 8] >> (k % 8) & 1) == 0)
			continue;
		memcpy(img->b + BINS_START + k * SECTOR, l->data + at, SECTOR);
		at += SECTOR;
	}
	return 1;
}

/* Applies the first old log of LOGS (KINDS says which) written at the
 * hive IMG's last written time.  1: applied; 0: none applies; -1:
 * damaged (*BAD the log) or no memory (*BAD -1). */
static int
recover_old(struct hive_image *img, const struct hive_log *logs,
    const int *kinds, size_t most, int *bad)
{
	int rc;

	for (int k = 0; k < HIVE_LOGS; k++) {
		if (kinds[k] != KIND_OLD || memcmp(logs[k].data + REGF_STAMP,
		    img->b + REGF_STAMP, 8) != 0)
			continue;
		rc = apply_dirty_vector(img, &logs[k], most);
		*bad = rc < 0 ? -1 : k;
		return rc > 0 ? 1 : -1;
	}
	return 0;
}

/* ---- the whole ---- */

/* The highest sequence number the log L (of kind KIND) carries: in its
 * base block and, for a new log, in any entry, past ones included. */
static uint32_t
log_top(const struct hive_log *l, int kind)
{
	uint32_t top = (uint32_t)le32(l->data + REGF_SEQ1), s;

	for (size_t at = SECTOR; kind == KIND_NEW && at + LE_REFS <= l->size;
	    at += SECTOR) {
		if (memcmp(l->data + at, HVLE_MAGIC, 4) == 0 &&
		    (s = (uint32_t)le32(l->data + at + LE_SEQ)) > top)
			top = s;
	}
	return top;
}

/* STAMP, or the first time after it that no old log of LOGS carries. */
static uint64_t
unused_stamp(uint64_t stamp, const struct hive_log *logs, const int *kinds)
{
	for (int k = 0; k < HIVE_LOGS; k++) {
		if (kinds[k] == KIND_OLD &&
		    le64(logs[k].data + REGF_STAMP) == stamp) {
			stamp++;
			k = -1;
		}
	}
	return stamp;
}

/* Marks IMG, brought up to date from LOGS, clean: both sequence numbers
 * one above the highest of its own and of the logs', its last written
 * time STAMP or one after it that no old log carries.  0 when the
 * numbers have run out: no such mark. */
static int
mark_clean(struct hive_image *img, const struct hive_log *logs,
    const int *kinds, uint64_t stamp)
{
	uint32_t top = (uint32_t)le32(img->b + REGF_SEQ1), s;

	if ((s = (uint32_t)le32(img->b + REGF_SEQ2)) > top)
		top = s;
	for (int k = 0; k < HIVE_LOGS; k++) {
		if ((kinds[k] == KIND_OLD || kinds[k] == KIND_NEW) &&
		    (s = log_top(&logs[k], kinds[k])) > top)
			top = s;
	}
	if (top == 0xffffffffu)
		return 0;
	stamp = unused_stamp(stamp, logs, kinds);
	put32(img->b + REGF_SEQ1, top + 1);
	put32(img->b + REGF_SEQ2, top + 1);
	/* The first bin keeps a copy of the time, for a torn base block. */
	for (int k = 0; k < 2; k++) {
		put32(img->b + REGF_STAMP + 4 * k, (uint32_t)(stamp >> 32 * k));
		put32(img->b + BINS_START + BIN_STAMP + 4 * k,
		    (uint32_t)(stamp >> 32 * k));
	}
	put32(img->b + REGF_CHECKSUM, regf_checksum(img->b));
	return 1;
}

/* The first of LOGS (the first NUSED of them) that is damaged or
 * another hive's, with *WHY saying which; -1 when none is. */
static int
bad_log(const int *kinds, int nused, int *why)
{
	for (int k = 0; k < nused; k++) {
		if (kinds[k] == KIND_DAMAGED || kinds[k] == KIND_FOREIGN) {
			*why = kinds[k] == KIND_DAMAGED ? LOG_DAMAGED :
			    LOG_FOREIGN;
			return k;
		}
	}
	return -1;
}

int
hive_log_recover(struct hive_image *img, const struct hive_log *logs,
    uint64_t stamp, int *why, int *bad)
{
	struct hive_image w;
	uint32_t bins;
	int kinds[HIVE_LOGS], fresh, rc;
	size_t most;

	*bad = -1;
	*why = LOG_NONE_APPLIES;
	if (!hive_is_dirty(img->b, img->size))
		return 0;
	*why = LOG_FAILED;
	bins = (uint32_t)le32(img->b + REGF_BINS_SIZE);
	if (bins % BIN_ALIGN != 0 || bins > img->size - BINS_START) {
		errno = EINVAL;
		return -1;
	}
	most = bins;
	for (int k = 0; k < HIVE_LOGS; k++) {
		kinds[k] = log_kind(&logs[k], img->b);
		most += logs[k].size;
	}
	/* With new logs beside it, a .LOG is a leftover of an older
	 * Windows: not looked at. */
	fresh = kinds[HIVE_LOG1] == KIND_NEW || kinds[HIVE_LOG2] == KIND_NEW;
	if ((*bad = bad_log(kinds, fresh ? HIVE_LOG : HIVE_LOGS, why)) >= 0)
		return -1;
	w.size = w.cap = BINS_START + (size_t)bins;
	if ((w.b = (unsigned char *)malloc(w.cap)) == NULL) {
		errno = ENOMEM;
		return -1;
	}
	memcpy(w.b, img->b, w.size);
	rc = fresh ? recover_new(&w, logs, kinds, most, bad) :
	    recover_old(&w, logs, kinds, most, bad);
	if (rc > 0 && (!bins_whole(&w) || !mark_clean(&w, logs, kinds,
	    stamp)))
		rc = -1;
	*why = rc == 0 ? LOG_NONE_APPLIES : *bad >= 0 ? LOG_DAMAGED :
	    LOG_FAILED;
	if (rc <= 0) {
		free(w.b);
		errno = ENOMEM;
		*bad = rc == 0 ? -1 : *bad;
		return -1;
	}
	free(img->b);
	*img = w;
	return 1;
}
