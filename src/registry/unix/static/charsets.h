/*
 * charsets.h - the character-set conversions libhivex asks iconv for,
 * carried by the static file itself.  glibc's static iconv loads its
 * conversion modules and their list from /usr/lib at run time; a rescue
 * system may have other ones or none, and without them no key or value
 * name can be read.  libhivex decodes names stored as Latin-1 or as
 * UTF-16LE to UTF-8: those two conversions are here, each behaving as
 * glibc's iconv does, error for error (the unit tests run them side by
 * side).  The other direction, which only creating keys and values
 * needs, is not.
 */
#ifndef VKM_CHARSETS_H
#define VKM_CHARSETS_H

#include <stddef.h>

#define CHARSET_NONE		0
#define CHARSET_LATIN1_TO_UTF8	1
#define CHARSET_UTF16LE_TO_UTF8	2

/* The conversion from the character set named FROM to the one named TO
 * (iconv's names, any letter case): CHARSET_LATIN1_TO_UTF8 or
 * CHARSET_UTF16LE_TO_UTF8; CHARSET_NONE for any other pair. */
int charset_find(const char *to, const char *from);

/* Converts *INLEFT bytes at *IN into the *OUTLEFT bytes free at *OUT by
 * CONV, as iconv(3) does: the four advance over what was converted.
 * 0 when all the input was converted; else (size_t)-1 with errno E2BIG
 * (the next character does not fit), EILSEQ (*IN is at a unit that
 * begins no character), EINVAL (the input ends inside a character) or
 * EBADF (CONV is no conversion). */
size_t charset_convert(int conv, const char **in, size_t *inleft,
    char **out, size_t *outleft);

#endif
