/*
 * hive_log.h - a hive that Windows did not close cleanly, brought up to
 * date from its transaction logs in memory, as Windows does when it
 * loads the hive: pure functions over buffers, no file touched.
 *
 * Two log formats exist.  The old one (Windows XP to 8) holds a copy of
 * the base block, a dirty vector ("DIRT" and one bit per 512-byte page
 * of the bins) and the dirty pages; it applies when its base block's
 * last written time is the hive's.  The new one (Windows 8.1 on) holds
 * a copy of the base block and log entries ("HvLE"), each with a
 * sequence number, the bins size it sets, its dirty pages and two
 * Marvin32 hashes; the entries that follow the hive's sequence number
 * without a gap are applied, from both logs, the log with the earlier
 * entries first.
 */
#ifndef VKM_HIVE_LOG_H
#define VKM_HIVE_LOG_H

#include <stddef.h>
#include <stdint.h>

#include "registry/registry.h"

/* The logs beside a hive, in the order they are looked at. */
enum { HIVE_LOG1, HIVE_LOG2, HIVE_LOG, HIVE_LOGS };

/* One log, read whole; SIZE 0 when there is none. */
struct hive_log {
	const unsigned char *data;
	size_t size;
};

/* A hive's bytes in memory: the base block and the bins, in a buffer of
 * CAP bytes from malloc. */
struct hive_image {
	unsigned char *b;
	size_t size, cap;
};

/* The Marvin32 hash of the N bytes at P with SEED, as 64 bits: the
 * second state word high, the first low. */
uint64_t marvin32(const unsigned char *p, size_t n, uint64_t seed);

/* XOR of the first 127 little-endian words of a base block. */
uint32_t regf_checksum(const unsigned char *base);

/* 1 when the base block at the start of IMG (SIZE bytes) says the hive
 * was not closed cleanly: its checksum is right and its two sequence
 * numbers differ.  0 otherwise (a wrong checksum is damage, not a
 * state this module recovers from). */
int hive_is_dirty(const unsigned char *img, size_t size);

/* Brings the dirty hive IMG up to date from LOGS (HIVE_LOGS of them,
 * indexed HIVE_LOG1 ...): the pages the logs hold are written into it,
 * it grows or shrinks to the bins size they set, and its base block is
 * marked clean, its last written time STAMP (a FILETIME, made to differ
 * from every old-format log's) and both sequence numbers above every
 * one the logs carry: no log of today matches it or counts as newer.
 * 1: done, *BAD the last log applied; 0: IMG is not dirty, nothing
 * done; -1: not done, IMG as it was, *WHY a LOG_ code of registry.h
 * (LOG_NONE_APPLIES, LOG_DAMAGED, LOG_FOREIGN, LOG_FAILED with errno
 * ENOMEM, or EINVAL for a hive whose own bins size is wrong) and *BAD
 * the log at fault, -1 for none. */
int hive_log_recover(struct hive_image *img, const struct hive_log *logs,
    uint64_t stamp, int *why, int *bad);

#endif
