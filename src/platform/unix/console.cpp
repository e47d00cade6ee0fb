/*
 * console.cpp (Linux) - output to standard output, keys from the
 * controlling terminal.
 *
 * Keys are read from /dev/tty rather than standard input, so that a run
 * with its input redirected still asks the person at the terminal.  The
 * terminal is raw only while a key is awaited: between questions it is
 * left as the shell had it, and a crash of the program in its scans does
 * not leave it without echo.
 */
#include "common/out_format.h"
#include "platform/platform.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <termios.h>
#include <unistd.h>

#include "platform/unix/keyseq.h"
#include "platform/unix/syscalls.h"

static int g_tty = -1;
static int g_second_code = -1;	/* owed from the last two-code key */
static struct keyseq g_keys;	/* may hold a sequence across calls */

/* The text is UTF-8: names from the hives are converted to it. */
const int g_console_text_flags = OUT_UTF8;

/* 1: the terminal is open in g_tty; -1: the process has none. */
static int
open_tty(void)
{
	if (g_tty >= 0)
		return 1;
	g_tty = SC(open)("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC, 0);
	if (g_tty < 0)
		return -1;
	keyseq_init(&g_keys);
	return 1;
}

/* Reads one byte from the terminal, waiting at most WAIT_MS (-1: as long
 * as it takes).  1: *BYTE set; 0: none came in time; -1: read error or
 * end of input, such as a hang-up. */
static int
read_byte(int wait_ms, unsigned char *byte)
{
	struct pollfd pfd;
	ssize_t n;
	int r;

	if (wait_ms >= 0) {
		pfd.fd = g_tty;
		pfd.events = POLLIN;
		pfd.revents = 0;
		do
			r = SC(poll)(&pfd, 1, wait_ms);
		while (r < 0 && errno == EINTR);
		if (r < 0)
			return -1;
		if (r == 0)
			return 0;
	}
	do
		n = SC(read)(g_tty, byte, 1);
	while (n < 0 && errno == EINTR);
	return n == 1 ? 1 : -1;
}

/* Reads until the bytes make a key.  Returns the number of codes in
 * CODES (1 or 2), or -1 when the terminal cannot be read. */
static int
read_codes(int codes[2])
{
	unsigned char byte;
	int got, n;

	for (;;) {
		got = read_byte(keyseq_wait_ms(&g_keys), &byte);
		if (got < 0)
			return -1;
		n = keyseq_feed(&g_keys, got == 1 ? byte : KEYSEQ_NONE, codes);
		if (n > 0)
			return n;
	}
}

/* Every key reaches us as typed: no line editing, no echo, no signal from
 * Ctrl-C, no flow control, Enter as CR. */
static void
make_raw(struct termios *t)
{
	t->c_lflag &= ~(ICANON | ECHO | ISIG | IEXTEN);
	t->c_iflag &= ~(IXON | ICRNL | INLCR | IGNCR | ISTRIP);
	t->c_cc[VMIN] = 1;
	t->c_cc[VTIME] = 0;
}

static int
set_mode(const struct termios *t)
{
	int r;

	do
		r = SC(tcsetattr)(g_tty, TCSANOW, t);
	while (r < 0 && errno == EINTR);
	return r < 0 ? -1 : 1;
}

int
plat_read_key(void)
{
	struct termios saved, raw;
	int codes[2], n;

	if (g_second_code >= 0) {
		n = g_second_code;
		g_second_code = -1;
		return n;
	}
	if (open_tty() < 0)
		return -1;
	if (SC(tcgetattr)(g_tty, &saved) < 0)
		return -1;
	raw = saved;
	make_raw(&raw);
	if (set_mode(&raw) < 0)
		return -1;
	n = read_codes(codes);
	/* Nothing to do if this fails: the key is read either way. */
	(void)set_mode(&saved);
	if (n < 0)
		return -1;
	if (n == 2)
		g_second_code = codes[1];
	return codes[0];
}
