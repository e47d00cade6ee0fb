/*
 * platform.h - everything the program asks of the operating system,
 * apart from the registry (registry/reg_sys.h).
 *
 * Two implementations with the same file names: src/platform/win for
 * Win32, src/platform/unix for an offline Windows installation seen from
 * Linux (paths resolved without regard to case).  The build picks the
 * folder; the program's logic includes no system header beyond the C
 * library.  No command interpreter is ever run.
 */
#ifndef VKM_PLATFORM_H
#define VKM_PLATFORM_H

#include <stddef.h>

#if defined(__GNUC__)
#define PLAT_PRINTF_LIKE(f, a) __attribute__((format(printf, f, a)))
#else
#define PLAT_PRINTF_LIKE(f, a)
#endif

/* Formatted output to standard output, flushed at once so that a question
 * without a line end is visible before its key is awaited.  Placeholders
 * %s, %d and %% only; every %s argument is shown with its control
 * characters as '?' (common/out_format.h), so data from the system never
 * reaches the terminal raw. */
void plat_printf(const char *fmt, ...) PLAT_PRINTF_LIKE(1, 2);

/* Waits for one key press and returns its code (0..255) without echo and
 * without Enter; Ctrl-C reads as 3, Escape as 27.  A function or cursor key
 * gives two codes on two calls: 0 or 224, then the key's code.
 * Returns -1 when no console (terminal) can be read. */
int plat_read_key(void);

/* Copies the value of the environment variable NAME, its name matched
 * without regard to ASCII case, into BUF of SIZE bytes.
 * 1: set, value in BUF; 0: not set; -1: the value does not fit (BUF ""). */
int plat_getenv(const char *name, char *buf, size_t size);

/* Reads the environment variable SystemRoot, the Windows folder of the
 * system to check, and keeps it: run control reads it once, when a run
 * starts, and every layer then takes it from plat_system_root, this
 * one's own calls too (where a link is followed, where no backup may
 * go).  1: set; 0: not set, or set to ""; -1: longer than 4095 bytes,
 * kept as not set. */
int plat_read_system_root(void);

/* The value plat_read_system_root kept, "" unless it gave 1; what it gave
 * into *READ unless READ is NULL. */
const char *plat_system_root(int *read);

/* Turns off, for the rest of the run, the file-system redirection that
 * shows a 32-bit program on 64-bit Windows the 32-bit system32 (the
 * registry layer opens every key in the 64-bit view itself).  1 when the
 * process still sees a redirected view: redirection cannot be turned off.
 * 0 otherwise, and on a system without such views. */
int plat_redirected(void);

/* Tells whether this process may change the system: on Windows Vista and
 * later an elevated one (Run as administrator), on older Windows a member
 * of Administrators; offline always, the disk's own permissions deciding
 * each removal.  1: it may, or it cannot be told; 0: it may not. */
int plat_elevated(void);

typedef struct plat_file plat_file;

/* Opens the file at PATH (a Windows path; backslashes separate folders)
 * for reading its bytes as stored (plat_fread).  Returns NULL when the
 * file cannot be opened, a folder included.  Offline, a file that is a
 * symbolic link opens and reads as empty: it is there, but what it names
 * is not read. */
plat_file *plat_fopen(const char *path);

/* Closes a file from plat_fopen. */
void plat_fclose(plat_file *f);

/* Tells whether a file is at PATH (a Windows path) without opening it:
 * anything but a folder is one (offline a link, a FIFO or a device too),
 * whether or not it could be opened now.  1: there; 0: nothing, or a
 * folder; -1: it cannot be told, errno set (13 access denied). */
int plat_file_present(const char *path);

/* Deletes the file at PATH.  When the system refuses only because the
 * file is in use (held open without sharing its deletion, or the image of
 * a loaded driver), it is given to the system to delete at the next
 * restart (Windows; offline there is no restart, and the removal fails).
 * 1: deleted; 2: goes at the next restart; 0: nothing was there (errno
 * 2); -1: it stays, errno set as the C run-time of Windows sets it: 13
 * refused or in use, 12 (out of memory) or 22 for the rarer causes. */
int plat_remove_file(const char *path);

/* Removes the folder at PATH with everything below it, in-process.  No
 * name is reinterpreted: no wildcard, variable or trailing dot is
 * expanded or dropped.  Links, junctions, mount points and other reparse
 * points are removed as entries and never entered; read-only files go
 * too.  A link at PATH itself goes as a link.
 * Files in use (as plat_remove_file) are left while everything else
 * goes (Windows only); plat_remove_in_use_at_restart then gives them to
 * the next restart.
 * 1: removed; 2: only files in use stayed, with the folders above them,
 * and nothing is given to the restart yet; 0: nothing was there; -1:
 * something else stayed (or PATH names a file, or cannot be used),
 * errno set as the C run-time of Windows sets it: 13 refused or in use,
 * 41 a folder left not empty, 22 otherwise. */
int plat_remove_folder(const char *path);

/* Gives the files in use that the last plat_remove_folder left (its
 * result 2), and then the folders above them, deepest first, to the
 * system to delete at the next restart.  1: given (also when there were
 * none); -1: the system refused one, errno set (those before it stay
 * given). */
int plat_remove_in_use_at_restart(void);

/* Tells whether the file system holds the entry at PATH (a Windows path)
 * under the very name PATH ends with, ASCII letters folded: on Windows
 * its long name, offline the name found on the disk.  A short 8.3 alias
 * ("VKM3~IF4"), or a name the system translated, names another entry
 * than the one asked for.  1: it does; 0: nothing is there; -1: it is
 * held under another name, or cannot be told, errno set (22). */
int plat_name_held(const char *path);

/* Reads up to SIZE bytes of F into BUF, as stored.  Returns how many
 * were read, 0 at the end of the file, or -1 on a read error. */
int plat_fread(void *buf, int size, plat_file *f);

/* Calls VISIT(NAME, CTX) once for each entry of the folder DIR (a Windows
 * path), in no set order.  PATTERN ("oem*.inf") lets the system narrow
 * the listing, nothing more: Windows also matches it against short 8.3
 * names and the offline side lists every name, so VISIT judges each name
 * itself.  VISIT returns 1 to go on, anything else to stop.
 * 1: the whole folder was listed; 0: VISIT stopped it; -1: the folder
 * cannot be listed (missing, not a folder, a read error midway). */
int plat_list_folder(const char *dir, const char *pattern,
    int (*visit)(const char *name, void *ctx), void *ctx);

/* Tells whether SYSTEM_ROOT (the value of SystemRoot; NULL or "" when
 * it is not set) names a Windows installation a run can check: a folder
 * holding a System32 folder, any letter case, not a link.  On Windows it
 * is the running system, so always.  1: it does; 0: it does not, and WHY
 * (SIZE bytes) says why in a few words ("" when it is not set). */
int plat_check_system(const char *system_root, char *why, size_t size);

/* Tells whether the folder DIR (a Windows path) can be listed whole.
 * 1: it can; 0: nothing is there; -1: something is there but cannot be
 * listed, or (offline) a folder on the way to it below SystemRoot is a
 * link or cannot be listed: WHY (SIZE bytes) says why ("not a folder",
 * "a symbolic link, not followed", "cannot be listed: access denied",
 * "cannot be listed (error N)") and WHERE (WHERE_SIZE bytes) names the
 * folder it says it of, as the disk spells it: DIR, or one on the way. */
int plat_check_folder(const char *dir, char *why, size_t size, char *where,
    size_t where_size);

/* Hands out, one a call and each once a run, the symbolic links below
 * the Windows folder that this layer's calls met on the way to a path
 * and did not follow (offline), for the run to name: the link's path as
 * the disk spells it, into OUT (SIZE bytes, cut to fit).  1: OUT holds
 * one; 0: none is waiting (always so on Windows). */
int plat_link_not_followed(char *out, size_t size);

/* ---- driver packages: the system's own removal (Windows) ---- */

/* 1 when an OEM INF file's driver package leaves through the system's
 * own removal (plat_remove_driver_package: Windows); 0 when the system is
 * an offline installation, whose driver store is only looked at. */
int plat_removes_driver_packages(void);

/* The folder in which the system's driver store keeps the package
 * published as the OEM INF file INF_PATH (a Windows path), into OUT (SIZE
 * bytes).  1: OUT set; 0: the system names none (no driver store before
 * Vista, a package it does not know, INF_PATH outside its INF folder,
 * offline). */
int plat_driver_package_folder(const char *inf_path, char *out,
    size_t size);

/* Removes the driver package published as INF_PATH with the system's own
 * removal, forced even while a device uses it: INF, PNF, catalog and, since
 * Vista, the package in the driver store.  1: the system removed it (what
 * it left of the INF and PNF files is the caller's); 0: the system has no
 * such removal here (offline, no setupapi, INF_PATH outside the system's
 * INF folder); -1: the system refused it and the INF is still there,
 * errno set as the C run-time of Windows sets it. */
int plat_remove_driver_package(const char *inf_path);

/* ---- the backup of a run (backup/backup.h builds on these) ---- */

/* The current local time: year, month (1-12), day, hour, minute, second.
 * 1: T filled; -1: the system gives no time (T all zero). */
int plat_local_time(int t[6]);

/* Names in OUT (SIZE bytes) the INDEX-th folder, from 0, in which a run
 * may make its backup folder, ending in the system's separator: offline
 * the current folder, on Windows the root of the system drive and then
 * the program's own folder.  A place inside the Windows folder is never
 * given.  1: OUT set; 0: no such place (OUT ""). */
int plat_backup_place(int index, char *out, size_t size);

/* Makes the folder PATH (a path of this system, not below SystemRoot)
 * for the run's backup, open to nobody who could not change the system
 * itself: on Windows SYSTEM and the Administrators alone, passed on to
 * everything made inside; offline the user running the tool (mode 0700).
 * 1: made; 0: something of that name is there already (left as it is);
 * -1: failed, nothing made (also when the permissions cannot be set),
 * errno set as the C run-time of Windows sets it. */
int plat_make_folder(const char *path);

/* Makes the folder PATH as plat_make_folder does, in the backup, like
 * the folder LIKE (a Windows path) that it stands for there: offline
 * with LIKE's mode, owner (where the run may set it) and extended
 * attributes, so that copying the backup back leaves them as they
 * were; a run that is not root keeps the right to write into it.
 * 1, 0 or -1 as plat_make_folder. */
int plat_make_folder_like(const char *path, const char *like);

/* The path by which the file system holds the entry PATH (a Windows
 * path), as the removal touches it and the user is shown it: on Windows
 * PATH itself, offline the Linux path with the letter case found on the
 * disk, no link below SystemRoot followed.  1: OUT holds it; 0: nothing
 * is there, OUT holds the part that exists and the rest as named; -1:
 * OUT is too small. */
int plat_disk_path(const char *path, char *out, size_t size);

/* Copies the entry at PATH (a Windows path) to the new entry DST, which
 * must not exist; the copy reaches the disk before the call returns.
 * FOLDER 0 asks for a file, 1 for a folder with everything below it.
 * Links, junctions and other reparse points are copied as links offline
 * and passed over on Windows, never followed or entered; a folder of
 * another file system is not entered either.  Offline each file and
 * folder keeps its mode, owner (where the run may set it) and extended
 * attributes; a FIFO, device or socket cannot be kept (errno 22).
 * 1: copied; 0: nothing at PATH; -1: failed (an entry of the other kind
 * at PATH, or DST already there, included), errno set as the C run-time
 * of Windows sets it. */
int plat_copy(const char *path, const char *dst, int folder);

/* Puts back at PATH (a Windows path) what its copy COPY (made by
 * plat_copy; FOLDER as there) holds and PATH no longer does: an entry
 * that is missing comes back whole, a folder still there is entered,
 * and anything else still there is left as it is, never replaced.
 * Offline each entry gets the mode, owner and extended attributes the
 * copy kept, a folder gone whole its name as the copy spells it.
 * 1: nothing of the copy is missing now; -1: something could not be put
 * back, errno set as the C run-time of Windows sets it. */
int plat_put_back(const char *copy, const char *path, int folder);

#endif
