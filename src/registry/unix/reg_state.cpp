/*
 * reg_state.cpp (Linux) - how the hive files of the offline installation
 * stand once read: the registry.h view of hive_condition.
 */
#include "registry/registry.h"

#include <stdio.h>

#include "hive.h"

static const char *const g_hive_keys[HIVE_COUNT] = {
	"HKLM\\SOFTWARE", "HKLM\\SYSTEM",
};

int
registry_hive_state(int index, struct reg_hive *out)
{
	if (index < 0 || index >= HIVE_COUNT)
		return 0;
	snprintf(out->name, sizeof(out->name), "%s", g_hive_keys[index]);
	out->err = 0;
	out->state = hive_condition(index, out->path, sizeof(out->path),
	    &out->err);
	return 1;
}
