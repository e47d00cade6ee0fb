/*
 * keyseq.cpp - decoding xterm, VT and Linux console key sequences.
 *
 * Sequences understood: ESC O P..S, ESC O A..D/H/F (with an optional
 * modifier digit, as older xterms send), ESC [ A..D/H/F/P..S (optionally
 * "1;m"), ESC [ n ~ (optionally "n;m"), rxvt's ESC [ n ^ / $ / @, ESC [ Z,
 * and the Linux console's ESC [ [ A..E.  Everything else that starts with
 * Escape is read to its end and dropped, so no byte of it ever reaches the
 * program as if typed.
 *
 * A terminal also talks on its own: it answers queries with CSI replies
 * (cursor position ESC [ 12 ; 5 R, device attributes ESC [ ? 1 ; 2 c) and
 * with control strings (OSC ESC ], DCS ESC P, SOS ESC X, PM ESC ^, APC
 * ESC _, or their 8-bit forms) that run to a terminator: ST (ESC \ or
 * 0x9C) and, for OSC, also BEL.  A colour reply such as
 * ESC ] 4 ; 1 ; rgb:aaaa/aaaa/aaaa BEL holds letters that are answers, so
 * every string is swallowed whole.  A string that never ends is dropped
 * once the terminal has been quiet for the wait (keyseq_wait_ms); it has
 * no length limit, since cutting a long reply (a clipboard reply runs to
 * kilobytes) would hand its tail to the program as typed keys, and keys
 * typed by a person come too far apart to keep a string open.
 */
#include "platform/unix/keyseq.h"

#include <stddef.h>

#include "common/keycodes.h"

#define ESC 27
#define PARAM_MAX 9999

enum {
	AT_REST,
	AFTER_ESC,	/* ESC */
	IN_CSI,		/* ESC [ */
	IN_SS3,		/* ESC O */
	IN_LINUX_F,	/* ESC [ [ */
	IN_ALT_UTF8,	/* ESC, then a UTF-8 lead byte */
	IN_OSC,		/* ESC ]: ends with ST or BEL */
	IN_STRING,	/* ESC P, X, ^ or _: ends with ST */
	IN_STRING_ESC,	/* ESC inside a string: ST if a backslash follows */
};

#define BEL 7
#define ST8 0x9C	/* ST in its 8-bit form */

static int feed_after_esc(struct keyseq *ks, int byte, int codes[2]);

/* Keys beyond the shared table: Shift+Tab, which a terminal sends as a
 * sequence of its own and the run-time reads as 0, 15; and none. */
#define KEY_BACKTAB KEY_COUNT
#define KEY_NONE (-1)
#define BACKTAB_CODE 15

/* The key of a final letter shared by CSI and SS3, or KEY_NONE. */
static int
letter_key(int final)
{
	switch (final) {
	case 'A':
		return KEY_UP;
	case 'B':
		return KEY_DOWN;
	case 'C':
		return KEY_RIGHT;
	case 'D':
		return KEY_LEFT;
	case 'H':
		return KEY_HOME;
	case 'F':
		return KEY_END;
	case 'P':
		return KEY_F1;
	case 'Q':
		return KEY_F2;
	case 'R':
		return KEY_F3;
	case 'S':
		return KEY_F4;
	}
	return KEY_NONE;
}

/* The key of the number N in ESC [ N ~, or KEY_NONE. */
static int
tilde_key(int n)
{
	static const signed char keys[] = {
		KEY_NONE, KEY_HOME, KEY_INS, KEY_DEL, KEY_END, KEY_PGUP,
		KEY_PGDN, KEY_HOME, KEY_END, KEY_NONE, KEY_NONE,
		KEY_F1, KEY_F2, KEY_F3, KEY_F4, KEY_F5, KEY_NONE,
		KEY_F6, KEY_F7, KEY_F8, KEY_F9, KEY_F10, KEY_NONE,
		KEY_F11, KEY_F12,
	};

	if (n < 0 || (size_t)n >= sizeof(keys))
		return KEY_NONE;
	return keys[n];
}

/* The column of xterm's modifier parameter M (1 + Shift 1, Alt 2,
 * Ctrl 4; -1 when absent), or -1 when M is none we know. */
static int
modifier_column(int m)
{
	if (m == -1)
		m = 1;
	if (m < 1 || m > 8)
		return -1;
	m -= 1;
	if (m & 2)
		return MOD_ALT;
	if (m & 4)
		return MOD_CTRL;
	if (m & 1)
		return MOD_SHIFT;
	return MOD_PLAIN;
}

/* Writes the codes of KEY under modifier column COL.
 * 2: CODES set; 0: no such key (the sequence is dropped). */
static int
emit(int key, int col, int codes[2])
{
	if (key == KEY_NONE || col < 0)
		return 0;
	if (key == KEY_BACKTAB) {
		codes[0] = 0;
		codes[1] = BACKTAB_CODE;
		return 2;
	}
	codes[0] = key_first_code(key, col);
	codes[1] = g_key_second_codes[key][col];
	return 2;
}

/* The key and modifier of a CSI sequence that ended in FINAL. */
static int
finish_csi(const struct keyseq *ks, int final, int codes[2])
{
	int p0 = ks->params[0], p1 = ks->params[1];

	switch (final) {
	case '~':
		return emit(tilde_key(p0), modifier_column(p1), codes);
	case '^':
		return p1 == -1 ? emit(tilde_key(p0), MOD_CTRL, codes) : 0;
	case '$':
		return p1 == -1 ? emit(tilde_key(p0), MOD_SHIFT, codes) : 0;
	case '@':
		return p1 == -1 ? emit(tilde_key(p0), MOD_CTRL, codes) : 0;
	case 'Z':
		return p0 == -1 && p1 == -1 ?
		    emit(KEY_BACKTAB, MOD_PLAIN, codes) : 0;
	case 'a':
		return p0 == -1 && p1 == -1 ?
		    emit(KEY_UP, MOD_SHIFT, codes) : 0;
	case 'b':
		return p0 == -1 && p1 == -1 ?
		    emit(KEY_DOWN, MOD_SHIFT, codes) : 0;
	case 'c':
		return p0 == -1 && p1 == -1 ?
		    emit(KEY_RIGHT, MOD_SHIFT, codes) : 0;
	case 'd':
		return p0 == -1 && p1 == -1 ?
		    emit(KEY_LEFT, MOD_SHIFT, codes) : 0;
	}
	/* ESC [ 1 ; m X: the 1 may be left out only when no modifier
	 * follows. */
	if (p0 != -1 && p0 != 1)
		return 0;
	return emit(letter_key(final), modifier_column(p1), codes);
}

/* The key and modifier of an SS3 sequence that ended in FINAL: the
 * modifier, when sent, is the only or the second number. */
static int
finish_ss3(const struct keyseq *ks, int final, int codes[2])
{
	int p0 = ks->params[0], p1 = ks->params[1];
	int m = p0;

	if (final >= 'a' && final <= 'd') {
		if (p0 != -1 || p1 != -1)
			return 0;
		return emit(final == 'a' ? KEY_UP : final == 'b' ? KEY_DOWN :
		    final == 'c' ? KEY_RIGHT : KEY_LEFT, MOD_CTRL, codes);
	}
	if (ks->param == 1) {
		if (p0 != -1 && p0 != 1)
			return 0;
		m = p1;
	}
	return emit(letter_key(final), modifier_column(m), codes);
}

static void
start_params(struct keyseq *ks, int state)
{
	ks->state = state;
	ks->params[0] = ks->params[1] = -1;
	ks->param = 0;
	ks->bad = 0;
}

/* Takes a parameter byte (0x30..0x3F) into the numbers. */
static void
take_param(struct keyseq *ks, int byte)
{
	int *p;

	if (byte == ';') {
		if (ks->param == 1)
			ks->bad = 1;
		else
			ks->param = 1;
		return;
	}
	if (byte < '0' || byte > '9') {
		ks->bad = 1;	/* private markers: replies, not keys */
		return;
	}
	p = &ks->params[ks->param];
	if (*p == -1)
		*p = 0;
	if (*p > PARAM_MAX / 10)
		ks->bad = 1;
	else
		*p = *p * 10 + (byte - '0');
}

/* The number of continuation bytes that follow the UTF-8 lead BYTE, or 0
 * when BYTE leads none. */
static int
utf8_follow(int byte)
{
	if (byte >= 0xC2 && byte <= 0xDF)
		return 1;
	if (byte >= 0xE0 && byte <= 0xEF)
		return 2;
	if (byte >= 0xF0 && byte <= 0xF4)
		return 3;
	return 0;
}

/* Tracks the UTF-8 character that BYTE belongs to.  1: BYTE is a C1
 * control (0x80..0x9F), alone or as the second byte of C2 80..C2 9F;
 * 0: BYTE is anything else. */
static int
track_utf8(struct keyseq *ks, int byte)
{
	if (byte >= 0x80 && byte <= 0xBF && ks->left > 0) {
		ks->left--;
		if (ks->lead == 0xC2 && byte <= 0x9F) {
			ks->left = 0;
			return 1;
		}
		return 0;
	}
	ks->left = utf8_follow(byte);
	ks->lead = byte;
	return byte >= 0x80 && byte <= 0x9F;
}

/* A C1 control at rest: the 8-bit form of ESC and a byte.  Those that
 * open a sequence or a string start it; the rest are no key. */
static int
feed_c1(struct keyseq *ks, int byte)
{
	switch (byte) {
	case 0x9B:	/* CSI */
		start_params(ks, IN_CSI);
		return -1;
	case 0x8F:	/* SS3 */
		start_params(ks, IN_SS3);
		return -1;
	case 0x9D:	/* OSC */
		ks->state = IN_OSC;
		return -1;
	case 0x90:	/* DCS */
	case 0x98:	/* SOS */
	case 0x9E:	/* PM */
	case 0x9F:	/* APC */
		ks->state = IN_STRING;
		return -1;
	}
	return 0;
}

static int
feed_at_rest(struct keyseq *ks, int byte, int codes[2])
{
	if (byte == KEYSEQ_NONE)
		return 0;
	if (track_utf8(ks, byte))
		return feed_c1(ks, byte);
	if (byte == ESC) {
		ks->state = AFTER_ESC;
		return -1;
	}
	if (byte == 0) {
		/* Ctrl+@ (Ctrl+2): a bare 0 would read as a prefix. */
		codes[0] = 0;
		codes[1] = 3;
		return 2;
	}
	codes[0] = byte;
	return 1;
}

/* Inside a control string: everything up to the terminator goes.  The
 * UTF-8 characters of the string are followed, so that the 9C inside a
 * character such as C4 9C is not taken for ST. */
static int
feed_string(struct keyseq *ks, int byte)
{
	int c1;

	if (byte == KEYSEQ_NONE) {
		ks->state = AT_REST;	/* quiet: the string never ends */
		ks->left = 0;
		return 0;
	}
	c1 = track_utf8(ks, byte);
	if (byte == ESC) {
		ks->state = IN_STRING_ESC;
		return -1;
	}
	if ((c1 && byte == ST8) || (byte == BEL && ks->state == IN_OSC)) {
		ks->state = AT_REST;
		return 0;
	}
	return -1;
}

/* ESC inside a string: ESC \ ends it; any other byte ends it too and
 * begins a new sequence with that ESC, as terminals read it. */
static int
feed_string_esc(struct keyseq *ks, int byte, int codes[2])
{
	if (byte == KEYSEQ_NONE || byte == '\\') {
		ks->state = AT_REST;
		return 0;
	}
	if (byte == ESC)
		return -1;	/* still the string's: a lone Escape is not */
	ks->state = AFTER_ESC;
	return feed_after_esc(ks, byte, codes);
}

static int
feed_after_esc(struct keyseq *ks, int byte, int codes[2])
{
	if (byte == KEYSEQ_NONE || byte == ESC) {
		/* Escape alone; a second one may start a sequence. */
		ks->state = byte == ESC ? AFTER_ESC : AT_REST;
		codes[0] = ESC;
		return 1;
	}
	if (byte == ']') {
		ks->state = IN_OSC;
		return -1;
	}
	if (byte == 'P' || byte == 'X' || byte == '^' || byte == '_') {
		ks->state = IN_STRING;
		return -1;
	}
	if (byte == '[') {
		start_params(ks, IN_CSI);
		return -1;
	}
	if (byte == 'O') {
		start_params(ks, IN_SS3);
		return -1;
	}
	/* Alt with a key: the terminal sends ESC and the key's bytes, all
	 * of which go. */
	ks->left = utf8_follow(byte);
	ks->state = ks->left > 0 ? IN_ALT_UTF8 : AT_REST;
	return ks->left > 0 ? -1 : 0;
}

/* CSI and SS3: numbers, then a final byte.  A byte that cannot be part
 * of the sequence ends it unfinished and is then read on its own. */
static int
feed_params(struct keyseq *ks, int byte, int codes[2])
{
	int ss3 = ks->state == IN_SS3;

	if (byte == KEYSEQ_NONE) {
		ks->state = AT_REST;
		return 0;
	}
	if (!ss3 && byte == '[' && ks->params[0] == -1 && ks->param == 0 &&
	    !ks->bad) {
		ks->state = IN_LINUX_F;
		return -1;
	}
	/* rxvt ends Shift+key sequences (one number) with '$', elsewhere
	 * an intermediate byte: the mode reply ESC [ 4 ; 1 $ y goes on to
	 * its 'y'. */
	if ((byte >= 0x40 && byte <= 0x7E) || (!ss3 && byte == '$' &&
	    ks->param == 0 && !ks->bad)) {
		ks->state = AT_REST;
		if (ks->bad)
			return 0;
		return ss3 ? finish_ss3(ks, byte, codes) :
		    finish_csi(ks, byte, codes);
	}
	if (byte >= 0x30 && byte <= 0x3F) {
		take_param(ks, byte);
		return -1;
	}
	if (byte >= 0x20 && byte <= 0x2F) {
		ks->bad = 1;
		return -1;
	}
	ks->state = AT_REST;
	return feed_at_rest(ks, byte, codes);
}

static int
feed_linux_f(struct keyseq *ks, int byte, int codes[2])
{
	ks->state = AT_REST;
	if (byte == KEYSEQ_NONE)
		return 0;
	if (byte >= 'A' && byte <= 'E')
		return emit(KEY_F1 + (byte - 'A'), MOD_PLAIN, codes);
	if (byte >= 0x40 && byte <= 0x7E)
		return 0;
	return feed_at_rest(ks, byte, codes);
}

static int
feed_alt_utf8(struct keyseq *ks, int byte, int codes[2])
{
	if (byte >= 0x80 && byte <= 0xBF) {
		if (--ks->left > 0)
			return -1;
		ks->state = AT_REST;
		return 0;
	}
	ks->state = AT_REST;
	ks->left = 0;
	return feed_at_rest(ks, byte, codes);
}

void
keyseq_init(struct keyseq *ks)
{
	ks->state = AT_REST;
	ks->params[0] = ks->params[1] = -1;
	ks->param = 0;
	ks->bad = 0;
	ks->left = 0;
	ks->lead = 0;
}

int
keyseq_pending(const struct keyseq *ks)
{
	return ks->state != AT_REST;
}

int
keyseq_wait_ms(const struct keyseq *ks)
{
	switch (ks->state) {
	case AT_REST:
		return -1;
	case IN_CSI:
	case IN_OSC:
	case IN_STRING:
	case IN_STRING_ESC:
		return KEYSEQ_REPLY_WAIT_MS;
	}
	return KEYSEQ_WAIT_MS;
}

int
keyseq_feed(struct keyseq *ks, int byte, int codes[2])
{
	if (byte != KEYSEQ_NONE && (byte < 0 || byte > 255))
		return 0;
	switch (ks->state) {
	case AFTER_ESC:
		return feed_after_esc(ks, byte, codes);
	case IN_CSI:
	case IN_SS3:
		return feed_params(ks, byte, codes);
	case IN_LINUX_F:
		return feed_linux_f(ks, byte, codes);
	case IN_ALT_UTF8:
		return feed_alt_utf8(ks, byte, codes);
	case IN_OSC:
	case IN_STRING:
		return feed_string(ks, byte);
	case IN_STRING_ESC:
		return feed_string_esc(ks, byte, codes);
	}
	return feed_at_rest(ks, byte, codes);
}
