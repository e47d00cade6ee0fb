/*
 * registry.cpp - key paths over the six registry functions of reg_sys.h,
 * and its commit, which makes a delete durable.
 */
#include "registry/reg_internal.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "common/ascii.h"
#include "common/bounded.h"
#include "common/crt_errno.h"

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

/* The key a walk holds open, or 0. */
static HKEY
walk_key(const struct key_walk *walk)
{
	return (HKEY)walk->handle;
}

int
open_key_walk(const char *path, struct key_walk *walk)
{
	HKEY root, key = 0;
	const char *rest;
	LONG rc;

	walk->handle = NULL;
	if (split_root_key(path, &root, &rest) <= 0) {
		errno = CRT_EINVAL;
		return -1;
	}
	rc = RegOpenKeyExA(root, rest, 0, KEY_READ, &key);
	if (rc == ERROR_SUCCESS) {
		walk->handle = (void *)key;
		return 1;
	}
	/* A scan key that is absent holds nothing; one that is there but
	 * cannot be read may hold anything. */
	if (rc == ERROR_FILE_NOT_FOUND || rc == ERROR_PATH_NOT_FOUND)
		return 0;
	errno = crt_errno_of_win_error(rc);
	return -1;
}

int
walk_subkey(struct key_walk *walk, int index, char *name, size_t capacity)
{
	DWORD len = (DWORD)capacity;
	LONG rc;

	if (index < 0 || capacity == 0 || walk_key(walk) == 0) {
		errno = CRT_EINVAL;
		return -1;
	}
	rc = reg_enum_key_name(walk_key(walk), (DWORD)index, name, &len);
	if (rc == ERROR_NO_MORE_ITEMS)
		return 0;
	if (rc == ERROR_SUCCESS)
		return 1;
	errno = rc == ERROR_NO_UNICODE_TRANSLATION ? CRT_EILSEQ :
	    rc == ERROR_MORE_DATA ? CRT_ERANGE : crt_errno_of_win_error(rc);
	return -1;
}

int
walk_subkey_count(struct key_walk *walk)
{
	DWORD count = 0;
	LONG rc = ERROR_INVALID_PARAMETER;

	if (walk_key(walk) == 0 || (rc = RegQueryInfoKeyA(walk_key(walk), NULL,
	    NULL, NULL, &count, NULL, NULL, NULL, NULL, NULL, NULL, NULL)) !=
	    ERROR_SUCCESS) {
		errno = crt_errno_of_win_error(rc);
		return -1;
	}
	return count > 0x7fffffffUL ? 0x7fffffff : (int)count;
}

void
close_key_walk(struct key_walk *walk)
{
	if (walk_key(walk) != 0)
		RegCloseKey(walk_key(walk));
	walk->handle = NULL;
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
walk_read_value(struct key_walk *walk, int index, const char *value_name,
    char *buf, const char *default_text, size_t size)
{
	/* Room for any name, also one the walk could not give whole. */
	char name[4 * CHILD_NAME_MAX];
	HKEY key;
	int result = -1;

	if (size == 0)
		return -1;
	/* Opened by its index, not by a name that may not spell it; a link
	 * is read through, as a key path would be. */
	if (index >= 0 && walk_key(walk) != 0 &&
	    reg_open_subkey_at(walk_key(walk), (DWORD)index, 0, KEY_READ, &key,
	    name, sizeof(name)) == ERROR_SUCCESS) {
		result = query_string(key, value_name, buf, size);
		RegCloseKey(key);
	}
	if (result <= 0 && default_text != NULL)
		copy_bounded(buf, default_text, size);
	return result;
}

/* Deletes every subkey of the open KEY with its tree, children first.
 * Each is opened as itself: a link goes as a link, and what it names
 * stays.  ERROR_SUCCESS, or the registry's error of the first failure. */
static LONG
delete_subkeys(HKEY key)
{
	char name[CHILD_NAME_MAX];
	HKEY child;
	LONG rc;

	for (;;) {
		rc = reg_open_subkey_at(key, 0, REG_OPTION_OPEN_LINK, DELETE |
		    KEY_ENUMERATE_SUB_KEYS, &child, name, sizeof(name));
		if (rc == ERROR_NO_MORE_ITEMS)
			return ERROR_SUCCESS;
		if (rc != ERROR_SUCCESS)
			return rc;
		rc = delete_subkeys(child);
		if (rc == ERROR_SUCCESS)
			rc = reg_delete_open_key(key, name, child);
		RegCloseKey(child);
		/* A child that survives its own delete would come back at
		 * index 0 for ever: give up on the whole tree instead. */
		if (rc != ERROR_SUCCESS)
			return rc;
	}
}

/* Deletes the key SUBPATH below the open key PARENT with its whole tree,
 * children first, without committing.  ERROR_SUCCESS when the tree is
 * gone (never for an empty SUBPATH), else the registry's error of the
 * first failure. */
static LONG
delete_tree(HKEY parent, const char *subpath)
{
	HKEY key;
	LONG rc;

	if (subpath == NULL || subpath[0] == '\0')
		return ERROR_INVALID_PARAMETER;
	rc = RegOpenKeyExA(parent, subpath, REG_OPTION_OPEN_LINK, DELETE |
	    KEY_ENUMERATE_SUB_KEYS, &key);
	if (rc != ERROR_SUCCESS)
		return rc;
	rc = delete_subkeys(key);
	if (rc == ERROR_SUCCESS)
		rc = reg_delete_open_key(parent, subpath, key);
	RegCloseKey(key);
	return rc;
}

/* What the last key_path_deletable, delete_key_path or backup_key_path
 * found the user must be told (registry_refusal). */
static int g_refusal;
static char g_refusal_name[8192];

void
reg_refuse(int why, const char *root, const char *name)
{
	g_refusal = why;
	if (root != NULL)
		snprintf(g_refusal_name, sizeof(g_refusal_name), "%s\\%s", root,
		    name);
	else
		copy_bounded(g_refusal_name, name, sizeof(g_refusal_name));
}

int
registry_refusal(const char **name)
{
	if (name != NULL)
		*name = g_refusal_name;
	return g_refusal;
}

int
delete_key_path(const char *path)
{
	HKEY root;
	const char *rest;
	LONG rc;

	g_refusal = REG_REFUSED_NOTHING;
	if (split_root_key(path, &root, &rest) <= 0)
		return -1;
	if (tree_deletable(root, rest, 1) <= 0)
		return 0;
	/* A tree that stopped half way is put back whole where the
	 * registry can (offline), so that an item is gone or there;
	 * Windows keeps what went.  A commit that fails puts back all. */
	if ((rc = delete_tree(root, rest)) != ERROR_SUCCESS) {
		reg_rollback();
		errno = crt_errno_of_win_error(rc);
		return 0;
	}
	return reg_commit() >= 0 ? 1 : 0;
}

int
key_path_deletable(const char *path)
{
	HKEY root, key;
	const char *rest;
	LONG rc;

	g_refusal = REG_REFUSED_NOTHING;
	if (split_root_key(path, &root, &rest) <= 0)
		return -1;
	rc = rest[0] == '\0' ? ERROR_ACCESS_DENIED : RegOpenKeyExA(root, rest,
	    REG_OPTION_OPEN_LINK, DELETE | KEY_ENUMERATE_SUB_KEYS, &key);
	if (rc != ERROR_SUCCESS) {
		errno = crt_errno_of_win_error(rc);
		return 0;
	}
	RegCloseKey(key);
	/* The whole tree is proved before its first key goes. */
	return tree_deletable(root, rest, 0) > 0 ? 1 : 0;
}

int
backup_key_path(const char *path, const char *backup_dir)
{
	HKEY root;
	const char *rest;

	g_refusal = REG_REFUSED_NOTHING;
	/* An empty rest would name the whole root. */
	if (split_root_key(path, &root, &rest) <= 0 || rest[0] == '\0') {
		errno = CRT_EINVAL;
		return -1;
	}
	return backup_key_tree(root, rest, backup_dir);
}
