/*
 * keymap.cpp - console key events to _getch codes.
 */
#include "keymap.h"

#include <stddef.h>

#include "common/keycodes.h"

#define VK_ESCAPE_KEY	0x1b
#define SCAN_ESCAPE	0x01

#define ALT_PRESSED	(KEYMAP_RIGHT_ALT_PRESSED | KEYMAP_LEFT_ALT_PRESSED)
#define CTRL_PRESSED	(KEYMAP_RIGHT_CTRL_PRESSED | KEYMAP_LEFT_CTRL_PRESSED)

/* Ctrl+Page Up from the number pad keeps the PC BIOS value; the grey key
 * reads 134 like the run-time's table, which clashes with F12. */
#define NUMPAD_CTRL_PGUP	132

/* A key as the console event names it: virtual key and scan code. */
struct key_row {
	unsigned vk;
	unsigned scan;
	int key;		/* KEY_ of keycodes.h */
};

static const struct key_row function_keys[] = {
	{ 0x70, 0x3b, KEY_F1 },
	{ 0x71, 0x3c, KEY_F2 },
	{ 0x72, 0x3d, KEY_F3 },
	{ 0x73, 0x3e, KEY_F4 },
	{ 0x74, 0x3f, KEY_F5 },
	{ 0x75, 0x40, KEY_F6 },
	{ 0x76, 0x41, KEY_F7 },
	{ 0x77, 0x42, KEY_F8 },
	{ 0x78, 0x43, KEY_F9 },
	{ 0x79, 0x44, KEY_F10 },
	{ 0x7a, 0x57, KEY_F11 },
	{ 0x7b, 0x58, KEY_F12 },
};

/* Shift leaves a cursor key as it is.  The run-time drops a shifted
 * number-pad key instead, but a key press should never vanish: Wine
 * fault, seen in Wine 8.0 (Debian 8.0~repack-4): its console sends every
 * cursor key of a terminal as a number-pad one (no ENHANCED_KEY). */
static const struct key_row cursor_keys[] = {
	{ 0x24, 0x47, KEY_HOME },
	{ 0x26, 0x48, KEY_UP },
	{ 0x21, 0x49, KEY_PGUP },
	{ 0x25, 0x4b, KEY_LEFT },
	{ 0x27, 0x4d, KEY_RIGHT },
	{ 0x23, 0x4f, KEY_END },
	{ 0x28, 0x50, KEY_DOWN },
	{ 0x22, 0x51, KEY_PGDN },
	{ 0x2d, 0x52, KEY_INS },
	{ 0x2e, 0x53, KEY_DEL },
};

#define NELEM(a) (sizeof(a) / sizeof((a)[0]))

/* The row of TABLE for the key, or NULL.  An event that names its key by
 * scan code alone (virtual key 0) is still recognised. */
static const struct key_row *
find_key(const struct key_row *table, size_t n, unsigned vk, unsigned scan)
{
	for (size_t i = 0; i < n; i++) {
		if (vk != 0 ? table[i].vk == vk : table[i].scan == scan)
			return &table[i];
	}
	return NULL;
}

/* The modifier column of CTRL_STATE: Alt outranks Ctrl, Ctrl outranks
 * Shift, as in the run-time. */
static int
column(unsigned long ctrl_state)
{
	if (ctrl_state & ALT_PRESSED)
		return MOD_ALT;
	if (ctrl_state & CTRL_PRESSED)
		return MOD_CTRL;
	if (ctrl_state & KEYMAP_SHIFT_PRESSED)
		return MOD_SHIFT;
	return MOD_PLAIN;
}

/* A grey cursor key (ENHANCED_KEY) reads as the table has it; a
 * number-pad one starts with 0 instead. */
static int
cursor_codes(const struct key_row *row, unsigned long ctrl_state,
    int codes[2])
{
	int mod = column(ctrl_state);

	codes[1] = g_key_second_codes[row->key][mod];
	if (ctrl_state & KEYMAP_ENHANCED_KEY)
		codes[0] = key_first_code(row->key, mod);
	else {
		codes[0] = 0;
		if (row->key == KEY_PGUP && mod == MOD_CTRL)
			codes[1] = NUMPAD_CTRL_PGUP;
	}
	return 2;
}

int
keymap_codes(unsigned vk, unsigned scan, unsigned char ch,
    unsigned long ctrl_state, int codes[2])
{
	const struct key_row *row;

	if (ch != 0) {
		codes[0] = ch;
		return 1;
	}
	/* Wine fault, seen in Wine 8.0 (Debian 8.0~repack-4): its console,
	 * in input mode 0, hands Escape over without its character. */
	if (vk == VK_ESCAPE_KEY || (vk == 0 && scan == SCAN_ESCAPE)) {
		codes[0] = 27;
		return 1;
	}
	row = find_key(function_keys, NELEM(function_keys), vk, scan);
	if (row != NULL) {
		codes[0] = key_first_code(row->key, column(ctrl_state));
		codes[1] = g_key_second_codes[row->key][column(ctrl_state)];
		return 2;
	}
	row = find_key(cursor_keys, NELEM(cursor_keys), vk, scan);
	if (row != NULL)
		return cursor_codes(row, ctrl_state, codes);
	return 0;
}
