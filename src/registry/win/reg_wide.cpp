/*
 * reg_wide.cpp (Windows) - key names listed with the wide functions and
 * spelled in the ANSI code page only when they read back the same; keys
 * opened by index, a link as itself; keys deleted through their own
 * handle, so that a link goes as a link.
 */
#include "registry/reg_internal.h"

#include <string.h>

/* 1 when the N wide characters at W are spelled as the bytes at A (LEN
 * of them) and those read back as W. */
static int
reads_back(const WCHAR *w, int n, const char *a, int len)
{
	WCHAR back[4];

	return MultiByteToWideChar(CP_ACP, 0, a, len, back, 4) == n &&
	    memcmp(back, w, (size_t)n * sizeof(WCHAR)) == 0;
}

/* The units of the character at W (LEFT units there): a surrogate pair
 * is one character. */
static int
char_units(const WCHAR *w, size_t left)
{
	return left >= 2 && w[0] >= 0xD800 && w[0] < 0xDC00 &&
	    w[1] >= 0xDC00 && w[1] < 0xE000 ? 2 : 1;
}

int
reg_narrow_name(const WCHAR *w, size_t len, char *out, size_t size)
{
	size_t used = 0;
	int exact = 1;

	if (size == 0)
		return -1;
	/* One character at a time: a code page that lacks one still spells
	 * the others, and no best-fit letter can slip in unseen. */
	for (size_t i = 0; i < len;) {
		int n = char_units(w + i, len - i), m = 0;
		char one[8];

		if (w[i] != 0 && w[i] < 0x80)
			one[m++] = (char)w[i];
		else if (w[i] != 0)
			m = WideCharToMultiByte(CP_ACP, 0, w + i, n, one,
			    sizeof(one), NULL, NULL);
		if (m <= 0 || (w[i] >= 0x80 && !reads_back(w + i, n, one, m))) {
			one[0] = '?';
			m = 1;
			exact = 0;
		}
		if (used + (size_t)m >= size) {
			out[used] = '\0';
			return -1;
		}
		memcpy(out + used, one, (size_t)m);
		used += (size_t)m;
		i += (size_t)n;
	}
	out[used] = '\0';
	return exact;
}

LONG
reg_enum_wide(HKEY key, DWORD index, WCHAR *name, DWORD *units)
{
	*units = NAME_UNITS;
	return RegEnumKeyExW(key, index, name, units, NULL, NULL, NULL, NULL);
}

LONG
reg_enum_key_name(HKEY key, DWORD index, char *name, DWORD *len)
{
	WCHAR w[NAME_UNITS];
	DWORD units;
	LONG rc;

	if ((rc = reg_enum_wide(key, index, w, &units)) != ERROR_SUCCESS)
		return rc;
	switch (reg_narrow_name(w, units, name, *len)) {
	case 1:
		*len = (DWORD)strlen(name);
		return ERROR_SUCCESS;
	case 0:
		return ERROR_NO_UNICODE_TRANSLATION;
	default:
		return ERROR_MORE_DATA;
	}
}

LONG
reg_open_subkey_at(HKEY key, DWORD index, DWORD options, REGSAM sam,
    HKEY *child, char *name, size_t size)
{
	WCHAR w[NAME_UNITS];
	DWORD units;
	LONG rc;

	if ((rc = reg_enum_wide(key, index, w, &units)) != ERROR_SUCCESS)
		return rc;
	if (size > 0)
		(void)reg_narrow_name(w, units, name, size);
	/* A name holding a NUL would open the key named by its first part,
	 * another key or none. */
	if (units >= NAME_UNITS || wcslen(w) != units)
		return ERROR_INVALID_DATA;
	return reg_open_wide(key, w, options, sam, child);
}

typedef LONG(WINAPI *nt_delete_key_fn)(HANDLE);
typedef ULONG(WINAPI *nt_status_error_fn)(LONG);

LONG
reg_delete_open_key(HKEY parent, const char *name, HKEY key)
{
	static nt_delete_key_fn delete_key;
	static nt_status_error_fn status_error;
	HMODULE ntdll;
	LONG status;

	(void)parent;
	(void)name;
	/* RegDeleteKey opens the key again by its name, and that open
	 * follows a link: the key it names would go.  ntdll deletes the
	 * very key of a handle, in every Windows NT since its first. */
	if (delete_key == NULL && (ntdll = GetModuleHandleA("ntdll.dll")) !=
	    NULL) {
		delete_key = (nt_delete_key_fn)(void (*)(void))GetProcAddress(
		    ntdll, "NtDeleteKey");
		status_error = (nt_status_error_fn)(void (*)(void))
		    GetProcAddress(ntdll, "RtlNtStatusToDosError");
	}
	if (delete_key == NULL || status_error == NULL)
		return ERROR_CALL_NOT_IMPLEMENTED;
	status = delete_key((HANDLE)key);
	return status == 0 ? ERROR_SUCCESS : (LONG)status_error(status);
}
