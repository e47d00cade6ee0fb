/*
 * hive_file.h - the file behind each hive: found below SystemRoot and
 * opened without following a link, mapped read-only by libhivex, read
 * whole to be changed once it is clear no one else changed it, copied
 * into the run's backup folder before its first change, and written as
 * a new file renamed over the old one with the old one's owner, mode
 * and extended attributes.  A hive Windows did not close cleanly is
 * read, and written, as its logs bring it up to date (hive_recover.h).
 * Failures leave errno set (Linux numbers).
 */
#ifndef VKM_HIVE_FILE_H
#define VKM_HIVE_FILE_H

#include "hive_internal.h"

/* Hive I (HIVE_SOFTWARE, HIVE_SYSTEM), its file opened on first use;
 * NULL when it is absent or unreadable. */
struct hive_file *hive_get(int i);

/* Makes hive I ready for its first change: the file read whole, once it
 * is clear that it is still the one this run mapped.  1: done now; 0:
 * it was already; -1: no change may be made, errno EACCES (read-only,
 * or changed by another program: read-only from now on), ENOMEM or EIO. */
int hive_writable(int i);

/* Tries, before a change, what writing hive I (read) will need first: a
 * new file made beside it (and removed again).  A folder that takes no new
 * file (no room, no inode, no quota left) shows now, before anything
 * else of the change is done; a disk that fills while the hive is
 * written does not.  1: made; -1: not, errno set. */
int hive_replace_tried(int i);

/* Copies the file of hive F as it is before this run's first change
 * into the run's backup folder.  1: copied now; 0: copied before; -1:
 * no copy (no folder named: EACCES), errno set. */
int hive_backup(struct hive_file *f);

/* Writes the changes of hive I held in memory as a new file.  1:
 * written; 0: none waiting; -1: not written, errno ENOSPC (disk or quota
 * full) or EIO, and memory still holds the changes: hive_reload drops
 * them. */
int hive_save(int i);

/* Drops what memory holds of hive I and reads its file again (node
 * numbers are file offsets: they stay valid), or finds it absent now. */
void hive_reload(int i);

/* Closes hive I, dropping changes not written, and forgets all about
 * it but the backup folder's name. */
void hive_forget(int i);

#endif
