/*
 * hive_tree.cpp - a hive file's cells read as the disk holds them, to
 * prove that a tree may be deleted.
 */
#include "hive_tree.h"

#include <errno.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include "hive_format.h"
#include "hive_recover.h"
#include "platform/unix/syscalls.h"

/*
 * libhivex 1.3.23 (Debian 12) frees, for every key of a deleted tree,
 * its key cell, subkey lists, value list, values, their data and its
 * class name, trusting the pointers it finds.  In a damaged hive those
 * may lead to cells of other keys, or to no cell at all, and the delete
 * then takes other keys with it.  So before a tree is deleted its cells
 * are checked here, against the hive's file as this run first read it:
 * memory differs from that only by the deletes made since, which free
 * cells and move none.  What a written delete freed is marked gone, and
 * a list that still names a key gone stands for the list without it
 * (libhivex takes a key out of its parent's list in place).
 */

#define CLAIMS_MAX 255

/* A growing list of file offsets. */
struct offsets {
	size_t *v;
	size_t n, cap;
};

/* The file of a hive and, for each 8 bytes of its bins, whether a used
 * cell starts there (non-zero) and how many pointers of the keys walked
 * lead to it (the value less one); the tree proved last, and what
 * changed in memory since. */
struct cell_map {
	unsigned char *b;	/* NULL: not read yet */
	size_t end;		/* end of the bins in the file */
	unsigned char *claims;
	unsigned char *mine;	/* keys of the tree proved, one bit each */
	unsigned char *gone;	/* cells a written delete freed, likewise
				 * (the keys walked, while claims count) */
	struct offsets cells;	/* what the proved tree's delete frees */
	size_t top;		/* the proved tree's key, or 0 */
	int top_gone;		/* its delete went through in memory */
	int stale;		/* the map no longer follows memory by itself */
};

static struct cell_map g_maps[HIVE_COUNT];

/* Adds OFF to O.  1, or -1 short of memory. */
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
	return 1;
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
	return len - CELL_SIZE_BYTES >= need ? off : 0;
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
	    memcmp(m->b + bin, HBIN_MAGIC, 4) == 0) {
		size = le32(m->b + bin + BIN_SIZE);
		if (size < BIN_ALIGN || size % BIN_ALIGN ||
		    size > m->end - bin)
			return;
		for (cell = bin + BIN_HEADER; cell + CELL_SIZE_BYTES <= bin + size;
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
	free(m->mine);
	free(m->gone);
	free(m->cells.v);
	memset(m, 0, sizeof(*m));
}

/* Reads what this run reads of hive F and maps its cells.  1, or -1
 * with errno set. */
static int
map_read(const struct hive_file *f, struct cell_map *m)
{
	struct stat st;
	size_t got = 0, slots;
	ssize_t n;
	int fd;

	map_free(m);
	if ((fd = hive_open_content(f)) < 0)
		return -1;
	if (SC(fstat)(fd, &st) != 0 || st.st_size < BINS_START ||
	    (m->b = (unsigned char *)malloc((size_t)st.st_size)) == NULL) {
		SC(close)(fd);
		errno = m->b == NULL ? ENOMEM : EIO;
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
		errno = EIO;
		return -1;
	}
	m->end = BINS_START + (size_t)le32(m->b + REGF_BINS_SIZE);
	if (m->end > got || m->end < BINS_START)
		m->end = got;
	slots = (m->end - BINS_START) / CELL_ALIGN + 1;
	m->claims = (unsigned char *)calloc(slots, 1);
	m->mine = (unsigned char *)calloc(slots / 8 + 1, 1);
	m->gone = (unsigned char *)calloc(slots / 8 + 1, 1);
	if (m->claims == NULL || m->mine == NULL || m->gone == NULL) {
		map_free(m);
		errno = ENOMEM;
		return -1;
	}
	map_cells(m);
	return 1;
}

/* The bit of the cell at the file offset OFF in the bitmap BITS, which
 * becomes ON unless ON is -1.  What it was. */
static int
bit(unsigned char *bits, size_t off, int on)
{
	size_t slot = (off - BINS_START) / CELL_ALIGN;
	unsigned char b = (unsigned char)(1u << (slot % 8));
	int was = (bits[slot / 8] & b) != 0;

	if (on >= 0)
		bits[slot / 8] = (unsigned char)(on ? bits[slot / 8] | b :
		    bits[slot / 8] & ~b);
	return was;
}

/* 1 when POINTER names a cell that a written delete of this run freed. */
static int
gone(const struct cell_map *m, unsigned long pointer)
{
	return pointer % CELL_ALIGN == 0 && pointer < m->end - BINS_START &&
	    bit(m->gone, pointer + BINS_START, -1);
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
	else if (offsets_add(cells, off) < 0)
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
	size_t step = cell_is(m, off, "li") ? LI_ITEM : LF_ITEM, kid;
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
		/* Out of the list in memory since. */
		if (gone(m, le32(m->b + off + LIST_ITEMS + k * step)))
			continue;
		kid = take(m, le32(m->b + off + LIST_ITEMS + k * step),
		    NK_SIZE, cells, strict, bad);
		if (!cell_is(m, kid, "nk"))
			*bad |= strict;
		else if (offsets_add(kids, kid) < 0)
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
		room = (0u - (unsigned)le32(m->b + list) - LIST_ITEMS) /
		    RI_ITEM;
		if (count > room) {
			*bad |= strict;
			count = (unsigned)room;
		}
		for (unsigned k = 0; k < count; k++) {
			sub = take(m, le32(m->b + list + LIST_ITEMS +
			    k * RI_ITEM),
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
	list = take(m, le32(m->b + data + DB_LIST), (size_t)count *
	    POINTER_BYTES, cells, strict, bad);
	for (unsigned k = 0; list != 0 && k < count; k++)
		take(m, le32(m->b + list + SEGMENT_LIST_ITEMS +
		    k * POINTER_BYTES), 0, cells, strict, bad);
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
	    count < 0x10000000ul ? (size_t)count * POINTER_BYTES : (size_t)-1,
	    cells,
	    strict, bad);
	for (unsigned long k = 0; list != 0 && k < count; k++) {
		vk = take(m, le32(m->b + list + VALUE_LIST_ITEMS +
		    k * POINTER_BYTES),
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

/* Walks every key reachable from ROOT once and counts, for each cell,
 * the pointers of those keys that lead to it; the header's pointer to
 * the root counts too, and so do pointers to security cells, which a
 * tree's other pointers must not lead to either.  1, or -1 short of
 * memory. */
static int
count_claims(struct cell_map *m, size_t root)
{
	struct offsets todo = { NULL, 0, 0 }, cells = { NULL, 0, 0 };
	int bad = 0;
	size_t nk, c, first_kid, keep;

	if (offsets_add(&todo, root) < 0 || offsets_add(&cells, root) < 0)
		bad = 1;
	bit(m->gone, root, 1);
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
			if (!bit(m->gone, todo.v[k], 1))
				todo.v[keep++] = todo.v[k];
		}
		todo.n = keep;
	}
	free(todo.v);
	free(cells.v);
	return bad ? -1 : 1;
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

/* Clears the bits of the proved tree's keys, and the proof. */
static void
proof_drop(struct cell_map *m)
{
	for (size_t k = 0; k < m->cells.n; k++)
		bit(m->mine, m->cells.v[k], 0);
	m->cells.n = 0;
	m->top = 0;
	m->top_gone = 0;
}

/* 1 when the tree of key TOP, whose parent is PARENT, may be deleted:
 * every key of it is a sound key cell reached once, names the key above
 * it as its parent, and every cell a delete would free is a used cell
 * of the bins that no pointer outside the tree leads to.  Its keys are
 * marked in M->mine, what its delete frees is in M->cells.  0 when not,
 * nothing marked. */
static int
tree_sound(struct cell_map *m, size_t top, size_t parent)
{
	struct offsets todo = { NULL, 0, 0 }, from = { NULL, 0, 0 };
	struct offsets *cells = &m->cells;
	size_t nk, above, c, first;
	int bad = 0;

	/* TOP is reached by the one list item of its parent. */
	bad |= offsets_add(&todo, top) < 0 || offsets_add(&from, parent) < 0 ||
	    offsets_add(cells, top) < 0;
	while (todo.n > 0 && !bad) {
		nk = todo.v[--todo.n];
		above = from.v[--from.n];
		if (cell_at(m, nk - BINS_START, NK_SIZE) == 0 ||
		    !cell_is(m, nk, "nk") || bit(m->mine, nk, 1) ||
		    le32(m->b + nk + NK_PARENT) + BINS_START != above) {
			bad = 1;
			break;
		}
		first = todo.n;
		bad |= !security_sound(m, nk);
		key_cells(m, nk, cells, &todo, 1, &bad);
		for (size_t k = first; k < todo.n && !bad; k++)
			bad |= offsets_add(&from, nk) < 0;
	}
	if (!bad) {
		qsort(cells->v, cells->n, sizeof(*cells->v), offset_order);
		for (size_t k = 0; k < cells->n && !bad; k++) {
			c = (cells->v[k] - BINS_START) / CELL_ALIGN;
			/* Taken twice inside the tree, or once more from
			 * outside it. */
			bad = (k > 0 && cells->v[k - 1] == cells->v[k]) ||
			    m->claims[c] != 2;
		}
	}
	free(todo.v);
	free(from.v);
	if (bad)
		proof_drop(m);
	return !bad;
}

/* Reads the cells of hive F into M and counts their claims, once per
 * run and file.  1, or -1 with errno set. */
static int
map_build(const struct hive_file *f, struct cell_map *m)
{
	if (map_read(f, m) < 0)
		return -1;
	/* No tree of a root that is no sound key is sound. */
	if (cell_at(m, f->root - BINS_START, NK_SIZE) == 0)
		m->end = BINS_START;
	else if (count_claims(m, f->root) < 0) {
		map_free(m);
		errno = ENOMEM;
		return -1;
	}
	memset(m->gone, 0, (m->end - BINS_START) / CELL_ALIGN / 8 + 1);
	return 1;
}

int
tree_check(const struct key_pos *pos, hive_node_h parent)
{
	struct cell_map *m = &g_maps[pos->hive];

	if (m->b == NULL && map_build(&g_hives[pos->hive], m) < 0)
		return -1;
	if (m->top != 0 && m->top == pos->node)
		return 1;
	/* Deletes not yet written stay out of the map: it is read again
	 * once they are. */
	if (m->top_gone)
		m->stale = 1;
	proof_drop(m);
	if (!tree_sound(m, pos->node, parent))
		return 0;
	m->top = pos->node;
	return 1;
}

int
tree_allows(int hive, hive_node_h node)
{
	struct cell_map *m = &g_maps[hive];

	return m->top != 0 && node >= BINS_START && node < m->end &&
	    bit(m->mine, node, -1);
}

void
tree_deleted(int hive, hive_node_h node)
{
	struct cell_map *m = &g_maps[hive];

	if (node == m->top)
		m->top_gone = 1;
}

void
tree_settled(int hive, int written)
{
	struct cell_map *m = &g_maps[hive];

	if (written && (m->stale || !m->top_gone)) {
		/* Not one whole tree: the file tells what went. */
		map_free(m);
		return;
	}
	for (size_t k = 0; written && k < m->cells.n; k++) {
		m->claims[(m->cells.v[k] - BINS_START) / CELL_ALIGN] = 0;
		bit(m->gone, m->cells.v[k], 1);
	}
	proof_drop(m);
	m->stale = 0;
}

void
tree_forget(int hive)
{
	map_free(&g_maps[hive]);
}
