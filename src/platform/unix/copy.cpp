/*
 * copy.cpp (Linux) - what a run's backup needs: the time, the place, a
 * new folder, and copies of files and folder trees of the offline
 * installation.
 *
 * A source is reached as every path below SystemRoot is (winpath.h): no
 * link on the way is followed.  Inside a copied tree each folder is
 * entered through the descriptor of the one above it; a link is copied
 * as a link (its text, never what it names).  A FIFO, a device or a
 * socket cannot be kept: the copy fails, and the item is not removed.
 * Files and folders keep their mode, owner (where the run may set it)
 * and extended attributes, so that a copy put back, or the backup
 * copied back with cp -a, leaves them as they were.  Every copy is
 * synced before the call returns: the removal that follows must not
 * outrun it.
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
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include "common/ascii.h"
#include "common/crt_errno.h"
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

/* Levels above the current folder looked at, more than any path has. */
#define LEVELS_MAX 1024

/* 1 when the current folder is the folder ROOT describes or lies below
 * it, 0 when not.  The folders from the current one up to / are told
 * apart by device and inode, not by name: a name may be spelled in
 * another letter case, or reach the folder through a link.  A folder
 * on the way that cannot be looked at counts as inside. */
static int
cwd_inside(const struct stat *root)
{
	char up[PATH_MAX] = ".";
	struct stat st, parent;
	size_t n = 1;

	if (SC(stat)(up, &st) != 0)
		return 1;
	for (int level = 0; level < LEVELS_MAX; level++) {
		if (st.st_dev == root->st_dev && st.st_ino == root->st_ino)
			return 1;
		if (n + 4 > sizeof(up))
			return 1;
		memcpy(up + n, "/..", 4);
		n += 3;
		if (SC(stat)(up, &parent) != 0)
			return 1;
		/* "/" is its own parent. */
		if (parent.st_dev == st.st_dev && parent.st_ino == st.st_ino)
			return 0;
		st = parent;
	}
	return 1;
}

/* The current folder, unless it lies in the offline Windows folder: a
 * backup there would sit on the disk being cleaned, and its copies
 * would be found by the next run's scans. */
int
plat_backup_place(int index, char *out, size_t size)
{
	char cwd[PATH_MAX], real_root[PATH_MAX];
	const char *root = plat_system_root(NULL);
	struct stat st;
	size_t n;

	if (size > 0)
		out[0] = '\0';
	if (index != 0 || getcwd(cwd, sizeof(cwd)) == NULL)
		return 0;
	/* SystemRoot as the disk spells it; a link there is the user's
	 * word, and followed. */
	if (root[0] != '\0' &&
	    winpath_resolve(root, real_root, sizeof(real_root)) == 1 &&
	    SC(stat)(real_root, &st) == 0 && cwd_inside(&st))
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


/* 1 when this process may give any file any mode and owner. */
static int
run_as_root(void)
{
	return geteuid() == 0;
}

/* Gives the extended attributes of the entry open as FROM to the one
 * open as TO, as far as TO's file system takes them: a copy on a file
 * system without them (FAT) is still a copy of the bytes. */
static void
copy_xattrs_best(int from, int to)
{
	char names[4096], value[4096];
	ssize_t n = SC(flistxattr)(from, names, sizeof(names)), v;

	for (ssize_t k = 0; k < n; k += (ssize_t)strlen(names + k) + 1) {
		v = SC(fgetxattr)(from, names + k, value, sizeof(value));
		if (v >= 0)
			(void)SC(fsetxattr)(to, names + k, value, (size_t)v, 0);
	}
}

/* Gives the entry open as TO the owner and mode of ST, and the extended
 * attributes of the entry open as FROM.  The owner goes where the run
 * may set it; a folder the run goes on writing into (OURS) stays
 * writable to a run that is not root. */
static void
keep_attrs(int from, int to, const struct stat *st, int ours)
{
	mode_t mode = st->st_mode & 07777;

	(void)SC(fchown)(to, st->st_uid, st->st_gid);
	if (ours && !run_as_root())
		mode |= S_IRWXU;
	/* After the owner: a new owner drops the set-id bits. */
	(void)SC(fchmod)(to, mode);
	copy_xattrs_best(from, to);
}

/* Opens the folder at the Windows path DIR, a link at its last name
 * followed only when FOLLOW (SystemRoot is the user's word).  The
 * descriptor, or -1. */
static int
open_folder(const char *dir, int follow)
{
	char real[PATH_MAX];
	size_t leaf;
	int dirfd, fd;

	if (winpath_open_at(dir, real, sizeof(real), &dirfd, &leaf) != 1) {
		errno = ENOENT;
		return -1;
	}
	fd = SC(openat)(dirfd, real + leaf, O_RDONLY | O_DIRECTORY | O_CLOEXEC |
	    (follow ? 0 : O_NOFOLLOW), 0);
	SC(close)(dirfd);
	return fd;
}

int
plat_make_folder_like(const char *path, const char *like)
{
	struct stat st;
	int r = plat_make_folder(path), to, from;

	if (r <= 0)
		return r;
	/* Made; what it is made like is as far as the original lets us
	 * see it. */
	if ((to = SC(open)(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW |
	    O_CLOEXEC, 0)) < 0)
		return 1;
	if ((from = open_folder(like, 1)) >= 0) {
		if (SC(fstat)(from, &st) == 0)
			keep_attrs(from, to, &st, 1);
		SC(close)(from);
	}
	SC(close)(to);
	return 1;
}

/* Copies the regular file open as IN, with the mode, owner and extended
 * attributes of ST, into the new file NAME of the folder DIRFD, synced.
 * 0, or -1 with the Linux errno left in errno. */
static int
copy_contents(int in, int dirfd, const char *name, const struct stat *st)
{
	char buf[COPY_BUF];
	ssize_t n;
	int out, e = 0;

	out = SC(openat)(dirfd, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC |
	    O_NOFOLLOW, 0600);
	if (out < 0)
		return -1;
	while (e == 0 && (n = SC(read)(in, buf, sizeof(buf))) != 0) {
		if (n < 0)
			e = errno == EINTR ? 0 : errno;
		else if (sys_write_all(out, buf, (size_t)n) < 0)
			e = errno;
	}
	if (e == 0)
		keep_attrs(in, out, st, 0);
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

/* Copies the link NAME of SRCDIR as a link DSTNAME of DSTDIR.  0 or -1. */
static int
copy_link(int srcdir, const char *name, int dstdir, const char *dstname)
{
	char target[PATH_MAX];
	ssize_t n = SC(readlinkat)(srcdir, name, target, sizeof(target) - 1);

	if (n < 0)
		return -1;
	target[n] = '\0';
	return SC(symlinkat)(target, dstdir, dstname);
}

/* One step of a walk over two trees: the entry NAME of the open folder
 * SRCDIR and the entry DSTNAME of DSTDIR. */
typedef int (*tree_step)(int srcdir, const char *name, int dstdir,
    const char *dstname, int depth, dev_t dev);

/* Calls STEP for every entry of the open folder SRC (which it closes),
 * with the same name in the open folder DST.  0, or -1 with the Linux
 * errno in errno at the first step that failed. */
static int
each_entry(int src, int dst, int depth, dev_t dev, tree_step step)
{
	struct dirent *e;
	DIR *d;
	int rc = 0, saved;

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
		if (step(dirfd(d), e->d_name, dst, e->d_name, depth, dev) != 0) {
			rc = -1;
			break;
		}
	}
	saved = errno;
	SC(closedir)(d);
	errno = saved;
	return rc;
}

/* Opens the folder NAME of DIRFD without following a link.  -1 or fd. */
static int
open_below(int dirfd, const char *name)
{
	return SC(openat)(dirfd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW |
	    O_CLOEXEC, 0);
}

/* Walks STEP over the folder NAME of SRCDIR and the folder DSTNAME of
 * DSTDIR, which both exist; gives the target the attributes of the
 * source afterwards when KEEP.  0, or -1 with the Linux errno. */
static int
walk_folders(int srcdir, const char *name, int dstdir, const char *dstname,
    int depth, dev_t dev, tree_step step, int keep)
{
	struct stat st;
	int in, out, rc, saved;

	if (depth >= TREE_DEPTH_MAX) {
		errno = EINVAL;
		return -1;
	}
	if ((out = open_below(dstdir, dstname)) < 0)
		return -1;
	in = open_below(srcdir, name);
	rc = in < 0 ? -1 : each_entry(SC(fcntl)(in, F_DUPFD_CLOEXEC, 0), out,
	    depth + 1, dev, step);
	if (rc == 0 && keep && SC(fstat)(in, &st) == 0)
		keep_attrs(in, out, &st, 0);
	if (rc == 0 && SC(fsync)(out) != 0 && errno != EINVAL)
		rc = -1;
	saved = errno;
	if (in >= 0)
		SC(close)(in);
	SC(close)(out);
	errno = saved;
	return rc;
}

/* Copies NAME of the open folder SRCDIR to DSTNAME of DSTDIR: a file by
 * its bytes, a link as a link, a folder of the same file system with all
 * below it; a folder of another file system is passed over.  0, or -1
 * with the Linux errno in errno (EINVAL: a FIFO, device or socket, which
 * the copy cannot keep). */
static int
copy_entry(int srcdir, const char *name, int dstdir, const char *dstname,
    int depth, dev_t dev)
{
	struct stat st;
	int in, rc;

	if (SC(fstatat)(srcdir, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
		return -1;
	if (S_ISLNK(st.st_mode))
		return copy_link(srcdir, name, dstdir, dstname);
	if (S_ISREG(st.st_mode)) {
		in = SC(openat)(srcdir, name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW |
		    O_NONBLOCK | O_NOCTTY, 0);
		if (in < 0)
			return -1;
		rc = copy_contents(in, dstdir, dstname, &st);
		SC(close)(in);
		return rc;
	}
	if (!S_ISDIR(st.st_mode)) {
		errno = EINVAL;
		return -1;
	}
	/* A mount inside the tree is not the item's; the removal does not
	 * enter it either. */
	if (st.st_dev != dev)
		return 0;
	if (SC(mkdirat)(dstdir, dstname, 0700) != 0)
		return -1;
	return walk_folders(srcdir, name, dstdir, dstname, depth, dev,
	    copy_entry, 1);
}

/* Puts back NAME of the open folder SRCDIR, a copy, as DSTNAME of
 * DSTDIR: copied whole when it is not there, entered when both are
 * folders, and left as it is when anything else is there.  0, or -1
 * with the Linux errno in errno. */
static int
put_back_entry(int srcdir, const char *name, int dstdir, const char *dstname,
    int depth, dev_t dev)
{
	struct stat src, dst;

	if (SC(fstatat)(dstdir, dstname, &dst, AT_SYMLINK_NOFOLLOW) != 0)
		return errno == ENOENT ? copy_entry(srcdir, name, dstdir,
		    dstname, depth, dev) : -1;
	if (SC(fstatat)(srcdir, name, &src, AT_SYMLINK_NOFOLLOW) != 0)
		return -1;
	if (!S_ISDIR(src.st_mode) || !S_ISDIR(dst.st_mode))
		return 0;
	return walk_folders(srcdir, name, dstdir, dstname, depth, dev,
	    put_back_entry, 0);
}

/* Opens the folder that holds the path P of this system (the current
 * folder for a bare name) and points *NAME at P's last name.  -1 or fd. */
static int
open_holder(const char *p, char *buf, size_t size, const char **name)
{
	const char *slash = strrchr(p, '/');
	size_t n = slash == NULL ? 1 : slash == p ? 1 : (size_t)(slash - p);

	*name = slash == NULL ? p : slash + 1;
	if (n >= size || (*name)[0] == '\0') {
		errno = EINVAL;
		return -1;
	}
	memcpy(buf, slash == NULL ? "." : p, n);
	buf[n] = '\0';
	return SC(open)(buf, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
}

/* Copies the entry PATH (a Windows path) to the new entry DST.  FOLDER
 * says which kind the caller wants.  1, 0 or -1 as plat_copy. */
int
plat_copy(const char *path, const char *dst, int folder)
{
	char real[PATH_MAX], dstdir_path[PATH_MAX];
	const char *dstname;
	struct stat st;
	size_t leaf;
	int srcdir, dstdir, r, rc;

	if (path == NULL || dst == NULL)
		return fail(EINVAL);
	r = winpath_open_at(path, real, sizeof(real), &srcdir, &leaf);
	if (r == 0)
		return 0;
	/* Not known to be there or not: no copy, so no removal. */
	if (r < 0)
		return fail(errno);
	if ((dstdir = open_holder(dst, dstdir_path, sizeof(dstdir_path),
	    &dstname)) < 0) {
		r = errno;
		SC(close)(srcdir);
		return fail(r);
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

/* The name PATH (a Windows path) ends with, in OUT: the one on the disk
 * when the entry is there, else NAME as given. */
static void
name_on_disk(const char *path, const char *name, char *out, size_t size)
{
	char real[PATH_MAX];
	const char *slash;

	if (winpath_resolve(path, real, sizeof(real)) == 1 &&
	    (slash = strrchr(real, '/')) != NULL && slash[1] != '\0')
		name = slash + 1;
	snprintf(out, size, "%s", name);
}

/* The last separator of the Windows path P ('\\' or '/'), or NULL. */
static const char *
last_sep(const char *p)
{
	const char *sep = NULL;

	for (; *p != '\0'; p++) {
		if (*p == '\\' || *p == '/')
			sep = p;
	}
	return sep;
}

int
plat_put_back(const char *copy, const char *path, int folder)
{
	char holder[PATH_MAX], parent[PATH_MAX], name[NAME_MAX + 1];
	const char *copy_name, *sep = path != NULL ? last_sep(path) : NULL;
	struct stat st;
	int src, dst = -1, rc, e;

	if (copy == NULL || sep == NULL || sep == path ||
	    (size_t)(sep - path) >= sizeof(parent))
		return fail(EINVAL);
	memcpy(parent, path, (size_t)(sep - path));
	parent[sep - path] = '\0';
	if ((src = open_holder(copy, holder, sizeof(holder), &copy_name)) < 0)
		return fail(errno);
	if (SC(fstatat)(src, copy_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
		e = errno;
	else if (!S_ISLNK(st.st_mode) && S_ISDIR(st.st_mode) != folder)
		e = folder ? ENOTDIR : EISDIR;
	else if ((dst = open_folder(parent, 0)) < 0)
		e = errno;
	if (dst < 0) {
		SC(close)(src);
		return fail(e);
	}
	/* Gone whole, it comes back under the name the disk gave it. */
	name_on_disk(path, copy_name, name, sizeof(name));
	rc = put_back_entry(src, copy_name, dst, name, 0, st.st_dev);
	if (rc == 0 && SC(fsync)(dst) != 0 && errno != EINVAL)
		rc = -1;
	e = errno;
	SC(close)(src);
	SC(close)(dst);
	return rc == 0 ? 1 : fail(e);
}

int
plat_name_held(const char *path)
{
	char real[PATH_MAX];
	const char *want, *have;
	int r;

	if (path == NULL || (r = winpath_resolve(path, real, sizeof(real))) < 0)
		return fail(EINVAL);
	if (r == 0)
		return 0;
	want = last_sep(path) != NULL ? last_sep(path) + 1 : path;
	have = strrchr(real, '/');
	have = have != NULL ? have + 1 : real;
	if (!ascii_equal(want, have))
		return fail(EINVAL);
	return 1;
}
