/*
 * reg_sys.h (Windows) - the six registry functions the key-path layer is
 * written against come straight from advapi32, and a change through them
 * is the registry's at once: the commit has nothing to do, and there is
 * nothing a rollback could take back.
 *
 * Every key is opened, and every key deleted, in the 64-bit registry
 * view, so that the 32-bit program on 64-bit Windows sees what the 64-bit
 * one sees; the 32-bit view stays reachable by its Wow6432Node path.
 * 32-bit Windows has one view and ignores the flag.
 */
#ifndef VKM_REG_SYS_H
#define VKM_REG_SYS_H

#include <windows.h>

/* RegOpenKeyExA in the 64-bit view. */
static inline LONG
reg_open_key_64(HKEY key, LPCSTR sub_key, DWORD options, REGSAM sam,
    PHKEY result)
{
	return RegOpenKeyExA(key, sub_key, options, sam | KEY_WOW64_64KEY,
	    result);
}

/* RegDeleteKeyA in the 64-bit view (registry/win/view64.cpp). */
LONG reg_delete_key_64(HKEY key, LPCSTR sub_key);

#define RegOpenKeyExA reg_open_key_64
#define RegDeleteKeyA reg_delete_key_64

/* Makes the changes made so far durable.  0: nothing was waiting (the
 * registry holds every change as it is made); never 1 or -1 here. */
static inline int
reg_commit(LONG *rc)
{
	(void)rc;
	return 0;
}

/* Drops the changes not yet committed: there are none here. */
static inline void
reg_rollback(void)
{
}

#endif
