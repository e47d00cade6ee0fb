/*
 * ask.cpp - the answer mode and the per-item question.
 */
#include "ask/ask.h"

#include "platform/platform.h"

int g_answer_mode = ReportOnly;
int g_found_count = 0;
int g_fixed_count = 0;

struct answer {
	int key;
	int mode;
	const char *word;
	int result;
};

/* The ten keys that answer the item question; every other code is
 * ignored without echo. */
static const struct answer answers[] = {
	{ 'Y', AskYes, "Yes...", 1 },
	{ 'y', AskYes, "Yes...", 1 },
	{ 'A', YesToAll, "Yes to all...", 1 },
	{ 'a', YesToAll, "Yes to all...", 1 },
	{ 'N', AskNo, "No...", 0 },
	{ 'n', AskNo, "No...", 0 },
	{ 'C', Cancelled, "Cancel...", 0 },
	{ 'c', Cancelled, "Cancel...", 0 },
	{ 27, Cancelled, "Cancel...", 0 },
	{ 3, Cancelled, "Cancel...", 0 },
};

#define CANCEL_ROW 6

static const struct answer *
find_answer(int key)
{
	/* No console: nobody can answer, so nothing may be removed and the
	 * question must not wait for ever.  Take it as a cancel. */
	if (key < 0)
		return &answers[CANCEL_ROW];
	for (const struct answer &a : answers) {
		if (a.key == key)
			return &a;
	}
	return nullptr;
}

int
read_answer_key(void)
{
	int key;

	for (;;) {
		key = plat_read_key();
		if (key != 0 && key != 224)
			return key;
		/* The key's second code follows at once: take it and drop it,
		 * so F7 (0, 65) is not read as "A". */
		if (plat_read_key() < 0)
			return -1;
	}
}

int
ask_user(const char *question)
{
	const struct answer *a;

	if (g_answer_mode == YesToAll)
		return 1;
	if (g_answer_mode == ReportOnly || g_answer_mode <= Cancelled)
		return 0;

	plat_printf("\n");
	plat_printf(">>> %s\n", question);
	plat_printf(">>> [Y]es | Yes to [A]ll | [N]o | [C]ancel ? ");
	while ((a = find_answer(read_answer_key())) == nullptr)
		;
	g_answer_mode = a->mode;
	plat_printf("%s", a->word);
	plat_printf("\n\n");
	return a->result;
}

int
is_cancelled(void)
{
	return g_answer_mode <= Cancelled ? 1 : 0;
}
