/*
 * keycodes.cpp - the second codes of the function and cursor keys.
 */
#include "common/keycodes.h"

const unsigned char g_key_second_codes[KEY_COUNT][MOD_COUNT] = {
	{ 59, 84, 94, 104 },	/* F1 */
	{ 60, 85, 95, 105 },
	{ 61, 86, 96, 106 },
	{ 62, 87, 97, 107 },
	{ 63, 88, 98, 108 },
	{ 64, 89, 99, 109 },
	{ 65, 90, 100, 110 },	/* F7 */
	{ 66, 91, 101, 111 },
	{ 67, 92, 102, 112 },	/* F9 */
	{ 68, 93, 103, 113 },	/* F10 */
	{ 133, 135, 137, 139 },	/* F11 */
	{ 134, 136, 138, 140 },	/* F12 */
	{ 71, 71, 119, 151 },	/* Home */
	{ 72, 72, 141, 152 },	/* Up */
	{ 73, 73, 134, 153 },	/* Page Up: Ctrl clashes with F12 */
	{ 75, 75, 115, 155 },	/* Left */
	{ 77, 77, 116, 157 },	/* Right */
	{ 79, 79, 117, 159 },	/* End */
	{ 80, 80, 145, 160 },	/* Down */
	{ 81, 81, 118, 161 },	/* Page Down */
	{ 82, 82, 146, 162 },	/* Insert */
	{ 83, 83, 147, 163 },	/* Delete */
};

int
key_first_code(int key, int mod)
{
	if (key == KEY_F11 || key == KEY_F12)
		return 224;
	if (key >= KEY_HOME && key < KEY_COUNT)
		return mod == MOD_ALT ? 0 : 224;
	return 0;
}
