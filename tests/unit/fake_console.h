/*
 * fake_console.h - the console of the unit tests: output is captured in a
 * buffer and keys come from a script; the user's rights are what the
 * test says.  Linked in place of the platform's console.cpp and
 * rights.cpp.
 */
#ifndef VKM_FAKE_CONSOLE_H
#define VKM_FAKE_CONSOLE_H

#include <string>
#include <vector>

/* Clears the captured output and loads KEYS; once they run out, the key
 * read returns -1, as with no console. */
void fake_console_reset(const std::vector<int> &keys);

/* Everything plat_printf wrote since the last reset. */
const std::string &fake_console_output(void);

/* How many keys were read since the last reset (reads of -1 included). */
int fake_console_reads(void);

/* What plat_elevated answers from now on (1 at the start). */
void fake_console_set_elevated(int answer);

#endif
