/*
 * hive_recover.cpp - the logs of a hive that Windows did not close
 * cleanly, read from the disk and applied to a copy of the hive in
 * memory (hive_recover.h).  Nothing on the disk changes here: the copy
 * reaches the disk only through the hive's next write, with the rest of
 * a change, after the hive and its logs went into the backup.
 */
#include "hive_recover.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include "common/bounded.h"
#include "hive_log.h"
#include "hivex_calls.h"
#include "platform/unix/syscalls.h"
#include "platform/unix/winpath.h"

/* The logs' names after the hive's, in the order of hive_log.h. */
static const char *const g_log_ends[LOG_FILES] = { ".LOG1", ".LOG2", ".LOG" };

/* Seconds from 1601, when a FILETIME starts, to 1970. */
#define FILETIME_1970 11644473600ull

/* Reads the file open as FD (ST its status) whole into a new buffer
 * *BUF of *SIZE bytes.  1, or -1 with errno set. */
static int
read_whole(int fd, const struct stat *st, unsigned char **buf, size_t *size)
{
	size_t want = (size_t)st->st_size, got = 0;
	ssize_t n;

	if ((*buf = (unsigned char *)malloc(want > 0 ? want : 1)) == NULL) {
		errno = ENOMEM;
		return -1;
	}
	while (got < want) {
		n = SC(pread)(fd, *buf + got, want - got, (off_t)got);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0) {
			/* Cut short while we read it: not what was looked at. */
			if (n == 0)
				errno = EIO;
			free(*buf);
			*buf = NULL;
			return -1;
		}
		got += (size_t)n;
	}
	*size = got;
	return 1;
}

/* Records that the logs of F are not applied: WHY, the log K (-1: no
 * log in particular) by the name it has on the disk, and ERR.  0. */
static int
refused(struct hive_file *f, int k, int why, int err)
{
	const char *path = k >= 0 ? f->logs[k].path : "";
	const char *slash = strrchr(path, '/');

	f->why.log = why;
	f->why.err = err;
	copy_bounded(f->why.log_name, slash != NULL ? slash + 1 : path,
	    sizeof(f->why.log_name));
	return 0;
}

/* Opens log K of hive F for reading, no link followed, its status in
 * ST, and records where it is and what it is.  The descriptor; -2 when
 * there is none; -1 when it cannot be read, F saying why. */
static int
open_log(struct hive_file *f, int k, struct stat *st)
{
	struct log_file *g = &f->logs[k];
	char want[PATH_BYTES];
	size_t leaf;
	int dirfd, fd, e;

	if ((size_t)snprintf(want, sizeof(want), "%s%s", f->want,
	    g_log_ends[k]) >= sizeof(want) ||
	    winpath_open_at(want, g->path, sizeof(g->path), &dirfd, &leaf) != 1)
		return -2;
	fd = SC(openat)(dirfd, g->path + leaf, O_RDONLY | O_CLOEXEC |
	    O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, 0);
	e = errno;
	SC(close)(dirfd);
	if (fd < 0 && e == ENOENT)
		return -2;
	if (fd >= 0 && SC(fstat)(fd, st) != 0) {
		e = errno;
		SC(close)(fd);
		fd = -1;
	} else if (fd >= 0 && !S_ISREG(st->st_mode)) {
		SC(close)(fd);
		refused(f, k, LOG_NOT_FILE, 0);
		return -1;
	}
	if (fd < 0) {
		refused(f, k, e == ELOOP ? LOG_LINK : LOG_UNREADABLE, e);
		return -1;
	}
	g->found = 1;
	file_id_from_stat(st, &g->id);
	return fd;
}

/* Reads log K of hive F into L (data from malloc) when there is one.
 * 1: read, or none there (size 0); 0: it cannot be read, F says why. */
static int
read_log(struct hive_file *f, int k, struct hive_log *l)
{
	unsigned char *buf = NULL;
	struct stat st;
	int fd, rc;

	if ((fd = open_log(f, k, &st)) == -2)
		return 1;
	if (fd < 0)
		return 0;
	if ((rc = read_whole(fd, &st, &buf, &l->size) == 1) == 0)
		refused(f, k, LOG_UNREADABLE, errno);
	SC(close)(fd);
	l->data = buf;
	return rc;
}

/* Puts the hive IMG into a file in memory that libhivex can open by its
 * name in /proc: F->image_fd.  1; 0 when libhivex finds no hive in it;
 * -1 with errno set. */
static int
image_to_memory(struct hive_file *f, const struct hive_image *img)
{
	char name[64];
	int fd = SC(memfd_create)("hive", MFD_CLOEXEC), e, rc = -1;
	hive_h *h;

	if (fd < 0)
		return -1;
	snprintf(name, sizeof(name), "/proc/self/fd/%d", fd);
	/* Without /proc libhivex would be given the file on the disk. */
	if (sys_write_all(fd, (const char *)img->b, img->size) == 1 &&
	    SC(access)(name, R_OK) == 0)
		rc = (h = HC(hivex_open)(name, 0)) != NULL;
	if (rc != 1) {
		e = errno;
		SC(close)(fd);
		errno = e;
		return rc;
	}
	hivex_close(h);
	f->image_fd = fd;
	return 1;
}

static uint64_t
filetime_now(void)
{
	struct timespec ts;

	clock_gettime(CLOCK_REALTIME, &ts);
	return ((uint64_t)ts.tv_sec + FILETIME_1970) * 10000000u +
	    (uint64_t)ts.tv_nsec / 100;
}

int
hive_recover(struct hive_file *f, int fd)
{
	struct hive_log logs[LOG_FILES];
	struct hive_image img = { NULL, 0, 0 };
	struct stat st;
	int ok = 1, why, bad, rc;

	memset(logs, 0, sizeof(logs));
	refused(f, -1, LOG_NONE_APPLIES, 0);
	for (int k = 0; ok && k < LOG_FILES; k++)
		ok = read_log(f, k, &logs[k]);
	if (ok && (SC(fstat)(fd, &st) != 0 ||
	    read_whole(fd, &st, &img.b, &img.size) < 0))
		ok = refused(f, -1, LOG_FAILED, errno);
	img.cap = img.size;
	if (ok && hive_log_recover(&img, logs, filetime_now(), &why,
	    &bad) != 1)
		ok = refused(f, bad, why, errno);
	/* Logs whose pages make no hive of it are damaged too. */
	if (ok && (rc = image_to_memory(f, &img)) != 1)
		ok = rc == 0 ? refused(f, bad, LOG_DAMAGED, 0) :
		    refused(f, -1, LOG_FAILED, errno);
	free(img.b);
	for (int k = 0; k < LOG_FILES; k++)
		free((void *)logs[k].data);
	return ok;
}

int
hive_logs_unchanged(const struct hive_file *f)
{
	struct file_id now;
	struct stat st;

	for (int k = 0; k < LOG_FILES; k++) {
		const struct log_file *g = &f->logs[k];

		if (!g->found)
			continue;
		if (SC(lstat)(g->path, &st) != 0 ||
		    !file_id_same(file_id_from_stat(&st, &now), &g->id))
			return 0;
	}
	return 1;
}

int
hive_open_content(const struct hive_file *f)
{
	char name[64];

	if (f->image_fd < 0)
		return SC(open)(f->path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW, 0);
	snprintf(name, sizeof(name), "/proc/self/fd/%d", f->image_fd);
	return SC(open)(name, O_RDONLY | O_CLOEXEC, 0);
}

void
hive_recover_forget(struct hive_file *f)
{
	if (f->image_fd >= 0)
		SC(close)(f->image_fd);
	f->image_fd = -1;
	refused(f, -1, LOG_NONE_APPLIES, 0);
	memset(f->logs, 0, sizeof(f->logs));
}
