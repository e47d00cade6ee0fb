/* Command line, summary rows, and a run without elevation. */
#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

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

/* Without elevation the run says so before anything is asked; a cleanup
 * ends there, a dry run goes on. */
struct rights_case {
	std::vector<const char *> args;
	int elevated;
	bool said;	/* the line comes right after the banner */
	bool stops;	/* and the run ends with it */
	int reads;	/* keys read (the disclaimer reads one: none left) */
};

static const rights_case rights_cases[] = {
	{ { "-f" }, 0, true, true, 0 },
	{ { "-y", "-agree" }, 0, true, true, 0 },
	{ {}, 0, true, false, 0 },
	{ { "-f" }, 1, false, false, 1 },
	{ {}, 1, false, false, 0 },
};

TEST(Run, NotElevated)
{
	const std::string line = "Not elevated: items can be found, but not "
	    "removed without Run as administrator\n";
	char root[] = "/tmp/vkm_run_XXXXXX";
	ASSERT_NE(mkdtemp(root), nullptr);
	std::string system32 = std::string(root) + "/System32";
	ASSERT_EQ(mkdir(system32.c_str(), 0755), 0);
	ASSERT_EQ(setenv("SystemRoot", root, 1), 0);
	fake_console_reset({});
	print_banner();
	const std::string banner = fake_console_output();

	for (const rights_case &c : rights_cases) {
		std::vector<char *> argv;
		std::string shown = c.elevated ? "elevated:" : "not elevated:";
		argv.push_back(const_cast<char *>("vkm310_cleanup"));
		for (const char *a : c.args) {
			argv.push_back(const_cast<char *>(a));
			shown += std::string(" ") + a;
		}
		SCOPED_TRACE(shown);
		fake_console_reset({});
		fake_console_set_elevated(c.elevated);
		EXPECT_EQ(run_main((int)argv.size(), argv.data()), 0);
		const std::string &out = fake_console_output();
		std::string head = banner + (c.said ? line : "");
		EXPECT_EQ(out.substr(0, head.size()), head);
		if (c.stops)
			EXPECT_EQ(out, head);
		else
			EXPECT_GT(out.size(), head.size());
		EXPECT_EQ(out.find(line, head.size()), std::string::npos);
		EXPECT_EQ(fake_console_reads(), c.reads);
	}
	fake_console_set_elevated(1);
	unsetenv("SystemRoot");
	rmdir(system32.c_str());
	rmdir(root);
}
