/*
 * hive_cache.h - what spares the offline registry repeated work.  The
 * key-path layer keeps no key open, so every call names its key from
 * HKLM again, and libhivex decodes a name (iconv) on every look.  Two
 * caches remember the decoded subkey names of the last few keys and the
 * last few paths walked.  Both describe memory as it is and go whenever
 * a hive changes or is read again (cache_forget), so a lookup after a
 * delete sees the new state at once.
 */
#ifndef VKM_HIVE_CACHE_H
#define VKM_HIVE_CACHE_H

#include <stddef.h>

#include "hive_internal.h"

#define PATH_SLOT_BYTES 512	/* longest path remembered, folded */

/* One subkey name as hivex_node_name gives it. */
struct kid_name {
	char *name;		/* NULL: it could not be decoded */
	size_t len;		/* strlen(name) */
	unsigned hash;		/* of the folded name, to pass over most */
};

/* The subkeys of one node, in libhivex's order, names decoded. */
struct kid_table {
	int used;
	int hive;
	hive_node_h parent;
	size_t count;
	hive_node_h *kids;
	struct kid_name *names;
	unsigned long last_use;
};

/* Forgets all the caches know of hive HIVE (PARENT 0): its memory
 * changed; or what they know of NODE, a key without subkeys that was
 * deleted, and of the subkeys of PARENT, the key above it. */
void cache_forget(int hive, hive_node_h parent, hive_node_h node);

/* The subkeys of NODE of hive HIVE with their names, valid until the
 * next call; NULL when libhivex cannot list them (errno EIO) or memory
 * runs short (ENOMEM).  A name that does not decode is kept as NULL:
 * only calls about that one subkey fail on it. */
struct kid_table *kid_table_of(int hive, hive_node_h node);

/* The longest walk remembered from START over a leading part of PATH
 * (folded, LEN bytes) that ends where a name ends: its length, with
 * *END where it led; 0 when none is. */
size_t path_recall(const struct key_pos *start, const char *path,
    size_t len, struct key_pos *end);

/* Remembers that from START the folded PATH (LEN bytes, walked without
 * error) led to END. */
void path_remember(const struct key_pos *start, const char *path,
    size_t len, const struct key_pos *end);

#endif
