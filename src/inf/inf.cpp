/*
 * inf.cpp - reading the first entries of one section of an INF file.
 *
 * The reader sees physical lines and knows only headers, entries and
 * comments: no continuation lines, no string substitution, no quoting.
 * Lines come from a small text layer over the file's raw bytes: CR LF
 * reads as LF and Ctrl-Z ends the file, as the C run-time's text mode has
 * it, and a file that begins with a UTF-16 byte order mark is read one
 * 16-bit character at a time, each turned into one byte, so that it gives
 * what the same text stored in 8 bits gives.
 */
#include "inf/inf.h"

#include <string.h>

#include "common/bounded.h"
#include "platform/platform.h"

#define READ_CHUNK 512
#define CTRL_Z 26
#define NO_UNIT (-1)
#define ENTRY_DELIMS " =:\t\r\n"

enum line_kind { LINE_SKIP, LINE_HEADER, LINE_ENTRY };
enum encoding { ENC_BYTES, ENC_UTF16LE, ENC_UTF16BE };

/* An open INF file seen as text. */
struct inf_text {
	plat_file *f;
	enum encoding enc;
	int at_end;	/* end of file, Ctrl-Z or a read error: sticky */
	int failed;	/* a read error: the file's lines end there */
	int ahead;	/* a character read past a CR, or NO_UNIT */
	int pos, len;
	unsigned char buf[READ_CHUNK];
};

/* The next stored byte, or -1 at the end of the file or on an error. */
static int
next_raw(struct inf_text *t)
{
	if (t->pos == t->len) {
		int n = t->at_end ? 0 : plat_fread(t->buf, READ_CHUNK, t->f);
		if (n <= 0) {
			t->at_end = 1;
			t->failed |= n < 0;
			return -1;
		}
		t->pos = 0;
		t->len = n;
	}
	return t->buf[t->pos++];
}

/* The next stored character: a byte, or a 16-bit unit of a UTF-16 file
 * (an odd byte at the end is dropped).  -1 at the end. */
static int
next_unit(struct inf_text *t)
{
	int a, b;

	if ((a = next_raw(t)) < 0 || t->enc == ENC_BYTES)
		return a;
	if ((b = next_raw(t)) < 0)
		return -1;
	return t->enc == ENC_UTF16LE ? a | b << 8 : a << 8 | b;
}

/* The next character of the text: CR LF reads as LF, a CR before anything
 * else stays, Ctrl-Z ends the file.  -1 at the end. */
static int
next_char(struct inf_text *t)
{
	int c;

	if (t->ahead != NO_UNIT) {
		c = t->ahead;
		t->ahead = NO_UNIT;
	} else {
		c = next_unit(t);
	}
	if (c == CTRL_Z)
		t->at_end = 1, t->len = t->pos = 0;
	if (c < 0 || c == CTRL_Z)
		return -1;
	if (c == '\r') {
		int after = next_unit(t);
		if (after == '\n')
			return '\n';
		t->ahead = after < 0 ? NO_UNIT : after;
	}
	return c;
}

/* One byte for a character: the character itself below 256 (ASCII, and
 * Latin-1 as the 8-bit file would hold it), '?' for the rest, as Windows
 * writes a character that its code page lacks. */
static char
as_byte(int c)
{
	return c < 256 ? (char)c : '?';
}

/* Opens PATH and learns its encoding from a UTF-16 byte order mark, which
 * is then passed over; any other file is read from its first byte.
 * 1: open; -1: the file cannot be opened. */
static int
open_text(struct inf_text *t, const char *path)
{
	if ((t->f = plat_fopen(path)) == NULL)
		return -1;
	t->enc = ENC_BYTES;
	t->at_end = t->failed = 0;
	t->ahead = NO_UNIT;
	t->pos = t->len = 0;
	if (next_raw(t) < 0)
		return 1;
	t->pos = 0;
	if (t->len >= 2 && t->buf[0] == 0xFF && t->buf[1] == 0xFE)
		t->enc = ENC_UTF16LE;
	else if (t->len >= 2 && t->buf[0] == 0xFE && t->buf[1] == 0xFF)
		t->enc = ENC_UTF16BE;
	if (t->enc != ENC_BYTES)
		t->pos = 2;
	return 1;
}

/* Reads the next line into LINE: at most SIZE - 1 bytes, up to and with
 * the LF, NUL-terminated; a longer line comes in pieces.
 * 1: a line or piece; 0: the end of the file or a read error. */
static int
read_line(struct inf_text *t, char *line, int size)
{
	int n = 0, c;

	while (n < size - 1) {
		/* 8-bit text: bytes that are no line end or Ctrl-Z are taken
		 * straight from the buffer, as next_char would give them. */
		if (t->enc == ENC_BYTES && t->ahead == NO_UNIT) {
			while (t->pos < t->len && n < size - 1) {
				unsigned char b = t->buf[t->pos];
				if (b == '\n' || b == '\r' || b == CTRL_Z)
					break;
				line[n++] = (char)b;
				t->pos++;
			}
			if (n >= size - 1)
				break;
		}
		if ((c = next_char(t)) < 0)
			break;
		line[n++] = as_byte(c);
		if (c == '\n')
			break;
	}
	line[n] = '\0';
	return n > 0 && !t->failed;
}

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
read_inf_entries(const char *path, const char *section,
    char (*names)[INF_NAME_BUF], int count)
{
	struct inf_text t;
	char line[INF_LINE_BUF];
	int counter = -1, in_section = 0, result = 0;

	if (section == NULL || section[0] == '\0' || names == NULL ||
	    count <= 0)
		return 0;
	if (open_text(&t, path) < 0)
		return -1;
	for (int i = 0; i < count; i++)
		names[i][0] = '\0';
	while (read_line(&t, line, sizeof(line)) > 0) {
		char *text = NULL, *cursor = NULL, *token;
		enum line_kind kind = classify_line(line, &text);

		if (kind == LINE_SKIP)
			continue;
		if (kind == LINE_HEADER) {
			if (in_section)
				break;
			in_section = names_section(text, section);
			continue;
		}
		if (!in_section)
			continue;
		/* A line of delimiters alone names nothing, yet takes its
		 * number. */
		counter++;
		token = next_token(text, ENTRY_DELIMS, &cursor);
		if (token != NULL) {
			copy_bounded(names[counter], token, INF_NAME_BUF);
			result = 1;
		}
		if (counter == count - 1)
			break;
	}
	plat_fclose(t.f);
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
