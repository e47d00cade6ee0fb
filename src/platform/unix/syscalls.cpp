/*
 * syscalls.cpp - the table of system calls (syscalls.h).  The calls
 * whose real function takes a variable argument list get a fixed one
 * here, so that every entry is called through a plain prototype.
 */
#include "platform/unix/syscalls.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/xattr.h>
#include <unistd.h>

static int
sys_open_real(const char *p, int f, mode_t m)
{
	return open(p, f, m);
}

static int
sys_openat_real(int d, const char *p, int f, mode_t m)
{
	return openat(d, p, f, m);
}

static int
sys_fcntl_real(int fd, int cmd, int arg)
{
	return fcntl(fd, cmd, arg);
}

static int
sys_ioctl_real(int fd, unsigned long r, void *a)
{
	return ioctl(fd, r, a);
}

struct sys_call g_syscalls[SC_COUNT] = {
#define SC_ROW(name, ret, fail, params, args, real) \
	{ #name, (void (*)(void))real, (void (*)(void))real },
	SYSCALLS(SC_ROW)
#undef SC_ROW
};

int
call_table_set(struct sys_call *table, int count, const char *name,
    void (*fn)(void))
{
	for (int k = 0; k < count; k++) {
		if (strcmp(table[k].name, name) == 0) {
			table[k].current = fn != NULL ? fn : table[k].real;
			return 1;
		}
	}
	return 0;
}

int
sys_call_set(const char *name, void (*fn)(void))
{
	return call_table_set(g_syscalls, SC_COUNT, name, fn);
}

int
sys_write_all(int fd, const char *buf, size_t len)
{
	ssize_t n;

	while (len > 0) {
		if ((n = SC(write)(fd, buf, len)) < 0) {
			if (errno == EINTR)
				continue;
			return -1;
		}
		buf += n;
		len -= (size_t)n;
	}
	return 1;
}
