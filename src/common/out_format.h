/*
 * out_format.h - the program's formatted output, with everything that
 * comes from the system shown safely.
 *
 * Names, values and paths read from a registry or a disk are data: a
 * control byte in them must not reach the terminal, where it could move
 * the cursor, retitle the window or make the terminal answer a query as
 * if keys were typed.  Every %s argument is therefore filtered; line ends
 * and tabs of the output come from the format strings only.  The console
 * of each system says how its text is encoded.
 */
#ifndef VKM_OUT_FORMAT_H
#define VKM_OUT_FORMAT_H

#include <stdarg.h>
#include <stddef.h>

/* Flag: the text is UTF-8 (Linux), so the C1 controls U+0080..U+009F and
 * bytes that belong to no valid UTF-8 sequence are shown as '?' too.
 * Without it (a Windows ANSI code page) 0x80..0xFF are characters. */
#define OUT_UTF8 1

/* Receives one piece of the composed text; pieces come in order and are
 * not NUL-terminated. */
typedef void (*out_write_fn)(const char *text, size_t len);

/* Composes FMT with AP and hands the text to WRITE in pieces of a fixed
 * buffer, so no output is cut however long.  Placeholders: %s (shown
 * through the filter: bytes below 0x20 and 0x7F as '?', and with OUT_UTF8
 * in FLAGS what that flag names), %d and %%.
 * 1: all written; -1: FMT holds another placeholder, and it and the rest
 * of FMT are written as they stand, no further argument taken. */
int out_vformat(int flags, out_write_fn write, const char *fmt, va_list ap);

/* How the text of this system's console is encoded: OUT_UTF8 or 0.  Set
 * by each console (platform/<system>/console.cpp) for platform/print.cpp. */
extern const int g_console_text_flags;

#endif
