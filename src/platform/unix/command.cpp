/*
 * command.cpp (Linux) - the one command the program hands to Windows'
 * command interpreter, "rmdir /s /q PATH", carried out in-process.
 *
 * No shell is run.  The folder tree is removed through folder descriptors
 * (openat, unlinkat), never through a link: a link inside the tree is
 * removed as a link, and a folder renamed or swapped for a link while we
 * work cannot lead us outside the tree.  Nothing is printed; the exit code
 * tells what happened.
 */
#include "platform/platform.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/ascii.h"
#include "platform/unix/syscalls.h"
#include "platform/unix/winpath.h"

/* Exit codes of the interpreter's rmdir. */
#define RD_DONE 0
#define RD_FAILED 1
#define RD_NOT_FOUND 2

/* Deeper than a Windows path of MAX_PATH can reach; each level holds a
 * descriptor open. */
#define TREE_DEPTH_MAX 160

/* Listings of one folder, for file systems that skip entries of a folder
 * changed while it is listed. */
#define LIST_PASSES_MAX 4

static int remove_entry(int parent, const char *name, int depth, dev_t dev);

static const char *
skip_blanks(const char *p)
{
	while (*p == ' ' || *p == '\t')
		p++;
	return p;
}

/* When P starts with WORD (ASCII letters folded) and a blank, the text
 * after the blanks; else NULL. */
static const char *
take_word(const char *p, const char *word)
{
	if (!ascii_starts_with(p, word))
		return NULL;
	p += strlen(word);
	if (*p != ' ' && *p != '\t')
		return NULL;
	return skip_blanks(p);
}

/* Copies PATH of "rmdir /s /q PATH" (PATH bare to the end of the line, or
 * in double quotes) into OUT of SIZE bytes.
 * 1: understood; -1: any other command line. */
static int
parse_rmdir(const char *cmdline, char *out, size_t size)
{
	const char *p = skip_blanks(cmdline), *end;
	size_t len;

	if ((p = take_word(p, "rmdir")) == NULL ||
	    (p = take_word(p, "/s")) == NULL ||
	    (p = take_word(p, "/q")) == NULL)
		return -1;
	if (*p == '"') {
		p++;
		if ((end = strchr(p, '"')) == NULL ||
		    *skip_blanks(end + 1) != '\0')
			return -1;
	} else {
		/* The interpreter would act on these itself, or split the
		 * line, rather than take them as part of a folder name. */
		if (strpbrk(p, "\"&|<>^") != NULL)
			return -1;
		end = p + strlen(p);
		while (end > p && (end[-1] == ' ' || end[-1] == '\t'))
			end--;
	}
	len = (size_t)(end - p);
	/* %NAME% would be expanded before rmdir saw it. */
	if (len == 0 || len >= size || memchr(p, '%', len) != NULL)
		return -1;
	memcpy(out, p, len);
	out[len] = '\0';
	return 1;
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
					result = -1;
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
		return errno == ENOENT ? 1 : -1;
	if (!S_ISDIR(st.st_mode))
		return SC(unlinkat)(parent, name, 0) == 0 || errno == ENOENT ? 1 :
		    -1;
	if (st.st_dev != dev || depth >= TREE_DEPTH_MAX)
		return -1;
	fd = SC(openat)(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW |
	    O_CLOEXEC, 0);
	if (fd < 0) {
		/* Swapped for a link or a file since the fstatat: it goes
		 * as what it is now. */
		if (errno == ELOOP || errno == ENOTDIR)
			return SC(unlinkat)(parent, name, 0) == 0 ? 1 : -1;
		return errno == ENOENT ? 1 : -1;
	}
	if (remove_entries(fd, depth + 1, dev) < 0)
		return -1;
	return SC(unlinkat)(parent, name, AT_REMOVEDIR) == 0 ||
	    errno == ENOENT ? 1 : -1;
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
 * there goes alone.  Returns an rmdir exit code. */
static int
remove_folder(const char *path)
{
	char parent[PATH_MAX];
	const char *name;
	struct stat st;
	int pfd, result;

	if ((name = split_last(path, parent, sizeof(parent))) == NULL)
		return RD_FAILED;
	pfd = SC(open)(parent, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
	if (pfd < 0)
		return errno == ENOENT ? RD_NOT_FOUND : RD_FAILED;
	if (SC(fstatat)(pfd, name, &st, AT_SYMLINK_NOFOLLOW) < 0)
		result = errno == ENOENT ? RD_NOT_FOUND : RD_FAILED;
	else if (S_ISLNK(st.st_mode))
		result = SC(unlinkat)(pfd, name, 0) == 0 ? RD_DONE : RD_FAILED;
	else if (!S_ISDIR(st.st_mode))
		result = RD_FAILED;	/* rmdir takes no file */
	else
		result = remove_entry(pfd, name, 0, st.st_dev) > 0 ? RD_DONE :
		    RD_FAILED;
	SC(close)(pfd);
	return result;
}

int
plat_system(const char *cmdline)
{
	char path[PATH_MAX], real[PATH_MAX];
	int r;

	if (cmdline == NULL || parse_rmdir(cmdline, path, sizeof(path)) < 0)
		return -1;
	r = winpath_resolve(path, real, sizeof(real));
	if (r <= 0)
		return RD_NOT_FOUND;
	return remove_folder(real);
}
