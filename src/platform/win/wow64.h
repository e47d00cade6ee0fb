/*
 * wow64.h (Windows) - the file-system redirection of a 32-bit program on
 * 64-bit Windows, which shows it SysWOW64 in place of system32: off for
 * the whole run, and back on only while a system call runs that loads
 * DLLs of its own (the system's driver-package removal), since those
 * must come from the 32-bit folder.
 */
#ifndef VKM_WIN_WOW64_H
#define VKM_WIN_WOW64_H

/* Turns redirection off for the rest of the run, once.  1: it is off, or
 * this is no 32-bit process on 64-bit Windows; 0: it is one, and
 * redirection cannot be turned off (no Wow64DisableWow64FsRedirection,
 * or it refused). */
int wow64_redirection_off(void);

/* Turns redirection back on while a call that loads DLLs runs; nothing
 * when wow64_redirection_off turned nothing off. */
void wow64_redirection_pause(void);

/* Turns it off again after wow64_redirection_pause. */
void wow64_redirection_resume(void);

#endif
