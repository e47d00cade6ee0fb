// Terminal key sequences to the codes of Windows' single-key read.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/unix/keyseq.h"

namespace {

const int T = KEYSEQ_NONE;	// no byte came within the wait
const int E = 27;		// Escape

// Feeds INPUT byte by byte, as the console would, and returns every code
// the decoder hands out, in order.
std::vector<int>
decode(const std::vector<int> &input)
{
	struct keyseq ks;
	std::vector<int> out;
	int codes[2];

	keyseq_init(&ks);
	for (int b : input) {
		int n = keyseq_feed(&ks, b, codes);
		for (int i = 0; i < n; i++)
			out.push_back(codes[i]);
	}
	return out;
}

// The bytes of TEXT, Escape included wherever the text has "\x1b".
std::vector<int>
bytes(const std::string &text)
{
	std::vector<int> v;
	for (unsigned char c : text)
		v.push_back(c);
	return v;
}

std::vector<int>
operator+(std::vector<int> a, const std::vector<int> &b)
{
	a.insert(a.end(), b.begin(), b.end());
	return a;
}

struct KeyCase {
	const char *name;
	std::vector<int> input;
	std::vector<int> codes;
};

const KeyCase key_cases[] = {
	// Plain bytes pass through one code each.
	{ "letter y", bytes("y"), { 'y' } },
	{ "capital N", bytes("N"), { 'N' } },
	{ "Enter is CR", { 13 }, { 13 } },
	{ "Ctrl-C", { 3 }, { 3 } },
	{ "DEL byte", { 127 }, { 127 } },
	{ "Ctrl-@ reads as 0 then 3", { 0 }, { 0, 3 } },
	{ "UTF-8 two bytes", { 0xC3, 0xA9 }, { 0xC3, 0xA9 } },
	{ "UTF-8 three bytes", { 0xE2, 0x82, 0xAC }, { 0xE2, 0x82, 0xAC } },
	{ "byte 224 alone", { 0xE0 }, { 224 } },
	{ "several keys", bytes("yan"), { 'y', 'a', 'n' } },

	// Escape alone: known only when nothing follows in time.
	{ "lone Escape", { E, T }, { 27 } },
	{ "Escape then a key later", { E, T, 'y' }, { 27, 'y' } },
	{ "two Escapes", { E, E, T }, { 27, 27 } },
	{ "Escape, Escape, arrow", { E, E, '[', 'A' }, { 27, 224, 72 } },
	{ "timeout at rest gives nothing", { T, T, 'n' }, { 'n' } },

	// SS3 function keys and cursor keys.
	{ "F1 SS3", bytes("\x1bOP"), { 0, 59 } },
	{ "F2 SS3", bytes("\x1bOQ"), { 0, 60 } },
	{ "F3 SS3", bytes("\x1bOR"), { 0, 61 } },
	{ "F4 SS3", bytes("\x1bOS"), { 0, 62 } },
	{ "Home SS3", bytes("\x1bOH"), { 224, 71 } },
	{ "End SS3", bytes("\x1bOF"), { 224, 79 } },
	{ "Up SS3 (application mode)", bytes("\x1bOA"), { 224, 72 } },
	{ "Shift+F1 old xterm", bytes("\x1bO2P"), { 0, 84 } },
	{ "Ctrl+F4 old xterm", bytes("\x1bO5S"), { 0, 97 } },
	{ "Alt+F2 SS3 with 1;3", bytes("\x1bO1;3Q"), { 0, 105 } },

	// CSI cursor keys.
	{ "Up", bytes("\x1b[A"), { 224, 72 } },
	{ "Down", bytes("\x1b[B"), { 224, 80 } },
	{ "Right", bytes("\x1b[C"), { 224, 77 } },
	{ "Left", bytes("\x1b[D"), { 224, 75 } },
	{ "Home", bytes("\x1b[H"), { 224, 71 } },
	{ "End", bytes("\x1b[F"), { 224, 79 } },
	{ "Home 1~", bytes("\x1b[1~"), { 224, 71 } },
	{ "Ins 2~", bytes("\x1b[2~"), { 224, 82 } },
	{ "Del 3~", bytes("\x1b[3~"), { 224, 83 } },
	{ "End 4~", bytes("\x1b[4~"), { 224, 79 } },
	{ "PgUp 5~", bytes("\x1b[5~"), { 224, 73 } },
	{ "PgDn 6~", bytes("\x1b[6~"), { 224, 81 } },
	{ "Home 7~ (rxvt)", bytes("\x1b[7~"), { 224, 71 } },
	{ "End 8~ (rxvt)", bytes("\x1b[8~"), { 224, 79 } },
	{ "Up with 1 and no modifier", bytes("\x1b[1A"), { 224, 72 } },
	{ "Up with modifier 1", bytes("\x1b[1;1A"), { 224, 72 } },

	// Shift leaves cursor keys as they are.
	{ "Shift+Up", bytes("\x1b[1;2A"), { 224, 72 } },
	{ "Shift+Del", bytes("\x1b[3;2~"), { 224, 83 } },

	// Ctrl cursor keys: the run-time's own numbers.
	{ "Ctrl+Home", bytes("\x1b[1;5H"), { 224, 119 } },
	{ "Ctrl+Up", bytes("\x1b[1;5A"), { 224, 141 } },
	{ "Ctrl+PgUp", bytes("\x1b[5;5~"), { 224, 134 } },
	{ "Ctrl+Left", bytes("\x1b[1;5D"), { 224, 115 } },
	{ "Ctrl+Right", bytes("\x1b[1;5C"), { 224, 116 } },
	{ "Ctrl+End", bytes("\x1b[1;5F"), { 224, 117 } },
	{ "Ctrl+Down", bytes("\x1b[1;5B"), { 224, 145 } },
	{ "Ctrl+PgDn", bytes("\x1b[6;5~"), { 224, 118 } },
	{ "Ctrl+Ins", bytes("\x1b[2;5~"), { 224, 146 } },
	{ "Ctrl+Del", bytes("\x1b[3;5~"), { 224, 147 } },
	{ "Ctrl+Shift+Up is Ctrl", bytes("\x1b[1;6A"), { 224, 141 } },

	// Alt cursor keys come with 0 first.
	{ "Alt+Home", bytes("\x1b[1;3H"), { 0, 151 } },
	{ "Alt+Up", bytes("\x1b[1;3A"), { 0, 152 } },
	{ "Alt+PgUp", bytes("\x1b[5;3~"), { 0, 153 } },
	{ "Alt+Left", bytes("\x1b[1;3D"), { 0, 155 } },
	{ "Alt+Right", bytes("\x1b[1;3C"), { 0, 157 } },
	{ "Alt+End", bytes("\x1b[1;3F"), { 0, 159 } },
	{ "Alt+Down", bytes("\x1b[1;3B"), { 0, 160 } },
	{ "Alt+PgDn", bytes("\x1b[6;3~"), { 0, 161 } },
	{ "Alt+Ins", bytes("\x1b[2;3~"), { 0, 162 } },
	{ "Alt+Del", bytes("\x1b[3;3~"), { 0, 163 } },
	{ "Ctrl+Alt+Up is Alt", bytes("\x1b[1;7A"), { 0, 152 } },

	// Modifier combinations on function keys: Alt over Ctrl over Shift.
	{ "Shift+Alt+F1 is Alt", bytes("\x1b[1;4P"), { 0, 104 } },
	{ "Ctrl+Shift+F4 is Ctrl", bytes("\x1b[1;6S"), { 0, 97 } },
	{ "Ctrl+Alt+F1 is Alt", bytes("\x1b[1;7P"), { 0, 104 } },
	{ "all three on F12 is Alt", bytes("\x1b[24;8~"), { 224, 140 } },

	// Linux console.
	{ "Linux F1", bytes("\x1b[[A"), { 0, 59 } },
	{ "Linux F2", bytes("\x1b[[B"), { 0, 60 } },
	{ "Linux F3", bytes("\x1b[[C"), { 0, 61 } },
	{ "Linux F4", bytes("\x1b[[D"), { 0, 62 } },
	{ "Linux F5", bytes("\x1b[[E"), { 0, 63 } },

	// rxvt.
	{ "rxvt Ctrl+F1", bytes("\x1b[11^"), { 0, 94 } },
	{ "rxvt Shift+Del", bytes("\x1b[3$"), { 224, 83 } },
	{ "rxvt Ctrl+Shift+PgUp", bytes("\x1b[5@"), { 224, 134 } },
	{ "rxvt Shift+Up", bytes("\x1b[a"), { 224, 72 } },
	{ "rxvt Ctrl+Down", bytes("\x1bOb"), { 224, 145 } },

	{ "Shift+Tab", bytes("\x1b[Z"), { 0, 15 } },

	// Sequences of no key we report: dropped whole, nothing typed.
	{ "keypad 5", bytes("\x1b[E"), {} },
	{ "F13", bytes("\x1b[25~"), {} },
	{ "number 10", bytes("\x1b[10~"), {} },
	{ "number 16", bytes("\x1b[16~"), {} },
	{ "no number", bytes("\x1b[~"), {} },
	{ "paste start", bytes("\x1b[200~"), {} },
	{ "device reply", bytes("\x1b[?1;2c"), {} },
	{ "modifyOtherKeys", bytes("\x1b[27;5;13~"), {} },
	{ "meta modifier", bytes("\x1b[1;9A"), {} },
	{ "modifier 0", bytes("\x1b[1;0A"), {} },
	{ "first number not 1", bytes("\x1b[2;5A"), {} },
	{ "intermediate byte", bytes("\x1b[1 ~"), {} },
	{ "rxvt with modifier", bytes("\x1b[11;2^"), {} },
	{ "Linux console unknown", bytes("\x1b[[Z"), {} },
	{ "SS3 keypad", bytes("\x1bOp"), {} },
	{ "Alt+x", bytes("\x1bx"), {} },
	{ "Alt+Ctrl-C", { E, 3 }, {} },
	{ "Alt+e acute", { E, 0xC3, 0xA9 }, {} },
	{ "Alt+euro", { E, 0xE2, 0x82, 0xAC }, {} },
	{ "unknown then key", bytes("\x1b[25~y"), { 'y' } },
	{ "Alt+x then key", bytes("\x1bxn"), { 'n' } },
	{ "key after known sequence", bytes("\x1b[Ay"), { 224, 72, 'y' } },
	{ "huge number", bytes("\x1b[" + std::string(500, '1') + "~n"),
	    { 'n' } },
	{ "huge number, small after", bytes("\x1b[99999;5A"), {} },
	{ "many parameters", bytes("\x1b[1;2;3;4;5;6A"), {} },

	// The terminal's replies: swallowed whole, whatever letters they
	// hold, and the key after them counts.
	{ "colour reply, BEL", bytes("\x1b]4;145;rgb:aaaa/aaaa/aaaa\an"),
	    { 'n' } },
	{ "colour reply, ST", bytes("\x1b]11;rgb:ffff/ffff/ffff\x1b\\y"),
	    { 'y' } },
	{ "8-bit OSC and ST", std::vector<int>{ 0x9D } +
	    bytes("4;1;rgb:aaaa/aaaa/aaaa") + std::vector<int>{ 0x9C, 'n' },
	    { 'n' } },
	{ "8-bit OSC, BEL", { 0x9D, 'a', 7, 'y' }, { 'y' } },
	{ "OSC and ST as UTF-8 C1", { 0xC2, 0x9D, 'a', 0xC2, 0x9C, 'n' },
	    { 0xC2, 'n' } },
	{ "9C inside a character is no ST", bytes("\x1b]l") +
	    std::vector<int>{ 0xC4, 0x9C } + bytes("ay\x1b\\n"), { 'n' } },
	{ "DCS reply", bytes("\x1bP1$r0;1m\x1b\\n"), { 'n' } },
	{ "8-bit DCS", std::vector<int>{ 0x90 } + bytes("1$ry") +
	    std::vector<int>{ 0x9C, 'n' }, { 'n' } },
	{ "BEL does not end DCS", bytes("\x1bPa\ay\x1b\\n"), { 'n' } },
	{ "APC reply", bytes("\x1b_Gi=1;OK\x1b\\n"), { 'n' } },
	{ "PM", bytes("\x1b^ay\x1b\\n"), { 'n' } },
	{ "SOS", bytes("\x1bXcan\x1b\\y"), { 'y' } },
	{ "8-bit APC, PM, SOS", { 0x9F, 'a', 0x9C, 0x9E, 'c', 0x9C, 0x98, 'y',
	    0x9C, 'n' }, { 'n' } },
	{ "long string has no limit", bytes("\x1b]52;c;" +
	    std::string(20000, 'a') + "\an"), { 'n' } },
	{ "unterminated string ends when quiet", bytes("\x1b]4;1;rgb:aa") +
	    std::vector<int>{ T, 'y' }, { 'y' } },
	{ "Alt+] alone, then a key later", { E, ']', T, 'n' }, { 'n' } },
	{ "string's Escape then quiet is no Escape", { E, ']', 'a', E, T,
	    'y' }, { 'y' } },
	{ "ESC ESC inside a string", bytes("\x1b]a\x1b\x1b\\n"), { 'n' } },
	{ "a new sequence ends a string", bytes("\x1b]ab\x1b[A"),
	    { 224, 72 } },
	{ "cursor position reply", bytes("\x1b[12;5Rn"), { 'n' } },
	{ "device attributes then key", bytes("\x1b[?1;2cy"), { 'y' } },
	{ "secondary device attributes", bytes("\x1b[>41;330;0cn"), { 'n' } },
	{ "private mode reply", bytes("\x1b[?2026;2$yn"), { 'n' } },
	{ "mode reply", bytes("\x1b[4;1$yn"), { 'n' } },
	{ "status reply", bytes("\x1b[0ny"), { 'y' } },
	{ "unknown finals", bytes("\x1b[5x\x1b[1;2q\x1b[7m\x1b[3 qn"),
	    { 'n' } },
	{ "8-bit CSI reply", std::vector<int>{ 0x9B } + bytes("12;5Rn"),
	    { 'n' } },
	{ "8-bit CSI key", { 0x9B, 'A' }, { 224, 72 } },
	{ "8-bit SS3 key", { 0x8F, 'P' }, { 0, 59 } },
	{ "other C1 controls are no key", { 0x85, 0x9C, 0xC2, 0x8D, 'y' },
	    { 0xC2, 'y' } },
	{ "9D inside a character passes", { 0xC5, 0x9D, 'y' },
	    { 0xC5, 0x9D, 'y' } },
	{ "stray continuation byte passes", { 0xA9 }, { 0xA9 } },
	{ "NUL then key", { 0, 'n' }, { 0, 3, 'n' } },

	// Sequences cut short: what came is dropped, what follows counts.
	{ "CSI then timeout", { E, '[', T, 'y' }, { 'y' } },
	{ "SS3 then timeout", { E, 'O', T }, {} },
	{ "half a modifier then timeout", bytes("\x1b[1;5") + std::vector<int>{ T },
	    {} },
	{ "Linux prefix then timeout", { E, '[', '[', T, 'a' }, { 'a' } },
	{ "Alt+UTF-8 cut short", { E, 0xE2, 0x82, T, 'y' }, { 'y' } },
	{ "Alt+UTF-8 cut by ASCII", { E, 0xE2, 'y' }, { 'y' } },
	{ "CSI cut by Ctrl-C", bytes("\x1b[1;") + std::vector<int>{ 3 },
	    { 3 } },
	{ "CSI cut by UTF-8", bytes("\x1b[") + std::vector<int>{ 0xC3, 0xA9 },
	    { 0xC3, 0xA9 } },
	{ "CSI cut by a new sequence", bytes("\x1b[1\x1b[B"), { 224, 80 } },
	{ "SS3 cut by Escape alone", { E, 'O', E, T }, { 27 } },
	{ "Linux prefix cut by Enter", { E, '[', '[', 13 }, { 13 } },
};

TEST(KeySeq, DecodesTable)
{
	for (const KeyCase &c : key_cases) {
		SCOPED_TRACE(c.name);
		EXPECT_EQ(decode(c.input), c.codes);
	}
}

// Every function key with each modifier, in the forms xterm sends.
TEST(KeySeq, FunctionKeysWithModifiers)
{
	// Parameter of ESC [ n ~ per key; F1-F4 use ESC [ 1 ; m P..S.
	const int tilde[12] = { 0, 0, 0, 0, 15, 17, 18, 19, 20, 21, 23, 24 };
	struct {
		const char *name;
		int modifier;	// xterm's parameter; 0: none sent
		int first[12];
		int second[12];
	} const rows[] = {
		{ "plain", 0,
		    { 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 224, 224 },
		    { 59, 60, 61, 62, 63, 64, 65, 66, 67, 68, 133, 134 } },
		{ "Shift", 2,
		    { 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 224, 224 },
		    { 84, 85, 86, 87, 88, 89, 90, 91, 92, 93, 135, 136 } },
		{ "Ctrl", 5,
		    { 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 224, 224 },
		    { 94, 95, 96, 97, 98, 99, 100, 101, 102, 103, 137, 138 } },
		{ "Alt", 3,
		    { 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 224, 224 },
		    { 104, 105, 106, 107, 108, 109, 110, 111, 112, 113, 139,
		    140 } },
	};

	for (const auto &row : rows) {
		for (int k = 0; k < 12; k++) {
			std::string seq = "\x1b[";
			std::string mod = row.modifier != 0 ?
			    ";" + std::to_string(row.modifier) : "";
			if (k < 4)
				seq += (row.modifier != 0 ? "1" + mod : "") +
				    std::string(1, "PQRS"[k]);
			else
				seq += std::to_string(tilde[k]) + mod + "~";
			SCOPED_TRACE(std::string(row.name) + " F" +
			    std::to_string(k + 1));
			EXPECT_EQ(decode(bytes(seq)),
			    (std::vector<int>{ row.first[k], row.second[k] }));
		}
	}
	// F1-F4 also come as ESC [ 11~ .. 14~.
	for (int k = 0; k < 4; k++) {
		SCOPED_TRACE("F" + std::to_string(k + 1) + " as tilde");
		EXPECT_EQ(decode(bytes("\x1b[" + std::to_string(11 + k) + "~")),
		    (std::vector<int>{ 0, 59 + k }));
	}
}

// Until a sequence ends, each byte answers "more" and the decoder says it
// is waiting; the last byte gives the key and the decoder is at rest.
TEST(KeySeq, WaitsInsideSequences)
{
	const std::vector<int> seqs[] = {
		bytes("\x1b[1;5A"), bytes("\x1bOP"), bytes("\x1b[24;3~"),
		bytes("\x1b[[E"), bytes("\x1b[11^"),
	};
	for (const auto &seq : seqs) {
		struct keyseq ks;
		int codes[2] = { -1, -1 };

		keyseq_init(&ks);
		EXPECT_EQ(keyseq_pending(&ks), 0);
		for (size_t i = 0; i + 1 < seq.size(); i++) {
			SCOPED_TRACE("byte " + std::to_string(i));
			EXPECT_EQ(keyseq_feed(&ks, seq[i], codes), -1);
			EXPECT_EQ(keyseq_pending(&ks), 1);
		}
		EXPECT_EQ(keyseq_feed(&ks, seq.back(), codes), 2);
		EXPECT_EQ(keyseq_pending(&ks), 0);
	}
}

// The return value tells "dropped" (0) from "more" (-1) and from codes.
TEST(KeySeq, ReturnValues)
{
	struct {
		const char *name;
		std::vector<int> input;
		int last;	// what the last byte returns
		int pending;	// keyseq_pending after it
		int wait;	// keyseq_wait_ms after it
	} const cases[] = {
		{ "plain byte", { 'y' }, 1, 0, -1 },
		{ "Escape waits", { E }, -1, 1, KEYSEQ_WAIT_MS },
		{ "Escape alone", { E, T }, 1, 0, -1 },
		{ "second Escape starts anew", { E, E }, 1, 1, KEYSEQ_WAIT_MS },
		{ "unknown sequence dropped", bytes("\x1b[25~"), 0, 0, -1 },
		{ "Alt+key dropped", bytes("\x1bq"), 0, 0, -1 },
		{ "cut short by timeout", { E, '[', '1', T }, 0, 0, -1 },
		{ "cut by Escape", { E, '[', '1', E }, -1, 1, KEYSEQ_WAIT_MS },
		{ "nothing at rest", { T }, 0, 0, -1 },
		{ "out of range byte", { 256 }, 0, 0, -1 },
		{ "SS3 waits short", { E, 'O' }, -1, 1, KEYSEQ_WAIT_MS },
		{ "CSI waits for a reply", { E, '[', '1' }, -1, 1,
		    KEYSEQ_REPLY_WAIT_MS },
		{ "string waits", bytes("\x1b]4;1"), -1, 1, KEYSEQ_REPLY_WAIT_MS },
		{ "string's Escape waits", bytes("\x1bPx\x1b"), -1, 1,
		    KEYSEQ_REPLY_WAIT_MS },
		{ "string ended by BEL", bytes("\x1b]4\a"), 0, 0, -1 },
		{ "string ended by ST", bytes("\x1b_x\x1b\\"), 0, 0, -1 },
		{ "string dropped when quiet", { E, 'X', 'a', T }, 0, 0, -1 },
		{ "C1 control dropped", { 0x85 }, 0, 0, -1 },
	};
	for (const auto &c : cases) {
		struct keyseq ks;
		int codes[2], r = 99;

		SCOPED_TRACE(c.name);
		keyseq_init(&ks);
		for (int b : c.input)
			r = keyseq_feed(&ks, b, codes);
		EXPECT_EQ(r, c.last);
		EXPECT_EQ(keyseq_pending(&ks), c.pending);
		EXPECT_EQ(keyseq_wait_ms(&ks), c.wait);
	}
}

}  // namespace
