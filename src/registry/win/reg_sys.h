/*
 * reg_sys.h (Windows) - the six registry functions the key-path layer is
 * written against come straight from advapi32, and a change through them
 * is the registry's at once: the commit has nothing to do, and there is
 * nothing a rollback could take back.
 */
#ifndef VKM_REG_SYS_H
#define VKM_REG_SYS_H

#include <windows.h>

/* Makes the changes made so far durable.  0: nothing was waiting (the
 * registry holds every change as it is made); never 1 or -1 here. */
static inline int
reg_commit(LONG *rc)
{
	(void)rc;
	return 0;
}

/* Tells whether a change to KEY's hive could be written: the registry
 * writes its hives itself, so a change that is allowed is written.  1. */
static inline int
reg_can_commit(HKEY key, LONG *rc)
{
	(void)key;
	(void)rc;
	return 1;
}

/* Drops the changes not yet committed: there are none here. */
static inline void
reg_rollback(void)
{
}

#endif
