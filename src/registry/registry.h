/*
 * registry.h - registry keys named by one string, "HKLM\SOFTWARE\...".
 *
 * Every operation resolves the root name, opens its key, does one job and
 * closes the key again, but a walk, which holds its key open for a pass
 * over the subkeys: nothing is cached between calls, so a caller that
 * deletes a subkey sees the later ones move down by one index at once.
 * Nothing here prints, and no type of the registry's own functions shows:
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
 * way (reg_rollback).  1: deleted and on the disk; 0: not deleted
 * (missing, refused, nothing below the root, or the commit failed),
 * errno set as the C run-time of Windows sets it (2 missing, 13
 * refused, 28 disk full, 22 otherwise); -1: unknown root. */
int delete_key_path(const char *path);

/* Tells whether the key at PATH may be deleted: it opens for DELETE and
 * the listing of its subkeys, as the tree delete opens it (offline: its
 * hive is writable and was closed cleanly, and the new file that the
 * delete is written to can be made beside it).  On Windows, where a
 * delete cannot be taken back, so does every key of its tree, and
 * backup_key_path can keep the tree whole: a registry link in it (which
 * the backup cannot make again) is named to the user and refused.
 * Nothing is changed.  1: it may; 0: it may not, or it is missing, or
 * nothing below the root, errno set as for delete_key_path (22 for what
 * the backup cannot keep); -1: unknown root. */
int key_path_deletable(const char *path);

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
