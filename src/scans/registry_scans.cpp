/*
 * registry_scans.cpp - the four registry scans: driver store, uninstall
 * entries, smart-card reader class and services.
 *
 * Each walks every subkey of one key by index, reads one string value of
 * each, and offers each subkey whose value names the package for removal
 * with its whole tree.  After a removal the walk stays at the same index,
 * since the later subkeys have moved down into it: nothing is asked about
 * twice.  A driver-store item is a key and a folder named after it; the
 * two go together or not at all.
 */
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "backup/backup.h"
#include "common/crt_errno.h"
#include "platform/platform.h"
#include "registry/registry.h"
#include "ask/ask.h"
#include "scans/places.h"
#include "scans/scans.h"
#include "scans/targets.h"

/* The longest scan key (82), a backslash and the longest subkey name the
 * enumeration gives (259): a long subkey name is still examined. */
#define KEY_PATH_BUF 400
/* The driver-store folder (SystemRoot of at most 213 characters and its
 * suffix) and any subkey name: no name is passed over for its length. */
#define FOLDER_PATH_BUF (2 * PATH_BUF)

struct registry_scan {
	const char *scan_key;
	const char *scan_key_32;	/* its 32-bit view, or NULL */
	const char *value_name;
	const char *question;
	/* Prints the Found report(s) when PRINT; 1 when the subkey is an
	 * item. */
	int (*report)(const char *subkey, const char *value, int print);
	/* Removes the item: 1 when it is gone, counted fixed. */
	int (*remove)(const char *subkey, const char *key_path);
};

static int
report_driver_store(const char *subkey, const char *value, int print)
{
	if (match_target_at(value) == NULL)
		return 0;
	if (print)
		plat_printf("Found '%s' in\n\tDRVSTORE\\%s\n", value, subkey);
	return 1;
}

static int
report_uninstall(const char *subkey, const char *value, int print)
{
	for (const char *p = value; *p != '\0'; p++) {
		if (!target_match(p, g_package_name))
			continue;
		if (print)
			plat_printf("Found '%s' in\n\tUNINSTALL\\%s\n(%s)\n",
			    g_package_name, subkey, value);
		return 1;
	}
	return 0;
}

static int
report_smartcard_class(const char *subkey, const char *value, int print)
{
	if (match_target_at(value) == NULL)
		return 0;
	if (print)
		plat_printf("Found '%s' in class SmartCard/%s\n\n", value,
		    subkey);
	return 1;
}

/* One report for every position at which a target name begins. */
static int
report_service(const char *subkey, const char *value, int print)
{
	int found = 0;

	for (const char *p = value; *p != '\0'; p++) {
		const char *name = match_target_at(p);
		if (name == NULL)
			continue;
		if (print)
			plat_printf("Found '%s' in service %s\n(%s)\n", name,
			    subkey, value);
		found = 1;
	}
	return found;
}

/* Device names that Windows finds in any folder, with or without an
 * extension; COM and LPT take one digit (or a superscript one) after. */
static const char *const g_device_names[] = {
	"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$", NULL,
};
/* The superscript digits 1, 2 and 3: Windows-1252 bytes, then UTF-8. */
static const char *const g_superscript_digits[] = {
	"\xB9", "\xB2", "\xB3", "\xC2\xB9", "\xC2\xB2", "\xC2\xB3", NULL,
};

/* 1 when the LEN bytes at NAME equal WORD (ASCII letters folded). */
static int
base_is(const char *name, size_t len, const char *word)
{
	return strlen(word) == len && target_match(name, word);
}

/* 1 when NAME names a device: its part before the first dot, trailing
 * blanks dropped, is a device name. */
static int
is_device_name(const char *name)
{
	size_t len = strcspn(name, ".");

	while (len > 0 && name[len - 1] == ' ')
		len--;
	for (int i = 0; g_device_names[i] != NULL; i++) {
		if (base_is(name, len, g_device_names[i]))
			return 1;
	}
	if (len < 4 || (!target_match(name, "COM") &&
	    !target_match(name, "LPT")))
		return 0;
	if (len == 4 && name[3] >= '0' && name[3] <= '9')
		return 1;
	for (int i = 0; g_superscript_digits[i] != NULL; i++) {
		const char *d = g_superscript_digits[i];
		if (len == 3 + strlen(d) && strncmp(name + 3, d, len - 3) == 0)
			return 1;
	}
	return 0;
}

int
is_single_folder_name(const char *name)
{
	size_t len = strlen(name);

	if (len == 0 || name[len - 1] == '.' || name[len - 1] == ' ')
		return 0;
	for (const unsigned char *p = (const unsigned char *)name; *p; p++) {
		if (*p < 0x20 || *p == 0x7F || strchr("\\/*?<>|\":", *p))
			return 0;
	}
	return !is_device_name(name);
}

/* Reports a removal that did not happen, with the C run-time's error
 * number ERR, as the file scans do.  Returns 0: not fixed. */
static int
removal_failed(int err)
{
	print_failed(err);
	return 0;
}

/* A registry call of the removal failed, errno set: what the registry
 * says of it first, then FAILED.  Returns 0: not fixed. */
static int
registry_failed(void)
{
	int err = errno;

	report_refusal();
	return removal_failed(err);
}

/* Keeps the key's tree in the backup, then deletes it.  A key that
 * cannot be deleted (a read-only hive, no access) is found so before
 * anything is kept; one that cannot be kept stays.  FAILED printed.
 * A delete that failed may still have taken part of the tree (Windows
 * keeps what went), so the backup is named either way. */
static int
remove_key(const char *subkey, const char *key_path)
{
	(void)subkey;
	if (key_path_deletable(key_path) <= 0 || backup_key(key_path) < 0)
		return registry_failed();
	backup_note_removed();
	if (delete_key_path(key_path) > 0)
		return 1;
	return registry_failed();
}

/* A removal step of the driver-store item FOLDER failed with the C
 * run-time's error ERR: what went of the folder comes back from its
 * copy, so that the item is as it was and a later run finds it again.
 * A folder that cannot be put back whole is named.  0: not fixed. */
static int
put_back_failed(const char *folder, int err)
{
	char shown[FOLDER_PATH_BUF];

	if (backup_put_back(folder) < 0) {
		shown_path(folder, shown, sizeof(shown));
		name_links_not_followed();
		plat_printf("Could not put back '%s' whole (error %d): its copy is in the backup folder\n",
		    shown, errno);
		backup_note_removed();
	}
	return removal_failed(err);
}

/* Removes the driver-store item SUBKEY: its folder in the driver store,
 * then its key, whole or not at all.  Every check that can be made
 * comes before anything is touched: the key must be removable, and the
 * folder must be the one of the key's own name, not one the file system
 * reaches through another name (a short 8.3 alias).  Both are kept in
 * the backup before either goes; when the folder does not go whole, or
 * the key then does not go, what went of the folder comes back from
 * its copy.  1: both gone; 0: FAILED printed, the item as it was. */
static int
remove_driver_store_item(const char *subkey, const char *key_path)
{
	char folder[FOLDER_PATH_BUF];
	int n;

	if (g_drvstore_dir[0] == '\0' || !is_single_folder_name(subkey))
		return removal_failed(CRT_EINVAL);
	n = snprintf(folder, sizeof(folder), "%s\\%s", g_drvstore_dir, subkey);
	if (n < 0 || (size_t)n >= sizeof(folder))
		return removal_failed(CRT_EINVAL);
	if (key_path_deletable(key_path) <= 0)
		return registry_failed();
	if (plat_name_held(folder) < 0)
		return removal_failed(errno);
	if (backup_key(key_path) < 0)
		return registry_failed();
	if (backup_folder(folder) < 0)
		return removal_failed(errno);
	/* Files in use in it are left, the rest goes now; they are given to
	 * the next restart only once the key is gone, so that a key that
	 * stays finds its folder whole again. */
	if ((n = plat_remove_folder(folder)) < 0)
		return put_back_failed(folder, errno);
	backup_note_removed();
	if (delete_key_path(key_path) <= 0) {
		n = errno;
		report_refusal();
		return put_back_failed(folder, n);
	}
	if (n == 2) {
		if (plat_remove_in_use_at_restart() < 0)
			return put_back_failed(folder, errno);
		name_links_not_followed();
		plat_printf("In use: removed at the next restart\n");
	}
	return 1;
}

static const struct registry_scan driver_store_scan = {
	"HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\DIFx\\DriverStore",
	"HKLM\\SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\DIFx\\DriverStore",
	"Services",
	"Do you want to erase the files and remove the associated registry key ?",
	report_driver_store,
	remove_driver_store_item,
};

static const struct registry_scan uninstall_scan = {
	"HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall",
	"HKLM\\SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall",
	"DisplayName",
	"Do you want to remove this registry key ?",
	report_uninstall,
	remove_key,
};

static const struct registry_scan smartcard_class_scan = {
	"HKLM\\SYSTEM\\CurrentControlSet\\Control\\Class\\{50DD5230-BA8A-11D1-BF5D-0000F805F530}",
	NULL,
	"InfSection",
	"Do you want to remove this registry key ?",
	report_smartcard_class,
	remove_key,
};

static const struct registry_scan services_scan = {
	"HKLM\\SYSTEM\\CurrentControlSet\\Services",
	NULL,
	"ImagePath",
	"Do you want to remove this registry key ?",
	report_service,
	remove_key,
};

/* Looks at the subkey at INDEX of SCAN_KEY, open in WALK, whose name the
 * walk could not give (errno ERR; NAME as far as it came): no item can
 * be named or removed by it.  One whose value plainly names no target is
 * looked at like any other and passed over; any other is named as a
 * place not read, so that the run never calls the system clean. */
static void
unnamed_subkey(const struct registry_scan *scan, const char *scan_key,
    struct key_walk *walk, int index, const char *name, int err)
{
	char value[PATH_BUF], place[KEY_PATH_BUF], why[64];

	if (walk_read_value(walk, index, scan->value_name, value, "",
	    sizeof(value)) >= 0 && (value[0] == '\0' ||
	    !scan->report(name, value, 0)))
		return;
	if (err == CRT_EILSEQ) {
		snprintf(place, sizeof(place), "%s\\%s", scan_key, name);
		report_not_read(place, NULL, "name not in the ANSI code page");
		return;
	}
	snprintf(why, sizeof(why), "a subkey name cannot be read (error %d)",
	    err);
	report_not_read(scan_key, NULL, why);
}

/* What became of the subkey at an index. */
enum { SUBKEY_UNREAD = -2, SUBKEY_END = -1, SUBKEY_KEPT = 0,
	SUBKEY_REMOVED = 1 };

/* Reports, asks about and removes the subkey at INDEX of SCAN_KEY, open
 * in WALK.  SUBKEY_REMOVED: it is gone, and the next one has moved into
 * its index; SUBKEY_KEPT: otherwise; SUBKEY_END: there is no subkey at
 * INDEX or after it; SUBKEY_UNREAD: the key's subkeys cannot be read
 * (errno set). */
static int
check_subkey(const struct registry_scan *scan, const char *scan_key,
    struct key_walk *walk, int index)
{
	char subkey[PATH_BUF], key_path[KEY_PATH_BUF], value[PATH_BUF];
	int n;

	n = walk_subkey(walk, index, subkey, sizeof(subkey));
	if (n == 0)
		return SUBKEY_END;
	if (n < 0) {
		int err = errno;

		if ((n = walk_subkey_count(walk)) < 0)
			return SUBKEY_UNREAD;
		if (n <= index)
			return SUBKEY_END;
		unnamed_subkey(scan, scan_key, walk, index, subkey, err);
		return SUBKEY_KEPT;
	}
	/* A damaged hive can hold a name that is empty or holds a backslash:
	 * as a path it would name the scan key itself or a key below another
	 * subkey, and the removal would take the wrong tree. */
	if (subkey[0] == '\0' || strchr(subkey, '\\') != NULL)
		return SUBKEY_KEPT;
	n = snprintf(key_path, sizeof(key_path), "%s\\%s", scan_key, subkey);
	if (n < 0 || (size_t)n >= sizeof(key_path))
		return SUBKEY_KEPT;
	read_string_value(key_path, scan->value_name, value, "", sizeof(value));
	/* What the last removal met comes before this subkey's report. */
	name_links_not_followed();
	if (value[0] == '\0' || !scan->report(subkey, value, 1))
		return SUBKEY_KEPT;
	g_found_count++;
	if (ask_user(scan->question) <= 0)
		return SUBKEY_KEPT;
	if (scan->remove(subkey, key_path) <= 0)
		return SUBKEY_KEPT;
	g_fixed_count++;
	return SUBKEY_REMOVED;
}

/* Walks every subkey of SCAN_KEY, which is opened once for the pass. */
static void
walk_scan_key(const struct registry_scan *scan, const char *scan_key)
{
	struct key_walk walk;
	int index = 0, rc;

	/* An absent key holds nothing; one that cannot be read, or whose
	 * way from the root cannot be, might. */
	if ((rc = open_key_walk(scan_key, &walk)) < 0)
		report_error_not_read(scan_key, NULL, errno);
	if (rc <= 0)
		return;
	for (;;) {
		int r = check_subkey(scan, scan_key, &walk, index);

		if (r == SUBKEY_UNREAD)
			report_error_not_read(scan_key, NULL, errno);
		if (r < 0 || is_cancelled())
			break;
		if (r == SUBKEY_KEPT)
			index++;
	}
	close_key_walk(&walk);
}

/* The scan key, then its 32-bit view where the scan has one.  A 32-bit
 * installer on 64-bit Windows writes below Wow6432Node; on 32-bit Windows
 * and offline installations without such a view that key is absent. */
static void
walk_registry_scan(const struct registry_scan *scan)
{
	walk_scan_key(scan, scan->scan_key);
	if (scan->scan_key_32 != NULL && !is_cancelled())
		walk_scan_key(scan, scan->scan_key_32);
}

void
scan_driver_store(void)
{
	walk_registry_scan(&driver_store_scan);
}

void
scan_uninstall_entries(void)
{
	walk_registry_scan(&uninstall_scan);
}

void
scan_smartcard_class(void)
{
	walk_registry_scan(&smartcard_class_scan);
}

void
scan_services(void)
{
	walk_registry_scan(&services_scan);
}
