/*
 * reg_sys.h (Windows) - the six registry functions the key-path layer is
 * written against come straight from advapi32.
 */
#ifndef VKM_REG_SYS_H
#define VKM_REG_SYS_H

#include <windows.h>

#endif
