/*
 * places.cpp - the Windows folder, the hives and the scanned folders,
 * checked once before the scans.
 */
#include "scans/places.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "backup/backup.h"
#include "common/bounded.h"
#include "common/crt_errno.h"
#include "platform/platform.h"
#include "registry/registry.h"
#include "scans/targets.h"

#define VALUE_BUF 1024
#define WHY_BUF 512
#define LINK_BUF 4096

int g_unread_count;

void
name_links_not_followed(void)
{
	char link[LINK_BUF];
	int err = errno;

	while (plat_link_not_followed(link, sizeof(link)) > 0)
		plat_printf("Not followed: '%s' is a symbolic link\n", link);
	/* The caller may print the error of the call that met the link. */
	errno = err;
}

void
print_failed(int err)
{
	int why;

	if (backup_failure_news(&why))
		plat_printf("No backup folder can be made (error %d): nothing is removed\n",
		    why);
	name_links_not_followed();
	plat_printf("FAILED (error %d)\n", err);
}

void
report_not_read(const char *place, const char *path, const char *why)
{
	/* The link that made the place unreachable comes first. */
	name_links_not_followed();
	if (path != NULL)
		plat_printf("Not read: %s (%s): %s\n", place, path, why);
	else
		plat_printf("Not read: %s: %s\n", place, why);
	g_unread_count++;
}

int
check_system_root(void)
{
	char why[WHY_BUF];
	int rc;
	const char *value = plat_system_root(&rc);

	/* A value too long to name here is left to the folder building. */
	if (rc < 0 || strlen(value) >= VALUE_BUF)
		return 1;
	if (plat_check_system(rc > 0 ? value : NULL, why, sizeof(why)) > 0)
		return 1;
	if (rc == 0)
		plat_printf("SystemRoot is not set: set it to the Windows folder of the installation to check\n");
	else
		plat_printf("SystemRoot (%s) is no Windows installation: %s\n",
		    value, why);
	return 0;
}

/* Why the dirty hive H counts as not read, in BUF: its logs were not
 * applied, so what it holds may be older than what Windows saw last. */
static const char *
dirty_reason(const struct reg_hive *h, char *buf, size_t size)
{
	static const char *const whats[] = {
		"", "is damaged", "belongs to another hive",
		"is a symbolic link, not followed", "is not a plain file",
	};
	char log[WHY_BUF / 2 + 64];

	if (h->log_why == LOG_UNREADABLE && h->err == CRT_EACCES)
		snprintf(log, sizeof(log),
		    "its log %s cannot be read: access denied", h->log);
	else if (h->log_why == LOG_UNREADABLE)
		snprintf(log, sizeof(log), "its log %s cannot be read (error %d)",
		    h->log, h->err);
	else if (h->log_why == LOG_FAILED)
		snprintf(log, sizeof(log), "its logs cannot be applied (error %d)",
		    h->err);
	else if (h->log_why > LOG_NONE_APPLIES && h->log_why <= LOG_NOT_FILE)
		snprintf(log, sizeof(log), "its log %s %s", h->log,
		    whats[h->log_why]);
	else
		snprintf(log, sizeof(log), "no log brings it up to date");
	snprintf(buf, size, "Windows was not shut down cleanly and %s; "
	    "nothing in it can be removed", log);
	return buf;
}

/* The reason for the hive H, in BUF when it is made; NULL when it was
 * read and may be changed. */
static const char *
hive_reason(const struct reg_hive *h, char *buf, size_t size)
{
	switch (h->state) {
	case HIVE_READ:
	case HIVE_RECOVERED:
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
		return dirty_reason(h, buf, size);
	case HIVE_UNWRITABLE:
		return "hive file cannot be written";
	}
	if (h->err == CRT_EACCES)
		return "hive file cannot be read: access denied";
	snprintf(buf, size, "hive file cannot be read (error %d)", h->err);
	return buf;
}

static void
check_hives(void)
{
	struct reg_hive h;
	char buf[WHY_BUF];
	const char *why;

	for (int i = 0; registry_hive_state(i, &h) > 0; i++) {
		name_links_not_followed();
		if (h.state == HIVE_RECOVERED)
			plat_printf("Recovered: %s (%s): Windows was not shut down cleanly; its logs were applied\n",
			    h.name, h.path);
		why = hive_reason(&h, buf, sizeof(buf));
		if (why == NULL)
			continue;
		/* Read, but no change can reach it: its items are still
		 * reported, each removal fails.  A dirty one is read so too,
		 * but what it holds may be stale: not read in full. */
		if (h.state == HIVE_UNWRITABLE)
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
	 * there and cannot be listed, or cannot be reached (a folder on
	 * the way is a link, or cannot be listed), is a place not read. */
	for (const auto &f : folders) {
		if (plat_check_folder(f.dir, why, sizeof(why), shown,
		    sizeof(shown)) >= 0)
			continue;
		report_not_read(f.place, shown, why);
	}
}

/* Reasons told this run (registry_refusal), so that each hive and each
 * damaged key is named once. */
#define TOLD_MAX 32
static struct {
	int why;
	char name[SHOWN_BUF];
} g_told[TOLD_MAX];
static int g_told_count;

/* 1 when the reason WHY naming NAME was told before; else notes it. */
static int
told_before(int why, const char *name)
{
	for (int k = 0; k < g_told_count; k++) {
		if (g_told[k].why == why && strcmp(g_told[k].name, name) == 0)
			return 1;
	}
	if (g_told_count < TOLD_MAX &&
	    copy_bounded(g_told[g_told_count].name, name, SHOWN_BUF) <
	    SHOWN_BUF)
		g_told[g_told_count++].why = why;
	return 0;
}

void
report_refusal(void)
{
	const char *name;
	int why = registry_refusal(&name);

	/* A link is named at each removal it stops. */
	if (why == REG_REFUSED_NOTHING ||
	    (why != REG_LINK_NOT_KEPT && told_before(why, name)))
		return;
	if (why == REG_DAMAGED_KEY)
		plat_printf("Damaged registry key '%s': not removed\n", name);
	else if (why == REG_LINK_NOT_KEPT)
		plat_printf("Registry link '%s' cannot be kept: not removed\n",
		    name);
	else
		plat_printf("Registry hive '%s' %s: not changed\n", name,
		    why == REG_HIVE_LINKED ? "has other hard links" :
		    "was changed by another program");
}

void
check_places(void)
{
	g_told_count = 0;
	/* The folder building said why there are no folders to check. */
	if (!have_system_paths())
		g_unread_count++;
	check_hives();
	if (have_system_paths())
		check_folders();
	name_links_not_followed();
}

const char *
shown_path(const char *path, char *out, size_t size)
{
	if (plat_disk_path(path, out, size) < 0)
		copy_bounded(out, path, size);
	return out;
}

void
report_error_not_read(const char *place, const char *path, int err)
{
	char why[WHY_BUF];

	if (err == CRT_EACCES)
		snprintf(why, sizeof(why), "access denied");
	else
		snprintf(why, sizeof(why), "cannot be read (error %d)", err);
	report_not_read(place, path, why);
}

void
report_file_not_read(const char *place, const char *path, int err)
{
	char shown[SHOWN_BUF];

	report_error_not_read(place, shown_path(path, shown, sizeof(shown)),
	    err);
}
