/*
 * reg_sys.h (Linux) - the six Windows registry functions the key-path
 * layer is written against, served from an offline installation's hive
 * files through libhivex.
 *
 * HKLM\SOFTWARE is <SystemRoot>\System32\config\SOFTWARE, HKLM\SYSTEM is
 * ...\config\SYSTEM with CurrentControlSet resolved through Select\Current;
 * no other root or hive exists.  Each hive is opened once per run and kept
 * open.  Names are UTF-8 here and UTF-16 in the hive.  The results are the
 * ones Windows gives for the same calls.  Unlike Windows, a change (a
 * RegDeleteKeyA) is held in memory until reg_commit writes it or
 * reg_rollback drops it, and RegDeleteKeyA deletes only a key of the
 * tree that tree_deletable (reg_internal.h) proved and made ready last:
 * any other gets ERROR_ACCESS_DENIED.  Of what RegQueryInfoKeyA and
 * RegEnumKeyExA can give, only the number of subkeys and a subkey's name
 * are served, and RegQueryValueExA gives a value only into a buffer:
 * asking for more gets ERROR_INVALID_PARAMETER.
 */
#ifndef VKM_REG_SYS_H
#define VKM_REG_SYS_H

#include <stddef.h>
#include <stdint.h>

typedef uint32_t DWORD;
typedef int32_t LONG;
typedef uint32_t REGSAM;
typedef unsigned char BYTE;
typedef struct reg_handle *HKEY;

#define HKEY_CURRENT_USER ((HKEY)(uintptr_t)0x80000001u)
#define HKEY_LOCAL_MACHINE ((HKEY)(uintptr_t)0x80000002u)

#define ERROR_SUCCESS 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_MORE_DATA 234L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_KEY_DELETED 1018L
#define ERROR_BADKEY 1010L
#define ERROR_NO_UNICODE_TRANSLATION 1113L

#define REG_OPTION_OPEN_LINK 0x0008u

#define DELETE 0x00010000u
#define KEY_ENUMERATE_SUB_KEYS 0x0008u
#define KEY_READ 0x00020019u

#define REG_NONE 0u
#define REG_SZ 1u
#define REG_EXPAND_SZ 2u
#define REG_BINARY 3u
#define REG_DWORD 4u
#define REG_MULTI_SZ 7u

LONG RegOpenKeyExA(HKEY key, const char *sub_key, DWORD options, REGSAM sam,
    HKEY *result);
LONG RegQueryInfoKeyA(HKEY key, char *class_name, DWORD *class_len,
    DWORD *reserved, DWORD *subkeys, DWORD *max_subkey_len,
    DWORD *max_class_len, DWORD *values, DWORD *max_value_name_len,
    DWORD *max_value_len, DWORD *security_len, void *last_write);
LONG RegEnumKeyExA(HKEY key, DWORD index, char *name, DWORD *name_len,
    DWORD *reserved, char *class_name, DWORD *class_len, void *last_write);
LONG RegQueryValueExA(HKEY key, const char *value_name, DWORD *reserved,
    DWORD *type, BYTE *data, DWORD *data_len);
LONG RegDeleteKeyA(HKEY key, const char *sub_key);
LONG RegCloseKey(HKEY key);

/* The key-path layer's walk over names and trees.  A hive's link keys
 * are keys like any other here: nothing resolves them, and options such
 * as REG_OPTION_OPEN_LINK change nothing.  Names are UTF-8, so every
 * name can be spelled: ERROR_NO_UNICODE_TRANSLATION never comes. */

/* The name of subkey INDEX of KEY into NAME (*LEN bytes, NUL included;
 * on success *LEN is its length).  ERROR_SUCCESS; ERROR_NO_MORE_ITEMS
 * past the last subkey; ERROR_MORE_DATA when it does not fit. */
static inline LONG
reg_enum_key_name(HKEY key, DWORD index, char *name, DWORD *len)
{
	return RegEnumKeyExA(key, index, name, len, NULL, NULL, NULL, NULL);
}

/* Opens subkey INDEX of KEY with SAM into *CHILD, its name in NAME (SIZE
 * bytes).  ERROR_SUCCESS, ERROR_NO_MORE_ITEMS past the last subkey, or
 * the error. */
static inline LONG
reg_open_subkey_at(HKEY key, DWORD index, DWORD options, REGSAM sam,
    HKEY *child, char *name, size_t size)
{
	DWORD len = (DWORD)size;
	LONG rc = RegEnumKeyExA(key, index, name, &len, NULL, NULL, NULL,
	    NULL);

	if (rc != ERROR_SUCCESS)
		return rc;
	return RegOpenKeyExA(key, name, options, sam, child);
}

/* Deletes the key NAME below PARENT, open as KEY, which has no subkeys
 * left.  ERROR_SUCCESS or the error. */
static inline LONG
reg_delete_open_key(HKEY parent, const char *name, HKEY key)
{
	(void)key;
	return RegDeleteKeyA(parent, name);
}

/* Writes every hive that holds changes not yet on the disk.  1: written;
 * 0: nothing was waiting; -1: a hive could not be written, and its
 * changes are undone (memory holds what the disk holds), errno set as
 * the C run-time of Windows sets it (28 disk full, 22 otherwise) and a
 * hive that another program changed given to reg_refuse. */
int reg_commit(void);

/* Drops every change not yet committed: the hives are read again from
 * the disk, so a tree delete that stopped half way leaves the tree
 * whole. */
void reg_rollback(void);

#endif
