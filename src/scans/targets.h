/*
 * targets.h - what every scan looks for, and where.
 *
 * The driver base names of the package, the package name, the one rule by
 * which a text names one of them, and the Windows folders derived from
 * SystemRoot once per run.
 */
#ifndef VKM_TARGETS_H
#define VKM_TARGETS_H

#define PATH_BUF 260

extern const char *const g_target_names[];	/* closed by NULL */
extern const char g_package_name[];

extern char g_system_root[PATH_BUF];
extern char g_inf_dir[PATH_BUF];
extern char g_drivers_dir[PATH_BUF];
extern char g_lastgood_drivers_dir[PATH_BUF];
extern char g_drvstore_dir[PATH_BUF];

/* 1 when TEXT, from its start, holds NAME over NAME's whole length (ASCII
 * letters folded), else 0. */
int target_match(const char *text, const char *name);

/* The first target name that TEXT begins with, in table order, or NULL. */
const char *match_target_at(const char *text);

/* Fills the five folder buffers from SystemRoot, as the run read it
 * (plat_read_system_root).  1: all set; 0: SystemRoot unset or empty;
 * -1: too long for the scans' paths.  Unless 1, every folder buffer is
 * left empty, and the file scans look nowhere. */
int build_system_paths(void);

/* 1 when the file scans have folders to look in. */
int have_system_paths(void);

#endif
