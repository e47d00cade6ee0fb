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

/* The per-system half of key_path_deletable (FOR_DELETE 0) and of
 * delete_key_path (1), once the key SUBPATH below the predefined ROOT
 * is known: whether its whole tree can be deleted, and kept by
 * backup_key_tree, proved before anything is changed.  Offline: its
 * hive can be written and is read whole (with FOR_DELETE: kept in the
 * run's backup folder too), and every cell of the tree is sound, proved
 * once for a removal (the second call finds it proved); nothing to
 * prove for a key not found or a hive's root, which the delete refuses.
 * On Windows, where a delete cannot be taken back, the backup can keep
 * the tree whole: no registry link in it (walked unless FOR_DELETE).
 * 1: it can; 0: it cannot, errno set as the C run-time of Windows sets
 * it, and what the user is to be told given to reg_refuse. */
int tree_deletable(HKEY root, const char *subpath, int for_delete);

/* Records WHY (REG_DAMAGED_KEY ...) as the reason registry_refusal
 * gives for the call now failing, naming ROOT\NAME (NAME alone when
 * ROOT is NULL). */
void reg_refuse(int why, const char *root, const char *name);

/* The per-system half of backup_key_path (registry/win, registry/unix):
 * the key SUBPATH below the predefined ROOT.  1: kept; -1: not kept,
 * errno set as the C run-time of Windows sets it. */
int backup_key_tree(HKEY root, const char *subpath, const char *backup_dir);

#endif
