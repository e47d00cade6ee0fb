/*
 * scans.h - the six scans, in the order a run calls them.  Each reports
 * what it finds, counts it, asks through ask_user, removes on agreement,
 * and returns at once when the user cancels.
 */
#ifndef VKM_SCANS_H
#define VKM_SCANS_H

void scan_oem_inf_files(void);
void scan_driver_store(void);
void scan_uninstall_entries(void);
void scan_smartcard_class(void);
void scan_services(void);
void scan_driver_files(void);

#endif
