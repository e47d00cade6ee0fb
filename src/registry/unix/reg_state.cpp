/*
 * reg_state.cpp (Linux) - how the hive files of the offline installation
 * stand once read: the registry.h view of hive_condition, and for a
 * hive not closed cleanly why its logs were not applied, the errno the
 * C run-time's.
 */
#include "registry/registry.h"

#include <stdio.h>

#include "hive_internal.h"
#include "platform/unix/errmap.h"

static const char *const g_hive_keys[HIVE_COUNT] = {
	"HKLM\\SOFTWARE", "HKLM\\SYSTEM",
};

int
registry_hive_state(int index, struct reg_hive *out)
{
	const struct hive_file *f;
	int err = 0;

	if (index < 0 || index >= HIVE_COUNT)
		return 0;
	f = &g_hives[index];
	snprintf(out->name, sizeof(out->name), "%s", g_hive_keys[index]);
	out->state = hive_condition(index, out->path, sizeof(out->path),
	    &err);
	out->log_why = LOG_NONE_APPLIES;
	out->log[0] = '\0';
	if (out->state == HIVE_DIRTY) {
		out->log_why = f->log_why;
		err = f->log_err;
		snprintf(out->log, sizeof(out->log), "%s", f->log_name);
	}
	out->err = errno_from_unix_error(err);
	return 1;
}
