/*
 * crt_errno.h - the errno numbers of the C run-time of Windows (msvcrt),
 * which the program prints and its callers compare against on both
 * systems.  They differ from Linux's past the first few (ENOMEM is 12 on
 * both, but ENOTEMPTY is 41 here and 39 on Linux).  Each platform folder
 * maps its own error codes onto these in one place: errmap.cpp.  The
 * run-time's table of Windows error codes is here: the offline registry
 * gives Windows' codes too.
 */
#ifndef VKM_CRT_ERRNO_H
#define VKM_CRT_ERRNO_H

#define CRT_ENOENT 2
#define CRT_E2BIG 7
#define CRT_ENOEXEC 8
#define CRT_EBADF 9
#define CRT_ECHILD 10
#define CRT_EAGAIN 11
#define CRT_ENOMEM 12
#define CRT_EACCES 13
#define CRT_EEXIST 17
#define CRT_EXDEV 18
#define CRT_EINVAL 22
#define CRT_EMFILE 24
#define CRT_EFBIG 27
#define CRT_ENOSPC 28
#define CRT_EPIPE 32
#define CRT_ERANGE 34
#define CRT_ENOTEMPTY 41
#define CRT_EILSEQ 42

/* The errno the C run-time of Windows sets for the Windows error code
 * CODE (a GetLastError value, or a registry function's result); 22
 * (EINVAL) for a code it does not map.  Never fails. */
int crt_errno_of_win_error(unsigned long code);

#endif
