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

/* Puts the reason for the errno E in WHY: permission apart, its number. */
static void
say_errno(int e, const char *what, char *why, size_t size)
{
	if (e == EACCES || e == EPERM)
		snprintf(why, size, "%s: access denied", what);
	else
		snprintf(why, size, "%s (error %d)", what, e);
}

/* Looks in the open folder DIRFD for an entry named NAME in any letter
 * case, without following a link.  1: *ST tells what it is; 0: none;
 * -1: the folder cannot be listed, errno set. */
static int
find_folded(int dirfd, const char *name, struct stat *st)
{
	struct dirent *e;
	DIR *d;
	int fd, hit = 0;

	if ((fd = SC(openat)(dirfd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC,
	    0)) < 0)
		return -1;
	if ((d = SC(fdopendir)(fd)) == NULL) {
		SC(close)(fd);
		return -1;
	}
	while (!hit && (e = SC(readdir)(d)) != NULL) {
		if (ascii_equal(e->d_name, name))
			hit = SC(fstatat)(dirfd, e->d_name, st, AT_SYMLINK_NOFOLLOW) == 0;
	}
	SC(closedir)(d);
	return hit;
}

int
plat_check_system(const char *system_root, char *why, size_t size)
{
	struct stat st;
	int fd, r;

	char real[PATH_BYTES];

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
	r = find_folded(fd, "System32", &st);
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

int
plat_check_folder(const char *dir, char *why, size_t size)
{
	char real[PATH_BYTES];
	struct stat st;
	size_t leaf;
	int dirfd, fd, r, err;

	why[0] = '\0';
	/* Missing, or below a link that the walk names itself. */
	if ((r = winpath_open_at(dir, real, sizeof(real), &dirfd, &leaf)) < 0)
		snprintf(why, size, "path too long");
	if (r != 1)
		return r;
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
