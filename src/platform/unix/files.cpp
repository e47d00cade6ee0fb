/*
 * files.cpp (Linux) - reading and deleting the files of an offline
 * Windows installation the way Windows' C run-time does.
 *
 * Paths are resolved without regard to case, and no link below
 * SystemRoot is followed (winpath.h); a file that is a link is there, can
 * be deleted as a link, and reads as empty.  Files are read as stored.
 * Deleting answers with the run-time's errno numbers, and keeps a
 * read-only file as Windows does.
 */
#include "platform/platform.h"

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

#define FILE_SLOTS 4
#define READ_BUF 4096

struct plat_file {
	int used;	/* 0: the slot is free */
	int fd;
	int at_end;	/* end of file or a read error: sticky */
	int failed;	/* a read error */
	size_t pos, len;
	unsigned char buf[READ_BUF];
};

/* The program holds one file open at a time, two at most. */
static struct plat_file g_files[FILE_SLOTS];

static struct plat_file *
free_slot(void)
{
	for (int i = 0; i < FILE_SLOTS; i++) {
		if (!g_files[i].used)
			return &g_files[i];
	}
	return NULL;
}

/* 1 when F is an open file of the pool. */
static int
is_open(const struct plat_file *f)
{
	return f != NULL && f >= g_files && f < g_files + FILE_SLOTS &&
	    f->used;
}

/* Takes a free slot for FD (-1: a link, which reads as an empty file). */
static plat_file *
take_slot(struct plat_file *f, int fd)
{
	f->used = 1;
	f->fd = fd;
	f->at_end = fd < 0;
	f->failed = 0;
	f->pos = 0;
	f->len = 0;
	return f;
}

plat_file *
plat_fopen(const char *path)
{
	char real[PATH_MAX];
	struct plat_file *f;
	struct stat st;
	int dirfd, fd;
	size_t leaf;

	if (path == NULL ||
	    winpath_open_at(path, real, sizeof(real), &dirfd, &leaf) <= 0) {
		errno = CRT_ENOENT;
		return NULL;
	}
	if ((f = free_slot()) == NULL) {
		SC(close)(dirfd);
		errno = CRT_EMFILE;
		return NULL;
	}
	/* Non-blocking, so a FIFO planted in the tree cannot hang the open;
	 * it is refused below with every other non-file.  A link is there,
	 * and goes when deleted, but what it names is not ours to read. */
	fd = SC(openat)(dirfd, real + leaf, O_RDONLY | O_CLOEXEC | O_NOCTTY |
	    O_NONBLOCK | O_NOFOLLOW, 0);
	if (fd < 0 && errno == ELOOP) {
		SC(close)(dirfd);
		return take_slot(f, -1);
	}
	SC(close)(dirfd);
	if (fd < 0) {
		errno = errno_from_unix_error(errno);
		return NULL;
	}
	if (SC(fstat)(fd, &st) < 0 || !S_ISREG(st.st_mode)) {
		SC(close)(fd);
		errno = CRT_EACCES;
		return NULL;
	}
	return take_slot(f, fd);
}

/* Refills the buffer.  1: bytes are there; -1: end of file or error. */
static int
fill(struct plat_file *f)
{
	ssize_t n;

	if (f->at_end)
		return -1;
	do
		n = SC(read)(f->fd, f->buf, sizeof(f->buf));
	while (n < 0 && errno == EINTR);
	if (n <= 0) {
		f->at_end = 1;
		f->failed = n < 0;
		return -1;
	}
	f->pos = 0;
	f->len = (size_t)n;
	return 1;
}

void
plat_fclose(plat_file *f)
{
	if (!is_open(f))
		return;
	if (f->fd >= 0)
		SC(close)(f->fd);
	f->used = 0;
	f->fd = -1;
}

static int
remove_failed(int crt_errno_value)
{
	errno = crt_errno_value;
	return -1;
}

/* Deletes the entry at PATH, a folder excepted.  0, or -1 with errno set
 * (the C run-time's). */
static int
remove_entry(const char *path)
{
	char real[PATH_MAX];
	struct stat st;
	size_t leaf;
	int dirfd, rc;

	/* Too long a path is "not found" on Windows too. */
	if (path == NULL ||
	    winpath_open_at(path, real, sizeof(real), &dirfd, &leaf) <= 0)
		return remove_failed(CRT_ENOENT);
	if (SC(fstatat)(dirfd, real + leaf, &st, AT_SYMLINK_NOFOLLOW) < 0)
		rc = errno_from_unix_error(errno);
	else if (S_ISDIR(st.st_mode))
		rc = CRT_EACCES;
	/* Linux asks only the folder; Windows keeps a read-only file. */
	else if (!S_ISLNK(st.st_mode) && (st.st_mode & 0222) == 0)
		rc = CRT_EACCES;
	else if (SC(unlinkat)(dirfd, real + leaf, 0) < 0)
		rc = errno_from_unix_error(errno);
	else
		rc = 0;
	SC(close)(dirfd);
	return rc == 0 ? 0 : remove_failed(rc);
}

int
plat_fread(void *buf, int size, plat_file *f)
{
	unsigned char *out = (unsigned char *)buf;
	int n = 0;

	if (buf == NULL || size <= 0 || !is_open(f))
		return -1;
	while (n < size) {
		if (f->pos == f->len && fill(f) < 0)
			break;
		size_t take = f->len - f->pos;
		if (take > (size_t)(size - n))
			take = (size_t)(size - n);
		memcpy(out + n, f->buf + f->pos, take);
		f->pos += take;
		n += (int)take;
	}
	/* Bytes read before an error are given first; the error comes with
	 * the next call. */
	return n == 0 && f->failed ? -1 : n;
}

int
plat_file_present(const char *path)
{
	char real[PATH_MAX];
	struct stat st;
	size_t leaf;
	int dirfd, r;

	/* A path that cannot be resolved names nothing Windows would find
	 * either; a folder on the way that cannot be searched is the
	 * folder check's to name. */
	if (path == NULL ||
	    winpath_open_at(path, real, sizeof(real), &dirfd, &leaf) <= 0)
		return 0;
	if (SC(fstatat)(dirfd, real + leaf, &st, AT_SYMLINK_NOFOLLOW) < 0) {
		r = errno == ENOENT ? 0 : -1;
		if (r < 0)
			errno = errno_from_unix_error(errno);
	} else {
		r = S_ISDIR(st.st_mode) ? 0 : 1;
	}
	SC(close)(dirfd);
	return r;
}

int
plat_remove_file(const char *path)
{
	/* No restart to wait for: a file that cannot go now stays. */
	if (remove_entry(path) == 0)
		return 1;
	return errno == CRT_ENOENT ? 0 : -1;
}
