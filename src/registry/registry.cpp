/*
 * registry.cpp - key paths over the six registry functions of reg_sys.h,
 * and its commit, which makes a delete durable.
 */
#include "registry/registry.h"

#include <string.h>

#include "common/ascii.h"

#define CHILD_NAME_MAX 260

const struct root_key g_root_keys[] = {
	{ "HKLM", HKEY_LOCAL_MACHINE },
	{ "HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE },
	{ "HKCU", HKEY_CURRENT_USER },
	{ "HKEY_CURRENT_USER", HKEY_CURRENT_USER },
	{ "", 0 },
};

int
split_root_key(const char *path, HKEY *root, const char **rest)
{
	for (const struct root_key *r = g_root_keys; r->name[0] != '\0'; r++) {
		if (!ascii_starts_with(path, r->name))
			continue;
		size_t n = strlen(r->name);
		*root = r->key;
		/* The separator is skipped unseen; a path that ends right after
		 * the root name has an empty rest, never one past its end. */
		*rest = path[n] != '\0' ? path + n + 1 : path + n;
		return 1;
	}
	return 0;
}

int
enum_subkey(const char *path, int index, char *name, size_t capacity)
{
	HKEY root, key;
	const char *rest;
	DWORD count = 0, len;
	int result;

	if (index < 0 || capacity == 0)
		return -1;
	if (split_root_key(path, &root, &rest) <= 0)
		return -1;
	if (RegOpenKeyExA(root, rest, 0, KEY_READ, &key) != ERROR_SUCCESS)
		return -1;
	if (RegQueryInfoKeyA(key, NULL, NULL, NULL, &count, NULL, NULL, NULL,
	    NULL, NULL, NULL, NULL) != ERROR_SUCCESS) {
		RegCloseKey(key);
		return -1;
	}
	if ((DWORD)index >= count) {
		RegCloseKey(key);
		return 0;
	}
	len = (DWORD)capacity;
	result = RegEnumKeyExA(key, (DWORD)index, name, &len, NULL, NULL, NULL,
	    NULL) == ERROR_SUCCESS ? 1 : -1;
	RegCloseKey(key);
	return result;
}

/* 1 when the open key holds a string value VALUE_NAME that fits BUF with a
 * terminating NUL; BUF then holds it. */
static int
query_string(HKEY key, const char *value_name, char *buf, size_t size)
{
	DWORD type = REG_NONE, len = (DWORD)size;

	if (RegQueryValueExA(key, value_name, NULL, &type, (BYTE *)buf, &len) !=
	    ERROR_SUCCESS)
		return 0;
	if (type != REG_SZ && type != REG_EXPAND_SZ)
		return 0;
	/* Data may be stored without its NUL.  When it fills the buffer there
	 * is no room to add one: the value is as long as one that does not
	 * fit, and reads as the default like that one. */
	if (len < size) {
		buf[len] = '\0';
		return 1;
	}
	return memchr(buf, '\0', size) != NULL;
}

void
read_string_value(const char *path, const char *value_name, char *buf,
    const char *default_text, size_t size)
{
	HKEY root, key;
	const char *rest;
	int found = 0;

	if (size == 0)
		return;
	if (split_root_key(path, &root, &rest) > 0 &&
	    RegOpenKeyExA(root, rest, 0, KEY_READ, &key) == ERROR_SUCCESS) {
		found = query_string(key, value_name, buf, size);
		RegCloseKey(key);
	}
	if (!found && default_text != NULL)
		copy_bounded(buf, default_text, size);
}

int
delete_key_tree(HKEY parent, const char *subpath)
{
	HKEY key;
	char child[CHILD_NAME_MAX];
	DWORD len;
	LONG rc;
	int result = 0;

	if (subpath == NULL || subpath[0] == '\0')
		return 0;
	if (RegOpenKeyExA(parent, subpath, 0, DELETE | KEY_ENUMERATE_SUB_KEYS,
	    &key) != ERROR_SUCCESS)
		return 0;
	for (;;) {
		len = sizeof(child);
		rc = RegEnumKeyExA(key, 0, child, &len, NULL, NULL, NULL, NULL);
		if (rc == ERROR_NO_MORE_ITEMS) {
			result = RegDeleteKeyA(parent, subpath) == ERROR_SUCCESS;
			break;
		}
		/* A child that survives its own delete would come back at
		 * index 0 for ever: give up on the whole tree instead. */
		if (rc != ERROR_SUCCESS || delete_key_tree(key, child) <= 0)
			break;
	}
	RegCloseKey(key);
	return result;
}

int
delete_key_path(const char *path)
{
	HKEY root;
	const char *rest;
	int deleted, committed;

	if (split_root_key(path, &root, &rest) <= 0)
		return -1;
	/* A tree that stopped half way is put back whole where the
	 * registry can (offline), so that an item is gone or there;
	 * Windows keeps what went.  A commit that fails puts back all. */
	if ((deleted = delete_key_tree(root, rest)) <= 0) {
		reg_rollback();
		return 0;
	}
	committed = reg_commit();
	return committed >= 0 ? 1 : 0;
}

size_t
copy_bounded(char *dst, const char *src, size_t size)
{
	size_t len = strlen(src);

	if (size == 0)
		return len;
	size_t n = len < size - 1 ? len : size - 1;
	memcpy(dst, src, n);
	dst[n] = '\0';
	return len;
}
