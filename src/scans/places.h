/*
 * places.h - the places a run reads (the Windows folder, its hives, the
 * scanned folders and registry keys), and those it cannot read.
 *
 * Each place that cannot be read is named on one line with the reason
 * and counted, so that the summary never calls a system clean that was
 * not wholly looked at.  A hive that is read but cannot be changed is
 * named too, but it was read: it is not counted.  So is, at the removal
 * it stops, what the registry says of a key it did not remove.
 */
#ifndef VKM_PLACES_H
#define VKM_PLACES_H

#include <stddef.h>

/* Room for a path as the user sees it: offline, below a long mount
 * point, it may outgrow PATH_BUF. */
#define SHOWN_BUF 1024

extern int g_unread_count;	/* places not read, raised on each report */

/* Checks, before the disclaimer, that SystemRoot, as the run read it
 * (plat_read_system_root), names a Windows installation (always so on
 * Windows).  1: go on; 0: it does not, and the line saying why is
 * printed: the run ends. */
int check_system_root(void);

/* After build_system_paths and before the scans: names each hive and
 * each scanned folder that cannot be read (and each read-only hive). */
void check_places(void);

/* Names each symbolic link below the Windows folder that the platform
 * met and did not follow since the last call, once a run: "Not followed:
 * 'PATH' is a symbolic link".  Called right after the calls that can
 * meet one, before anything else is printed, so that the line stands
 * where the link was met. */
void name_links_not_followed(void);

/* Says that a removal did not happen, with the C run-time's error number
 * ERR: FAILED, after the backup folder that could not be made (once a
 * run) and the links not followed on the way. */
void print_failed(int err);

/* Prints "Not read: PLACE (PATH): WHY", or "Not read: PLACE: WHY" when
 * PATH is NULL, and counts the place. */
void report_not_read(const char *place, const char *path, const char *why);

/* Tells what registry_refusal gives for the registry call that just
 * failed: a damaged key, a registry link the backup cannot keep, a hive
 * with other hard links or changed by another program.  Each hive and
 * each damaged key is named once a run (check_places starts it), a
 * link at each removal it stops. */
void report_refusal(void);

/* Names PLACE (at PATH, unless NULL) as not read for the C run-time's
 * error ERR: "access denied" for 13, else "cannot be read (error ERR)";
 * and counts it. */
void report_error_not_read(const char *place, const char *path, int err);

/* The same for the file at PATH (a Windows path, shown as the disk holds
 * it) that is there but cannot be read. */
void report_file_not_read(const char *place, const char *path, int err);

/* Puts PATH as the system shows it (plat_disk_path) into OUT, or PATH
 * itself when that cannot be told.  OUT. */
const char *shown_path(const char *path, char *out, size_t size);

#endif
