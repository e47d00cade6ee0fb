/*
 * hive.cpp - the six registry functions of reg_sys.h over the hive files
 * of an offline Windows installation, read and written with libhivex:
 * handles, walking a path from HKLM, subkeys and values, deleting one
 * key in memory, the proof a tree delete needs first (tree_deletable),
 * and the commit and rollback of reg_sys.h.
 *
 * Changes are made in memory and reach the disk only when the caller
 * says so (reg_commit; the key-path layer calls it at the end of every
 * tree delete, and reg_rollback instead when the tree delete stopped
 * half way): no close or delete writes on its own.  A write that fails
 * leaves the file as it was and the hive is read again, so memory never
 * claims a key is gone that the disk still holds.  How the file is read,
 * checked, backed up and replaced is hive_file.cpp's; a key whose cells
 * are damaged is left alone (hive_tree.cpp).  The six functions give
 * the codes Windows gives; tree_deletable and reg_commit, which do the
 * file work, give the C run-time's errno through errmap.cpp.
 */
#include "hive.h"

#include <errno.h>
#include <hivex.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "common/crt_errno.h"
#include "hive_cache.h"
#include "hive_file.h"
#include "hive_format.h"
#include "hive_names.h"
#include "hive_tree.h"
#include "hivex_calls.h"
#include "platform/unix/errmap.h"
#include "registry/reg_internal.h"

#define HANDLE_MAX 64
#define NAME_BYTES 1024		/* 255 UTF-16 units, 3 UTF-8 bytes each */

struct reg_handle {
	int used;
	int hive;		/* HIVE_SOFTWARE, HIVE_SYSTEM or VIRTUAL_ROOT */
	hive_node_h node;
	int deleted;
};

static struct reg_handle g_handles[HANDLE_MAX];

/* ---- handles ---- */

/* Throws away what memory holds of hive I and reads the file again.
 * Node numbers are file offsets, so open handles stay where they were
 * and keys deleted in memory only are there again. */
static void
hive_rollback(int i)
{
	cache_forget(i, 0, 0);
	tree_settled(i, 0);
	hive_reload(i);
	for (int k = 0; k < HANDLE_MAX; k++) {
		if (g_handles[k].used && g_handles[k].hive == i)
			g_handles[k].deleted = 0;
	}
}

static struct reg_handle *
handle_of(HKEY key)
{
	uintptr_t p = (uintptr_t)key, lo = (uintptr_t)&g_handles[0];

	if (p < lo || p >= (uintptr_t)&g_handles[HANDLE_MAX] ||
	    (p - lo) % sizeof(g_handles[0]) != 0)
		return NULL;
	return key->used ? key : NULL;
}

static struct reg_handle *
handle_new(void)
{
	for (int k = 0; k < HANDLE_MAX; k++) {
		if (!g_handles[k].used) {
			memset(&g_handles[k], 0, sizeof(g_handles[k]));
			g_handles[k].used = 1;
			return &g_handles[k];
		}
	}
	return NULL;
}

/* Where KEY stands.  ERROR_SUCCESS, or what a call on KEY gets. */
static LONG
key_start(HKEY key, struct key_pos *pos)
{
	struct reg_handle *r;

	if (key == HKEY_LOCAL_MACHINE) {
		pos->hive = VIRTUAL_ROOT;
		pos->node = 0;
		return ERROR_SUCCESS;
	}
	if (key == HKEY_CURRENT_USER)
		return ERROR_FILE_NOT_FOUND;
	if ((r = handle_of(key)) == NULL)
		return ERROR_INVALID_HANDLE;
	if (r->deleted || (r->hive != VIRTUAL_ROOT &&
	    g_hives[r->hive].state < HIVE_READ_ONLY))
		return ERROR_KEY_DELETED;
	pos->hive = r->hive;
	pos->node = r->node;
	return ERROR_SUCCESS;
}

/* ---- keys ---- */

/* The child of NODE of hive HIVE named NAME (LEN bytes), or 0.  With 0,
 * *UNSURE (when not NULL) says whether that is not known: the subkeys
 * cannot be listed.  (A name that does not decode names no key that can
 * be asked for.) */
static hive_node_h
child_named(int hive, hive_node_h node, const char *name, size_t len,
    int *unsure)
{
	unsigned hash = name_hash(name, len);
	const struct kid_name *n;
	struct kid_table *t;

	if (unsure != NULL)
		*unsure = 0;
	if ((t = kid_table_of(hive, node)) == NULL) {
		if (unsure != NULL)
			*unsure = 1;
		return 0;
	}
	for (size_t k = 0; k < t->count; k++) {
		n = &t->names[k];
		/* Equal names have equal lengths.  libhivex 1.3.23 (Debian
		 * 12) gives a name as a C string only, cut at a NUL it holds;
		 * hivex_node_name_len tells the whole length.  Such a name
		 * equals no C string. */
		if (n->name != NULL && n->hash == hash && n->len == len &&
		    names_equal(n->name, n->len, name, len) &&
		    hivex_node_name_len(g_hives[hive].h, t->kids[k]) == n->len)
			return t->kids[k];
	}
	return 0;
}

/* The value of NODE named NAME (LEN bytes; empty: the default), or 0. */
static hive_value_h
value_named(hive_h *h, hive_node_h node, const char *name, size_t len)
{
	hive_value_h *vals, found = 0;
	char *s;

	if ((vals = HC(hivex_node_values)(h, node)) == NULL)
		return 0;
	for (size_t k = 0; vals[k] != 0 && found == 0; k++) {
		if ((s = HC(hivex_value_key)(h, vals[k])) == NULL)
			continue;
		/* Cut at a NUL, as with key names (child_named). */
		if (names_equal(s, strlen(s), name, len) &&
		    hivex_value_key_len(h, vals[k]) == strlen(s))
			found = vals[k];
		free(s);
	}
	free(vals);
	return found;
}

/* Type and length of value V: 1, or -1 when libhivex cannot read it.  A
 * hive may hold any type number, more than enum hive_type has names
 * for, so the number is taken as stored. */
static int
value_type(hive_h *h, hive_value_h v, DWORD *type, size_t *len)
{
	hive_type t;
	uint32_t n;

	if (hivex_value_type(h, v, &t, len) != 0)
		return -1;
	static_assert(sizeof(t) == sizeof(n), "hive_type is not 32 bits");
	memcpy(&n, &t, sizeof(n));
	*type = n;
	return 1;
}

/* The data of value V (LEN bytes), to be freed; NULL on error. */
static char *
value_data(hive_h *h, hive_value_h v, size_t *len)
{
	hive_type ignored;

	return HC(hivex_value_value)(h, v, &ignored, len);
}

/* The control set Select\Current names, e.g. ControlSet002, or 0. */
static hive_node_h
current_control_set(struct hive_file *f)
{
	char name[32];
	hive_node_h sel;
	hive_value_h v;
	DWORD type;
	size_t len;
	char *data;
	unsigned long n;

	if ((sel = child_named(HIVE_SYSTEM, f->root, "Select", 6, NULL)) == 0)
		return 0;
	if ((v = value_named(f->h, sel, "Current", 7)) == 0)
		return 0;
	if (value_type(f->h, v, &type, &len) < 0 || type != REG_DWORD ||
	    len != 4 || (data = value_data(f->h, v, &len)) == NULL)
		return 0;
	n = len == 4 ? le32((const unsigned char *)data) : 0;
	free(data);
	if (n == 0)
		return 0;
	snprintf(name, sizeof(name), "ControlSet%03lu", n);
	return child_named(HIVE_SYSTEM, f->root, name, strlen(name), NULL);
}

/* Moves POS from HKLM into the hive named NAME (LEN bytes). */
static LONG
enter_hive(struct key_pos *pos, const char *name, size_t len)
{
	struct hive_file *f;

	for (int i = 0; i < HIVE_COUNT; i++) {
		if (!names_equal(name, len, g_hive_names[i],
		    strlen(g_hive_names[i])))
			continue;
		if ((f = hive_get(i)) == NULL)
			return ERROR_FILE_NOT_FOUND;
		pos->hive = i;
		pos->node = f->root;
		return ERROR_SUCCESS;
	}
	return ERROR_FILE_NOT_FOUND;
}

/* Moves POS one key down, to the subkey named NAME (LEN bytes). */
static LONG
step(struct key_pos *pos, const char *name, size_t len)
{
	struct hive_file *f;
	hive_node_h next = 0;
	int unsure = 0;

	if (pos->hive == VIRTUAL_ROOT)
		return enter_hive(pos, name, len);
	f = &g_hives[pos->hive];
	/* Offline there is no CurrentControlSet link: Windows makes it at
	 * boot from Select\Current. */
	if (pos->hive == HIVE_SYSTEM && pos->node == f->root &&
	    names_equal(name, len, "CurrentControlSet", 17))
		next = current_control_set(f);
	if (next == 0)
		next = child_named(pos->hive, pos->node, name, len, &unsure);
	/* A key whose subkeys cannot be read holds anything: not known is
	 * not absent. */
	if (next == 0)
		return unsure ? ERROR_BADKEY : ERROR_FILE_NOT_FOUND;
	pos->node = next;
	return ERROR_SUCCESS;
}

/* Walks SUBPATH ('\' between names, one allowed at the end) from POS. */
static LONG
walk(struct key_pos *pos, const char *subpath)
{
	const char *p = subpath != NULL ? subpath : "";
	char folded[PATH_SLOT_BYTES];
	struct key_pos start = *pos;
	size_t len, all = strlen(p), known = 0;
	int steps = 0;
	LONG rc;

	/* The scans open the same key, or a subkey of it, over and over:
	 * start from the longest part of the path walked before. */
	if (all < sizeof(folded)) {
		fold_name(p, all, folded);
		known = path_recall(&start, folded, all, pos);
		p += known;
		if (known > 0 && *p == '\\')
			p++;
	}
	while (*p != '\0') {
		len = strcspn(p, "\\");
		if (len == 0 || len >= NAME_BYTES)
			return ERROR_FILE_NOT_FOUND;
		if ((rc = step(pos, p, len)) != ERROR_SUCCESS)
			return rc;
		p += len;
		if (*p == '\\')
			p++;
		steps++;
	}
	if (steps > 0 && all < sizeof(folded))
		path_remember(&start, folded, all, pos);
	return ERROR_SUCCESS;
}

/* The subkeys of POS: *COUNT of them, in *T with their names (NULL for
 * HKLM, whose subkeys are the hives present).  *T lasts until the next
 * look at another key's subkeys. */
static LONG
subkeys_of(const struct key_pos *pos, struct kid_table **t, size_t *count)
{
	*t = NULL;
	*count = 0;
	if (pos->hive == VIRTUAL_ROOT) {
		for (int i = 0; i < HIVE_COUNT; i++)
			*count += hive_get(i) != NULL;
		return ERROR_SUCCESS;
	}
	if ((*t = kid_table_of(pos->hive, pos->node)) == NULL)
		return errno == ENOMEM ? ERROR_NOT_ENOUGH_MEMORY : ERROR_BADKEY;
	*count = (*t)->count;
	return ERROR_SUCCESS;
}

/* The name of subkey INDEX of POS (INDEX below the count); NULL when it
 * does not decode. */
static const char *
subkey_name(const struct key_pos *pos, const struct kid_table *t,
    size_t index)
{
	if (pos->hive != VIRTUAL_ROOT)
		return t->names[index].name;
	for (int i = 0; i < HIVE_COUNT; i++) {
		if (hive_get(i) != NULL && index-- == 0)
			return g_hive_names[i];
	}
	return NULL;
}

/* Gives the key-path layer the reason hive F takes no change where it
 * is this backend's own to find (the others the user saw before the
 * scans). */
static void
refuse_hive(const struct hive_file *f)
{
	if (f->why.code == WHY_LINKS)
		reg_refuse(REG_HIVE_LINKED, NULL, f->path);
	else if (f->why.code == WHY_CHANGED)
		reg_refuse(REG_HIVE_CHANGED, NULL, f->path);
}

/* Marks every handle on NODE of HIVE as deleted. */
static void
handles_deleted(int hive, hive_node_h node)
{
	for (int k = 0; k < HANDLE_MAX; k++) {
		if (g_handles[k].used && g_handles[k].hive == hive &&
		    g_handles[k].node == node)
			g_handles[k].deleted = 1;
	}
}

/* Deletes the key at POS in memory, if it has no subkeys.  Only a key
 * of the tree tree_deletable proved last goes, in a hive read whole and
 * kept in the backup: what tree_deletable made ready. */
static LONG
delete_node(const struct key_pos *pos)
{
	struct hive_file *f;
	struct kid_table *t;
	hive_node_h parent;
	size_t count;
	LONG rc;

	if (pos->hive == VIRTUAL_ROOT)
		return ERROR_ACCESS_DENIED;
	f = &g_hives[pos->hive];
	if (f->state < HIVE_WHOLE || f->stats.backups == 0 ||
	    pos->node == f->root || !tree_allows(pos->hive, pos->node))
		return ERROR_ACCESS_DENIED;
	if ((rc = subkeys_of(pos, &t, &count)) != ERROR_SUCCESS)
		return rc;
	if (count > 0)
		return ERROR_ACCESS_DENIED;
	/* A delete that fails may have left memory in any state: start
	 * again from the file. */
	parent = hivex_node_parent(f->h, pos->node);
	if (HC(hivex_node_delete_child)(f->h, pos->node) != 0) {
		hive_rollback(pos->hive);
		return ERROR_BADKEY;
	}
	f->state = HIVE_UNSAVED;
	tree_deleted(pos->hive, pos->node);
	cache_forget(pos->hive, parent, pos->node);
	handles_deleted(pos->hive, pos->node);
	return ERROR_SUCCESS;
}

/* Hands over value data of type T (RAW, LEN bytes) the way
 * RegQueryValueExA does; strings go from UTF-16LE to UTF-8. */
static LONG
deliver(DWORD t, const char *raw, size_t len, DWORD *type, BYTE *data,
    DWORD *data_len)
{
	int text = t == REG_SZ || t == REG_EXPAND_SZ || t == REG_MULTI_SZ;
	const unsigned char *src = (const unsigned char *)raw;
	size_t need = text ? utf16_to_utf8(src, len, NULL) : len;

	if (type != NULL)
		*type = t;
	if (need > *data_len) {
		*data_len = (DWORD)need;
		return ERROR_MORE_DATA;
	}
	if (text)
		utf16_to_utf8(src, len, (char *)data);
	else if (len > 0)
		memcpy(data, raw, len);
	*data_len = (DWORD)need;
	return ERROR_SUCCESS;
}

/* ---- the six functions ---- */

LONG
RegOpenKeyExA(HKEY key, const char *sub_key, DWORD options, REGSAM sam,
    HKEY *result)
{
	struct key_pos pos;
	struct reg_handle *r;
	LONG rc;

	(void)options;
	(void)sam;
	if (result == NULL)
		return ERROR_INVALID_PARAMETER;
	*result = NULL;
	if ((rc = key_start(key, &pos)) != ERROR_SUCCESS)
		return rc;
	if ((rc = walk(&pos, sub_key)) != ERROR_SUCCESS)
		return rc;
	if ((r = handle_new()) == NULL)
		return ERROR_NOT_ENOUGH_MEMORY;
	r->hive = pos.hive;
	r->node = pos.node;
	*result = r;
	return ERROR_SUCCESS;
}

LONG
RegQueryInfoKeyA(HKEY key, char *class_name, DWORD *class_len,
    DWORD *reserved, DWORD *subkeys, DWORD *max_subkey_len,
    DWORD *max_class_len, DWORD *values, DWORD *max_value_name_len,
    DWORD *max_value_len, DWORD *security_len, void *last_write)
{
	struct key_pos pos;
	struct kid_table *t;
	size_t count;
	LONG rc;

	if (class_name != NULL || class_len != NULL || reserved != NULL ||
	    max_subkey_len != NULL || max_class_len != NULL || values != NULL ||
	    max_value_name_len != NULL || max_value_len != NULL ||
	    security_len != NULL || last_write != NULL)
		return ERROR_INVALID_PARAMETER;
	if ((rc = key_start(key, &pos)) != ERROR_SUCCESS)
		return rc;
	if ((rc = subkeys_of(&pos, &t, &count)) != ERROR_SUCCESS)
		return rc;
	if (subkeys != NULL)
		*subkeys = (DWORD)count;
	return ERROR_SUCCESS;
}

LONG
RegEnumKeyExA(HKEY key, DWORD index, char *name, DWORD *name_len,
    DWORD *reserved, char *class_name, DWORD *class_len, void *last_write)
{
	struct key_pos pos;
	struct kid_table *t;
	size_t count, len;
	const char *s;
	LONG rc;

	if (name == NULL || name_len == NULL || reserved != NULL ||
	    class_name != NULL || class_len != NULL || last_write != NULL)
		return ERROR_INVALID_PARAMETER;
	if ((rc = key_start(key, &pos)) != ERROR_SUCCESS)
		return rc;
	if ((rc = subkeys_of(&pos, &t, &count)) != ERROR_SUCCESS)
		return rc;
	if (index >= count)
		return ERROR_NO_MORE_ITEMS;
	/* Short of memory the whole table fails; a name missing from one
	 * is a damaged cell. */
	if ((s = subkey_name(&pos, t, index)) == NULL)
		return ERROR_BADKEY;
	len = strlen(s);
	if (len >= *name_len)
		return ERROR_MORE_DATA;
	memcpy(name, s, len + 1);
	*name_len = (DWORD)len;
	return ERROR_SUCCESS;
}

LONG
RegQueryValueExA(HKEY key, const char *value_name, DWORD *reserved,
    DWORD *type, BYTE *data, DWORD *data_len)
{
	const char *name = value_name != NULL ? value_name : "";
	struct key_pos pos;
	hive_value_h v;
	DWORD t;
	size_t len;
	char *raw;
	hive_h *h;
	LONG rc;

	if (reserved != NULL || data == NULL || data_len == NULL)
		return ERROR_INVALID_PARAMETER;
	if ((rc = key_start(key, &pos)) != ERROR_SUCCESS)
		return rc;
	if (pos.hive == VIRTUAL_ROOT)
		return ERROR_FILE_NOT_FOUND;
	h = g_hives[pos.hive].h;
	if ((v = value_named(h, pos.node, name, strlen(name))) == 0)
		return ERROR_FILE_NOT_FOUND;
	if (value_type(h, v, &t, &len) < 0)
		return ERROR_BADKEY;
	/* Empty data needs no buffer (malloc(0) may give none). */
	if (len == 0)
		return deliver(t, "", 0, type, data, data_len);
	if ((raw = value_data(h, v, &len)) == NULL)
		return errno == ENOMEM ? ERROR_NOT_ENOUGH_MEMORY : ERROR_BADKEY;
	rc = deliver(t, raw, len, type, data, data_len);
	free(raw);
	return rc;
}

LONG
RegDeleteKeyA(HKEY key, const char *sub_key)
{
	struct key_pos pos;
	LONG rc;

	if ((rc = key_start(key, &pos)) != ERROR_SUCCESS)
		return rc;
	if ((rc = walk(&pos, sub_key)) != ERROR_SUCCESS)
		return rc;
	return delete_node(&pos);
}

LONG
RegCloseKey(HKEY key)
{
	struct reg_handle *r;

	if (key == HKEY_LOCAL_MACHINE || key == HKEY_CURRENT_USER)
		return ERROR_SUCCESS;
	if ((r = handle_of(key)) == NULL)
		return ERROR_INVALID_HANDLE;
	memset(r, 0, sizeof(*r));
	return ERROR_SUCCESS;
}

/* ---- the run's backup ---- */

int
hive_backup_of_key(HKEY key, const char *dir)
{
	struct reg_handle *k = handle_of(key);
	struct hive_file *f;

	if (k == NULL || k->hive == VIRTUAL_ROOT || dir == NULL ||
	    dir[0] == '\0' || strlen(dir) >= PATH_BYTES) {
		errno = EINVAL;
		return -1;
	}
	hive_set_backup_dir(dir);
	f = &g_hives[k->hive];
	if (f->state < HIVE_READ_ONLY) {
		errno = EIO;
		return -1;
	}
	return hive_backup(f) >= 0 ? 1 : -1;
}

void
reg_rollback(void)
{
	for (int i = 0; i < HIVE_COUNT; i++) {
		if (g_hives[i].state == HIVE_UNSAVED)
			hive_rollback(i);
	}
}

int
reg_commit(void)
{
	int result = 0, e = 0;

	for (int i = 0; i < HIVE_COUNT; i++) {
		if (g_hives[i].state != HIVE_UNSAVED)
			continue;
		if (hive_save(i) < 0) {
			e = result < 0 ? e : errno;
			refuse_hive(&g_hives[i]);
			/* Memory must not claim a key is gone that the
			 * disk still holds. */
			hive_rollback(i);
			result = -1;
		} else {
			tree_settled(i, 1);
			result = result == 0 ? 1 : result;
		}
	}
	if (result < 0)
		errno = errno_from_unix_error(e);
	return result;
}

/* ---- the proof before a delete ---- */

/* The key above the one SUBPATH names below ROOT, into *UP.
 * ERROR_SUCCESS, or the walk's error. */
static LONG
parent_of(HKEY root, const char *subpath, struct key_pos *up)
{
	char above[PATH_BYTES];
	size_t len = strlen(subpath);
	LONG rc;

	if (len >= sizeof(above))
		return ERROR_FILE_NOT_FOUND;
	memcpy(above, subpath, len + 1);
	while (len > 0 && above[len - 1] == '\\')
		len--;
	while (len > 0 && above[len - 1] != '\\')
		len--;
	above[len] = '\0';
	if ((rc = key_start(root, up)) != ERROR_SUCCESS)
		return rc;
	return walk(up, above);
}

/* Proves the tree of the key at POS, SUBPATH below ROOT, sound.  1, or
 * 0 with errno set (the C run-time's) and, for a damaged tree, the
 * user's reason given. */
static int
prove_tree(HKEY root, const char *subpath, const struct key_pos *pos)
{
	struct key_pos up;
	int r;

	if (parent_of(root, subpath, &up) != ERROR_SUCCESS ||
	    up.hive != pos->hive) {
		errno = CRT_EINVAL;
		return 0;
	}
	if ((r = tree_check(pos, up.node)) < 0)
		errno = errno_from_unix_error(errno);
	if (r == 0) {
		errno = CRT_EINVAL;
		reg_refuse(REG_DAMAGED_KEY, "HKLM", subpath);
	}
	return r > 0;
}

int
tree_deletable(HKEY root, const char *subpath, int for_delete)
{
	struct hive_file *f;
	struct key_pos pos;

	/* A key not found, a hive's root or HKLM itself: nothing to prove,
	 * and the open or the delete that follows refuses it. */
	if (key_start(root, &pos) != ERROR_SUCCESS ||
	    walk(&pos, subpath) != ERROR_SUCCESS || pos.hive == VIRTUAL_ROOT ||
	    pos.node == g_hives[pos.hive].root)
		return 1;
	f = &g_hives[pos.hive];
	/* Whole in memory before its cells are read for the proof: the
	 * mapped file goes then, and two copies are the most held. */
	if (hive_writable(pos.hive) < 0) {
		errno = errno_from_unix_error(errno);
		refuse_hive(f);
		return 0;
	}
	if (!prove_tree(root, subpath, &pos))
		return 0;
	/* A change that cannot be written would be found only after the
	 * rest of the item went: the hive's new file is tried first.  And
	 * a hive that has no copy in the backup is not changed. */
	if ((!for_delete && hive_replace_tried(pos.hive) < 0) ||
	    (for_delete && hive_backup(f) < 0)) {
		errno = errno_from_unix_error(errno);
		return 0;
	}
	return 1;
}

/* ---- statistics and reset ---- */

void
hive_get_stats(int hive, struct hive_stats *out)
{
	memset(out, 0, sizeof(*out));
	if (hive < 0 || hive >= HIVE_COUNT)
		return;
	*out = g_hives[hive].stats;
	out->loaded = g_hives[hive].state >= HIVE_READ_ONLY;
	out->read_only = g_hives[hive].state == HIVE_READ_ONLY;
	out->why = out->loaded ? g_hives[hive].why.code : WHY_FILE;
}

int
hive_open_handles(void)
{
	int n = 0;

	for (int k = 0; k < HANDLE_MAX; k++)
		n += g_handles[k].used;
	return n;
}

void
hive_reset(void)
{
	for (int i = 0; i < HIVE_COUNT; i++) {
		cache_forget(i, 0, 0);
		tree_forget(i);
		hive_forget(i);
	}
	memset(g_handles, 0, sizeof(g_handles));
}
