/*
 * backup.cpp - the run's backup folder, made on first need, and the
 * place of each item in it.
 *
 * A file or folder at <SystemRoot>\<rest> is kept as
 * <backup>\SystemRoot\<rest>, <rest> spelled as the disk spells it, so
 * that copying the "SystemRoot" folder back over the Windows folder puts
 * every item back where it was.
 */
#include "backup/backup.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "common/crt_errno.h"
#include "platform/platform.h"
#include "registry/registry.h"

#define BACKUP_NAME "vkm310_backup"
#define BACKUP_TREE "SystemRoot"
/* "-2" to "-99": runs started in the same second. */
#define BACKUP_TRIES 99

char g_backup_dir[BACKUP_PATH_BUF];

/* The separator of the backup's own paths: the last character of the
 * place the system gave ('\' or '/'). */
static char g_sep = '\\';
/* 1 when the folder could not be made; 2 once that has been asked for
 * (backup_failure_news). */
static int g_backup_failed;
static int g_backup_errno;
/* Something the backup kept has gone from the system. */
static int g_removed;
/* The folder kept last (its path as the scan gave it), whether it was
 * there (1) or not (0), and the place of its copy. */
static char g_kept_folder[BACKUP_PATH_BUF];
static char g_kept_place[BACKUP_PATH_BUF];
static int g_kept_there;

void
backup_reset(void)
{
	g_backup_dir[0] = '\0';
	g_backup_failed = 0;
	g_backup_errno = 0;
	g_removed = 0;
	g_kept_folder[0] = '\0';
}

/* Makes a new folder in PLACE (ending in its separator), named after the
 * time T.  1: made, g_backup_dir set; -1: none could be made there. */
static int
make_in(const char *place, const int t[6])
{
	char path[BACKUP_PATH_BUF];

	for (int k = 1; k <= BACKUP_TRIES; k++) {
		int n = snprintf(path, sizeof(path),
		    "%s" BACKUP_NAME "-%04d%02d%02d-%02d%02d%02d", place,
		    t[0], t[1], t[2], t[3], t[4], t[5]);
		if (n > 0 && k > 1 && (size_t)n < sizeof(path))
			n += snprintf(path + n, sizeof(path) - (size_t)n,
			    "-%d", k);
		if (n < 0 || (size_t)n >= sizeof(path)) {
			errno = CRT_EINVAL;
			return -1;
		}
		int r = plat_make_folder(path);
		if (r < 0)
			return -1;
		if (r > 0) {
			memcpy(g_backup_dir, path, (size_t)n + 1);
			g_sep = place[strlen(place) - 1];
			return 1;
		}
	}
	errno = CRT_EACCES;
	return -1;
}

/* Makes this run's backup folder unless it is there.  1: it is; -1: it
 * cannot be made, errno set (tried once a run). */
static int
backup_ready(void)
{
	char place[BACKUP_PATH_BUF];
	int t[6];

	if (g_backup_dir[0] != '\0')
		return 1;
	if (!g_backup_failed) {
		plat_local_time(t);
		g_backup_errno = CRT_EACCES;
		for (int i = 0; plat_backup_place(i, place, sizeof(place)) > 0;
		    i++) {
			if (make_in(place, t) > 0)
				return 1;
			g_backup_errno = errno;
		}
		g_backup_failed = 1;
	}
	errno = g_backup_errno;
	return -1;
}

static int
is_sep(char c)
{
	return c == '\\' || c == '/';
}

/* Puts into OUT the place of the item at PATH in the backup, and makes
 * the folders above it there, each like the folder it stands for (its
 * mode and owner), so that copying the backup back changes none of
 * them.  1: done; 0: nothing is at PATH; -1: PATH is not below
 * SystemRoot or the place cannot be made, errno set. */
static int
item_place(const char *path, char *out, size_t size)
{
	char disk[BACKUP_PATH_BUF], root[BACKUP_PATH_BUF];
	char like[BACKUP_PATH_BUF];
	const char *rest;
	size_t n, len;
	int r;

	if ((r = plat_disk_path(path, disk, sizeof(disk))) <= 0 ||
	    plat_disk_path(plat_system_root(NULL), root, sizeof(root)) <= 0) {
		errno = CRT_EINVAL;
		return r == 0 ? 0 : -1;
	}
	len = strlen(root);
	while (len > 0 && is_sep(root[len - 1]))
		len--;
	if (strncmp(disk, root, len) != 0 || !is_sep(disk[len])) {
		errno = CRT_EINVAL;
		return -1;
	}
	for (rest = disk + len; is_sep(*rest); rest++)
		;
	if (backup_ready() < 0)
		return -1;
	n = (size_t)snprintf(out, size, "%s%c" BACKUP_TREE, g_backup_dir,
	    g_sep);
	if (n + strlen(rest) + 2 > size) {
		errno = CRT_EINVAL;
		return -1;
	}
	/* Each folder on the way: made now, or there from an earlier item;
	 * the disk's path up to REST names the folder it stands for. */
	for (;;) {
		memcpy(like, disk, (size_t)(rest - disk));
		like[rest - disk] = '\0';
		if (plat_make_folder_like(out, like) < 0)
			return -1;
		out[n++] = g_sep;
		while (*rest != '\0' && !is_sep(*rest))
			out[n++] = *rest++;
		out[n] = '\0';
		if (*rest == '\0')
			return 1;
		while (is_sep(*rest))
			rest++;
	}
}

/* Copies the item at PATH, a folder when FOLDER, into its place.  1, 0
 * or -1 as backup_file. */
static int
backup_item(const char *path, int folder)
{
	char dst[BACKUP_PATH_BUF] = "";
	int r = item_place(path, dst, sizeof(dst));

	if (r > 0)
		r = plat_copy(path, dst, folder);
	if (folder && r >= 0 && strlen(path) < sizeof(g_kept_folder)) {
		memcpy(g_kept_folder, path, strlen(path) + 1);
		memcpy(g_kept_place, dst, strlen(dst) + 1);
		g_kept_there = r;
	}
	return r;
}

int
backup_file(const char *path)
{
	return backup_item(path, 0);
}

int
backup_folder(const char *path)
{
	return backup_item(path, 1);
}

int
backup_put_back(const char *path)
{
	if (g_kept_folder[0] == '\0' || strcmp(path, g_kept_folder) != 0) {
		errno = CRT_EINVAL;
		return -1;
	}
	/* Not there when it was kept: nothing went. */
	if (!g_kept_there)
		return 1;
	return plat_put_back(g_kept_place, path, 1) > 0 ? 1 : -1;
}

int
backup_key(const char *key_path)
{
	if (backup_ready() < 0)
		return -1;
	return backup_key_path(key_path, g_backup_dir) > 0 ? 1 : -1;
}

void
backup_note_removed(void)
{
	g_removed = 1;
}

int
backup_failure_news(int *err)
{
	if (g_backup_failed != 1)
		return 0;
	g_backup_failed = 2;
	*err = g_backup_errno;
	return 1;
}

const char *
backup_of_removals(void)
{
	return g_backup_dir[0] != '\0' && g_removed ? g_backup_dir : NULL;
}
