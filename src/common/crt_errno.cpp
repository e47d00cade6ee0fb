/*
 * crt_errno.cpp - the C run-time's own mapping of Windows error codes
 * onto its errno numbers.  Both systems need it: Windows for the codes
 * its calls give, the offline registry for the codes it gives as
 * Windows' registry functions would.
 */
#include "common/crt_errno.h"

#include <stddef.h>

static const struct {
	unsigned long code;
	int err;
} errno_table[] = {
	{ 1, CRT_EINVAL },		/* ERROR_INVALID_FUNCTION */
	{ 2, CRT_ENOENT },		/* ERROR_FILE_NOT_FOUND */
	{ 3, CRT_ENOENT },		/* ERROR_PATH_NOT_FOUND */
	{ 4, CRT_EMFILE },		/* ERROR_TOO_MANY_OPEN_FILES */
	{ 5, CRT_EACCES },		/* ERROR_ACCESS_DENIED */
	{ 6, CRT_EBADF },		/* ERROR_INVALID_HANDLE */
	{ 7, CRT_ENOMEM },		/* ERROR_ARENA_TRASHED */
	{ 8, CRT_ENOMEM },		/* ERROR_NOT_ENOUGH_MEMORY */
	{ 9, CRT_ENOMEM },		/* ERROR_INVALID_BLOCK */
	{ 10, CRT_E2BIG },		/* ERROR_BAD_ENVIRONMENT */
	{ 11, CRT_ENOEXEC },		/* ERROR_BAD_FORMAT */
	{ 12, CRT_EINVAL },		/* ERROR_INVALID_ACCESS */
	{ 13, CRT_EINVAL },		/* ERROR_INVALID_DATA */
	{ 15, CRT_ENOENT },		/* ERROR_INVALID_DRIVE */
	{ 16, CRT_EACCES },		/* ERROR_CURRENT_DIRECTORY */
	{ 17, CRT_EXDEV },		/* ERROR_NOT_SAME_DEVICE */
	{ 18, CRT_ENOENT },		/* ERROR_NO_MORE_FILES */
	{ 33, CRT_EACCES },		/* ERROR_LOCK_VIOLATION */
	{ 53, CRT_ENOENT },		/* ERROR_BAD_NETPATH */
	{ 65, CRT_EACCES },		/* ERROR_NETWORK_ACCESS_DENIED */
	{ 67, CRT_ENOENT },		/* ERROR_BAD_NET_NAME */
	{ 80, CRT_EEXIST },		/* ERROR_FILE_EXISTS */
	{ 82, CRT_EACCES },		/* ERROR_CANNOT_MAKE */
	{ 83, CRT_EACCES },		/* ERROR_FAIL_I24 */
	{ 87, CRT_EINVAL },		/* ERROR_INVALID_PARAMETER */
	{ 89, CRT_EAGAIN },		/* ERROR_NO_PROC_SLOTS */
	{ 108, CRT_EACCES },		/* ERROR_DRIVE_LOCKED */
	{ 109, CRT_EPIPE },		/* ERROR_BROKEN_PIPE */
	{ 112, CRT_ENOSPC },		/* ERROR_DISK_FULL */
	{ 114, CRT_EBADF },		/* ERROR_INVALID_TARGET_HANDLE */
	{ 128, CRT_ECHILD },		/* ERROR_WAIT_NO_CHILDREN */
	{ 129, CRT_ECHILD },		/* ERROR_CHILD_NOT_COMPLETE */
	{ 130, CRT_EBADF },		/* ERROR_DIRECT_ACCESS_HANDLE */
	{ 132, CRT_EACCES },		/* ERROR_SEEK_ON_DEVICE */
	{ 145, CRT_ENOTEMPTY },		/* ERROR_DIR_NOT_EMPTY */
	{ 158, CRT_EACCES },		/* ERROR_NOT_LOCKED */
	{ 161, CRT_ENOENT },		/* ERROR_BAD_PATHNAME */
	{ 164, CRT_EAGAIN },		/* ERROR_MAX_THRDS_REACHED */
	{ 167, CRT_EACCES },		/* ERROR_LOCK_FAILED */
	{ 183, CRT_EEXIST },		/* ERROR_ALREADY_EXISTS */
	{ 206, CRT_ENOENT },		/* ERROR_FILENAME_EXCED_RANGE */
	{ 215, CRT_EAGAIN },		/* ERROR_NESTING_NOT_ALLOWED */
	{ 1816, CRT_ENOMEM },		/* ERROR_NOT_ENOUGH_QUOTA */
};

/* Ranges the run-time maps as a whole: the write-protect to sharing-buffer
 * errors (a file in use among them), and the bad executable formats. */
#define FIRST_PROTECTION_ERROR	19
#define LAST_PROTECTION_ERROR	36
#define FIRST_EXEC_ERROR	188
#define LAST_EXEC_ERROR		202

int
crt_errno_of_win_error(unsigned long code)
{
	for (size_t i = 0; i < sizeof(errno_table) / sizeof(errno_table[0]);
	    i++) {
		if (errno_table[i].code == code)
			return errno_table[i].err;
	}
	if (code >= FIRST_PROTECTION_ERROR && code <= LAST_PROTECTION_ERROR)
		return CRT_EACCES;
	if (code >= FIRST_EXEC_ERROR && code <= LAST_EXEC_ERROR)
		return CRT_ENOEXEC;
	return CRT_EINVAL;
}
