/* The INF section entry reader over real files, and its tokenizer. */
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "inf/inf.h"

static std::string
write_temp(const std::string &bytes)
{
	char path[] = "/tmp/vkm_inf_XXXXXX";
	int fd = mkstemp(path);
	EXPECT_GE(fd, 0);
	EXPECT_EQ(write(fd, bytes.data(), bytes.size()), (ssize_t)bytes.size());
	close(fd);
	return path;
}

static std::string
utf16(const std::string &ascii, bool big_endian)
{
	std::string out = big_endian ? "\xFE\xFF" : "\xFF\xFE";
	for (char c : ascii) {
		if (big_endian)
			out += '\0', out += c;
		else
			out += c, out += '\0';
	}
	return out;
}

static const std::string seven_lines =
    "[Version]\n"
    "[SourceDisksFiles]\n"
    "; a comment\n"
    "\n"
    "tarnwickreader.sys = 1\n"
    "   tarnwickusbccid.sys=1,,\n"
    "[Strings]\n";

static const std::string long_line(700, 'x');

struct inf_case {
	const char *what;
	std::string text;
	const char *section;
	int entry;		/* 0 to 4 */
	std::string name;	/* "": no such entry, or it names nothing */
	bool utf16_rows = false;	/* TEXT is stored as it stands, no twins */
};

static const inf_case inf_cases[] = {
	{ "first entry", seven_lines, "SourceDisksFiles", 0, "tarnwickreader.sys" },
	{ "indented second entry", seven_lines, "SourceDisksFiles", 1, "tarnwickusbccid.sys" },
	{ "section ends at the next header", seven_lines, "SourceDisksFiles", 2, "" },
	{ "section without entries", seven_lines, "Strings", 0, "" },
	{ "header in lower case is another section",
	    "[sourcedisksfiles]\na.sys\n", "SourceDisksFiles", 0, "" },
	{ "header with .x86 is another section",
	    "[SourceDisksFiles.x86]\na.sys\n", "SourceDisksFiles", 0, "" },
	{ "blank after [ is another section",
	    "[ SourceDisksFiles]\na.sys\n", "SourceDisksFiles", 0, "" },
	{ "blank before ] is another section",
	    "[SourceDisksFiles ]\na.sys\n", "SourceDisksFiles", 0, "" },
	{ "comment after ]", "[SourceDisksFiles] ; files\na.sys\n",
	    "SourceDisksFiles", 0, "a.sys" },
	{ "header indented by a tab", "\t[SourceDisksFiles]\na.sys\n",
	    "SourceDisksFiles", 0, "a.sys" },
	{ "second section of the same name is never read",
	    "[SourceDisksFiles]\na.sys\nb.sys\n[SourceDisksFiles]\nc.sys\nd.sys\ne.sys\n",
	    "SourceDisksFiles", 2, "" },
	{ "first section of the same name answers",
	    "[SourceDisksFiles]\na.sys\nb.sys\n[SourceDisksFiles]\nc.sys\n",
	    "SourceDisksFiles", 1, "b.sys" },
	{ "blank and comment lines take no number",
	    "[S]\n \t \n# hash\n;semi\n\n\r\nfirst\n  ; indented comment\nsecond\n",
	    "S", 1, "second" },
	{ "a name alone, no equals sign", "[S]\nalone.sys\n", "S", 0, "alone.sys" },
	{ "equals sign and space before the name", "[S]\n= name.sys\n", "S", 0, "name.sys" },
	{ "comma and quote are no delimiters", "[S]\n\"q.sys\",1\n", "S", 0, "\"q.sys\",1" },
	{ "colon and tab delimit", "[S]\nc.sys:1\n", "S", 0, "c.sys" },
	{ "entry of delimiters alone names nothing", "[S]\n=\n", "S", 0, "" },
	{ "colon, space, equals", "[S]\n: =\n", "S", 0, "" },
	{ "UTF-8 byte order mark is blank",
	    "\xEF\xBB\xBF[S]\nbom.sys\n", "S", 0, "bom.sys" },
	{ "high bytes before an entry are blank",
	    "[S]\n\xC3\xA9x.sys\n", "S", 0, "x.sys" },
	{ "CR LF line ends", "[S]\r\na.sys\r\nb.sys=1\r\n", "S", 1, "b.sys" },
	{ "lone CR stays a delimiter", "[S]\nc.sys\rmore\n", "S", 0, "c.sys" },
	{ "Ctrl-Z ends the file", "[S]\na.sys\n\x1a\nb.sys\n", "S", 1, "" },
	{ "last line without line end", "[S]\na.sys\nlast.sys", "S", 1, "last.sys" },
	{ "NUL ends a line's text", std::string("[S]\n\0hidden.sys\nv.sys\n", 22),
	    "S", 0, "v.sys" },
	{ "UTF-16 character above 255 reads as '?'",
	    utf16("[S]\r\na", false) + "\x3A\x26" + utf16(".sys\r\n", false).substr(2),
	    "S", 0, "a?.sys", true },
	{ "UTF-16 LE bytes 0D 0A are one character, not a line end",
	    utf16("[S]\nab", false) + "\x0D\x0A" + utf16("cd\n", false).substr(2),
	    "S", 0, "ab?cd", true },
	{ "UTF-16 CR LF characters are one line end",
	    utf16("[S]\r\n\r\nb.sys", true), "S", 0, "b.sys", true },
	{ "UTF-16 odd last byte is dropped",
	    utf16("[S]\nodd.sys", false) + "x", "S", 0, "odd.sys", true },
	{ "UTF-16 without byte order mark reads as 8 bits",
	    utf16("[S]\na.sys\n", false).substr(2), "S", 0, "", true },
	{ "byte order mark after the start is no mark",
	    "[S]\n\xFF\xFEz.sys\n", "S", 0, "z.sys" },
	{ "a long line is read in pieces, each an entry",
	    "[S]\n" + long_line + "\nafter.sys\n", "S", 1,
	    std::string(700 - 639, 'x') },
	{ "the third piece is the next line",
	    "[S]\n" + long_line + "\nafter.sys\n", "S", 2, "after.sys" },
	{ "a long name is cut to fit the caller's buffer",
	    "[S]\n" + std::string(400, 'n') + "=1\n", "S", 0,
	    std::string(INF_NAME_BUF - 1, 'n') },
	{ "missing section", seven_lines, "Nope", 0, "" },
};

/* One row as stored: the first five entries read in one pass. */
static void
check_entry_row(const inf_case &c, const std::string &text)
{
	std::string path = write_temp(text);
	char names[5][INF_NAME_BUF];

	memset(names, '#', sizeof(names));
	EXPECT_GE(read_inf_entries(path.c_str(), c.section, names, 5), 0);
	EXPECT_EQ(std::string(names[c.entry]), c.name);
	unlink(path.c_str());
}

/* Every 8-bit row also runs as its UTF-16 twins (each byte one
 * character, both byte orders), with the same answer. */
TEST(Inf, EntryTable)
{
	for (const inf_case &c : inf_cases) {
		SCOPED_TRACE(c.what);
		check_entry_row(c, c.text);
		if (c.utf16_rows)
			continue;
		for (bool big_endian : { false, true }) {
			SCOPED_TRACE(big_endian ? "UTF-16 BE twin" : "UTF-16 LE twin");
			check_entry_row(c, utf16(c.text, big_endian));
		}
	}
}

struct entries_case {
	const char *what;
	std::string text;
	int count;
	int result;
	std::vector<std::string> names;	/* "" missing; "#" not written */
};

static const entries_case entries_cases[] = {
	{ "gaps keep the numbers of later entries",
	    "[S]\n=\nb.sys\n: =\nd.sys\n", 5, 1, { "", "b.sys", "", "d.sys", "" } },
	{ "entries past COUNT are not read",
	    "[S]\na\nb\nc\n", 2, 1, { "a", "b", "#" } },
	{ "only delimiters", "[S]\n=\n=\n", 3, 0, { "", "", "" } },
	{ "no such section", "[T]\na\n", 2, 0, { "", "" } },
	{ "count 0 writes nothing", "[S]\na\n", 0, 0, { "#" } },
	{ "the section ends at the next header",
	    "[S]\na\n[T]\nb\n", 3, 1, { "a", "", "" } },
	{ "a long name stays in its buffer", "[S]\n" + long_line + "\n", 1, 1,
	    { std::string(INF_NAME_BUF - 1, 'x'), "#" } },
};

TEST(Inf, EntriesInOneRead)
{
	for (const entries_case &c : entries_cases) {
		SCOPED_TRACE(c.what);
		std::string path = write_temp(c.text);
		char names[6][INF_NAME_BUF];
		memset(names, '#', sizeof(names));
		for (size_t i = 0; i < 6; i++)
			names[i][1] = '\0';
		EXPECT_EQ(read_inf_entries(path.c_str(), "S", names, c.count),
		    c.result);
		for (size_t i = 0; i < c.names.size(); i++)
			EXPECT_EQ(names[i], c.names[i]) << "entry " << i;
		unlink(path.c_str());
	}
}

TEST(Inf, NoFileOrNoRequest)
{
	char names[2][INF_NAME_BUF] = { "keep", "keep" };

	EXPECT_EQ(read_inf_entries("/nonexistent/oem1.inf", "S", names, 2), -1);
	EXPECT_EQ(read_inf_entries("/nonexistent/oem1.inf", "", names, 2), 0);
	EXPECT_EQ(read_inf_entries("/nonexistent/oem1.inf", "S", NULL, 2), 0);
	EXPECT_STREQ(names[0], "keep");
	EXPECT_STREQ(names[1], "keep");
}

TEST(Inf, NextTokenIsReentrant)
{
	char first[] = "  a b";
	char second[] = "x=y";
	char *c1 = NULL, *c2 = NULL;

	EXPECT_STREQ(next_token(first, " ", &c1), "a");
	EXPECT_STREQ(next_token(second, "=", &c2), "x");
	char *b = next_token(NULL, " ", &c1);
	EXPECT_STREQ(b, "b");
	EXPECT_EQ(c1, nullptr);
	EXPECT_EQ(next_token(NULL, " ", &c1), nullptr);
	EXPECT_STREQ(next_token(NULL, "=", &c2), "y");

	char only_delims[] = "   ";
	char *c3 = (char *)"unchanged";
	char *before = c3;
	EXPECT_EQ(next_token(only_delims, " ", &c3), nullptr);
	EXPECT_EQ(c3, before);
}
