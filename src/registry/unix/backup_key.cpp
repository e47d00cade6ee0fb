/*
 * backup_key.cpp (Linux) - offline, a key is kept by keeping its hive:
 * before this run's first change to a hive, the hive file goes whole
 * into the run's backup folder (hive.cpp does the copy), and copying it
 * back undoes every removal of the run in that hive.  Such a copy holds
 * every cell as it was, link keys included: any tree can be kept.
 */
#include <errno.h>

#include "common/crt_errno.h"
#include "hive.h"
#include "platform/unix/errmap.h"
#include "registry/reg_internal.h"

int
backup_key_tree(HKEY root, const char *subpath, const char *backup_dir)
{
	HKEY key;
	LONG rc;
	int r;

	rc = RegOpenKeyExA(root, subpath, 0, KEY_READ, &key);
	if (rc != ERROR_SUCCESS) {
		errno = crt_errno_of_win_error(rc);
		return -1;
	}
	r = hive_backup_of_key(key, backup_dir);
	if (r < 0)
		errno = errno_from_unix_error(errno);
	RegCloseKey(key);
	return r < 0 ? -1 : 1;
}
