/*
 * wow64.cpp (Windows) - file-system redirection off for the run.  The
 * calls are looked up at run time: 32-bit Windows XP before SP2 has no
 * IsWow64Process, and no 32-bit Windows XP has
 * Wow64DisableWow64FsRedirection; the program must start there all the
 * same.  Redirection belongs to the thread: the program has one.
 */
#include "platform/win/wow64.h"

#include <windows.h>

typedef BOOL(WINAPI *is_wow64_fn)(HANDLE, PBOOL);
typedef BOOL(WINAPI *redirection_fn)(PVOID *);
typedef BOOL(WINAPI *revert_fn)(PVOID);

static int g_off;		/* 1 while this run keeps redirection off */
static PVOID g_saved;		/* the state to put back on a pause */

static FARPROC
kernel32_call(const char *name)
{
	return GetProcAddress(GetModuleHandleA("kernel32.dll"), name);
}

/* 1 when this is a 32-bit process on 64-bit Windows. */
static int
is_wow64(void)
{
	is_wow64_fn query = (is_wow64_fn)(void (*)(void))kernel32_call(
	    "IsWow64Process");
	BOOL wow64 = FALSE;

	return query != NULL && query(GetCurrentProcess(), &wow64) && wow64;
}

/* Disables redirection for this thread.  1: done. */
static int
disable(void)
{
	redirection_fn off = (redirection_fn)(void (*)(void))kernel32_call(
	    "Wow64DisableWow64FsRedirection");

	return off != NULL && off(&g_saved);
}

int
wow64_redirection_off(void)
{
	if (g_off)
		return 1;
	if (!is_wow64())
		return 1;
	g_off = disable();
	return g_off;
}

void
wow64_redirection_pause(void)
{
	revert_fn revert = (revert_fn)(void (*)(void))kernel32_call(
	    "Wow64RevertWow64FsRedirection");

	if (g_off && revert != NULL)
		revert(g_saved);
}

void
wow64_redirection_resume(void)
{
	/* The call that turned it off at the start does so again. */
	if (g_off)
		disable();
}
