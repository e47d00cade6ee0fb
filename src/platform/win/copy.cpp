/*
 * copy.cpp (Windows) - what a run's backup needs: the time, the place, a
 * new folder, and copies of files and folder trees.
 *
 * The backup goes to the root of the system drive (C:\), else beside the
 * program, never into the Windows folder: an elevated prompt starts in
 * System32.  Reparse points (symbolic links, junctions, mount points)
 * are passed over, never entered or followed: what they name is not the
 * item's, and the removal takes them as entries.  A copy is flushed to
 * the disk before the call returns.
 *
 * The backup is what an administrator puts back into the Windows folder
 * and the registry, so only SYSTEM and the Administrators may write it.
 * A new folder at the root of the system drive would take the root's
 * permissions, which let every signed-in user add and change files in
 * the folders below it; the backup folder is therefore made with its own
 * protected permissions, and everything made inside takes them over.
 */
#include <windows.h>
#include <sddl.h>

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "backup_sd.h"
#include "errmap.h"
#include "platform/platform.h"

/* Deeper than any tree the driver store holds. */
#define TREE_DEPTH_MAX 160

/* SYSTEM and the Administrators: full control (FA), inherited by folders
 * (CI) and files (OI) made inside; protected (P): nothing from above. */
#define BACKUP_FOLDER_SDDL "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)"

/* Sets errno to the run-time's number for the Windows error CODE.  -1. */
static int
fail(DWORD code)
{
	errno = errno_from_win_error(code);
	return -1;
}

int
plat_local_time(int t[6])
{
	SYSTEMTIME st;

	GetLocalTime(&st);
	t[0] = st.wYear;
	t[1] = st.wMonth;
	t[2] = st.wDay;
	t[3] = st.wHour;
	t[4] = st.wMinute;
	t[5] = st.wSecond;
	return 1;
}

/* 1 when the folder DIR ("C:\x\") lies in the Windows folder or is it,
 * letters compared without regard to case. */
static int
in_windows_folder(const char *dir)
{
	const char *root = plat_system_root(NULL);
	size_t n = strlen(root);

	while (n > 0 && root[n - 1] == '\\')
		n--;
	return n > 0 && _strnicmp(dir, root, n) == 0 &&
	    (dir[n] == '\\' || dir[n] == '\0');
}

/* The root of the system drive, "C:\". */
static int
system_drive_root(char *out, size_t size)
{
	char drive[MAX_PATH];
	size_t n;

	if (plat_getenv("SystemDrive", drive, sizeof(drive)) != 1 ||
	    drive[0] == '\0')
		return 0;
	n = strlen(drive);
	if (n + 2 > size)
		return 0;
	memcpy(out, drive, n);
	if (drive[n - 1] != '\\')
		out[n++] = '\\';
	out[n] = '\0';
	return 1;
}

/* The folder of this program, "D:\tools\". */
static int
program_folder(char *out, size_t size)
{
	char *slash;
	DWORD n;

	if (size > MAX_PATH)
		size = MAX_PATH;
	n = GetModuleFileNameA(NULL, out, (DWORD)size);
	if (n == 0 || n >= size || (slash = strrchr(out, '\\')) == NULL)
		return 0;
	slash[1] = '\0';
	return 1;
}

int
plat_backup_place(int index, char *out, size_t size)
{
	int (*const places[])(char *, size_t) = {
		system_drive_root, program_folder,
	};

	if (size > 0)
		out[0] = '\0';
	if (index < 0 || index >= 2 || !places[index](out, size))
		return 0;
	if (in_windows_folder(out)) {
		out[0] = '\0';
		return 0;
	}
	return 1;
}

int
backup_folder_security(PSECURITY_DESCRIPTOR *sd)
{
	*sd = NULL;
	if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(
	    BACKUP_FOLDER_SDDL, SDDL_REVISION_1, sd, NULL)) {
		*sd = NULL;
		return fail(GetLastError());
	}
	return 1;
}

/* The folder gets its permissions as it is made, never a moment later:
 * no folder is made without them. */
int
plat_make_folder(const char *path)
{
	SECURITY_ATTRIBUTES sa;
	PSECURITY_DESCRIPTOR sd;
	DWORD code = 0;

	if (backup_folder_security(&sd) < 0)
		return -1;
	sa.nLength = sizeof(sa);
	sa.lpSecurityDescriptor = sd;
	sa.bInheritHandle = FALSE;
	if (!CreateDirectoryA(path, &sa))
		code = GetLastError();
	LocalFree(sd);
	if (code == 0)
		return 1;
	return code == ERROR_ALREADY_EXISTS ? 0 : fail(code);
}

int
plat_disk_path(const char *path, char *out, size_t size)
{
	size_t n = strlen(path);

	if (n + 1 > size)
		return -1;
	memcpy(out, path, n + 1);
	return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES ? 1 : 0;
}

/* Makes the copy of the file at SRC durable: CopyFile leaves it to the
 * cache.  0, or the Windows error. */
static DWORD
flush_file(const char *path)
{
	HANDLE h = CreateFileA(path, GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
	    FILE_ATTRIBUTE_NORMAL, NULL);
	DWORD code = 0;

	if (h == INVALID_HANDLE_VALUE)
		return GetLastError();
	if (!FlushFileBuffers(h))
		code = GetLastError();
	CloseHandle(h);
	return code;
}

/* Copies the file SRC with the attributes ATTR to the new file DST.
 * 0, or the Windows error. */
static DWORD
copy_one_file(const char *src, const char *dst, DWORD attr)
{
	DWORD code;

	if (!CopyFileA(src, dst, TRUE))
		return GetLastError();
	/* A read-only copy cannot be opened to be flushed. */
	if ((attr & FILE_ATTRIBUTE_READONLY) != 0)
		SetFileAttributesA(dst, attr & ~FILE_ATTRIBUTE_READONLY);
	code = flush_file(dst);
	if ((attr & FILE_ATTRIBUTE_READONLY) != 0)
		SetFileAttributesA(dst, attr);
	return code;
}

/* Appends "\NAME" to BASE into OUT.  0, or an error when it would not
 * fit. */
static DWORD
join(char *out, const char *base, const char *name)
{
	int n = snprintf(out, MAX_PATH, "%s\\%s", base, name);

	return n < 0 || n >= MAX_PATH ? ERROR_FILENAME_EXCED_RANGE : 0;
}

/* What is done with one entry of a listed folder: the entry FROM, with
 * the attributes ATTR, and its place TO.  0, or the Windows error. */
typedef DWORD (*entry_fn)(const char *from, const char *to, DWORD attr,
    int depth);

/* Calls DO_ENTRY for every entry of the folder SRC, with its place in
 * the folder DST, one level below DEPTH.  0, or the Windows error of the
 * first entry that failed. */
static DWORD
each_entry(const char *src, const char *dst, int depth, entry_fn do_entry)
{
	char search[MAX_PATH], from[MAX_PATH], to[MAX_PATH];
	WIN32_FIND_DATAA fd;
	HANDLE find;
	DWORD code;

	if ((code = join(search, src, "*")) != 0)
		return code;
	if ((find = FindFirstFileA(search, &fd)) == INVALID_HANDLE_VALUE)
		return GetLastError();
	do {
		if (strcmp(fd.cFileName, ".") == 0 ||
		    strcmp(fd.cFileName, "..") == 0)
			continue;
		if ((code = join(from, src, fd.cFileName)) != 0 ||
		    (code = join(to, dst, fd.cFileName)) != 0)
			break;
		code = do_entry(from, to, fd.dwFileAttributes, depth + 1);
	} while (code == 0 && FindNextFileA(find, &fd));
	if (code == 0 && GetLastError() != ERROR_NO_MORE_FILES)
		code = GetLastError();
	FindClose(find);
	return code;
}

/* Copies the entry FROM to TO: a folder with everything in it, a file
 * with its attributes; a link is taken as an entry by the removal, and
 * there is nothing of it to keep. */
static DWORD
copy_entry(const char *from, const char *to, DWORD attr, int depth)
{
	if ((attr & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
		return 0;
	if ((attr & FILE_ATTRIBUTE_DIRECTORY) == 0)
		return copy_one_file(from, to, attr);
	if (depth >= TREE_DEPTH_MAX)
		return ERROR_FILENAME_EXCED_RANGE;
	if (!CreateDirectoryA(to, NULL))
		return GetLastError();
	return each_entry(from, to, depth, copy_entry);
}

/* Copies the entry PATH to DST; FOLDER says which kind is wanted.  1, 0
 * or -1 as plat_copy. */
int
plat_copy(const char *path, const char *dst, int folder)
{
	DWORD attr, code;

	if (path == NULL || dst == NULL)
		return fail(ERROR_INVALID_PARAMETER);
	attr = GetFileAttributesA(path);
	if (attr == INVALID_FILE_ATTRIBUTES) {
		code = GetLastError();
		if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND)
			return 0;
		return fail(code);
	}
	if (((attr & FILE_ATTRIBUTE_DIRECTORY) != 0) != (folder != 0))
		return fail(folder ? ERROR_DIRECTORY : ERROR_ACCESS_DENIED);
	code = copy_entry(path, dst, attr, 0);
	return code == 0 ? 1 : fail(code);
}

int
plat_make_folder_like(const char *path, const char *like)
{
	/* The backup goes back with xcopy, which copies no folder's
	 * attributes: there is nothing of LIKE a restore would carry. */
	(void)like;
	return plat_make_folder(path);
}

/* Puts back the entry SRC, a copy with the attributes ATTR, at DST: it
 * is copied when nothing is at DST, entered when both are plain
 * folders, and otherwise left as it is.  0, or the Windows error. */
static DWORD
put_back_one(const char *src, const char *dst, DWORD attr, int depth)
{
	DWORD have = GetFileAttributesA(dst), code;

	if (have == INVALID_FILE_ATTRIBUTES) {
		code = GetLastError();
		if (code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND)
			return code;
		if ((attr & FILE_ATTRIBUTE_DIRECTORY) == 0)
			return CopyFileA(src, dst, TRUE) ? 0 : GetLastError();
		if (!CreateDirectoryA(dst, NULL))
			return GetLastError();
	} else if ((attr & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
	    (have & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
	    (have & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
		return 0;
	if (depth >= TREE_DEPTH_MAX)
		return ERROR_FILENAME_EXCED_RANGE;
	return each_entry(src, dst, depth, put_back_one);
}

int
plat_put_back(const char *copy, const char *path, int folder)
{
	DWORD attr, code, here;

	if (copy == NULL || path == NULL)
		return fail(ERROR_INVALID_PARAMETER);
	if ((attr = GetFileAttributesA(copy)) == INVALID_FILE_ATTRIBUTES) {
		code = GetLastError();
		/* A link is never copied (plat_copy): one still there is
		 * whole, one gone cannot come back. */
		here = GetFileAttributesA(path);
		if ((code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) &&
		    here != INVALID_FILE_ATTRIBUTES &&
		    (here & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
			return 1;
		return fail(code);
	}
	if (((attr & FILE_ATTRIBUTE_DIRECTORY) != 0) != (folder != 0))
		return fail(folder ? ERROR_DIRECTORY : ERROR_ACCESS_DENIED);
	code = put_back_one(copy, path, attr, 0);
	return code == 0 ? 1 : fail(code);
}

/* 1 when the wide names A and B are equal, ASCII letters folded and
 * every other character compared as it is. */
static int
same_wide_name(const wchar_t *a, const wchar_t *b)
{
	for (;; a++, b++) {
		wchar_t x = *a >= L'A' && *a <= L'Z' ? *a + 32 : *a;
		wchar_t y = *b >= L'A' && *b <= L'Z' ? *b + 32 : *b;

		if (x != y)
			return 0;
		if (x == L'\0')
			return 1;
	}
}

/* The longest path the wide functions take, in characters. */
#define WIDE_PATH_MAX 32768

int
plat_name_held(const char *path)
{
	static wchar_t wide[WIDE_PATH_MAX + 4];
	WIN32_FIND_DATAW fd;
	const wchar_t *last;
	wchar_t *p = wide + 4;
	HANDLE h;
	DWORD code;

	if (path == NULL || MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS,
	    path, -1, p, WIDE_PATH_MAX) == 0)
		return fail(ERROR_INVALID_NAME);
	/* "X:\..." goes as "\\?\X:\...": no name of it is tidied away, and
	 * a long driver-store path is no reason to fail. */
	if (((p[0] >= L'A' && p[0] <= L'Z') || (p[0] >= L'a' && p[0] <= L'z')) &&
	    p[1] == L':' && p[2] == L'\\') {
		p = wide;
		memcpy(p, L"\\\\?\\", 4 * sizeof(wchar_t));
	}
	/* With no wildcard in the name the search finds the entry itself,
	 * and tells the name the file system holds it under. */
	last = p == wide ? p + 4 : p;
	for (const wchar_t *c = last; *c != L'\0'; c++) {
		if (*c == L'\\')
			last = c + 1;
		else if (*c == L'*' || *c == L'?')
			return fail(ERROR_INVALID_NAME);
	}
	if (*last == L'\0')
		return fail(ERROR_INVALID_NAME);
	h = FindFirstFileW(p, &fd);
	if (h == INVALID_HANDLE_VALUE) {
		code = GetLastError();
		if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND)
			return 0;
		return fail(code);
	}
	FindClose(h);
	return same_wide_name(fd.cFileName, last) ? 1 :
	    fail(ERROR_INVALID_NAME);
}
