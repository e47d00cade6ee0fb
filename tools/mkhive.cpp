/*
 * mkhive - writes the empty registry hive that test and demo systems
 * start from: libhivex fills hives but cannot create one.
 *
 *	mkhive OUTFILE		make OUTFILE (replacing it): a root key
 *				and nothing else
 *	mkhive --dirty FILE	mark FILE as not closed cleanly, as fast
 *				startup or a crash leaves it
 *
 * The tests fill the hive through libhivex: tests/vkmtest/winsys.py
 * (python hivex) and the make() of tests/unit/test_hive.cpp.  Exit
 * status 0 on success, 1 on error (OUTFILE is removed), 2 on bad use.
 */
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#define BLOCK 4096

#define ROOT_NAME "$$$PROTO.HIV"
#define KEY_HIVE_ENTRY 0x0004
#define KEY_COMP_NAME 0x0020
#define NO_CELL 0xffffffffu

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

static void
usage(void)
{
	fprintf(stderr, "usage: mkhive OUTFILE\n"
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
	if (argc != 2 || argv[1][0] == '-') {
		usage();
		return 2;
	}
	if (write_empty(argv[1]) != 0) {
		perror(argv[1]);
		unlink(argv[1]);
		return 1;
	}
	return 0;
}
