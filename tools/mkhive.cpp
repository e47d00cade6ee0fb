/*
 * mkhive - writes the empty registry hive that test and demo systems
 * start from: libhivex fills hives but cannot create one.
 *
 *	mkhive OUTFILE		make OUTFILE (replacing it): a root key
 *				and nothing else
 *	mkhive --dirty FILE	mark FILE as not closed cleanly, as fast
 *				startup or a crash leaves it
 *	mkhive --log new|old BEFORE AFTER LOG [LOG2]
 *				write the transaction log LOG that brings
 *				the hive BEFORE to AFTER (with LOG2, the
 *				earlier half of the new log's entries go
 *				there), and mark BEFORE as Windows leaves a
 *				hive whose newest changes are in its logs
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

#include <string>
#include <vector>

#include "registry/unix/hive_log.h"

#define BLOCK 4096
#define SECTOR 512

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

/* Writes the leaf of PATH, as Windows writes the hive's name, into the
 * base block's name field at P (64 bytes, UTF-16LE). */
static void
put_name(unsigned char *p, const char *path)
{
	const char *leaf = strrchr(path, '/') != NULL ? strrchr(path, '/') + 1 :
	    path;

	for (int k = 0; k < 31 && leaf[k] != '\0'; k++)
		put16(p + 2 * k, (unsigned char)leaf[k]);
}

/* Builds a hive of one base block and one bin holding the root key, its
 * security cell and a free cell for the rest, named after PATH. */
static void
build_empty(unsigned char *hive, const char *path)
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
	put_name(base + 48, path);
	put32(base + 508, header_checksum(base));
}

static int
write_empty(const char *path)
{
	static unsigned char hive[2 * BLOCK];
	int fd, rc = 0;

	build_empty(hive, path);
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

/* ---- transaction logs ---- */

typedef std::string bytes;

static int
read_file(const char *path, bytes *out)
{
	char buf[BLOCK];
	size_t n;
	FILE *f = fopen(path, "rb");

	if (f == NULL)
		return -1;
	out->clear();
	while ((n = fread(buf, 1, sizeof(buf), f)) > 0)
		out->append(buf, n);
	fclose(f);
	return 0;
}

static int
write_file(const char *path, const bytes &data)
{
	FILE *f = fopen(path, "wb");
	int rc = 0;

	if (f == NULL)
		return -1;
	if (fwrite(data.data(), 1, data.size(), f) != data.size())
		rc = -1;
	if (fclose(f) != 0)
		rc = -1;
	return rc;
}

static unsigned char *
at(bytes &b, size_t off)
{
	return (unsigned char *)&b[off];
}

/* The bins blocks (offsets from the first bin) in which AFTER differs
 * from BEFORE, or which BEFORE does not have. */
static std::vector<size_t>
changed_blocks(const bytes &before, const bytes &after)
{
	std::vector<size_t> out;
	size_t end = BLOCK + get32((const unsigned char *)after.data() + 40);

	for (size_t off = BLOCK; off < end; off += BLOCK) {
		if (off + BLOCK > before.size() ||
		    before.compare(off, BLOCK, after, off, BLOCK) != 0)
			out.push_back(off - BLOCK);
	}
	return out;
}

/* The first sector of a log: the base block of BEFORE as a log's, of
 * TYPE, sequence number SEQ, bins size BINS. */
static bytes
log_base(const bytes &before, unsigned long type, unsigned long seq,
    unsigned long bins)
{
	bytes b = before.substr(0, SECTOR);

	put32(at(b, 4), seq);
	put32(at(b, 8), seq);
	put32(at(b, 28), type);
	put32(at(b, 40), bins);
	put32(at(b, 508), header_checksum(at(b, 0)));
	return b;
}

/* A new log's entry of sequence number SEQ holding the block OFF of
 * AFTER. */
static bytes
log_entry(const bytes &after, size_t off, unsigned long seq)
{
	bytes e(SECTOR * ((40 + 8 + BLOCK + SECTOR - 1) / SECTOR), '\0');
	const unsigned char *a = (const unsigned char *)after.data();

	memcpy(at(e, 0), "HvLE", 4);
	put32(at(e, 4), (unsigned long)e.size());
	put32(at(e, 8), get32(a + 0x90) & 1);
	put32(at(e, 12), seq);
	put32(at(e, 16), get32(a + 40));
	put32(at(e, 20), 1);
	put32(at(e, 40), (unsigned long)off);
	put32(at(e, 44), BLOCK);
	memcpy(at(e, 48), a + BLOCK + off, BLOCK);
	uint64_t h1 = marvin32(at(e, 40), e.size() - 40, 0xc5554e7a884def82ull);
	put32(at(e, 24), (unsigned long)h1);
	put32(at(e, 28), (unsigned long)(h1 >> 32));
	uint64_t h2 = marvin32(at(e, 0), 32, 0xc5554e7a884def82ull);
	put32(at(e, 32), (unsigned long)h2);
	put32(at(e, 36), (unsigned long)(h2 >> 32));
	return e;
}

/* The old log: the dirty vector, a bit per sector, whole blocks marked,
 * then the sectors. */
static bytes
old_log(const bytes &before, const bytes &after, unsigned long seq)
{
	unsigned long bins = get32((const unsigned char *)after.data() + 40);
	std::vector<size_t> blocks = changed_blocks(before, after);
	bytes log = log_base(before, 1, seq, bins), map(bins / BLOCK, '\0');

	for (size_t off : blocks)
		map[off / BLOCK] = (char)0xff;
	log += "DIRT" + map;
	log.resize((log.size() + SECTOR - 1) / SECTOR * SECTOR, '\0');
	for (size_t off : blocks)
		log += after.substr(BLOCK + off, BLOCK);
	return log;
}

/* Writes the log(s) that bring BEFORE to AFTER, then marks BEFORE dirty
 * the way a hive with unreconciled logs is: its first sequence number
 * one above its second, which the first log entry carries. */
static int
write_logs(bool fresh, const char *before_path, const char *after_path,
    const char *log1, const char *log2)
{
	bytes before, after, logs[2];
	unsigned long seq;
	std::vector<size_t> blocks;
	size_t half;

	if (read_file(before_path, &before) != 0 ||
	    read_file(after_path, &after) != 0)
		return -1;
	if (before.size() < 2 * BLOCK || after.size() < 2 * BLOCK) {
		errno = EINVAL;
		return -1;
	}
	seq = get32(at(before, 8));
	blocks = changed_blocks(before, after);
	half = log2 != NULL ? blocks.size() / 2 : 0;
	if (!fresh) {
		logs[0] = old_log(before, after, seq);
	} else {
		/* The earlier entries in the second log, when there is one. */
		logs[1] = log_base(before, 6, seq, get32(at(before, 40)));
		logs[0] = log_base(before, 6, seq + half, get32(at(before, 40)));
		for (size_t k = 0; k < blocks.size(); k++)
			logs[k < half ? 1 : 0] += log_entry(after, blocks[k],
			    seq + k);
	}
	if (write_file(log1, logs[0]) != 0 ||
	    (log2 != NULL && write_file(log2, logs[1]) != 0))
		return -1;
	put32(at(before, 4), seq + 1);
	put32(at(before, 508), header_checksum(at(before, 0)));
	return write_file(before_path, before);
}

static void
usage(void)
{
	fprintf(stderr, "usage: mkhive OUTFILE\n"
	    "       mkhive --dirty FILE\n"
	    "       mkhive --log new|old BEFORE AFTER LOG [LOG2]\n");
}

int
main(int argc, char **argv)
{
	if ((argc == 6 || argc == 7) && strcmp(argv[1], "--log") == 0 &&
	    (strcmp(argv[2], "new") == 0 || (strcmp(argv[2], "old") == 0 &&
	    argc == 6))) {
		if (write_logs(argv[2][0] == 'n', argv[3], argv[4], argv[5],
		    argc == 7 ? argv[6] : NULL) != 0) {
			perror(argv[5]);
			return 1;
		}
		return 0;
	}
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
