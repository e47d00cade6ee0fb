/*
 * dirlist.cpp (Windows) - the names in one folder, through the system's
 * own wildcard listing.
 */
#include <windows.h>

#include <stdio.h>

#include "platform/platform.h"

int
plat_list_folder(const char *dir, const char *pattern,
    int (*visit)(const char *name, void *ctx), void *ctx)
{
	char search[MAX_PATH];
	WIN32_FIND_DATAA found;
	HANDLE h;
	int n, result = 1;

	if (dir == NULL || visit == NULL)
		return -1;
	n = snprintf(search, sizeof(search), "%s\\%s", dir,
	    pattern != NULL ? pattern : "*");
	if (n < 0 || (size_t)n >= sizeof(search))
		return -1;
	h = FindFirstFileA(search, &found);
	if (h == INVALID_HANDLE_VALUE) {
		/* An existing folder with no name that fits the pattern. */
		return GetLastError() == ERROR_FILE_NOT_FOUND ? 1 : -1;
	}
	do {
		if (visit(found.cFileName, ctx) != 1) {
			result = 0;
			break;
		}
	} while (FindNextFileA(h, &found));
	if (result == 1 && GetLastError() != ERROR_NO_MORE_FILES)
		result = -1;
	FindClose(h);
	return result;
}
