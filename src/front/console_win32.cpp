// Win32 backend of the console.
#include "front/console.hpp"

#include <conio.h>
#include <cstdio>
#include <windows.h>

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
