/*
 * scans.h - the six scans, in the order a run calls them.  Each reports
 * what it finds, counts it, asks through ask_user, removes on agreement,
 * and returns at once when the user cancels.
 */
#ifndef VKM_SCANS_H
#define VKM_SCANS_H

#include <stddef.h>

void scan_oem_inf_files(void);
void scan_driver_store(void);
void scan_uninstall_entries(void);
void scan_smartcard_class(void);
void scan_services(void);
void scan_driver_files(void);

/* Composes the command that removes the driver-store folder named after
 * SUBKEY into CMD of SIZE bytes: "rmdir /s /q FOLDER", the folder quoted
 * when it holds a blank or a character the command interpreter treats
 * specially.  1: ready to run; 0: no safe command (no driver-store folder,
 * a name such as "." or "..", one with a separator, '"', '%', '!' or a
 * control character, or a line that would not fit). */
int compose_rmdir_command(const char *subkey, char *cmd, size_t size);

#endif
