/*
 * registry.h - registry keys named by one string, "HKLM\SOFTWARE\...".
 *
 * Every operation resolves the root name, opens its key, does one job and
 * closes the key again: nothing is cached between calls, so a caller that
 * deletes a subkey sees the later ones move down by one index at once.
 * Nothing here prints.
 */
#ifndef VKM_REGISTRY_H
#define VKM_REGISTRY_H

#include <stddef.h>

#include "reg_sys.h"

struct root_key {
	const char *name;
	HKEY key;
};

/* Root names and their predefined keys; a row with an empty name ends it. */
extern const struct root_key g_root_keys[];

/* Finds the root name at the start of PATH (ASCII case folded).
 * 1: *root and *rest set (rest skips the one separator after the name);
 * 0: no root matched, outputs untouched. */
int split_root_key(const char *path, HKEY *root, const char **rest);

/* Fetches the name of subkey INDEX of the key at PATH into NAME (CAPACITY
 * characters, NUL included).  1: name in NAME; 0: INDEX is past the last
 * subkey; -1: unknown root, key not readable, or name does not fit. */
int enum_subkey(const char *path, int index, char *name, size_t capacity);

/* Reads the string value VALUE_NAME of the key at PATH into BUF of SIZE
 * bytes, unexpanded.  Anything but a REG_SZ or REG_EXPAND_SZ that fits with
 * its NUL leaves DEFAULT_TEXT (when not NULL) in BUF instead. */
void read_string_value(const char *path, const char *value_name, char *buf,
    const char *default_text, size_t size);

/* Deletes the key at PATH with everything below it, and commits the
 * change (reg_commit), or rolls back a tree delete that stopped half
 * way (reg_rollback).  1: deleted and on the disk; 0: not deleted
 * (missing, refused, nothing below the root, or the commit failed);
 * -1: unknown root. */
int delete_key_path(const char *path);

/* Deletes the key SUBPATH below the open key PARENT with its whole tree,
 * children first, without committing.  1: deleted; 0: not deleted (an
 * empty SUBPATH included). */
int delete_key_tree(HKEY parent, const char *subpath);

/* Copies at most SIZE - 1 bytes of SRC to DST and terminates it when SIZE
 * is at least 1.  Returns strlen(SRC): a result >= SIZE means it was cut. */
size_t copy_bounded(char *dst, const char *src, size_t size);

#endif
