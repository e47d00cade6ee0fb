/*
 * env.cpp (Linux) - environment variables with Windows' names.
 *
 * Windows does not tell SystemRoot from SYSTEMROOT; Linux does, and a
 * shell may hold both.  The spelling asked for wins, then the first other
 * spelling in the environment's order.
 */
#include "platform/platform.h"

#include <string.h>

#include "common/ascii.h"

extern char **environ;

/* The value of ENTRY ("NAME=VALUE") when its name is NAME over NAME's
 * whole length, ASCII letters folded, else NULL.  *EXACT tells whether
 * the letters also match in case. */
static const char *
entry_value(const char *entry, const char *name, size_t len, int *exact)
{
	/* A shorter ENTRY fails the comparison at its NUL, so ENTRY[LEN]
	 * is only read when it exists. */
	if (!ascii_starts_with(entry, name) || entry[len] != '=')
		return NULL;
	*exact = strncmp(entry, name, len) == 0;
	return entry + len + 1;
}

/* The value of NAME, the exact spelling preferred, or NULL. */
static const char *
find_value(const char *name)
{
	const char *value, *folded = NULL;
	size_t len = strlen(name);
	int exact;

	if (len == 0 || strchr(name, '=') != NULL || environ == NULL)
		return NULL;
	for (char **e = environ; *e != NULL; e++) {
		value = entry_value(*e, name, len, &exact);
		if (value == NULL)
			continue;
		if (exact)
			return value;
		if (folded == NULL)
			folded = value;
	}
	return folded;
}

int
plat_getenv(const char *name, char *buf, size_t size)
{
	const char *value;
	size_t len;

	if (name == NULL)
		return 0;
	value = find_value(name);
	if (value == NULL) {
		if (buf != NULL && size > 0)
			buf[0] = '\0';
		return 0;
	}
	len = strlen(value);
	if (buf == NULL || len >= size) {
		if (buf != NULL && size > 0)
			buf[0] = '\0';
		return -1;
	}
	memcpy(buf, value, len + 1);
	return 1;
}

int
plat_redirected(void)
{
	/* An offline installation is read as it lies on the disk. */
	return 0;
}
