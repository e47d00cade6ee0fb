/*
 * console.cpp (Windows) - output through the C run-time, keys straight
 * from the console input buffer.
 *
 * Keys are read from CONIN$ rather than standard input so that a question
 * still reaches the user when input or output is redirected.  The run-time's
 * _getch is not used, so the codes come from keymap.cpp over
 * ReadConsoleInputA: Wine fault, seen in Wine 8.0 (Debian 8.0~repack-4):
 * its _getch loses the function keys.
 */
#include <windows.h>

#include <stdio.h>

#include "keymap.h"
#include "common/out_format.h"
#include "platform/platform.h"

static_assert(KEYMAP_RIGHT_ALT_PRESSED == RIGHT_ALT_PRESSED, "state bits");
static_assert(KEYMAP_LEFT_ALT_PRESSED == LEFT_ALT_PRESSED, "state bits");
static_assert(KEYMAP_RIGHT_CTRL_PRESSED == RIGHT_CTRL_PRESSED, "state bits");
static_assert(KEYMAP_LEFT_CTRL_PRESSED == LEFT_CTRL_PRESSED, "state bits");
static_assert(KEYMAP_SHIFT_PRESSED == SHIFT_PRESSED, "state bits");
static_assert(KEYMAP_ENHANCED_KEY == ENHANCED_KEY, "state bits");

static HANDLE g_console_in = INVALID_HANDLE_VALUE;
static int g_second_code = -1;	/* owed from the last two-code key */

/* The text is the ANSI code page, where 0x80..0xFF are characters. */
const int g_console_text_flags = 0;

/* 1 when the console input handle is open; opened once and kept, so keys
 * typed ahead between two questions stay in its buffer. */
static int
open_console_input(void)
{
	if (g_console_in != INVALID_HANDLE_VALUE)
		return 1;
	g_console_in = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE,
	    FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
	return g_console_in != INVALID_HANDLE_VALUE;
}

/* Reads events until a key-down that yields codes.  Returns their number
 * (1 or 2) with CODES filled, or -1 when the read fails or comes back
 * empty. */
static int
read_key_codes(int codes[2])
{
	INPUT_RECORD rec;
	DWORD got;
	int n;

	for (;;) {
		if (!ReadConsoleInputA(g_console_in, &rec, 1, &got) || got == 0)
			return -1;
		if (rec.EventType != KEY_EVENT || !rec.Event.KeyEvent.bKeyDown)
			continue;
		n = keymap_codes(rec.Event.KeyEvent.wVirtualKeyCode,
		    rec.Event.KeyEvent.wVirtualScanCode,
		    (unsigned char)rec.Event.KeyEvent.uChar.AsciiChar,
		    rec.Event.KeyEvent.dwControlKeyState, codes);
		if (n > 0)
			return n;
	}
}

int
plat_read_key(void)
{
	DWORD saved_mode;
	BOOL have_mode;
	int codes[2], n, code;

	if (g_second_code >= 0) {
		code = g_second_code;
		g_second_code = -1;
		return code;
	}
	if (!open_console_input())
		return -1;
	/* Mode 0: no line editing, no echo, and Ctrl-C arrives as the
	 * character 3 instead of ending the program mid-question. */
	have_mode = GetConsoleMode(g_console_in, &saved_mode);
	SetConsoleMode(g_console_in, 0);
	n = read_key_codes(codes);
	if (have_mode)
		SetConsoleMode(g_console_in, saved_mode);
	if (n < 0)
		return -1;
	if (n == 2)
		g_second_code = codes[1];
	return codes[0];
}
