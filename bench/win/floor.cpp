/*
 * floor.cpp - the least work a dry run of vkm310_cleanup.exe cannot avoid
 * on a live Windows system, done once each through the Win32 API: the
 * benchmark's yardstick under Wine.
 *
 *	floor.exe
 *
 * Lists %SystemRoot%\inf once (oem*.inf) and reads each oem<N>.inf in it
 * once, up to the end of the first five entries of [SourceDisksFiles];
 * opens each scanned key once in each registry view that holds it (the
 * two SOFTWARE keys in both views on 64-bit Windows, whichever bitness
 * the program has), enumerates its subkeys and reads the one value of
 * each that the tool reads; tests the 14 driver files once each, in the
 * real drivers folder.  Prints the number of items it found, which must
 * be the dry run's.
 */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define ENTRIES_READ 5
#define NAME_BYTES 256
#define VALUE_BYTES 1024

#ifndef KEY_WOW64_64KEY
#define KEY_WOW64_64KEY 0x0100
#endif
#ifndef KEY_WOW64_32KEY
#define KEY_WOW64_32KEY 0x0200
#endif

static const char *const targets[] = {
	"vkm310", "rdx7pcsc_root", "rdx7pcsc_slot", "tarnwickusbccid",
	"busquellmark", "quellmarkpcsc", "tarnwickreader", NULL,
};

enum match_rule { BEGINS_WITH_TARGET, CONTAINS_TARGET, CONTAINS_PACKAGE };

struct scan {
	int both_views;		/* a SOFTWARE key: redirected on 64-bit Windows */
	const char *path;	/* below HKEY_LOCAL_MACHINE */
	const char *value;
	enum match_rule rule;
};

static const struct scan scans[] = {
	{ 1, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\DIFx\\DriverStore",
	    "Services", BEGINS_WITH_TARGET },
	{ 1, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall",
	    "DisplayName", CONTAINS_PACKAGE },
	{ 0, "SYSTEM\\CurrentControlSet\\Control\\Class\\"
	    "{50DD5230-BA8A-11D1-BF5D-0000F805F530}", "InfSection",
	    BEGINS_WITH_TARGET },
	{ 0, "SYSTEM\\CurrentControlSet\\Services", "ImagePath",
	    CONTAINS_TARGET },
};

static int
begins_with(const char *s, const char *t)
{
	return _strnicmp(s, t, strlen(t)) == 0;
}

static int
begins_with_target(const char *s)
{
	for (const char *const *t = targets; *t != NULL; t++) {
		if (begins_with(s, *t))
			return 1;
	}
	return 0;
}

static int
matches(const char *s, enum match_rule rule)
{
	for (const char *p = s; *p != '\0'; p++) {
		if (rule == CONTAINS_PACKAGE && begins_with(p, "vkm310"))
			return 1;
		if (rule != CONTAINS_PACKAGE && begins_with_target(p))
			return 1;
		if (rule == BEGINS_WITH_TARGET)
			break;
	}
	return 0;
}

/* 1 when this 32-bit program runs on 64-bit Windows.  Looked up at run
 * time: Windows XP before SP2 has no IsWow64Process. */
static int
is_wow64(void)
{
	typedef BOOL(WINAPI * is_wow64_fn)(HANDLE, PBOOL);
	is_wow64_fn fn = (is_wow64_fn)(void (*)(void))GetProcAddress(
	    GetModuleHandleA("kernel32.dll"), "IsWow64Process");
	BOOL wow = FALSE;

	return sizeof(void *) == 4 && fn != NULL &&
	    fn(GetCurrentProcess(), &wow) && wow;
}

/* Items below one scan key in one view (0: the program's own). */
static int
key_items(const struct scan *s, REGSAM view)
{
	char name[NAME_BYTES], value[VALUE_BYTES];
	HKEY key, sub;
	int found = 0;

	if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, s->path, 0, KEY_READ | view,
	    &key) != ERROR_SUCCESS)
		return 0;
	for (DWORD i = 0;; i++) {
		DWORD len = sizeof(name), type, size = sizeof(value) - 1;
		LONG rc = RegEnumKeyExA(key, i, name, &len, NULL, NULL, NULL,
		    NULL);
		if (rc == ERROR_NO_MORE_ITEMS)
			break;
		if (rc != ERROR_SUCCESS ||
		    RegOpenKeyExA(key, name, 0, KEY_QUERY_VALUE | view, &sub) !=
		    ERROR_SUCCESS)
			continue;
		if (RegQueryValueExA(sub, s->value, NULL, &type, (BYTE *)value,
		    &size) == ERROR_SUCCESS &&
		    (type == REG_SZ || type == REG_EXPAND_SZ)) {
			value[size] = '\0';
			found += matches(value, s->rule);
		}
		RegCloseKey(sub);
	}
	RegCloseKey(key);
	return found;
}

static int
registry_items(int wow64)
{
	/* The program's own view first, then the other one where there is
	 * one: a 64-bit program or a 32-bit one on 64-bit Windows. */
	REGSAM other = sizeof(void *) == 8 ? KEY_WOW64_32KEY :
	    wow64 ? KEY_WOW64_64KEY : 0;
	int found = 0;

	for (const struct scan &s : scans) {
		found += key_items(&s, 0);
		if (s.both_views && other != 0)
			found += key_items(&s, other);
	}
	return found;
}

/* 1 when NAME is oem<N>.inf, letters in any case. */
static int
is_oem_inf(const char *name)
{
	const char *p = name + 3;

	if (_strnicmp(name, "oem", 3) != 0 || *p < '0' || *p > '9')
		return 0;
	while (*p >= '0' && *p <= '9')
		p++;
	return _stricmp(p, ".inf") == 0;
}

/* 1 when one of the first five entries of [SourceDisksFiles] in TEXT
 * names a target. */
static int
inf_text_names_target(char *text)
{
	int in_section = 0, entries = 0;

	for (char *line = text; line != NULL && entries < ENTRIES_READ;) {
		char *end = strchr(line, '\n'), *p = line;
		if (end != NULL)
			*end = '\0';
		line = end != NULL ? end + 1 : NULL;
		p += strspn(p, " \t\r");
		if (*p == '\0' || *p == ';' || *p == '#')
			continue;
		if (*p == '[') {
			if (in_section)
				break;
			in_section = begins_with(p, "[SourceDisksFiles]");
			continue;
		}
		if (!in_section)
			continue;
		/* An entry of delimiters alone is a missing entry. */
		entries++;
		p += strspn(p, " =:\t");
		if (begins_with_target(p))
			return 1;
	}
	return 0;
}

/* Reads the file at PATH once, whole. */
static int
inf_names_target(const char *path)
{
	HANDLE h = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL,
	    OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, NULL);
	DWORD size, got = 0;
	char *text;
	int hit = 0;

	if (h == INVALID_HANDLE_VALUE)
		return 0;
	size = GetFileSize(h, NULL);
	text = size != INVALID_FILE_SIZE ? (char *)malloc(size + 1) : NULL;
	if (text != NULL && ReadFile(h, text, size, &got, NULL)) {
		text[got] = '\0';
		hit = inf_text_names_target(text);
	}
	free(text);
	CloseHandle(h);
	return hit;
}

/* Lists the INF folder once; reads each oem<N>.inf in it once. */
static int
oem_inf_items(const char *windir)
{
	char pattern[MAX_PATH], path[MAX_PATH];
	WIN32_FIND_DATAA fd;
	HANDLE find;
	int found = 0;

	snprintf(pattern, sizeof(pattern), "%s\\inf\\oem*.inf", windir);
	find = FindFirstFileA(pattern, &fd);
	if (find == INVALID_HANDLE_VALUE)
		return 0;
	do {
		if ((fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
		    !is_oem_inf(fd.cFileName))
			continue;
		snprintf(path, sizeof(path), "%s\\inf\\%s", windir,
		    fd.cFileName);
		found += inf_names_target(path);
	} while (FindNextFileA(find, &fd));
	FindClose(find);
	return found;
}

static int
driver_file_items(const char *windir, int wow64)
{
	/* Sysnative: the real system32 as a 32-bit program on 64-bit
	 * Windows sees it. */
	const char *const dirs[] = {
		wow64 ? "Sysnative\\drivers" : "system32\\drivers",
		"LastGood\\system32\\drivers",
	};
	char path[MAX_PATH];
	int found = 0;

	for (const char *dir : dirs) {
		for (const char *const *t = targets; *t != NULL; t++) {
			snprintf(path, sizeof(path), "%s\\%s\\%s.sys", windir,
			    dir, *t);
			found += GetFileAttributesA(path) !=
			    INVALID_FILE_ATTRIBUTES;
		}
	}
	return found;
}

int
main(void)
{
	char windir[MAX_PATH];
	DWORD n = GetEnvironmentVariableA("SystemRoot", windir,
	    sizeof(windir));
	int wow64 = is_wow64(), found = 0;

	if (n == 0 || n >= sizeof(windir))
		GetWindowsDirectoryA(windir, sizeof(windir));
	found += oem_inf_items(windir);
	found += registry_items(wow64);
	found += driver_file_items(windir, wow64);
	printf("%d item(s) found\n", found);
	return 0;
}
