/*
 * keymap.cpp - console key events to _getch codes.
 */
#include "keymap.h"

#include <stddef.h>

#define VK_ESCAPE_KEY	0x1b
#define SCAN_ESCAPE	0x01

#define ALT_PRESSED	(KEYMAP_RIGHT_ALT_PRESSED | KEYMAP_LEFT_ALT_PRESSED)
#define CTRL_PRESSED	(KEYMAP_RIGHT_CTRL_PRESSED | KEYMAP_LEFT_CTRL_PRESSED)

/* Ctrl+Page Up from the number pad keeps the PC BIOS value; the grey key
 * reads 134 like the run-time's table, which clashes with F12. */
#define NUMPAD_CTRL_PGUP	132
#define VK_PRIOR_KEY		0x21

struct key_row {
	unsigned vk;
	unsigned scan;
	unsigned char plain, shift, ctrl, alt;
};

static const struct key_row function_keys[] = {
	{ 0x70, 0x3b, 59, 84, 94, 104 },	/* F1 */
	{ 0x71, 0x3c, 60, 85, 95, 105 },
	{ 0x72, 0x3d, 61, 86, 96, 106 },
	{ 0x73, 0x3e, 62, 87, 97, 107 },
	{ 0x74, 0x3f, 63, 88, 98, 108 },
	{ 0x75, 0x40, 64, 89, 99, 109 },
	{ 0x76, 0x41, 65, 90, 100, 110 },	/* F7 */
	{ 0x77, 0x42, 66, 91, 101, 111 },
	{ 0x78, 0x43, 67, 92, 102, 112 },	/* F9 */
	{ 0x79, 0x44, 68, 93, 103, 113 },	/* F10 */
	{ 0x7a, 0x57, 133, 135, 137, 139 },	/* F11 */
	{ 0x7b, 0x58, 134, 136, 138, 140 },	/* F12 */
};

/* Shift leaves a cursor key as it is.  The run-time drops a shifted
 * number-pad key instead, but Wine sends every cursor key of a terminal
 * as a number-pad one, and a key press should never vanish. */
static const struct key_row cursor_keys[] = {
	{ 0x24, 0x47, 71, 71, 119, 151 },	/* Home */
	{ 0x26, 0x48, 72, 72, 141, 152 },	/* Up */
	{ 0x21, 0x49, 73, 73, 134, 153 },	/* Page Up */
	{ 0x25, 0x4b, 75, 75, 115, 155 },	/* Left */
	{ 0x27, 0x4d, 77, 77, 116, 157 },	/* Right */
	{ 0x23, 0x4f, 79, 79, 117, 159 },	/* End */
	{ 0x28, 0x50, 80, 80, 145, 160 },	/* Down */
	{ 0x22, 0x51, 81, 81, 118, 161 },	/* Page Down */
	{ 0x2d, 0x52, 82, 82, 146, 162 },	/* Insert */
	{ 0x2e, 0x53, 83, 83, 147, 163 },	/* Delete */
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

/* Alt outranks Ctrl, Ctrl outranks Shift, as in the run-time. */
static int
column(const struct key_row *row, unsigned long ctrl_state)
{
	if (ctrl_state & ALT_PRESSED)
		return row->alt;
	if (ctrl_state & CTRL_PRESSED)
		return row->ctrl;
	if (ctrl_state & KEYMAP_SHIFT_PRESSED)
		return row->shift;
	return row->plain;
}

static int
cursor_codes(const struct key_row *row, unsigned long ctrl_state,
    int codes[2])
{
	codes[1] = column(row, ctrl_state);
	if (ctrl_state & ALT_PRESSED)
		codes[0] = 0;
	else if (ctrl_state & KEYMAP_ENHANCED_KEY)
		codes[0] = 224;
	else {
		codes[0] = 0;
		if (row->vk == VK_PRIOR_KEY && (ctrl_state & CTRL_PRESSED))
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
	/* Wine's console, in mode 0, hands Escape over without its
	 * character. */
	if (vk == VK_ESCAPE_KEY || (vk == 0 && scan == SCAN_ESCAPE)) {
		codes[0] = 27;
		return 1;
	}
	row = find_key(function_keys, NELEM(function_keys), vk, scan);
	if (row != NULL) {
		codes[0] = row->plain >= 133 ? 224 : 0;
		codes[1] = column(row, ctrl_state);
		return 2;
	}
	row = find_key(cursor_keys, NELEM(cursor_keys), vk, scan);
	if (row != NULL)
		return cursor_codes(row, ctrl_state, codes);
	return 0;
}
