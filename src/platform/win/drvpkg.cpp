/*
 * drvpkg.cpp (Windows) - an OEM INF file's driver package leaves through
 * the system's own removal, forced, as "pnputil /delete-driver oemN.inf
 * /force" does: setupapi's SetupUninstallOEMInfA (Windows XP and later;
 * since Vista it takes the package out of the driver store too), and
 * where the system keeps a package a device still uses out of its reach
 * (ERROR_INF_IN_USE_BY_DEVICES, Windows 10 and later), newdev's
 * DiUninstallDriverW (Windows 10 1703 and later).
 *
 * Both DLLs are loaded by their path in the system folder, never found
 * along the search path, and every call is looked up at run time, so
 * the program still starts where one is missing.  A 32-bit program on
 * 64-bit Windows makes these calls with its file-system redirection back
 * on: they load DLLs of their own, which must be the 32-bit ones.  There
 * the system may refuse a 32-bit caller (ERROR_IN_WOW64, documented for
 * DiUninstallDriverW): the package then stays and the refusal is the
 * item's failure.
 *
 * Wine 8.0 exports neither SetupGetInfDriverStoreLocationA nor
 * DiUninstallDriverW, and its SetupUninstallOEMInfA with the force flag
 * deletes the INF file alone, keeping no driver store.
 */
#include <windows.h>

#include <errno.h>
#include <string.h>

#include "common/ascii.h"
#include "platform/platform.h"
#include "platform/win/errmap.h"
#include "platform/win/wow64.h"

#define SUOI_FORCE_DELETE 0x0001
#define INF_IN_USE_BY_DEVICES 0xE000023DUL

typedef BOOL(WINAPI *uninstall_oem_inf_fn)(PCSTR, DWORD, PVOID);
typedef BOOL(WINAPI *store_location_fn)(PCSTR, PVOID, PCSTR, PSTR, DWORD,
    PDWORD);
typedef BOOL(WINAPI *uninstall_driver_fn)(HWND, LPCWSTR, DWORD, PBOOL);

int
plat_removes_driver_packages(void)
{
	return 1;
}

/* The call NAME of the system DLL DLL, loaded from the system folder;
 * NULL when either is missing.  Called with redirection paused. */
static FARPROC
system_call(const char *dll, const char *name)
{
	char path[MAX_PATH];
	UINT n = GetSystemDirectoryA(path, MAX_PATH);
	HMODULE h;

	if (n == 0 || n + 1 + strlen(dll) >= MAX_PATH)
		return NULL;
	path[n] = '\\';
	memcpy(path + n + 1, dll, strlen(dll) + 1);
	h = LoadLibraryA(path);
	return h != NULL ? GetProcAddress(h, name) : NULL;
}

/* Puts into NAME (MAX_PATH bytes) the file name of INF_PATH when it lies
 * in the running system's INF folder, the only place the system's calls
 * look (the system's Windows folder, the same for every session of a
 * terminal server).  1 when it does; 0 for a path anywhere else (a
 * SystemRoot set to another installation), which the system's calls must
 * not be asked about: they would act on the running system's file of
 * that name. */
static int
system_inf_name(const char *inf_path, char *name)
{
	char dir[MAX_PATH], folder[MAX_PATH];
	const char *slash = strrchr(inf_path, '\\');
	UINT n = GetSystemWindowsDirectoryA(dir, MAX_PATH);
	size_t len;

	if (n == 0 || n + sizeof("\\inf") > MAX_PATH || slash == NULL)
		return 0;
	if (dir[n - 1] == '\\')
		n--;
	memcpy(dir + n, "\\inf", sizeof("\\inf"));
	len = (size_t)(slash - inf_path);
	if (len >= MAX_PATH || strlen(slash + 1) >= MAX_PATH)
		return 0;
	memcpy(folder, inf_path, len);
	folder[len] = '\0';
	if (!ascii_equal(folder, dir))
		return 0;
	memcpy(name, slash + 1, strlen(slash + 1) + 1);
	return 1;
}

int
plat_driver_package_folder(const char *inf_path, char *out, size_t size)
{
	char name[MAX_PATH], found[MAX_PATH];
	store_location_fn locate;
	const char *slash;
	BOOL ok;

	if (size > 0)
		out[0] = '\0';
	if (!system_inf_name(inf_path, name))
		return 0;
	wow64_redirection_pause();
	locate = (store_location_fn)(void (*)(void))system_call(
	    "setupapi.dll", "SetupGetInfDriverStoreLocationA");
	ok = locate != NULL && locate(name, NULL, NULL, found, MAX_PATH, NULL);
	wow64_redirection_resume();
	/* The INF file's path in the store: its folder is the package. */
	if (!ok || (slash = strrchr(found, '\\')) == NULL ||
	    (size_t)(slash - found) >= size)
		return 0;
	memcpy(out, found, (size_t)(slash - found));
	out[slash - found] = '\0';
	return 1;
}

/* DiUninstallDriverW on the published INF file INF_PATH.  1: removed;
 * 0: refused or missing, GetLastError set. */
static int
uninstall_driver(const char *inf_path)
{
	uninstall_driver_fn uninstall = (uninstall_driver_fn)(void (*)(void))
	    system_call("newdev.dll", "DiUninstallDriverW");
	wchar_t wide[MAX_PATH];
	BOOL reboot = FALSE;

	if (uninstall == NULL) {
		SetLastError(INF_IN_USE_BY_DEVICES);
		return 0;
	}
	if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, inf_path, -1,
	    wide, MAX_PATH) == 0)
		return 0;
	/* With somewhere to say it, a restart it needs is no dialog: the
	 * run's summary asks for the restart. */
	return uninstall(NULL, wide, 0, &reboot) ? 1 : 0;
}

int
plat_remove_driver_package(const char *inf_path)
{
	char name[MAX_PATH];
	uninstall_oem_inf_fn uninstall;
	DWORD code = 0;
	int result = 0;

	if (!system_inf_name(inf_path, name))
		return 0;
	wow64_redirection_pause();
	uninstall = (uninstall_oem_inf_fn)(void (*)(void))system_call(
	    "setupapi.dll", "SetupUninstallOEMInfA");
	if (uninstall != NULL) {
		if (uninstall(name, SUOI_FORCE_DELETE, NULL))
			result = 1;
		else if (GetLastError() == INF_IN_USE_BY_DEVICES)
			result = uninstall_driver(inf_path) ? 1 : -1;
		else
			result = -1;
		/* The refusal of the last call made. */
		code = GetLastError();
	}
	wow64_redirection_resume();
	if (result < 0)
		errno = errno_from_win_error(code);
	return result;
}
