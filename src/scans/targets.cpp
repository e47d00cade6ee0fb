/*
 * targets.cpp - target names, the target match and the system folders.
 */
#include "scans/targets.h"

#include <string.h>

#include "common/ascii.h"
#include "common/bounded.h"
#include "platform/platform.h"

/* Longest SystemRoot whose every composed file path still fits PATH_BUF:
 * the LastGood drivers folder adds 26 characters, then a backslash, the
 * longest target name (15) and ".sys". */
#define SYSTEM_ROOT_MAX (PATH_BUF - 1 - 26 - 1 - 15 - 4)

const char *const g_target_names[] = {
	"vkm310",
	"rdx7pcsc_root",
	"rdx7pcsc_slot",
	"tarnwickusbccid",
	"busquellmark",
	"quellmarkpcsc",
	"tarnwickreader",
	NULL,
};

const char g_package_name[] = "VKM310";

char g_system_root[PATH_BUF];
char g_inf_dir[PATH_BUF];
char g_drivers_dir[PATH_BUF];
char g_lastgood_drivers_dir[PATH_BUF];
char g_drvstore_dir[PATH_BUF];

int
target_match(const char *text, const char *name)
{
	return ascii_starts_with(text, name);
}

const char *
match_target_at(const char *text)
{
	for (const char *const *name = g_target_names; *name != NULL; name++) {
		if (target_match(text, *name))
			return *name;
	}
	return NULL;
}

static void
derive_folder(char *dst, const char *suffix)
{
	copy_bounded(dst, g_system_root, PATH_BUF);
	strcat(dst, suffix);
}

static void
clear_folders(void)
{
	g_system_root[0] = g_inf_dir[0] = g_drivers_dir[0] = '\0';
	g_lastgood_drivers_dir[0] = g_drvstore_dir[0] = '\0';
}

int
build_system_paths(void)
{
	int rc;
	const char *value = plat_system_root(&rc);

	clear_folders();
	/* Without a usable SystemRoot the folders would name places outside
	 * any Windows folder ("\inf" is the root's): skip the file scans. */
	if (rc == 0) {
		plat_printf("SystemRoot is not set: driver files and OEM INF files are not scanned\n");
		return 0;
	}
	if (rc < 0 || strlen(value) > SYSTEM_ROOT_MAX) {
		plat_printf("SystemRoot is longer than %d characters: driver files and OEM INF files are not scanned\n",
		    SYSTEM_ROOT_MAX);
		return -1;
	}
	copy_bounded(g_system_root, value, PATH_BUF);
	derive_folder(g_inf_dir, "\\inf");
	derive_folder(g_drivers_dir, "\\system32\\drivers");
	derive_folder(g_lastgood_drivers_dir, "\\LastGood\\system32\\drivers");
	derive_folder(g_drvstore_dir, "\\system32\\DRVSTORE");
	return 1;
}

int
have_system_paths(void)
{
	return g_system_root[0] != '\0';
}
