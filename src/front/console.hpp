// The console side of the run: the signals and console events that end it,
// and the key wait. One header, two backends (console_posix.cpp,
// console_win32.cpp).
#pragma once

#include <cstdio>

// Makes standard output unbuffered, so that the percentage display shows
// at once and nothing printed is lost when an interrupt ends the run.
inline void console_setup() { std::setvbuf(stdout, nullptr, _IONBF, 0); }

// Waits for one key: on a terminal one keystroke, without echo and without
// Enter, with the terminal restored afterwards; otherwise one byte of
// standard input or its end.
void wait_key();

// Puts the terminal back as the key wait found it, if the wait changed it.
// Safe to call from the interrupt handler.
void console_restore();

// Has on_interrupt run whenever the user or the system ends the run: Ctrl+C,
// and on POSIX SIGTERM, SIGHUP (the terminal went away) and SIGQUIT, on
// Windows Ctrl+Break, the closing of the console window and the shutdown.
// on_interrupt must not return and may do only what is safe in a signal
// handler. A SIGHUP that the starting process ignores (nohup) stays
// ignored. Signals that would end the run for no good reason are ignored
// instead: a reader of standard output that went away (SIGPIPE; the output
// is then dropped) and the file size limit (SIGXFSZ; the write fails).
void install_interrupt_handlers(void (*on_interrupt)());
