/*
 * rights.cpp (Linux) - an offline installation has no elevation: the
 * disk's own permissions decide each removal, and each refusal is
 * reported where it happens.
 */
#include "platform/platform.h"

int
plat_elevated(void)
{
	return 1;
}
