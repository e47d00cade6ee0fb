/*
 * backup_key.cpp (Windows) - a key tree, before it is deleted, appended
 * to the run's "registry.reg" in the Unicode format of regedit ("Windows
 * Registry Editor Version 5.00", UTF-16LE after a byte order mark), which
 * `regedit /s registry.reg` imports again.
 *
 * Names and data are read with the wide functions, so every character
 * goes into the file as it is.  Each key gets "[HKEY_LOCAL_MACHINE\...]"
 * with its path as the scan found it (Wow6432Node included), then its
 * values: a REG_SZ of plain text as "text" with \ and " escaped, a
 * four-byte REG_DWORD as dword:xxxxxxxx, REG_BINARY as hex:.., anything
 * else (other strings too) as hex(N):.. with its bytes as stored and its
 * type number in hex.  A string stored without its last NUL comes back
 * with one: regedit adds it.  What the file cannot carry is not kept, and
 * so not deleted: a key or value name holding a line break or a NUL, a
 * string of an odd number of bytes (Wine 8's regedit stops the whole
 * import on half a character), and a registry link, which regedit would
 * make again as a plain key.  A section is appended whole or not at all:
 * on a failure the file is cut back.  The same walk, writing nothing,
 * proves a tree before its first key is deleted (tree_deletable).
 */
#include <windows.h>

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "common/crt_errno.h"
#include "registry/reg_internal.h"

#define REG_FILE "registry.reg"
/* Deeper than any tree the scans delete. */
#define KEY_DEPTH_MAX 64
#define KEY_PATH_MAX 4096
#define OUT_BUF 8192
/* Value data larger than this is not kept (nor deleted). */
#define DATA_MAX (16u * 1024u * 1024u)
/* The access the tree delete needs, and the export. */
#define WALK_ACCESS (KEY_READ | DELETE)

/* The file being appended to, with a small output buffer; a trial walk
 * has no file and writes nothing. */
struct reg_out {
	HANDLE h;		/* INVALID_HANDLE_VALUE: a trial */
	DWORD error;		/* the first Windows error, or 0 */
	size_t used;
	WCHAR buf[OUT_BUF];
};

static void
flush_out(struct reg_out *o)
{
	DWORD wrote, bytes = (DWORD)(o->used * sizeof(WCHAR));

	if (o->h != INVALID_HANDLE_VALUE && o->error == 0 && o->used > 0 &&
	    (!WriteFile(o->h, o->buf, bytes, &wrote, NULL) || wrote != bytes))
		o->error = GetLastError() != 0 ? GetLastError() :
		    ERROR_WRITE_FAULT;
	o->used = 0;
}

static void
put_units(struct reg_out *o, const WCHAR *s, size_t n)
{
	while (n > 0) {
		size_t room = OUT_BUF - o->used, take = n < room ? n : room;

		memcpy(o->buf + o->used, s, take * sizeof(WCHAR));
		o->used += take;
		s += take;
		n -= take;
		if (o->used == OUT_BUF)
			flush_out(o);
	}
}

/* Writes the ASCII text S. */
static void
put(struct reg_out *o, const char *s)
{
	for (; *s != '\0'; s++) {
		WCHAR c = (WCHAR)(unsigned char)*s;
		put_units(o, &c, 1);
	}
}

/* 1 when the N characters at S can stand as a name between brackets or
 * quotes: no line break and no NUL. */
static int
plain_name(const WCHAR *s, size_t n)
{
	for (size_t i = 0; i < n; i++) {
		if (s[i] == 0 || s[i] == '\r' || s[i] == '\n')
			return 0;
	}
	return 1;
}

/* Writes the N characters at S between quotes, \ and " escaped. */
static void
put_quoted(struct reg_out *o, const WCHAR *s, size_t n)
{
	static const WCHAR quote = '"', backslash = '\\';

	put_units(o, &quote, 1);
	for (size_t i = 0; i < n; i++) {
		if (s[i] == '\\' || s[i] == '"')
			put_units(o, &backslash, 1);
		put_units(o, s + i, 1);
	}
	put_units(o, &quote, 1);
}

static void
put_hex(struct reg_out *o, const BYTE *data, DWORD len)
{
	static const char digits[] = "0123456789abcdef";
	char two[4];

	for (DWORD i = 0; i < len; i++) {
		two[0] = digits[data[i] >> 4];
		two[1] = digits[data[i] & 15];
		two[2] = i + 1 < len ? ',' : '\0';
		two[3] = '\0';
		put(o, two);
	}
}

/* 1 when the REG_SZ data (LEN bytes at DATA) is text that comes back the
 * same from between quotes: its last character its only NUL, and no
 * line break or other control character before it. */
static int
plain_text(const BYTE *data, DWORD len)
{
	const WCHAR *s = (const WCHAR *)data;
	size_t n = len / sizeof(WCHAR);

	if (n == 0 || s[n - 1] != 0)
		return 0;
	for (size_t i = 0; i + 1 < n; i++) {
		if (s[i] < 0x20)
			return 0;
	}
	return 1;
}

/* Writes one value line.  0, or an error when the value cannot be
 * written in the format. */
static DWORD
put_value(struct reg_out *o, const WCHAR *name, DWORD name_len, DWORD type,
    const BYTE *data, DWORD len)
{
	char head[32];
	DWORD dw;
	int text = type == REG_SZ || type == REG_EXPAND_SZ ||
	    type == REG_MULTI_SZ;

	if (!plain_name(name, name_len) || (text && len % 2 != 0))
		return ERROR_INVALID_DATA;
	if (name_len == 0)
		put(o, "@");
	else
		put_quoted(o, name, name_len);
	put(o, "=");
	if (type == REG_SZ && plain_text(data, len)) {
		put_quoted(o, (const WCHAR *)data, len / sizeof(WCHAR) - 1);
	} else if (type == REG_DWORD && len == 4) {
		memcpy(&dw, data, 4);
		snprintf(head, sizeof(head), "dword:%08lx", (unsigned long)dw);
		put(o, head);
	} else {
		if (type == REG_BINARY)
			snprintf(head, sizeof(head), "hex:");
		else
			snprintf(head, sizeof(head), "hex(%lx):",
			    (unsigned long)type);
		put(o, head);
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
	WCHAR *name;
	BYTE *data;

	code = (DWORD)RegQueryInfoKeyW(key, NULL, NULL, NULL, NULL, NULL, NULL,
	    &count, &name_max, &data_max, NULL, NULL);
	if (code != ERROR_SUCCESS)
		return code;
	if (data_max > DATA_MAX)
		return ERROR_NOT_ENOUGH_MEMORY;
	/* The slack covers a terminator. */
	name = (WCHAR *)malloc((name_max + 2) * sizeof(WCHAR));
	data = (BYTE *)malloc(data_max + 2);
	if (name == NULL || data == NULL)
		code = ERROR_NOT_ENOUGH_MEMORY;
	for (DWORD i = 0; code == 0 && i < count; i++) {
		DWORD name_len = name_max + 2, data_len = data_max + 2, type;

		code = (DWORD)RegEnumValueW(key, i, name, &name_len, NULL,
		    &type, data, &data_len);
		if (code == ERROR_NO_MORE_ITEMS) {
			code = 0;
			break;
		}
		if (code == 0)
			code = put_value(o, name, name_len, type, data,
			    data_len);
	}
	free(name);
	free(data);
	return code;
}

/* 1 when the key open as itself as KEY, NAME below PARENT, is a registry
 * link: it holds the value that names a link's target, or it opens only
 * as itself (a link whose target is missing). */
static int
is_link(HKEY parent, const WCHAR *name, HKEY key)
{
	DWORD type = REG_NONE;
	HKEY through;

	if (RegQueryValueExW(key, L"SymbolicLinkValue", NULL, &type, NULL,
	    NULL) == ERROR_SUCCESS && type == REG_LINK)
		return 1;
	if (reg_open_wide(parent, name, 0, KEY_QUERY_VALUE, &through) !=
	    ERROR_SUCCESS)
		return 1;
	RegCloseKey(through);
	return 0;
}

/* Gives the key-path layer the link at PATH (LEN characters, root name
 * included) as what cannot be kept, and so is not removed. */
static void
refuse_link(const WCHAR *path, size_t len)
{
	static char shown[KEY_PATH_MAX * 2];
	size_t skip = 0;

	while (skip < len && path[skip] != '\\')
		skip++;
	if (skip < len)
		skip++;
	(void)reg_narrow_name(path + skip, len - skip, shown, sizeof(shown));
	reg_refuse(REG_LINK_NOT_KEPT, "HKLM", shown);
}

static DWORD put_subkeys(struct reg_out *, HKEY, WCHAR *, size_t, int);

/* Writes the section of the key NAME below PARENT, whose path is PATH
 * (LEN characters used of KEY_PATH_MAX, root name included), then those
 * of its subkeys.  The key is opened as itself, with the access its
 * delete needs.  0, or the Windows error. */
static DWORD
put_key(struct reg_out *o, HKEY parent, const WCHAR *name, WCHAR *path,
    size_t len, int depth)
{
	static const WCHAR open = '[', close = ']';
	HKEY key;
	DWORD code;

	if (depth >= KEY_DEPTH_MAX || !plain_name(path, len))
		return ERROR_INVALID_DATA;
	code = (DWORD)reg_open_wide(parent, name, REG_OPTION_OPEN_LINK,
	    WALK_ACCESS, &key);
	if (code != 0)
		return code;
	if (is_link(parent, name, key)) {
		refuse_link(path, len);
		code = ERROR_INVALID_DATA;
	} else {
		put(o, "\r\n");
		put_units(o, &open, 1);
		put_units(o, path, len);
		put_units(o, &close, 1);
		put(o, "\r\n");
		if ((code = put_values(o, key)) == 0)
			code = put_subkeys(o, key, path, len, depth);
	}
	RegCloseKey(key);
	return code;
}

/* Writes the sections of every subkey of the open KEY, whose path is
 * PATH (LEN characters).  0, or the Windows error. */
static DWORD
put_subkeys(struct reg_out *o, HKEY key, WCHAR *path, size_t len, int depth)
{
	WCHAR name[NAME_UNITS];
	DWORD code;

	for (DWORD i = 0;; i++) {
		DWORD n;

		code = (DWORD)reg_enum_wide(key, i, name, &n);
		if (code == ERROR_NO_MORE_ITEMS)
			return 0;
		if (code != 0)
			return code;
		/* A NUL in it would open the key its first part names. */
		if (!plain_name(name, n))
			return ERROR_INVALID_DATA;
		if (len + 1 + n >= KEY_PATH_MAX)
			return ERROR_FILENAME_EXCED_RANGE;
		path[len] = '\\';
		memcpy(path + len + 1, name, (n + 1) * sizeof(WCHAR));
		code = put_key(o, key, name, path, len + 1 + n, depth + 1);
		path[len] = 0;
		if (code != 0)
			return code;
	}
}

/* Opens "registry.reg" in DIR for appending, with its header when it is
 * new.  0, or the Windows error. */
static DWORD
open_reg_file(struct reg_out *o, const char *dir, LONG *start)
{
	static const WCHAR bom = 0xFEFF;
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
	if (size == 0) {
		put_units(o, &bom, 1);
		put(o, "Windows Registry Editor Version 5.00\r\n");
	}
	return 0;
}

/* Walks the tree SUBPATH below ROOT into O, its file open already or a
 * trial.  Every key the scans remove lies below HKLM, the one root the
 * file names: a key of another is not kept.  0, or the Windows error. */
static DWORD
walk_tree(struct reg_out *o, HKEY root, const char *subpath)
{
	static WCHAR path[KEY_PATH_MAX];
	static const char name[] = "HKEY_LOCAL_MACHINE";
	size_t n = strlen(name);
	int m;

	if (root != HKEY_LOCAL_MACHINE)
		return ERROR_INVALID_PARAMETER;
	for (size_t i = 0; i < n; i++)
		path[i] = (WCHAR)name[i];
	path[n++] = '\\';
	m = MultiByteToWideChar(CP_ACP, 0, subpath, -1, path + n,
	    (int)(KEY_PATH_MAX - n));
	if (m <= 0)
		return ERROR_FILENAME_EXCED_RANGE;
	return put_key(o, root, path + n, path, n + (size_t)m - 1, 0);
}

int
tree_deletable(HKEY root, const char *subpath, int for_delete)
{
	static struct reg_out o;
	DWORD code;

	/* Proved by key_path_deletable, and a delete keeps what went. */
	if (for_delete)
		return 1;
	o.h = INVALID_HANDLE_VALUE;
	o.error = 0;
	o.used = 0;
	code = walk_tree(&o, root, subpath);
	if (code != 0) {
		errno = crt_errno_of_win_error(code);
		return 0;
	}
	return 1;
}

int
backup_key_tree(HKEY root, const char *subpath, const char *backup_dir)
{
	static struct reg_out o;
	LONG start = 0;
	DWORD code;

	HKEY key;

	/* A key that is not there leaves the file as it was. */
	code = (DWORD)RegOpenKeyExA(root, subpath, REG_OPTION_OPEN_LINK,
	    KEY_READ, &key);
	if (code != 0) {
		errno = crt_errno_of_win_error(code);
		return -1;
	}
	RegCloseKey(key);
	o.error = 0;
	o.used = 0;
	if ((code = open_reg_file(&o, backup_dir, &start)) == 0) {
		code = walk_tree(&o, root, subpath);
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
	if (code != 0) {
		errno = crt_errno_of_win_error(code);
		return -1;
	}
	return 1;
}
