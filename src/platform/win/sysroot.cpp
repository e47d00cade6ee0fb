/*
 * sysroot.cpp (Windows) - SystemRoot is the running system; its folders
 * are listed through the system's own calls, and paths shown as named.
 */
#include <windows.h>

#include <stdio.h>

#include "common/crt_errno.h"
#include "platform/platform.h"
#include "platform/win/errmap.h"


int
plat_check_system(const char *system_root, char *why, size_t size)
{
	/* The running system is a Windows installation, whatever the
	 * variable says; an unset one is reported by the folder building. */
	(void)system_root;
	if (size > 0)
		why[0] = '\0';
	return 1;
}

/* Puts the reason for the GetLastError value CODE in WHY. */
static void
say_error(DWORD code, char *why, size_t size)
{
	int e = errno_from_win_error(code);

	if (e == CRT_EACCES)
		snprintf(why, size, "cannot be listed: access denied");
	else
		snprintf(why, size, "cannot be listed (error %d)", e);
}

int
plat_check_folder(const char *dir, char *why, size_t size, char *where,
    size_t where_size)
{
	char search[MAX_PATH];
	WIN32_FIND_DATAA found;
	HANDLE h;
	DWORD attr, code;
	int n;

	why[0] = '\0';
	snprintf(where, where_size, "%s", dir);
	attr = GetFileAttributesA(dir);
	if (attr == INVALID_FILE_ATTRIBUTES) {
		code = GetLastError();
		if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND)
			return 0;
		say_error(code, why, size);
		return -1;
	}
	if ((attr & FILE_ATTRIBUTE_DIRECTORY) == 0) {
		snprintf(why, size, "not a folder");
		return -1;
	}
	n = snprintf(search, sizeof(search), "%s\\*", dir);
	if (n < 0 || (size_t)n >= sizeof(search)) {
		snprintf(why, size, "path too long");
		return -1;
	}
	h = FindFirstFileA(search, &found);
	if (h == INVALID_HANDLE_VALUE) {
		code = GetLastError();
		if (code == ERROR_FILE_NOT_FOUND)
			return 1;
		say_error(code, why, size);
		return -1;
	}
	FindClose(h);
	return 1;
}

int
plat_link_not_followed(char *out, size_t size)
{
	/* Paths are Windows' own here: it takes their links itself. */
	if (size > 0)
		out[0] = '\0';
	return 0;
}
