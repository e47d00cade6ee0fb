/*
 * fuzz_hive.cpp - the offline registry over damaged hive files.
 *
 * The input is the SOFTWARE hive of a scratch installation and, as a
 * copy, its SYSTEM hive.  Each run forgets every hive, walks the keys
 * below HKLM\SOFTWARE a few levels deep reading string values, looks
 * into SYSTEM through CurrentControlSet, then deletes one key the walk
 * found, a leaf or a small tree (the input's last byte picks it).
 * Whatever the bytes: no crash or hang, names and strings terminated
 * inside their buffers, no handle left open, no temporary file left
 * behind, SYSTEM never written, a dirty hive never written, a leaf whose
 * delete failed still as it was on disk; a hive that was written opens
 * again, is one key short under the parent, and its backup holds the
 * bytes from before.  libhivex deletes in this process, and only a tree
 * the backend proved sound: a crash there is a damage the proof let
 * through.
 */
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <hivex.h>
#include <initializer_list>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/platform.h"
#include "registry/reg_internal.h"
#include "registry/unix/hive.h"

#include "fuzz_util.h"

#define GUARD_BYTES 32
#define NAME_BYTES 1024
#define PATH_BYTES 1024
#define TEMP_PATH 4096
#define WALK_DEPTH 6
#define WALK_WIDTH 8
#define WALK_KEYS 32

struct found_key {
	char path[PATH_BYTES];
	int leaf;		/* its walk said: no subkeys */
	int deep;		/* a subkey that is no leaf, or unseen */
	int small_tree;		/* subkeys all seen, all of them leaves */
};

static char g_top[TEMP_PATH], g_config[TEMP_PATH];
static char g_software[TEMP_PATH], g_system[TEMP_PATH], g_bak[TEMP_PATH];
static struct found_key g_found[WALK_KEYS];
static int g_nfound;

static const char *const g_value_names[] = { "", "DisplayName", "InfPath" };
static const size_t g_value_sizes[] = { 1, 2, 7, 512 };

static void
remove_temp(void)
{
	char dir[TEMP_PATH];

	unlink(g_software);
	unlink(g_system);
	unlink(g_bak);
	rmdir(g_config);
	for (const char *d : { "backup/SystemRoot/System32/config",
	    "backup/SystemRoot/System32", "backup/SystemRoot", "backup" }) {
		snprintf(dir, sizeof(dir), "%s/%s", g_top, d);
		rmdir(dir);
	}
	snprintf(dir, sizeof(dir), "%s/Windows/System32", g_top);
	rmdir(dir);
	snprintf(dir, sizeof(dir), "%s/Windows", g_top);
	rmdir(dir);
	rmdir(g_top);
}

/* 1 when the file at PATH holds exactly the SIZE bytes at DATA. */
static int
same_bytes(const char *path, const uint8_t *data, size_t size)
{
	unsigned char buf[4096];
	size_t at = 0;
	ssize_t n;
	int fd, same = 1;

	if ((fd = open(path, O_RDONLY)) < 0)
		return 0;
	while (same && (n = read(fd, buf, sizeof(buf))) > 0) {
		same = at + (size_t)n <= size &&
		    memcmp(buf, data + at, (size_t)n) == 0;
		at += (size_t)n;
	}
	close(fd);
	return same && at == size;
}

static unsigned long
le32(const uint8_t *p)
{
	return p[0] | (unsigned long)p[1] << 8 | (unsigned long)p[2] << 16 |
	    (unsigned long)p[3] << 24;
}

/* Nothing but the hives may be left in config: a temporary file there
 * is a write that was not cleaned up (the copy goes to the backup
 * folder). */
static void
check_config_folder(void)
{
	DIR *d = opendir(g_config);
	struct dirent *e;

	CHECK(d != NULL);
	while ((e = readdir(d)) != NULL) {
		CHECK(strcmp(e->d_name, ".") == 0 ||
		    strcmp(e->d_name, "..") == 0 ||
		    strcmp(e->d_name, "SOFTWARE") == 0 ||
		    strcmp(e->d_name, "SYSTEM") == 0);
	}
	closedir(d);
}

/* Number of subkeys of the key at PATH, -1 when it does not open. */
static long
subkey_count(const char *path)
{
	const char *rest;
	HKEY root, key;
	DWORD count = 0;
	LONG rc;

	if (split_root_key(path, &root, &rest) != 1 ||
	    RegOpenKeyExA(root, rest, 0, KEY_READ, &key) != ERROR_SUCCESS)
		return -1;
	rc = RegQueryInfoKeyA(key, NULL, NULL, NULL, &count, NULL, NULL, NULL,
	    NULL, NULL, NULL, NULL);
	RegCloseKey(key);
	return rc == ERROR_SUCCESS ? (long)count : -1;
}

/* Reads the string values the scans ask for, into buffers of several
 * sizes: each result ends inside its buffer, with nothing past it, and
 * leaves no more keys open than the walks above it hold. */
static void
read_values(const char *path)
{
	unsigned char buf[512 + GUARD_BYTES];
	int open_before = hive_open_handles();
	size_t size;

	for (size_t v = 0; v < sizeof(g_value_names) / sizeof(g_value_names[0]);
	    v++) {
		for (size_t s = 0; s < sizeof(g_value_sizes) /
		    sizeof(g_value_sizes[0]); s++) {
			size = g_value_sizes[s];
			memset(buf, FILL, sizeof(buf));
			read_string_value(path, g_value_names[v], (char *)buf,
			    "?", size);
			CHECK(memchr(buf, '\0', size) != NULL);
			CHECK(untouched(buf + size, sizeof(buf) - size));
		}
	}
	CHECK(hive_open_handles() == open_before);
}

/* Subkey INDEX of the open WALK into NAME; checks the name fits with
 * its NUL and that one byte less is refused as too long (ERANGE, 34). */
static int
walk_checked(struct key_walk *walk, int index, unsigned char *name)
{
	unsigned char small[NAME_BYTES + GUARD_BYTES];
	size_t len;
	int rc;

	memset(name, FILL, NAME_BYTES + GUARD_BYTES);
	rc = walk_subkey(walk, index, (char *)name, NAME_BYTES);
	CHECK(rc >= -1 && rc <= 1);
	if (rc != 1) {
		CHECK(untouched(name, NAME_BYTES + GUARD_BYTES));
		return rc;
	}
	len = strnlen((const char *)name, NAME_BYTES);
	CHECK(len < NAME_BYTES);
	CHECK(untouched(name + len + 1, NAME_BYTES + GUARD_BYTES - len - 1));
	if (len > 0) {
		memset(small, FILL, sizeof(small));
		errno = 0;
		CHECK(walk_subkey(walk, index, (char *)small, len) == -1 &&
		    errno == 34);
		CHECK(untouched(small, sizeof(small)));
	}
	return rc;
}

/* The values the scans read by index, for a subkey the walk may not
 * name whole: each ends inside its buffer, with nothing past it. */
static void
value_by_index(struct key_walk *walk, int index)
{
	unsigned char buf[512 + GUARD_BYTES];

	for (const char *v : g_value_names) {
		memset(buf, FILL, sizeof(buf));
		CHECK(walk_read_value(walk, index, v, (char *)buf, "?",
		    512) >= -1);
		CHECK(memchr(buf, '\0', 512) != NULL);
		CHECK(untouched(buf + 512, GUARD_BYTES));
	}
}

/* Walks the keys below SELF (PATH; NULL for the hive's root), DEPTH
 * levels more, noting each one found.  At depth 0 it only looks
 * whether SELF has subkeys.  The walk holds PATH open, as a scan's
 * does, while the keys below are looked into. */
static void
walk(struct found_key *self, const char *path, int depth)
{
	unsigned char name[NAME_BYTES + GUARD_BYTES];
	struct key_walk w;
	struct found_key *k;
	int rc = -1, i;

	if (open_key_walk(path, &w) != 1)
		return;
	for (i = 0; i < WALK_WIDTH; i++) {
		if ((rc = walk_checked(&w, i, name)) != 1)
			break;
		if (depth == 0 || g_nfound == WALK_KEYS)
			break;
		/* As the scans do: a name that is empty or holds a
		 * backslash names some other key as a path. */
		k = &g_found[g_nfound];
		if (name[0] == '\0' ||
		    strchr((const char *)name, '\\') != NULL ||
		    (size_t)snprintf(k->path, sizeof(k->path), "%s\\%s", path,
		    (const char *)name) >= sizeof(k->path)) {
			value_by_index(&w, i);
			if (self != NULL)
				self->deep = 1;
			continue;
		}
		k->leaf = k->deep = k->small_tree = 0;
		g_nfound++;
		read_values(k->path);
		value_by_index(&w, i);
		walk(k, k->path, depth - 1);
		if (self != NULL && !k->leaf)
			self->deep = 1;
	}
	if (rc == 0)
		CHECK(walk_subkey_count(&w) == i);
	close_key_walk(&w);
	if (self != NULL && i < WALK_WIDTH && rc == 0) {
		self->leaf = i == 0;
		self->small_tree = i > 0 && !self->deep;
	}
}

/* The first subkeys of the key at PATH, through a walk. */
static int
walk_first(const char *path, int count)
{
	unsigned char name[NAME_BYTES + GUARD_BYTES];
	struct key_walk w;
	int i;

	if (open_key_walk(path, &w) != 1)
		return 0;
	for (i = 0; i < count && walk_checked(&w, i, name) == 1; i++)
		;
	close_key_walk(&w);
	return i;
}

/* SYSTEM is only read: its control set, its Select key, HKLM itself. */
static void
look_at_system(void)
{
	walk_first("HKLM", 3);
	walk_first("HKLM\\SYSTEM\\CurrentControlSet", 3);
	read_values("HKLM\\SYSTEM\\Select");
}

/* Deletes the key KEY and checks what reached the disk.  DATA (SIZE
 * bytes) is what SOFTWARE held before. */
static void
delete_checked(const struct found_key *key, const uint8_t *data,
    size_t size)
{
	char parent[PATH_BYTES];
	struct hive_stats st;
	hive_h *h;
	long before, after;
	int rc, dirty;

	dirty = size >= 12 && memcmp(data, "regf", 4) == 0 &&
	    le32(data + 4) != le32(data + 8);
	snprintf(parent, sizeof(parent), "%s", key->path);
	*strrchr(parent, '\\') = '\0';
	before = subkey_count(parent);

	rc = delete_key_path(key->path);
	CHECK(rc == 0 || rc == 1);
	CHECK(hive_open_handles() == 0);
	hive_get_stats(HIVE_SOFTWARE, &st);
	if (dirty) {
		CHECK(st.read_only && rc == 0 && st.writes == 0 &&
		    st.backups == 0);
		CHECK(same_bytes(g_software, data, size));
		return;
	}
	if (rc == 0) {
		/* A tree delete that stopped half way has written what it
		 * deleted; a leaf has nothing to delete half way. */
		if (key->leaf || st.writes == 0)
			CHECK(same_bytes(g_software, data, size));
		if (st.writes == 0)
			return;
	} else {
		CHECK(st.writes > 0 && st.backups == 1);
	}
	CHECK(same_bytes(g_bak, data, size));
	CHECK((h = hivex_open(g_software, 0)) != NULL);
	CHECK(hivex_root(h) != 0);
	hivex_close(h);
	if (rc == 1) {
		/* Read again from the disk, the parent is one key short. */
		hive_reset();
		after = subkey_count(parent);
		CHECK(before >= 1 && after == before - 1);
	}
}

extern "C" int
LLVMFuzzerInitialize(int *argc, char ***argv)
{
	const char *tmp = getenv("TMPDIR");
	char dir[TEMP_PATH];

	(void)argc;
	(void)argv;
	snprintf(g_top, sizeof(g_top), "%s/vkm-fuzz-hive.XXXXXX",
	    tmp != NULL && tmp[0] != '\0' ? tmp : "/tmp");
	if (mkdtemp(g_top) == NULL) {
		perror(g_top);
		exit(1);
	}
	snprintf(dir, sizeof(dir), "%s/Windows", g_top);
	mkdir(dir, 0700);
	setenv("SystemRoot", dir, 1);
	plat_read_system_root();
	snprintf(dir, sizeof(dir), "%s/Windows/System32", g_top);
	mkdir(dir, 0700);
	snprintf(g_config, sizeof(g_config), "%s/Windows/System32/config",
	    g_top);
	if (mkdir(g_config, 0700) != 0) {
		perror(g_config);
		exit(1);
	}
	snprintf(g_software, sizeof(g_software), "%s/SOFTWARE", g_config);
	snprintf(g_system, sizeof(g_system), "%s/SYSTEM", g_config);
	/* The run's backup folder: the copy of SOFTWARE lands below it. */
	snprintf(dir, sizeof(dir), "%s/backup", g_top);
	mkdir(dir, 0700);
	hive_set_backup_dir(dir);
	snprintf(g_bak, sizeof(g_bak),
	    "%s/backup/SystemRoot/System32/config/SOFTWARE", g_top);
	atexit(remove_temp);
	return 0;
}

/* The key to delete, chosen by the input's last byte: a leaf when its
 * top bit is clear, else a key whose subkeys are all leaves. */
static const struct found_key *
pick_key(const uint8_t *data, size_t size)
{
	unsigned pick, tree, count = 0;

	if (size == 0)
		return NULL;
	pick = data[size - 1] & 0x7f;
	tree = data[size - 1] >> 7;
	for (int k = 0; k < g_nfound; k++)
		count += tree ? g_found[k].small_tree : g_found[k].leaf;
	if (count == 0)
		return NULL;
	pick %= count;
	for (int k = 0; k < g_nfound; k++) {
		if ((tree ? g_found[k].small_tree : g_found[k].leaf) &&
		    pick-- == 0)
			return &g_found[k];
	}
	return NULL;
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	const struct found_key *key;

	unlink(g_bak);
	if (write_file(g_software, data, size) != 0 ||
	    write_file(g_system, data, size) != 0)
		return 0;
	hive_reset();

	g_nfound = 0;
	walk(NULL, "HKLM\\SOFTWARE", WALK_DEPTH);
	look_at_system();
	if ((key = pick_key(data, size)) != NULL)
		delete_checked(key, data, size);

	CHECK(hive_open_handles() == 0);
	CHECK(same_bytes(g_system, data, size));
	check_config_folder();
	hive_reset();
	return 0;
}
