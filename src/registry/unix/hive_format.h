/*
 * hive_format.h - where things are in a hive file, in bytes: the header
 * (regf), the bins (hbin) and the cells inside them (nk keys, lf/lh/li/ri
 * subkey lists, vk values, sk security, db big data).  Only the checks
 * that read the file themselves need these; everything else asks
 * libhivex.  All numbers in the file are little-endian.
 */
#ifndef VKM_HIVE_FORMAT_H
#define VKM_HIVE_FORMAT_H

#include <stddef.h>

/* The header. */
#define REGF_MAGIC "regf"
#define REGF_SEQ1 0x04		/* sequence number bumped before a write */
#define REGF_SEQ2 0x08		/* and this one after it: equal when clean */
#define REGF_SEQ_END 0x0c	/* what a look at the sequence numbers reads */
#define REGF_BINS_SIZE 0x28	/* bytes of bins after the header */

/* Bins. */
#define BINS_START 0x1000	/* the first bin; cell pointers count from it */
#define HBIN_MAGIC "hbin"
#define BIN_SIZE 0x08		/* bin header: the bin's size */
#define BIN_HEADER 0x20		/* first cell of a bin */
#define BIN_ALIGN 0x1000

/* Every cell: its size (negative while the cell is used), then two
 * letters naming what it is, but for data and value lists. */
#define CELL_SIZE_BYTES 4
#define CELL_ALIGN 8
#define CELL_ID 0x04
#define CELL_NONE 0xffffffffu	/* a pointer to no cell */

/* nk: a key. */
#define NK_PARENT 0x14
#define NK_SUBKEYS 0x18
#define NK_SUBKEY_LIST 0x20
#define NK_VALUES 0x28
#define NK_VALUE_LIST 0x2c
#define NK_SECURITY 0x30
#define NK_CLASS 0x34
#define NK_SIZE 0x50		/* up to the name */

/* sk: a security descriptor, in a ring of them. */
#define SK_FLINK 0x08
#define SK_BLINK 0x0c
#define SK_SIZE 0x10		/* what the ring's links need after the size */
#define SK_HEADER 0x18		/* up to the descriptor */

/* lf, lh, li, ri: subkey lists. */
#define LIST_COUNT 0x06		/* number of items */
#define LIST_ITEMS 0x08
#define LF_ITEM 8		/* lf, lh: pointer and hash */
#define LI_ITEM 4		/* li: pointer */
#define RI_ITEM 4		/* ri: pointer to a list */

/* A value list, and a db's list of segments: pointers after the size. */
#define VALUE_LIST_ITEMS 0x04
#define SEGMENT_LIST_ITEMS 0x04
#define POINTER_BYTES 4

/* vk: a value. */
#define VK_DATA_LEN 0x08
#define VK_DATA 0x0c
#define VK_SIZE 0x18		/* up to the name */
#define VK_DATA_INLINE 0x80000000u	/* in VK_DATA_LEN: data in VK_DATA */

/* db: big data in segments. */
#define DB_SEGMENTS 0x06
#define DB_LIST 0x08
#define DB_SIZE 0x0c

static inline unsigned
le16(const unsigned char *p)
{
	return p[0] | (unsigned)p[1] << 8;
}

static inline unsigned long
le32(const unsigned char *p)
{
	return p[0] | (unsigned long)p[1] << 8 | (unsigned long)p[2] << 16 |
	    (unsigned long)p[3] << 24;
}

#endif
