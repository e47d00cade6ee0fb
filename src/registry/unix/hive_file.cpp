/*
 * hive_file.cpp - the hive files of the offline installation: found,
 * opened without following links, checked for changes by others, read
 * whole before the first change, copied into the run's backup folder,
 * and replaced by a new file renamed into place.
 */
#include "hive_file.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <hivex.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <linux/fs.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "common/ascii.h"
#include "hive_format.h"
#include "hive_recover.h"
#include "hivex_calls.h"
#include "platform/platform.h"
#include "platform/unix/syscalls.h"
#include "platform/unix/winpath.h"
#include "registry/registry.h"

const char *const g_hive_names[HIVE_COUNT] = { "SOFTWARE", "SYSTEM" };
struct hive_file g_hives[HIVE_COUNT];

/*
 * Every function here gives 1 for done, 0 for nothing to do and -1 for
 * a failure, errno set where the system set it.
 */

/* ---- files ---- */

/* Copies the folder part of PATH (no trailing '/') into OUT.  1, or -1
 * when OUT is too small. */
static int
folder_of(const char *path, char *out, size_t size)
{
	const char *slash = strrchr(path, '/');
	size_t n = slash == NULL ? 1 : (size_t)(slash - path);

	if (slash == path)
		n = 1;
	if (n + 1 > size)
		return -1;
	memcpy(out, slash == NULL ? "." : path, n);
	out[n] = '\0';
	return 1;
}

/* Makes a rename durable: 1, or -1.  A file system that cannot sync a
 * folder (EINVAL) has no more to give: the rename itself is done. */
static int
sync_folder(const char *path)
{
	char dir[PATH_BYTES];
	int fd, rc;

	if (folder_of(path, dir, sizeof(dir)) < 0)
		return -1;
	if ((fd = SC(open)(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0)) < 0)
		return -1;
	rc = SC(fsync)(fd) == 0 || errno == EINVAL ? 1 : -1;
	SC(close)(fd);
	return rc;
}

/* Fills ID for the hive file open as FD.  1, or -1 when it cannot be
 * looked at or has no hive header. */
static int
file_id_of(int fd, struct file_id *id)
{
	unsigned char hdr[REGF_SEQ_END];
	struct stat st;

	if (SC(fstat)(fd, &st) != 0 ||
	    SC(pread)(fd, hdr, sizeof(hdr), 0) != (ssize_t)sizeof(hdr) ||
	    memcmp(hdr, REGF_MAGIC, 4) != 0)
		return -1;
	file_id_from_stat(&st, id);
	id->seq1 = le32(hdr + REGF_SEQ1);
	id->seq2 = le32(hdr + REGF_SEQ2);
	return 1;
}

/* 1 unless the file or folder at PATH is marked immutable or
 * append-only (chattr +i, +a): then no rename may replace or remove
 * what it holds.  A file system without such marks has none. */
static int
unmarked(const char *path)
{
	int fd, flags = 0, ok;

	if ((fd = SC(open)(path, O_RDONLY | O_NONBLOCK | O_NOCTTY |
	    O_NOFOLLOW | O_CLOEXEC, 0)) < 0)
		return 0;
	ok = SC(ioctl)(fd, FS_IOC_GETFLAGS, &flags) != 0 ||
	    (flags & (FS_IMMUTABLE_FL | FS_APPEND_FL)) == 0;
	SC(close)(fd);
	return ok;
}

/* 1 when the file at PATH may be replaced: both it and its folder are
 * writable (the new version is made beside it and renamed over it), and
 * neither is marked immutable or append-only. */
static int
replaceable(const char *path)
{
	char dir[PATH_BYTES];

	if (folder_of(path, dir, sizeof(dir)) < 0)
		return 0;
	return SC(access)(path, W_OK) == 0 && SC(access)(dir, W_OK) == 0 &&
	    unmarked(path) && unmarked(dir);
}

/* Removes the temporary file TMP of ours.  A removal that fails is
 * tried once more: a temp file left now goes only with the next run
 * that changes this hive. */
static void
drop_temp(const char *tmp)
{
	if (SC(unlink)(tmp) != 0 && errno != ENOENT)
		(void)SC(unlink)(tmp);
}

/* Creates a new empty file named PATH plus a unique ending; its name
 * goes to OUT.  Returns the open descriptor, or -1. */
static int
make_temp(const char *path, char *out, size_t size)
{
	int fd;

	if ((size_t)snprintf(out, size, "%s.tmpXXXXXX", path) >= size)
		return -1;
	if ((fd = SC(mkstemp)(out)) < 0)
		return -1;
	if (SC(fcntl)(fd, F_SETFD, FD_CLOEXEC) != 0) {
		SC(close)(fd);
		drop_temp(out);
		return -1;
	}
	return fd;
}

int
hive_replace_tried(int i)
{
	char tmp[PATH_BYTES];
	int fd;

	if ((fd = make_temp(g_hives[i].path, tmp, sizeof(tmp))) < 0)
		return -1;
	SC(close)(fd);
	drop_temp(tmp);
	return 1;
}

/* Gives the file open as FD the mode and owner in ST where the file
 * system keeps them.  One that does not (FAT) refuses, which is no
 * reason to keep the old hive. */
static void
copy_owner(int fd, const struct stat *st)
{
	if (SC(fchmod)(fd, st->st_mode & 07777) != 0)
		return;
	if (SC(fchown)(fd, st->st_uid, st->st_gid) != 0)
		return;
}

/* Extended attributes that carry a file's metadata without being
 * listed: ntfs-3g's NTFS file attributes and security descriptor. */
static const char *const g_unlisted_xattrs[] = {
	"system.ntfs_attrib",
	"system.ntfs_acl",
};

/* Gives the file open as TO the extended attribute NAME of the one open
 * as FROM.  1: copied; 0: nothing to copy (FROM has none and LISTED says
 * it need not, or it is a trusted.* one we may not set); -1: not copied.
 * trusted.* is root's alone; one we may not set is one we could not
 * have read either. */
static int
copy_xattr(int from, int to, const char *name, int listed)
{
	ssize_t n = SC(fgetxattr)(from, name, NULL, 0), got;
	char *buf;
	int rc;

	if (n < 0)
		return errno == ENODATA || (!listed && (errno == ENOTSUP ||
		    errno == EOPNOTSUPP)) ? 0 : -1;
	if ((buf = (char *)malloc(n > 0 ? (size_t)n : 1)) == NULL)
		return -1;
	got = n > 0 ? SC(fgetxattr)(from, name, buf, (size_t)n) : 0;
	rc = got >= 0 ? SC(fsetxattr)(to, name, buf, (size_t)got, 0) : -1;
	free(buf);
	if (rc != 0 && strncmp(name, "trusted.", 8) == 0 && errno == EPERM)
		return 0;
	return rc == 0 ? 1 : -1;
}

/* 1 when NAME is one of the N names of LIST (flistxattr's form). */
static int
name_listed(const char *list, ssize_t n, const char *name)
{
	for (ssize_t k = 0; k < n; k += (ssize_t)strlen(list + k) + 1) {
		if (strcmp(list + k, name) == 0)
			return 1;
	}
	return 0;
}

/* The names of the extended attributes of the file open as FD, NUL
 * after each, to be freed; their length in *N.  NULL on failure; a
 * file system without them gives none. */
static char *
xattr_names(int fd, ssize_t *n)
{
	char *list;

	if ((*n = SC(flistxattr)(fd, NULL, 0)) < 0) {
		if (errno != ENOTSUP && errno != EOPNOTSUPP)
			return NULL;
		*n = 0;
	}
	if ((list = (char *)malloc(*n > 0 ? (size_t)*n : 1)) == NULL)
		return NULL;
	if (*n > 0 && (*n = SC(flistxattr)(fd, list, (size_t)*n)) < 0) {
		free(list);
		return NULL;
	}
	return list;
}

/* Makes the extended attributes of the file open as TO those of the
 * one open as FROM: each copied, and those FROM lacks (a default ACL
 * inherited from the folder) removed.  1, or -1. */
static int
copy_xattrs(int from, int to)
{
	ssize_t nf, nt;
	char *names = xattr_names(from, &nf), *theirs = NULL;
	int ok = names != NULL;

	for (ssize_t k = 0; ok && k < nf; k += (ssize_t)strlen(names + k) +
	    1)
		ok = copy_xattr(from, to, names + k, 1) >= 0;
	for (size_t k = 0; ok && k < sizeof(g_unlisted_xattrs) /
	    sizeof(g_unlisted_xattrs[0]); k++)
		ok = copy_xattr(from, to, g_unlisted_xattrs[k], 0) >= 0;
	if (ok && (theirs = xattr_names(to, &nt)) == NULL)
		ok = 0;
	for (ssize_t k = 0; ok && k < nt; k += (ssize_t)strlen(theirs + k) +
	    1) {
		if (!name_listed(names, nf, theirs + k) &&
		    SC(fremovexattr)(to, theirs + k) != 0 && errno != ENODATA)
			ok = 0;
	}
	free(names);
	free(theirs);
	return ok ? 1 : -1;
}

/* Gives the file open as TO the owner, group, mode and extended
 * attributes of the one open as FROM.  1 when it has them all; -1 when
 * one could not be given: a hive replaced without them would lose its
 * owner, its NTFS attributes or its security descriptor.  A file
 * system that keeps no owner or mode (FAT; ntfs-3g without
 * permissions) shows the same ones for both files, which passes. */
static int
copy_meta(int from, int to)
{
	struct stat a, b;

	if (SC(fstat)(from, &a) != 0)
		return -1;
	(void)SC(fchown)(to, a.st_uid, a.st_gid);
	(void)SC(fchmod)(to, a.st_mode & 07777);
	if (copy_xattrs(from, to) < 0 || SC(fstat)(to, &b) != 0)
		return -1;
	return a.st_uid == b.st_uid && a.st_gid == b.st_gid &&
	    (a.st_mode & 07777) == (b.st_mode & 07777) ? 1 : -1;
}

/* Copies the file at SRC to a new temporary file beside NEAR, synced;
 * its name goes to TMP.  1, or -1 with errno set. */
static int
copy_to_temp(const char *src, const char *near, char *tmp, size_t size)
{
	char buf[16384];
	struct stat st;
	ssize_t n;
	int in, out, ok = 1, e = 0;

	if ((in = SC(open)(src, O_RDONLY | O_CLOEXEC, 0)) < 0)
		return -1;
	if (SC(fstat)(in, &st) != 0 || (out = make_temp(near, tmp, size)) < 0) {
		e = errno;
		SC(close)(in);
		errno = e;
		return -1;
	}
	copy_owner(out, &st);
	while (ok && (n = SC(read)(in, buf, sizeof(buf))) != 0) {
		if (n < 0)
			ok = errno == EINTR;
		else
			ok = sys_write_all(out, buf, (size_t)n) == 1;
		if (!ok)
			e = errno;
	}
	SC(close)(in);
	if (ok && SC(fsync)(out) != 0)
		ok = 0, e = errno;
	if (SC(close)(out) != 0 && ok)
		ok = 0, e = errno;
	if (!ok) {
		drop_temp(tmp);
		errno = e != 0 ? e : EIO;
	}
	return ok ? 1 : -1;
}

/* Puts the temporary file TMP in place as DST, which must not exist; TMP
 * is gone afterwards either way.  1, or -1 with errno set. */
static int
publish_backup(const char *tmp, const char *dst)
{
	struct stat st;
	int rc = 1, e = 0;

	/* link() never replaces a name that exists.  File systems without
	 * hard links (FAT) get a rename after a look instead. */
	if (SC(link)(tmp, dst) != 0) {
		e = errno;
		if (e == EEXIST || SC(lstat)(dst, &st) == 0) {
			e = EEXIST;
			rc = -1;
		} else if (SC(rename)(tmp, dst) != 0) {
			e = errno;
			rc = -1;
		}
	}
	drop_temp(tmp);
	errno = e;
	return rc;
}

/* The run's backup folder for the hives, or "" while none is named. */
static char g_backup_dir[PATH_BYTES];

void
hive_set_backup_dir(const char *dir)
{
	if (dir == NULL || strlen(dir) >= sizeof(g_backup_dir))
		dir = "";
	strcpy(g_backup_dir, dir);
}

/* Names in OUT the place of F's copy in the backup folder: the last
 * three names of the path it was found at ("System32/config/SOFTWARE",
 * letter case as on the disk) below "SystemRoot", and makes the folders
 * on the way, each like the folder it stands for (its mode and owner),
 * so that copying the backup back changes none of them.  1, or -1 with
 * errno set. */
static int
backup_place(const struct hive_file *f, char *out, size_t size)
{
	char like[PATH_BYTES];
	const char *tail = f->path + strlen(f->path);
	size_t n, base, windir;

	for (int k = 0; k < 3; k++) {
		while (tail > f->path && tail[-1] != '/')
			tail--;
		if (k < 2 && tail > f->path)
			tail--;
	}
	if ((size_t)snprintf(out, size, "%s/SystemRoot/%s", g_backup_dir,
	    tail) >= size) {
		errno = ENAMETOOLONG;
		return -1;
	}
	/* out[BASE] is the separator after "SystemRoot", f->path[WINDIR]
	 * the one after the Windows folder. */
	base = strlen(g_backup_dir) + strlen("/SystemRoot");
	windir = tail > f->path ? (size_t)(tail - f->path) - 1 : 0;
	/* Each folder below the backup folder: made now, or there from an
	 * earlier copy. */
	for (n = base; out[n] != '\0'; n++) {
		if (out[n] != '/')
			continue;
		if (windir + (n - base) >= sizeof(like)) {
			errno = ENAMETOOLONG;
			return -1;
		}
		memcpy(like, f->path, windir);
		memcpy(like + windir, out + base, n - base);
		like[windir + n - base] = '\0';
		out[n] = '\0';
		/* Its errno is the C run-time's, whose numbers for what a
		 * mkdir meets (ENOENT, EACCES, EEXIST, ENOSPC, EINVAL) are
		 * Linux's too. */
		int rc = plat_make_folder_like(out, like);
		out[n] = '/';
		if (rc < 0)
			return -1;
	}
	return 1;
}

/* Copies the logs of hive F, recovered from them, beside its copy DST
 * in the backup folder, by the names they have on the disk: with the
 * hive's copy they put back the hive as Windows left it.  1, or -1 with
 * errno set. */
static int
backup_logs(const struct hive_file *f, const char *dst)
{
	char to[PATH_BYTES], tmp[PATH_BYTES];
	int dir = (int)(strrchr(dst, '/') - dst);

	for (int k = 0; k < LOG_FILES; k++) {
		if (!f->logs[k].found)
			continue;
		if ((size_t)snprintf(to, sizeof(to), "%.*s/%s", dir, dst,
		    strrchr(f->logs[k].path, '/') + 1) >= sizeof(to)) {
			errno = ENAMETOOLONG;
			return -1;
		}
		if (copy_to_temp(f->logs[k].path, to, tmp, sizeof(tmp)) < 0 ||
		    publish_backup(tmp, to) < 0)
			return -1;
	}
	return 1;
}

int
hive_backup(struct hive_file *f)
{
	char dst[PATH_BYTES], tmp[PATH_BYTES];

	if (f->stats.backups > 0)
		return 0;
	if (g_backup_dir[0] == '\0') {
		errno = EACCES;
		return -1;
	}
	if (backup_place(f, dst, sizeof(dst)) < 0 ||
	    copy_to_temp(f->path, dst, tmp, sizeof(tmp)) < 0 ||
	    publish_backup(tmp, dst) < 0 ||
	    (f->image_fd >= 0 && backup_logs(f, dst) < 0) ||
	    sync_folder(dst) < 0)
		return -1;
	f->stats.backups++;
	return 1;
}

/* The file of hive F was changed by someone else since this run read
 * it: what memory holds is no base for a change, now or later. */
static void
hive_changed(struct hive_file *f)
{
	f->state = HIVE_READ_ONLY;
	f->why.code = WHY_CHANGED;
}

/* Writes the hive in memory to a new file beside the old one, open as
 * OLD, and renames it over the old: a crash leaves one or the other
 * whole.  The new file gets the old one's owner, mode and extended
 * attributes first, or is not put in place.  The file now in place is
 * what F->id describes from then on.  1, or -1 with errno set. */
static int
write_replace(struct hive_file *f, int old)
{
	char tmp[PATH_BYTES];
	int fd, ok;

	if ((fd = make_temp(f->path, tmp, sizeof(tmp))) < 0)
		return -1;
	ok = HC(hivex_commit)(f->h, tmp, 0) == 0 && copy_meta(old, fd) == 1 &&
	    SC(fsync)(fd) == 0;
	if (ok && SC(rename)(tmp, f->path) != 0)
		ok = 0;
	if (!ok) {
		SC(close)(fd);
		drop_temp(tmp);
		return -1;
	}
	/* Looked at after the rename, which may set the ctime.  Unknown,
	 * the next change could not tell ours from another's: none is
	 * made. */
	if (file_id_of(fd, &f->id) < 0)
		hive_changed(f);
	SC(close)(fd);
	/* The new file is in place whatever the folder's sync says, and
	 * calling the change failed would not undo it. */
	(void)sync_folder(f->path);
	return 1;
}

/* ---- hives ---- */

/* Names the file of hive I below the run's Windows folder in OUT.  1,
 * or -1 when SystemRoot was not set or the name does not fit. */
static int
hive_locate(int i, char *out, size_t size)
{
	const char *root = plat_system_root(NULL);

	if (root[0] == '\0')
		return -1;
	if ((size_t)snprintf(out, size, "%s\\System32\\config\\%s", root,
	    g_hive_names[i]) >= size)
		return -1;
	return 1;
}

/* Opens the hive file WANT for reading, no link followed on the way or
 * at the end (a hive that is a link is not read); where it was found
 * goes to PATH (SIZE bytes).  The descriptor, or -1 with WHY (WHY_MISSING
 * ..., the errno with WHY_UNREADABLE) saying why. */
static int
hive_open_fd(const char *want, char *path, size_t size, struct hive_why *why)
{
	struct stat st;
	size_t leaf;
	int dirfd, fd;

	why->code = WHY_MISSING;
	if ((fd = winpath_open_at(want, path, size, &dirfd, &leaf)) != 1) {
		/* A folder on the way that could not be looked in. */
		if (fd < 0 && errno != ENAMETOOLONG) {
			why->err = errno;
			why->code = WHY_UNREADABLE;
		}
		return -1;
	}
	fd = SC(openat)(dirfd, path + leaf, O_RDONLY | O_CLOEXEC | O_NOFOLLOW |
	    O_NONBLOCK | O_NOCTTY, 0);
	if (fd < 0) {
		why->err = errno;
		why->code = errno == ELOOP ? WHY_LINK : errno == ENOENT ?
		    WHY_MISSING : WHY_UNREADABLE;
	}
	SC(close)(dirfd);
	if (fd >= 0 && (SC(fstat)(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
		why->code = WHY_NOT_FILE;
		SC(close)(fd);
		fd = -1;
	}
	return fd;
}

/* libhivex 1.3.23 (Debian 12) opens a hive by name only, no call takes
 * an open descriptor: it is given the file already open as FD through
 * /proc, so that it reads what was checked.  Without /proc, the name
 * just checked. */
static hive_h *
hivex_open_fd(int fd, const char *path, int flags)
{
	char name[64];

	snprintf(name, sizeof(name), "/proc/self/fd/%d", fd);
	if (SC(access)(name, F_OK) != 0)
		return HC(hivex_open)(path, flags);
	return HC(hivex_open)(name, flags);
}

/* Why hive F, read and not closed cleanly when DIRTY (and not brought
 * up to date from its logs), may take no change; WHY_FILE or WHY_LOGS
 * when it may.  A hive with other hard links would lose them to the
 * rename, and written in place it could be torn by a crash. */
static int
why_read(const struct hive_file *f, int dirty)
{
	if (dirty && f->image_fd < 0)
		return WHY_DIRTY;
	if (!replaceable(f->path))
		return WHY_NO_ACCESS;
	if (f->id.links > 1)
		return WHY_LINKS;
	return f->image_fd >= 0 ? WHY_LOGS : WHY_FILE;
}

/* Opens the hive file F->want read-only: libhivex maps it and reads
 * only what is looked at.  It is read whole, to be changed, only at the
 * run's first change to it (hive_writable).  A hive Windows did not
 * close cleanly has its newest state in its logs: unless they apply,
 * what the file holds may be stale.  A hive changed by another program
 * stays read-only.  1, F->state HIVE_MAPPED or HIVE_READ_ONLY; or -1
 * with F->why saying why not. */
static int
hive_open_file(struct hive_file *f)
{
	int fd, changed = f->state == HIVE_READ_ONLY &&
	    f->why.code == WHY_CHANGED;

	f->h = NULL;
	if ((fd = hive_open_fd(f->want, f->path, sizeof(f->path),
	    &f->why)) < 0)
		return -1;
	f->why.code = WHY_DAMAGED;
	if (file_id_of(fd, &f->id) < 0) {
		SC(close)(fd);
		return -1;
	}
	hive_recover_forget(f);
	if (!changed && f->id.seq1 != f->id.seq2)
		(void)hive_recover(f, fd);
	f->h = hivex_open_fd(f->image_fd >= 0 ? f->image_fd : fd, f->path, 0);
	SC(close)(fd);
	if (f->h != NULL && (f->root = hivex_root(f->h)) == 0) {
		hivex_close(f->h);
		f->h = NULL;
	}
	if (f->h == NULL)
		return -1;
	f->stats.loads++;
	f->why.code = changed ? WHY_CHANGED : why_read(f,
	    f->id.seq1 != f->id.seq2);
	f->state = f->why.code <= WHY_LOGS ? HIVE_MAPPED : HIVE_READ_ONLY;
	return 1;
}

/* 1 when the file at F->want is still the one F->id describes, found
 * where it was; FD (when not NULL) then gets it open for reading. */
static int
hive_unchanged(struct hive_file *f, int *fd)
{
	char path[PATH_BYTES];
	struct hive_why why;
	struct file_id now;
	int d, same;

	if ((d = hive_open_fd(f->want, path, sizeof(path), &why)) < 0)
		return 0;
	same = file_id_of(d, &now) == 1 && strcmp(path, f->path) == 0 &&
	    file_id_same(&now, &f->id) && hive_logs_unchanged(f);
	if (same && fd != NULL)
		*fd = d;
	else
		SC(close)(d);
	return same;
}

/* 1 when NAME is LEAF, ".tmp" and the six letters or digits mkstemp
 * puts there: a temporary file of make_temp's. */
static int
is_our_temp(const char *name, const char *leaf)
{
	size_t n = strlen(leaf);

	if (strncmp(name, leaf, n) != 0 || strncmp(name + n, ".tmp", 4) != 0)
		return 0;
	name += n + 4;
	for (int k = 0; k < 6; k++) {
		unsigned char c = ascii_lower((unsigned char)name[k]);

		if (!(c >= '0' && c <= '9') && !(c >= 'a' && c <= 'z'))
			return 0;
	}
	return name[6] == '\0';
}

/* Removes the temporary files that a run killed while writing left
 * beside hive F: regular files of our own naming, nothing else. */
static void
remove_stale_temps(struct hive_file *f)
{
	char dir[PATH_BYTES];
	const char *slash = strrchr(f->path, '/');
	const char *leaf = slash != NULL ? slash + 1 : f->path;
	struct dirent *e;
	struct stat st;
	DIR *d;
	int fd;

	if (folder_of(f->path, dir, sizeof(dir)) < 0 ||
	    (fd = SC(open)(dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW |
	    O_CLOEXEC, 0)) < 0)
		return;
	if ((d = SC(fdopendir)(fd)) == NULL) {
		SC(close)(fd);
		return;
	}
	while ((e = SC(readdir)(d)) != NULL) {
		if (is_our_temp(e->d_name, leaf) &&
		    SC(fstatat)(fd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
		    S_ISREG(st.st_mode) && SC(unlinkat)(fd, e->d_name, 0) == 0)
			f->stats.temps_removed++;
	}
	SC(closedir)(d);
}

/* Node numbers are file offsets, so open handles and the caches stay
 * right when the whole file replaces the mapped one. */
int
hive_writable(int i)
{
	struct hive_file *f = &g_hives[i];
	hive_h *h;
	int fd;

	if (f->state >= HIVE_WHOLE)
		return 0;
	if (f->state != HIVE_MAPPED) {
		errno = EACCES;
		return -1;
	}
	if (!hive_unchanged(f, &fd)) {
		hive_changed(f);
		errno = EACCES;
		return -1;
	}
	h = hivex_open_fd(f->image_fd >= 0 ? f->image_fd : fd, f->path,
	    HIVEX_OPEN_WRITE);
	SC(close)(fd);
	if (h == NULL) {
		errno = errno == ENOMEM ? ENOMEM : EIO;
		return -1;
	}
	/* Not changed while it was being read either. */
	if (hivex_root(h) != f->root || !hive_unchanged(f, NULL)) {
		hivex_close(h);
		hive_changed(f);
		errno = EACCES;
		return -1;
	}
	hivex_close(f->h);
	f->h = h;
	f->state = HIVE_WHOLE;
	f->stats.writable_loads++;
	remove_stale_temps(f);
	return 1;
}

struct hive_file *
hive_get(int i)
{
	struct hive_file *f = &g_hives[i];

	if (f->state == HIVE_UNTRIED) {
		f->image_fd = -1;
		f->why.code = WHY_MISSING;
		if (hive_locate(i, f->want, sizeof(f->want)) < 0 ||
		    hive_open_file(f) < 0)
			f->state = HIVE_ABSENT;
	}
	return f->state >= HIVE_READ_ONLY ? f : NULL;
}

int
hive_save(int i)
{
	struct hive_file *f = &g_hives[i];
	int fd, written, full = 0;

	if (f->state != HIVE_UNSAVED)
		return 0;
	/* Another writer since our first change: theirs stays. */
	if (!hive_unchanged(f, &fd)) {
		hive_changed(f);
	} else {
		written = write_replace(f, fd) == 1;
		full = !written && (errno == ENOSPC || errno == EDQUOT);
		SC(close)(fd);
		if (written) {
			/* The file holds what the logs brought now. */
			hive_recover_forget(f);
			if (f->state == HIVE_UNSAVED)
				f->state = HIVE_WHOLE;
			f->stats.writes++;
			return 1;
		}
	}
	f->stats.write_failures++;
	errno = full ? ENOSPC : EIO;
	return -1;
}

void
hive_reload(int i)
{
	struct hive_file *f = &g_hives[i];

	if (f->h != NULL)
		hivex_close(f->h);
	if (hive_open_file(f) < 0)
		f->state = HIVE_ABSENT;
}

void
hive_forget(int i)
{
	if (g_hives[i].h != NULL)
		hivex_close(g_hives[i].h);
	if (g_hives[i].state != HIVE_UNTRIED)
		hive_recover_forget(&g_hives[i]);
	memset(&g_hives[i], 0, sizeof(g_hives[i]));
}

