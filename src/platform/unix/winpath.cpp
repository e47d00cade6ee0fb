/*
 * winpath.cpp - resolving Windows paths without regard to letter case,
 * and without following links below SystemRoot.
 *
 * Each folder is opened through the descriptor of the one above it
 * (openat), so a folder swapped for a link between two looks cannot lead
 * the walk elsewhere.
 */
#include "winpath.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/ascii.h"
#include "platform/platform.h"
#include "platform/unix/syscalls.h"

#define COMPONENT_MAX 256
#define PATH_MAX_BYTES 4096
#define TOLD_MAX 16		/* links kept, to be named each once */

/* A walk down a path: the folder reached so far is open as FD and its
 * path is the first USED bytes of OUT. */
struct walk {
	char *out;
	size_t size, used;
	int fd;
	int missing;		/* a component was not there */
	int error;		/* or could not be looked for: its errno */
};

/* The links met so far this run, and those of them not yet handed out
 * to be named; a link met once the table is full is handed out every
 * time it is met, as it cannot be known again. */
static char g_told[TOLD_MAX][PATH_MAX_BYTES];
static char g_waiting[TOLD_MAX][PATH_MAX_BYTES];
static int g_waiting_count;

static int
is_sep(char c)
{
	return c == '\\' || c == '/';
}

static int
is_dots(const char *comp, size_t len, size_t dots)
{
	return len == dots && strncmp(comp, "..", dots) == 0;
}

/* Appends COMP (LEN bytes) to the walk's path as one more component. */
static int
append_component(struct walk *w, const char *comp, size_t len)
{
	size_t sep = w->used > 0 && w->out[w->used - 1] != '/';

	if (w->used + sep + len + 1 > w->size)
		return -1;
	if (sep)
		w->out[w->used++] = '/';
	memcpy(w->out + w->used, comp, len);
	w->used += len;
	w->out[w->used] = '\0';
	return 1;
}

/* 1 when the LEN bytes at A equal the string B, ASCII letters folded. */
static int
same_name(const char *a, size_t len, const char *b)
{
	size_t i;

	for (i = 0; i < len; i++) {
		if (ascii_lower((unsigned char)a[i]) !=
		    ascii_lower((unsigned char)b[i]))
			return 0;
	}
	return b[len] == '\0';
}

/* Looks in the open folder FD for an entry named COMP (LEN bytes): as
 * spelled, else without regard to case; of several, the smallest name
 * wins, so the answer does not hang on the order the folder lists them
 * in.  1: FOUND holds the entry's name and ST what it is (a link as a
 * link); 0: none; -1: the folder could not be looked in (errno set):
 * what is there is not known. */
static int
find_entry(int fd, const char *comp, size_t len, char found[COMPONENT_MAX],
    struct stat *st)
{
	struct dirent *e;
	DIR *d;
	int hit = 0, lfd, e_read;

	if (len >= COMPONENT_MAX)
		return 0;
	memcpy(found, comp, len);
	found[len] = '\0';
	if (SC(fstatat)(fd, found, st, AT_SYMLINK_NOFOLLOW) == 0)
		return 1;
	if (errno != ENOENT)
		return -1;
	if ((lfd = SC(openat)(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC,
	    0)) < 0)
		return -1;
	if ((d = SC(fdopendir)(lfd)) == NULL) {
		SC(close)(lfd);
		return -1;
	}
	for (errno = 0; (e = SC(readdir)(d)) != NULL; errno = 0) {
		if (strlen(e->d_name) >= COMPONENT_MAX ||
		    !same_name(comp, len, e->d_name))
			continue;
		if (!hit || strcmp(e->d_name, found) < 0)
			strcpy(found, e->d_name);
		hit = 1;
	}
	e_read = errno;
	SC(closedir)(d);
	if ((errno = e_read) != 0)
		return -1;
	if (!hit || SC(fstatat)(fd, found, st, AT_SYMLINK_NOFOLLOW) == 0)
		return hit;
	return errno == ENOENT ? 0 : -1;
}

/* Notes that the walk could not look where it stands (errno): from
 * here on it is no answer, missing or there. */
static int
look_failed(struct walk *w, const char *comp, size_t len)
{
	if (w->error == 0)
		w->error = errno != 0 ? errno : EIO;
	w->missing = 1;
	return append_component(w, comp, len);
}

/* Notes, once per path, that the link at the walk's path was not
 * taken, for winpath_next_told to hand out. */
static void
tell_link(const struct walk *w)
{
	int k;

	if (w->used >= PATH_MAX_BYTES)
		return;
	for (k = 0; k < TOLD_MAX && g_told[k][0] != '\0'; k++) {
		if (strcmp(g_told[k], w->out) == 0)
			return;
	}
	if (k < TOLD_MAX)
		strcpy(g_told[k], w->out);
	if (g_waiting_count < TOLD_MAX)
		strcpy(g_waiting[g_waiting_count++], w->out);
}

int
winpath_next_told(char *out, size_t size)
{
	if (g_waiting_count == 0 || size == 0)
		return 0;
	snprintf(out, size, "%s", g_waiting[0]);
	g_waiting_count--;
	memmove(g_waiting[0], g_waiting[1],
	    (size_t)g_waiting_count * sizeof(g_waiting[0]));
	return 1;
}

/* Enters the folder COMP (LEN bytes) from where the walk stands; FOLLOW
 * lets a link lead there.  Once a component is missing, the rest are
 * appended as given.  1, or -1 when OUT is too small. */
static int
step_in(struct walk *w, const char *comp, size_t len, int follow)
{
	char found[COMPONENT_MAX];
	struct stat st;
	int fd, r = 0;

	if (w->missing || is_dots(comp, len, 1))
		return append_component(w, comp, len);
	/* ".." would climb out of the folder the path is below. */
	if ((!follow && is_dots(comp, len, 2)) ||
	    (r = find_entry(w->fd, comp, len, found, &st)) <= 0) {
		if (r < 0)
			return look_failed(w, comp, len);
		w->missing = 1;
		return append_component(w, comp, len);
	}
	if (append_component(w, found, strlen(found)) < 0)
		return -1;
	if (!follow && S_ISLNK(st.st_mode)) {
		tell_link(w);
		w->missing = 1;
		return 1;
	}
	fd = SC(openat)(w->fd, found, O_RDONLY | O_DIRECTORY | O_CLOEXEC |
	    (follow ? 0 : O_NOFOLLOW), 0);
	if (fd < 0) {
		/* Swapped for a link since the look (with O_DIRECTORY the
		 * open says ENOTDIR of a link), or gone. */
		int e = errno;

		if (e == ELOOP || (e == ENOTDIR && SC(fstatat)(w->fd, found,
		    &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)))
			tell_link(w);
		else if (e != ENOENT && e != ENOTDIR && w->error == 0)
			w->error = e;
		w->missing = 1;
		return 1;
	}
	SC(close)(w->fd);
	w->fd = fd;
	return 1;
}

/* Looks up the last component COMP (LEN bytes) in the folder reached;
 * it may be anything, a link included, and is not entered. */
static int
step_last(struct walk *w, const char *comp, size_t len, int follow)
{
	char found[COMPONENT_MAX];
	struct stat st;
	int r = 0;

	if (w->missing || is_dots(comp, len, 1))
		return append_component(w, comp, len);
	if ((!follow && is_dots(comp, len, 2)) ||
	    (r = find_entry(w->fd, comp, len, found, &st)) <= 0) {
		if (r < 0)
			return look_failed(w, comp, len);
		w->missing = 1;
		return append_component(w, comp, len);
	}
	return append_component(w, found, strlen(found));
}

/* Walks the components of the first END bytes of PATH as folders; those
 * that begin before ANCHOR may be reached through links. */
static int
walk_folders(struct walk *w, const char *path, size_t end, size_t anchor)
{
	size_t i = 0, start;

	while (i < end) {
		while (i < end && is_sep(path[i]))
			i++;
		if (i >= end)
			break;
		start = i;
		while (i < end && !is_sep(path[i]))
			i++;
		if (step_in(w, path + start, i - start, start < anchor) < 0)
			return -1;
	}
	return 1;
}

/* Starts a walk at the root or the current folder, as PATH does. */
static int
walk_start(struct walk *w, const char *path, char *out, size_t size)
{
	int abs = is_sep(path[0]);

	w->out = out;
	w->size = size;
	w->used = 0;
	w->missing = 0;
	w->error = 0;
	out[0] = '\0';
	if (abs)
		out[w->used++] = '/', out[w->used] = '\0';
	w->fd = SC(open)(abs ? "/" : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC,
	    0);
	if (w->fd < 0) {
		w->missing = 1;
		w->error = errno != 0 ? errno : EIO;
	}
	return 1;
}

static void
walk_end(struct walk *w)
{
	if (w->fd >= 0)
		SC(close)(w->fd);
	w->fd = -1;
}

/* How much of PATH is ROOT, the value of SystemRoot, the folder the
 * user named: 0 when PATH does not begin with it. */
static size_t
anchor_of(const char *path, const char *root)
{
	size_t n = strlen(root);

	if (n == 0)
		return 0;
	if (strncmp(path, root, n) != 0 ||
	    (path[n] != '\0' && !is_sep(path[n]) && !is_sep(root[n - 1])))
		return 0;
	return n;
}

/* The folder part of the last path resolved, and where it led.  The scans
 * look up thousands of files in the same few folders; listing a folder
 * for every one of them to fold its letter case would dominate the run.
 * The folder reached stays open: while its name still leads to that very
 * folder, it is used as it is; else it is walked again by its real
 * names, which costs no listing and takes no link that has appeared
 * since. */
static char g_memo_root[PATH_MAX_BYTES];
static char g_memo_in[PATH_MAX_BYTES];
static char g_memo_out[PATH_MAX_BYTES];
static size_t g_memo_anchor;
static int g_memo_fd = -1;

/* 1 when the open folder of the memo is still the one its name leads to:
 * W then stands there, with a descriptor of its own.  A folder removed
 * since keeps its number while we hold it, so a new one cannot pass for
 * it. */
static int
reuse_folder(char *out, size_t size, struct walk *w)
{
	struct stat named, held;
	size_t len = strlen(g_memo_out);
	int fd;

	if (g_memo_fd < 0 || len >= size ||
	    SC(stat)(g_memo_out, &named) != 0 ||
	    SC(fstat)(g_memo_fd, &held) != 0 || named.st_dev != held.st_dev ||
	    named.st_ino != held.st_ino)
		return 0;
	if ((fd = SC(fcntl)(g_memo_fd, F_DUPFD_CLOEXEC, 0)) < 0)
		return 0;
	memcpy(out, g_memo_out, len + 1);
	w->out = out;
	w->size = size;
	w->used = len;
	w->missing = 0;
	w->error = 0;
	w->fd = fd;
	return 1;
}

/* 1 when the folder part (LEN bytes) of PATH resolved before and walks
 * again to a folder; W then stands there. */
static int
recall_folder(const char *path, size_t len, const char *root,
    char *out, size_t size, struct walk *w)
{
	if (len == 0 || g_memo_out[0] == '\0' || strlen(g_memo_in) != len ||
	    memcmp(g_memo_in, path, len) != 0 || strcmp(g_memo_root, root) != 0)
		return 0;
	if (reuse_folder(out, size, w))
		return 1;
	walk_start(w, g_memo_out, out, size);
	if (walk_folders(w, g_memo_out, strlen(g_memo_out),
	    g_memo_anchor) < 0 || w->missing || w->error) {
		walk_end(w);
		return 0;
	}
	return 1;
}

static void
remember_folder(const char *path, size_t len, const char *root,
    const char *resolved, size_t anchor, int fd)
{
	if (g_memo_fd >= 0)
		SC(close)(g_memo_fd);
	g_memo_fd = -1;
	g_memo_out[0] = '\0';
	if (len >= sizeof(g_memo_in) ||
	    strlen(resolved) >= sizeof(g_memo_out) ||
	    strlen(root) >= sizeof(g_memo_root))
		return;
	g_memo_fd = SC(fcntl)(fd, F_DUPFD_CLOEXEC, 0);
	memcpy(g_memo_in, path, len);
	g_memo_in[len] = '\0';
	strcpy(g_memo_out, resolved);
	strcpy(g_memo_root, root);
	g_memo_anchor = anchor;
}

/* -1 with errno ENAMETOOLONG: the answer does not fit OUT. */
static int
too_long(void)
{
	errno = ENAMETOOLONG;
	return -1;
}

/* Resolves PATH with W; the folder of its last component stays open in
 * W, whose name starts at OUT + *LEAF.  1, 0 or -1 as winpath_resolve. */
static int
resolve_walk(const char *path, char *out, size_t size, struct walk *w,
    size_t *leaf)
{
	const char *root = plat_system_root(NULL);
	size_t end = strlen(path), folder_len = 0, anchor, split, out_anchor;

	while (end > 0 && is_sep(path[end - 1]))
		end--;
	for (size_t i = 0; i < end; i++) {
		if (is_sep(path[i]))
			folder_len = i + 1;
	}
	anchor = anchor_of(path, root);
	split = anchor < folder_len ? anchor : folder_len;
	if (!recall_folder(path, folder_len, root, out, size, w)) {
		walk_start(w, path, out, size);
		if (walk_folders(w, path, split, anchor) < 0)
			return too_long();
		out_anchor = w->used;
		if (walk_folders(w, path + split, folder_len - split, 0) < 0)
			return too_long();
		if (!w->missing && w->used > 0 && w->fd >= 0)
			remember_folder(path, folder_len, root, out,
			    out_anchor, w->fd);
	}
	*leaf = w->used + (w->used > 0 && out[w->used - 1] != '/');
	if (folder_len < end && step_last(w, path + folder_len,
	    end - folder_len, folder_len < anchor) < 0)
		return too_long();
	if (w->used == 0)
		return too_long();
	if (w->error != 0) {
		errno = w->error;
		return -1;
	}
	return w->missing ? 0 : 1;
}

int
winpath_resolve(const char *path, char *out, size_t size)
{
	struct walk w;
	size_t leaf;
	int r, e;

	if (path == NULL || path[0] == '\0' || size < 2)
		return too_long();
	r = resolve_walk(path, out, size, &w, &leaf);
	e = errno;
	walk_end(&w);
	errno = e;
	return r;
}

int
winpath_open_at(const char *path, char *out, size_t size, int *dirfd,
    size_t *leaf)
{
	struct walk w;
	int r;

	*dirfd = -1;
	if (path == NULL || path[0] == '\0' || size < 2)
		return too_long();
	r = resolve_walk(path, out, size, &w, leaf);
	if (r != 1 || *leaf >= w.used || w.fd < 0) {
		int e = errno;

		walk_end(&w);
		errno = e;
		return r == 1 ? 0 : r;
	}
	*dirfd = w.fd;
	return 1;
}

void
winpath_forget(void)
{
	if (g_memo_fd >= 0)
		SC(close)(g_memo_fd);
	g_memo_fd = -1;
	g_memo_out[0] = '\0';
}
