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

/* How a hive stands, and why (hive_stats.why): how it was read, why it
 * was not, or why it takes no change. */
enum {
	WHY_FILE,		/* read as its file holds it */
	WHY_LOGS,		/* read as its logs bring it up to date */
	WHY_MISSING,		/* not read: no such file */
	WHY_NOT_FILE,		/* not read: a folder, a device, a pipe */
	WHY_LINK,		/* not read: a symbolic link, not followed */
	WHY_DAMAGED,		/* not read: no hive in it */
	WHY_UNREADABLE,		/* not read: the file cannot be read */
	WHY_DIRTY,		/* no change: not closed cleanly by Windows,
				 * its logs not applied */
	WHY_NO_ACCESS,		/* no change: file or folder not writable */
	WHY_LINKS,		/* no change: more than one hard link */
	WHY_CHANGED		/* no change: changed by another program since
				 * the run read it */
};

struct hive_stats {
	int loaded;		/* 1: in memory now */
	int read_only;		/* 1: loaded, every change refused */
	int why;		/* WHY_FILE ... */
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
