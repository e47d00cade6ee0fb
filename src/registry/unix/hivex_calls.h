/*
 * hivex_calls.h - the libhivex calls that read, change or write a hive
 * go through a table of their own, g_hivex_calls, beside the platform's
 * system-call table (platform/unix/syscalls.h) and made the same way: a
 * name, the function called now, and the real one.  A test points an
 * entry elsewhere to make a call fail (hivex_call_set), as it does with
 * a system call.  HC(hivex_open)(path, flags) calls the current one.
 */
#ifndef VKM_HIVEX_CALLS_H
#define VKM_HIVEX_CALLS_H

#include <hivex.h>

#include "platform/unix/syscalls.h"

/* Each row as in syscalls.h. */
#define HIVEX_CALLS(X) \
	X(hivex_open, hive_h *, NULL, (const char *p, int f), (p, f), \
	    hivex_open) \
	X(hivex_commit, int, -1, (hive_h *h, const char *p, int f), \
	    (h, p, f), hivex_commit) \
	X(hivex_node_delete_child, int, -1, (hive_h *h, hive_node_h n), \
	    (h, n), hivex_node_delete_child) \
	X(hivex_node_children, hive_node_h *, NULL, (hive_h *h, \
	    hive_node_h n), (h, n), hivex_node_children) \
	X(hivex_node_name, char *, NULL, (hive_h *h, hive_node_h n), (h, n), \
	    hivex_node_name) \
	X(hivex_node_values, hive_value_h *, NULL, (hive_h *h, \
	    hive_node_h n), (h, n), hivex_node_values) \
	X(hivex_value_key, char *, NULL, (hive_h *h, hive_value_h v), (h, v), \
	    hivex_value_key) \
	X(hivex_value_value, char *, NULL, (hive_h *h, hive_value_h v, \
	    hive_type *t, size_t *n), (h, v, t, n), hivex_value_value)

enum {
#define HC_ENUM(name, ...) HC_##name,
	HIVEX_CALLS(HC_ENUM)
#undef HC_ENUM
	HC_COUNT
};

#define HC_TYPE(name, ret, fail, params, args, real) \
	typedef ret (*hc_##name##_fn) params;
HIVEX_CALLS(HC_TYPE)
#undef HC_TYPE

extern struct sys_call g_hivex_calls[HC_COUNT];

/* The function the libhivex call NAME goes to now. */
#define HC(name) ((hc_##name##_fn)g_hivex_calls[HC_##name].current)

/* Points the call NAME at FN, or back at libhivex's own when FN is
 * NULL.  1: done; 0: no call of that name. */
static inline int
hivex_call_set(const char *name, void (*fn)(void))
{
	return call_table_set(g_hivex_calls, HC_COUNT, name, fn);
}

#endif
