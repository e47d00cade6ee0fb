/*
 * stored_package.h - the driver-store package an OEM INF file of an
 * offline installation was published from.
 *
 * Since Vista, Windows keeps each installed driver package whole in
 * System32\DriverStore\FileRepository\<name>, and INF\oem<N>.inf is only
 * its published name: deleting that file alone would leave a package
 * Windows' own tools then cannot remove by name.  Offline the tool
 * cannot take a package out of the store, so such an INF file is named,
 * with its package, and left.
 */
#ifndef VKM_STORED_PACKAGE_H
#define VKM_STORED_PACKAGE_H

#include <stddef.h>

/* Looks for the package of the OEM INF file INF_PATH, number DIGITS:
 * Windows 8 and later name it in the SYSTEM hive (DriverDatabase
 * \DriverInfFiles\oem<N>.inf, value "Active": the name of its key in
 * DriverDatabase\DriverPackages and of its folder in the store); else,
 * as on Vista and 7, it is the store folder holding an INF file with the
 * same bytes.  A store folder or INF file that cannot be read is named
 * as a place not read.  1: found, FOLDER (SIZE bytes) holds the
 * package's folder; 0: none. */
int find_stored_package(const char *inf_path, const char *digits,
    char *folder, size_t size);

#endif
