/*
 * hive.cpp - the six registry functions of reg_sys.h over the hive files
 * of an offline Windows installation, read and written with libhivex.
 *
 * Each hive is opened read-only on first use (libhivex maps the file
 * and reads what is looked at) and stays open.  At the run's first
 * change to it the file is read whole into memory, once it is clear
 * that it is still the file first opened (device, inode, size, times,
 * header sequence numbers); a file changed in between is not changed by
 * us at all, and the hive is read-only from then on.  Changes are made
 * in memory and reach the disk as a whole new file renamed over the old
 * one, again only if no one else changed the file.  That happens only
 * when the caller says so (reg_commit; the key-path layer calls it at
 * the end of every tree delete, and reg_rollback instead when the tree
 * delete stopped half way): no close or delete writes on its own.
 * A write that fails leaves the file as it was and the hive is read
 * again, so memory never claims a key is gone that the disk still
 * holds.  Before a run first changes a hive it copies the file into
 * the run's backup folder; a hive without that copy is not changed.
 *
 * A hive whose header says it was not closed cleanly (Windows' fast
 * startup, a crash: the two sequence numbers differ) is read but never
 * written: its newest state may sit in log files we do not replay.  A
 * key whose cells are damaged is left alone (see delete_tried).
 */
#include "reg_sys.h"
#include "hive.h"
#include "hive_cache.h"
#include "hive_file.h"
#include "hive_format.h"
#include "hive_names.h"
#include "registry/registry.h"

#include <errno.h>
#include <fcntl.h>
#include <hivex.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "common/ascii.h"
#include "platform/platform.h"
#include "platform/unix/syscalls.h"
#include "platform/unix/winpath.h"

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
	cache_forget(i);
	(void)hive_reload(i);
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
	    g_hives[r->hive].state != HIVE_LOADED))
		return ERROR_KEY_DELETED;
	pos->hive = r->hive;
	pos->node = r->node;
	return ERROR_SUCCESS;
}

/* ---- keys ---- */

/* The child of NODE of hive HIVE named NAME (LEN bytes), or 0. */
static hive_node_h
child_named(int hive, hive_node_h node, const char *name, size_t len)
{
	unsigned hash = name_hash(name, len);
	const struct kid_name *n;
	struct kid_table *t;

	if ((t = kid_table_of(hive, node)) == NULL)
		return 0;
	for (size_t k = 0; k < t->count; k++) {
		n = &t->names[k];
		/* Equal names have equal lengths.  A stored name may hold a
		 * NUL; it then equals no C string. */
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

	if ((vals = SC(hivex_node_values)(h, node)) == NULL)
		return 0;
	for (size_t k = 0; vals[k] != 0 && found == 0; k++) {
		if ((s = SC(hivex_value_key)(h, vals[k])) == NULL)
			continue;
		if (names_equal(s, strlen(s), name, len) &&
		    hivex_value_key_len(h, vals[k]) == strlen(s))
			found = vals[k];
		free(s);
	}
	free(vals);
	return found;
}

/* Type and length of value V.  A hive may hold any type number, more
 * than enum hive_type has names for, so the number is taken as stored. */
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
	return 0;
}

/* The data of value V (LEN bytes), to be freed; NULL on error. */
static char *
value_data(hive_h *h, hive_value_h v, size_t *len)
{
	hive_type ignored;

	return SC(hivex_value_value)(h, v, &ignored, len);
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

	if ((sel = child_named(HIVE_SYSTEM, f->root, "Select", 6)) == 0)
		return 0;
	if ((v = value_named(f->h, sel, "Current", 7)) == 0)
		return 0;
	if (value_type(f->h, v, &type, &len) != 0 || type != REG_DWORD ||
	    len != 4 || (data = value_data(f->h, v, &len)) == NULL)
		return 0;
	n = len == 4 ? le32((const unsigned char *)data) : 0;
	free(data);
	if (n == 0)
		return 0;
	snprintf(name, sizeof(name), "ControlSet%03lu", n);
	return child_named(HIVE_SYSTEM, f->root, name, strlen(name));
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

	if (pos->hive == VIRTUAL_ROOT)
		return enter_hive(pos, name, len);
	f = &g_hives[pos->hive];
	/* Offline there is no CurrentControlSet link: Windows makes it at
	 * boot from Select\Current. */
	if (pos->hive == HIVE_SYSTEM && pos->node == f->root &&
	    names_equal(name, len, "CurrentControlSet", 17))
		next = current_control_set(f);
	if (next == 0)
		next = child_named(pos->hive, pos->node, name, len);
	if (next == 0)
		return ERROR_FILE_NOT_FOUND;
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

/* Longest subkey name of POS in bytes. */
static size_t
longest_subkey(const struct key_pos *pos, const struct kid_table *t,
    size_t count)
{
	size_t most = 0, n;
	const char *s;

	for (size_t k = 0; k < count; k++) {
		if ((s = subkey_name(pos, t, k)) == NULL)
			continue;
		n = strlen(s);
		most = n > most ? n : most;
	}
	return most;
}

/* Value count of POS, with its longest name and data when asked for. */
static void
values_info(const struct key_pos *pos, DWORD *values, DWORD *name_max,
    DWORD *data_max)
{
	hive_h *h = pos->hive != VIRTUAL_ROOT ? g_hives[pos->hive].h : NULL;
	hive_value_h *vals = h != NULL ? SC(hivex_node_values)(h, pos->node) :
	    NULL;
	size_t n = 0, name_most = 0, data_most = 0, len;
	DWORD type;
	char *s;

	for (; vals != NULL && vals[n] != 0; n++) {
		if ((s = SC(hivex_value_key)(h, vals[n])) != NULL) {
			name_most = strlen(s) > name_most ? strlen(s) :
			    name_most;
			free(s);
		}
		if (value_type(h, vals[n], &type, &len) == 0)
			data_most = len > data_most ? len : data_most;
	}
	free(vals);
	if (values != NULL)
		*values = (DWORD)n;
	if (name_max != NULL)
		*name_max = (DWORD)name_most;
	if (data_max != NULL)
		*data_max = (DWORD)data_most;
}

/* Stores the last write time of POS as a FILETIME (low, high DWORD). */
static void
put_filetime(const struct key_pos *pos, void *out)
{
	int64_t t = 0;
	DWORD parts[2];

	if (pos->hive != VIRTUAL_ROOT)
		t = hivex_node_timestamp(g_hives[pos->hive].h, pos->node);
	if (t < 0)
		t = 0;
	parts[0] = (DWORD)((uint64_t)t & 0xffffffffu);
	parts[1] = (DWORD)((uint64_t)t >> 32);
	memcpy(out, parts, sizeof(parts));
}

/* Keys have no class here: an empty one. */
static void
put_no_class(char *class_name, DWORD *class_len)
{
	if (class_name != NULL && class_len != NULL && *class_len > 0)
		class_name[0] = '\0';
	if (class_len != NULL)
		*class_len = 0;
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

/* 1 when the security cell of NODE (a file offset, as on disk) links
 * to neighbours inside the file.  A delete that frees the cell rewrites
 * them unchecked; memory only ever grows past the file and only puts
 * valid links there, so bounds on disk are bounds in memory. */
static int
sk_links_inside(const char *path, hive_node_h node)
{
	unsigned char b[8];
	struct stat st;
	unsigned long sk;
	int fd, ok = 0;

	if ((fd = SC(open)(path, O_RDONLY | O_CLOEXEC, 0)) < 0)
		return 0;
	if (SC(fstat)(fd, &st) != 0 ||
	    SC(pread)(fd, b, 4, (off_t)node + 48) != 4)
		goto out;
	if ((sk = le32(b)) == 0xffffffffu) {
		ok = 1;
		goto out;
	}
	if (SC(pread)(fd, b, 8, (off_t)sk + 0x1000 + 8) != 8)
		goto out;
	ok = le32(b) + 0x1000 + 24 <= (unsigned long)st.st_size &&
	    le32(b + 4) + 0x1000 + 24 <= (unsigned long)st.st_size;
out:
	SC(close)(fd);
	return ok;
}

/* libhivex stops the process on a failed assertion when a key it
 * deletes points at cells that are not there, as in a damaged hive.  So
 * the delete is tried first in a child process, on its copy of memory;
 * 0 when it went through there. */
static int
delete_tried(hive_h *h, hive_node_h node)
{
	pid_t pid;
	int status, null;

	if ((pid = SC(fork)()) < 0)
		return -1;
	if (pid == 0) {
		/* The assertion's message is no news to the user. */
		if ((null = SC(open)("/dev/null", O_WRONLY, 0)) >= 0)
			SC(dup2)(null, STDERR_FILENO);
		_exit(SC(hivex_node_delete_child)(h, node) == 0 ? 0 : 1);
	}
	while (SC(waitpid)(pid, &status, 0) < 0) {
		if (errno != EINTR)
			return -1;
	}
	return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : -1;
}

/* ---- tree check ----
 *
 * libhivex frees, for every key of a deleted tree, its key cell, subkey
 * lists, value list, values, their data and its class name, trusting the
 * pointers it finds.  In a damaged hive those may lead to cells of other
 * keys, or to no cell at all, and the delete then takes other keys with
 * it.  So before a tree is opened for deleting, the file's cells are
 * checked here, read as the file holds them: the hive in memory differs
 * from its file only by deletes, which free cells and move none.
 */

#define CLAIMS_MAX 255

/* A growing list of file offsets. */
struct offsets {
	size_t *v;
	size_t n, cap;
};

/* The file of a hive and, for each 8 bytes of its bins, whether a used
 * cell starts there (non-zero) and how many pointers of the keys walked
 * lead to it (the value less one). */
struct cell_map {
	unsigned char *b;
	size_t end;		/* end of the bins in the file */
	unsigned char *claims;
	unsigned char *seen;	/* keys walked, one bit each */
	unsigned char *mine;	/* keys of the tree walked, likewise */
};

/* Keys named damaged to the user, each once a run. */
#define DAMAGED_MAX 32
static struct key_pos g_damaged[DAMAGED_MAX];
static int g_damaged_count;

static int
offsets_add(struct offsets *o, size_t off)
{
	size_t *v;

	if (o->n == o->cap) {
		o->cap = o->cap > 0 ? o->cap * 2 : 64;
		if ((v = (size_t *)realloc(o->v, o->cap * sizeof(*v))) ==
		    NULL)
			return -1;
		o->v = v;
	}
	o->v[o->n++] = off;
	return 0;
}

/* The file offset of the used cell that POINTER (from the bins' start)
 * names, if it holds at least NEED bytes after its size; else 0. */
static size_t
cell_at(const struct cell_map *m, unsigned long pointer, size_t need)
{
	size_t off = (size_t)pointer + BINS_START, len;

	if (pointer == CELL_NONE || off >= m->end || pointer % CELL_ALIGN ||
	    m->claims[pointer / CELL_ALIGN] == 0)
		return 0;
	len = 0u - (unsigned)le32(m->b + off);
	return len - 4 >= need ? off : 0;
}

/* 1 when the cell at OFF carries the two letters ID. */
static int
cell_is(const struct cell_map *m, size_t off, const char *id)
{
	return off != 0 && memcmp(m->b + off + CELL_ID, id, 2) == 0;
}

/* Marks the used cells of the bins.  A bin or cell whose size leads
 * astray ends the bin: what lies after it counts as no cell. */
static void
map_cells(struct cell_map *m)
{
	size_t bin = BINS_START, size, cell, len;
	long sz;

	while (bin + BIN_HEADER <= m->end &&
	    memcmp(m->b + bin, "hbin", 4) == 0) {
		size = le32(m->b + bin + BIN_SIZE);
		if (size < BIN_ALIGN || size % BIN_ALIGN ||
		    size > m->end - bin)
			return;
		for (cell = bin + BIN_HEADER; cell + 4 <= bin + size;
		    cell += len) {
			sz = (long)(int32_t)le32(m->b + cell);
			len = (size_t)(sz < 0 ? -sz : sz);
			if (len < CELL_ALIGN || len % CELL_ALIGN ||
			    len > bin + size - cell)
				break;
			if (sz < 0)
				m->claims[(cell - BINS_START) / CELL_ALIGN] = 1;
		}
		bin += size;
	}
}

static void
map_free(struct cell_map *m)
{
	free(m->b);
	free(m->claims);
	free(m->seen);
	free(m->mine);
	memset(m, 0, sizeof(*m));
}

/* Reads the hive file at PATH and maps its cells.  0, or -1. */
static int
map_read(const char *path, struct cell_map *m)
{
	struct stat st;
	size_t got = 0, slots;
	ssize_t n;
	int fd;

	memset(m, 0, sizeof(*m));
	if ((fd = SC(open)(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW, 0)) < 0)
		return -1;
	if (SC(fstat)(fd, &st) != 0 || st.st_size < BINS_START ||
	    (m->b = (unsigned char *)malloc((size_t)st.st_size)) == NULL) {
		SC(close)(fd);
		return -1;
	}
	while (got < (size_t)st.st_size && (n = SC(read)(fd, m->b + got,
	    (size_t)st.st_size - got)) != 0) {
		if (n < 0 && errno != EINTR)
			break;
		got += n > 0 ? (size_t)n : 0;
	}
	SC(close)(fd);
	if (got < BINS_START) {
		map_free(m);
		return -1;
	}
	m->end = BINS_START + (size_t)le32(m->b + REGF_BINS_SIZE);
	if (m->end > got || m->end < BINS_START)
		m->end = got;
	slots = (m->end - BINS_START) / CELL_ALIGN + 1;
	m->claims = (unsigned char *)calloc(slots, 1);
	m->seen = (unsigned char *)calloc(slots / 8 + 1, 1);
	m->mine = (unsigned char *)calloc(slots / 8 + 1, 1);
	if (m->claims == NULL || m->seen == NULL || m->mine == NULL) {
		map_free(m);
		return -1;
	}
	map_cells(m);
	return 0;
}

/* Adds to CELLS the cell of POINTER (NEED bytes at least) and gives its
 * offset; 0 when it is no such cell, which STRICT makes an error. */
static size_t
take(const struct cell_map *m, unsigned long pointer, size_t need,
    struct offsets *cells, int strict, int *bad)
{
	size_t off = cell_at(m, pointer, need);

	if (off == 0)
		*bad |= strict;
	else if (offsets_add(cells, off) != 0)
		*bad = 1;
	return off;
}

/* Takes the items of the subkey list at OFF (lf, lh, li): the keys it
 * names go to KIDS, and count as cells too.  How many it holds. */
static size_t
take_list_items(const struct cell_map *m, size_t off, struct offsets *cells,
    struct offsets *kids, int strict, int *bad)
{
	unsigned count = le16(m->b + off + LIST_COUNT);
	size_t step = cell_is(m, off, "li") ? 4 : 8, kid;
	size_t room = (0u - (unsigned)le32(m->b + off) - LIST_ITEMS) / step;

	if (!cell_is(m, off, "lf") && !cell_is(m, off, "lh") &&
	    !cell_is(m, off, "li")) {
		*bad |= strict;
		return 0;
	}
	if (count > room) {
		*bad |= strict;
		count = (unsigned)room;
	}
	for (unsigned k = 0; k < count; k++) {
		kid = take(m, le32(m->b + off + LIST_ITEMS + k * step),
		    NK_SIZE, cells, strict, bad);
		if (!cell_is(m, kid, "nk"))
			*bad |= strict;
		else if (offsets_add(kids, kid) != 0)
			*bad = 1;
	}
	return count;
}

/* The subkey list of key NK, an ri's lists included. */
static void
take_subkeys(const struct cell_map *m, size_t nk, struct offsets *cells,
    struct offsets *kids, int strict, int *bad)
{
	unsigned long want = le32(m->b + nk + NK_SUBKEYS), got = 0;
	size_t list, sub, room;
	unsigned count;

	if (want == 0)
		return;		/* libhivex looks at no list then */
	list = take(m, le32(m->b + nk + NK_SUBKEY_LIST), LIST_ITEMS, cells,
	    strict, bad);
	if (list == 0)
		return;
	if (!cell_is(m, list, "ri")) {
		got = take_list_items(m, list, cells, kids, strict, bad);
	} else {
		count = le16(m->b + list + LIST_COUNT);
		room = (0u - (unsigned)le32(m->b + list) - LIST_ITEMS) / 4;
		if (count > room) {
			*bad |= strict;
			count = (unsigned)room;
		}
		for (unsigned k = 0; k < count; k++) {
			sub = take(m, le32(m->b + list + LIST_ITEMS + k * 4),
			    LIST_ITEMS, cells, strict, bad);
			if (sub != 0)
				got += take_list_items(m, sub, cells, kids,
				    strict, bad);
		}
	}
	if (got != want)
		*bad |= strict;
}

/* The data cell of value VK; big data ('db') with its segments. */
static void
take_data(const struct cell_map *m, size_t vk, struct offsets *cells,
    int strict, int *bad)
{
	unsigned long len = le32(m->b + vk + VK_DATA_LEN);
	size_t data, list;
	unsigned count;

	if (len & VK_DATA_INLINE)
		return;
	data = take(m, le32(m->b + vk + VK_DATA), 0, cells, strict, bad);
	if (data == 0 || !cell_is(m, data, "db"))
		return;
	if (cell_at(m, data - BINS_START, DB_SIZE) == 0) {
		*bad |= strict;
		return;
	}
	count = le16(m->b + data + DB_SEGMENTS);
	list = take(m, le32(m->b + data + DB_LIST), (size_t)count * 4, cells,
	    strict, bad);
	for (unsigned k = 0; list != 0 && k < count; k++)
		take(m, le32(m->b + list + 4 + k * 4), 0, cells, strict, bad);
}

/* The values of key NK: the list, each value and its data. */
static void
take_values(const struct cell_map *m, size_t nk, struct offsets *cells,
    int strict, int *bad)
{
	unsigned long count = le32(m->b + nk + NK_VALUES);
	size_t list, vk;

	if (count == 0)
		return;
	list = take(m, le32(m->b + nk + NK_VALUE_LIST),
	    count < 0x10000000ul ? (size_t)count * 4 : (size_t)-1, cells,
	    strict, bad);
	for (unsigned long k = 0; list != 0 && k < count; k++) {
		vk = take(m, le32(m->b + list + VALUE_LIST_ITEMS + k * 4),
		    VK_SIZE, cells, strict, bad);
		if (!cell_is(m, vk, "vk"))
			*bad |= strict;
		else
			take_data(m, vk, cells, strict, bad);
	}
}

/* Every cell that key NK owns and that a delete of it would free (the
 * key cell itself excepted: the list item naming it is counted) goes to
 * CELLS, its subkeys to KIDS.  STRICT: a pointer to no fitting cell is
 * damage (*BAD set); else it is passed over.  Security cells are shared
 * by design and not taken. */
static void
key_cells(const struct cell_map *m, size_t nk, struct offsets *cells,
    struct offsets *kids, int strict, int *bad)
{
	unsigned long cls = le32(m->b + nk + NK_CLASS);

	take_subkeys(m, nk, cells, kids, strict, bad);
	take_values(m, nk, cells, strict, bad);
	if (cls != CELL_NONE)
		take(m, cls, 0, cells, strict, bad);
}

/* Marks key NK in the bitmap BITS; 1 when it was marked before. */
static int
mark(unsigned char *bits, size_t nk)
{
	size_t slot = (nk - BINS_START) / CELL_ALIGN;
	int was = bits[slot / 8] >> (slot % 8) & 1;

	bits[slot / 8] |= (unsigned char)(1u << (slot % 8));
	return was;
}

/* Walks every key reachable from ROOT once and counts, for each cell,
 * the pointers of those keys that lead to it; the header's pointer to
 * the root counts too, and so do pointers to security cells, which a
 * tree's other pointers must not lead to either.  0, or -1 short of
 * memory. */
static int
count_claims(struct cell_map *m, size_t root)
{
	struct offsets todo = { NULL, 0, 0 }, cells = { NULL, 0, 0 };
	int bad = 0;
	size_t nk, c, first_kid, keep;

	if (offsets_add(&todo, root) != 0 || offsets_add(&cells, root) != 0)
		bad = 1;
	mark(m->seen, root);
	while (todo.n > 0 && !bad) {
		nk = todo.v[--todo.n];
		first_kid = todo.n;
		key_cells(m, nk, &cells, &todo, 0, &bad);
		take(m, le32(m->b + nk + NK_SECURITY), 0, &cells, 0, &bad);
		for (size_t k = 0; k < cells.n; k++) {
			c = (cells.v[k] - BINS_START) / CELL_ALIGN;
			if (m->claims[c] < CLAIMS_MAX)
				m->claims[c]++;
		}
		cells.n = 0;
		/* Keys reached before are not walked again. */
		keep = first_kid;
		for (size_t k = first_kid; k < todo.n; k++) {
			if (!mark(m->seen, todo.v[k]))
				todo.v[keep++] = todo.v[k];
		}
		todo.n = keep;
	}
	free(todo.v);
	free(cells.v);
	return bad ? -1 : 0;
}

/* 1 when key NK has no security cell, or one in the ring of them that a
 * delete may unlink it from. */
static int
security_sound(const struct cell_map *m, size_t nk)
{
	unsigned long ptr = le32(m->b + nk + NK_SECURITY);
	size_t sk = cell_at(m, ptr, SK_SIZE);

	if (ptr == CELL_NONE)
		return 1;
	return cell_is(m, sk, "sk") &&
	    cell_is(m, cell_at(m, le32(m->b + sk + SK_FLINK), SK_SIZE), "sk") &&
	    cell_is(m, cell_at(m, le32(m->b + sk + SK_BLINK), SK_SIZE), "sk");
}

static int
offset_order(const void *a, const void *b)
{
	size_t x = *(const size_t *)a, y = *(const size_t *)b;

	return x < y ? -1 : x > y;
}

/* 1 when the tree of key TOP, whose parent is PARENT, may be deleted:
 * every key of it is a sound key cell reached once, names the key above
 * it as its parent, and every cell a delete would free is a used cell
 * of the bins that no pointer outside the tree leads to.  0 when not. */
static int
tree_sound(struct cell_map *m, size_t top, size_t parent)
{
	struct offsets todo = { NULL, 0, 0 }, from = { NULL, 0, 0 };
	struct offsets cells = { NULL, 0, 0 };
	size_t nk, above, c, first;
	int bad = 0;

	/* TOP is reached by the one list item of its parent. */
	bad |= offsets_add(&todo, top) | offsets_add(&from, parent) |
	    offsets_add(&cells, top);
	while (todo.n > 0 && !bad) {
		nk = todo.v[--todo.n];
		above = from.v[--from.n];
		if (cell_at(m, nk - BINS_START, NK_SIZE) == 0 ||
		    !cell_is(m, nk, "nk") || mark(m->mine, nk) ||
		    le32(m->b + nk + NK_PARENT) + BINS_START != above) {
			bad = 1;
			break;
		}
		first = todo.n;
		bad |= !security_sound(m, nk);
		key_cells(m, nk, &cells, &todo, 1, &bad);
		for (size_t k = first; k < todo.n && !bad; k++)
			bad |= offsets_add(&from, nk);
	}
	if (!bad) {
		qsort(cells.v, cells.n, sizeof(*cells.v), offset_order);
		for (size_t k = 0; k < cells.n && !bad; k++) {
			c = (cells.v[k] - BINS_START) / CELL_ALIGN;
			/* Taken twice inside the tree, or once more from
			 * outside it. */
			bad = (k > 0 && cells.v[k - 1] == cells.v[k]) ||
			    m->claims[c] != 2;
		}
	}
	free(todo.v);
	free(from.v);
	free(cells.v);
	return !bad;
}

/* Says once that the key at POS, named PATH below HKLM, is damaged. */
static void
tell_damaged(const struct key_pos *pos, const char *path)
{
	for (int k = 0; k < g_damaged_count; k++) {
		if (g_damaged[k].hive == pos->hive &&
		    g_damaged[k].node == pos->node)
			return;
	}
	if (g_damaged_count < DAMAGED_MAX)
		g_damaged[g_damaged_count++] = *pos;
	plat_printf("Damaged registry key 'HKLM\\%s': not removed\n", path);
}

/* ERROR_SUCCESS when the tree of the key at POS, PATH below HKLM, may
 * be deleted; ERROR_BADKEY, said once, when it is damaged.  PARENT is
 * the key above it. */
static LONG
tree_check(const struct key_pos *pos, size_t parent, const char *path)
{
	struct hive_file *f = &g_hives[pos->hive];
	struct cell_map m;
	int sound;

	if (map_read(f->path, &m) != 0)
		return ERROR_NOT_ENOUGH_MEMORY;
	sound = cell_at(&m, f->root - BINS_START, NK_SIZE) != 0 &&
	    count_claims(&m, f->root) == 0 &&
	    tree_sound(&m, pos->node, parent);
	map_free(&m);
	if (sound)
		return ERROR_SUCCESS;
	tell_damaged(pos, path);
	return ERROR_BADKEY;
}

/* Before a tree is opened for deleting from HKLM (the first step of
 * every tree delete): ERROR_SUCCESS when it may go on, ERROR_BADKEY when
 * the tree at POS, PATH below HKLM, is damaged.  A key that cannot be
 * deleted anyway (a hive's root, a read-only hive) needs no look. */
static LONG
delete_check(const struct key_pos *pos, const char *path)
{
	char above[PATH_BYTES];
	struct key_pos up = { VIRTUAL_ROOT, 0 };
	size_t len = strlen(path);
	LONG rc;

	if (pos->hive == VIRTUAL_ROOT || g_hives[pos->hive].read_only ||
	    pos->node == g_hives[pos->hive].root || len >= sizeof(above))
		return ERROR_SUCCESS;
	memcpy(above, path, len + 1);
	while (len > 0 && above[len - 1] == '\\')
		len--;
	while (len > 0 && above[len - 1] != '\\')
		len--;
	above[len] = '\0';
	if ((rc = walk(&up, above)) != ERROR_SUCCESS)
		return rc;
	if (up.hive != pos->hive)
		return ERROR_BADKEY;
	return tree_check(pos, (size_t)up.node, path);
}

/* Deletes the key at POS in memory, if it has no subkeys. */
static LONG
delete_node(const struct key_pos *pos)
{
	struct hive_file *f;
	struct kid_table *t;
	size_t count;
	LONG rc;

	if (pos->hive == VIRTUAL_ROOT)
		return ERROR_ACCESS_DENIED;
	f = &g_hives[pos->hive];
	if (f->read_only)
		tell_read_only(f);
	if (f->read_only || pos->node == f->root)
		return ERROR_ACCESS_DENIED;
	if ((rc = subkeys_of(pos, &t, &count)) != ERROR_SUCCESS)
		return rc;
	if (count > 0)
		return ERROR_ACCESS_DENIED;
	if (hive_writable(pos->hive) < 0) {
		rc = errno == EACCES ? ERROR_ACCESS_DENIED : errno == ENOMEM ?
		    ERROR_NOT_ENOUGH_MEMORY : ERROR_WRITE_FAULT;
		tell_read_only(f);
		return rc;
	}
	if (!sk_links_inside(f->path, pos->node) ||
	    delete_tried(f->h, pos->node) != 0)
		return ERROR_BADKEY;
	if (hive_backup(f) < 0)
		return errno == ENOSPC || errno == EDQUOT ? ERROR_DISK_FULL :
		    ERROR_WRITE_FAULT;
	if (SC(hivex_node_delete_child)(f->h, pos->node) != 0) {
		/* A delete that stopped half way may have left memory in
		 * any state: start again from the file. */
		hive_rollback(pos->hive);
		return ERROR_BADKEY;
	}
	f->unsaved = 1;
	cache_forget(pos->hive);
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
	if (data == NULL) {
		if (data_len != NULL)
			*data_len = (DWORD)need;
		return ERROR_SUCCESS;
	}
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
	if (result == NULL)
		return ERROR_INVALID_PARAMETER;
	*result = NULL;
	if ((rc = key_start(key, &pos)) != ERROR_SUCCESS)
		return rc;
	if ((rc = walk(&pos, sub_key)) != ERROR_SUCCESS)
		return rc;
	/* A hive we only read can lose no key: refused at the open, as
	 * Windows refuses DELETE to a caller that may not delete, so the
	 * caller learns it before it changes anything else. */
	if ((sam & DELETE) != 0 && pos.hive != VIRTUAL_ROOT &&
	    g_hives[pos.hive].read_only)
		return ERROR_ACCESS_DENIED;
	if (key == HKEY_LOCAL_MACHINE && (sam & DELETE) != 0 &&
	    (rc = delete_check(&pos, sub_key != NULL ? sub_key : "")) !=
	    ERROR_SUCCESS)
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

	(void)reserved;
	if ((rc = key_start(key, &pos)) != ERROR_SUCCESS)
		return rc;
	if ((rc = subkeys_of(&pos, &t, &count)) != ERROR_SUCCESS)
		return rc;
	if (subkeys != NULL)
		*subkeys = (DWORD)count;
	if (max_subkey_len != NULL)
		*max_subkey_len = (DWORD)longest_subkey(&pos, t, count);
	put_no_class(class_name, class_len);
	if (max_class_len != NULL)
		*max_class_len = 0;
	if (values != NULL || max_value_name_len != NULL ||
	    max_value_len != NULL)
		values_info(&pos, values, max_value_name_len, max_value_len);
	if (security_len != NULL)
		*security_len = 0;
	if (last_write != NULL)
		put_filetime(&pos, last_write);
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

	(void)reserved;
	if (name == NULL || name_len == NULL)
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
	if (last_write != NULL) {
		struct key_pos child = { pos.hive, t != NULL ? t->kids[index] :
		    0 };
		put_filetime(&child, last_write);
	}
	len = strlen(s);
	if (len >= *name_len)
		return ERROR_MORE_DATA;
	memcpy(name, s, len + 1);
	*name_len = (DWORD)len;
	put_no_class(class_name, class_len);
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

	(void)reserved;
	if (data != NULL && data_len == NULL)
		return ERROR_INVALID_PARAMETER;
	if ((rc = key_start(key, &pos)) != ERROR_SUCCESS)
		return rc;
	if (pos.hive == VIRTUAL_ROOT)
		return ERROR_FILE_NOT_FOUND;
	h = g_hives[pos.hive].h;
	if ((v = value_named(h, pos.node, name, strlen(name))) == 0)
		return ERROR_FILE_NOT_FOUND;
	if (value_type(h, v, &t, &len) != 0)
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
	if (f->state != HIVE_LOADED) {
		errno = EIO;
		return -1;
	}
	return hive_backup(f) >= 0 ? 1 : -1;
}

void
reg_rollback(void)
{
	for (int i = 0; i < HIVE_COUNT; i++) {
		if (g_hives[i].state == HIVE_LOADED && g_hives[i].unsaved)
			hive_rollback(i);
	}
}

int
reg_commit(LONG *rc)
{
	int result = 0;
	LONG r;

	for (int i = 0; i < HIVE_COUNT; i++) {
		if (g_hives[i].state != HIVE_LOADED || !g_hives[i].unsaved)
			continue;
		if (hive_save(i) < 0) {
			/* Memory must not claim a key is gone that the
			 * disk still holds. */
			r = errno == ENOSPC ? ERROR_DISK_FULL :
			    ERROR_WRITE_FAULT;
			hive_rollback(i);
			if (rc != NULL && result >= 0)
				*rc = r;
			result = -1;
		} else if (result == 0)
			result = 1;
	}
	return result;
}

/* ---- statistics and reset ---- */

void
hive_get_stats(int hive, struct hive_stats *out)
{
	memset(out, 0, sizeof(*out));
	if (hive < 0 || hive >= HIVE_COUNT)
		return;
	*out = g_hives[hive].stats;
	out->loaded = g_hives[hive].state == HIVE_LOADED;
	out->read_only = out->loaded && g_hives[hive].read_only;
	out->why = out->loaded ? g_hives[hive].why : HIVE_WRITABLE;
}

int
hive_condition(int hive, char *path, size_t size, int *err)
{
	struct hive_file *f;

	if (hive < 0 || hive >= HIVE_COUNT)
		return -1;
	f = &g_hives[hive];
	(void)hive_get(hive);
	snprintf(path, size, "%s", f->path[0] != '\0' ? f->path : f->want);
	*err = f->err;
	return f->cond;
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
		cache_forget(i);
		hive_forget(i);
	}
	memset(g_handles, 0, sizeof(g_handles));
	g_damaged_count = 0;
}
