/*
 * keycodes.h - what Windows' single-key read (_getch) returns for the
 * function and cursor keys: 0 or 224, then a second code that depends on
 * the key and on Shift, Ctrl or Alt.  The Win32 console (platform/win,
 * keymap.cpp) and the terminal decoder (platform/unix, keyseq.cpp) both
 * hand out these codes, from this one table.
 */
#ifndef VKM_KEYCODES_H
#define VKM_KEYCODES_H

/* The keys, in the order of the table. */
enum {
	KEY_F1, KEY_F2, KEY_F3, KEY_F4, KEY_F5, KEY_F6, KEY_F7, KEY_F8,
	KEY_F9, KEY_F10, KEY_F11, KEY_F12,
	KEY_HOME, KEY_UP, KEY_PGUP, KEY_LEFT, KEY_RIGHT, KEY_END, KEY_DOWN,
	KEY_PGDN, KEY_INS, KEY_DEL,
	KEY_COUNT
};

/* Modifier columns, in the order the run-time checks them: Alt before
 * Ctrl before Shift. */
enum { MOD_PLAIN, MOD_SHIFT, MOD_CTRL, MOD_ALT, MOD_COUNT };

/* The second code of KEY under modifier column MOD.  Shift leaves a
 * cursor key as it is. */
extern const unsigned char g_key_second_codes[KEY_COUNT][MOD_COUNT];

/* The first code of KEY under MOD, as the grey (not number-pad) key
 * gives it: 224 for F11, F12 and the cursor keys, 0 for F1 to F10 and
 * for any cursor key with Alt.  0 for a KEY out of range. */
int key_first_code(int key, int mod);

#endif
