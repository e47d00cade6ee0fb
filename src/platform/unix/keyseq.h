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

/* How long an unfinished key sequence waits for its next byte, in ms:
 * short, since it also tells a lone Escape from the start of a key. */
#define KEYSEQ_WAIT_MS 50

/* The same inside a CSI sequence or a control string, where the
 * terminal's replies live: long enough that a reply split on its way (a
 * remote login) is still swallowed whole, short enough that a person's
 * next key after a stray Alt+] counts. */
#define KEYSEQ_REPLY_WAIT_MS 300

struct keyseq {
	int state;	/* where in a sequence the last byte left us */
	int params[2];	/* numbers of a CSI or SS3 sequence, -1 absent */
	int param;	/* which of PARAMS the next digit goes to */
	int bad;	/* the sequence is not one we know: swallow it */
	int left;	/* UTF-8 continuation bytes still expected */
	int lead;	/* the byte that began the current UTF-8 character */
};

/* Puts KS at rest, between sequences. */
void keyseq_init(struct keyseq *ks);

/* 1 when KS holds the start of a sequence or string, so the next byte is
 * waited for only keyseq_wait_ms; 0 when at rest. */
int keyseq_pending(const struct keyseq *ks);

/* How long to wait for the next byte before feeding KEYSEQ_NONE:
 * KEYSEQ_WAIT_MS or KEYSEQ_REPLY_WAIT_MS inside a sequence, -1 (as long as
 * it takes) at rest. */
int keyseq_wait_ms(const struct keyseq *ks);

/* Takes BYTE (0..255) or KEYSEQ_NONE.  Returns the number of codes now in
 * CODES: 1 (a plain byte, or Escape alone) or 2 (0 or 224, then the key's
 * code); 0 when a sequence, a string or a C1 control ended that stands for
 * no key we report, which is dropped whole; -1 when BYTE was taken into a
 * sequence or string not yet ended. */
int keyseq_feed(struct keyseq *ks, int byte, int codes[2]);

#endif
