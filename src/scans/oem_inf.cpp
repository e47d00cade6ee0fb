/*
 * oem_inf.cpp - the OEM INF files (oem0.inf .. oem999.inf) whose section
 * SourceDisksFiles names a target driver, each with its PNF companion.
 */
#include <errno.h>
#include <stdio.h>

#include "inf/inf.h"
#include "platform/platform.h"
#include "run/prompt.h"
#include "scans/scans.h"
#include "scans/targets.h"

#define OEM_FILES 1000
#define ENTRIES_READ 5

/* Prints one line for each of the first five entries that names a target.
 * 1 when at least one did. */
static int
report_matching_entries(const char *inf_path, int number)
{
	char name[INF_NAME_BUF];
	int matched = 0;

	for (int entry = 0; entry < ENTRIES_READ; entry++) {
		/* Entries are numbered without gaps: when this one is missing
		 * (or the file is), no later one exists either. */
		if (read_inf_entry(inf_path, "SourceDisksFiles", entry, name) <= 0)
			break;
		if (match_target_at(name) == NULL)
			continue;
		plat_printf("Found '%s' in file oem%d.inf\n", name, number);
		matched = 1;
	}
	return matched;
}

/* Deletes the INF file, then its PNF file, whatever became of the first.
 * A PNF that was never there is no failure.  1 when both are gone; else
 * the failure is reported and the pair is not fixed. */
static int
remove_pair(const char *inf_path, const char *pnf_path)
{
	int result = 1;

	if (plat_remove(inf_path) != 0) {
		plat_printf("FAILED (error %d)\n", errno);
		result = 0;
	}
	if (plat_remove(pnf_path) != 0 && errno != ENOENT) {
		plat_printf("FAILED (error %d)\n", errno);
		result = 0;
	}
	return result;
}

void
scan_oem_inf_files(void)
{
	char inf_path[PATH_BUF], pnf_path[PATH_BUF];

	if (!have_system_paths())
		return;
	for (int number = 0; number < OEM_FILES; number++) {
		int ni = snprintf(inf_path, sizeof(inf_path), "%s\\oem%d.inf",
		    g_inf_dir, number);
		int np = snprintf(pnf_path, sizeof(pnf_path), "%s\\oem%d.pnf",
		    g_inf_dir, number);
		if (ni < 0 || np < 0 || (size_t)ni >= sizeof(inf_path) ||
		    (size_t)np >= sizeof(pnf_path))
			continue;
		if (!report_matching_entries(inf_path, number))
			continue;
		g_found_count++;
		if (ask_user("Do you want to erase this OEM file ?") > 0 &&
		    remove_pair(inf_path, pnf_path) > 0)
			g_fixed_count++;
		if (is_cancelled())
			return;
	}
}
