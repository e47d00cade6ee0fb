/*
 * backup.h - the backup of a run: before the run's first removal a new
 * folder "vkm310_backup-<date>-<time>" is made (never an existing one),
 * and before each removal the item goes into it: files and folders under
 * "SystemRoot", by their path below SystemRoot, and registry keys as the
 * registry layer keeps them (a .reg export on Windows, a copy of the
 * hive as it was before the run offline).  An item that cannot be kept
 * is not removed.
 */
#ifndef VKM_BACKUP_H
#define VKM_BACKUP_H

/* Room for a backup path offline, where the current folder can be long. */
#define BACKUP_PATH_BUF 2048

/* The folder this run made, or "" while none was needed. */
extern char g_backup_dir[BACKUP_PATH_BUF];

/* Copies the file at PATH (a Windows path below SystemRoot) into the
 * backup.  1: kept; 0: nothing is at PATH; -1: it cannot be kept (errno
 * set as the C run-time of Windows sets it): do not remove it. */
int backup_file(const char *path);

/* The same for the folder at PATH with everything below it. */
int backup_folder(const char *path);

/* Puts back, from its copy, what has gone of the folder at PATH, the
 * one kept last (a removal that stopped half way, or whose key then
 * could not go): what is still there is left as it is.  1: the folder
 * is whole again (or was not there when kept); -1: not (errno set). */
int backup_put_back(const char *path);

/* Keeps the key at KEY_PATH with its whole tree.  1: kept; -1: it cannot
 * be kept (errno set): do not remove it. */
int backup_key(const char *key_path);

/* Tells the backup that something it kept has gone from the system
 * (or may have: part of a key tree). */
void backup_note_removed(void);

/* 1 the first time it is asked after the run's backup folder could not
 * be made, with the C run-time's error in *ERR; else 0.  The caller
 * tells the user, once. */
int backup_failure_news(int *err);

/* The folder this run made, when something it kept has gone; else NULL. */
const char *backup_of_removals(void);

/* Forgets this run's backup folder, so that the next run makes its own
 * (one process running several times: tests). */
void backup_reset(void);

#endif
