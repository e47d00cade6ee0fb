/*
 * print.cpp - plat_printf of the real consoles: the program's formatter,
 * written to standard output and flushed at once, so that a question
 * without a line end is seen before its key is awaited.  Each system's
 * console says how its text is encoded (g_console_text_flags).
 */
#include <stdarg.h>
#include <stdio.h>

#include "common/out_format.h"
#include "platform/platform.h"

static void
write_stdout(const char *text, size_t len)
{
	fwrite(text, 1, len, stdout);
}

void
plat_printf(const char *fmt, ...)
{
	va_list ap;

	va_start(ap, fmt);
	(void)out_vformat(g_console_text_flags, write_stdout, fmt, ap);
	va_end(ap);
	fflush(stdout);
}
