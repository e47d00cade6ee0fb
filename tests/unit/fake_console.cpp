#include "fake_console.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

#include "common/out_format.h"
#include "platform/platform.h"

static std::string output;
static std::vector<int> script;
static size_t next_key;
static int reads;

void
fake_console_reset(const std::vector<int> &keys)
{
	output.clear();
	script = keys;
	next_key = 0;
	reads = 0;
}

const std::string &
fake_console_output(void)
{
	return output;
}

int
fake_console_reads(void)
{
	return reads;
}

static void
capture(const char *text, size_t len)
{
	output.append(text, len);
}

/* As the Linux console: UTF-8 text. */
void
plat_printf(const char *fmt, ...)
{
	va_list ap;

	va_start(ap, fmt);
	(void)out_vformat(OUT_UTF8, capture, fmt, ap);
	va_end(ap);
}

int
plat_read_key(void)
{
	reads++;
	/* A runaway prompt would spin here for ever: fail loudly instead. */
	if (reads > 10000)
		abort();
	return next_key < script.size() ? script[next_key++] : -1;
}

static int elevated = 1;

void
fake_console_set_elevated(int answer)
{
	elevated = answer;
}

int
plat_elevated(void)
{
	return elevated;
}
