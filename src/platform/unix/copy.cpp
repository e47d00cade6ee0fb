/*
 * copy.cpp (Linux) - what a run's backup needs: the time, the place, a
 * new folder, and copies of files and folder trees of the offline
 * installation.
 *
 * A source is reached as every path below SystemRoot is (winpath.h): no
 * link on the way is followed.  Inside a copied tree each folder is
 * entered through the descriptor of the one above it; a link is copied
 * as a link (its text, never what it names), and FIFOs, devices and
 * sockets are passed over.  Every copy is synced before the call returns:
 * the removal that follows must not outrun it.
 */
#include "platform/platform.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "platform/unix/errmap.h"
#include "platform/unix/syscalls.h"
#include "platform/unix/winpath.h"

/* Deeper than any tree the driver store holds; each level holds a
 * descriptor open. */
#define TREE_DEPTH_MAX 160
#define COPY_BUF 16384

/* Sets errno to the run-time's number for the Linux errno E.  -1. */
static int
fail(int e)
{
	errno = errno_from_unix_error(e);
	return -1;
}

int
plat_local_time(int t[6])
{
	time_t now = time(NULL);
	struct tm tm;

	memset(t, 0, 6 * sizeof(int));
	if (now == (time_t)-1 || localtime_r(&now, &tm) == NULL)
		return -1;
	t[0] = tm.tm_year + 1900;
	t[1] = tm.tm_mon + 1;
	t[2] = tm.tm_mday;
	t[3] = tm.tm_hour;
	t[4] = tm.tm_min;
	t[5] = tm.tm_sec;
	return 1;
}

/* 1 when the folder DIR lies in the folder ROOT or is ROOT (both real
 * paths), 0 otherwise. */
static int
is_inside(const char *dir, const char *root)
{
	size_t n = strlen(root);

	if (n == 1 && root[0] == '/')
		return 1;
	return strncmp(dir, root, n) == 0 && (dir[n] == '\0' || dir[n] == '/');
}

/* The current folder, unless it lies in the offline Windows folder: a
 * backup there would sit on the disk being cleaned, and its copies
 * would be found by the next run's scans. */
int
plat_backup_place(int index, char *out, size_t size)
{
	char cwd[PATH_MAX], root[PATH_MAX], real_root[PATH_MAX];
	size_t n;

	if (size > 0)
		out[0] = '\0';
	if (index != 0 || getcwd(cwd, sizeof(cwd)) == NULL)
		return 0;
	if (plat_getenv("SystemRoot", root, sizeof(root)) == 1 &&
	    root[0] != '\0' && realpath(root, real_root) != NULL &&
	    is_inside(cwd, real_root))
		return 0;
	n = strlen(cwd);
	if (n + 2 > size)
		return 0;
	memcpy(out, cwd, n);
	if (n == 0 || cwd[n - 1] != '/')
		out[n++] = '/';
	out[n] = '\0';
	return 1;
}

int
plat_make_folder(const char *path)
{
	if (SC(mkdir)(path, 0700) == 0)
		return 1;
	return errno == EEXIST ? 0 : fail(errno);
}

int
plat_disk_path(const char *path, char *out, size_t size)
{
	return winpath_resolve(path, out, size);
}

/* Copies the regular file open as IN into the new file NAME of the
 * folder DIRFD, synced.  0, or -1 with the Linux errno left in errno. */
static int
copy_contents(int in, int dirfd, const char *name, mode_t mode)
{
	char buf[COPY_BUF];
	ssize_t n;
	int out, e = 0;

	out = SC(openat)(dirfd, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC |
	    O_NOFOLLOW, mode & 0777);
	if (out < 0)
		return -1;
	while (e == 0 && (n = SC(read)(in, buf, sizeof(buf))) != 0) {
		if (n < 0)
			e = errno == EINTR ? 0 : errno;
		else if (sys_write_all(out, buf, (size_t)n) < 0)
			e = errno;
	}
	if (e == 0 && SC(fsync)(out) != 0)
		e = errno;
	if (SC(close)(out) != 0 && e == 0)
		e = errno;
	if (e != 0) {
		SC(unlinkat)(dirfd, name, 0);
		errno = e;
		return -1;
	}
	return 0;
}

/* Copies the link NAME of SRCDIR as a link NAME of DSTDIR.  0 or -1. */
static int
copy_link(int srcdir, const char *name, int dstdir)
{
	char target[PATH_MAX];
	ssize_t n = SC(readlinkat)(srcdir, name, target, sizeof(target) - 1);

	if (n < 0)
		return -1;
	target[n] = '\0';
	return SC(symlinkat)(target, dstdir, name);
}

static int copy_entry(int srcdir, const char *name, int dstdir,
    const char *dstname, int depth, dev_t dev);

/* Copies every entry of the open folder SRC (which it closes) into the
 * open folder DST.  0, or -1 with the Linux errno in errno. */
static int
copy_entries(int src, int dst, int depth, dev_t dev)
{
	struct dirent *e;
	DIR *d;
	int rc = 0;

	if ((d = SC(fdopendir)(src)) == NULL) {
		SC(close)(src);
		return -1;
	}
	for (;;) {
		errno = 0;
		if ((e = SC(readdir)(d)) == NULL) {
			if (errno != 0)
				rc = -1;
			break;
		}
		if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0)
			continue;
		if (copy_entry(dirfd(d), e->d_name, dst, e->d_name, depth,
		    dev) != 0) {
			rc = -1;
			break;
		}
	}
	{
		int saved = errno;
		SC(closedir)(d);
		errno = saved;
	}
	return rc;
}

/* Copies NAME of the open folder SRCDIR to DSTNAME of DSTDIR: a file by
 * its bytes, a link as a link, a folder of the same file system with all
 * below it.  0, or -1 with the Linux errno in errno. */
static int
copy_entry(int srcdir, const char *name, int dstdir, const char *dstname,
    int depth, dev_t dev)
{
	struct stat st;
	int in, out, rc;

	if (SC(fstatat)(srcdir, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
		return -1;
	if (S_ISLNK(st.st_mode))
		return copy_link(srcdir, name, dstdir);
	if (S_ISREG(st.st_mode)) {
		in = SC(openat)(srcdir, name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW |
		    O_NONBLOCK | O_NOCTTY, 0);
		if (in < 0)
			return -1;
		rc = copy_contents(in, dstdir, dstname, st.st_mode);
		SC(close)(in);
		return rc;
	}
	/* A mount inside the tree is not the item's; the removal does not
	 * enter it either. */
	if (!S_ISDIR(st.st_mode) || st.st_dev != dev)
		return 0;
	if (depth >= TREE_DEPTH_MAX) {
		errno = EINVAL;
		return -1;
	}
	if (SC(mkdirat)(dstdir, dstname, 0700) != 0)
		return -1;
	if ((out = SC(openat)(dstdir, dstname, O_RDONLY | O_DIRECTORY |
	    O_NOFOLLOW | O_CLOEXEC, 0)) < 0)
		return -1;
	in = SC(openat)(srcdir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW |
	    O_CLOEXEC, 0);
	rc = in < 0 ? -1 : copy_entries(in, out, depth + 1, dev);
	if (rc == 0 && SC(fsync)(out) != 0 && errno != EINVAL)
		rc = -1;
	{
		int saved = errno;
		SC(close)(out);
		errno = saved;
	}
	return rc;
}

/* Copies the entry PATH (a Windows path) to the new entry DST.  FOLDER
 * says which kind the caller wants.  1, 0 or -1 as plat_copy. */
int
plat_copy(const char *path, const char *dst, int folder)
{
	char real[PATH_MAX], dstdir_path[PATH_MAX];
	const char *slash, *dstname;
	struct stat st;
	size_t leaf, n;
	int srcdir, dstdir, r, rc;

	if (path == NULL || dst == NULL)
		return fail(EINVAL);
	r = winpath_open_at(path, real, sizeof(real), &srcdir, &leaf);
	if (r == 0)
		return 0;
	if (r < 0)
		return fail(ENAMETOOLONG);
	slash = strrchr(dst, '/');
	n = slash == NULL ? 1 : slash == dst ? 1 : (size_t)(slash - dst);
	dstname = slash == NULL ? dst : slash + 1;
	if (n >= sizeof(dstdir_path) || dstname[0] == '\0') {
		SC(close)(srcdir);
		return fail(EINVAL);
	}
	memcpy(dstdir_path, slash == NULL ? "." : dst, n);
	dstdir_path[n] = '\0';
	if ((dstdir = SC(open)(dstdir_path, O_RDONLY | O_DIRECTORY |
	    O_CLOEXEC, 0)) < 0) {
		SC(close)(srcdir);
		return fail(errno);
	}
	if (SC(fstatat)(srcdir, real + leaf, &st, AT_SYMLINK_NOFOLLOW) != 0)
		rc = -1;
	/* A link goes as a link, whatever it names. */
	else if (!S_ISLNK(st.st_mode) && S_ISDIR(st.st_mode) != folder) {
		errno = folder ? ENOTDIR : EISDIR;
		rc = -1;
	} else
		rc = copy_entry(srcdir, real + leaf, dstdir, dstname, 0,
		    st.st_dev);
	if (rc == 0 && SC(fsync)(dstdir) != 0 && errno != EINVAL)
		rc = -1;
	r = errno;
	SC(close)(srcdir);
	SC(close)(dstdir);
	return rc == 0 ? 1 : fail(r);
}
