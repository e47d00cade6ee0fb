/*
 * registry_scans.cpp - the four registry scans: driver store, uninstall
 * entries, smart-card reader class and services.
 *
 * Each walks the indexes 0 to 999 of one key, reads one string value of
 * every subkey, and offers each subkey whose value names the package for
 * removal with its whole tree.  After a removal the walk starts again at
 * index 0, since the later subkeys have moved down.
 */
#include <stdio.h>
#include <string.h>

#include "platform/platform.h"
#include "registry/registry.h"
#include "run/prompt.h"
#include "scans/scans.h"
#include "scans/targets.h"

#define INDEX_LIMIT 1000
/* The longest scan key (82), a backslash and the longest subkey name the
 * enumeration gives (259): a long subkey name is still examined. */
#define KEY_PATH_BUF 400

struct registry_scan {
	const char *scan_key;
	const char *value_name;
	const char *question;
	/* Prints the Found report(s); 1 when the subkey is an item. */
	int (*report)(const char *subkey, const char *value);
	/* Removes what lies outside the registry before the key goes. */
	void (*remove_extra)(const char *subkey);
};

static int
report_driver_store(const char *subkey, const char *value)
{
	if (match_target_at(value) == NULL)
		return 0;
	plat_printf("Found '%s' in\n\tDRVSTORE\\%s\n", value, subkey);
	return 1;
}

static int
report_uninstall(const char *subkey, const char *value)
{
	for (const char *p = value; *p != '\0'; p++) {
		if (target_match(p, g_package_name)) {
			plat_printf("Found '%s' in\n\tUNINSTALL\\%s\n(%s)\n",
			    g_package_name, subkey, value);
			return 1;
		}
	}
	return 0;
}

static int
report_smartcard_class(const char *subkey, const char *value)
{
	if (match_target_at(value) == NULL)
		return 0;
	plat_printf("Found '%s' in class SmartCard/%s\n\n", value, subkey);
	return 1;
}

/* One report for every position at which a target name begins. */
static int
report_service(const char *subkey, const char *value)
{
	int found = 0;

	for (const char *p = value; *p != '\0'; p++) {
		const char *name = match_target_at(p);
		if (name == NULL)
			continue;
		plat_printf("Found '%s' in service %s\n(%s)\n", name, subkey,
		    value);
		found = 1;
	}
	return found;
}

/* 1 when the subkey name can stand as one folder below the driver-store
 * folder: never the folder itself, its parent, or a path of its own. */
static int
is_plain_folder_name(const char *name)
{
	if (name[0] == '\0' || strcmp(name, ".") == 0 || strcmp(name, "..") == 0)
		return 0;
	return strpbrk(name, "\\/:") == NULL;
}

/* 1 when TEXT holds a byte that no quoting protects from the command
 * interpreter: '"' ends the quotes, '%' and '!' expand inside them, and a
 * control character may end the line. */
static int
has_unquotable_byte(const char *text)
{
	for (const unsigned char *p = (const unsigned char *)text; *p; p++) {
		if (*p < 32 || *p == 127 || *p == '"' || *p == '%' || *p == '!')
			return 1;
	}
	return 0;
}

/* Composes the command that removes the driver-store folder SUBKEY into
 * CMD.  1: ready to run; 0: the name cannot be passed safely, or the line
 * would not fit. */
int
compose_rmdir_command(const char *subkey, char *cmd, size_t size)
{
	char folder[KEY_PATH_BUF];
	int n;

	if (g_drvstore_dir[0] == '\0' || !is_plain_folder_name(subkey))
		return 0;
	n = snprintf(folder, sizeof(folder), "%s\\%s", g_drvstore_dir, subkey);
	if (n < 0 || (size_t)n >= sizeof(folder) || has_unquotable_byte(folder))
		return 0;
	if (strpbrk(folder, " &|<>^(),;=") != NULL)
		n = snprintf(cmd, size, "rmdir /s /q \"%s\"", folder);
	else
		n = snprintf(cmd, size, "rmdir /s /q %s", folder);
	return n >= 0 && (size_t)n < size;
}

static void
remove_drvstore_folder(const char *subkey)
{
	char cmd[PATH_BUF];

	/* Its result does not decide the item: the key does. */
	if (compose_rmdir_command(subkey, cmd, sizeof(cmd)) > 0)
		plat_system(cmd);
}

static const struct registry_scan driver_store_scan = {
	"HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\DIFx\\DriverStore",
	"Services",
	"Do you want to erase the files and remove the associated registry key ?",
	report_driver_store,
	remove_drvstore_folder,
};

static const struct registry_scan uninstall_scan = {
	"HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall",
	"DisplayName",
	"Do you want to remove this registry key ?",
	report_uninstall,
	NULL,
};

static const struct registry_scan smartcard_class_scan = {
	"HKLM\\SYSTEM\\CurrentControlSet\\Control\\Class\\{50DD5230-BA8A-11D1-BF5D-0000F805F530}",
	"InfSection",
	"Do you want to remove this registry key ?",
	report_smartcard_class,
	NULL,
};

static const struct registry_scan services_scan = {
	"HKLM\\SYSTEM\\CurrentControlSet\\Services",
	"ImagePath",
	"Do you want to remove this registry key ?",
	report_service,
	NULL,
};

/* Reports, asks about and removes the subkey at INDEX.
 * 1: it was removed (the walk starts again); 0: otherwise. */
static int
check_subkey(const struct registry_scan *scan, int index)
{
	char subkey[PATH_BUF], key_path[KEY_PATH_BUF], value[PATH_BUF];
	int n;

	if (enum_subkey(scan->scan_key, index, subkey, sizeof(subkey)) <= 0)
		return 0;
	/* A damaged hive can hold a name that is empty or holds a backslash:
	 * as a path it would name the scan key itself or a key below another
	 * subkey, and the removal would take the wrong tree. */
	if (subkey[0] == '\0' || strchr(subkey, '\\') != NULL)
		return 0;
	n = snprintf(key_path, sizeof(key_path), "%s\\%s", scan->scan_key,
	    subkey);
	if (n < 0 || (size_t)n >= sizeof(key_path))
		return 0;
	read_string_value(key_path, scan->value_name, value, "", sizeof(value));
	if (value[0] == '\0' || !scan->report(subkey, value))
		return 0;
	g_found_count++;
	if (ask_user(scan->question) <= 0)
		return 0;
	if (scan->remove_extra != NULL)
		scan->remove_extra(subkey);
	if (delete_key_path(key_path) <= 0)
		return 0;
	g_fixed_count++;
	return 1;
}

static void
walk_registry_scan(const struct registry_scan *scan)
{
	int index = 0;

	while (index < INDEX_LIMIT) {
		int removed = check_subkey(scan, index);

		if (is_cancelled())
			return;
		index = removed ? 0 : index + 1;
	}
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
