/*
 * reg_sys.h (Windows) - the six registry functions the key-path layer is
 * written against come straight from advapi32, and a change through them
 * is the registry's at once: the commit has nothing to do, and there is
 * nothing a rollback could take back.
 *
 * The narrow functions spell names in the ANSI code page and put a near
 * letter (O for a Greek capital omega) or '?' where it has none; a name
 * changed that way opens another key or none.  So names are listed and trees are
 * walked with the wide functions below (reg_wide.cpp), and every key a
 * tree walk opens is opened as itself: a registry link is never followed.
 *
 * Every key is opened in the 64-bit registry view, and deleted through
 * its own handle, so that the 32-bit program on 64-bit Windows sees and
 * removes what the 64-bit one does; the 32-bit view stays reachable by
 * its Wow6432Node path.  32-bit Windows has one view and ignores the
 * flag.
 */
#ifndef VKM_REG_SYS_H
#define VKM_REG_SYS_H

#include <stddef.h>
#include <windows.h>

/* RegOpenKeyExA in the 64-bit view: the name the key-path layer calls. */
static inline LONG
reg_open_key_64(HKEY key, LPCSTR sub_key, DWORD options, REGSAM sam,
    PHKEY result)
{
	return RegOpenKeyExA(key, sub_key, options, sam | KEY_WOW64_64KEY,
	    result);
}

#define RegOpenKeyExA reg_open_key_64

/* Makes the changes made so far durable.  0: nothing was waiting (the
 * registry holds every change as it is made); never 1 or -1 here. */
static inline int
reg_commit(void)
{
	return 0;
}

/* Drops the changes not yet committed: there are none here. */
static inline void
reg_rollback(void)
{
}

/* Opens NAME (wide) below PARENT with OPTIONS (0, or REG_OPTION_OPEN_LINK
 * to open a link itself) and SAM: every wide open goes through here.
 * ERROR_SUCCESS or the registry's error. */
static inline LONG
reg_open_wide(HKEY parent, const WCHAR *name, DWORD options, REGSAM sam,
    HKEY *key)
{
	return RegOpenKeyExW(parent, name, options, sam | KEY_WOW64_64KEY,
	    key);
}

/* Room for a key name, which has at most 255 characters, and its NUL. */
#define NAME_UNITS 256

/* The name of subkey INDEX of KEY, as stored, into NAME (NAME_UNITS
 * units), *UNITS set to its length.  RegEnumKeyExW's result. */
LONG reg_enum_wide(HKEY key, DWORD index, WCHAR *name, DWORD *units);

/* Spells the LEN wide characters at W in the ANSI code page into OUT
 * (SIZE bytes, NUL added).  1: exactly, it reads back as W; 0: only with
 * '?' for each character the code page lacks; -1: it does not fit. */
int reg_narrow_name(const WCHAR *w, size_t len, char *out, size_t size);

/* The name of subkey INDEX of KEY into NAME (*LEN bytes, NUL included;
 * on success *LEN is its length).  ERROR_SUCCESS; ERROR_NO_MORE_ITEMS
 * past the last subkey; ERROR_MORE_DATA when it does not fit;
 * ERROR_NO_UNICODE_TRANSLATION when the ANSI code page cannot spell it
 * (NAME then holds it with '?' for what it lacks, when that fits). */
LONG reg_enum_key_name(HKEY key, DWORD index, char *name, DWORD *len);

/* Opens subkey INDEX of KEY with OPTIONS (REG_OPTION_OPEN_LINK: a link
 * as itself) and SAM into *CHILD, its name as far as the ANSI code page
 * spells it in NAME (SIZE bytes, for the caller's messages).
 * ERROR_SUCCESS, ERROR_NO_MORE_ITEMS past the last subkey, or the
 * registry's error. */
LONG reg_open_subkey_at(HKEY key, DWORD index, DWORD options, REGSAM sam,
    HKEY *child, char *name, size_t size);

/* Deletes the key open as KEY (with DELETE), which has no subkeys left:
 * the key itself, a link as a link, never the key a link names.  PARENT
 * and NAME are where it was opened from.  ERROR_SUCCESS or the
 * registry's error. */
LONG reg_delete_open_key(HKEY parent, const char *name, HKEY key);

#endif
