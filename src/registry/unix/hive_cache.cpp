/*
 * hive_cache.cpp - the decoded subkey names of the last few keys looked
 * at and the last few paths walked, each slot reused least recently
 * used first.
 */
#include "hive_cache.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "hive_names.h"
#include "hivex_calls.h"

#define KID_TABLES 4		/* a walk's parents, the key being scanned */
#define PATH_SLOTS 8

/* A walk made before: from START the path PATH (folded, no '\' at its
 * end) led to END. */
struct path_slot {
	int used;
	struct key_pos start, end;
	size_t len;
	char path[PATH_SLOT_BYTES];
	unsigned long last_use;
};

static struct kid_table g_kid_tables[KID_TABLES];
static struct path_slot g_path_slots[PATH_SLOTS];
static unsigned long g_cache_clock;

static void
kid_table_free(struct kid_table *t)
{
	for (size_t k = 0; t->names != NULL && k < t->count; k++)
		free(t->names[k].name);
	free(t->names);
	free(t->kids);
	memset(t, 0, sizeof(*t));
}

void
cache_forget(int hive, hive_node_h parent, hive_node_h node)
{
	struct path_slot *p;

	for (int k = 0; k < KID_TABLES; k++) {
		if (g_kid_tables[k].used && g_kid_tables[k].hive == hive &&
		    (parent == 0 || g_kid_tables[k].parent == parent))
			kid_table_free(&g_kid_tables[k]);
	}
	/* A path through a key deleted ends at it: its subkeys went
	 * before it. */
	for (int k = 0; k < PATH_SLOTS; k++) {
		p = &g_path_slots[k];
		if ((p->start.hive == hive || p->end.hive == hive) &&
		    (parent == 0 || (p->end.hive == hive && p->end.node == node)))
			p->used = 0;
	}
}

struct kid_table *
kid_table_of(int hive, hive_node_h node)
{
	hive_h *h = g_hives[hive].h;
	struct kid_table *t = NULL, *c;
	char *s;
	int ok;

	for (int k = 0; k < KID_TABLES; k++) {
		c = &g_kid_tables[k];
		if (c->used && c->hive == hive && c->parent == node) {
			c->last_use = ++g_cache_clock;
			return c;
		}
		if (t == NULL || (t->used && (!c->used ||
		    c->last_use < t->last_use)))
			t = c;
	}
	kid_table_free(t);
	if ((t->kids = HC(hivex_node_children)(h, node)) == NULL) {
		errno = errno == ENOMEM ? ENOMEM : EIO;
		return NULL;
	}
	while (t->kids[t->count] != 0)
		t->count++;
	t->names = (struct kid_name *)calloc(t->count + 1, sizeof(*t->names));
	ok = t->names != NULL;
	for (size_t k = 0; ok && k < t->count; k++) {
		if ((s = HC(hivex_node_name)(h, t->kids[k])) == NULL) {
			ok = errno != ENOMEM;
			continue;
		}
		t->names[k].name = s;
		t->names[k].len = strlen(s);
		t->names[k].hash = name_hash(s, t->names[k].len);
	}
	if (!ok) {
		kid_table_free(t);
		errno = ENOMEM;
		return NULL;
	}
	t->used = 1;
	t->hive = hive;
	t->parent = node;
	t->last_use = ++g_cache_clock;
	return t;
}

size_t
path_recall(const struct key_pos *start, const char *path, size_t len,
    struct key_pos *end)
{
	struct path_slot *best = NULL, *s;

	for (int k = 0; k < PATH_SLOTS; k++) {
		s = &g_path_slots[k];
		if (!s->used || s->start.hive != start->hive ||
		    s->start.node != start->node || s->len > len ||
		    (best != NULL && s->len <= best->len))
			continue;
		if ((s->len == len || path[s->len] == '\\') &&
		    memcmp(s->path, path, s->len) == 0)
			best = s;
	}
	if (best == NULL)
		return 0;
	best->last_use = ++g_cache_clock;
	*end = best->end;
	return best->len;
}

void
path_remember(const struct key_pos *start, const char *path, size_t len,
    const struct key_pos *end)
{
	struct path_slot *s = &g_path_slots[0], *c;

	/* A stored path never ends in '\': "A\" would match the start of
	 * "A\\B" and pass over the empty name there, which no walk does. */
	if (len > 0 && path[len - 1] == '\\')
		len--;
	if (len == 0 || len >= sizeof(s->path))
		return;
	for (int k = 1; k < PATH_SLOTS; k++) {
		c = &g_path_slots[k];
		if (s->used && (!c->used || c->last_use < s->last_use))
			s = c;
	}
	s->used = 1;
	s->start = *start;
	s->end = *end;
	s->len = len;
	memcpy(s->path, path, len);
	s->last_use = ++g_cache_clock;
}

