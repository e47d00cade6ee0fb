/*
 * keyseq.h - terminal key sequences as the codes of Windows' single-key
 * read.
 *
 * A terminal sends a function or cursor key as an escape sequence; the
 * program expects what the Windows console gives for the same key: 0 or
 * 224, then the key's code.  The decoder is fed one byte at a time, or
 * KEYSEQ_NONE when no byte came in time, and holds no I/O of its own, so
 * the console can own the terminal and the timing.
 */
#ifndef VKM_KEYSEQ_H
#define VKM_KEYSEQ_H

/* Fed instead of a byte when none followed within the wait. */
#define KEYSEQ_NONE (-1)

/* How long an unfinished sequence waits for its next byte, in ms. */
#define KEYSEQ_WAIT_MS 50

struct keyseq {
	int state;	/* where in a sequence the last byte left us */
	int params[2];	/* numbers of a CSI or SS3 sequence, -1 absent */
	int param;	/* which of PARAMS the next digit goes to */
	int bad;	/* the sequence is not one we know: swallow it */
	int left;	/* UTF-8 continuation bytes still expected */
};

/* Puts KS at rest, between sequences. */
void keyseq_init(struct keyseq *ks);

/* 1 when KS holds the start of a sequence, so the next byte should be
 * waited for only KEYSEQ_WAIT_MS; 0 when at rest. */
int keyseq_pending(const struct keyseq *ks);

/* Takes BYTE (0..255) or KEYSEQ_NONE.  Returns the number of codes now in
 * CODES: 1 (a plain byte, or Escape alone) or 2 (0 or 224, then the key's
 * code); 0 when a sequence ended that stands for no key we report, which
 * is dropped whole; -1 when BYTE was taken into a sequence not yet ended. */
int keyseq_feed(struct keyseq *ks, int byte, int codes[2]);

#endif
