/*
 * hive_internal.h - what the files of the offline registry share and no
 * file outside src/registry/unix sees: the hives this run holds
 * (g_hives, kept by hive_file.cpp) and where a key is (key_pos).
 */
#ifndef VKM_HIVE_INTERNAL_H
#define VKM_HIVE_INTERNAL_H

#include <hivex.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

#include "hive.h"

#define PATH_BYTES 4096
#define VIRTUAL_ROOT (-1)	/* HKLM itself: its subkeys are the hives */

/* How far this run has come with a hive (hive_file.state). */
enum {
	HIVE_UNTRIED,		/* not looked for yet */
	HIVE_ABSENT,		/* not read: its why says why */
	HIVE_READ_ONLY,		/* read, never changed: its why says why */
	HIVE_MAPPED,		/* read, mapped; may be changed */
	HIVE_WHOLE,		/* read whole to be changed; nothing waiting */
	HIVE_UNSAVED		/* changed in memory, not yet written */
};

/* Why a hive stands as it does. */
struct hive_why {
	int code;		/* WHY_FILE ... of hive.h */
	int err;		/* errno of WHY_UNREADABLE or of a log */
	int log;		/* with WHY_DIRTY: a LOG_ code of registry.h */
	char log_name[256];	/* and the log it names, as the disk does */
};

/* What a hive file was when this run read it: a change by anyone else
 * shows in one of these. */
struct file_id {
	dev_t dev;
	ino_t ino;
	off_t size;
	struct timespec mtime, ctime;
	unsigned long seq1, seq2;	/* the header's sequence numbers */
	nlink_t links;		/* not compared: the ctime tells */
};

/* ID, filled for the file ST tells of; sequence numbers 0 (unread). */
static inline struct file_id *
file_id_from_stat(const struct stat *st, struct file_id *id)
{
	memset(id, 0, sizeof(*id));
	id->dev = st->st_dev;
	id->ino = st->st_ino;
	id->size = st->st_size;
	id->mtime = st->st_mtim;
	id->ctime = st->st_ctim;
	id->links = st->st_nlink;
	return id;
}

/* 1 when A and B tell of the same file, unchanged. */
static inline int
file_id_same(const struct file_id *a, const struct file_id *b)
{
	return a->dev == b->dev && a->ino == b->ino && a->size == b->size &&
	    a->mtime.tv_sec == b->mtime.tv_sec &&
	    a->mtime.tv_nsec == b->mtime.tv_nsec &&
	    a->ctime.tv_sec == b->ctime.tv_sec &&
	    a->ctime.tv_nsec == b->ctime.tv_nsec &&
	    a->seq1 == b->seq1 && a->seq2 == b->seq2;
}

/* A transaction log beside a hive file, as this run found it. */
struct log_file {
	int found;
	char path[PATH_BYTES];	/* where, no link followed */
	struct file_id id;	/* what it was: its sequence numbers unused */
};

#define LOG_FILES 3		/* .LOG1, .LOG2, .LOG */

struct hive_file {
	int state;		/* HIVE_UNTRIED ... */
	struct hive_why why;
	hive_h *h;
	hive_node_h root;
	struct file_id id;
	char want[PATH_BYTES];	/* the hive's Windows path below SystemRoot */
	char path[PATH_BYTES];	/* where it was found, no link followed */
	struct hive_stats stats;
	/* A hive not closed cleanly, brought up to date from its logs
	 * (hive_recover.cpp): what is read is this copy in memory, not
	 * the file; -1 when there is none. */
	int image_fd;
	struct log_file logs[LOG_FILES];
};

/* Where a key is: a node of a hive, or HKLM itself. */
struct key_pos {
	int hive;		/* HIVE_SOFTWARE, HIVE_SYSTEM or VIRTUAL_ROOT */
	hive_node_h node;
};

extern const char *const g_hive_names[HIVE_COUNT];
extern struct hive_file g_hives[HIVE_COUNT];

#endif
