/*
 * crt_errno.h - the errno numbers of Windows' C run-time, which the
 * offline build prints as Windows would, and the one mapping from Linux's
 * numbers to them used by the backup copies (copy.cpp) and the hive
 * copy (registry/unix).
 */
#ifndef VKM_CRT_ERRNO_H
#define VKM_CRT_ERRNO_H

#define CRT_ENOENT 2
#define CRT_ENOMEM 12
#define CRT_EACCES 13
#define CRT_EEXIST 17
#define CRT_EINVAL 22
#define CRT_EFBIG 27
#define CRT_ENOSPC 28

/* The run-time's errno for the Linux errno E; 22 for one it has no
 * counterpart of.  Never fails. */
int crt_errno_from(int e);

#endif
