/*
 * errmap.h (Linux) - Linux errno values to the errno values of the
 * Windows C run-time (common/crt_errno.h), so that the offline build
 * reports a failure with the number Windows would give.
 */
#ifndef VKM_UNIX_ERRMAP_H
#define VKM_UNIX_ERRMAP_H

/* Returns the run-time's errno for the Linux errno E; 22 (EINVAL) for
 * one it has no counterpart of.  Never fails. */
int errno_from_unix_error(int e);

#endif
