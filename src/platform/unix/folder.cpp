/*
 * folder.cpp (Linux) - removing a folder tree of the offline installation.
 *
 * The tree is removed through folder descriptors (openat, unlinkat),
 * never through a link: a link inside the tree is removed as a link, and
 * a folder renamed or swapped for a link while we work cannot lead us
 * outside the tree.  Nothing is printed; the result and errno tell what
 * happened.
 */
#include "platform/platform.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/crt_errno.h"
#include "platform/unix/errmap.h"
#include "platform/unix/syscalls.h"
#include "platform/unix/winpath.h"

/* Deeper than a Windows path of MAX_PATH can reach; each level holds a
 * descriptor open. */
#define TREE_DEPTH_MAX 160

/* Listings of one folder, for file systems that skip entries of a folder
 * changed while it is listed. */
#define LIST_PASSES_MAX 4

static int remove_entry(int parent, const char *name, int depth, dev_t dev);

/* The Linux errno of the first failure of the removal under way: the
 * entry that stayed first is the one worth reporting. */
static int g_first_errno;

/* Notes errno as the cause of a failure, unless one is noted already.
 * Returns -1. */
static int
failed(void)
{
	if (g_first_errno == 0)
		g_first_errno = errno != 0 ? errno : EINVAL;
	return -1;
}

/* Removes every entry of the open folder FD, which it closes.
 * 1: all went; -1: something stayed. */
static int
remove_entries(int fd, int depth, dev_t dev)
{
	struct dirent *e;
	DIR *d;
	int removed, result = 1;

	if ((d = SC(fdopendir)(fd)) == NULL) {
		failed();
		SC(close)(fd);
		return -1;
	}
	for (int pass = 0; pass < LIST_PASSES_MAX; pass++) {
		rewinddir(d);
		removed = 0;
		result = 1;
		for (;;) {
			errno = 0;
			if ((e = SC(readdir)(d)) == NULL) {
				if (errno != 0)
					result = failed();
				break;
			}
			if (strcmp(e->d_name, ".") == 0 ||
			    strcmp(e->d_name, "..") == 0)
				continue;
			if (remove_entry(dirfd(d), e->d_name, depth, dev) > 0)
				removed++;
			else
				result = -1;
		}
		if (removed == 0)
			break;
	}
	SC(closedir)(d);
	return result;
}

/* Removes NAME from the open folder PARENT: a folder with all below it,
 * anything else, a link included, alone.  A folder of another file system
 * (a mount) is not entered.  1: gone; -1: something stayed. */
static int
remove_entry(int parent, const char *name, int depth, dev_t dev)
{
	struct stat st;
	int fd;

	if (SC(fstatat)(parent, name, &st, AT_SYMLINK_NOFOLLOW) < 0)
		return errno == ENOENT ? 1 : failed();
	if (!S_ISDIR(st.st_mode))
		return SC(unlinkat)(parent, name, 0) == 0 || errno == ENOENT ? 1 :
		    failed();
	if (st.st_dev != dev) {
		errno = EBUSY;
		return failed();
	}
	if (depth >= TREE_DEPTH_MAX) {
		errno = EINVAL;
		return failed();
	}
	fd = SC(openat)(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW |
	    O_CLOEXEC, 0);
	if (fd < 0) {
		/* Swapped for a link or a file since the fstatat: it goes
		 * as what it is now. */
		if (errno == ELOOP || errno == ENOTDIR)
			return SC(unlinkat)(parent, name, 0) == 0 ? 1 : failed();
		return errno == ENOENT ? 1 : failed();
	}
	if (remove_entries(fd, depth + 1, dev) < 0)
		return -1;
	return SC(unlinkat)(parent, name, AT_REMOVEDIR) == 0 || errno == ENOENT ?
	    1 : failed();
}

/* Splits the resolved PATH into its folder, copied to PARENT, and its
 * last name.  Returns the last name, or NULL when PATH names no folder
 * that may go: the root, "." or "..". */
static const char *
split_last(const char *path, char *parent, size_t size)
{
	const char *slash = strrchr(path, '/'), *name;
	size_t len;

	if (slash == NULL) {
		strcpy(parent, ".");
		name = path;
	} else {
		len = slash == path ? 1 : (size_t)(slash - path);
		if (len >= size)
			return NULL;
		memcpy(parent, path, len);
		parent[len] = '\0';
		name = slash + 1;
	}
	if (name[0] == '\0' || strcmp(name, ".") == 0 ||
	    strcmp(name, "..") == 0)
		return NULL;
	return name;
}

/* Removes the folder at the resolved PATH and everything below it; a link
 * there goes alone.  1: removed; 0: nothing there; -1: failed, the cause
 * noted. */
static int
remove_folder(const char *path)
{
	char parent[PATH_MAX];
	const char *name;
	struct stat st;
	int pfd, result;

	if ((name = split_last(path, parent, sizeof(parent))) == NULL) {
		errno = EINVAL;
		return failed();
	}
	pfd = SC(open)(parent, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
	if (pfd < 0)
		return errno == ENOENT ? 0 : failed();
	if (SC(fstatat)(pfd, name, &st, AT_SYMLINK_NOFOLLOW) < 0)
		result = errno == ENOENT ? 0 : failed();
	else if (S_ISLNK(st.st_mode))
		result = SC(unlinkat)(pfd, name, 0) == 0 ? 1 : failed();
	else if (!S_ISDIR(st.st_mode)) {
		errno = EINVAL;		/* a file is no folder to remove */
		result = failed();
	} else
		result = remove_entry(pfd, name, 0, st.st_dev);
	SC(close)(pfd);
	return result;
}

/* 1 when the last component of PATH is "." or "..": such a path names
 * the folder itself or the one above, never a folder below. */
static int
names_no_folder_below(const char *path)
{
	const char *last = path;

	for (const char *p = path; *p != '\0'; p++) {
		if (*p == '\\' || *p == '/')
			last = p + 1;
	}
	return strcmp(last, ".") == 0 || strcmp(last, "..") == 0;
}

int
plat_remove_folder(const char *path)
{
	char real[PATH_MAX];
	int r;

	g_first_errno = 0;
	if (path == NULL || path[0] == '\0' || names_no_folder_below(path)) {
		errno = CRT_EINVAL;
		return -1;
	}
	r = winpath_resolve(path, real, sizeof(real));
	if (r == 0)
		return 0;
	if (r < 0) {
		errno = CRT_EINVAL;
		return -1;
	}
	if ((r = remove_folder(real)) < 0) {
		/* rmdir may say EEXIST for a folder that is not empty. */
		errno = errno_from_unix_error(g_first_errno == EEXIST ?
		    ENOTEMPTY : g_first_errno);
	}
	return r;
}

/* An offline installation has no restart of its own to hand files to:
 * the removal above never leaves a file for one. */
int
plat_remove_in_use_at_restart(void)
{
	return 1;
}
