/*
 * hivex_calls.cpp - the table of libhivex calls (hivex_calls.h).
 */
#include "hivex_calls.h"

#include <string.h>

struct sys_call g_hivex_calls[HC_COUNT] = {
#define HC_ROW(name, ret, fail, params, args, real) \
	{ #name, (void (*)(void))real, (void (*)(void))real },
	HIVEX_CALLS(HC_ROW)
#undef HC_ROW
};

int
hivex_call_set(const char *name, void (*fn)(void))
{
	for (int k = 0; k < HC_COUNT; k++) {
		if (strcmp(g_hivex_calls[k].name, name) == 0) {
			g_hivex_calls[k].current = fn != NULL ? fn :
			    g_hivex_calls[k].real;
			return 1;
		}
	}
	return 0;
}
