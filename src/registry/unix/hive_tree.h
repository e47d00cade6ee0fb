/*
 * hive_tree.h - the proof that a tree of a hive may be deleted.
 * libhivex 1.3.23 (Debian 12) deletes by trusting every pointer it
 * finds; in a damaged hive that takes other keys with the tree, writes
 * outside the file or stops the process.  So the hive's cells are read
 * as the disk holds them (hive_format.h), once per hive and run, and
 * only a tree proved sound there may lose its keys.
 */
#ifndef VKM_HIVE_TREE_H
#define VKM_HIVE_TREE_H

#include "hive_internal.h"

/* Proves the tree of the key at POS (a hive's node, whose parent is the
 * node PARENT) fit to be deleted: every key of it a sound key cell
 * reached once from PARENT, every cell a delete frees used and claimed
 * by nothing outside the tree.  1: sound, and its keys may go
 * (tree_allows) until the hive changes but by their deletes; 0:
 * damaged; -1: the hive's cells could not be read, errno set. */
int tree_check(const struct key_pos *pos, hive_node_h parent);

/* 1 when NODE of hive HIVE is a key of the tree tree_check proved last
 * there; 0 when not. */
int tree_allows(int hive, hive_node_h node);

/* NODE of hive HIVE, a key tree_allows let go, is deleted in memory. */
void tree_deleted(int hive, hive_node_h node);

/* The changes of hive HIVE reached its file (WRITTEN 1) or were dropped
 * and the file read again (0): either way no tree stands proved, and
 * what a written delete freed counts as no cell from then on. */
void tree_settled(int hive, int written);

/* Forgets all that is known of the cells of hive HIVE. */
void tree_forget(int hive);

#endif
