/*
 * stored_package.cpp - the driver-store package of an OEM INF file, found
 * through the SYSTEM hive's driver database or, without one, by the INF
 * file's bytes.
 */
#include "scans/stored_package.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "common/ascii.h"
#include "common/bounded.h"
#include "platform/platform.h"
#include "registry/registry.h"
#include "scans/places.h"
#include "scans/scans.h"
#include "scans/targets.h"

#define KEY_BUF 400
#define STORE_PATH_BUF (2 * PATH_BUF)
#define COMPARE_BUF 4096
#define WHY_BUF 128

/* The store's folder of packages, below SystemRoot. */
static const char g_repository[] = "\\System32\\DriverStore\\FileRepository";

/* Composes into OUT the store folder NAME, "" when it does not fit.
 * 1: composed. */
static int
repository_path(const char *name, char *out, size_t size)
{
	int n = snprintf(out, size, "%s%s%s%s", g_system_root, g_repository,
	    name[0] != '\0' ? "\\" : "", name);

	if (n < 0 || (size_t)n >= size) {
		out[0] = '\0';
		return 0;
	}
	return 1;
}

/* 1 when the key at PATH is there. */
static int
key_present(const char *path)
{
	struct key_walk walk;

	if (open_key_walk(path, &walk) <= 0)
		return 0;
	close_key_walk(&walk);
	return 1;
}

/* The package the driver database names for oem<DIGITS>.inf.  1: found,
 * FOLDER set. */
static int
find_in_database(const char *digits, char *folder, size_t size)
{
	char key[KEY_BUF], name[PATH_BUF], why[WHY_BUF];
	char where[STORE_PATH_BUF * 2];
	int n = snprintf(key, sizeof(key),
	    "HKLM\\SYSTEM\\DriverDatabase\\DriverInfFiles\\oem%s.inf", digits);

	if (n < 0 || (size_t)n >= sizeof(key))
		return 0;
	read_string_value(key, "Active", name, "", sizeof(name));
	/* Data from the hive: only a plain folder name names a folder. */
	if (name[0] == '\0' || !is_single_folder_name(name) ||
	    !repository_path(name, folder, size))
		return 0;
	n = snprintf(key, sizeof(key),
	    "HKLM\\SYSTEM\\DriverDatabase\\DriverPackages\\%s", name);
	if (n >= 0 && (size_t)n < sizeof(key) && key_present(key))
		return 1;
	return plat_check_folder(folder, why, sizeof(why), where,
	    sizeof(where)) != 0;
}

/* 1 when the files at A and B hold the same bytes; 0 when not; -1 when B
 * cannot be read (errno set). */
static int
same_bytes(const char *a, const char *b)
{
	unsigned char x[COMPARE_BUF], y[COMPARE_BUF];
	plat_file *fa, *fb;
	int na, nb, result = -1;

	if ((fb = plat_fopen(b)) == NULL)
		return -1;
	if ((fa = plat_fopen(a)) == NULL) {
		plat_fclose(fb);
		return 0;
	}
	do {
		na = plat_fread(x, sizeof(x), fa);
		nb = plat_fread(y, sizeof(y), fb);
		if (nb < 0)
			break;
		result = na == nb && memcmp(x, y, (size_t)nb) == 0;
	} while (result == 1 && na > 0);
	plat_fclose(fa);
	plat_fclose(fb);
	return result;
}

struct byte_search {
	const char *inf_path;
	char folder[STORE_PATH_BUF];	/* the package folder being listed */
	int found;
};

/* Listing callback of one package folder: compares each INF file in it
 * with the OEM INF file.  Stops at the first with the same bytes. */
static int
compare_inf(const char *name, void *ctx)
{
	struct byte_search *s = (struct byte_search *)ctx;
	char path[STORE_PATH_BUF];
	size_t len = strlen(name);
	int n, r;

	if (len < 4 || !ascii_equal(name + len - 4, ".inf"))
		return 1;
	n = snprintf(path, sizeof(path), "%s\\%s", s->folder, name);
	if (n < 0 || (size_t)n >= sizeof(path))
		return 1;
	r = same_bytes(s->inf_path, path);
	if (r < 0 && plat_file_present(path) != 0)
		report_file_not_read("driver store INF file", path, errno);
	s->found = r > 0;
	return s->found ? 0 : 1;
}

/* 1 when DIR is a folder that can be listed, never a link; one that is
 * there but cannot be listed or reached (a link, a folder on the way
 * that cannot be listed) is named as a place not read.  A file among
 * the store's folders is no place of its own. */
static int
listable(const char *place, const char *dir)
{
	char why[WHY_BUF], shown[STORE_PATH_BUF * 2];
	int r = plat_check_folder(dir, why, sizeof(why), shown, sizeof(shown));

	if (r < 0 && strcmp(why, "not a folder") != 0)
		report_not_read(place, shown, why);
	return r > 0;
}

/* Listing callback of the store: looks into each package folder. */
static int
search_package(const char *name, void *ctx)
{
	struct byte_search *s = (struct byte_search *)ctx;

	if (!repository_path(name, s->folder, sizeof(s->folder)) ||
	    !listable("driver store folder", s->folder))
		return 1;
	plat_list_folder(s->folder, "*.inf", compare_inf, s);
	return s->found ? 0 : 1;
}

/* The store folder holding an INF file with the bytes of INF_PATH.
 * 1: found, FOLDER set. */
static int
find_by_bytes(const char *inf_path, char *folder, size_t size)
{
	struct byte_search s;
	char store[STORE_PATH_BUF];

	if (!repository_path("", store, sizeof(store)) ||
	    !listable("driver store", store))
		return 0;
	s.inf_path = inf_path;
	s.found = 0;
	plat_list_folder(store, "*", search_package, &s);
	if (!s.found)
		return 0;
	return copy_bounded(folder, s.folder, size) < size;
}

int
find_stored_package(const char *inf_path, const char *digits, char *folder,
    size_t size)
{
	if (size > 0)
		folder[0] = '\0';
	if (g_system_root[0] == '\0' || size == 0)
		return 0;
	return find_in_database(digits, folder, size) > 0 ||
	    find_by_bytes(inf_path, folder, size) > 0;
}
