/*
 * hive_names.h - the names and texts of a hive, as pure functions over
 * buffers (no hive, no I/O): key and value names compared, folded and
 * hashed as Windows compares them, and UTF-16LE data turned into the
 * UTF-8 the rest of the program reads.
 */
#ifndef VKM_HIVE_NAMES_H
#define VKM_HIVE_NAMES_H

#include <stddef.h>

/* 1 when A (ALEN bytes) and B (BLEN bytes) are the same name, letters
 * folded as Windows folds key and value names (ASCII and the Latin-1
 * capitals); 0 when not. */
int names_equal(const char *a, size_t alen, const char *b, size_t blen);

/* Writes the folded form of S (LEN bytes) to OUT, LEN bytes again: a
 * character folds to one of its own length.  Two texts are the same
 * name exactly when their folded forms are the same bytes. */
void fold_name(const char *s, size_t len, char *out);

/* A hash of S (LEN bytes) that equal names share. */
unsigned name_hash(const char *s, size_t len);

/* The length of the UTF-8 form of code point C (below 0x200000): 1 to 4
 * bytes, written to OUT unless it is NULL. */
size_t put_utf8(unsigned long c, char *out);

/* Converts N bytes of UTF-16LE at SRC to UTF-8 at DST (NULL: counts
 * only) and returns the UTF-8 length.  Every unit counts, NULs included,
 * so data stored without its NUL comes back without one.  An unpaired
 * surrogate becomes U+FFFD; an odd last byte is half a unit and dropped. */
size_t utf16_to_utf8(const unsigned char *src, size_t n, char *dst);

#endif
