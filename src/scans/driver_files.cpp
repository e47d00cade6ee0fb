/*
 * driver_files.cpp - driver files named after the targets, in the drivers
 * folder and in the LastGood drivers folder.
 */
#include <errno.h>
#include <stdio.h>

#include "backup/backup.h"
#include "common/crt_errno.h"
#include "platform/platform.h"
#include "ask/ask.h"
#include "scans/places.h"
#include "scans/scans.h"
#include "scans/targets.h"

/* Reports, asks about and deletes one candidate.  A file is there when
 * the system names it, whether or not it can be opened now (held open
 * elsewhere, no read access, not a plain file); one whose presence the
 * system will not tell is a place not read. */
static void
check_driver_file(const char *folder, const char *name)
{
	char path[PATH_BUF], shown[SHOWN_BUF];
	int n = snprintf(path, sizeof(path), "%s\\%s.sys", folder, name);
	int present;

	/* A path that would not fit is passed over, never cut into another. */
	if (n < 0 || (size_t)n >= sizeof(path))
		return;
	if ((present = plat_file_present(path)) < 0)
		report_file_not_read("driver file", path, errno);
	if (present <= 0)
		return;
	/* The path the removal will touch, as the system shows it. */
	shown_path(path, shown, sizeof(shown));
	name_links_not_followed();
	plat_printf("Found file '%s.sys'\n(%s)\n", name, shown);
	g_found_count++;
	if (ask_user("Do you want to delete this file ?") <= 0)
		return;
	/* Kept first: a file that cannot be kept stays.  One in use goes at
	 * the next restart, which the summary asks for. */
	n = backup_file(path) < 0 ? -1 : plat_remove_file(path);
	if (n < 0) {
		print_failed(errno);
		return;
	}
	if (n == 0) {
		/* Gone between the look and the removal. */
		print_failed(CRT_ENOENT);
		return;
	}
	name_links_not_followed();
	backup_note_removed();
	if (n == 2)
		plat_printf("In use: removed at the next restart\n");
	g_fixed_count++;
}

void
scan_driver_files(void)
{
	const char *const folders[] = { g_drivers_dir, g_lastgood_drivers_dir };

	if (!have_system_paths())
		return;
	for (const char *folder : folders) {
		for (const char *const *name = g_target_names; *name != NULL;
		    name++) {
			check_driver_file(folder, *name);
			if (is_cancelled())
				return;
		}
	}
}
