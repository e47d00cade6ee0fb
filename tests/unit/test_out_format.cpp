// The output formatter: placeholders, and data shown without control
// characters.
#include <gtest/gtest.h>

#include <string>

#include "common/out_format.h"

namespace {

std::string captured;
size_t largest_piece;

void
capture(const char *text, size_t len)
{
	captured.append(text, len);
	if (len > largest_piece)
		largest_piece = len;
}

struct Formatted {
	int result;
	std::string text;
};

Formatted
format(int flags, const char *fmt, ...)
{
	va_list ap;

	captured.clear();
	largest_piece = 0;
	va_start(ap, fmt);
	int r = out_vformat(flags, capture, fmt, ap);
	va_end(ap);
	return { r, captured };
}

const int UTF8 = OUT_UTF8;
const int ANSI = 0;

struct FilterCase {
	const char *name;
	int flags;
	std::string data;
	std::string shown;
};

const FilterCase filter_cases[] = {
	{ "plain text", UTF8, "tarnwickreader.sys", "tarnwickreader.sys" },
	{ "plain text, ANSI", ANSI, "C:\\windows\\inf", "C:\\windows\\inf" },
	{ "Escape", UTF8, "a\x1b[2Jb", "a?[2Jb" },
	{ "colour query", UTF8, "\x1b]4;145;?\x07", "?]4;145;??" },
	{ "colour query, ANSI", ANSI, "\x1b]4;145;?\x07", "?]4;145;??" },
	{ "line end and tab in data", UTF8, "a\nb\tc\rd", "a?b?c?d" },
	{ "every C0 byte", ANSI, std::string("\x01\x02\x08\x0b\x0c\x0e\x1f"),
	    "???????" },
	{ "DEL", UTF8, "x\x7fy", "x?y" },
	{ "DEL, ANSI", ANSI, "x\x7fy", "x?y" },
	{ "C1 CSI as UTF-8", UTF8, "a\xc2\x9b" "31mb", "a?31mb" },
	{ "C1 first and last", UTF8, "\xc2\x80\xc2\x9f", "??" },
	{ "NBSP is no control", UTF8, "a\xc2\xa0" "b", "a\xc2\xa0" "b" },
	{ "lone 0x9B", UTF8, "a\x9b" "31m", "a?31m" },
	{ "lone lead byte", UTF8, "\xc3" "a", "?a" },
	{ "lead byte at the end", UTF8, "ab\xe2\x82", "ab??" },
	{ "overlong slash", UTF8, "\xc0\xaf", "??" },
	{ "overlong C1", UTF8, "\xe0\x82\x9b", "???" },
	{ "surrogate", UTF8, "\xed\xa0\x80", "???" },
	{ "past U+10FFFF", UTF8, "\xf4\x90\x80\x80", "????" },
	{ "byte 0xFF", UTF8, "\xff", "?" },
	{ "ordinary UTF-8", UTF8, "Pr\xc3\xa9" "f\xc3\xa9rences \xe2\x82\xac "
	    "\xf0\x9f\x94\x91", "Pr\xc3\xa9" "f\xc3\xa9rences \xe2\x82\xac "
	    "\xf0\x9f\x94\x91" },
	{ "Latin-1 text, ANSI", ANSI, "Pr\xe9" "f\xe9rences", "Pr\xe9" "f\xe9rences" },
	{ "0x80..0x9F are characters in ANSI", ANSI, "\x80\x9b\x9d\x9f",
	    "\x80\x9b\x9d\x9f" },
	{ "empty", UTF8, "", "" },
};

TEST(OutFormat, FiltersData)
{
	for (const FilterCase &c : filter_cases) {
		SCOPED_TRACE(c.name);
		Formatted f = format(c.flags, "[%s]", c.data.c_str());
		EXPECT_EQ(f.result, 1);
		EXPECT_EQ(f.text, "[" + c.shown + "]");
	}
}

TEST(OutFormat, Placeholders)
{
	const struct {
		const char *name;
		Formatted got;
		int result;
		std::string text;
	} rows[] = {
		{ "format's own controls stay", format(UTF8, "\n\t%s\n\n", "x"),
		    1, "\n\tx\n\n" },
		{ "numbers", format(UTF8, "%d item(s) found, %d fixed", 12, -3), 1,
		    "12 item(s) found, -3 fixed" },
		{ "smallest number", format(UTF8, "%d", -2147483647 - 1), 1,
		    "-2147483648" },
		{ "percent", format(UTF8, "100%% %s", "done"), 1, "100% done" },
		{ "null string", format(UTF8, "'%s'", (const char *)NULL), 1,
		    "'(null)'" },
		{ "unknown placeholder stops", format(UTF8, "a %d %lu %s", 7, 8UL,
		    "x"), -1, "a 7 %lu %s" },
		{ "percent at the end", format(UTF8, "50%"), -1, "50%" },
	};
	for (const auto &row : rows) {
		SCOPED_TRACE(row.name);
		EXPECT_EQ(row.got.result, row.result);
		EXPECT_EQ(row.got.text, row.text);
	}
}

// The longest report: three strings of 259 bytes each, and far more,
// come out whole, in pieces of a fixed buffer.
TEST(OutFormat, LongOutputIsNotCut)
{
	const std::string a(259, 'a'), b(259, 'b'), c(259, 'c');
	Formatted f = format(UTF8, "Found '%s' in\n\tUNINSTALL\\%s\n(%s)\n",
	    a.c_str(), b.c_str(), c.c_str());
	EXPECT_EQ(f.text, "Found '" + a + "' in\n\tUNINSTALL\\" + b + "\n(" +
	    c + ")\n");

	const std::string big(100000, 'x');
	f = format(ANSI, "<%s|%s>", big.c_str(), big.c_str());
	EXPECT_EQ(f.text, "<" + big + "|" + big + ">");
	EXPECT_LT(largest_piece, 4096u);
}

}  // namespace
