/*
 * command.cpp (Windows) - one command line through the command interpreter.
 *
 * The child shares the console and the standard handles of this program,
 * so whatever it prints lands in the same stream, in order.
 */
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include "platform/platform.h"

/* cmd.exe takes at most 8191 characters on its command line. */
#define COMMAND_LINE_MAX 8192

/* Builds "\"PROGRAM\" /c CMDLINE" into LINE.  1: done; 0: too long. */
static int
build_line(char *line, size_t size, const char *program, const char *cmdline)
{
	size_t plen = strlen(program), clen = strlen(cmdline);

	/* Two quotes, " /c " and the NUL. */
	if (plen + clen + 7 > size)
		return 0;
	line[0] = '"';
	memcpy(line + 1, program, plen);
	memcpy(line + 1 + plen, "\" /c ", 5);
	memcpy(line + 6 + plen, cmdline, clen + 1);
	return 1;
}

/* Makes an inheritable copy of standard handle WHICH in *COPY.  A handle
 * that is missing or cannot be copied is passed on as it is, with *COPY
 * NULL, so the caller closes only what was made here. */
static HANDLE
inheritable_std_handle(DWORD which, HANDLE *copy)
{
	HANDLE h = GetStdHandle(which), self = GetCurrentProcess();

	*copy = NULL;
	if (h == NULL || h == INVALID_HANDLE_VALUE)
		return h;
	if (!DuplicateHandle(self, h, self, copy, 0, TRUE,
	    DUPLICATE_SAME_ACCESS)) {
		*copy = NULL;
		return h;
	}
	return *copy;
}

static void
close_copies(HANDLE copies[3])
{
	for (int i = 0; i < 3; i++) {
		if (copies[i] != NULL)
			CloseHandle(copies[i]);
	}
}

/* Waits for the child, closes its handles and returns its exit code, or
 * -1 when that cannot be had. */
static int
wait_child(PROCESS_INFORMATION *pi)
{
	DWORD code = 0;
	int result = -1;

	CloseHandle(pi->hThread);
	if (WaitForSingleObject(pi->hProcess, INFINITE) == WAIT_OBJECT_0 &&
	    GetExitCodeProcess(pi->hProcess, &code))
		result = (int)code;
	CloseHandle(pi->hProcess);
	return result;
}

/* Runs LINE with PROGRAM as the module (NULL: the first token of LINE,
 * looked for by CreateProcess) and waits for it.
 * 1: it ran, *CODE holds wait_child's result; 0: it could not be started. */
static int
run_line(const char *program, char *line, int *code)
{
	STARTUPINFOA si;
	PROCESS_INFORMATION pi;
	HANDLE copies[3];
	BOOL started;

	memset(&si, 0, sizeof(si));
	si.cb = sizeof(si);
	si.dwFlags = STARTF_USESTDHANDLES;
	si.hStdInput = inheritable_std_handle(STD_INPUT_HANDLE, &copies[0]);
	si.hStdOutput = inheritable_std_handle(STD_OUTPUT_HANDLE, &copies[1]);
	si.hStdError = inheritable_std_handle(STD_ERROR_HANDLE, &copies[2]);
	/* No creation flags: the child stays on this console, no window of
	 * its own. */
	started = CreateProcessA(program, line, NULL, NULL, TRUE, 0, NULL,
	    NULL, &si, &pi);
	close_copies(copies);
	if (!started)
		return 0;
	*code = wait_child(&pi);
	return 1;
}

/* Runs CMDLINE through the interpreter COMSPEC names.
 * 1: it ran, *CODE set; 0: COMSPEC unset or unusable, or not started. */
static int
run_comspec(const char *cmdline, int *code)
{
	char comspec[MAX_PATH], line[COMMAND_LINE_MAX];

	if (plat_getenv("COMSPEC", comspec, sizeof(comspec)) <= 0 ||
	    comspec[0] == '\0')
		return 0;
	if (!build_line(line, sizeof(line), comspec, cmdline))
		return 0;
	return run_line(NULL, line, code);
}

/* Runs CMDLINE through the first cmd.exe found along PATH (and only
 * there: never one planted in the current folder).
 * 1: it ran, *CODE set; 0: none found, or not started. */
static int
run_path_cmd(const char *cmdline, int *code)
{
	char path[32768], program[MAX_PATH], line[COMMAND_LINE_MAX];
	DWORD len;

	if (plat_getenv("PATH", path, sizeof(path)) <= 0 || path[0] == '\0')
		return 0;
	len = SearchPathA(path, "cmd.exe", NULL, sizeof(program), program,
	    NULL);
	if (len == 0 || len >= sizeof(program))
		return 0;
	if (!build_line(line, sizeof(line), program, cmdline))
		return 0;
	return run_line(program, line, code);
}

int
plat_system(const char *cmdline)
{
	int code;

	if (cmdline == NULL)
		return -1;
	/* Whatever this program printed goes out before the child's. */
	fflush(stdout);
	fflush(stderr);
	if (run_comspec(cmdline, &code) > 0)
		return code;
	if (run_path_cmd(cmdline, &code) > 0)
		return code;
	return -1;
}
