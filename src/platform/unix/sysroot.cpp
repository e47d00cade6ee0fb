/*
 * sysroot.cpp (Linux) - whether SystemRoot names an offline Windows
 * installation, whether its folders can be listed, and its paths as the
 * disk spells them.
 */
#include "platform/platform.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/ascii.h"
#include "platform/unix/syscalls.h"
#include "platform/unix/winpath.h"

#define PATH_BYTES 4096
#define COMPONENT_BYTES 256

/* Puts the reason for the errno E in WHY: permission apart, its number. */
static void
say_errno(int e, const char *what, char *why, size_t size)
{
	if (e == EACCES || e == EPERM)
		snprintf(why, size, "%s: access denied", what);
	else
		snprintf(why, size, "%s (error %d)", what, e);
}

/* Looks in the open folder DIRFD for an entry named NAME, as spelled or
 * else in any letter case, without following a link.  1: *ST tells what
 * it is and FOUND (COMPONENT_BYTES) holds its name; 0: none; -1: the
 * folder cannot be listed, errno set. */
static int
find_folded(int dirfd, const char *name, struct stat *st, char *found)
{
	struct dirent *e;
	DIR *d;
	int fd, hit = 0;

	if (strlen(name) >= COMPONENT_BYTES)
		return 0;
	strcpy(found, name);
	if (SC(fstatat)(dirfd, name, st, AT_SYMLINK_NOFOLLOW) == 0)
		return 1;
	if ((fd = SC(openat)(dirfd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC,
	    0)) < 0)
		return -1;
	if ((d = SC(fdopendir)(fd)) == NULL) {
		SC(close)(fd);
		return -1;
	}
	while (!hit && (e = SC(readdir)(d)) != NULL) {
		if (ascii_equal(e->d_name, name) &&
		    strlen(e->d_name) < COMPONENT_BYTES) {
			strcpy(found, e->d_name);
			hit = SC(fstatat)(dirfd, e->d_name, st,
			    AT_SYMLINK_NOFOLLOW) == 0;
		}
	}
	SC(closedir)(d);
	return hit;
}

int
plat_check_system(const char *system_root, char *why, size_t size)
{
	char real[PATH_BYTES], found[COMPONENT_BYTES];
	struct stat st;
	int fd, r;

	why[0] = '\0';
	if (system_root == NULL || system_root[0] == '\0')
		return 0;
	/* Its letter case is Windows' too: "Windows" names a WINDOWS folder,
	 * as every path composed from it does. */
	if (winpath_resolve(system_root, real, sizeof(real)) == 1)
		system_root = real;
	/* SystemRoot itself is the user's word: a link there is followed. */
	if (SC(stat)(system_root, &st) != 0) {
		if (errno == ENOENT || errno == ENOTDIR)
			snprintf(why, size, "no such folder");
		else
			say_errno(errno, "cannot be read", why, size);
		return 0;
	}
	if (!S_ISDIR(st.st_mode)) {
		snprintf(why, size, "not a folder");
		return 0;
	}
	if ((fd = SC(open)(system_root, O_RDONLY | O_DIRECTORY | O_CLOEXEC,
	    0)) < 0) {
		say_errno(errno, "cannot be listed", why, size);
		return 0;
	}
	r = find_folded(fd, "System32", &st, found);
	if (r < 0)
		say_errno(errno, "cannot be listed", why, size);
	SC(close)(fd);
	if (r < 0)
		return 0;
	if (r == 0 || S_ISLNK(st.st_mode) || !S_ISDIR(st.st_mode)) {
		snprintf(why, size, r > 0 && S_ISLNK(st.st_mode) ?
		    "its System32 is a symbolic link, not followed" :
		    "no System32 folder found");
		return 0;
	}
	return 1;
}

/* Reads every name of the open folder FD (closed here).  0 or errno. */
static int
list_all(int fd)
{
	DIR *d = SC(fdopendir)(fd);
	int err = 0;

	if (d == NULL) {
		err = errno;
		SC(close)(fd);
		return err;
	}
	for (;;) {
		errno = 0;
		if (SC(readdir)(d) == NULL) {
			err = errno;
			break;
		}
	}
	SC(closedir)(d);
	return err;
}

/* Says in WHY and WHERE (the folder's path) that the folder at PATH,
 * LEN bytes of it, on the way to a scanned folder, stopped the look:
 * it is a link (LINK), or it cannot be listed (errno E).  -1. */
static int
stopped_at(const char *path, size_t len, int link, int e, char *why,
    size_t size, char *where, size_t where_size)
{
	snprintf(where, where_size, "%.*s", (int)len, path);
	if (link)
		snprintf(why, size, "a symbolic link, not followed");
	else
		say_errno(e, "cannot be listed", why, size);
	return -1;
}

/* Walks REAL, a folder's path as winpath_resolve gave it for a folder
 * it did not reach, down from the Windows folder it begins with (ROOT
 * bytes of it, open as FD, which is closed here), to tell why.  0: a
 * folder on the way is simply not there; -1: one is a link or cannot
 * be listed, WHY and WHERE say which. */
static int
why_not_reached(const char *real, size_t root, int fd, char *why,
    size_t size, char *where, size_t where_size)
{
	char name[COMPONENT_BYTES], found[COMPONENT_BYTES];
	size_t at = root, len;
	struct stat st;
	int r = 0, next;

	while (real[at] == '/' && r == 0) {
		at++;
		len = strcspn(real + at, "/");
		if (len == 0 || len >= sizeof(name))
			break;
		memcpy(name, real + at, len);
		name[len] = '\0';
		if ((next = find_folded(fd, name, &st, found)) < 0)
			r = stopped_at(real, at - 1, 0, errno, why, size, where,
			    where_size);
		else if (next == 0 || (!S_ISDIR(st.st_mode) &&
		    !S_ISLNK(st.st_mode)))
			break;
		else if (S_ISLNK(st.st_mode))
			r = stopped_at(real, at + len, 1, 0, why, size, where,
			    where_size);
		else if ((next = SC(openat)(fd, found, O_RDONLY | O_DIRECTORY |
		    O_NOFOLLOW | O_CLOEXEC, 0)) < 0) {
			/* Gone since the look: simply not there. */
			if (errno == ENOENT || errno == ENOTDIR)
				break;
			r = stopped_at(real, at + len, errno == ELOOP, errno,
			    why, size, where, where_size);
		} else {
			SC(close)(fd);
			fd = next;
		}
		at += len;
	}
	SC(close)(fd);
	return r;
}

/* DIR was not reached (winpath gave 0): -1 when a folder on the way
 * below SystemRoot is a link or cannot be listed, else 0. */
static int
check_way(const char *dir, char *why, size_t size, char *where,
    size_t where_size)
{
	char real_root[PATH_BYTES], real[PATH_BYTES];
	const char *root = plat_system_root(NULL);
	size_t n;
	int fd;

	if (root[0] == '\0' ||
	    winpath_resolve(root, real_root, sizeof(real_root)) != 1 ||
	    (winpath_resolve(dir, real, sizeof(real)) < 0 &&
	    errno == ENAMETOOLONG))
		return 0;
	n = strlen(real_root);
	while (n > 1 && real_root[n - 1] == '/')
		n--;
	if (strncmp(real, real_root, n) != 0 || real[n] != '/')
		return 0;
	/* SystemRoot is the user's word: a link there is followed. */
	if ((fd = SC(open)(real_root, O_RDONLY | O_DIRECTORY | O_CLOEXEC,
	    0)) < 0)
		return 0;
	return why_not_reached(real, n, fd, why, size, where, where_size);
}

int
plat_check_folder(const char *dir, char *why, size_t size, char *where,
    size_t where_size)
{
	char real[PATH_BYTES];
	struct stat st;
	size_t leaf;
	int dirfd, fd, r, err;

	why[0] = '\0';
	snprintf(where, where_size, "%s", dir);
	r = winpath_open_at(dir, real, sizeof(real), &dirfd, &leaf);
	if (r < 0 && errno == ENAMETOOLONG) {
		snprintf(why, size, "path too long");
		return -1;
	}
	if (r <= 0) {
		/* Not reached: a folder on the way may be why. */
		err = errno;
		if (check_way(dir, why, size, where, where_size) < 0)
			return -1;
		if (r == 0)
			return 0;
		say_errno(err, "cannot be listed", why, size);
		return -1;
	}
	snprintf(where, where_size, "%s", real);
	if (SC(fstatat)(dirfd, real + leaf, &st, AT_SYMLINK_NOFOLLOW) != 0) {
		SC(close)(dirfd);
		return 0;
	}
	if (S_ISLNK(st.st_mode) || !S_ISDIR(st.st_mode)) {
		SC(close)(dirfd);
		snprintf(why, size, S_ISLNK(st.st_mode) ?
		    "a symbolic link, not followed" : "not a folder");
		return -1;
	}
	fd = SC(openat)(dirfd, real + leaf, O_RDONLY | O_DIRECTORY | O_CLOEXEC |
	    O_NOFOLLOW, 0);
	err = fd < 0 ? errno : list_all(fd);
	SC(close)(dirfd);
	if (err == 0)
		return 1;
	say_errno(err, "cannot be listed", why, size);
	return -1;
}

int
plat_link_not_followed(char *out, size_t size)
{
	return winpath_next_told(out, size);
}
