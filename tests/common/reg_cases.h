/*
 * reg_cases.h - the registry cases that Wine's registry (the probe,
 * tests/wine/regprobe.cpp) and the offline hives (tests/unit/test_hive.cpp)
 * must answer alike, through the calls the scans make (registry/registry.h):
 * the walk over a key's subkeys, the value read, and the check, the backup
 * and the delete of a key tree.
 *
 * Rows only, as X-macros: the includer defines what a row becomes, and
 * runs it with reg_case_run.  Key paths lie below the scratch key
 * REG_CASE_KEY of HKLM; "{c255}" in a path or an expected text stands for
 * 255 times the letter c (reg_expand).
 *
 *   REG_SEED(key, name, type, data, fill, count, size)
 *	a key (below the scratch key, "" for itself) and, when NAME is not
 *	NULL, a value of TYPE: SIZE bytes of DATA, or COUNT times FILL when
 *	DATA is NULL (COUNT + 1 keeps the NUL, COUNT drops it).  Strings are
 *	ANSI; a hive stores them as UTF-16, twice the size.  TYPE 6
 *	(REG_LINK) makes the key a registry link to the key DATA below
 *	HKLM instead.
 *   REG_CASE(name, op, path, value, index, capacity, want)
 *	what reg_case_run gives for the row (CAPACITY 0: 260).  The order
 *	matters from the deletes on: they change what follows.
 */
#ifndef TESTS_COMMON_REG_CASES_H
#define TESTS_COMMON_REG_CASES_H

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "registry/registry.h"

#define REG_CASE_KEY "SOFTWARE\\VkmProbe"
#define REG_CASE_LM "HKLM\\" REG_CASE_KEY

enum reg_case_op {
	OP_WALK,	/* walk_subkey(INDEX): "1:NAME", "0" or "-1:ERRNO" */
	OP_COUNT,	/* walk_subkey_count: "N" or "-1:ERRNO" */
	OP_VALUE,	/* walk_read_value(INDEX, VALUE): "R:TEXT" */
	OP_OPEN,	/* open_key_walk: "yes" or "no" */
	OP_READ,	/* read_string_value(VALUE): the text */
	OP_DELETABLE,	/* key_path_deletable: "1", "0:ERRNO" or "-1" */
	OP_BACKUP,	/* backup_key_path: "1" or "-1:ERRNO" */
	OP_DELETE,	/* delete_key_path: "1", "0:ERRNO" or "-1" */
};

#define REG_CASE_SEEDS(REG_SEED) \
	REG_SEED("", "Root", 1, "machine", 0, 0, 8) \
	REG_SEED("", "Text", 1, "Alpha", 0, 0, 6) \
	REG_SEED("", "Dword", 4, "\x78\x56\x34\x12", 0, 0, 4) \
	REG_SEED("", "Multi", 7, "a\0b\0", 0, 0, 5) \
	REG_SEED("", "Expand", 2, "%SystemRoot%\\inf", 0, 0, 17) \
	REG_SEED("", "Len259", 1, NULL, 'x', 259, 260) \
	REG_SEED("", "Len260", 1, NULL, 'x', 260, 261) \
	REG_SEED("", "NoNul", 1, "abc", 0, 0, 3) \
	REG_SEED("", "NoNul259", 1, NULL, 'n', 259, 259) \
	REG_SEED("", "NoNul260", 1, NULL, 'n', 260, 260) \
	REG_SEED("\\Three\\Alpha", NULL, 0, NULL, 0, 0, 0) \
	REG_SEED("\\Three\\Beta", NULL, 0, NULL, 0, 0, 0) \
	REG_SEED("\\Three\\Gamma", NULL, 0, NULL, 0, 0, 0) \
	REG_SEED("\\Long\\{L255}", NULL, 0, NULL, 0, 0, 0) \
	REG_SEED("\\Tree\\Level1\\Level2", "V", 1, "leaf", 0, 0, 5) \
	REG_SEED("\\Tree\\Side", "V", 1, "side", 0, 0, 5) \
	REG_SEED("\\Victim", "V", 1, "victim", 0, 0, 7) \
	REG_SEED("\\Victim\\Kid", NULL, 0, NULL, 0, 0, 0) \
	REG_SEED("\\Linked\\ToVictim", "SymbolicLinkValue", 6, \
	    REG_CASE_KEY "\\Victim", 0, 0, 0) \
	REG_SEED("\\TopLink", "SymbolicLinkValue", 6, REG_CASE_KEY "\\Victim", \
	    0, 0, 0)

#define LM_ REG_CASE_LM
#define REG_CASE_ROWS(REG_CASE) \
	REG_CASE("root hklm", OP_READ, "hklm\\software\\vkmprobe", "Root", 0, \
	    0, "machine") \
	REG_CASE("root HKEY_LOCAL_MACHINE", OP_READ, \
	    "HKEY_LOCAL_MACHINE\\" REG_CASE_KEY, "Root", 0, 0, "machine") \
	/* The indexes rely on subkeys coming in name order: Wine keeps \
	 * them so, as Windows' hives do, though RegEnumKeyEx promises no \
	 * order. */ \
	REG_CASE("walk 0", OP_WALK, LM_ "\\Three", NULL, 0, 0, "1:Alpha") \
	REG_CASE("walk 1", OP_WALK, LM_ "\\Three", NULL, 1, 0, "1:Beta") \
	REG_CASE("walk 2", OP_WALK, LM_ "\\Three", NULL, 2, 0, "1:Gamma") \
	REG_CASE("walk 3", OP_WALK, LM_ "\\Three", NULL, 3, 0, "0") \
	REG_CASE("walk 999", OP_WALK, LM_ "\\Three", NULL, 999, 0, "0") \
	REG_CASE("walk -1", OP_WALK, LM_ "\\Three", NULL, -1, 0, "-1:22") \
	REG_CASE("walk trailing separator", OP_WALK, LM_ "\\Three\\", NULL, 2, \
	    0, "1:Gamma") \
	REG_CASE("walk leaf", OP_WALK, LM_ "\\Three\\Alpha", NULL, 0, 0, "0") \
	REG_CASE("walk missing key", OP_WALK, LM_ "\\Nowhere", NULL, 0, 0, \
	    "open:0") \
	REG_CASE("walk below a missing key", OP_WALK, LM_ "\\Nowhere\\Deeper", \
	    NULL, 0, 0, "open:0") \
	REG_CASE("walk name with its NUL", OP_WALK, LM_ "\\Three", NULL, 0, 6, \
	    "1:Alpha") \
	REG_CASE("walk name without room for NUL", OP_WALK, LM_ "\\Three", \
	    NULL, 0, 5, "-1:34") \
	REG_CASE("walk 255 fits", OP_WALK, LM_ "\\Long", NULL, 0, 256, \
	    "1:{L255}") \
	REG_CASE("walk 255 in 255", OP_WALK, LM_ "\\Long", NULL, 0, 255, \
	    "-1:34") \
	REG_CASE("walk 255 in 16", OP_WALK, LM_ "\\Long", NULL, 0, 16, "-1:34") \
	REG_CASE("count three", OP_COUNT, LM_ "\\Three", NULL, 0, 0, "3") \
	REG_CASE("count leaf", OP_COUNT, LM_ "\\Three\\Alpha", NULL, 0, 0, \
	    "0") \
	REG_CASE("count missing key", OP_COUNT, LM_ "\\Nowhere", NULL, 0, 0, \
	    "open:0") \
	REG_CASE("value by index", OP_VALUE, LM_ "\\Tree", "V", 1, 0, \
	    "1:side") \
	REG_CASE("value by index, none there", OP_VALUE, LM_ "\\Tree", "V", 0, \
	    0, "0:<default>") \
	REG_CASE("value by index, too long", OP_VALUE, LM_ "\\Tree", "V", 1, 4, \
	    "0:<de") \
	REG_CASE("value past the last index", OP_VALUE, LM_ "\\Tree", "V", 2, \
	    0, "-1:<default>") \
	REG_CASE("read REG_SZ", OP_READ, LM_, "Text", 0, 0, "Alpha") \
	REG_CASE("read name case", OP_READ, LM_, "TEXT", 0, 0, "Alpha") \
	REG_CASE("read REG_DWORD", OP_READ, LM_, "Dword", 0, 0, "<default>") \
	REG_CASE("read REG_MULTI_SZ", OP_READ, LM_, "Multi", 0, 0, \
	    "<default>") \
	REG_CASE("read REG_EXPAND_SZ", OP_READ, LM_, "Expand", 0, 0, \
	    "%SystemRoot%\\inf") \
	REG_CASE("read 259", OP_READ, LM_, "Len259", 0, 0, "{x259}") \
	REG_CASE("read 260", OP_READ, LM_, "Len260", 0, 0, "<default>") \
	REG_CASE("read no NUL", OP_READ, LM_, "NoNul", 0, 0, "abc") \
	REG_CASE("read no NUL 259", OP_READ, LM_, "NoNul259", 0, 0, "{n259}") \
	REG_CASE("read no NUL 260", OP_READ, LM_, "NoNul260", 0, 0, \
	    "<default>") \
	REG_CASE("read small buffer", OP_READ, LM_, "Text", 0, 5, "<def") \
	REG_CASE("read missing value", OP_READ, LM_, "Missing", 0, 0, \
	    "<default>") \
	REG_CASE("read missing key", OP_READ, LM_ "\\Nowhere", "Text", 0, 0, \
	    "<default>") \
	REG_CASE("deletable HKLM\\", OP_DELETABLE, "HKLM\\", NULL, 0, 0, \
	    "0:13") \
	REG_CASE("deletable missing", OP_DELETABLE, LM_ "\\Nowhere", NULL, 0, \
	    0, "0:2") \
	REG_CASE("deletable tree", OP_DELETABLE, LM_ "\\Tree", NULL, 0, 0, \
	    "1") \
	REG_CASE("backup HKLM\\", OP_BACKUP, "HKLM\\", NULL, 0, 0, "-1:22") \
	REG_CASE("backup missing", OP_BACKUP, LM_ "\\Nowhere", NULL, 0, 0, \
	    "-1:2") \
	REG_CASE("backup tree", OP_BACKUP, LM_ "\\Tree", NULL, 0, 0, "1") \
	REG_CASE("delete HKLM\\", OP_DELETE, "HKLM\\", NULL, 0, 0, "0:22") \
	REG_CASE("delete HKLM", OP_DELETE, "HKLM", NULL, 0, 0, "0:22") \
	REG_CASE("delete missing", OP_DELETE, LM_ "\\Nowhere", NULL, 0, 0, \
	    "0:2") \
	REG_CASE("delete below missing", OP_DELETE, LM_ "\\Nowhere\\Deeper", \
	    NULL, 0, 0, "0:2") \
	REG_CASE("scratch kept", OP_OPEN, LM_ "\\Tree\\Level1\\Level2", NULL, \
	    0, 0, "yes") \
	REG_CASE("SOFTWARE kept", OP_OPEN, "HKLM\\SOFTWARE\\Microsoft", NULL, \
	    0, 0, "yes") \
	REG_CASE("delete tree", OP_DELETE, LM_ "\\Tree", NULL, 0, 0, "1") \
	REG_CASE("tree gone", OP_OPEN, LM_ "\\Tree", NULL, 0, 0, "no") \
	REG_CASE("sibling kept", OP_OPEN, LM_ "\\Three\\Gamma", NULL, 0, 0, \
	    "yes") \
	REG_CASE("delete tree again", OP_DELETE, LM_ "\\Tree", NULL, 0, 0, \
	    "0:2") \
	REG_CASE("delete one of three", OP_DELETE, LM_ "\\Three\\Alpha", NULL, \
	    0, 0, "1") \
	REG_CASE("next moves down", OP_WALK, LM_ "\\Three", NULL, 0, 0, \
	    "1:Beta") \
	REG_CASE("count after a delete", OP_COUNT, LM_ "\\Three", NULL, 0, 0, \
	    "2") \
	/* A link inside a tree goes as a link; what it names stays. */ \
	REG_CASE("delete tree holding a link", OP_DELETE, LM_ "\\Linked", \
	    NULL, 0, 0, "1") \
	REG_CASE("tree holding a link gone", OP_OPEN, LM_ "\\Linked", NULL, \
	    0, 0, "no") \
	REG_CASE("link target's subkey kept", OP_OPEN, LM_ "\\Victim\\Kid", \
	    NULL, 0, 0, "yes") \
	REG_CASE("link target's value kept", OP_READ, LM_ "\\Victim", "V", 0, \
	    0, "victim") \
	REG_CASE("delete a link itself", OP_DELETE, LM_ "\\TopLink", NULL, 0, \
	    0, "1") \
	REG_CASE("link itself gone", OP_OPEN, LM_ "\\TopLink", NULL, 0, 0, \
	    "no") \
	REG_CASE("its target kept", OP_OPEN, LM_ "\\Victim\\Kid", NULL, 0, 0, \
	    "yes")

/* Writes PATTERN into OUT (SIZE bytes) with "{cN}" spelled out. */
static inline void
reg_expand(const char *pattern, char *out, size_t size)
{
	size_t n = 0;
	char *end;

	while (*pattern != '\0' && n < size - 1) {
		if (pattern[0] == '{' && pattern[1] != '\0') {
			long count = strtol(pattern + 2, &end, 10);
			if (*end == '}' && count > 0 &&
			    (size_t)count < size - 1 - n) {
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

/* Runs OP on PATH through the key-path layer, as the scans call it: a
 * walk opens PATH first and gives "open:R" (":ERRNO" after -1) when that
 * gives no 1.  What the call writes lands in BUF, whose CAPACITY bytes
 * the call is given; BUF must be larger and hold '#' from CAPACITY on,
 * which must stay.  The result, as the table spells it, into GOT (SIZE
 * bytes).  BACKUP_DIR is the run's backup folder. */
static inline void
reg_case_run(enum reg_case_op op, const char *path, const char *value,
    int index, size_t capacity, const char *backup_dir, char *buf,
    char *got, size_t size)
{
	struct key_walk walk;
	int rc;

	errno = 0;
	if (op == OP_READ) {
		read_string_value(path, value, buf, "<default>", capacity);
		snprintf(got, size, "%s", buf);
	} else if (op == OP_DELETABLE || op == OP_DELETE || op == OP_BACKUP) {
		rc = op == OP_DELETABLE ? key_path_deletable(path) :
		    op == OP_DELETE ? delete_key_path(path) :
		    backup_key_path(path, backup_dir);
		if (rc == 1 || (rc < 0 && op != OP_BACKUP))
			snprintf(got, size, "%d", rc);
		else
			snprintf(got, size, "%d:%d", rc, errno);
	} else if ((rc = open_key_walk(path, &walk)) != 1) {
		if (op == OP_OPEN && rc == 0)
			snprintf(got, size, "no");
		else if (rc == 0)
			snprintf(got, size, "open:0");
		else
			snprintf(got, size, "open:%d:%d", rc, errno);
		return;
	} else {
		if (op == OP_OPEN) {
			snprintf(got, size, "yes");
		} else if (op == OP_VALUE) {
			rc = walk_read_value(&walk, index, value, buf,
			    "<default>", capacity);
			snprintf(got, size, "%d:%s", rc, buf);
		} else {
			rc = op == OP_COUNT ? walk_subkey_count(&walk) :
			    walk_subkey(&walk, index, buf, capacity);
			if (rc == 1 && op == OP_WALK)
				snprintf(got, size, "1:%s", buf);
			else if (rc < 0)
				snprintf(got, size, "%d:%d", rc, errno);
			else
				snprintf(got, size, "%d", rc);
		}
		close_key_walk(&walk);
	}
	/* Nothing may land past the capacity given, cut or not. */
	if (buf[capacity] != '#')
		snprintf(got, size, "wrote past %u", (unsigned)capacity);
}

#endif
