/*
 * ascii.h - the one name comparison of the program: ASCII letters A to Z
 * equal a to z, every other byte must be the same byte.  The locale is
 * never consulted, so no code page folds anything else.
 */
#ifndef VKM_ASCII_H
#define VKM_ASCII_H

#include <string.h>

static inline unsigned char
ascii_lower(unsigned char c)
{
	return c >= 'A' && c <= 'Z' ? (unsigned char)(c - 'A' + 'a') : c;
}

/* 1 when TEXT begins with NAME over NAME's whole length, else 0.  A TEXT
 * that ends before NAME does never matches; an empty NAME always does. */
static inline int
ascii_starts_with(const char *text, const char *name)
{
	for (; *name != '\0'; text++, name++) {
		if (ascii_lower((unsigned char)*text) !=
		    ascii_lower((unsigned char)*name))
			return 0;
	}
	return 1;
}

/* 1 when A and B are the same text, ASCII letters folded, else 0. */
static inline int
ascii_equal(const char *a, const char *b)
{
	return ascii_starts_with(a, b) && a[strlen(b)] == '\0';
}

#endif
