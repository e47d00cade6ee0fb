/*
 * fuzz_keyseq.cpp - the terminal key decoder, fed any byte stream.
 *
 * The input is what the terminal sends, one byte at a time; two 0xFF
 * bytes in a row stand for the wait running out (KEYSEQ_NONE), a lone
 * 0xFF is the byte itself.  The stream always ends with a timeout.
 * Counts and codes must be what keyseq.h promises, a sequence must
 * always end when the wait runs out, the wait must match the state, an
 * ASCII byte at rest must come through as itself (a byte from 0x80 on:
 * itself, or taken as a C1 control), and Escape at rest followed by the
 * timeout must read as Escape.
 */
#include <stdint.h>
#include <stddef.h>

#include "platform/unix/keyseq.h"

#include "fuzz_util.h"

#define ESC 27
#define UNSET (-7)

/* The wait agrees with the state: none at rest, one of the two inside. */
static void
check_wait(const struct keyseq *ks)
{
	int wait = keyseq_wait_ms(ks);

	if (keyseq_pending(ks))
		CHECK(wait == KEYSEQ_WAIT_MS || wait == KEYSEQ_REPLY_WAIT_MS);
	else
		CHECK(wait == -1);
}

/* Feeds BYTE; ESC_AT_REST says the byte before it was an Escape fed at
 * rest.  Returns whether BYTE is such an Escape. */
static int
feed_checked(struct keyseq *ks, int byte, int esc_at_rest)
{
	int codes[2] = { UNSET, UNSET };
	int at_rest = !keyseq_pending(ks), n;

	n = keyseq_feed(ks, byte, codes);
	check_wait(ks);
	switch (n) {
	case -1:
		CHECK(byte != KEYSEQ_NONE && keyseq_pending(ks));
		break;
	case 0:
		break;
	case 1:
		CHECK(codes[0] >= 0 && codes[0] <= 255);
		break;
	case 2:
		CHECK(codes[0] == 0 || codes[0] == 224);
		CHECK(codes[1] >= 0 && codes[1] <= 255);
		break;
	default:
		CHECK(0);
	}
	if (byte == KEYSEQ_NONE) {
		CHECK(!keyseq_pending(ks));
		if (at_rest)
			CHECK(n == 0);
		if (esc_at_rest)
			CHECK(n == 1 && codes[0] == ESC);
	} else if (at_rest && byte >= 0x80) {
		CHECK((n == 1 && codes[0] == byte) ||
		    (byte <= 0x9F && n <= 0));
	} else if (at_rest && byte != ESC && byte != 0) {
		CHECK(n == 1 && codes[0] == byte);
	}
	return at_rest && byte == ESC;
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	struct keyseq ks;
	int byte, esc_at_rest = 0;

	keyseq_init(&ks);
	CHECK(!keyseq_pending(&ks));
	for (size_t i = 0; i < size; i++) {
		byte = data[i];
		if (byte == 0xff && i + 1 < size && data[i + 1] == 0xff) {
			byte = KEYSEQ_NONE;
			i++;
		}
		esc_at_rest = feed_checked(&ks, byte, esc_at_rest);
	}
	feed_checked(&ks, KEYSEQ_NONE, esc_at_rest);
	return 0;
}
