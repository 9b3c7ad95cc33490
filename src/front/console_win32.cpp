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

namespace {

// Standard input when it is a console, with its mode; nullptr otherwise.
HANDLE console_input(DWORD* mode)
{
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    if (in == INVALID_HANDLE_VALUE || in == nullptr || !GetConsoleMode(in, mode))
        return nullptr;
    return in;
}

} // namespace

void wait_key() { (void)read_key(); }

int read_key()
{
    std::fflush(stdout);
    DWORD mode = 0;
    if (console_input(&mode) != nullptr) {
        // A real console: one keystroke, no echo, no Enter. A function or
        // arrow key comes as 0 or 0xE0 and a second code, which is taken
        // too so that no later wait finds it.
        int key = _getch();
        if (key == 0 || key == 0xE0)
            (void)_getch();
        return key;
    }
    // Input from a file or a pipe: one byte, or its end.
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    unsigned char byte = 0;
    DWORD got = 0;
    if (in == INVALID_HANDLE_VALUE || in == nullptr || !ReadFile(in, &byte, 1, &got, nullptr) ||
        got != 1)
        return -1;
    return byte;
}

int read_line(char* line, std::size_t size)
{
    std::fflush(stdout);
    DWORD mode = 0;
    HANDLE console = console_input(&mode);
    HANDLE in = console != nullptr ? console : GetStdHandle(STD_INPUT_HANDLE);
    if (in == INVALID_HANDLE_VALUE || in == nullptr || size == 0)
        return 0;
    // The console's own line editing and echo, whatever its mode was.
    if (console != nullptr)
        (void)SetConsoleMode(console,
                             mode | ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT | ENABLE_PROCESSED_INPUT);
    std::size_t used = 0;
    bool ended = false;
    while (!ended) {
        // The console hands over at most one line per read; a file or a pipe
        // is read byte by byte, so that nothing after the line is taken.
        char chunk[256];
        DWORD got = 0;
        if (!(console != nullptr ? ReadConsoleA(console, chunk, sizeof chunk, &got, nullptr)
                                 : ReadFile(in, chunk, 1, &got, nullptr)) ||
            got == 0)
            break;
        for (DWORD i = 0; i < got && !ended; ++i) {
            if (chunk[i] == '\n')
                ended = true;
            else if (chunk[i] != '\r' && used + 1 < size)
                line[used++] = chunk[i];
        }
    }
    if (console != nullptr)
        (void)SetConsoleMode(console, mode);
    line[used] = '\0';
    return ended || used > 0 ? 1 : 0;
}

int input_is_terminal()
{
    DWORD mode = 0;
    return console_input(&mode) != nullptr ? 1 : 0;
}

int console_is_own()
{
    // The count of all processes attached, even when more than fit.
    DWORD processes[2];
    return console_of_own_run(GetConsoleProcessList(processes, 2), input_is_terminal());
}

void console_restore() {}
