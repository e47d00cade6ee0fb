/*
 * regprobe.cpp - the key-path layer (src/registry/registry.cpp) against
 * the Win32 registry itself, as the .exe files meet it.
 *
 * Seeds its own keys below HKLM\SOFTWARE\VkmProbe, HKCU\Software\VkmProbe
 * and HKCU\0VkmProbe straight through advapi32, runs its own cases of the
 * roots the offline registry does not have, then the cases it shares with
 * the offline hives' unit test (tests/common/reg_cases.h), each through
 * the calls the scans make, and prints "ok NAME" or "FAIL NAME: got X
 * want Y" for each, then the check of the permissions a run's backup
 * folder is made with, then "N passed, N failed".  Exit status: 0 all
 * passed, 1 a case failed, 2 the keys or the backup folder could not be
 * made.  The scratch keys are removed at the start (a killed run leaves
 * them) and at the end, as is the backup folder the cases write to.
 *
 * "{c255}" in a path or expected text stands for 255 times the letter c;
 * results are printed the same way, so long names stay readable.
 *
 * "regprobe link KEY TARGET" makes the key KEY below HKLM (its parents
 * as plain keys) a registry link to the key TARGET below HKLM, which
 * Wine's regedit cannot make; status 0 when made, 2 when not.
 *
 * "regprobe hold PATH none|read" is the other process the file tests
 * need: it opens the file PATH for reading, sharing nothing or reading
 * only (as a loaded driver's image is held), prints "held", and keeps it
 * open until its standard input ends.  Exit status 0, or 2 when the file
 * cannot be opened.
 */
#include <windows.h>
#include <sddl.h>

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "../common/reg_cases.h"
#include "common/bounded.h"
#include "platform/platform.h"
#include "platform/win/backup_sd.h"
#include "registry/registry.h"

#define LM_SCRATCH REG_CASE_KEY
#define CU_SCRATCH "Software\\VkmProbe"
/* First below HKCU by name: where a delete of the whole root would start. */
#define CU_FIRST "0VkmProbe"
#define TEXT_MAX 1024
#define NAME_BUF 512

struct seed {
	HKEY root;
	const char *key;	/* created with its parents */
	const char *name;	/* NULL: the key alone */
	DWORD type;
	const char *data;	/* SIZE bytes; NULL: COUNT times FILL */
	char fill;
	DWORD count;
	DWORD size;		/* COUNT + 1 keeps the NUL, COUNT drops it */
};

#define HLM HKEY_LOCAL_MACHINE
#define HCU HKEY_CURRENT_USER

#define SHARED_SEED(key, name, type, data, fill, count, size) \
	{ HLM, LM_SCRATCH key, name, type, data, fill, count, size },

static const struct seed seeds[] = {
	REG_CASE_SEEDS(SHARED_SEED)
	{ HCU, CU_SCRATCH, "Root", REG_SZ, "user", 0, 0, 5 },
	{ HCU, CU_FIRST, NULL, 0, NULL, 0, 0, 0 },
};

struct probe_case {
	const char *name;
	enum reg_case_op op;
	const char *path;
	const char *value;	/* OP_READ, OP_VALUE: the value name */
	int index;		/* OP_WALK, OP_VALUE */
	int capacity;		/* buffer size; 0: 260 */
	const char *want;
};

#define CU "HKCU\\" CU_SCRATCH

#define SHARED_CASE(name, op, path, value, index, capacity, want) \
	{ name, op, path, value, index, capacity, want },

/* The roots of the user and the classes first, then the shared rows.
 * The key-path syntax names the user's root too, though no scan looks
 * there: it resolves, its root is never deleted, and nothing of it is
 * kept in a backup, whose file names HKLM alone. */
static const struct probe_case cases[] = {
	{ "root HKCU", OP_READ, CU, "Root", 0, 0, "user" },
	{ "root HKEY_CURRENT_USER", OP_READ, "HKEY_CURRENT_USER\\" CU_SCRATCH,
	    "Root", 0, 0, "user" },
	{ "root hkey_current_user", OP_READ, "hkey_current_user\\software\\"
	    "VKMPROBE", "Root", 0, 0, "user" },
	{ "root HKCR walk", OP_WALK, "HKCR\\" CU_SCRATCH, NULL, 0, 0,
	    "open:-1:22" },
	{ "root HKEY_CLASSES_ROOT walk", OP_WALK, "HKEY_CLASSES_ROOT\\CLSID",
	    NULL, 0, 0, "open:-1:22" },
	{ "root HKU walk", OP_WALK, "HKU\\.DEFAULT", NULL, 0, 0, "open:-1:22" },
	{ "root HKCR read", OP_READ, "HKCR\\" CU_SCRATCH, "Root", 0, 0,
	    "<default>" },
	{ "walk HKCU", OP_WALK, "HKCU", NULL, 0, 0, "1:" CU_FIRST },
	{ "walk HKEY_CURRENT_USER\\", OP_WALK, "HKEY_CURRENT_USER\\", NULL, 0,
	    0, "1:" CU_FIRST },
	{ "delete HKCU\\", OP_DELETE, "HKCU\\", NULL, 0, 0, "0:22" },
	{ "delete HKEY_CURRENT_USER", OP_DELETE, "HKEY_CURRENT_USER", NULL, 0,
	    0, "0:22" },
	{ "first of HKCU kept", OP_OPEN, "HKCU\\" CU_FIRST, NULL, 0, 0, "yes" },
	{ "delete HKCR", OP_DELETE, "HKCR\\" CU_SCRATCH, NULL, 0, 0, "-1" },
	{ "backup of a user key refused", OP_BACKUP, CU, NULL, 0, 0, "-1:22" },
	REG_CASE_ROWS(SHARED_CASE)
};

/* Writes TEXT into OUT (TEXT_MAX bytes) with runs of 8 or more of one
 * character as "{cN}". */
static void
compress(const char *text, char *out)
{
	size_t n = 0, run;

	while (*text != '\0' && n < TEXT_MAX - 16) {
		for (run = 1; text[run] == text[0]; run++)
			;
		if (run >= 8) {
			n += (size_t)snprintf(out + n, TEXT_MAX - n, "{%c%u}",
			    text[0], (unsigned)run);
			text += run;
		} else {
			out[n++] = *text++;
		}
	}
	out[n] = '\0';
}

typedef LONG(WINAPI *nt_delete_key_fn)(HANDLE);

/* Deletes the key SUBKEY of ROOT with everything below it, without the
 * layer under test, so that a fault there cannot leave keys behind.  A
 * link is opened and deleted as itself (RegDeleteKey would delete the
 * key it names).  1: deleted. */
static int
wipe(HKEY root, const char *subkey)
{
	nt_delete_key_fn nt_delete_key = (nt_delete_key_fn)(void (*)(void))
	    GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtDeleteKey");
	HKEY key;
	char child[NAME_BUF];
	DWORD len;
	int gone;

	if (RegOpenKeyExA(root, subkey, REG_OPTION_OPEN_LINK, KEY_ALL_ACCESS,
	    &key) != ERROR_SUCCESS)
		return 0;
	for (;;) {
		len = sizeof(child);
		if (RegEnumKeyExA(key, 0, child, &len, NULL, NULL, NULL,
		    NULL) != ERROR_SUCCESS || !wipe(key, child))
			break;
	}
	gone = nt_delete_key != NULL && nt_delete_key((HANDLE)key) == 0;
	RegCloseKey(key);
	return gone;
}

static void
wipe_scratch(void)
{
	wipe(HKEY_LOCAL_MACHINE, LM_SCRATCH);
	wipe(HKEY_CURRENT_USER, CU_SCRATCH);
	wipe(HKEY_CURRENT_USER, CU_FIRST);
}

/* Creates the key PATH below ROOT one level at a time, the last one
 * with OPTIONS: Wine refuses an ANSI path of more than 260 characters
 * (ERROR_MORE_DATA), and the 255-character name below the scratch key
 * makes one. */
static LONG
create_key(HKEY root, char *path, DWORD options, HKEY *key)
{
	HKEY parent = root, child;
	char *part = path, *sep;
	LONG rc;

	for (;;) {
		sep = strchr(part, '\\');
		if (sep != NULL)
			*sep = '\0';
		rc = RegCreateKeyExA(parent, part, 0, NULL, sep == NULL ?
		    options : 0, KEY_ALL_ACCESS, NULL, &child, NULL);
		if (parent != root)
			RegCloseKey(parent);
		if (rc != ERROR_SUCCESS || sep == NULL)
			break;
		parent = child;
		part = sep + 1;
	}
	*key = child;
	return rc;
}

/* Makes PATH below HKLM a link to the key TARGET below HKLM.  0 or the
 * registry's error. */
static LONG
make_link(const char *path, const char *target)
{
	static char part[TEXT_MAX];
	static const char prefix[] = "\\Registry\\Machine\\";
	WCHAR value[TEXT_MAX];
	HKEY key;
	int n;
	LONG rc;

	snprintf(part, sizeof(part), "%s%s", prefix, target);
	n = MultiByteToWideChar(CP_ACP, 0, part, -1, value, TEXT_MAX);
	copy_bounded(part, path, sizeof(part));
	if (n <= 1)
		return ERROR_INVALID_PARAMETER;
	rc = create_key(HKEY_LOCAL_MACHINE, part, REG_OPTION_CREATE_LINK, &key);
	if (rc != ERROR_SUCCESS)
		return rc;
	/* A link's target is stored without a NUL. */
	rc = RegSetValueExW(key, L"SymbolicLinkValue", 0, REG_LINK,
	    (const BYTE *)value, (DWORD)(n - 1) * sizeof(WCHAR));
	RegCloseKey(key);
	return rc;
}

/* 1 when every key and value of SEEDS is in place. */
static int
plant_seeds(void)
{
	static char data[TEXT_MAX], path[TEXT_MAX];
	HKEY key;
	LONG rc;

	for (const struct seed *s = seeds; s < seeds +
	    sizeof(seeds) / sizeof(seeds[0]); s++) {
		reg_expand(s->key, path, sizeof(path));
		if (s->type == REG_LINK) {
			if ((rc = make_link(path, s->data)) == ERROR_SUCCESS)
				continue;
			plat_printf("FAIL setup: link %s: error %ld\n", s->key,
			    (long)rc);
			return 0;
		}
		rc = create_key(s->root, path, 0, &key);
		if (rc != ERROR_SUCCESS) {
			plat_printf("FAIL setup: create %s: error %ld\n",
			    s->key, (long)rc);
			return 0;
		}
		if (s->name != NULL) {
			if (s->data != NULL) {
				memcpy(data, s->data, s->size);
			} else {
				memset(data, s->fill, s->count);
				data[s->count] = '\0';
			}
			/* A string whose size leaves out a NUL right behind
			 * it gets that NUL added: a byte other than NUL there
			 * keeps the value as short as given. */
			data[s->size] = '#';
			rc = RegSetValueExA(key, s->name, 0, s->type,
			    (const BYTE *)data, s->size);
		}
		RegCloseKey(key);
		if (rc != ERROR_SUCCESS) {
			plat_printf("FAIL setup: value %s: error %ld\n",
			    s->name, (long)rc);
			return 0;
		}
	}
	return 1;
}

/* Makes a folder of its own for the backups the cases make, in DIR
 * (MAX_PATH bytes), or removes it again with what they wrote (MAKE 0).
 * 1: done. */
static int
backup_folder(char *dir, int make)
{
	char file[MAX_PATH + 16], tmp[MAX_PATH];
	DWORD n;

	if (!make) {
		snprintf(file, sizeof(file), "%s\\registry.reg", dir);
		DeleteFileA(file);
		return RemoveDirectoryA(dir) != 0;
	}
	n = GetTempPathA(sizeof(tmp), tmp);
	if (n == 0 || n >= sizeof(tmp))
		return 0;
	snprintf(dir, MAX_PATH, "%svkmprobe-%lu", tmp,
	    (unsigned long)GetCurrentProcessId());
	return CreateDirectoryA(dir, NULL) != 0;
}

/* Runs C with the run's backup folder BACKUP_DIR; its result as text in
 * GOT (TEXT_MAX bytes). */
static void
run_case(const struct probe_case *c, const char *backup_dir, char *got)
{
	static char path[TEXT_MAX], buf[NAME_BUF];

	reg_expand(c->path, path, sizeof(path));
	memset(buf, '#', sizeof(buf));
	reg_case_run(c->op, path, c->value, c->index, c->capacity > 0 ?
	    (size_t)c->capacity : 260, backup_dir, buf, got, TEXT_MAX);
}

/* ---- the permissions of the run's backup folder ---- */

/* The DACL of the descriptor a backup folder is made with, as the system
 * reads it back ("D:..."), into GOT (TEXT_MAX bytes). */
static void
descriptor_text(char *got)
{
	PSECURITY_DESCRIPTOR sd;
	char *text = NULL;

	if (backup_folder_security(&sd) != 1) {
		snprintf(got, TEXT_MAX, "not made: errno %d", errno);
		return;
	}
	if (ConvertSecurityDescriptorToStringSecurityDescriptorA(sd,
	    SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, NULL))
		copy_bounded(got, text, TEXT_MAX);
	else
		snprintf(got, TEXT_MAX, "unreadable: error %lu", GetLastError());
	LocalFree(text);
	LocalFree(sd);
}

/* Prints whether GOT is WANT (expanded) for the case NAME; counts it in
 * PASSED or FAILED. */
static void
report(const char *name, const char *got, const char *want_text,
    int *passed, int *failed)
{
	static char want[TEXT_MAX], shown[TEXT_MAX];

	reg_expand(want_text, want, sizeof(want));
	if (strcmp(got, want) == 0) {
		plat_printf("ok %s\n", name);
		(*passed)++;
	} else {
		compress(got, shown);
		plat_printf("FAIL %s: got %s want %s\n", name, shown,
		    want_text);
		(*failed)++;
	}
}

/* Holds PATH open, sharing SHARE ("none" or "read"), until standard
 * input ends. */
static int
hold(const char *path, const char *share)
{
	HANDLE h = CreateFileA(path, GENERIC_READ, strcmp(share, "read") == 0 ?
	    FILE_SHARE_READ : 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
	    NULL);
	char buf[64];
	DWORD n;

	if (h == INVALID_HANDLE_VALUE) {
		plat_printf("cannot hold (error %d)\n", (int)GetLastError());
		return 2;
	}
	plat_printf("held\n");
	while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buf, sizeof(buf), &n,
	    NULL) && n > 0)
		;
	CloseHandle(h);
	return 0;
}

int
main(int argc, char **argv)
{
	static char got[TEXT_MAX], backup_dir[MAX_PATH];
	int passed = 0, failed = 0;

	if (argc == 4 && strcmp(argv[1], "link") == 0)
		return make_link(argv[2], argv[3]) == ERROR_SUCCESS ? 0 : 2;
	if (argc == 4 && strcmp(argv[1], "hold") == 0)
		return hold(argv[2], argv[3]);
	wipe_scratch();
	if (!plant_seeds()) {
		wipe_scratch();
		return 2;
	}
	if (!backup_folder(backup_dir, 1)) {
		plat_printf("FAIL setup: backup folder: error %d\n",
		    (int)GetLastError());
		wipe_scratch();
		return 2;
	}
	for (const struct probe_case *c = cases; c < cases +
	    sizeof(cases) / sizeof(cases[0]);
	    c++) {
		run_case(c, backup_dir, got);
		report(c->name, got, c->want, &passed, &failed);
	}
	wipe_scratch();
	backup_folder(backup_dir, 0);
	/* SYSTEM and the Administrators with full control, passed on to
	 * folders (CI) and files (OI) inside; protected (P): nothing taken
	 * over from the folder above. */
	descriptor_text(got);
	report("backup descriptor", got,
	    "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", &passed, &failed);
	plat_printf("%d passed, %d failed\n", passed, failed);
	return failed > 0 ? 1 : 0;
}
