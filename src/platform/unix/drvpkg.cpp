/*
 * drvpkg.cpp (Linux) - an offline installation has no running system to
 * remove its driver packages: its driver store is only looked at, by the
 * OEM INF scan itself.
 */
#include "platform/platform.h"

int
plat_removes_driver_packages(void)
{
	return 0;
}

int
plat_driver_package_folder(const char *inf_path, char *out, size_t size)
{
	(void)inf_path;
	if (out != NULL && size > 0)
		out[0] = '\0';
	return 0;
}

int
plat_remove_driver_package(const char *inf_path)
{
	(void)inf_path;
	return 0;
}
