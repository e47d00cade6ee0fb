// Hive names and texts (registry/unix/hive_names.cpp): folding as Windows
// folds key names, and UTF-16LE data to UTF-8.
#include <gtest/gtest.h>

#include <string>

#include "hive_names.h"

namespace {

std::string
folded(const std::string &s)
{
	std::string out(s.size(), '\0');

	fold_name(s.data(), s.size(), &out[0]);
	return out;
}

struct NameCase {
	const char *what;
	std::string a, b;
	int equal;
};

const NameCase name_cases[] = {
	{ "ASCII letters fold", "Software", "SOFTWARE", 1 },
	{ "empty names", "", "", 1 },
	{ "a longer name differs", "Run", "RunOnce", 0 },
	{ "Latin-1 capital A umlaut", "\xc3\x84rger", "\xc3\xa4RGER", 1 },
	{ "Latin-1 E acute", "\xc3\x89t\xc3\xa9", "\xc3\xa9T\xc3\x89", 1 },
	{ "Latin-1 thorn, last folded", "\xc3\x9e", "\xc3\xbe", 1 },
	{ "multiplication sign is no capital", "\xc3\x97", "\xc3\xb7", 0 },
	{ "sharp s has no capital here", "\xc3\x9f", "ss", 0 },
	{ "Cyrillic is not folded", "\xd0\x94", "\xd0\xb4", 0 },
	{ "C3 before ASCII: the ASCII folds", "\xc3Z", "\xc3z", 1 },
	{ "lone C3 at the end", "A\xc3", "a\xc3", 1 },
	{ "C3 alone is not C3 80", "\xc3", "\xc3\x80", 0 },
	{ "a NUL is a character", std::string("a\0B", 3),
	    std::string("A\0b", 3), 1 },
	{ "a NUL ends nothing", std::string("a\0", 2), "a", 0 },
};

TEST(HiveNames, EqualExactlyWhenFoldedFormsAre)
{
	for (const NameCase &c : name_cases) {
		SCOPED_TRACE(c.what);
		EXPECT_EQ(names_equal(c.a.data(), c.a.size(), c.b.data(),
		    c.b.size()), c.equal);
		EXPECT_EQ(names_equal(c.b.data(), c.b.size(), c.a.data(),
		    c.a.size()), c.equal);
		EXPECT_EQ(folded(c.a) == folded(c.b), c.equal == 1);
		if (c.equal) {
			EXPECT_EQ(name_hash(c.a.data(), c.a.size()),
			    name_hash(c.b.data(), c.b.size()));
		}
		EXPECT_EQ(folded(folded(c.a)), folded(c.a));
	}
}

struct FoldCase {
	std::string in, out;
};

const FoldCase fold_cases[] = {
	{ "CurrentControlSet", "currentcontrolset" },
	{ "\xc3\x80\xc3\x9e", "\xc3\xa0\xc3\xbe" },
	{ "\xc3\x97\xc3\x9f", "\xc3\x97\xc3\x9f" },
	{ "\xc3\xc3\x80", "\xc3\xc3\xa0" },
	{ "\xc3", "\xc3" },
	{ "\xe2\x82\xac", "\xe2\x82\xac" },
};

TEST(HiveNames, FoldTable)
{
	for (const FoldCase &c : fold_cases)
		EXPECT_EQ(folded(c.in), c.out) << c.in;
}

struct Utf16Case {
	const char *what;
	std::string utf16, utf8;
};

const Utf16Case utf16_cases[] = {
	{ "empty", "", "" },
	{ "ASCII", std::string("A\0b\0", 4), "Ab" },
	{ "a stored NUL comes back", std::string("A\0\0\0", 4),
	    std::string("A\0", 2) },
	{ "Latin-1", std::string("\xe4\0", 2), "\xc3\xa4" },
	{ "euro sign, three bytes", "\xac\x20", "\xe2\x82\xac" },
	{ "surrogate pair, four bytes", std::string("\x3d\xd8\x00\xde", 4),
	    "\xf0\x9f\x98\x80" },
	{ "high surrogate then a letter", std::string("\x3d\xd8" "A\0", 4),
	    "\xef\xbf\xbd" "A" },
	{ "low surrogate alone", std::string("\x00\xde", 2), "\xef\xbf\xbd" },
	{ "high surrogate at the end", "\x3d\xd8", "\xef\xbf\xbd" },
	{ "two high surrogates", "\x3d\xd8\x3d\xd8",
	    "\xef\xbf\xbd\xef\xbf\xbd" },
	{ "odd last byte dropped", std::string("A\0B", 3), "A" },
};

TEST(HiveNames, Utf16ToUtf8Table)
{
	for (const Utf16Case &c : utf16_cases) {
		SCOPED_TRACE(c.what);
		const unsigned char *src =
		    (const unsigned char *)c.utf16.data();
		size_t need = utf16_to_utf8(src, c.utf16.size(), NULL);
		std::string out(need + 1, '#');

		ASSERT_EQ(need, c.utf8.size());
		EXPECT_EQ(utf16_to_utf8(src, c.utf16.size(), &out[0]), need);
		EXPECT_EQ(out.substr(0, need), c.utf8);
		EXPECT_EQ(out[need], '#');	// nothing written past it
	}
}

}  // namespace
