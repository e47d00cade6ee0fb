/*
 * regprobe.cpp - the key-path layer (src/registry/registry.cpp) against
 * the Win32 registry itself, as the .exe files meet it.
 *
 * Seeds its own keys below HKLM\SOFTWARE\VkmProbe, HKCU\Software\VkmProbe
 * and HKCU\0VkmProbe straight through advapi32, runs one table of cases
 * through the layer, and prints "ok NAME" or "FAIL NAME: got X want Y"
 * for each, then "N passed, N failed".  Exit status: 0 all passed, 1 a
 * case failed, 2 the keys could not be seeded.  The scratch keys are
 * removed at the start (a killed run leaves them) and at the end.
 *
 * "{c255}" in a path or expected text stands for 255 times the letter c;
 * results are printed the same way, so long names stay readable.
 */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "common/bounded.h"
#include "platform/platform.h"
#include "registry/registry.h"

#define LM_SCRATCH "SOFTWARE\\VkmProbe"
#define CU_SCRATCH "Software\\VkmProbe"
/* First below HKCU by name: where a delete of the whole root would start. */
#define CU_FIRST "0VkmProbe"
#define TEXT_MAX 1024
#define NAME_BUF 512

enum probe_op { OP_ENUM, OP_READ, OP_DELETE, OP_OPEN };

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

static const struct seed seeds[] = {
	{ HLM, LM_SCRATCH, "Root", REG_SZ, "machine", 0, 0, 8 },
	{ HCU, CU_SCRATCH, "Root", REG_SZ, "user", 0, 0, 5 },
	{ HLM, LM_SCRATCH, "Text", REG_SZ, "Alpha", 0, 0, 6 },
	{ HLM, LM_SCRATCH, "Dword", REG_DWORD, "\x78\x56\x34\x12", 0, 0, 4 },
	{ HLM, LM_SCRATCH, "Multi", REG_MULTI_SZ, "a\0b\0", 0, 0, 5 },
	{ HLM, LM_SCRATCH, "Expand", REG_EXPAND_SZ, "%SystemRoot%\\inf", 0, 0,
	    17 },
	{ HLM, LM_SCRATCH, "Len259", REG_SZ, NULL, 'x', 259, 260 },
	{ HLM, LM_SCRATCH, "Len260", REG_SZ, NULL, 'x', 260, 261 },
	{ HLM, LM_SCRATCH, "NoNul", REG_SZ, "abc", 0, 0, 3 },
	{ HLM, LM_SCRATCH, "NoNul259", REG_SZ, NULL, 'n', 259, 259 },
	{ HLM, LM_SCRATCH, "NoNul260", REG_SZ, NULL, 'n', 260, 260 },
	{ HLM, LM_SCRATCH "\\Three\\Alpha", NULL, 0, NULL, 0, 0, 0 },
	{ HLM, LM_SCRATCH "\\Three\\Beta", NULL, 0, NULL, 0, 0, 0 },
	{ HLM, LM_SCRATCH "\\Three\\Gamma", NULL, 0, NULL, 0, 0, 0 },
	{ HLM, LM_SCRATCH "\\Long\\{L255}", NULL, 0, NULL, 0, 0, 0 },
	{ HLM, LM_SCRATCH "\\Tree\\Level1\\Level2", "V", REG_SZ, "leaf", 0, 0,
	    5 },
	{ HLM, LM_SCRATCH "\\Tree\\Side", "V", REG_SZ, "side", 0, 0, 5 },
	{ HCU, CU_SCRATCH "\\Tree\\Level1\\Level2", NULL, 0, NULL, 0, 0, 0 },
	{ HCU, CU_FIRST, NULL, 0, NULL, 0, 0, 0 },
};

struct probe_case {
	const char *name;
	enum probe_op op;
	const char *path;
	const char *value;	/* OP_READ: the value name */
	int index;		/* OP_ENUM */
	int capacity;		/* OP_ENUM, OP_READ: buffer size; 0: 260 */
	const char *want;
};

#define LM "HKLM\\" LM_SCRATCH
#define CU "HKCU\\" CU_SCRATCH

/* The order matters from the deletes on: they change what follows. */
static const struct probe_case cases[] = {
	{ "root hklm", OP_READ, "hklm\\software\\vkmprobe", "Root", 0, 0,
	    "machine" },
	{ "root HKEY_LOCAL_MACHINE", OP_READ,
	    "HKEY_LOCAL_MACHINE\\" LM_SCRATCH, "Root", 0, 0, "machine" },
	{ "root HKCU", OP_READ, CU, "Root", 0, 0, "user" },
	{ "root HKEY_CURRENT_USER", OP_READ, "HKEY_CURRENT_USER\\" CU_SCRATCH,
	    "Root", 0, 0, "user" },
	{ "root hkey_current_user", OP_READ, "hkey_current_user\\software\\"
	    "VKMPROBE", "Root", 0, 0, "user" },
	{ "root HKCR enum", OP_ENUM, "HKCR\\" CU_SCRATCH, NULL, 0, 0, "-1" },
	{ "root HKEY_CLASSES_ROOT enum", OP_ENUM, "HKEY_CLASSES_ROOT\\CLSID",
	    NULL, 0, 0, "-1" },
	{ "root HKU enum", OP_ENUM, "HKU\\.DEFAULT", NULL, 0, 0, "-1" },
	{ "root HKCR read", OP_READ, "HKCR\\" CU_SCRATCH, "Root", 0, 0,
	    "<default>" },

	/* The indexes rely on subkeys coming in name order: Wine keeps them
	 * so, as Windows' hives do, though RegEnumKeyEx promises no order. */
	{ "enum 0", OP_ENUM, LM "\\Three", NULL, 0, 0, "1:Alpha" },
	{ "enum 1", OP_ENUM, LM "\\Three", NULL, 1, 0, "1:Beta" },
	{ "enum 2", OP_ENUM, LM "\\Three", NULL, 2, 0, "1:Gamma" },
	{ "enum 3", OP_ENUM, LM "\\Three", NULL, 3, 0, "0" },
	{ "enum 4", OP_ENUM, LM "\\Three", NULL, 4, 0, "0" },
	{ "enum HKCU", OP_ENUM, "HKCU", NULL, 0, 0, "1:" CU_FIRST },
	{ "enum HKEY_CURRENT_USER\\", OP_ENUM, "HKEY_CURRENT_USER\\", NULL, 0,
	    0, "1:" CU_FIRST },
	{ "enum -1", OP_ENUM, LM "\\Three", NULL, -1, 0, "-1" },
	{ "enum trailing separator", OP_ENUM, LM "\\Three\\", NULL, 2, 0,
	    "1:Gamma" },
	{ "enum leaf", OP_ENUM, LM "\\Three\\Alpha", NULL, 0, 0, "0" },
	{ "enum missing key", OP_ENUM, LM "\\Nowhere", NULL, 0, 0, "-1" },
	{ "enum name with its NUL", OP_ENUM, LM "\\Three", NULL, 0, 6,
	    "1:Alpha" },
	{ "enum name without room for NUL", OP_ENUM, LM "\\Three", NULL, 0, 5,
	    "-1" },
	{ "enum 255 fits", OP_ENUM, LM "\\Long", NULL, 0, 256, "1:{L255}" },
	{ "enum 255 in 255", OP_ENUM, LM "\\Long", NULL, 0, 255, "-1" },
	{ "enum 255 in 16", OP_ENUM, LM "\\Long", NULL, 0, 16, "-1" },

	{ "read REG_SZ", OP_READ, LM, "Text", 0, 0, "Alpha" },
	{ "read name case", OP_READ, LM, "TEXT", 0, 0, "Alpha" },
	{ "read REG_DWORD", OP_READ, LM, "Dword", 0, 0, "<default>" },
	{ "read REG_MULTI_SZ", OP_READ, LM, "Multi", 0, 0, "<default>" },
	{ "read REG_EXPAND_SZ", OP_READ, LM, "Expand", 0, 0,
	    "%SystemRoot%\\inf" },
	{ "read 259", OP_READ, LM, "Len259", 0, 0, "{x259}" },
	{ "read 260", OP_READ, LM, "Len260", 0, 0, "<default>" },
	{ "read no NUL", OP_READ, LM, "NoNul", 0, 0, "abc" },
	{ "read no NUL 259", OP_READ, LM, "NoNul259", 0, 0, "{n259}" },
	{ "read no NUL 260", OP_READ, LM, "NoNul260", 0, 0, "<default>" },
	{ "read small buffer", OP_READ, LM, "Text", 0, 5, "<def" },
	{ "read missing value", OP_READ, LM, "Missing", 0, 0, "<default>" },
	{ "read missing key", OP_READ, LM "\\Nowhere", "Text", 0, 0,
	    "<default>" },

	{ "delete HKLM\\", OP_DELETE, "HKLM\\", NULL, 0, 0, "0" },
	{ "delete HKLM", OP_DELETE, "HKLM", NULL, 0, 0, "0" },
	{ "delete HKCU\\", OP_DELETE, "HKCU\\", NULL, 0, 0, "0" },
	{ "delete HKEY_CURRENT_USER", OP_DELETE, "HKEY_CURRENT_USER", NULL, 0,
	    0, "0" },
	{ "first of HKCU kept", OP_OPEN, "HKCU\\" CU_FIRST, NULL, 0, 0, "yes" },
	{ "delete HKCR", OP_DELETE, "HKCR\\" CU_SCRATCH, NULL, 0, 0, "-1" },
	{ "delete missing", OP_DELETE, LM "\\Nowhere", NULL, 0, 0, "0" },
	{ "delete below missing", OP_DELETE, LM "\\Nowhere\\Deeper", NULL, 0, 0,
	    "0" },
	{ "scratch kept", OP_OPEN, LM "\\Tree\\Level1\\Level2", NULL, 0, 0,
	    "yes" },
	{ "SOFTWARE kept", OP_OPEN, "HKLM\\SOFTWARE\\Microsoft", NULL, 0, 0,
	    "yes" },
	{ "delete tree", OP_DELETE, LM "\\Tree", NULL, 0, 0, "1" },
	{ "tree gone", OP_OPEN, LM "\\Tree", NULL, 0, 0, "no" },
	{ "sibling kept", OP_OPEN, LM "\\Three\\Gamma", NULL, 0, 0, "yes" },
	{ "delete tree again", OP_DELETE, LM "\\Tree", NULL, 0, 0, "0" },
	{ "delete user tree", OP_DELETE,
	    "HKEY_CURRENT_USER\\" CU_SCRATCH "\\Tree", NULL, 0, 0, "1" },
	{ "user tree gone", OP_OPEN, CU "\\Tree", NULL, 0, 0, "no" },
	{ "delete one of three", OP_DELETE, LM "\\Three\\Alpha", NULL, 0, 0,
	    "1" },
	{ "next moves down", OP_ENUM, LM "\\Three", NULL, 0, 0, "1:Beta" },
};

/* Writes PATTERN into OUT (TEXT_MAX bytes) with "{cN}" spelled out. */
static void
expand(const char *pattern, char *out)
{
	size_t n = 0;
	char *end;

	while (*pattern != '\0' && n < TEXT_MAX - 1) {
		if (pattern[0] == '{' && pattern[1] != '\0') {
			long count = strtol(pattern + 2, &end, 10);
			if (*end == '}' && count > 0 &&
			    (size_t)count < TEXT_MAX - 1 - n) {
				memset(out + n, pattern[1], (size_t)count);
				n += (size_t)count;
				pattern = end + 1;
				continue;
			}
		}
		out[n++] = *pattern++;
	}
	out[n] = '\0';
}

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

/* Deletes the key SUBKEY of ROOT with everything below it, without the
 * layer under test, so that a fault there cannot leave keys behind.
 * 1: deleted. */
static int
wipe(HKEY root, const char *subkey)
{
	HKEY key;
	char child[NAME_BUF];
	DWORD len;

	if (RegOpenKeyExA(root, subkey, 0, KEY_ALL_ACCESS, &key) !=
	    ERROR_SUCCESS)
		return 0;
	for (;;) {
		len = sizeof(child);
		if (RegEnumKeyExA(key, 0, child, &len, NULL, NULL, NULL,
		    NULL) != ERROR_SUCCESS || !wipe(key, child))
			break;
	}
	RegCloseKey(key);
	return RegDeleteKeyA(root, subkey) == ERROR_SUCCESS;
}

static void
wipe_scratch(void)
{
	wipe(HKEY_LOCAL_MACHINE, LM_SCRATCH);
	wipe(HKEY_CURRENT_USER, CU_SCRATCH);
	wipe(HKEY_CURRENT_USER, CU_FIRST);
}

/* Creates the key PATH below ROOT one level at a time: Wine refuses an
 * ANSI path of more than 260 characters (ERROR_MORE_DATA), and the
 * 255-character name below the scratch key makes one. */
static LONG
create_key(HKEY root, char *path, HKEY *key)
{
	HKEY parent = root, child;
	char *part = path, *sep;
	LONG rc;

	for (;;) {
		sep = strchr(part, '\\');
		if (sep != NULL)
			*sep = '\0';
		rc = RegCreateKeyExA(parent, part, 0, NULL, 0, KEY_ALL_ACCESS,
		    NULL, &child, NULL);
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

/* 1 when every key and value of SEEDS is in place. */
static int
plant_seeds(void)
{
	static char data[TEXT_MAX], path[TEXT_MAX];
	HKEY key;
	LONG rc;

	for (const struct seed *s = seeds; s < seeds +
	    sizeof(seeds) / sizeof(seeds[0]); s++) {
		expand(s->key, path);
		rc = create_key(s->root, path, &key);
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

/* "yes" when the key at PATH ("HKLM\..." or "HKCU\...") opens. */
static const char *
key_opens(const char *path)
{
	HKEY root = strncmp(path, "HKCU\\", 5) == 0 ? HKEY_CURRENT_USER :
	    HKEY_LOCAL_MACHINE;
	HKEY key;

	if (RegOpenKeyExA(root, path + 5, 0, KEY_READ, &key) != ERROR_SUCCESS)
		return "no";
	RegCloseKey(key);
	return "yes";
}

/* Runs C; its result as text in GOT (TEXT_MAX bytes). */
static void
run_case(const struct probe_case *c, char *got)
{
	static char path[TEXT_MAX], buf[NAME_BUF];
	size_t capacity = c->capacity > 0 ? (size_t)c->capacity : 260;
	int rc;

	expand(c->path, path);
	memset(buf, '#', sizeof(buf));
	switch (c->op) {
	case OP_ENUM:
		rc = enum_subkey(path, c->index, buf, capacity);
		/* Nothing may land past the capacity given, cut or not. */
		if (buf[capacity] != '#')
			snprintf(got, TEXT_MAX, "wrote past %u",
			    (unsigned)capacity);
		else if (rc == 1)
			snprintf(got, TEXT_MAX, "1:%s", buf);
		else
			snprintf(got, TEXT_MAX, "%d", rc);
		break;
	case OP_READ:
		read_string_value(path, c->value, buf, "<default>", capacity);
		if (buf[capacity] != '#')
			snprintf(got, TEXT_MAX, "wrote past %u",
			    (unsigned)capacity);
		else
			copy_bounded(got, buf, TEXT_MAX);
		break;
	case OP_DELETE:
		snprintf(got, TEXT_MAX, "%d", delete_key_path(path));
		break;
	case OP_OPEN:
		copy_bounded(got, key_opens(path), TEXT_MAX);
		break;
	}
}

int
main(void)
{
	static char got[TEXT_MAX], want[TEXT_MAX], shown[TEXT_MAX];
	int passed = 0, failed = 0;

	wipe_scratch();
	if (!plant_seeds()) {
		wipe_scratch();
		return 2;
	}
	for (const struct probe_case *c = cases; c < cases +
	    sizeof(cases) / sizeof(cases[0]);
	    c++) {
		run_case(c, got);
		expand(c->want, want);
		if (strcmp(got, want) == 0) {
			plat_printf("ok %s\n", c->name);
			passed++;
		} else {
			compress(got, shown);
			plat_printf("FAIL %s: got %s want %s\n", c->name, shown,
			    c->want);
			failed++;
		}
	}
	wipe_scratch();
	plat_printf("%d passed, %d failed\n", passed, failed);
	return failed > 0 ? 1 : 0;
}
