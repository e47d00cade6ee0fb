/*
 * keymap.h - one key-down event of the Win32 console turned into the codes
 * a key read hands out, with the values of the Microsoft C run-time's
 * _getch.  Plain integers in and out and no Windows header, so the unit
 * tests on Linux build it too; the KEYMAP_ flags carry the documented bit
 * values of KEY_EVENT_RECORD.dwControlKeyState.
 */
#ifndef VKM_KEYMAP_H
#define VKM_KEYMAP_H

#define KEYMAP_RIGHT_ALT_PRESSED	0x0001UL
#define KEYMAP_LEFT_ALT_PRESSED		0x0002UL
#define KEYMAP_RIGHT_CTRL_PRESSED	0x0004UL
#define KEYMAP_LEFT_CTRL_PRESSED	0x0008UL
#define KEYMAP_SHIFT_PRESSED		0x0010UL
#define KEYMAP_ENHANCED_KEY		0x0100UL

/* Maps a key-down event (virtual key VK, scan code SCAN, ANSI character
 * CH, modifier state CTRL_STATE) to what the key read returns.
 * 2: a function or cursor key, CODES[0] is 0 or 224 and CODES[1] the key;
 * 1: CODES[0] holds the character (Escape reads as 27 even when the event
 * carries no character); 0: nothing to return (a modifier alone, Caps
 * Lock, a key the table does not know), CODES untouched. */
int keymap_codes(unsigned vk, unsigned scan, unsigned char ch,
    unsigned long ctrl_state, int codes[2]);

#endif
