/*
 * env.cpp (Windows) - environment variables; Windows itself matches their
 * names without regard to case.
 */
#include <windows.h>

#include "platform/platform.h"
#include "platform/win/wow64.h"

int
plat_getenv(const char *name, char *buf, size_t size)
{
	DWORD cap, len;

	/* A DWORD caps the buffer; a value that long cannot exist anyway. */
	cap = size > 32767 ? 32767 : (DWORD)size;
	SetLastError(ERROR_SUCCESS);
	len = GetEnvironmentVariableA(name, buf, cap);
	if (len == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND)
		return 0;
	if (len >= cap) {
		/* len is the size the value would need, its NUL included. */
		if (size > 0)
			buf[0] = '\0';
		return -1;
	}
	/* A variable may be set to the empty string: len 0, no error. */
	if (len == 0)
		buf[0] = '\0';
	return 1;
}

int
plat_redirected(void)
{
	return wow64_redirection_off() > 0 ? 0 : 1;
}
