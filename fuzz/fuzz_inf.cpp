/*
 * fuzz_inf.cpp - read_inf_entries and next_token on any file contents.
 *
 * The input is the INF file.  Each run asks for entries 0 to 6 of three
 * sections: the one the scans read, a one-letter one, and one named by
 * the input's first bytes, so that a mutation can make a header of its
 * own match.  A name must be a token of the file (of its 8-bit reading,
 * for a file with a UTF-16 byte order mark), NUL-terminated within
 * INF_NAME_BUF bytes, with nothing written after its NUL; a miss must
 * be "" with nothing else written.  Fewer entries asked for must be the
 * first of them, and the same question the same answer.
 */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <fcntl.h>
#include <unistd.h>

#include "inf/inf.h"

#include "fuzz_util.h"

#define DELIMS " =:\t\r\n"
#define SECTION_MAX 32
#define TEMP_PATH 4096
#define ENTRIES 7

static char g_dir[TEMP_PATH];
static char g_path[TEMP_PATH];

static void
remove_temp(void)
{
	unlink(g_path);
	rmdir(g_dir);
}

/* Checks one entry's answer NAME (INF_NAME_BUF bytes, FILL before the
 * call) against the file DATA (SIZE bytes). */
static void
check_name(const unsigned char *name, const uint8_t *data, size_t size)
{
	size_t len = strnlen((const char *)name, INF_NAME_BUF);

	CHECK(len < INF_NAME_BUF);
	CHECK(untouched(name + len + 1, INF_NAME_BUF - len - 1));
	if (len == 0)
		return;
	CHECK(strcspn((const char *)name, DELIMS) == len);
	/* Whatever the line handling, a name is bytes of the text. */
	CHECK(memmem(data, size, name, len) != NULL);
}

/* The 8-bit reading of DATA into OUT (SIZE bytes at most), and its
 * length: a file with a UTF-16 byte order mark as one byte per character,
 * '?' for characters above 255; any other file as it stands. */
static size_t
as_text(const uint8_t *data, size_t size, uint8_t *out)
{
	int le = size >= 2 && data[0] == 0xFF && data[1] == 0xFE;
	int be = size >= 2 && data[0] == 0xFE && data[1] == 0xFF;
	size_t n = 0;

	if (!le && !be) {
		memcpy(out, data, size);
		return size;
	}
	for (size_t k = 2; k + 1 < size; k += 2) {
		unsigned unit = le ? data[k] | data[k + 1] << 8
		    : data[k] << 8 | data[k + 1];
		out[n++] = unit < 256 ? (uint8_t)unit : '?';
	}
	return n;
}

/* Entries 0 to ENTRIES - 1 of SECTION, checked against the file DATA
 * (SIZE bytes); then the first few again, and all again: the same
 * names. */
static void
check_entries(const char *section, const uint8_t *data, size_t size)
{
	static char all[ENTRIES + 1][INF_NAME_BUF];
	static char again[ENTRIES + 1][INF_NAME_BUF];
	int any = 0, rc, rc_first, first = 1 + (int)(size % ENTRIES);

	memset(all, FILL, sizeof(all));
	rc = read_inf_entries(g_path, section, all, ENTRIES);
	/* The file is there and readable: -1 would be a lost handle. */
	CHECK(rc == 0 || rc == 1);
	for (int e = 0; e < ENTRIES; e++) {
		check_name((const unsigned char *)all[e], data, size);
		any |= all[e][0] != '\0';
	}
	CHECK(untouched((const unsigned char *)all[ENTRIES], INF_NAME_BUF));
	CHECK(rc == any);
	memset(again, FILL, sizeof(again));
	rc_first = read_inf_entries(g_path, section, again, first);
	any = 0;
	for (int e = 0; e < first; e++) {
		CHECK(strcmp(again[e], all[e]) == 0);
		any |= all[e][0] != '\0';
	}
	CHECK(rc_first == any);
	CHECK(untouched((const unsigned char *)again[first], INF_NAME_BUF));
	CHECK(read_inf_entries(g_path, section, again, ENTRIES) == rc);
	CHECK(memcmp(again, all, sizeof(all)) == 0);
}

/* Cuts a copy of DATA into tokens: each lies after the one before, holds
 * no delimiter, keeps the input's bytes, and together they hold every
 * byte that is no delimiter. */
static void
check_tokens(const uint8_t *data, size_t size)
{
	char *copy, *cursor = NULL, *tok, *after;
	size_t len, tlen, total = 0, solid = 0, count = 0;

	if ((copy = (char *)malloc(size + 1)) == NULL)
		return;
	memcpy(copy, data, size);
	copy[size] = '\0';
	len = strlen(copy);
	for (size_t k = 0; k < len; k++)
		solid += strchr(DELIMS, copy[k]) == NULL;
	after = copy;
	for (tok = next_token(copy, DELIMS, &cursor); tok != NULL;
	    tok = next_token(NULL, DELIMS, &cursor)) {
		CHECK(++count <= len);
		CHECK(tok >= after && tok < copy + len);
		tlen = strlen(tok);
		CHECK(tlen > 0 && strcspn(tok, DELIMS) == tlen);
		CHECK(memcmp(tok, data + (tok - copy), tlen) == 0);
		CHECK(cursor == NULL || cursor == tok + tlen + 1);
		after = tok + tlen;
		total += tlen;
	}
	CHECK(total == solid);
	free(copy);
}

extern "C" int
LLVMFuzzerInitialize(int *argc, char ***argv)
{
	const char *tmp = getenv("TMPDIR");

	(void)argc;
	(void)argv;
	snprintf(g_dir, sizeof(g_dir), "%s/vkm-fuzz-inf.XXXXXX",
	    tmp != NULL && tmp[0] != '\0' ? tmp : "/tmp");
	if (mkdtemp(g_dir) == NULL) {
		perror(g_dir);
		exit(1);
	}
	snprintf(g_path, sizeof(g_path), "%s/input.inf", g_dir);
	atexit(remove_temp);
	return 0;
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	static char names[2][INF_NAME_BUF];
	static uint8_t text[1 << 20];
	char own[SECTION_MAX + 1];
	const char *sections[3] = { "SourceDisksFiles", "S", own };
	size_t n = 0, tsize;

	if (size > sizeof(text) || write_file(g_path, data, size) != 0)
		return 0;
	if (size > 0) {
		for (n = 0; n < (size_t)(data[0] % SECTION_MAX) &&
		    n + 1 < size && data[n + 1] != 0; n++)
			own[n] = (char)data[n + 1];
	}
	own[n] = '\0';
	tsize = as_text(data, size, text);
	for (int s = 0; s < 3; s++) {
		if (sections[s][0] != '\0')
			check_entries(sections[s], text, tsize);
	}
	/* An empty section or no buffer: 0, and the file is not opened. */
	memset(names, FILL, sizeof(names));
	CHECK(read_inf_entries(g_path, "", names, 2) == 0);
	CHECK(read_inf_entries(g_path, "S", names, 0) == 0);
	CHECK(untouched((const unsigned char *)names, sizeof(names)));
	CHECK(read_inf_entries(g_path, "S", NULL, 2) == 0);

	check_tokens(data, size);
	return 0;
}
