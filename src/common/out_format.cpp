/*
 * out_format.cpp - %s, %d and %% into a fixed buffer, data filtered.
 */
#include "common/out_format.h"

#include <stdio.h>

#define PIECE_SIZE 512

struct out_buf {
	char text[PIECE_SIZE];
	size_t len;
	out_write_fn write;
};

static void
flush(struct out_buf *b)
{
	if (b->len > 0)
		b->write(b->text, b->len);
	b->len = 0;
}

static void
put(struct out_buf *b, char c)
{
	if (b->len == sizeof(b->text))
		flush(b);
	b->text[b->len++] = c;
}

/* Length (2..4) of the valid UTF-8 sequence at S, whose first byte is
 * 0x80 or above; 0 when none begins there.  Overlong forms, surrogates
 * and code points past U+10FFFF are not valid.  Stops at the NUL. */
static int
utf8_length(const unsigned char *s)
{
	unsigned char lo = 0x80, hi = 0xBF;
	int n;

	if (s[0] >= 0xC2 && s[0] <= 0xDF)
		n = 2;
	else if (s[0] >= 0xE0 && s[0] <= 0xEF)
		n = 3;
	else if (s[0] >= 0xF0 && s[0] <= 0xF4)
		n = 4;
	else
		return 0;
	if (s[0] == 0xE0)
		lo = 0xA0;
	else if (s[0] == 0xED)
		hi = 0x9F;
	else if (s[0] == 0xF0)
		lo = 0x90;
	else if (s[0] == 0xF4)
		hi = 0x8F;
	if (s[1] < lo || s[1] > hi)
		return 0;
	for (int i = 2; i < n; i++) {
		if (s[i] < 0x80 || s[i] > 0xBF)
			return 0;
	}
	return n;
}

/* Puts TEXT with every control character as one '?'. */
static void
put_data(struct out_buf *b, int flags, const char *text)
{
	const unsigned char *s = (const unsigned char *)text;
	int n;

	while (*s != '\0') {
		if (*s < 0x20 || *s == 0x7F) {
			put(b, '?');
			s++;
		} else if (*s < 0x80 || !(flags & OUT_UTF8)) {
			put(b, (char)*s++);
		} else if ((n = utf8_length(s)) == 0) {
			/* A stray byte: some terminals take 0x9B alone as CSI. */
			put(b, '?');
			s++;
		} else if (s[0] == 0xC2 && s[1] <= 0x9F) {
			put(b, '?');	/* a C1 control, U+0080..U+009F */
			s += n;
		} else {
			for (; n > 0; n--)
				put(b, (char)*s++);
		}
	}
}

static void
put_text(struct out_buf *b, const char *text)
{
	while (*text != '\0')
		put(b, *text++);
}

int
out_vformat(int flags, out_write_fn write, const char *fmt, va_list ap)
{
	struct out_buf b;
	char number[16];
	int r = 1;

	b.len = 0;
	b.write = write;
	for (; *fmt != '\0'; fmt++) {
		if (*fmt != '%') {
			put(&b, *fmt);
			continue;
		}
		if (fmt[1] == 's') {
			const char *s = va_arg(ap, const char *);
			put_data(&b, flags, s != NULL ? s : "(null)");
		} else if (fmt[1] == 'd') {
			snprintf(number, sizeof(number), "%d", va_arg(ap, int));
			put_text(&b, number);
		} else if (fmt[1] == '%') {
			put(&b, '%');
		} else {
			/* Unknown: taking an argument of a guessed type could
			 * crash, so show the rest as it stands. */
			put_text(&b, fmt);
			r = -1;
			break;
		}
		fmt++;
	}
	flush(&b);
	return r;
}
