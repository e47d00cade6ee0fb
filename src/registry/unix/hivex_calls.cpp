/*
 * hivex_calls.cpp - the table of libhivex calls (hivex_calls.h).
 */
#include "hivex_calls.h"

struct sys_call g_hivex_calls[HC_COUNT] = {
#define HC_ROW(name, ret, fail, params, args, real) \
	{ #name, (void (*)(void))real, (void (*)(void))real },
	HIVEX_CALLS(HC_ROW)
#undef HC_ROW
};
