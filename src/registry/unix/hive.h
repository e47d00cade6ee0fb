/*
 * hive.h - what the offline registry (hive.cpp) tells beyond the six
 * functions of reg_sys.h: how often each hive file was opened, read
 * whole and written,
 * and a reset that forgets every hive, so that one process can look at
 * several installations in turn (tests, a fuzzer).
 */
#ifndef VKM_HIVE_H
#define VKM_HIVE_H

#include <stddef.h>

#include "reg_sys.h"

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
	unsigned backups;	/* copies this run made in its backup folder */
	unsigned temps_removed;	/* temp files of a killed run removed */
};

/* Fills OUT for hive HIVE (HIVE_SOFTWARE, HIVE_SYSTEM); all zero for
 * any other number. */
void hive_get_stats(int hive, struct hive_stats *out);

/* Reads hive HIVE unless read already and tells how it stands: a
 * HIVE_READ ... code of registry.h, with its file as found (the part
 * that exists, then the rest as named) in PATH of SIZE bytes and, for
 * HIVE_UNREADABLE, the errno in *ERR.  -1 for any other number. */
int hive_condition(int hive, char *path, size_t size, int *err);

/* Copies the file of the hive that holds the open KEY, as it is before
 * this run's first change to it, into the backup folder DIR as
 * DIR/SystemRoot/<System32>/<config>/<hive> (names as on the disk), and
 * has every later change of the run wait for that copy: a hive that has
 * none is not changed.  1: copied now or earlier in the run; -1: no copy
 * (KEY is HKLM itself or unknown, a copy failed), Linux errno set. */
int hive_backup_of_key(HKEY key, const char *dir);

/* Names DIR as the folder the hives are copied into before their first
 * change (hive_backup_of_key names it too); NULL or "" names none, and
 * then no hive is changed.  Nothing is copied yet. */
void hive_set_backup_dir(const char *dir);

/* Number of handle records in use: 0 whenever no key is open. */
int hive_open_handles(void);

/* Closes every hive, dropping changes not yet written, frees every
 * handle record (HKEYs still held become invalid) and zeroes the
 * statistics.  The next call reads SystemRoot and the hives anew. */
void hive_reset(void);

#endif
