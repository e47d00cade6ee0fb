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

/* 1 when the driver-store subkey name NAME can stand as one folder name
 * below the driver-store folder, as the file system will take it; 0 for
 * a name Windows would alter or read as something else: empty, ending in
 * a dot or blank (".", "..", "sib."), holding a separator, a wildcard,
 * one of <>|": or a control character, or naming a device ("NUL",
 * "com1.txt").  Such an item is reported but never removed. */
int is_single_folder_name(const char *name);

#endif
