/*
 * files.cpp (Windows) - reading and deleting files.
 *
 * Reading goes through the C run-time, its bytes as stored; fopen shares
 * the file for reading and writing, so nothing else is locked out while
 * it is read.
 * A file is there when the system names it, whether or not it can be
 * opened now; one in use is deleted at the next restart.
 */
#include <windows.h>

#include <errno.h>
#include <stdio.h>

#include "errmap.h"
#include "platform/platform.h"
#include "platform/win/restart.h"

/* The program holds one file open at a time, two at most. */
#define FILE_SLOTS 4

struct plat_file {
	FILE *fp;
};

static struct plat_file g_files[FILE_SLOTS];

/* 1 when PATH names a folder.  fopen refuses one on Windows, but say so
 * here rather than lean on every run-time doing it. */
static int
is_folder(const char *path)
{
	DWORD attr = GetFileAttributesA(path);

	return attr != INVALID_FILE_ATTRIBUTES &&
	    (attr & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

static struct plat_file *
free_slot(void)
{
	for (int i = 0; i < FILE_SLOTS; i++) {
		if (g_files[i].fp == NULL)
			return &g_files[i];
	}
	return NULL;
}

plat_file *
plat_fopen(const char *path)
{
	struct plat_file *slot;

	if (path == NULL)
		return NULL;
	if (is_folder(path))
		return NULL;
	slot = free_slot();
	if (slot == NULL)
		return NULL;
	slot->fp = fopen(path, "rb");
	return slot->fp != NULL ? slot : NULL;
}

void
plat_fclose(plat_file *f)
{
	if (f == NULL || f->fp == NULL)
		return;
	fclose(f->fp);
	f->fp = NULL;
}

int
plat_file_present(const char *path)
{
	WIN32_FIND_DATAA found;
	DWORD attr = GetFileAttributesA(path), code;
	HANDLE h;

	if (attr != INVALID_FILE_ATTRIBUTES)
		return (attr & FILE_ATTRIBUTE_DIRECTORY) != 0 ? 0 : 1;
	code = GetLastError();
	if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND)
		return 0;
	/* A file can refuse even the question (a paging file in use): the
	 * folder's listing still names it. */
	h = FindFirstFileA(path, &found);
	if (h != INVALID_HANDLE_VALUE) {
		FindClose(h);
		return (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ?
		    0 : 1;
	}
	errno = errno_from_win_error(code);
	return -1;
}

int
plat_remove_file(const char *path)
{
	wchar_t wide[MAX_PATH];
	DWORD code;

	if (DeleteFileA(path))
		return 1;
	code = GetLastError();
	if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND)
		return 0;
	if (MultiByteToWideChar(CP_ACP, 0, path, -1, wide, MAX_PATH) > 0 &&
	    restart_in_use(wide, code)) {
		if (restart_schedule(wide))
			return 2;
		code = GetLastError();
	}
	errno = errno_from_win_error(code);
	return -1;
}

int
plat_fread(void *buf, int size, plat_file *f)
{
	size_t n;

	if (buf == NULL || size <= 0 || f == NULL || f->fp == NULL)
		return -1;
	n = fread(buf, 1, (size_t)size, f->fp);
	return n == 0 && ferror(f->fp) ? -1 : (int)n;
}
