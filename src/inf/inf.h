/*
 * inf.h - the name of one entry of one section of a Windows INF file.
 *
 * Each call opens the file, reads physical lines from the top until it has
 * its answer, and closes the file: nothing is kept between calls.
 */
#ifndef VKM_INF_H
#define VKM_INF_H

#define INF_LINE_BUF 640
#define INF_NAME_BUF 260

/* Copies the name of entry ENTRY (0 first) of the first section [SECTION]
 * of the INF file PATH into NAME (INF_NAME_BUF bytes; a longer name is cut
 * to fit).  1: found; 0: no such section or entry, empty SECTION or NULL
 * NAME (the file is then not opened); -1: the file cannot be opened. */
int read_inf_entry(const char *path, const char *section, int entry,
    char *name);

/* Cuts the next token out of STR (or, when STR is NULL, out of what *CURSOR
 * points at), the bytes of DELIMS separating tokens.  Writes a NUL after
 * the token and moves *CURSOR past it.  Returns the token or NULL. */
char *next_token(char *str, const char *delims, char **cursor);

#endif
