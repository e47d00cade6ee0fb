/*
 * oem_inf.cpp - the OEM INF files (oem<N>.inf, any N) whose section
 * SourceDisksFiles names a target driver, each with its PNF companion.
 *
 * The INF folder is listed, not probed number by number: a listing keeps
 * the smallest numbers it meets in a fixed table, and when the folder
 * holds more than the table does, the next listing takes the numbers
 * above the last one examined.  So every file is examined once, in
 * increasing number, with one listing per OEM_BATCH files.  A number of
 * more than 19 digits, which Windows never writes, is passed over.
 */
#include <errno.h>
#include <stdio.h>

#include "backup/backup.h"
#include "common/ascii.h"
#include "common/crt_errno.h"
#include "inf/inf.h"
#include "platform/platform.h"
#include "ask/ask.h"
#include "scans/places.h"
#include "scans/scans.h"
#include "scans/stored_package.h"
#include "scans/targets.h"

#define ENTRIES_READ 5
#define OEM_BATCH 1024
/* Up to 19 decimal digits always fit 64 bits. */
#define MAX_DIGITS 19
#define DIGITS_BUF 24
#define WHY_BUF 128
/* An offline path below a long mount point may outgrow PATH_BUF. */

typedef unsigned long long oem_number;

/* The smallest numbers above FLOOR met by one listing, in order. */
struct oem_batch {
	int have_floor;		/* 0: the first listing takes every number */
	oem_number floor;
	oem_number nums[OEM_BATCH];
	int count;
	int overflow;		/* a number did not fit: another listing */
};

/* How many digits the number of NAME has when NAME is "oem", a decimal
 * number and ".inf", letters in any case; 0 for any other name.  Windows
 * writes numbers without leading zeros, so "oem012.inf" is no OEM file. */
static size_t
oem_digits(const char *name)
{
	size_t n = 0;

	if (!ascii_starts_with(name, "oem"))
		return 0;
	name += 3;
	while (name[n] >= '0' && name[n] <= '9')
		n++;
	if (n == 0 || (name[0] == '0' && n > 1))
		return 0;
	return ascii_equal(name + n, ".inf") ? n : 0;
}

/* Adds V to the batch in order, once.  A full batch drops its largest. */
static void
batch_insert(struct oem_batch *b, oem_number v)
{
	int i = b->count;

	for (int k = 0; k < b->count; k++) {
		if (b->nums[k] == v)
			return;	/* "oem5.inf" and "OEM5.INF" offline */
	}
	if (b->count == OEM_BATCH) {
		b->overflow = 1;
		if (v > b->nums[OEM_BATCH - 1])
			return;
		i = OEM_BATCH - 1;
	} else {
		b->count++;
	}
	for (; i > 0 && b->nums[i - 1] > v; i--)
		b->nums[i] = b->nums[i - 1];
	b->nums[i] = v;
}

/* Listing callback: takes NAME's number into the batch (void *B). */
static int
collect_number(const char *name, void *ctx)
{
	struct oem_batch *b = (struct oem_batch *)ctx;
	size_t n = oem_digits(name);
	oem_number v = 0;

	if (n == 0 || n > MAX_DIGITS)
		return 1;
	for (size_t k = 0; k < n; k++)
		v = v * 10 + (oem_number)(name[3 + k] - '0');
	if (!b->have_floor || v > b->floor)
		batch_insert(b, v);
	return 1;
}

static void
format_number(oem_number v, char out[DIGITS_BUF])
{
	char rev[DIGITS_BUF];
	int n = 0;

	do {
		rev[n++] = (char)('0' + v % 10);
		v /= 10;
	} while (v != 0);
	for (int k = 0; k < n; k++)
		out[k] = rev[n - 1 - k];
	out[n] = '\0';
}

/* Prints one line for each of the first five entries that names a target.
 * 1 when at least one did.  A file that is there but cannot be read (held
 * open without sharing, no access) may name one: a place not read. */
static int
report_matching_entries(const char *inf_path, const char *digits)
{
	char names[ENTRIES_READ][INF_NAME_BUF];
	int matched = 0, r, err;

	r = read_inf_entries(inf_path, "SourceDisksFiles", names,
	    ENTRIES_READ);
	if (r < 0) {
		err = errno;
		if (plat_file_present(inf_path) != 0)
			report_file_not_read("OEM INF file", inf_path, err);
	}
	if (r <= 0)
		return 0;
	name_links_not_followed();
	/* An entry without a name still holds its place: later entries are
	 * read all the same. */
	for (int entry = 0; entry < ENTRIES_READ; entry++) {
		if (names[entry][0] == '\0' ||
		    match_target_at(names[entry]) == NULL)
			continue;
		plat_printf("Found '%s' in file oem%s.inf\n", names[entry],
		    digits);
		matched = 1;
	}
	return matched;
}

/* Where the system removes driver packages itself, the package published
 * as INF_PATH goes through that removal, its store folder (where the
 * system names one) kept in the backup first and looked for afterwards.
 * 1: gone, or no such removal here; -1: the system refused it, or it is
 * still in the store (errno set): the INF file stays, to be removed by
 * name later. */
static int
remove_package(const char *inf_path)
{
	char store[PATH_BUF], why[WHY_BUF], where[2 * PATH_BUF];
	int in_store, r;

	if (!plat_removes_driver_packages())
		return 1;
	in_store = plat_driver_package_folder(inf_path, store, sizeof(store));
	if (in_store > 0 && backup_folder(store) < 0)
		return -1;
	if ((r = plat_remove_driver_package(inf_path)) < 0)
		return -1;
	if (r > 0)
		backup_note_removed();
	if (r > 0 && in_store > 0 &&
	    plat_check_folder(store, why, sizeof(why), where,
	    sizeof(where)) != 0) {
		errno = CRT_EACCES;
		return -1;
	}
	return 1;
}

/* Deletes the file at PATH unless it is gone.  1: gone; 2: goes at the
 * next restart; -1: it stays, FAILED printed. */
static int
remove_leftover(const char *path)
{
	int r = plat_remove_file(path);

	if (r < 0) {
		print_failed(errno);
		return -1;
	}
	name_links_not_followed();
	if (r > 0)
		backup_note_removed();
	return r == 2 ? 2 : 1;
}

/* Keeps the INF file and its PNF file in the backup, removes their driver
 * package through the system where it can, then deletes what is left of
 * the INF file and the PNF file, whatever became of the first.  A PNF
 * that was never there is no failure.  1 when both are gone (or go at
 * the next restart); else the failure is reported and the pair is not
 * fixed (nothing is deleted when the pair cannot be kept, or the system
 * refuses the package). */
static int
remove_pair(const char *inf_path, const char *pnf_path)
{
	int inf, pnf;

	/* Both kept before either goes; a PNF that is not there needs no
	 * copy. */
	if (backup_file(inf_path) < 0 || backup_file(pnf_path) < 0 ||
	    remove_package(inf_path) < 0) {
		print_failed(errno);
		return 0;
	}
	inf = remove_leftover(inf_path);
	pnf = remove_leftover(pnf_path);
	if (inf < 0 || pnf < 0)
		return 0;
	if (inf == 2 || pnf == 2)
		plat_printf("In use: removed at the next restart\n");
	return 1;
}

/* Offline, an INF file whose driver package is in the installation's
 * driver store is named with its package and left: deleting the INF file
 * alone would orphan the package.  1 when it was. */
static int
left_in_store(const char *inf_path, const char *digits)
{
	char folder[2 * PATH_BUF], shown[SHOWN_BUF];

	if (plat_removes_driver_packages() ||
	    find_stored_package(inf_path, digits, folder, sizeof(folder)) <= 0)
		return 0;
	name_links_not_followed();
	shown_path(folder, shown, sizeof(shown));
	plat_printf("Its driver package is in the driver store: %s\n", shown);
	plat_printf("Left in place: remove it on that Windows with this tool, or there with \"pnputil /delete-driver oem%s.inf /force\"\n",
	    digits);
	return 1;
}

/* Reports, asks about and removes the pair of number DIGITS.  A pair whose
 * paths do not fit is passed over.  0 when the user cancelled, else 1. */
static int
examine_pair(const char *digits)
{
	char inf_path[PATH_BUF], pnf_path[PATH_BUF];
	int ni = snprintf(inf_path, sizeof(inf_path), "%s\\oem%s.inf",
	    g_inf_dir, digits);
	int np = snprintf(pnf_path, sizeof(pnf_path), "%s\\oem%s.pnf",
	    g_inf_dir, digits);

	if (ni < 0 || np < 0 || (size_t)ni >= sizeof(inf_path) ||
	    (size_t)np >= sizeof(pnf_path))
		return 1;
	if (!report_matching_entries(inf_path, digits))
		return 1;
	g_found_count++;
	if (left_in_store(inf_path, digits))
		return 1;
	name_links_not_followed();
	if (ask_user("Do you want to erase this OEM file ?") > 0 &&
	    remove_pair(inf_path, pnf_path) > 0)
		g_fixed_count++;
	return !is_cancelled();
}

/* Examines every number of up to MAX_DIGITS digits in increasing order,
 * until the user cancels or the folder cannot be listed. */
void
scan_oem_inf_files(void)
{
	struct oem_batch b;
	char digits[DIGITS_BUF];

	if (!have_system_paths())
		return;
	b.have_floor = 0;
	b.floor = 0;
	do {
		b.count = b.overflow = 0;
		if (plat_list_folder(g_inf_dir, "oem*.inf", collect_number,
		    &b) != 1)
			return;
		for (int i = 0; i < b.count; i++) {
			format_number(b.nums[i], digits);
			if (!examine_pair(digits))
				return;
		}
		b.have_floor = 1;
		b.floor = b.count > 0 ? b.nums[b.count - 1] : 0;
	} while (b.overflow);
}
