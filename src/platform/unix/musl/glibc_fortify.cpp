/*
 * glibc_fortify.cpp - what the static build's libhivex needs of glibc
 * beyond the C library's standard calls.  Debian builds libhivex.a
 * against glibc with _FORTIFY_SOURCE, so its messages (HIVEX_DEBUG, or
 * a hive it refuses) go through glibc's checked fprintf, which musl
 * does not have.  Every other call it makes is one musl has, with the
 * same x86_64 layout.
 */
#include <stdarg.h>
#include <stdio.h>

/* glibc's checked fprintf: FLAG asks for checks of the format that
 * libhivex, whose formats are all literals, never needs.  The number of
 * bytes written, or a negative number on a failed write. */
extern "C" int
__fprintf_chk(FILE *f, int flag, const char *format, ...)
{
	va_list ap;
	int n;

	(void)flag;
	va_start(ap, format);
	n = vfprintf(f, format, ap);
	va_end(ap);
	return n;
}
