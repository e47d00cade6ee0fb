/*
 * view64.cpp (Windows) - deleting a key in the 64-bit registry view.
 * RegDeleteKeyA deletes in the caller's own view; RegDeleteKeyExA, which
 * takes the view, came with Windows XP x64 and Vista and is looked up at
 * run time.  Where it is missing (32-bit XP) there is only one view.
 */
#include <windows.h>

typedef LONG(WINAPI *delete_key_ex_fn)(HKEY, LPCSTR, REGSAM, DWORD);

/* Declared by reg_sys.h, which this file does not include: its name for
 * RegDeleteKeyA is this function. */
LONG reg_delete_key_64(HKEY key, LPCSTR sub_key);

LONG
reg_delete_key_64(HKEY key, LPCSTR sub_key)
{
	static delete_key_ex_fn delete_ex;
	static int looked;

	if (!looked) {
		delete_ex = (delete_key_ex_fn)(void (*)(void))GetProcAddress(
		    GetModuleHandleA("advapi32.dll"), "RegDeleteKeyExA");
		looked = 1;
	}
	if (delete_ex != NULL)
		return delete_ex(key, sub_key, KEY_WOW64_64KEY, 0);
	return RegDeleteKeyA(key, sub_key);
}
