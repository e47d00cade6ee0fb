/*
 * quiet_console.cpp - the console of the fuzz targets: output is composed
 * through the program's own formatter, so the filter is exercised too,
 * and then dropped; no key can be read.
 */
#include <stdarg.h>

#include "common/out_format.h"
#include "platform/platform.h"

static void
drop(const char *text, size_t len)
{
	(void)text;
	(void)len;
}

void
plat_printf(const char *fmt, ...)
{
	va_list ap;

	va_start(ap, fmt);
	(void)out_vformat(OUT_UTF8, drop, fmt, ap);
	va_end(ap);
}

int
plat_read_key(void)
{
	return -1;
}
