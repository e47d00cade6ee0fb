/*
 * mkhive - writes a registry hive file for test and demo systems.
 *
 *	mkhive OUTFILE [SCRIPT]		make OUTFILE (replacing it) from
 *					SCRIPT, or standard input
 *	mkhive --dirty FILE		mark FILE as not closed cleanly, as
 *					fast startup or a crash leaves it
 *
 * The hive starts empty (a root key and nothing else) and the script
 * fills it through libhivex.  One directive a line, its fields separated
 * by single TAB characters; the last field runs to the end of the line
 * and may hold tabs itself.  A CR before the line feed is dropped; empty
 * lines and lines starting with '#' are skipped.
 *
 *	key	PATH			an (empty) key
 *	sz	PATH	NAME	TEXT	REG_SZ, stored with its NUL
 *	sz_nonul	PATH	NAME	TEXT	REG_SZ stored without a NUL
 *	expand_sz	PATH	NAME	TEXT	REG_EXPAND_SZ
 *	multi_sz	PATH	NAME	A|B|C	REG_MULTI_SZ, '|' between the
 *					strings; an empty field has none
 *	dword	PATH	NAME	NUMBER	REG_DWORD, decimal or 0x hexadecimal
 *	binary	PATH	NAME	HEX	REG_BINARY, two hex digits a byte
 *					(spaces, commas, colons between
 *					them are skipped); may be empty
 *	raw	PATH	NAME	TYPE	HEX	any type number, data as for
 *					binary
 *
 * PATH is below the hive's root, names separated by '\'; keys missing
 * on the way are made, so "key" is needed for empty keys only.  An empty
 * PATH is the root.  An empty NAME is the key's default value; setting a
 * value again replaces it.  Everything is UTF-8; strings are stored as
 * UTF-16LE.  Exit status 0 on success; on error a message naming the
 * line goes to standard error, OUTFILE is removed and the status is 1.
 */
#include <errno.h>
#include <fcntl.h>
#include <hivex.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#define BLOCK 4096
#define LINE_MAX_BYTES 65536
#define DATA_MAX_BYTES (2 * LINE_MAX_BYTES + 4)
#define NAME_MAX_BYTES 1024

#define ROOT_NAME "$$$PROTO.HIV"
#define KEY_HIVE_ENTRY 0x0004
#define KEY_COMP_NAME 0x0020
#define NO_CELL 0xffffffffu

static char g_line[LINE_MAX_BYTES];
static char g_data[DATA_MAX_BYTES];

/* ---- the empty hive ---- */

static void
put16(unsigned char *p, unsigned v)
{
	p[0] = (unsigned char)v;
	p[1] = (unsigned char)(v >> 8);
}

static void
put32(unsigned char *p, unsigned long v)
{
	put16(p, (unsigned)(v & 0xffff));
	put16(p + 2, (unsigned)(v >> 16));
}

static unsigned long
get32(const unsigned char *p)
{
	return p[0] | (unsigned long)p[1] << 8 | (unsigned long)p[2] << 16 |
	    (unsigned long)p[3] << 24;
}

/* XOR of the first 127 dwords of the base block. */
static unsigned long
header_checksum(const unsigned char *base)
{
	unsigned long sum = 0;

	for (int k = 0; k < 508; k += 4)
		sum ^= get32(base + k);
	return sum;
}

/* Writes the SID S-1-AUTH-SUB... at P; returns its length. */
static size_t
put_sid(unsigned char *p, unsigned auth, int count, const unsigned long *sub)
{
	p[0] = 1;
	p[1] = (unsigned char)count;
	memset(p + 2, 0, 5);
	p[7] = (unsigned char)auth;
	for (int k = 0; k < count; k++)
		put32(p + 8 + 4 * k, sub[k]);
	return 8 + 4 * (size_t)count;
}

/* Writes an allow entry for MASK to the SID at P; returns its length. */
static size_t
put_ace(unsigned char *p, unsigned long mask, unsigned auth, int count,
    const unsigned long *sub)
{
	size_t len = 8 + put_sid(p + 8, auth, count, sub);

	p[0] = 0;		/* ACCESS_ALLOWED_ACE_TYPE */
	p[1] = 0x02;		/* CONTAINER_INHERIT_ACE */
	put16(p + 2, (unsigned)len);
	put32(p + 4, mask);
	return len;
}

/* Writes a self-relative security descriptor at P: owner Administrators,
 * group SYSTEM; full control for both, read for Everyone.  Returns its
 * length. */
static size_t
put_security(unsigned char *p)
{
	static const unsigned long system[] = { 18 }, admins[] = { 32, 544 },
	    world[] = { 0 };
	size_t acl = 20, n = acl + 8;

	p[0] = 1;
	p[1] = 0;
	put16(p + 2, 0x8004);	/* SE_SELF_RELATIVE | SE_DACL_PRESENT */
	put32(p + 12, 0);
	put32(p + 16, (unsigned long)acl);
	n += put_ace(p + n, 0x000f003f, 5, 1, system);
	n += put_ace(p + n, 0x000f003f, 5, 2, admins);
	n += put_ace(p + n, 0x00020019, 1, 1, world);
	p[acl] = 2;
	p[acl + 1] = 0;
	put16(p + acl + 2, (unsigned)(n - acl));
	put16(p + acl + 4, 3);
	put16(p + acl + 6, 0);
	put32(p + 4, (unsigned long)n);
	n += put_sid(p + n, 5, 2, admins);
	put32(p + 8, (unsigned long)n);
	n += put_sid(p + n, 5, 1, system);
	return n;
}

/* Size of the root key cell: 80 bytes of fields, the name, 8-aligned. */
static size_t
root_cell_size(void)
{
	return (80 + strlen(ROOT_NAME) + 7) & ~(size_t)7;
}

/* Fills the root key cell at P; its security cell is at offset SK. */
static void
put_root_cell(unsigned char *p, size_t sk)
{
	size_t name = strlen(ROOT_NAME);

	put32(p, (unsigned long)-(long)root_cell_size());
	memcpy(p + 4, "nk", 2);
	put16(p + 6, KEY_HIVE_ENTRY | KEY_COMP_NAME);
	put32(p + 20, NO_CELL);		/* parent: a root has none here */
	put32(p + 32, NO_CELL);		/* subkey list */
	put32(p + 36, NO_CELL);		/* volatile subkey list */
	put32(p + 44, NO_CELL);		/* value list */
	put32(p + 48, (unsigned long)sk);
	put32(p + 52, NO_CELL);		/* class name */
	put16(p + 76, (unsigned)name);
	memcpy(p + 80, ROOT_NAME, name);
}

/* Fills the security cell at P (offset OFF in the bins), the one every
 * key of the new hive shares; returns its size. */
static size_t
put_security_cell(unsigned char *p, size_t off)
{
	size_t sd = put_security(p + 24), size = (24 + sd + 7) & ~(size_t)7;

	put32(p, (unsigned long)-(long)size);
	memcpy(p + 4, "sk", 2);
	put32(p + 8, (unsigned long)off);	/* a ring of one */
	put32(p + 12, (unsigned long)off);
	put32(p + 16, 1);			/* the root refers to it */
	put32(p + 20, (unsigned long)sd);
	return size;
}

/* Builds a hive of one base block and one bin holding the root key, its
 * security cell and a free cell for the rest. */
static void
build_empty(unsigned char *hive)
{
	unsigned char *base = hive, *bin = hive + BLOCK;
	size_t root = 0x20, sk, end;

	memset(hive, 0, 2 * BLOCK);
	memcpy(bin, "hbin", 4);
	put32(bin + 4, 0);
	put32(bin + 8, BLOCK);
	sk = root + root_cell_size();
	put_root_cell(bin + root, sk);
	end = sk + put_security_cell(bin + sk, sk);
	put32(bin + end, (unsigned long)(BLOCK - end));

	memcpy(base, "regf", 4);
	put32(base + 4, 1);		/* sequence numbers: equal, clean */
	put32(base + 8, 1);
	put32(base + 20, 1);		/* format 1.5 */
	put32(base + 24, 5);
	put32(base + 28, 0);		/* primary file */
	put32(base + 32, 1);		/* direct memory load */
	put32(base + 36, (unsigned long)root);
	put32(base + 40, BLOCK);	/* size of the bins */
	put32(base + 44, 1);		/* clustering factor */
	put32(base + 508, header_checksum(base));
}

static int
write_empty(const char *path)
{
	static unsigned char hive[2 * BLOCK];
	int fd, rc = 0;

	build_empty(hive);
	if ((fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644)) < 0)
		return -1;
	if (write(fd, hive, sizeof(hive)) != (ssize_t)sizeof(hive))
		rc = -1;
	if (close(fd) != 0)
		rc = -1;
	return rc;
}

/* Makes the sequence numbers of the hive at PATH differ, keeping the
 * checksum right so that only the dirty mark is wrong with it. */
static int
mark_dirty(const char *path)
{
	unsigned char base[512];
	int fd, rc = 0;

	if ((fd = open(path, O_RDWR)) < 0)
		return -1;
	if (pread(fd, base, sizeof(base), 0) != (ssize_t)sizeof(base) ||
	    memcmp(base, "regf", 4) != 0) {
		close(fd);
		errno = EINVAL;
		return -1;
	}
	put32(base + 8, get32(base + 4) + 1);
	put32(base + 508, header_checksum(base));
	if (pwrite(fd, base, sizeof(base), 0) != (ssize_t)sizeof(base))
		rc = -1;
	if (close(fd) != 0)
		rc = -1;
	return rc;
}

/* ---- text ---- */

/* Decodes the UTF-8 character at *S; -1 when it is not valid UTF-8. */
static long
next_utf8(const unsigned char **s)
{
	const unsigned char *p = *s;
	long c, min;
	int more;

	if (p[0] < 0x80)
		c = p[0], more = 0, min = 0;
	else if ((p[0] & 0xe0) == 0xc0)
		c = p[0] & 0x1f, more = 1, min = 0x80;
	else if ((p[0] & 0xf0) == 0xe0)
		c = p[0] & 0x0f, more = 2, min = 0x800;
	else if ((p[0] & 0xf8) == 0xf0)
		c = p[0] & 0x07, more = 3, min = 0x10000;
	else
		return -1;
	for (int k = 1; k <= more; k++) {
		if ((p[k] & 0xc0) != 0x80)
			return -1;
		c = c << 6 | (p[k] & 0x3f);
	}
	if (c < min || c > 0x10ffff || (c >= 0xd800 && c <= 0xdfff))
		return -1;
	*s = p + 1 + more;
	return c;
}

/* Appends TEXT (LEN bytes of UTF-8) to OUT as UTF-16LE at *USED. */
static int
put_utf16(const char *text, size_t len, char *out, size_t *used)
{
	const unsigned char *s = (const unsigned char *)text, *end = s + len;
	long c;

	while (s < end) {
		if ((c = next_utf8(&s)) < 0 || s > end)
			return -1;
		if (*used + 4 > DATA_MAX_BYTES)
			return -1;
		if (c >= 0x10000) {
			c -= 0x10000;
			put16((unsigned char *)out + *used,
			    (unsigned)(0xd800 + (c >> 10)));
			*used += 2;
			c = 0xdc00 + (c & 0x3ff);
		}
		put16((unsigned char *)out + *used, (unsigned)c);
		*used += 2;
	}
	return 0;
}

static int
put_nul16(char *out, size_t *used)
{
	if (*used + 2 > DATA_MAX_BYTES)
		return -1;
	out[(*used)++] = 0;
	out[(*used)++] = 0;
	return 0;
}

static int
hex_digit(int c)
{
	if (c >= '0' && c <= '9')
		return c - '0';
	if (c >= 'a' && c <= 'f')
		return c - 'a' + 10;
	if (c >= 'A' && c <= 'F')
		return c - 'A' + 10;
	return -1;
}

static int
parse_hex(const char *text, char *out, size_t *used)
{
	int hi, lo;

	for (const char *p = text; *p != '\0';) {
		if (*p == ' ' || *p == ',' || *p == ':') {
			p++;
			continue;
		}
		if ((hi = hex_digit(p[0])) < 0 || (lo = hex_digit(p[1])) < 0)
			return -1;
		if (*used >= DATA_MAX_BYTES)
			return -1;
		out[(*used)++] = (char)(hi << 4 | lo);
		p += 2;
	}
	return 0;
}

/* Reads a number that fits 32 bits: decimal, or hexadecimal after 0x. */
static int
parse_u32(const char *text, unsigned long *out)
{
	int hex = text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
	const char *digits = hex ? text + 2 : text;
	char *end;

	if (digits[0] < '0' || hex_digit(digits[0]) < 0 ||
	    (!hex && digits[0] > '9'))
		return -1;
	errno = 0;
	*out = strtoul(digits, &end, hex ? 16 : 10);
	if (errno != 0 || *end != '\0' || *out > 0xffffffffUL)
		return -1;
	return 0;
}

/* ---- keys and values ---- */

/* The key at PATH below the root, made where missing; 0 on error. */
static hive_node_h
make_key(hive_h *h, const char *path)
{
	char name[NAME_MAX_BYTES];
	hive_node_h node = hivex_root(h), child;
	size_t len;

	for (const char *p = path; node != 0 && *p != '\0';) {
		len = strcspn(p, "\\");
		if (len == 0 || len >= sizeof(name)) {
			fprintf(stderr, "bad key name in \"%s\"\n", path);
			return 0;
		}
		memcpy(name, p, len);
		name[len] = '\0';
		errno = 0;
		child = hivex_node_get_child(h, node, name);
		if (child == 0 && errno == 0)
			child = hivex_node_add_child(h, node, name);
		if (child == 0)
			perror(name);
		node = child;
		p += len;
		if (*p == '\\')
			p++;
	}
	return node;
}

/* Encodes the data of one value line: type name KIND, text TEXT.
 * Returns the registry type, or -1. */
static long
encode_value(const char *kind, const char *text, size_t *used)
{
	unsigned long n;
	const char *item;
	size_t len;

	*used = 0;
	if (strcmp(kind, "sz") == 0 || strcmp(kind, "expand_sz") == 0) {
		if (put_utf16(text, strlen(text), g_data, used) != 0 ||
		    put_nul16(g_data, used) != 0)
			return -1;
		return kind[0] == 's' ? hive_t_REG_SZ : hive_t_REG_EXPAND_SZ;
	}
	if (strcmp(kind, "sz_nonul") == 0)
		return put_utf16(text, strlen(text), g_data, used) == 0 ?
		    hive_t_REG_SZ : -1;
	if (strcmp(kind, "multi_sz") == 0) {
		for (item = text; *text != '\0' && item != NULL;) {
			len = strcspn(item, "|");
			if (put_utf16(item, len, g_data, used) != 0 ||
			    put_nul16(g_data, used) != 0)
				return -1;
			item = item[len] == '|' ? item + len + 1 : NULL;
		}
		return put_nul16(g_data, used) == 0 ? hive_t_REG_MULTI_SZ : -1;
	}
	if (strcmp(kind, "dword") == 0) {
		if (parse_u32(text, &n) != 0)
			return -1;
		put32((unsigned char *)g_data, n);
		*used = 4;
		return hive_t_REG_DWORD;
	}
	if (strcmp(kind, "binary") == 0)
		return parse_hex(text, g_data, used) == 0 ? hive_t_REG_BINARY :
		    -1;
	return -1;
}

/* Splits off the field at *P up to the next TAB; NULL when none is left
 * before the end of the line. */
static char *
next_field(char **p)
{
	char *field = *p, *tab;

	if (field == NULL)
		return NULL;
	if ((tab = strchr(field, '\t')) != NULL) {
		*tab = '\0';
		*p = tab + 1;
	} else
		*p = NULL;
	return field;
}

/* Carries out one value line: KIND, then PATH, NAME (and TYPE for raw)
 * and the data in REST. */
static int
do_value(hive_h *h, const char *kind, char *rest)
{
	char *path = next_field(&rest), *name = next_field(&rest), *text;
	hive_set_value v;
	hive_node_h node;
	unsigned long type;
	uint32_t number;
	size_t used = 0;
	long t;

	if (name == NULL || rest == NULL)
		return -1;
	if (strcmp(kind, "raw") == 0) {
		if ((text = next_field(&rest)) == NULL || rest == NULL ||
		    parse_u32(text, &type) != 0 ||
		    parse_hex(rest, g_data, &used) != 0)
			return -1;
		t = (long)type;
	} else if ((t = encode_value(kind, rest, &used)) < 0)
		return -1;
	if ((node = make_key(h, path)) == 0)
		return -1;
	v.key = name;
	/* Any type number may be stored, more than hive_type has names
	 * for: it goes in as bytes. */
	static_assert(sizeof(v.t) == sizeof(number), "hive_type size");
	number = (uint32_t)t;
	memcpy(&v.t, &number, sizeof(number));
	v.len = used;
	v.value = g_data;
	if (hivex_node_set_value(h, node, &v, 0) != 0) {
		perror(name);
		return -1;
	}
	return 0;
}

/* Carries out one script line (its line end already cut off). */
static int
do_line(hive_h *h, char *line)
{
	char *rest = line, *kind;

	if (line[0] == '\0' || line[0] == '#')
		return 0;
	kind = next_field(&rest);
	if (strcmp(kind, "key") == 0)
		return rest != NULL && make_key(h, rest) != 0 ? 0 : -1;
	return do_value(h, kind, rest);
}

static int
run_script(hive_h *h, FILE *in, const char *script)
{
	unsigned long number = 0;
	size_t len;

	while (fgets(g_line, sizeof(g_line), in) != NULL) {
		number++;
		len = strlen(g_line);
		if (len > 0 && g_line[len - 1] != '\n' && !feof(in)) {
			fprintf(stderr, "mkhive: %s:%lu: line too long\n",
			    script, number);
			return -1;
		}
		if (len > 0 && g_line[len - 1] == '\n')
			g_line[--len] = '\0';
		if (len > 0 && g_line[len - 1] == '\r')
			g_line[--len] = '\0';
		if (do_line(h, g_line) != 0) {
			fprintf(stderr, "mkhive: %s:%lu: bad line\n", script,
			    number);
			return -1;
		}
	}
	if (ferror(in)) {
		fprintf(stderr, "mkhive: %s: read error\n", script);
		return -1;
	}
	return 0;
}

/* Makes the hive OUT from the script SCRIPT ("-" or NULL: stdin). */
static int
make_hive(const char *out, const char *script)
{
	FILE *in = stdin;
	hive_h *h;
	int rc;

	if (script != NULL && strcmp(script, "-") != 0 &&
	    (in = fopen(script, "r")) == NULL) {
		perror(script);
		return -1;
	}
	if (write_empty(out) != 0 ||
	    (h = hivex_open(out, HIVEX_OPEN_WRITE)) == NULL) {
		perror(out);
		if (in != stdin)
			fclose(in);
		return -1;
	}
	rc = run_script(h, in, in == stdin ? "stdin" : script);
	if (rc == 0 && hivex_commit(h, NULL, 0) != 0) {
		perror(out);
		rc = -1;
	}
	hivex_close(h);
	if (in != stdin)
		fclose(in);
	return rc;
}

static void
usage(void)
{
	fprintf(stderr, "usage: mkhive OUTFILE [SCRIPT]\n"
	    "       mkhive --dirty FILE\n");
}

int
main(int argc, char **argv)
{
	if (argc == 3 && strcmp(argv[1], "--dirty") == 0) {
		if (mark_dirty(argv[2]) != 0) {
			perror(argv[2]);
			return 1;
		}
		return 0;
	}
	if (argc < 2 || argc > 3 || argv[1][0] == '-') {
		usage();
		return 2;
	}
	if (make_hive(argv[1], argc == 3 ? argv[2] : NULL) != 0) {
		unlink(argv[1]);
		return 1;
	}
	return 0;
}
