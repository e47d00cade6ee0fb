/* Target match, system folders and the names a driver-store folder may
 * have. */
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include "fake_console.h"
#include "platform/platform.h"
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
		plat_read_system_root();
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
	plat_read_system_root();
	build_system_paths();
	EXPECT_EQ(strlen(g_lastgood_drivers_dir) + 1 + 15 + 4, 259u);
	unsetenv("SystemRoot");
}

TEST(Targets, FolderNamesAndLookupIgnoringCase)
{
	unsetenv("SystemRoot");
	setenv("SYSTEMROOT", "C:\\WINDOWS", 1);
	plat_read_system_root();
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

struct folder_name_case {
	const char *name;
	int single;	/* 1: one folder below the driver store, as given */
};

static const folder_name_case folder_name_cases[] = {
	{ "vkm310.inf_1234", 1 },
	{ "with blank", 1 },
	{ " leading blank", 1 },
	{ "x & echo hacked", 1 },
	{ "a^b(c),d;e=f", 1 },
	{ "100%x%", 1 },
	{ "bang!", 1 },
	{ "caf\xE9", 1 },
	{ ".hidden", 1 },
	{ "a.b.c", 1 },
	{ "nulx", 1 },
	{ "conx.txt", 1 },
	{ "com10", 1 },
	{ "lpt", 1 },
	{ "xnul", 1 },
	{ "auxiliary", 1 },
	{ "CONIN", 1 },
	/* Names the file system would not take as given. */
	{ "", 0 },
	{ ".", 0 },
	{ "..", 0 },
	{ "...", 0 },
	{ ". .", 0 },
	{ " ", 0 },
	{ "sib.", 0 },
	{ "sib ", 0 },
	{ "sib. ", 0 },
	{ "a\\..\\..", 0 },
	{ "a/b", 0 },
	{ "C:x", 0 },
	{ "a:b", 0 },
	{ "*", 0 },
	{ "vkm310*", 0 },
	{ "a?", 0 },
	{ "a<b", 0 },
	{ "a>b", 0 },
	{ "a|b", 0 },
	{ "say \"hi\"", 0 },
	{ "tab\there", 0 },
	{ "line\nbreak", 0 },
	{ "del\x7f", 0 },
	{ "\x1b]0;x\x07", 0 },
	/* Devices, in any case, with or without an extension. */
	{ "nul", 0 },
	{ "NUL", 0 },
	{ "Nul.txt", 0 },
	{ "nul .txt", 0 },
	{ "nul.tar.gz", 0 },
	{ "con", 0 },
	{ "prn.inf", 0 },
	{ "aux", 0 },
	{ "com1", 0 },
	{ "COM9.log", 0 },
	{ "com0", 0 },
	{ "lpt1", 0 },
	{ "LPT9", 0 },
	{ "com\xB9", 0 },
	{ "lpt\xC2\xB2.x", 0 },
	{ "conin$", 0 },
	{ "CONOUT$.x", 0 },
};

TEST(Targets, SingleFolderNames)
{
	for (const folder_name_case &c : folder_name_cases) {
		SCOPED_TRACE(c.name);
		EXPECT_EQ(is_single_folder_name(c.name), c.single);
	}
}
