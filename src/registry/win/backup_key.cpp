/*
 * backup_key.cpp (Windows) - a key tree, before it is deleted, appended
 * to the run's "registry.reg" in the REGEDIT4 format, which
 * `regedit /s registry.reg` imports again.
 *
 * REGEDIT4 files are in the ANSI code page, as the A functions give names
 * and data.  Each key gets "[HKEY_LOCAL_MACHINE\...]" with its path as
 * the scan found it (Wow6432Node included), then its values: REG_SZ as
 * "text" with \ and " escaped, a four-byte REG_DWORD as dword:xxxxxxxx,
 * REG_BINARY as hex:.., anything else as hex(N):.. with its type number
 * in hex.  A key whose name or string the format cannot carry (a line
 * break, an inner NUL) is not kept, and so not deleted.  A section is
 * appended whole or not at all: on a failure the file is cut back.
 */
#include <windows.h>

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "platform/win/errmap.h"
#include "registry/reg_internal.h"

#define REG_FILE "registry.reg"
/* Deeper than any tree the scans delete. */
#define KEY_DEPTH_MAX 64
#define KEY_PATH_MAX 4096
#define OUT_BUF 8192
/* Value data larger than this is not kept (nor deleted). */
#define DATA_MAX (16u * 1024u * 1024u)

/* The file being appended to, with a small output buffer. */
struct reg_out {
	HANDLE h;
	DWORD error;		/* the first Windows error, or 0 */
	size_t used;
	char buf[OUT_BUF];
};

static void
flush_out(struct reg_out *o)
{
	DWORD wrote;

	if (o->error == 0 && o->used > 0 &&
	    (!WriteFile(o->h, o->buf, (DWORD)o->used, &wrote, NULL) ||
	    wrote != o->used))
		o->error = GetLastError() != 0 ? GetLastError() :
		    ERROR_WRITE_FAULT;
	o->used = 0;
}

static void
put_bytes(struct reg_out *o, const char *s, size_t n)
{
	while (n > 0) {
		size_t room = OUT_BUF - o->used, take = n < room ? n : room;

		memcpy(o->buf + o->used, s, take);
		o->used += take;
		s += take;
		n -= take;
		if (o->used == OUT_BUF)
			flush_out(o);
	}
}

static void
put(struct reg_out *o, const char *s)
{
	put_bytes(o, s, strlen(s));
}

/* 1 when the LEN bytes at S can stand between quotes: no line break and
 * no NUL. */
static int
quotable(const char *s, size_t len)
{
	for (size_t i = 0; i < len; i++) {
		if (s[i] == '\0' || s[i] == '\r' || s[i] == '\n')
			return 0;
	}
	return 1;
}

/* Writes the LEN bytes at S between quotes, \ and " escaped. */
static void
put_quoted(struct reg_out *o, const char *s, size_t len)
{
	put(o, "\"");
	for (size_t i = 0; i < len; i++) {
		if (s[i] == '\\' || s[i] == '"')
			put(o, "\\");
		put_bytes(o, s + i, 1);
	}
	put(o, "\"");
}

static void
put_hex(struct reg_out *o, const BYTE *data, DWORD len)
{
	static const char digits[] = "0123456789abcdef";
	char two[3];

	for (DWORD i = 0; i < len; i++) {
		two[0] = digits[data[i] >> 4];
		two[1] = digits[data[i] & 15];
		two[2] = ',';
		put_bytes(o, two, i + 1 < len ? 3 : 2);
	}
}

/* Writes one value line.  0, or an error when the value cannot be
 * written in the format. */
static DWORD
put_value(struct reg_out *o, const char *name, DWORD type, const BYTE *data,
    DWORD len)
{
	char head[32];
	size_t n = strlen(name);
	DWORD dw;

	if (!quotable(name, n))
		return ERROR_INVALID_DATA;
	if (n == 0)
		put(o, "@");
	else
		put_quoted(o, name, n);
	put(o, "=");
	if (type == REG_SZ) {
		/* Stored with its NUL, or without one: the quoted text gets
		 * it back either way. */
		if (len > 0 && data[len - 1] == '\0')
			len--;
		if (!quotable((const char *)data, len))
			return ERROR_INVALID_DATA;
		put_quoted(o, (const char *)data, len);
	} else if (type == REG_DWORD && len == 4) {
		memcpy(&dw, data, 4);
		snprintf(head, sizeof(head), "dword:%08lx", (unsigned long)dw);
		put(o, head);
	} else {
		if (type == REG_BINARY)
			put(o, "hex:");
		else {
			snprintf(head, sizeof(head), "hex(%lx):",
			    (unsigned long)type);
			put(o, head);
		}
		put_hex(o, data, len);
	}
	put(o, "\r\n");
	return 0;
}

/* Writes every value of the open KEY.  0, or the Windows error. */
static DWORD
put_values(struct reg_out *o, HKEY key)
{
	DWORD count = 0, name_max = 0, data_max = 0, code;
	char *name;
	BYTE *data;

	code = (DWORD)RegQueryInfoKeyA(key, NULL, NULL, NULL, NULL, NULL, NULL,
	    &count, &name_max, &data_max, NULL, NULL);
	if (code != ERROR_SUCCESS)
		return code;
	if (data_max > DATA_MAX)
		return ERROR_NOT_ENOUGH_MEMORY;
	/* An ANSI name or string takes no more bytes than its UTF-16 form;
	 * the slack covers a terminator. */
	name = (char *)malloc(name_max + 2);
	data = (BYTE *)malloc(data_max + 2);
	if (name == NULL || data == NULL)
		code = ERROR_NOT_ENOUGH_MEMORY;
	for (DWORD i = 0; code == 0 && i < count; i++) {
		DWORD name_len = name_max + 2, data_len = data_max + 2, type;

		code = (DWORD)RegEnumValueA(key, i, name, &name_len, NULL,
		    &type, data, &data_len);
		if (code == ERROR_NO_MORE_ITEMS) {
			code = 0;
			break;
		}
		if (code == 0)
			code = put_value(o, name, type, data, data_len);
	}
	free(name);
	free(data);
	return code;
}

/* Writes the section of the key at PATH (LEN bytes used of KEY_PATH_MAX,
 * root name included), open as KEY, then those of its subkeys.  0, or
 * the Windows error. */
static DWORD
put_tree(struct reg_out *o, HKEY key, char *path, size_t len, int depth)
{
	char name[256];
	DWORD code;

	if (depth >= KEY_DEPTH_MAX || !quotable(path, len))
		return ERROR_INVALID_DATA;
	put(o, "\r\n[");
	put_bytes(o, path, len);
	put(o, "]\r\n");
	if ((code = put_values(o, key)) != 0)
		return code;
	for (DWORD i = 0;; i++) {
		DWORD name_len = sizeof(name);
		HKEY child;
		size_t n;

		code = (DWORD)RegEnumKeyExA(key, i, name, &name_len, NULL, NULL,
		    NULL, NULL);
		if (code == ERROR_NO_MORE_ITEMS)
			return 0;
		if (code != 0)
			return code;
		n = strlen(name);
		if (len + 1 + n >= KEY_PATH_MAX)
			return ERROR_FILENAME_EXCED_RANGE;
		path[len] = '\\';
		memcpy(path + len + 1, name, n + 1);
		code = (DWORD)RegOpenKeyExA(key, name, 0, KEY_READ, &child);
		if (code == 0) {
			code = put_tree(o, child, path, len + 1 + n, depth + 1);
			RegCloseKey(child);
		}
		path[len] = '\0';
		if (code != 0)
			return code;
	}
}

/* Opens "registry.reg" in DIR for appending, with its header when it is
 * new.  0, or the Windows error. */
static DWORD
open_reg_file(struct reg_out *o, const char *dir, LONG *start)
{
	char file[MAX_PATH];
	DWORD size;
	int n = snprintf(file, sizeof(file), "%s\\" REG_FILE, dir);

	if (n < 0 || n >= (int)sizeof(file))
		return ERROR_FILENAME_EXCED_RANGE;
	o->h = CreateFileA(file, GENERIC_READ | GENERIC_WRITE, 0, NULL,
	    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
	if (o->h == INVALID_HANDLE_VALUE)
		return GetLastError();
	size = GetFileSize(o->h, NULL);
	if (size == INVALID_FILE_SIZE ||
	    SetFilePointer(o->h, 0, NULL, FILE_END) == INVALID_SET_FILE_POINTER) {
		CloseHandle(o->h);
		return GetLastError();
	}
	*start = (LONG)size;
	if (size == 0)
		put(o, "REGEDIT4\r\n");
	return 0;
}

int
backup_key_tree(HKEY root, const char *subpath, const char *backup_dir)
{
	static struct reg_out o;
	static char path[KEY_PATH_MAX];
	const char *root_name = root == HKEY_CURRENT_USER ?
	    "HKEY_CURRENT_USER" : "HKEY_LOCAL_MACHINE";
	LONG start = 0;
	HKEY key;
	DWORD code;
	int n;

	n = snprintf(path, sizeof(path), "%s\\%s", root_name, subpath);
	if (n < 0 || n >= (int)sizeof(path)) {
		errno = errno_from_win_error(ERROR_FILENAME_EXCED_RANGE);
		return -1;
	}
	code = (DWORD)RegOpenKeyExA(root, subpath, 0, KEY_READ, &key);
	if (code != 0) {
		errno = errno_from_win_error(code);
		return -1;
	}
	o.error = 0;
	o.used = 0;
	if ((code = open_reg_file(&o, backup_dir, &start)) == 0) {
		code = put_tree(&o, key, path, (size_t)n, 0);
		flush_out(&o);
		if (code == 0)
			code = o.error;
		if (code == 0 && !FlushFileBuffers(o.h))
			code = GetLastError();
		if (code != 0) {
			/* Cut back to the file as it was. */
			SetFilePointer(o.h, start, NULL, FILE_BEGIN);
			SetEndOfFile(o.h);
		}
		CloseHandle(o.h);
	}
	RegCloseKey(key);
	if (code != 0) {
		errno = errno_from_win_error(code);
		return -1;
	}
	return 1;
}
