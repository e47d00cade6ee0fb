/*
 * fuzz_keypath.cpp - key paths: the root split, the bounded copy, and the
 * registry calls the scans make over an installation that has no hives
 * at all.
 *
 * Input: byte 0 a subkey index (signed), byte 1 a buffer size, then up
 * to three strings separated by NULs: key path, value name, default
 * text.  Each string gets a heap block of exactly its length plus the
 * NUL, so a read past its end is caught.  SystemRoot names an empty
 * folder, which is the backup folder too: every path must resolve and
 * come to nothing, leave no handle open and no file behind.
 */
#include <dirent.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <unistd.h>

#include "common/bounded.h"
#include "platform/platform.h"
#include "registry/reg_internal.h"
#include "registry/unix/hive.h"

#include "fuzz_util.h"

#define BUF_BYTES 256
#define GUARD_BYTES 32
#define TEMP_PATH 4096

static char g_dir[TEMP_PATH];

static void
remove_temp(void)
{
	rmdir(g_dir);
}

/* 1 when the folder SystemRoot names is still empty. */
static int
folder_empty(void)
{
	DIR *d = opendir(g_dir);
	struct dirent *e;
	int empty = 1;

	if (d == NULL)
		return 0;
	while ((e = readdir(d)) != NULL) {
		if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
			empty = 0;
	}
	closedir(d);
	return empty;
}

/* The next NUL-separated piece of *DATA (*SIZE bytes) in a block of its
 * own, or NULL when none is left. */
static char *
next_piece(const uint8_t **data, size_t *size, int *left)
{
	const uint8_t *nul;
	size_t len;
	char *s;

	if (!*left)
		return NULL;
	nul = (const uint8_t *)memchr(*data, 0, *size);
	len = nul != NULL ? (size_t)(nul - *data) : *size;
	if ((s = (char *)malloc(len + 1)) == NULL)
		return NULL;
	memcpy(s, *data, len);
	s[len] = '\0';
	*left = nul != NULL;
	*data += nul != NULL ? len + 1 : len;
	*size -= nul != NULL ? len + 1 : len;
	return s;
}

/* split_root_key against the root table, compared here with the C
 * library's ASCII folding; the rest must lie inside PATH.  Returns the
 * result, with *ROOT and *REST. */
static int
check_split(const char *path, HKEY *root, const char **rest)
{
	static const char sentinel[] = "";
	const struct root_key *want = NULL;
	size_t len = strlen(path), n = 0;
	int rc;

	for (const struct root_key *r = g_root_keys; r->name[0] != '\0'; r++) {
		n = strlen(r->name);
		if (strncasecmp(path, r->name, n) == 0) {
			want = r;
			break;
		}
	}
	*root = NULL;
	*rest = sentinel;
	rc = split_root_key(path, root, rest);
	if (want == NULL) {
		CHECK(rc == 0 && *root == NULL && *rest == sentinel);
		return rc;
	}
	CHECK(rc == 1 && *root == want->key);
	CHECK(*rest >= path && *rest <= path + len);
	CHECK(*rest == path + n + (path[n] != '\0'));
	return rc;
}

static void
check_copy(const char *src, size_t size)
{
	unsigned char dst[BUF_BYTES + GUARD_BYTES];
	size_t len = strlen(src), n;

	memset(dst, FILL, sizeof(dst));
	CHECK(copy_bounded((char *)dst, src, size) == len);
	if (size == 0) {
		CHECK(untouched(dst, sizeof(dst)));
		return;
	}
	n = len < size - 1 ? len : size - 1;
	CHECK(memcmp(dst, src, n) == 0 && dst[n] == '\0');
	CHECK(untouched(dst + n + 1, sizeof(dst) - n - 1));
}

/* The default text as a failed read leaves it in BUF (BUF_BYTES and the
 * guard, FILL before): cut to SIZE, nothing after it. */
static void
check_default(const unsigned char *buf, const char *default_text,
    size_t size)
{
	size_t n;

	if (size == 0 || default_text == NULL) {
		CHECK(untouched(buf, BUF_BYTES + GUARD_BYTES));
		return;
	}
	n = strlen(default_text);
	n = n < size - 1 ? n : size - 1;
	CHECK(memcmp(buf, default_text, n) == 0 && buf[n] == '\0');
	CHECK(untouched(buf + n + 1, BUF_BYTES + GUARD_BYTES - n - 1));
}

/* The walk of PATH, open in WALK: HKLM itself, without subkeys when no
 * hive is there. */
static void
check_walk(struct key_walk *walk, int index, const char *value_name,
    const char *default_text, size_t size)
{
	unsigned char buf[BUF_BYTES + GUARD_BYTES];
	int want = index >= 0 && size > 0 ? 0 : -1;

	memset(buf, FILL, sizeof(buf));
	CHECK(walk_subkey(walk, index, (char *)buf, size) == want);
	CHECK(untouched(buf, sizeof(buf)));
	CHECK(walk_subkey_count(walk) == 0);
	memset(buf, FILL, sizeof(buf));
	CHECK(walk_read_value(walk, index, value_name, (char *)buf,
	    default_text, size) == -1);
	check_default(buf, default_text, size);
}

/* The calls the scans make on PATH with no hive present.  Only HKLM
 * itself opens, and it has no subkeys; nothing can be kept or removed. */
static void
check_absent(const char *path, int index, const char *value_name,
    const char *default_text, size_t size)
{
	unsigned char buf[BUF_BYTES + GUARD_BYTES];
	struct key_walk walk;
	const char *rest;
	HKEY root;
	int split, rc;

	split = check_split(path, &root, &rest);
	hive_reset();

	rc = open_key_walk(path, &walk);
	if (split == 1 && root == HKEY_LOCAL_MACHINE && rest[0] == '\0') {
		CHECK(rc == 1);
		check_walk(&walk, index, value_name, default_text, size);
		close_key_walk(&walk);
	} else {
		CHECK(split == 1 ? rc == 0 || rc == -1 : rc == -1);
	}
	CHECK(hive_open_handles() == 0);

	memset(buf, FILL, sizeof(buf));
	read_string_value(path, value_name, (char *)buf, default_text, size);
	check_default(buf, default_text, size);
	CHECK(hive_open_handles() == 0);

	CHECK(key_path_deletable(path) == (split == 1 ? 0 : -1));
	CHECK(backup_key_path(path, g_dir) == -1);
	CHECK(delete_key_path(path) == (split == 1 ? 0 : -1));
	CHECK(hive_open_handles() == 0);

	for (int i = 0; i < HIVE_COUNT; i++) {
		struct hive_stats st;

		hive_get_stats(i, &st);
		CHECK(st.loaded == 0 && st.loads == 0 && st.writes == 0 &&
		    st.backups == 0);
	}
	CHECK(folder_empty());
}

extern "C" int
LLVMFuzzerInitialize(int *argc, char ***argv)
{
	const char *tmp = getenv("TMPDIR");

	(void)argc;
	(void)argv;
	snprintf(g_dir, sizeof(g_dir), "%s/vkm-fuzz-keypath.XXXXXX",
	    tmp != NULL && tmp[0] != '\0' ? tmp : "/tmp");
	if (mkdtemp(g_dir) == NULL || setenv("SystemRoot", g_dir, 1) != 0) {
		perror(g_dir);
		exit(1);
	}
	plat_read_system_root();
	atexit(remove_temp);
	return 0;
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	char *path, *value_name, *default_text;
	int index, left = 1;
	size_t buf_size;

	if (size < 2)
		return 0;
	index = (int8_t)data[0];
	buf_size = data[1];
	data += 2;
	size -= 2;
	path = next_piece(&data, &size, &left);
	value_name = next_piece(&data, &size, &left);
	default_text = next_piece(&data, &size, &left);
	if (path != NULL) {
		check_copy(path, buf_size);
		if (default_text != NULL)
			check_copy(default_text, buf_size);
		check_absent(path, index, value_name, default_text, buf_size);
	}
	free(path);
	free(value_name);
	free(default_text);
	return 0;
}
