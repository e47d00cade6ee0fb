/*
 * inf.h - the names of the first entries of one section of a Windows INF
 * file.
 *
 * Each call opens the file, reads physical lines from the top until it has
 * its answer, and closes the file: nothing is kept between calls.  A file
 * that begins with a UTF-16 byte order mark (either byte order) reads as
 * its 8-bit twin: each character as one byte, '?' for those above 255.
 */
#ifndef VKM_INF_H
#define VKM_INF_H

#define INF_LINE_BUF 640
#define INF_NAME_BUF 260

/* Reads entries 0 to COUNT - 1 of the first section [SECTION] of the INF
 * file PATH in one pass, each name into NAMES[i] (cut to fit), "" for an
 * entry that is missing or has no name (a line of delimiters alone: it
 * still takes its number, so the entries after it keep theirs).  A name is
 * never empty.  1: at least one entry has a name; 0: none has (NAMES all
 * ""); -1: the file cannot be opened.  With an empty SECTION, NULL NAMES
 * or COUNT < 1 the answer is 0, the file is not opened and NAMES is not
 * written; so too on -1. */
int read_inf_entries(const char *path, const char *section,
    char (*names)[INF_NAME_BUF], int count);

/* Cuts the next token out of STR (or, when STR is NULL, out of what *CURSOR
 * points at), the bytes of DELIMS separating tokens.  Writes a NUL after
 * the token and moves *CURSOR past it.  Returns the token or NULL. */
char *next_token(char *str, const char *delims, char **cursor);

#endif
