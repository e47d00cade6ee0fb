// Hive names and texts (registry/unix/hive_names.cpp): folding as Windows
// folds key names, and UTF-16LE data to UTF-8; the static file's own
// name conversions for libhivex (registry/unix/static/charsets.cpp) held
// against glibc's iconv.
#include <gtest/gtest.h>

#include <errno.h>
#include <iconv.h>

#include <string>

#include "hive_names.h"
#include "static/charsets.h"

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
	{ "byte-order mark is a character", "\xff\xfe", "\xef\xbb\xbf" },
	{ "U+FFFF, no character yet kept", "\xff\xff", "\xef\xbf\xbf" },
	{ "last code point, U+10FFFF", "\xff\xdb\xff\xdf",
	    "\xf4\x8f\xbf\xbf" },
	{ "pair after a letter, low half missing",
	    std::string("A\0\x3d\xd8", 4), "A\xef\xbf\xbd" },
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

/* What one conversion did: its result, errno, the input bytes it used
 * and the output it wrote. */
struct Converted {
	size_t result;
	int err;
	size_t used;
	std::string out;
};

bool
operator==(const Converted &a, const Converted &b)
{
	return a.result == b.result && a.err == b.err && a.used == b.used &&
	    a.out == b.out;
}

std::ostream &
operator<<(std::ostream &o, const Converted &c)
{
	return o << "result " << (long)c.result << " errno " << c.err <<
	    " used " << c.used << " out " << ::testing::PrintToString(c.out);
}

/* IN converted from the set FROM to UTF-8 into ROOM bytes, by glibc's
 * iconv (GLIBC) or by charsets.h. */
Converted
convert(bool glibc, const char *from, const std::string &in, size_t room)
{
	std::string buf(room + 1, '#');
	const char *src = in.data();
	char *dst = &buf[0];
	size_t left = in.size(), free_ = room;
	Converted c;

	errno = 0;
	if (glibc) {
		iconv_t cd = iconv_open("UTF-8", from);
		char *s = (char *)src;

		EXPECT_NE(cd, (iconv_t)-1) << from;
		c.result = iconv(cd, &s, &left, &dst, &free_);
		c.err = c.result == (size_t)-1 ? errno : 0;
		src = s;
		iconv_close(cd);
	} else {
		c.result = charset_convert(charset_find("UTF-8", from), &src,
		    &left, &dst, &free_);
		c.err = c.result == (size_t)-1 ? errno : 0;
	}
	EXPECT_EQ(buf[room], '#');	// nothing written past ROOM
	EXPECT_EQ((size_t)(src - in.data()), in.size() - left);
	EXPECT_EQ((size_t)(dst - buf.data()), room - free_);
	c.used = in.size() - left;
	c.out = buf.substr(0, room - free_);
	return c;
}

/* Every UTF-16LE input of the table and every Latin-1 byte, into every
 * room from none to more than enough: the same result, error, input
 * used and output as glibc's iconv, the conversion libhivex gets in the
 * dynamic build. */
TEST(HiveNames, StaticConversionsMatchGlibcIconv)
{
	std::string latin1;

	for (int b = 0; b < 256; b++)
		latin1 += (char)b;
	struct { const char *from; std::string in; } inputs[] = {
		{ "LATIN1", latin1 },
		{ "LATIN1", "" },
	};
	auto check = [](const char *from, const std::string &in) {
		for (size_t room = 0; room <= 2 * in.size() + 4; room++) {
			SCOPED_TRACE(room);
			EXPECT_EQ(convert(false, from, in, room),
			    convert(true, from, in, room));
		}
	};
	for (const Utf16Case &c : utf16_cases) {
		SCOPED_TRACE(c.what);
		check("UTF-16LE", c.utf16);
	}
	for (const auto &i : inputs)
		check(i.from, i.in);
}

struct CharsetName {
	const char *to, *from;
	int conv;
};

const CharsetName charset_names[] = {
	{ "UTF-8", "LATIN1", CHARSET_LATIN1_TO_UTF8 },
	{ "UTF-8", "UTF-16LE", CHARSET_UTF16LE_TO_UTF8 },
	{ "utf8", "iso-8859-1", CHARSET_LATIN1_TO_UTF8 },
	{ "LATIN1", "UTF-8", CHARSET_NONE },
	{ "UTF-16LE", "UTF-8", CHARSET_NONE },
	{ "UTF-8", "UTF-16", CHARSET_NONE },
	{ "UTF-8", "UTF-16LE//IGNORE", CHARSET_NONE },
};

TEST(HiveNames, StaticConversionsByName)
{
	for (const CharsetName &c : charset_names)
		EXPECT_EQ(charset_find(c.to, c.from), c.conv) << c.to << " " <<
		    c.from;
}

}  // namespace
