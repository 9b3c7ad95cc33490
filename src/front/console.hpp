// The console side of the run: the interrupt handler and the key wait. One
// header, two backends (console_posix.cpp, console_win32.cpp).
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
