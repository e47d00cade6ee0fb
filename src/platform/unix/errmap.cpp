/*
 * errmap.cpp (Linux) - Linux errno values to C run-time errno values,
 * the one place the platform layer and the offline registry translate
 * them.
 */
#include "platform/unix/errmap.h"

#include <errno.h>

#include "common/crt_errno.h"

int
errno_from_unix_error(int e)
{
	switch (e) {
	case ENOENT:
	case ENOTDIR:
	case ENAMETOOLONG:
		return CRT_ENOENT;
	case EACCES:
	case EPERM:
	case EROFS:
	case EBUSY:
	case ETXTBSY:
	case EISDIR:
		return CRT_EACCES;
	case ENOMEM:
		return CRT_ENOMEM;
	case EEXIST:
		return CRT_EEXIST;
	case ENOTEMPTY:
		return CRT_ENOTEMPTY;
	case EFBIG:
		return CRT_EFBIG;
	case ENOSPC:
	case EDQUOT:
		return CRT_ENOSPC;
	}
	return CRT_EINVAL;
}
