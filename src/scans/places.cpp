/*
 * places.cpp - the Windows folder, the hives and the scanned folders,
 * checked once before the scans.
 */
#include "scans/places.h"

#include <stdio.h>

#include "common/bounded.h"
#include "common/crt_errno.h"
#include "platform/platform.h"
#include "registry/registry.h"
#include "scans/targets.h"

#define VALUE_BUF 1024
#define WHY_BUF 128
#define SHOWN_BUF 1024

int g_unread_count;

void
report_not_read(const char *place, const char *path, const char *why)
{
	if (path != NULL)
		plat_printf("Not read: %s (%s): %s\n", place, path, why);
	else
		plat_printf("Not read: %s: %s\n", place, why);
	g_unread_count++;
}

int
check_system_root(void)
{
	char value[VALUE_BUF], why[WHY_BUF];
	int rc = plat_getenv("SystemRoot", value, sizeof(value));

	/* A value too long to hold is left to the folder building. */
	if (rc < 0)
		return 1;
	if (plat_check_system(rc > 0 ? value : NULL, why, sizeof(why)) > 0)
		return 1;
	if (rc == 0 || value[0] == '\0')
		plat_printf("SystemRoot is not set: set it to the Windows folder of the installation to check\n");
	else
		plat_printf("SystemRoot (%s) is no Windows installation: %s\n",
		    value, why);
	return 0;
}

/* The reason for a hive in state STATE, error ERR; NULL when it was read
 * and may be changed. */
static const char *
hive_reason(int state, int err, char *buf, size_t size)
{
	switch (state) {
	case HIVE_READ:
		return NULL;
	case HIVE_MISSING:
		return "hive file missing";
	case HIVE_NOT_FILE:
		return "hive file is not a plain file";
	case HIVE_LINK:
		return "hive file is a symbolic link, not followed";
	case HIVE_DAMAGED:
		return "hive file damaged";
	case HIVE_DIRTY:
		return "Windows was not shut down cleanly";
	case HIVE_UNWRITABLE:
		return "hive file cannot be written";
	}
	if (err == CRT_EACCES)
		return "hive file cannot be read: access denied";
	snprintf(buf, size, "hive file cannot be read (error %d)", err);
	return buf;
}

static void
check_hives(void)
{
	struct reg_hive h;
	char buf[WHY_BUF];
	const char *why;

	for (int i = 0; registry_hive_state(i, &h) > 0; i++) {
		why = hive_reason(h.state, h.err, buf, sizeof(buf));
		if (why == NULL)
			continue;
		/* Read, but no change can reach it: its items are still
		 * reported, each removal fails. */
		if (h.state == HIVE_DIRTY || h.state == HIVE_UNWRITABLE)
			plat_printf("Read only: %s (%s): %s; nothing in it can be removed\n",
			    h.name, h.path, why);
		else
			report_not_read(h.name, h.path, why);
	}
}

static void
check_folders(void)
{
	static const struct {
		const char *place;
		const char *dir;
	} folders[] = {
		{ "INF folder", g_inf_dir },
		{ "drivers folder", g_drivers_dir },
		{ "LastGood drivers folder", g_lastgood_drivers_dir },
		{ "driver store folder", g_drvstore_dir },
	};
	char why[WHY_BUF], shown[SHOWN_BUF];

	/* A folder that is not there holds no leftovers: only one that is
	 * there and cannot be listed is a place not read. */
	for (const auto &f : folders) {
		if (plat_check_folder(f.dir, why, sizeof(why)) >= 0)
			continue;
		if (plat_disk_path(f.dir, shown, sizeof(shown)) < 0)
			copy_bounded(shown, f.dir, sizeof(shown));
		report_not_read(f.place, shown, why);
	}
}

void
check_places(void)
{
	/* The folder building said why there are no folders to check. */
	if (!have_system_paths())
		g_unread_count++;
	check_hives();
	if (have_system_paths())
		check_folders();
}

void
report_file_not_read(const char *place, const char *path, int err)
{
	char why[WHY_BUF], shown[SHOWN_BUF];

	if (plat_disk_path(path, shown, sizeof(shown)) < 0)
		copy_bounded(shown, path, sizeof(shown));
	if (err == CRT_EACCES)
		snprintf(why, sizeof(why), "access denied");
	else
		snprintf(why, sizeof(why), "cannot be read (error %d)", err);
	report_not_read(place, shown, why);
}
