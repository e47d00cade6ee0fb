/*
 * reg_internal.h - the registry module's own half of registry.h: the
 * root table and the pieces written against the six registry functions
 * of reg_sys.h, whose types (HKEY, LONG) are Windows' own.  Included only
 * by the module (registry.cpp, registry/win, registry/unix) and by the
 * tests and fuzzers of these internals, so that no Windows type reaches
 * the scans.
 */
#ifndef VKM_REG_INTERNAL_H
#define VKM_REG_INTERNAL_H

#include "reg_sys.h"
#include "registry/registry.h"

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

/* The C run-time errno (Windows' numbering) for the registry's error RC. */
int registry_errno(long rc);

/* The per-system half of key_path_deletable, once the key SUBPATH below
 * the predefined ROOT opened for DELETE: whether its whole tree can be
 * kept by backup_key_tree and deleted (offline the hive copy keeps
 * every cell, links included, and a delete is taken back whole).
 * 1: it can; 0: it cannot, errno set as the C run-time of Windows sets
 * it, a link in it named to the user. */
int tree_keepable(HKEY root, const char *subpath);

/* The per-system half of backup_key_path (registry/win, registry/unix):
 * the key SUBPATH below the predefined ROOT.  1: kept; -1: not kept,
 * errno set as the C run-time of Windows sets it. */
int backup_key_tree(HKEY root, const char *subpath, const char *backup_dir);

#endif
