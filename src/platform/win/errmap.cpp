/*
 * errmap.cpp (Windows) - GetLastError codes, and the registry
 * functions' codes, to C run-time errno values: the one place the
 * platform layer and the registry module of Windows translate them,
 * through the run-time's own table (common/crt_errno.cpp).
 */
#include "errmap.h"

#include "common/crt_errno.h"

int
errno_from_win_error(unsigned long code)
{
	return crt_errno_of_win_error(code);
}
