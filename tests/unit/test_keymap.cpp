/*
 * test_keymap.cpp - console key events to _getch codes, as Windows and as
 * Wine deliver them.
 */
#include <gtest/gtest.h>

#include "platform/win/keymap.h"

namespace {

const unsigned long SHIFT = KEYMAP_SHIFT_PRESSED;
const unsigned long LCTRL = KEYMAP_LEFT_CTRL_PRESSED;
const unsigned long RCTRL = KEYMAP_RIGHT_CTRL_PRESSED;
const unsigned long LALT = KEYMAP_LEFT_ALT_PRESSED;
const unsigned long RALT = KEYMAP_RIGHT_ALT_PRESSED;
const unsigned long ENH = KEYMAP_ENHANCED_KEY;

struct key_case {
	const char *what;
	unsigned vk;
	unsigned scan;
	unsigned char ch;
	unsigned long state;
	int count;
	int first;
	int second;
};

/* count 0: first and second are unused, the codes must stay untouched. */
const key_case key_cases[] = {
	{ "letter a", 0x41, 0x1e, 'a', 0, 1, 'a', 0 },
	{ "shifted Y", 0x59, 0x15, 'Y', SHIFT, 1, 'Y', 0 },
	{ "n", 0x4e, 0x31, 'n', 0, 1, 'n', 0 },
	{ "Enter", 0x0d, 0x1c, 13, 0, 1, 13, 0 },
	{ "Ctrl-C in mode 0", 0x43, 0x2e, 3, LCTRL, 1, 3, 0 },
	{ "byte above 127 stays unsigned", 0xde, 0x28, 0xe9, 0, 1, 233, 0 },
	{ "number pad 8 with NumLock", 0x68, 0x48, '8', 0, 1, '8', 0 },
	{ "AltGr character", 0x51, 0x10, '@', RALT | LCTRL, 1, '@', 0 },
	{ "Escape on Windows", 0x1b, 0x01, 27, 0, 1, 27, 0 },
	{ "Escape from Wine, no character", 0x1b, 0x01, 0, 0, 1, 27, 0 },
	{ "Escape by scan code alone", 0, 0x01, 0, 0, 1, 27, 0 },

	{ "Shift alone", 0x10, 0x2a, 0, SHIFT, 0, 0, 0 },
	{ "Ctrl alone", 0x11, 0x1d, 0, LCTRL, 0, 0, 0 },
	{ "Alt alone", 0x12, 0x38, 0, LALT, 0, 0, 0 },
	{ "Caps Lock", 0x14, 0x3a, 0, 0, 0, 0, 0 },
	{ "Num Lock", 0x90, 0x45, 0, ENH, 0, 0, 0 },
	{ "Pause", 0x13, 0x45, 0, 0, 0, 0, 0 },
	{ "left Windows key", 0x5b, 0x5b, 0, ENH, 0, 0, 0 },
	{ "F13", 0x7c, 0x64, 0, 0, 0, 0, 0 },
	{ "empty event", 0, 0, 0, 0, 0, 0, 0 },

	{ "F1", 0x70, 0x3b, 0, 0, 2, 0, 59 },
	{ "F7 from Wine", 0x76, 0x41, 0, 0, 2, 0, 65 },
	{ "F9 from Wine", 0x78, 0x43, 0, 0, 2, 0, 67 },
	{ "F10", 0x79, 0x44, 0, 0, 2, 0, 68 },
	{ "Shift+F1 from Wine", 0x70, 0x3b, 0, SHIFT, 2, 0, 84 },
	{ "Shift+F10", 0x79, 0x44, 0, SHIFT, 2, 0, 93 },
	{ "Ctrl+F1", 0x70, 0x3b, 0, LCTRL, 2, 0, 94 },
	{ "right Ctrl+F5", 0x74, 0x3f, 0, RCTRL, 2, 0, 98 },
	{ "Ctrl+F10", 0x79, 0x44, 0, LCTRL, 2, 0, 103 },
	{ "Alt+F1", 0x70, 0x3b, 0, LALT, 2, 0, 104 },
	{ "right Alt+F2", 0x71, 0x3c, 0, RALT, 2, 0, 105 },
	{ "Alt+F10", 0x79, 0x44, 0, LALT, 2, 0, 113 },
	{ "Alt outranks Ctrl", 0x70, 0x3b, 0, LALT | LCTRL, 2, 0, 104 },
	{ "Ctrl outranks Shift", 0x70, 0x3b, 0, LCTRL | SHIFT, 2, 0, 94 },
	{ "F7 by scan code alone", 0, 0x41, 0, 0, 2, 0, 65 },
	{ "F11", 0x7a, 0x57, 0, 0, 2, 224, 133 },
	{ "F12", 0x7b, 0x58, 0, 0, 2, 224, 134 },
	{ "Shift+F11", 0x7a, 0x57, 0, SHIFT, 2, 224, 135 },
	{ "Shift+F12", 0x7b, 0x58, 0, SHIFT, 2, 224, 136 },
	{ "Ctrl+F11", 0x7a, 0x57, 0, LCTRL, 2, 224, 137 },
	{ "Ctrl+F12", 0x7b, 0x58, 0, RCTRL, 2, 224, 138 },
	{ "Alt+F11", 0x7a, 0x57, 0, LALT, 2, 224, 139 },
	{ "Alt+F12", 0x7b, 0x58, 0, RALT, 2, 224, 140 },

	{ "grey Home", 0x24, 0x47, 0, ENH, 2, 224, 71 },
	{ "grey Up", 0x26, 0x48, 0, ENH, 2, 224, 72 },
	{ "grey Page Up", 0x21, 0x49, 0, ENH, 2, 224, 73 },
	{ "grey Left", 0x25, 0x4b, 0, ENH, 2, 224, 75 },
	{ "grey Right", 0x27, 0x4d, 0, ENH, 2, 224, 77 },
	{ "grey End", 0x23, 0x4f, 0, ENH, 2, 224, 79 },
	{ "grey Down", 0x28, 0x50, 0, ENH, 2, 224, 80 },
	{ "grey Page Down", 0x22, 0x51, 0, ENH, 2, 224, 81 },
	{ "grey Insert", 0x2d, 0x52, 0, ENH, 2, 224, 82 },
	{ "grey Delete", 0x2e, 0x53, 0, ENH, 2, 224, 83 },
	{ "Shift+grey Up", 0x26, 0x48, 0, ENH | SHIFT, 2, 224, 72 },
	{ "Ctrl+grey Left", 0x25, 0x4b, 0, ENH | LCTRL, 2, 224, 115 },
	{ "Ctrl+grey Right", 0x27, 0x4d, 0, ENH | LCTRL, 2, 224, 116 },
	{ "Ctrl+grey End", 0x23, 0x4f, 0, ENH | LCTRL, 2, 224, 117 },
	{ "Ctrl+grey Page Down", 0x22, 0x51, 0, ENH | RCTRL, 2, 224, 118 },
	{ "Ctrl+grey Home", 0x24, 0x47, 0, ENH | LCTRL, 2, 224, 119 },
	{ "Ctrl+grey Page Up", 0x21, 0x49, 0, ENH | LCTRL, 2, 224, 134 },
	{ "Ctrl+grey Up", 0x26, 0x48, 0, ENH | LCTRL, 2, 224, 141 },
	{ "Ctrl+grey Down", 0x28, 0x50, 0, ENH | LCTRL, 2, 224, 145 },
	{ "Ctrl+grey Insert", 0x2d, 0x52, 0, ENH | LCTRL, 2, 224, 146 },
	{ "Ctrl+grey Delete", 0x2e, 0x53, 0, ENH | LCTRL, 2, 224, 147 },
	{ "Alt+grey Home", 0x24, 0x47, 0, ENH | LALT, 2, 0, 151 },
	{ "Alt+grey Up", 0x26, 0x48, 0, ENH | LALT, 2, 0, 152 },
	{ "Alt+grey Page Up", 0x21, 0x49, 0, ENH | LALT, 2, 0, 153 },
	{ "Alt+grey Left", 0x25, 0x4b, 0, ENH | LALT, 2, 0, 155 },
	{ "Alt+grey Right", 0x27, 0x4d, 0, ENH | RALT, 2, 0, 157 },
	{ "Alt+grey End", 0x23, 0x4f, 0, ENH | LALT, 2, 0, 159 },
	{ "Alt+grey Down", 0x28, 0x50, 0, ENH | LALT, 2, 0, 160 },
	{ "Alt+grey Page Down", 0x22, 0x51, 0, ENH | LALT, 2, 0, 161 },
	{ "Alt+grey Insert", 0x2d, 0x52, 0, ENH | LALT, 2, 0, 162 },
	{ "Alt+grey Delete", 0x2e, 0x53, 0, ENH | LALT, 2, 0, 163 },

	{ "number pad Home", 0x24, 0x47, 0, 0, 2, 0, 71 },
	{ "number pad Up, and Up from Wine", 0x26, 0x48, 0, 0, 2, 0, 72 },
	{ "number pad Page Down", 0x22, 0x51, 0, 0, 2, 0, 81 },
	{ "number pad Delete", 0x2e, 0x53, 0, 0, 2, 0, 83 },
	{ "Shift+Up from Wine", 0x26, 0x48, 0, SHIFT, 2, 0, 72 },
	{ "Ctrl+number pad Left", 0x25, 0x4b, 0, LCTRL, 2, 0, 115 },
	{ "Ctrl+number pad Page Up", 0x21, 0x49, 0, LCTRL, 2, 0, 132 },
	{ "Ctrl+number pad Up", 0x26, 0x48, 0, LCTRL, 2, 0, 141 },
	{ "Alt+number pad Up", 0x26, 0x48, 0, LALT, 2, 0, 152 },
	{ "Alt+number pad Page Up", 0x21, 0x49, 0, LALT, 2, 0, 153 },
	{ "Down by scan code alone", 0, 0x50, 0, ENH, 2, 224, 80 },
};

void
PrintTo(const key_case &c, std::ostream *os)
{
	*os << c.what;
}

class KeymapTest : public ::testing::TestWithParam<key_case> {};

TEST_P(KeymapTest, GivesTheRunTimeCodes)
{
	const key_case &c = GetParam();
	int codes[2] = { -7, -7 };

	int n = keymap_codes(c.vk, c.scan, c.ch, c.state, codes);
	EXPECT_EQ(n, c.count) << c.what;
	/* What a count of 0 or 1 leaves unwritten must keep its old value. */
	int first = c.count >= 1 ? c.first : -7;
	int second = c.count == 2 ? c.second : -7;
	EXPECT_EQ(codes[0], first) << c.what;
	EXPECT_EQ(codes[1], second) << c.what;
}

INSTANTIATE_TEST_SUITE_P(Keys, KeymapTest, ::testing::ValuesIn(key_cases));

/* A lead byte of 0 or 224 must be followed by a key code, and no code may
 * look like a lead byte to a reader that skips the pair. */
TEST(KeymapTables, EveryTwoCodeKeyHasALeadAndAKey)
{
	static const unsigned long states[] = {
		0, SHIFT, LCTRL, LALT,
		ENH, ENH | SHIFT, ENH | LCTRL, ENH | LALT,
	};
	int two_code_keys = 0;

	for (unsigned vk = 1; vk < 256; vk++) {
		for (unsigned long s : states) {
			int codes[2] = { -7, -7 };
			int n = keymap_codes(vk, 0, 0, s, codes);
			if (n != 2)
				continue;
			two_code_keys++;
			EXPECT_TRUE(codes[0] == 0 || codes[0] == 224)
			    << "vk " << vk << " state " << s;
			EXPECT_GT(codes[1], 0) << "vk " << vk;
			EXPECT_LT(codes[1], 224) << "vk " << vk;
		}
	}
	/* F1 to F12 and ten cursor keys, in each of the eight states. */
	EXPECT_EQ(two_code_keys, 22 * 8);
}

}
