#include "fake_console.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

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

void
plat_printf(const char *fmt, ...)
{
	char buf[4096];
	va_list ap;

	va_start(ap, fmt);
	int n = vsnprintf(buf, sizeof(buf), fmt, ap);
	va_end(ap);
	if (n > 0)
		output.append(buf, (size_t)n < sizeof(buf) ? (size_t)n : sizeof(buf) - 1);
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
