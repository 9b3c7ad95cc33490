// Web backend of the console, for the program built for the browser. The
// page has no keyboard input for the program: it asks its questions itself,
// before a job starts. So a key wait ends at once, as with standard input at
// its end, and no question is ever read; output goes to the page unbuffered,
// byte by byte.
#include "front/console.hpp"

#include <cstdio>

void install_interrupt_handlers(void (* /*on_interrupt*/)()) {}

void wait_key() {}

int read_key() { return -1; }

int read_line(char* line, std::size_t size)
{
    if (size > 0)
        line[0] = '\0';
    return 0;
}

int input_is_terminal() { return 0; }

void console_setup() { std::setvbuf(stdout, nullptr, _IONBF, 0); }

void console_trace_setup() {}

int console_is_own() { return 0; }

void console_restore() {}
