/* Target match, system folders and the driver-store removal command. */
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include "fake_console.h"
#include "scans/scans.h"
#include "scans/targets.h"

struct match_case {
	const char *text;
	const char *expected;	/* the table name found at the start */
};

static const match_case match_cases[] = {
	{ "tarnwickreader.sys", "tarnwickreader" },
	{ "TarnwickReader.SYS", "tarnwickreader" },
	{ "vkm310x.sys", "vkm310" },
	{ "VKM310", "vkm310" },
	{ "tarnwick", NULL },
	{ "vkm31", NULL },
	{ "", NULL },
	{ "old_vkm310.sys", NULL },
	{ "RDX7PCSC_SLOT", "rdx7pcsc_slot" },
	{ "rdx7pcsc-root", NULL },
	{ "quellmarkpcsc.sys", "quellmarkpcsc" },
	/* Only A-Z fold: a Latin-1 capital E-acute is not 'e'. */
	{ "busqu\xC9llmark", NULL },
};

TEST(Targets, MatchAtStart)
{
	for (const match_case &c : match_cases) {
		SCOPED_TRACE(c.text);
		const char *got = match_target_at(c.text);
		if (c.expected == NULL) {
			EXPECT_EQ(got, nullptr);
		} else {
			EXPECT_STREQ(got, c.expected);
		}
	}
}

TEST(Targets, TableIsClosedAndNoNameIsAPrefixOfAnother)
{
	int n = 0;
	for (; g_target_names[n] != NULL; n++)
		;
	EXPECT_EQ(n, 7);
	for (int i = 0; i < n; i++)
		for (int j = 0; j < n; j++)
			if (i != j) {
				EXPECT_FALSE(target_match(g_target_names[i],
				    g_target_names[j]));
			}
}

struct paths_case {
	const char *value;	/* NULL: SystemRoot unset */
	int result;
	const char *drivers;	/* expected g_drivers_dir */
	const char *message;	/* expected output */
};

static const std::string root213(213, 'r');
static const std::string root214(214, 'r');

TEST(Targets, BuildSystemPaths)
{
	const paths_case cases[] = {
		{ "C:\\WINDOWS", 1, "C:\\WINDOWS\\system32\\drivers", "" },
		{ "C:\\WINDOWS\\", 1, "C:\\WINDOWS\\\\system32\\drivers", "" },
		{ NULL, 0, "", "SystemRoot is not set: driver files and OEM INF files are not scanned\n" },
		{ "", 0, "", "SystemRoot is not set: driver files and OEM INF files are not scanned\n" },
		{ root213.c_str(), 1, nullptr, "" },
		{ root214.c_str(), -1, "", "SystemRoot is longer than 213 characters: driver files and OEM INF files are not scanned\n" },
	};
	for (const paths_case &c : cases) {
		SCOPED_TRACE(c.value ? c.value : "(unset)");
		unsetenv("SystemRoot");
		unsetenv("SYSTEMROOT");
		if (c.value != NULL)
			setenv("SystemRoot", c.value, 1);
		fake_console_reset({});
		EXPECT_EQ(build_system_paths(), c.result);
		EXPECT_EQ(fake_console_output(), c.message);
		EXPECT_EQ(have_system_paths(), c.result > 0 ? 1 : 0);
		if (c.drivers != nullptr) {
			EXPECT_STREQ(g_drivers_dir, c.drivers);
		}
		if (c.result <= 0) {
			EXPECT_STREQ(g_inf_dir, "");
			EXPECT_STREQ(g_lastgood_drivers_dir, "");
			EXPECT_STREQ(g_drvstore_dir, "");
		}
	}
	/* The longest value that fits still leaves room for the longest
	 * driver file path. */
	setenv("SystemRoot", root213.c_str(), 1);
	build_system_paths();
	EXPECT_EQ(strlen(g_lastgood_drivers_dir) + 1 + 15 + 4, 259u);
	unsetenv("SystemRoot");
}

TEST(Targets, FolderNamesAndLookupIgnoringCase)
{
	unsetenv("SystemRoot");
	setenv("SYSTEMROOT", "C:\\WINDOWS", 1);
	fake_console_reset({});
	ASSERT_EQ(build_system_paths(), 1);
	EXPECT_STREQ(g_system_root, "C:\\WINDOWS");
	EXPECT_STREQ(g_inf_dir, "C:\\WINDOWS\\inf");
	EXPECT_STREQ(g_drivers_dir, "C:\\WINDOWS\\system32\\drivers");
	EXPECT_STREQ(g_lastgood_drivers_dir,
	    "C:\\WINDOWS\\LastGood\\system32\\drivers");
	EXPECT_STREQ(g_drvstore_dir, "C:\\WINDOWS\\system32\\DRVSTORE");
	unsetenv("SYSTEMROOT");
}

struct rmdir_case {
	const char *subkey;
	const char *command;	/* NULL: no command may be run */
};

static const rmdir_case rmdir_cases[] = {
	{ "vkm310.inf_1234", "rmdir /s /q C:\\WINDOWS\\system32\\DRVSTORE\\vkm310.inf_1234" },
	{ "with blank", "rmdir /s /q \"C:\\WINDOWS\\system32\\DRVSTORE\\with blank\"" },
	{ "x & echo hacked > C:\\hacked.txt", NULL },
	{ "x & echo hacked", "rmdir /s /q \"C:\\WINDOWS\\system32\\DRVSTORE\\x & echo hacked\"" },
	{ "a|b", "rmdir /s /q \"C:\\WINDOWS\\system32\\DRVSTORE\\a|b\"" },
	{ "a^b(c),d;e=f", "rmdir /s /q \"C:\\WINDOWS\\system32\\DRVSTORE\\a^b(c),d;e=f\"" },
	{ ".", NULL },
	{ "..", NULL },
	{ "", NULL },
	{ "...", "rmdir /s /q C:\\WINDOWS\\system32\\DRVSTORE\\..." },
	{ "a\\..\\..", NULL },
	{ "a/b", NULL },
	{ "C:x", NULL },
	{ "say \"hi\"", NULL },
	{ "100%x%", NULL },
	{ "bang!", NULL },
	{ "tab\there", NULL },
	{ "line\nbreak", NULL },
};

TEST(Targets, DriverStoreRemovalCommand)
{
	setenv("SystemRoot", "C:\\WINDOWS", 1);
	fake_console_reset({});
	ASSERT_EQ(build_system_paths(), 1);
	for (const rmdir_case &c : rmdir_cases) {
		SCOPED_TRACE(c.subkey);
		char cmd[260] = "untouched";
		int rc = compose_rmdir_command(c.subkey, cmd, sizeof(cmd));
		if (c.command == NULL) {
			EXPECT_EQ(rc, 0);
		} else {
			EXPECT_EQ(rc, 1);
			EXPECT_STREQ(cmd, c.command);
		}
	}
	/* A line that would not fit is not run, never cut. */
	std::string long_name(259 - strlen("rmdir /s /q C:\\WINDOWS\\system32\\DRVSTORE\\") + 1, 'n');
	char cmd[260];
	EXPECT_EQ(compose_rmdir_command(long_name.c_str(), cmd, sizeof(cmd)), 0);
	long_name.pop_back();
	EXPECT_EQ(compose_rmdir_command(long_name.c_str(), cmd, sizeof(cmd)), 1);
	EXPECT_EQ(strlen(cmd), 259u);
	/* Without a driver-store folder nothing is removed anywhere. */
	unsetenv("SystemRoot");
	build_system_paths();
	EXPECT_EQ(compose_rmdir_command("vkm310.inf_1234", cmd, sizeof(cmd)), 0);
}
