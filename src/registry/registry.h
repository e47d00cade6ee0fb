/*
 * registry.h - registry keys named by one string, "HKLM\SOFTWARE\...".
 *
 * Every operation resolves the root name, opens its key, does one job and
 * closes the key again, but a walk, which holds its key open for a pass
 * over the subkeys: nothing is cached between calls, so a caller that
 * deletes a subkey sees the later ones move down by one index at once.
 * Nothing here prints: what a caller is to tell the user comes back as
 * a result, an errno and, for a key not removed, a reason
 * (registry_refusal).  No type of the registry's own functions shows:
 * those stay inside the module (reg_internal.h).
 */
#ifndef VKM_REGISTRY_H
#define VKM_REGISTRY_H

#include <stddef.h>

/* A key held open while its subkeys are walked: one open per pass
 * instead of one per index.  A subkey deleted meanwhile (through another
 * key path) moves the later ones down by one index at once. */
struct key_walk {
	void *handle;	/* the open key; the registry module's own */
};

/* Opens the key at PATH for a walk.  1: open, close it with
 * close_key_walk; 0: the key does not exist; -1: unknown root, or the
 * key exists but cannot be read, errno set as the C run-time of Windows
 * sets it (13: access denied).  Nothing to close unless 1. */
int open_key_walk(const char *path, struct key_walk *walk);

/* Fetches the name of subkey INDEX of the walked key into NAME (CAPACITY
 * characters, NUL included).  1: name in NAME; 0: INDEX is past the last
 * subkey; -1: the name cannot be fetched, errno set: 34 (ERANGE) it does
 * not fit, 42 (EILSEQ) the ANSI code page cannot spell it (NAME then
 * holds it with '?' for each character it lacks, when that fits), else
 * as the C run-time of Windows sets it. */
int walk_subkey(struct key_walk *walk, int index, char *name, size_t capacity);

/* Reads the string value VALUE_NAME of subkey INDEX of the walked key
 * into BUF of SIZE bytes, as read_string_value does, also when the
 * subkey's name cannot be given whole (walk_subkey gave -1).  1: read;
 * 0: no such string, DEFAULT_TEXT in BUF; -1: the subkey cannot be
 * opened, DEFAULT_TEXT in BUF. */
int walk_read_value(struct key_walk *walk, int index, const char *value_name,
    char *buf, const char *default_text, size_t size);

/* The walked key's number of subkeys now, or -1 when it cannot be read
 * (errno set as the C run-time of Windows sets it). */
int walk_subkey_count(struct key_walk *walk);

/* Closes the walked key. */
void close_key_walk(struct key_walk *walk);

/* Reads the string value VALUE_NAME of the key at PATH into BUF of SIZE
 * bytes, unexpanded.  Anything but a REG_SZ or REG_EXPAND_SZ that fits with
 * its NUL leaves DEFAULT_TEXT (when not NULL) in BUF instead. */
void read_string_value(const char *path, const char *value_name, char *buf,
    const char *default_text, size_t size);

/* Deletes the key at PATH with everything below it, and commits the
 * change (reg_commit), or rolls back a tree delete that stopped half
 * way (reg_rollback).  Offline the tree is proved first, as
 * key_path_deletable proves it (once for both), and its hive is kept in
 * the run's backup folder before its first change.  1: deleted and on
 * the disk; 0: not deleted (missing, refused, nothing below the root,
 * or the commit failed), errno set as the C run-time of Windows sets it
 * (2 missing, 13 refused, 28 disk full, 22 otherwise), registry_refusal
 * saying more where there is more to say; -1: unknown root. */
int delete_key_path(const char *path);

/* Tells whether the key at PATH may be deleted: it opens for DELETE and
 * the listing of its subkeys, as the tree delete opens it; offline its
 * hive is writable and was closed cleanly, the new file that the delete
 * is written to can be made beside it, and every cell of its tree is
 * sound.  On Windows, where a delete cannot be taken back, so does
 * every key of its tree, and backup_key_path can keep the tree whole:
 * a registry link in it (which the backup cannot make again) refuses
 * it.  Nothing is changed.  1: it may; 0: it may not, or it is missing,
 * or nothing below the root, errno set as for delete_key_path (22 for a
 * damaged tree and for what the backup cannot keep), registry_refusal
 * saying more where there is more to say; -1: unknown root. */
int key_path_deletable(const char *path);

/* What the user is to be told of a key that the last call of
 * key_path_deletable, delete_key_path or backup_key_path could not
 * remove or keep, beyond its error number. */
enum {
	REG_REFUSED_NOTHING = 0,	/* nothing more */
	REG_DAMAGED_KEY,	/* NAME, the key: its cells are damaged */
	REG_LINK_NOT_KEPT,	/* NAME, a registry link in the tree, which
				 * no backup can make again */
	REG_HIVE_LINKED,	/* NAME, the hive file: other hard links */
	REG_HIVE_CHANGED,	/* NAME, the hive file: changed by another
				 * program since the run read it */
};

/* The reason the last of those calls gave, as errno gives its number:
 * a REG_ code, with *NAME (when NAME is not NULL) what it names, valid
 * until the next of those calls; REG_REFUSED_NOTHING when there is
 * nothing more to say. */
int registry_refusal(const char **name);

/* How a hive of the registry stands after the attempt to read it. */
enum {
	HIVE_READ = 0,		/* read, and may be changed */
	HIVE_MISSING,		/* no such file */
	HIVE_NOT_FILE,		/* a folder, a device, a pipe */
	HIVE_LINK,		/* a symbolic link, not followed */
	HIVE_DAMAGED,		/* no hive in it: empty, cut short, bad header */
	HIVE_UNREADABLE,	/* cannot be opened or read: see err */
	HIVE_DIRTY,		/* read, never written: not closed cleanly, and
				 * its logs not applied: see log_why */
	HIVE_UNWRITABLE,	/* read, never written: file or folder read-only */
	HIVE_RECOVERED,		/* not closed cleanly, brought up to date from
				 * its logs in memory: read, may be changed */
};

/* Why the logs of a hive that was not closed cleanly were not applied. */
enum {
	LOG_NONE_APPLIES,	/* no log, or none with anything newer */
	LOG_DAMAGED,		/* the log named is damaged */
	LOG_FOREIGN,		/* the log named is another hive's */
	LOG_LINK,		/* the log named is a symbolic link */
	LOG_NOT_FILE,		/* the log named is a folder, device, pipe */
	LOG_UNREADABLE,		/* the log named cannot be read: see err */
	LOG_FAILED		/* applying them failed here: see err */
};

struct reg_hive {
	char name[16];		/* "HKLM\SOFTWARE" */
	char path[1024];	/* its file, as the platform shows paths */
	int state;		/* HIVE_READ ... */
	int err;		/* for HIVE_UNREADABLE, LOG_UNREADABLE and
				 * LOG_FAILED: C run-time errno */
	int log_why;		/* for HIVE_DIRTY: LOG_NONE_APPLIES ... */
	char log[256];		/* and the log it names, as the disk does */
};

/* Reads hive INDEX (0, 1, ...) of those the registry is made of, unless
 * read already, and tells in OUT how it stands.  Windows keeps its own
 * hives loaded, so there is nothing to tell there.
 * 1: OUT filled; 0: no hive INDEX to tell of (the end of the list). */
int registry_hive_state(int index, struct reg_hive *out);

/* Keeps the key at PATH with its whole tree in the run's backup folder
 * BACKUP_DIR before it is deleted: on Windows appended, as it is now, to
 * the Unicode regedit file "registry.reg" there; offline the hive file that
 * holds it is copied there, as it was before this run's first change
 * to it, once per run.  1: kept; -1: it cannot be kept (unknown root,
 * key unreadable, a write failed), errno set as the C run-time of
 * Windows sets it. */
int backup_key_path(const char *path, const char *backup_dir);

#endif
