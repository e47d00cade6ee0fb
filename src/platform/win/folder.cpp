/*
 * folder.cpp (Windows) - removing a folder tree, in-process.
 *
 * The path goes to the wide-character file functions as an absolute
 * "\\?\" path, which Windows hands to the file system as it stands: no
 * trailing dot or blank is dropped, no device name ("NUL") or wildcard
 * is read into it.  Entries marked as reparse points (symbolic links,
 * junctions, mount points) are removed as entries and never entered, so
 * nothing outside the tree is reached.  Files in use stay while the rest
 * goes; when nothing else stayed, they and the folders above them are
 * given to the next restart.  Nothing is printed.
 */
#include <windows.h>

#include <errno.h>
#include <string.h>

#include "errmap.h"
#include "platform/platform.h"
#include "platform/win/restart.h"

/* The longest path the wide functions take, in characters. */
#define WIDE_PATH_MAX 32768

/* Deeper than any tree a removal is asked for; each level holds a search
 * handle and its find data on the stack. */
#define TREE_DEPTH_MAX 160

/* Listings of one folder, for file systems that skip entries of a folder
 * changed while it is listed. */
#define LIST_PASSES_MAX 4

/* The path of the entry being worked on: the tree's path, then a name per
 * level, cut back as the walk comes up again. */
static wchar_t g_path[WIDE_PATH_MAX];

/* The Windows error of the first failure of the removal under way. */
static DWORD g_first_error;

/* The entries left because they are in use, NUL-separated, each after
 * everything below it: the order in which the restart can remove them.
 * A tree with more of them than this holds is a failure. */
#define PENDING_MAX 65536
static wchar_t g_pending[PENDING_MAX];
static size_t g_pending_used;

/* Notes CODE as the cause of a failure, unless one is noted already.
 * Returns -1. */
static int
failed(DWORD code)
{
	if (g_first_error == 0)
		g_first_error = code != 0 ? code : ERROR_INVALID_FUNCTION;
	return -1;
}

/* Notes the entry at g_path as in use, to go at the next restart.
 * Returns 2, or -1 when the list is full. */
static int
left_in_use(void)
{
	size_t n = wcslen(g_path) + 1;

	if (g_pending_used + n > PENDING_MAX)
		return failed(ERROR_NOT_ENOUGH_MEMORY);
	memcpy(g_pending + g_pending_used, g_path, n * sizeof(wchar_t));
	g_pending_used += n;
	return 2;
}

/* Gives every entry noted in use to the next restart.  1: all given;
 * -1: the system refused one (those before it stay given). */
static int
schedule_pending(void)
{
	for (size_t at = 0; at < g_pending_used;
	    at += wcslen(g_pending + at) + 1) {
		if (!restart_schedule(g_pending + at))
			return failed(GetLastError());
	}
	return 1;
}

/* Appends "\NAME" to the path of LEN characters.  The new length, or 0
 * when it would not fit. */
static size_t
path_append(size_t len, const wchar_t *name)
{
	size_t n = wcslen(name);

	if (len + 1 + n >= WIDE_PATH_MAX)
		return 0;
	g_path[len] = L'\\';
	memcpy(g_path + len + 1, name, (n + 1) * sizeof(wchar_t));
	return len + 1 + n;
}

/* Makes the entry at g_path writable if it is read-only, as the command
 * interpreter's removal does. */
static void
clear_read_only(DWORD attr)
{
	if ((attr & FILE_ATTRIBUTE_READONLY) != 0)
		SetFileAttributesW(g_path, attr & ~FILE_ATTRIBUTE_READONLY);
}

/* 1 when this program runs under Wine.  Wine fault, seen in Wine 8.0
 * (Debian 8.0~repack-4): it shows a Linux link to a folder as a reparse
 * point, but its RemoveDirectoryW acts on the link's target: it removes
 * the target when that is empty and fails otherwise, and the link stays
 * either way.  (A Linux link to a file looks like a plain file there,
 * and nothing in Win32 tells them apart.) */
static int
under_wine(void)
{
	HMODULE ntdll = GetModuleHandleA("ntdll.dll");

	return ntdll != NULL && GetProcAddress(ntdll, "wine_get_version") != NULL;
}

/* Removes the entry at g_path that has the attributes ATTR, without
 * entering it.  1: gone; 2: a file in use, noted; -1: it stayed. */
static int
remove_as_entry(DWORD attr)
{
	DWORD code;
	BOOL ok;

	if ((attr & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && under_wine())
		return failed(ERROR_NOT_SUPPORTED);
	clear_read_only(attr);
	if ((attr & FILE_ATTRIBUTE_DIRECTORY) != 0)
		ok = RemoveDirectoryW(g_path);
	else
		ok = DeleteFileW(g_path);
	code = ok ? 0 : GetLastError();
	if (ok || code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND)
		return 1;
	if ((attr & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
	    restart_in_use(g_path, code))
		return left_in_use();
	return failed(code);
}

static int remove_tree(size_t len, DWORD attr, int depth);

/* Removes every entry of the folder at g_path (LEN characters) in one
 * listing.  1: each entry listed went; 2: only entries in use stayed;
 * 0: others stayed; -1: the folder could not be listed. */
static int
remove_listed(size_t len, int depth)
{
	WIN32_FIND_DATAW fd;
	HANDLE find;
	int result = 1;

	if (path_append(len, L"*") == 0)
		return failed(ERROR_FILENAME_EXCED_RANGE);
	find = FindFirstFileW(g_path, &fd);
	g_path[len] = L'\0';
	if (find == INVALID_HANDLE_VALUE)
		return failed(GetLastError());
	do {
		size_t sub;

		if (wcscmp(fd.cFileName, L".") == 0 ||
		    wcscmp(fd.cFileName, L"..") == 0)
			continue;
		if ((sub = path_append(len, fd.cFileName)) == 0) {
			failed(ERROR_FILENAME_EXCED_RANGE);
			result = 0;
			continue;
		}
		switch (remove_tree(sub, fd.dwFileAttributes, depth + 1)) {
		case 1:
			break;
		case 2:
			if (result == 1)
				result = 2;
			break;
		default:
			result = 0;
		}
		g_path[len] = L'\0';
	} while (FindNextFileW(find, &fd));
	FindClose(find);
	return result;
}

/* Removes the entry at g_path (LEN characters) with the attributes ATTR:
 * a plain folder with everything below it, anything else alone.
 * 1: gone; 2: only what is in use stayed, this entry noted after it;
 * -1: something else stayed. */
static int
remove_tree(size_t len, DWORD attr, int depth)
{
	DWORD code;

	if ((attr & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
	    (attr & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
		return remove_as_entry(attr);
	if (depth >= TREE_DEPTH_MAX)
		return failed(ERROR_FILENAME_EXCED_RANGE);
	for (int pass = 0; pass < LIST_PASSES_MAX; pass++) {
		int listed = remove_listed(len, depth);

		if (listed < 0)
			return -1;
		clear_read_only(attr);
		if (RemoveDirectoryW(g_path))
			return 1;
		code = GetLastError();
		/* Held by what stayed in it, or itself open elsewhere. */
		if ((listed == 2 && code == ERROR_DIR_NOT_EMPTY) ||
		    (listed >= 1 && code == ERROR_SHARING_VIOLATION))
			return left_in_use();
		if (code != ERROR_DIR_NOT_EMPTY || listed == 0)
			return failed(code);
	}
	return failed(ERROR_DIR_NOT_EMPTY);
}

/* 1 when the wide PATH is absolute as it stands: "X:\..." or a
 * "\\server\share" path. */
static int
is_absolute(const wchar_t *path)
{
	if (((path[0] >= L'A' && path[0] <= L'Z') ||
	    (path[0] >= L'a' && path[0] <= L'z')) && path[1] == L':' &&
	    path[2] == L'\\')
		return 1;
	return path[0] == L'\\' && path[1] == L'\\';
}

/* Puts the "\\?\" form of the ANSI PATH into g_path.  A relative path is
 * made absolute first (GetFullPathNameW, which also tidies it the usual
 * way); an absolute one is taken as it is.  Its length, or 0 with the
 * cause noted. */
static size_t
long_path(const char *path)
{
	static wchar_t wide[WIDE_PATH_MAX], full[WIDE_PATH_MAX];
	const wchar_t *src = full;
	const wchar_t *prefix = L"\\\\?\\";
	DWORD n;

	if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, path, -1, wide,
	    WIDE_PATH_MAX) == 0) {
		failed(GetLastError());
		return 0;
	}
	/* Already in a form of its own ("\\?\", "\\.\"): not ours to take. */
	if (wide[0] == L'\\' && wide[1] == L'\\' &&
	    (wide[2] == L'?' || wide[2] == L'.')) {
		failed(ERROR_INVALID_NAME);
		return 0;
	}
	if (is_absolute(wide)) {
		src = wide;
	} else {
		n = GetFullPathNameW(wide, WIDE_PATH_MAX, full, NULL);
		if (n == 0 || n >= WIDE_PATH_MAX || !is_absolute(full)) {
			failed(n == 0 ? GetLastError() :
			    ERROR_FILENAME_EXCED_RANGE);
			return 0;
		}
	}
	if (src[0] == L'\\') {
		/* \\server\share\x becomes \\?\UNC\server\share\x. */
		prefix = L"\\\\?\\UNC";
		src++;
	}
	if (wcslen(prefix) + wcslen(src) >= WIDE_PATH_MAX) {
		failed(ERROR_FILENAME_EXCED_RANGE);
		return 0;
	}
	wcscpy(g_path, prefix);
	wcscat(g_path, src);
	return wcslen(g_path);
}

int
plat_remove_folder(const char *path)
{
	size_t len;
	DWORD attr, code;
	int result;

	g_first_error = 0;
	g_pending_used = 0;
	if (path == NULL || path[0] == '\0') {
		errno = errno_from_win_error(ERROR_INVALID_NAME);
		return -1;
	}
	if ((len = long_path(path)) == 0) {
		errno = errno_from_win_error(g_first_error);
		return -1;
	}
	attr = GetFileAttributesW(g_path);
	if (attr == INVALID_FILE_ATTRIBUTES) {
		code = GetLastError();
		if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND)
			return 0;
		errno = errno_from_win_error(code);
		return -1;
	}
	/* A file is no folder to remove. */
	if ((attr & FILE_ATTRIBUTE_DIRECTORY) == 0) {
		errno = errno_from_win_error(ERROR_DIRECTORY);
		return -1;
	}
	result = remove_tree(len, attr, 0);
	/* What is in use is given to the restart only when nothing else
	 * stayed, and only when the caller says so: until then the folder
	 * can still be put back whole. */
	if (result != 2)
		g_pending_used = 0;
	if (result < 0)
		errno = errno_from_win_error(g_first_error);
	return result;
}

int
plat_remove_in_use_at_restart(void)
{
	int result;

	g_first_error = 0;
	result = schedule_pending();
	g_pending_used = 0;
	if (result < 0)
		errno = errno_from_win_error(g_first_error);
	return result;
}
