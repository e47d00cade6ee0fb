/* Command line and summary rows. */
#include <gtest/gtest.h>

#include "fake_console.h"
#include "run/run.h"

struct options_case {
	std::vector<const char *> args;
	int help, cleanup, agree;
};

static const options_case options_cases[] = {
	{ {}, 0, 0, 0 },
	{ { "-f" }, 0, 1, 0 },
	{ { "/F" }, 0, 1, 0 },
	{ { "-y" }, 0, 1, 0 },
	{ { "/Y" }, 0, 1, 0 },
	{ { "-agree" }, 0, 0, 1 },
	{ { "/Agree" }, 0, 0, 1 },
	{ { "-AGREE", "-F" }, 0, 1, 1 },
	{ { "-h" }, 1, 0, 0 },
	{ { "/H" }, 1, 0, 0 },
	{ { "/?" }, 1, 0, 0 },
	{ { "-h", "-f" }, 1, 1, 0 },
	{ { "-f", "-h" }, 1, 1, 0 },
	{ { "-?" }, 0, 0, 0 },
	{ { "-fy" }, 0, 0, 0 },
	{ { "--f" }, 0, 0, 0 },
	{ { "f" }, 0, 0, 0 },
	{ { "-help" }, 0, 0, 0 },
	{ { "-f-" }, 0, 0, 0 },
	{ { "" }, 0, 0, 0 },
	{ { "-f", "-f", "-f" }, 0, 1, 0 },
	/* Only ASCII letters fold: a Latin-1 capital is another byte. */
	{ { "-\xC6" "agree" }, 0, 0, 0 },
};

TEST(Run, ReadOptions)
{
	for (const options_case &c : options_cases) {
		std::vector<char *> argv;
		argv.push_back(const_cast<char *>("vkm310_cleanup"));
		std::string shown;
		for (const char *a : c.args) {
			argv.push_back(const_cast<char *>(a));
			shown += std::string(a) + " ";
		}
		SCOPED_TRACE(shown);
		struct run_options o = { 7, 7, 7 };
		read_options((int)argv.size(), argv.data(), &o);
		EXPECT_EQ(o.help, c.help);
		EXPECT_EQ(o.cleanup, c.cleanup);
		EXPECT_EQ(o.agree, c.agree);
	}
}

struct summary_case {
	int found, fixed, cleanup, unread;
	const char *text;
};

static const summary_case summary_cases[] = {
	{ 0, 0, 0, 0, "Nothing to do, this system is clean !\n" },
	{ 0, 0, 1, 0, "Nothing to do, this system is clean !\n" },
	{ 3, 0, 0, 0, "3 item(s) found\nYou may run \"vkm310_cleanup -f\" for cleanup\n" },
	{ 3, 3, 1, 0, "3 item(s) fixed\nYou must now reboot your system\n" },
	{ 3, 2, 1, 0, "3 item(s) found, 2 fixed\n" },
	{ 1, 0, 1, 0, "1 item(s) found, 0 fixed\n" },
	/* A place not read: never "clean", and every row says so. */
	{ 0, 0, 0, 1, "Nothing found, but 1 place(s) could not be read: this system is not known to be clean\n" },
	{ 0, 0, 1, 2, "Nothing found, but 2 place(s) could not be read: this system is not known to be clean\n" },
	{ 3, 0, 0, 1, "3 item(s) found\nYou may run \"vkm310_cleanup -f\" for cleanup\n"
	    "1 place(s) could not be read: the system was not fully checked\n" },
	{ 3, 3, 1, 2, "3 item(s) fixed\nYou must now reboot your system\n"
	    "2 place(s) could not be read: the system was not fully checked\n" },
	{ 3, 1, 1, 1, "3 item(s) found, 1 fixed\n"
	    "1 place(s) could not be read: the system was not fully checked\n" },
};

TEST(Run, SummaryRows)
{
	for (const summary_case &c : summary_cases) {
		SCOPED_TRACE(c.text);
		fake_console_reset({});
		print_summary(c.found, c.fixed, c.cleanup, c.unread);
		EXPECT_EQ(fake_console_output(), c.text);
	}
}
