/*
 * hive.h - what the offline registry (hive.cpp) tells beyond the six
 * functions of reg_sys.h: how often each hive file was opened, read
 * whole and written,
 * and a reset that forgets every hive, so that one process can look at
 * several installations in turn (tests, a fuzzer).
 */
#ifndef VKM_HIVE_H
#define VKM_HIVE_H

enum {
	HIVE_SOFTWARE,
	HIVE_SYSTEM,
	HIVE_COUNT
};

/* Why a hive takes no change. */
enum {
	HIVE_WRITABLE,
	HIVE_RO_DIRTY,		/* not closed cleanly by Windows */
	HIVE_RO_NO_ACCESS,	/* file or folder not writable to us */
	HIVE_RO_LINKS,		/* more than one hard link */
	HIVE_RO_CHANGED		/* changed by another program since we read it */
};

struct hive_stats {
	int loaded;		/* 1: in memory now */
	int read_only;		/* 1: loaded, every change refused */
	int why;		/* HIVE_WRITABLE or a HIVE_RO_ reason */
	unsigned loads;		/* file opened, mapped (a rollback reopens) */
	unsigned writable_loads;	/* file read whole, to be changed */
	unsigned writes;	/* new file renamed into place */
	unsigned write_failures;	/* changes lost to a failed write */
	unsigned backups;	/* .bak copies this run made */
	unsigned temps_removed;	/* temp files of a killed run removed */
};

/* Fills OUT for hive HIVE (HIVE_SOFTWARE, HIVE_SYSTEM); all zero for
 * any other number. */
void hive_get_stats(int hive, struct hive_stats *out);

/* Number of handle records in use: 0 whenever no key is open. */
int hive_open_handles(void);

/* Closes every hive, dropping changes not yet written, frees every
 * handle record (HKEYs still held become invalid) and zeroes the
 * statistics.  The next call reads SystemRoot and the hives anew. */
void hive_reset(void);

#endif
