/*
 * winpath.cpp - resolving Windows paths without regard to letter case.
 */
#include "winpath.h"

#include <dirent.h>
#include <string.h>
#include <sys/stat.h>

#include "common/ascii.h"

#define COMPONENT_MAX 256
#define PATH_MAX_BYTES 4096

static int
is_sep(char c)
{
	return c == '\\' || c == '/';
}

/* Appends COMP (LEN bytes) to OUT as one more component. */
static int
append_component(char *out, size_t size, size_t *used, const char *comp,
    size_t len)
{
	size_t sep = *used > 0 && out[*used - 1] != '/';

	if (*used + sep + len + 1 > size)
		return -1;
	if (sep)
		out[(*used)++] = '/';
	memcpy(out + *used, comp, len);
	*used += len;
	out[*used] = '\0';
	return 1;
}

/* 1 when the LEN bytes at A equal the string B, ASCII letters folded. */
static int
same_name(const char *a, size_t len, const char *b)
{
	size_t i;

	for (i = 0; i < len; i++) {
		if (ascii_lower((unsigned char)a[i]) !=
		    ascii_lower((unsigned char)b[i]))
			return 0;
	}
	return b[len] == '\0';
}

/* Looks in folder DIR (empty: the current one) for an entry named COMP
 * without regard to case; of several, the smallest name wins, so the
 * answer does not hang on the order the folder lists them in.
 * 1: FOUND holds the entry's name; 0: none. */
static int
find_folded(const char *dir, const char *comp, size_t len,
    char found[COMPONENT_MAX])
{
	DIR *d = opendir(dir[0] != '\0' ? dir : ".");
	struct dirent *e;
	int hit = 0;

	if (d == NULL)
		return 0;
	while ((e = readdir(d)) != NULL) {
		if (strlen(e->d_name) >= COMPONENT_MAX ||
		    !same_name(comp, len, e->d_name))
			continue;
		if (!hit || strcmp(e->d_name, found) < 0)
			strcpy(found, e->d_name);
		hit = 1;
	}
	closedir(d);
	return hit;
}

/* Resolves the components of P into OUT after its first USED bytes; once
 * one is missing, the rest are appended as given and *MISSING is set.
 * 1, or -1 when OUT is too small. */
static int
resolve_components(const char *p, char *out, size_t size, size_t *used,
    int *missing)
{
	char found[COMPONENT_MAX];
	struct stat st;

	while (*p != '\0') {
		while (is_sep(*p))
			p++;
		if (*p == '\0')
			break;
		const char *comp = p;
		while (*p != '\0' && !is_sep(*p))
			p++;
		size_t len = (size_t)(p - comp);
		size_t before = *used;

		if (append_component(out, size, used, comp, len) < 0)
			return -1;
		if (*missing || lstat(out, &st) == 0)
			continue;
		/* Not there as spelled: look in the parent for the name in
		 * other letter case. */
		out[before] = '\0';
		*used = before;
		if (len < COMPONENT_MAX && find_folded(out, comp, len, found))
			comp = found, len = strlen(found);
		else
			*missing = 1;
		if (append_component(out, size, used, comp, len) < 0)
			return -1;
	}
	return 1;
}

/* The folder part of the last path resolved, and where it led.  The scans
 * look up thousands of files in the same few folders; listing a folder
 * for every one of them to fold its letter case would dominate the run. */
static char memo_in[PATH_MAX_BYTES];
static char memo_out[PATH_MAX_BYTES];

/* 1 when the folder part (LEN bytes) of PATH resolved before to a folder
 * that is still there; OUT and *USED then hold it. */
static int
recall_folder(const char *path, size_t len, char *out, size_t size,
    size_t *used)
{
	struct stat st;
	size_t n = strlen(memo_out);

	if (len == 0 || n == 0 || strlen(memo_in) != len ||
	    memcmp(memo_in, path, len) != 0 || n + 1 > size)
		return 0;
	if (stat(memo_out, &st) != 0 || !S_ISDIR(st.st_mode))
		return 0;
	memcpy(out, memo_out, n + 1);
	*used = n;
	return 1;
}

static void
remember_folder(const char *path, size_t len, const char *resolved)
{
	if (len >= sizeof(memo_in) || strlen(resolved) >= sizeof(memo_out))
		return;
	memcpy(memo_in, path, len);
	memo_in[len] = '\0';
	strcpy(memo_out, resolved);
}

int
winpath_resolve(const char *path, char *out, size_t size)
{
	size_t used = 0, folder_len = 0;
	int missing = 0;

	if (path == NULL || path[0] == '\0' || size < 2)
		return -1;
	for (size_t i = 0; path[i] != '\0'; i++) {
		if (is_sep(path[i]))
			folder_len = i + 1;
	}
	if (!recall_folder(path, folder_len, out, size, &used)) {
		char folder[PATH_MAX_BYTES];

		out[0] = '\0';
		if (is_sep(path[0]))
			out[used++] = '/', out[used] = '\0';
		if (folder_len >= sizeof(folder))
			folder_len = 0;		/* too long to remember */
		memcpy(folder, path, folder_len);
		folder[folder_len] = '\0';
		if (resolve_components(folder, out, size, &used, &missing) < 0)
			return -1;
		if (!missing && used > 0)
			remember_folder(path, folder_len, out);
	}
	if (resolve_components(path + folder_len, out, size, &used,
	    &missing) < 0)
		return -1;
	if (used == 0)
		return -1;
	return missing ? 0 : 1;
}
