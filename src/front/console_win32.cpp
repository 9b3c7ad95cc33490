// Win32 backend of the console.
#include "front/console.hpp"

#include <conio.h>
#include <cstdio>
#include <windows.h>

namespace {

void (*interrupt_action)() = nullptr;

// Runs on a thread of its own that the system starts for the event, while
// the main thread goes on; interrupt_action ends the process. A logoff is
// left to the system's handler: a program outside the user's session (a
// service) gets the logoff of every user.
BOOL WINAPI on_console_event(DWORD event)
{
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        interrupt_action();
        return TRUE;
    default:
        return FALSE;
    }
}

} // namespace

void install_interrupt_handlers(void (*on_interrupt)())
{
    interrupt_action = on_interrupt;
    (void)SetConsoleCtrlHandler(on_console_event, TRUE);
}

void wait_key()
{
    std::fflush(stdout);
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (in != INVALID_HANDLE_VALUE && in != nullptr && GetConsoleMode(in, &mode)) {
        // A real console: one keystroke, no echo, no Enter.
        (void)_getch();
        return;
    }
    // Input from a file or a pipe: one byte, or its end.
    char byte = 0;
    DWORD got = 0;
    if (in != INVALID_HANDLE_VALUE && in != nullptr)
        (void)ReadFile(in, &byte, 1, &got, nullptr);
}

void console_restore() {}
