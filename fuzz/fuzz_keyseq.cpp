/*
 * fuzz_keyseq.cpp - the terminal key decoder, fed any byte stream.
 *
 * The input is what the terminal sends, one byte at a time; two 0xFF
 * bytes in a row stand for the wait running out (KEYSEQ_NONE), a lone
 * 0xFF is the byte itself.  The stream always ends with a timeout.
 * Counts and codes must be what keyseq.h promises, a sequence must
 * always end when the wait runs out, a byte at rest must come through
 * as itself, and Escape followed by the timeout must read as Escape.
 */
#include <stdint.h>
#include <stddef.h>

#include "platform/unix/keyseq.h"

#include "fuzz_util.h"

#define ESC 27
#define UNSET (-7)

/* Feeds BYTE; PREV is the byte fed before it (KEYSEQ_NONE at first). */
static void
feed_checked(struct keyseq *ks, int byte, int prev)
{
	int codes[2] = { UNSET, UNSET };
	int at_rest = !keyseq_pending(ks), n;

	n = keyseq_feed(ks, byte, codes);
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
		if (prev == ESC)
			CHECK(n == 1 && codes[0] == ESC);
	} else if (at_rest && byte != ESC && byte != 0) {
		CHECK(n == 1 && codes[0] == byte);
	}
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	struct keyseq ks;
	int byte, prev = KEYSEQ_NONE;

	keyseq_init(&ks);
	CHECK(!keyseq_pending(&ks));
	for (size_t i = 0; i < size; i++) {
		byte = data[i];
		if (byte == 0xff && i + 1 < size && data[i + 1] == 0xff) {
			byte = KEYSEQ_NONE;
			i++;
		}
		feed_checked(&ks, byte, prev);
		prev = byte;
	}
	feed_checked(&ks, KEYSEQ_NONE, prev);
	return 0;
}
