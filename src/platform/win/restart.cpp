/*
 * restart.cpp (Windows) - telling a file in use from a refusal, and
 * deleting it at the next restart.
 */
#include "platform/win/restart.h"

#include <windows.h>

int
restart_in_use(const wchar_t *path, unsigned long code)
{
	DWORD attr;
	HANDLE h;

	if (code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION)
		return 1;
	if (code != ERROR_ACCESS_DENIED)
		return 0;
	attr = GetFileAttributesW(path);
	if (attr == INVALID_FILE_ATTRIBUTES ||
	    (attr & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0)
		return 0;
	/* Access denied is also what a loaded driver's image answers.  When
	 * the rights allow opening it for deletion, only its use forbids
	 * the deletion itself. */
	h = CreateFileW(path, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE |
	    FILE_SHARE_DELETE, NULL, OPEN_EXISTING,
	    FILE_FLAG_OPEN_REPARSE_POINT, NULL);
	if (h == INVALID_HANDLE_VALUE)
		return GetLastError() == ERROR_SHARING_VIOLATION;
	CloseHandle(h);
	return 1;
}

int
restart_schedule(const wchar_t *path)
{
	return MoveFileExW(path, NULL, MOVEFILE_DELAY_UNTIL_REBOOT) ? 1 : 0;
}
