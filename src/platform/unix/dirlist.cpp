/*
 * dirlist.cpp (Linux) - the names in one folder of an offline Windows
 * installation, the folder found without regard to case.
 */
#include "platform/platform.h"

#include <dirent.h>
#include <errno.h>
#include <limits.h>
#include <string.h>

#include "platform/unix/syscalls.h"
#include "platform/unix/winpath.h"

int
plat_list_folder(const char *dir, const char *pattern,
    int (*visit)(const char *name, void *ctx), void *ctx)
{
	char real[PATH_MAX];
	struct dirent *e;
	DIR *d;
	int result = 1;

	/* Linux has no wildcard listing: every name goes to VISIT. */
	(void)pattern;
	if (dir == NULL || visit == NULL ||
	    winpath_resolve(dir, real, sizeof(real)) <= 0)
		return -1;
	if ((d = SC(opendir)(real)) == NULL)
		return -1;
	for (;;) {
		errno = 0;
		if ((e = SC(readdir)(d)) == NULL) {
			if (errno != 0)
				result = -1;
			break;
		}
		if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0)
			continue;
		if (visit(e->d_name, ctx) != 1) {
			result = 0;
			break;
		}
	}
	SC(closedir)(d);
	return result;
}
