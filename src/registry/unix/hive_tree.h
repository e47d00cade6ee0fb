/*
 * hive_tree.h - the look at a hive file's own cells before a key is
 * deleted.  libhivex 1.3.23 (Debian 12) deletes by trusting every
 * pointer it finds; in a damaged hive that takes other keys with the
 * tree, writes outside the file or stops the process.  These checks
 * read the file as it is on the disk (hive_format.h) so that a damaged
 * key is left alone and named to the user once.
 */
#ifndef VKM_HIVE_TREE_H
#define VKM_HIVE_TREE_H

#include <stddef.h>

#include "hive_internal.h"

/* Whether the tree of the key at POS (a hive's node, PATH below HKLM)
 * may be deleted: every key of it a sound key cell reached once from
 * PARENT, every cell a delete frees used and claimed by nothing outside
 * the tree.  1: sound; 0: damaged, said to the user once per key and
 * run; -1: the file could not be read (short of memory). */
int tree_check(const struct key_pos *pos, size_t parent, const char *path);

/* 1 when the security cell of NODE (a file offset, as on disk) in the
 * hive F as this run reads it links to neighbours inside it, or NODE
 * has none; 0 when not, or when it cannot be read. */
int sk_links_inside(const struct hive_file *f, hive_node_h node);

/* Tries the delete of NODE in a child process, on its copy of memory H.
 * 1: it went through there; 0: it failed or stopped the child; -1: it
 * could not be tried (no process). */
int delete_tried(hive_h *h, hive_node_h node);

/* Forgets which keys were named damaged: the next run starts afresh. */
void tree_check_reset(void);

#endif
