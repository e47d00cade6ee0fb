/*
 * inf.cpp - reading one entry of one section of an INF file.
 *
 * The reader sees physical lines and knows only headers, entries and
 * comments: no continuation lines, no string substitution, no quoting.
 */
#include "inf/inf.h"

#include <string.h>

#include "platform/platform.h"
#include "registry/registry.h"

enum line_kind { LINE_SKIP, LINE_HEADER, LINE_ENTRY };

/* Text begins at the first byte from 33 to 127: control characters, the
 * space and every byte from 128 up (a UTF-8 byte order mark included)
 * are blanks. */
static int
is_blank(unsigned char c)
{
	return c <= 32 || c >= 128;
}

/* Classifies LINE and points *TEXT at its first non-blank byte. */
static enum line_kind
classify_line(char *line, char **text)
{
	unsigned char *p = (unsigned char *)line;

	if (*p == '\0' || *p == '\n' || *p == '\r')
		return LINE_SKIP;
	while (*p != '\0' && is_blank(*p))
		p++;
	if (*p == '\0' || *p == '#' || *p == ';')
		return LINE_SKIP;
	*text = (char *)p;
	return *p == '[' ? LINE_HEADER : LINE_ENTRY;
}

/* 1 when the header at TEXT ("[...") names SECTION exactly. */
static int
names_section(const char *text, const char *section)
{
	size_t len = strlen(section);

	return strncmp(text + 1, section, len) == 0 && text[1 + len] == ']';
}

int
read_inf_entry(const char *path, const char *section, int entry, char *name)
{
	char line[INF_LINE_BUF];
	int counter = -1, in_section = 0, result = 0;
	plat_file *f;

	if (section == NULL || section[0] == '\0' || name == NULL)
		return 0;
	if ((f = plat_fopen(path, "r")) == NULL)
		return -1;
	while (plat_fgets(line, sizeof(line), f) > 0) {
		char *text = NULL;
		enum line_kind kind = classify_line(line, &text);

		if (kind == LINE_SKIP)
			continue;
		if (kind == LINE_HEADER) {
			if (in_section)
				break;
			in_section = names_section(text, section);
			continue;
		}
		if (!in_section || ++counter != entry)
			continue;
		char *cursor = NULL;
		char *token = next_token(text, " =:\t\r\n", &cursor);
		/* An entry of delimiters alone names nothing. */
		if (token != NULL) {
			copy_bounded(name, token, INF_NAME_BUF);
			result = 1;
		}
		break;
	}
	plat_fclose(f);
	return result;
}

char *
next_token(char *str, const char *delims, char **cursor)
{
	char *start = str != NULL ? str : *cursor;
	char *end;

	if (start == NULL)
		return NULL;
	start += strspn(start, delims);
	if (*start == '\0')
		return NULL;
	end = start + strcspn(start, delims);
	if (*end == '\0') {
		*cursor = NULL;
	} else {
		*end = '\0';
		*cursor = end + 1;
	}
	return start;
}
