/* The item question and the disclaimer, driven by scripted keys. */
#include <gtest/gtest.h>

#include "fake_console.h"
#include "ask/ask.h"
#include "run/run.h"

static const char QUESTION_OUT[] =
    "\n>>> Do you want to delete this file ?\n"
    ">>> [Y]es | Yes to [A]ll | [N]o | [C]ancel ? ";

struct prompt_case {
	const char *what;
	int start_mode;
	std::vector<int> keys;
	int result;
	int end_mode;
	const char *word;	/* NULL: nothing printed at all */
	int keys_read;
};

static const prompt_case prompt_cases[] = {
	{ "Y", AskNo, { 'Y' }, 1, AskYes, "Yes...", 1 },
	{ "y", AskYes, { 'y' }, 1, AskYes, "Yes...", 1 },
	{ "A", AskNo, { 'A' }, 1, YesToAll, "Yes to all...", 1 },
	{ "a", AskNo, { 'a' }, 1, YesToAll, "Yes to all...", 1 },
	{ "N", AskYes, { 'N' }, 0, AskNo, "No...", 1 },
	{ "n", AskNo, { 'n' }, 0, AskNo, "No...", 1 },
	{ "C", AskNo, { 'C' }, 0, Cancelled, "Cancel...", 1 },
	{ "c", AskNo, { 'c' }, 0, Cancelled, "Cancel...", 1 },
	{ "Escape", AskNo, { 27 }, 0, Cancelled, "Cancel...", 1 },
	{ "Ctrl-C", AskNo, { 3 }, 0, Cancelled, "Cancel...", 1 },
	{ "x, Enter, space, digit, then y", AskNo, { 'x', 13, ' ', '7', 'y' },
	    1, AskYes, "Yes...", 5 },
	/* Two-code keys are read whole and ignored: their second codes
	 * are letters' codes, but nobody typed those letters. */
	{ "F7 (0, 65) is not A", AskNo, { 0, 65, 'n' }, 0, AskNo, "No...", 3 },
	{ "F9 (0, 67) is not C", AskNo, { 0, 67, 'y' }, 1, AskYes, "Yes...",
	    3 },
	{ "Shift+F6 (0, 89) is not Y", AskNo, { 0, 89, 'n' }, 0, AskNo,
	    "No...", 3 },
	{ "Up (224, 72) ignored", AskNo, { 224, 72, 'n' }, 0, AskNo,
	    "No...", 3 },
	{ "Ctrl+@ (0, 3) is not Ctrl-C", AskNo, { 0, 3, 'n' }, 0, AskNo,
	    "No...", 3 },
	{ "Escape as a second code is not Escape", AskNo, { 224, 27, 'y' }, 1,
	    AskYes, "Yes...", 3 },
	{ "several two-code keys in a row", AskNo, { 0, 65, 224, 83, 0, 67,
	    'n' }, 0, AskNo, "No...", 7 },
	{ "no console after a first code: cancel", AskNo, { 0 }, 0,
	    Cancelled, "Cancel...", 2 },
	{ "no console: cancel, no endless wait", AskNo, {}, 0, Cancelled,
	    "Cancel...", 1 },
	{ "keys after a valid one stay unread", AskNo, { 'n', 'y' }, 0, AskNo,
	    "No...", 1 },
	{ "dry run never asks", ReportOnly, { 'y' }, 0, ReportOnly, NULL, 0 },
	{ "cancelled never asks", Cancelled, { 'y' }, 0, Cancelled, NULL, 0 },
	{ "yes to all never asks", YesToAll, { 'n' }, 1, YesToAll, NULL, 0 },
};

TEST(Prompt, AnswerTable)
{
	for (const prompt_case &c : prompt_cases) {
		SCOPED_TRACE(c.what);
		g_answer_mode = c.start_mode;
		fake_console_reset(c.keys);
		EXPECT_EQ(ask_user("Do you want to delete this file ?"), c.result);
		EXPECT_EQ(g_answer_mode, c.end_mode);
		EXPECT_EQ(fake_console_reads(), c.keys_read);
		if (c.word == NULL)
			EXPECT_EQ(fake_console_output(), "");
		else
			EXPECT_EQ(fake_console_output(),
			    std::string(QUESTION_OUT) + c.word + "\n\n");
	}
}

TEST(Prompt, IsCancelledOnlyForCancel)
{
	const int modes[] = { Cancelled, ReportOnly, AskNo, AskYes, YesToAll };
	for (int mode : modes) {
		g_answer_mode = mode;
		EXPECT_EQ(is_cancelled(), mode == Cancelled ? 1 : 0) << mode;
	}
	g_answer_mode = -3;
	EXPECT_EQ(is_cancelled(), 1);
}

TEST(Prompt, YesToAllAnswersEveryLaterQuestionSilently)
{
	g_answer_mode = AskNo;
	fake_console_reset({ 'a' });
	EXPECT_EQ(ask_user("first ?"), 1);
	fake_console_reset({ 'n' });
	for (int i = 0; i < 3; i++)
		EXPECT_EQ(ask_user("later ?"), 1);
	EXPECT_EQ(fake_console_output(), "");
	EXPECT_EQ(fake_console_reads(), 0);
}

struct agreement_case {
	const char *what;
	std::vector<int> keys;
	int agreed;
	const char *answer;
	int keys_read;
};

static const agreement_case agreement_cases[] = {
	{ "Y", { 'Y' }, 1, "Yes !\n", 1 },
	{ "y", { 'y' }, 1, "Yes !\n", 1 },
	{ "N", { 'N' }, 0, "No !\n", 1 },
	{ "n", { 'n' }, 0, "No !\n", 1 },
	{ "Escape", { 27 }, 0, "No !\n", 1 },
	{ "Ctrl-C", { 3 }, 0, "No !\n", 1 },
	{ "x, Enter and space ignored", { 'x', 13, ' ', 'y' }, 1, "Yes !\n", 4 },
	{ "A and C mean nothing here", { 'A', 'c', 'n' }, 0, "No !\n", 3 },
	{ "no console declines", {}, 0, "No !\n", 1 },
	{ "F7 and F9 ignored", { 0, 65, 0, 67, 'y' }, 1, "Yes !\n", 5 },
	{ "Shift+F6 (0, 89) is not Y", { 0, 89, 'n' }, 0, "No !\n", 3 },
	{ "F10 (0, 68) ignored", { 0, 68, 224, 72, 'y' }, 1, "Yes !\n", 5 },
	{ "second code 78 is not N", { 224, 78, 'y' }, 1, "Yes !\n", 3 },
	{ "no console after a first code declines", { 224 }, 0, "No !\n", 2 },
};

TEST(Prompt, DisclaimerAnswers)
{
	for (const agreement_case &c : agreement_cases) {
		SCOPED_TRACE(c.what);
		fake_console_reset(c.keys);
		EXPECT_EQ(ask_agreement(), c.agreed);
		EXPECT_EQ(fake_console_reads(), c.keys_read);
		const std::string &out = fake_console_output();
		const std::string tail =
		    "Do you agree with the above statement [Y/N] ? ";
		ASSERT_GE(out.size(), tail.size());
		EXPECT_EQ(out.substr(0, 13), "DISCLAIMER :\n");
		EXPECT_EQ(out.substr(out.size() - tail.size() - strlen(c.answer)),
		    tail + c.answer);
	}
}
