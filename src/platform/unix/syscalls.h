/*
 * syscalls.h - every system call of the Linux platform layer and of the
 * offline registry goes through one table, g_syscalls: a name, the
 * function called now, and the real one.  A test points an entry at a
 * function of its own to make a call fail where the system would not
 * (the disk full, the Nth write refused), and puts it back with
 * sys_call_set(NAME, NULL).  SC(open)(path, flags, mode) calls the
 * current open.
 */
#ifndef VKM_SYSCALLS_H
#define VKM_SYSCALLS_H

#include <dirent.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <termios.h>

/* X(name, result type, result of a failure, parameters, arguments,
 * the real function). */
#define SYSCALLS(X) \
	X(open, int, -1, (const char *p, int f, mode_t m), (p, f, m), \
	    sys_open_real) \
	X(openat, int, -1, (int d, const char *p, int f, mode_t m), \
	    (d, p, f, m), sys_openat_real) \
	X(close, int, -1, (int fd), (fd), close) \
	X(read, ssize_t, -1, (int fd, void *b, size_t n), (fd, b, n), read) \
	X(write, ssize_t, -1, (int fd, const void *b, size_t n), (fd, b, n), \
	    write) \
	X(pread, ssize_t, -1, (int fd, void *b, size_t n, off_t o), \
	    (fd, b, n, o), pread) \
	X(fstat, int, -1, (int fd, struct stat *st), (fd, st), fstat) \
	X(stat, int, -1, (const char *p, struct stat *st), (p, st), stat) \
	X(mkdir, int, -1, (const char *p, mode_t m), (p, m), mkdir) \
	X(mkdirat, int, -1, (int d, const char *p, mode_t m), (d, p, m), \
	    mkdirat) \
	X(readlinkat, ssize_t, -1, (int d, const char *p, char *b, size_t n), \
	    (d, p, b, n), readlinkat) \
	X(symlinkat, int, -1, (const char *t, int d, const char *p), \
	    (t, d, p), symlinkat) \
	X(lstat, int, -1, (const char *p, struct stat *st), (p, st), lstat) \
	X(fstatat, int, -1, (int d, const char *p, struct stat *st, int f), \
	    (d, p, st, f), fstatat) \
	X(fsync, int, -1, (int fd), (fd), fsync) \
	X(rename, int, -1, (const char *a, const char *b), (a, b), rename) \
	X(link, int, -1, (const char *a, const char *b), (a, b), link) \
	X(unlink, int, -1, (const char *p), (p), unlink) \
	X(unlinkat, int, -1, (int d, const char *p, int f), (d, p, f), \
	    unlinkat) \
	X(mkstemp, int, -1, (char *t), (t), mkstemp) \
	X(fcntl, int, -1, (int fd, int cmd, int arg), (fd, cmd, arg), \
	    sys_fcntl_real) \
	X(fchmod, int, -1, (int fd, mode_t m), (fd, m), fchmod) \
	X(fchown, int, -1, (int fd, uid_t u, gid_t g), (fd, u, g), fchown) \
	X(ioctl, int, -1, (int fd, unsigned long r, void *a), (fd, r, a), \
	    sys_ioctl_real) \
	X(access, int, -1, (const char *p, int m), (p, m), access) \
	X(opendir, DIR *, NULL, (const char *p), (p), opendir) \
	X(fdopendir, DIR *, NULL, (int fd), (fd), fdopendir) \
	X(readdir, struct dirent *, NULL, (DIR *d), (d), readdir) \
	X(closedir, int, -1, (DIR *d), (d), closedir) \
	X(fgetxattr, ssize_t, -1, (int fd, const char *n, void *v, size_t s), \
	    (fd, n, v, s), fgetxattr) \
	X(fsetxattr, int, -1, (int fd, const char *n, const void *v, \
	    size_t s, int f), (fd, n, v, s, f), fsetxattr) \
	X(flistxattr, ssize_t, -1, (int fd, char *l, size_t s), (fd, l, s), \
	    flistxattr) \
	X(fremovexattr, int, -1, (int fd, const char *n), (fd, n), \
	    fremovexattr) \
	X(tcgetattr, int, -1, (int fd, struct termios *t), (fd, t), tcgetattr) \
	X(tcsetattr, int, -1, (int fd, int w, const struct termios *t), \
	    (fd, w, t), tcsetattr) \
	X(poll, int, -1, (struct pollfd *p, nfds_t n, int t), (p, n, t), poll) \
	X(memfd_create, int, -1, (const char *n, unsigned f), (n, f), \
	    memfd_create)

enum {
#define SC_ENUM(name, ...) SC_##name,
	SYSCALLS(SC_ENUM)
#undef SC_ENUM
	SC_COUNT
};

#define SC_TYPE(name, ret, fail, params, args, real) \
	typedef ret (*sc_##name##_fn) params;
SYSCALLS(SC_TYPE)
#undef SC_TYPE

struct sys_call {
	const char *name;
	void (*current)(void);
	void (*real)(void);
};

extern struct sys_call g_syscalls[SC_COUNT];

/* The function the call NAME goes to now. */
#define SC(name) ((sc_##name##_fn)g_syscalls[SC_##name].current)

/* Points the call NAME of the COUNT calls of TABLE (this one, or
 * another made like it) at FN, or back at the real function when FN is
 * NULL.  1: done; 0: no call of that name. */
int call_table_set(struct sys_call *table, int count, const char *name,
    void (*fn)(void));

/* call_table_set of this table. */
int sys_call_set(const char *name, void (*fn)(void));

/* Writes LEN bytes of BUF to FD whole, through the table's write, going
 * on after a signal.  1: written; -1: failed, errno set. */
int sys_write_all(int fd, const char *buf, size_t len);

#endif
