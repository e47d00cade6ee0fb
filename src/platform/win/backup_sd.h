/*
 * backup_sd.h (Windows) - the permissions every folder of a run's backup
 * is made with, on their own so that a test program can read back what
 * they grant.
 */
#ifndef VKM_WIN_BACKUP_SD_H
#define VKM_WIN_BACKUP_SD_H

#include <windows.h>

/* Makes the security descriptor of a backup folder: full control for
 * SYSTEM and the Administrators group, passed on to every folder and file
 * made inside, nothing for anyone else, and no entry taken over from the
 * folder above.  1: *SD holds it (free it with LocalFree); -1: it cannot
 * be made, *SD NULL, errno set as the C run-time of Windows sets it. */
int backup_folder_security(PSECURITY_DESCRIPTOR *sd);

#endif
