/*
 * floor.cpp - the least work a run of vkm310_cleanup cannot avoid on an
 * offline installation, done once each: the benchmark's yardstick.
 *
 *	floor WINDOWS_DIR
 *	floor --cleanup WINDOWS_DIR
 *
 * Loads SOFTWARE and SYSTEM with libhivex read-only (mapped, as a dry
 * run may), enumerates every subkey of the four scanned keys once, and
 * of the 32-bit view's twins of the two SOFTWARE keys
 * (Wow6432Node\...), reading the one value of each subkey the tool reads;
 * lists the INF folder once and reads each oem<N>.inf in it once, up to
 * the end of the first five entries of [SourceDisksFiles]; tests the 14
 * driver files once each.  Each folder's letter case is looked up once.
 * Prints the number of items it found, which must be the dry run's.
 *
 * With --cleanup, the hive work of a cleanup besides: each hive read
 * whole once (to be changed), and for each registry item found one
 * delete of its tree in memory and one crash-safe write of its hive (a
 * temporary file beside it, synced, renamed over it, the folder synced).
 * Prints the keys it removed too.
 */
#include <ctype.h>
#include <dirent.h>
#include <hivex.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <fcntl.h>
#include <unistd.h>

#define ENTRIES_READ 5
#define PATH_BYTES 4096
#define KEYS_MAX 256

static const char *const targets[] = {
	"vkm310", "rdx7pcsc_root", "rdx7pcsc_slot", "tarnwickusbccid",
	"busquellmark", "quellmarkpcsc", "tarnwickreader", NULL,
};

enum match_rule { BEGINS_WITH_TARGET, CONTAINS_TARGET, CONTAINS_PACKAGE };

struct scan {
	int system_hive;
	const char *path;	/* below the hive's root, '\' separated */
	const char *value;
	enum match_rule rule;
};

static const struct scan scans[] = {
	{ 0, "Microsoft\\Windows\\CurrentVersion\\DIFx\\DriverStore",
	    "Services", BEGINS_WITH_TARGET },
	{ 0, "Microsoft\\Windows\\CurrentVersion\\Uninstall", "DisplayName",
	    CONTAINS_PACKAGE },
	{ 0, "Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\DIFx\\DriverStore",
	    "Services", BEGINS_WITH_TARGET },
	{ 0, "Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall",
	    "DisplayName", CONTAINS_PACKAGE },
	{ 1, "Control\\Class\\{50DD5230-BA8A-11D1-BF5D-0000F805F530}",
	    "InfSection", BEGINS_WITH_TARGET },
	{ 1, "Services", "ImagePath", CONTAINS_TARGET },
};

static int
begins_with_target(const char *s)
{
	for (const char *const *t = targets; *t != NULL; t++) {
		if (strncasecmp(s, *t, strlen(*t)) == 0)
			return 1;
	}
	return 0;
}

static int
matches(const char *s, enum match_rule rule)
{
	for (const char *p = s; *p != '\0'; p++) {
		if (rule == CONTAINS_PACKAGE && strncasecmp(p, "vkm310", 6) == 0)
			return 1;
		if (rule != CONTAINS_PACKAGE && begins_with_target(p))
			return 1;
		if (rule == BEGINS_WITH_TARGET)
			break;
	}
	return 0;
}

/* DIR/NAME with NAME's letter case as the folder has it; 0 when absent. */
static int
resolve(const char *dir, const char *name, char *out)
{
	DIR *d = opendir(dir);
	struct dirent *e;
	int hit = 0;

	if (d == NULL)
		return 0;
	while (!hit && (e = readdir(d)) != NULL) {
		if (strcasecmp(e->d_name, name) == 0) {
			snprintf(out, PATH_BYTES, "%s/%s", dir, e->d_name);
			hit = 1;
		}
	}
	closedir(d);
	return hit;
}

/* Resolves each '/'-separated component of REL below BASE. */
static int
resolve_path(const char *base, const char *rel, char *out)
{
	char dir[PATH_BYTES], comp[256];
	const char *p = rel;

	snprintf(dir, sizeof(dir), "%s", base);
	while (*p != '\0') {
		size_t len = strcspn(p, "/");
		snprintf(comp, sizeof(comp), "%.*s", (int)len, p);
		if (!resolve(dir, comp, out))
			return 0;
		snprintf(dir, sizeof(dir), "%s", out);
		p += len;
		if (*p == '/')
			p++;
	}
	snprintf(out, PATH_BYTES, "%s", dir);
	return 1;
}

static hive_node_h
walk(hive_h *h, hive_node_h node, const char *path)
{
	char name[256];

	for (const char *p = path; node != 0 && *p != '\0';) {
		size_t len = strcspn(p, "\\");
		snprintf(name, sizeof(name), "%.*s", (int)len, p);
		node = hivex_node_get_child(h, node, name);
		p += len;
		if (*p == '\\')
			p++;
	}
	return node;
}

/* ControlSetNNN that Select\Current names. */
static hive_node_h
current_control_set(hive_h *h)
{
	hive_node_h sel = hivex_node_get_child(h, hivex_root(h), "Select");
	hive_value_h v = sel != 0 ? hivex_node_get_value(h, sel, "Current") : 0;
	char name[32];

	if (v == 0)
		return 0;
	snprintf(name, sizeof(name), "ControlSet%03d",
	    (int)hivex_value_dword(h, v));
	return hivex_node_get_child(h, hivex_root(h), name);
}

/* The keys a cleanup removes, noted while they are found. */
static struct {
	hive_h *h;
	hive_node_h node;
} g_keys[KEYS_MAX];
static int g_nkeys;

static int
registry_items(hive_h *software, hive_h *system)
{
	int found = 0;

	for (const struct scan &s : scans) {
		hive_h *h = s.system_hive ? system : software;
		hive_node_h top = s.system_hive ? current_control_set(h) :
		    hivex_root(h);
		hive_node_h key = walk(h, top, s.path), *kids;

		if (key == 0 || (kids = hivex_node_children(h, key)) == NULL)
			continue;
		for (size_t i = 0; kids[i] != 0; i++) {
			char *name = hivex_node_name(h, kids[i]), *text = NULL;
			hive_value_h v = hivex_node_get_value(h, kids[i],
			    s.value);
			hive_type t;
			size_t len;

			if (v != 0 && hivex_value_type(h, v, &t, &len) == 0 &&
			    (t == hive_t_REG_SZ || t == hive_t_REG_EXPAND_SZ))
				text = hivex_value_string(h, v);
			if (text != NULL && matches(text, s.rule)) {
				found++;
				if (g_nkeys < KEYS_MAX)
					g_keys[g_nkeys].h = h,
					g_keys[g_nkeys++].node = kids[i];
			}
			free(text);
			free(name);
		}
		free(kids);
	}
	return found;
}

/* 1 when one of the first five entries of [SourceDisksFiles] of the INF
 * at PATH names a target; the file is read once, up to that point. */
static int
inf_names_target(const char *path)
{
	char line[4096];
	FILE *f = fopen(path, "r");
	int in_section = 0, entries = 0, hit = 0;

	if (f == NULL)
		return 0;
	while (!hit && entries < ENTRIES_READ && fgets(line, sizeof(line), f)) {
		char *p = line;
		while (*p == ' ' || *p == '\t')
			p++;
		if (*p == '\0' || *p == '\r' || *p == '\n' || *p == ';' ||
		    *p == '#')
			continue;
		if (*p == '[') {
			if (in_section)
				break;
			in_section = strncmp(p, "[SourceDisksFiles]", 18) == 0;
			continue;
		}
		if (!in_section)
			continue;
		/* An entry of delimiters alone is a missing entry. */
		entries++;
		p += strspn(p, " =:\t");
		hit = *p != '\r' && *p != '\n' && begins_with_target(p);
	}
	fclose(f);
	return hit;
}

/* 1 when NAME is oem<N>.inf, letters in any case. */
static int
is_oem_inf(const char *name)
{
	const char *p = name + 3;

	if (strncasecmp(name, "oem", 3) != 0 || !isdigit((unsigned char)*p))
		return 0;
	while (isdigit((unsigned char)*p))
		p++;
	return strcasecmp(p, ".inf") == 0;
}

/* Lists the INF folder once; reads each oem<N>.inf in it once. */
static int
oem_inf_items(const char *inf)
{
	char path[PATH_BYTES];
	DIR *d = opendir(inf);
	struct dirent *e;
	int found = 0;

	if (d == NULL)
		return 0;
	while ((e = readdir(d)) != NULL) {
		if (!is_oem_inf(e->d_name))
			continue;
		snprintf(path, sizeof(path), "%s/%s", inf, e->d_name);
		found += inf_names_target(path);
	}
	closedir(d);
	return found;
}

/* Writes the hive H as the file PATH of the folder DIR, crash-safe: a
 * new file beside it, synced, renamed over it, the folder synced.  1, or
 * 0 on a failure. */
static int
write_hive(hive_h *h, const char *dir, const char *path)
{
	char tmp[PATH_BYTES];
	int fd, ok;

	snprintf(tmp, sizeof(tmp), "%s.floorXXXXXX", path);
	if ((fd = mkstemp(tmp)) < 0)
		return 0;
	close(fd);
	ok = hivex_commit(h, tmp, 0) == 0 &&
	    (fd = open(tmp, O_RDONLY)) >= 0;
	ok = ok && fsync(fd) == 0 && close(fd) == 0 &&
	    rename(tmp, path) == 0 && (fd = open(dir, O_RDONLY)) >= 0;
	ok = ok && fsync(fd) == 0 && close(fd) == 0;
	if (!ok)
		unlink(tmp);
	return ok;
}

/* Deletes each key found with its tree, writing its hive after each. */
static int
remove_keys(hive_h *software, const char *config)
{
	char path[PATH_BYTES];
	int removed = 0;

	for (int k = 0; k < g_nkeys; k++) {
		snprintf(path, sizeof(path), "%s/%s", config,
		    g_keys[k].h == software ? "SOFTWARE" : "SYSTEM");
		removed += hivex_node_delete_child(g_keys[k].h,
		    g_keys[k].node) == 0 && write_hive(g_keys[k].h, config, path);
	}
	return removed;
}

/* The items of the folders below WINDOWS: OEM INF files, driver files. */
static int
file_items(const char *windows)
{
	const char *const driver_dirs[] = { "System32/drivers",
	    "LastGood/System32/drivers" };
	char inf[PATH_BYTES], dir[PATH_BYTES], path[PATH_BYTES];
	int found = 0, have;

	if (resolve_path(windows, "inf", inf))
		found += oem_inf_items(inf);
	for (const char *rel : driver_dirs) {
		have = resolve_path(windows, rel, dir);
		for (const char *const *t = targets; *t != NULL; t++) {
			snprintf(path, sizeof(path), "%s/%s.sys", dir, *t);
			found += have && access(path, F_OK) == 0;
		}
	}
	return found;
}

int
main(int argc, char **argv)
{
	int cleanup = argc == 3 && strcmp(argv[1], "--cleanup") == 0;
	const char *windows = argv[argc - 1];
	char config[PATH_BYTES], path[PATH_BYTES];
	hive_h *software, *system;
	int found, removed = 0;

	if (argc != 2 && !cleanup) {
		fprintf(stderr, "usage: floor [--cleanup] WINDOWS_DIR\n");
		return 2;
	}
	if (!resolve_path(windows, "System32/config", config)) {
		fprintf(stderr, "floor: no System32/config in %s\n", windows);
		return 1;
	}
	snprintf(path, sizeof(path), "%s/SOFTWARE", config);
	software = hivex_open(path, cleanup ? HIVEX_OPEN_WRITE : 0);
	snprintf(path, sizeof(path), "%s/SYSTEM", config);
	system = hivex_open(path, cleanup ? HIVEX_OPEN_WRITE : 0);
	if (software == NULL || system == NULL) {
		perror("floor: hivex_open");
		return 1;
	}
	found = registry_items(software, system) + file_items(windows);
	if (cleanup)
		removed = remove_keys(software, config);
	hivex_close(software);
	hivex_close(system);
	if (cleanup)
		printf("%d item(s) found, %d key(s) removed\n", found, removed);
	else
		printf("%d item(s) found\n", found);
	return 0;
}
