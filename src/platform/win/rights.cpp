/*
 * rights.cpp (Windows) - whether this process may change the system.
 *
 * Since Vista an administrator's programs run with a filtered token
 * unless started with Run as administrator: the token's elevation says
 * which.  Older Windows has no such token class (the query fails) and
 * no filtering: membership of Administrators decides there.
 */
#include <windows.h>

#include "platform/platform.h"

/* TokenElevation and its answer, which headers for Windows XP lack. */
#define TOKEN_ELEVATION_CLASS 20
struct token_elevation {
	DWORD elevated;
};

/* 1: elevated; 0: not; -1: the system cannot tell (before Vista). */
static int
token_elevated(void)
{
	struct token_elevation e;
	HANDLE token;
	DWORD len = 0;
	BOOL ok;

	if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
		return -1;
	ok = GetTokenInformation(token,
	    (TOKEN_INFORMATION_CLASS)TOKEN_ELEVATION_CLASS, &e, sizeof(e),
	    &len);
	CloseHandle(token);
	return ok ? e.elevated != 0 : -1;
}

/* 1: a member of Administrators; 0: not; -1: cannot tell. */
static int
administrators_member(void)
{
	SID_IDENTIFIER_AUTHORITY nt = { SECURITY_NT_AUTHORITY };
	PSID admins;
	BOOL member = FALSE;
	int result;

	if (!AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID,
	    DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, &admins))
		return -1;
	result = CheckTokenMembership(NULL, admins, &member) ? member != 0 :
	    -1;
	FreeSid(admins);
	return result;
}

int
plat_elevated(void)
{
	int r = token_elevated();

	if (r < 0)
		r = administrators_member();
	/* A run that cannot tell goes on: each removal that is refused
	 * says so itself. */
	return r != 0;
}
