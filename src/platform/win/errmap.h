/*
 * errmap.h (Windows) - Win32 error codes to the errno values of the
 * Windows C run-time (common/crt_errno.h).  Plain integers, no Windows
 * header, so the unit tests on Linux build it too.
 */
#ifndef VKM_WIN_ERRMAP_H
#define VKM_WIN_ERRMAP_H

/* Returns the errno the C run-time of Windows sets for the GetLastError
 * value CODE; 22 (EINVAL) for a code it does not map.  Never fails. */
int errno_from_win_error(unsigned long code);

#endif
