/*
 * ask.h - the answer mode, the item counts and the Y/A/N/C question.
 *
 * In a dry run no question is asked and nothing is removed; after A every
 * later item is removed without a question; after C nothing more is asked
 * or removed and the run winds down to its summary.
 */
#ifndef VKM_ASK_H
#define VKM_ASK_H

enum {
	Cancelled = -2,
	ReportOnly = -1,
	AskNo = 0,
	AskYes = 1,
	YesToAll = 2,
};

extern int g_answer_mode;	/* written by main once, then by ask_user */
extern int g_found_count;	/* raised by the scans */
extern int g_fixed_count;	/* raised by the scans */

/* Asks QUESTION (no line end) unless the mode answers it already.
 * 1: act on the item; 0: leave it. */
int ask_user(const char *question);

/* Reads the next key press that could answer a question: a two-code key
 * (function, cursor and other extended keys: 0 or 224, then its code) is
 * read whole and ignored, so its second code never passes for a letter.
 * Returns the key's code (0..255), or -1 when no console can be read. */
int read_answer_key(void);

/* 1 once the user has cancelled, else 0. */
int is_cancelled(void);

#endif
