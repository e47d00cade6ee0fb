/*
 * reg_state.cpp (Linux) - how the hive files of the offline installation
 * stand once read: the registry.h view of each hive's state and why,
 * and for a hive not closed cleanly why its logs were not applied, the
 * errno the C run-time's.
 */
#include "registry/registry.h"

#include "common/bounded.h"
#include "hive_file.h"
#include "platform/unix/errmap.h"

static const char *const g_hive_keys[HIVE_COUNT] = {
	"HKLM\\SOFTWARE", "HKLM\\SYSTEM",
};

/* registry.h's state for each WHY_ code of hive.h. */
static const int g_states[] = {
	HIVE_READ, HIVE_RECOVERED, HIVE_MISSING, HIVE_NOT_FILE, HIVE_LINK,
	HIVE_DAMAGED, HIVE_UNREADABLE, HIVE_DIRTY, HIVE_UNWRITABLE,
	HIVE_UNWRITABLE, HIVE_UNWRITABLE,
};

int
registry_hive_state(int index, struct reg_hive *out)
{
	const struct hive_file *f;

	if (index < 0 || index >= HIVE_COUNT)
		return 0;
	f = &g_hives[index];
	(void)hive_get(index);
	copy_bounded(out->name, g_hive_keys[index], sizeof(out->name));
	copy_bounded(out->path, f->path[0] != '\0' ? f->path : f->want,
	    sizeof(out->path));
	out->state = g_states[f->why.code];
	out->err = f->why.code == WHY_UNREADABLE || f->why.code == WHY_DIRTY ?
	    errno_from_unix_error(f->why.err) : 0;
	out->log_why = f->why.code == WHY_DIRTY ? f->why.log :
	    LOG_NONE_APPLIES;
	copy_bounded(out->log, f->why.code == WHY_DIRTY ? f->why.log_name :
	    "", sizeof(out->log));
	return 1;
}
