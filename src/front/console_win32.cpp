// Win32 backend of the console.
#include "front/console.hpp"

#include "common/trace.hpp"

#include <conio.h>
#include <cstdio>
#include <cstdlib>
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

namespace {

// What console_setup found and set: written by it before anything else
// runs, then read by console_restore (also on the console event's thread)
// and console_trace_setup. The two flags say what is still to be put back.
int input_console = 0;
HANDLE input_handle = nullptr;
DWORD input_found = 0, input_set = 0, input_restore = 0;
volatile LONG input_changed = 0;
int output_console = 0;
UINT output_found = 0, output_set = 0;
volatile LONG output_changed = 0;

void take_console_input()
{
    DWORD mode = 0;
    HANDLE in = console_input(&mode);
    if (in == nullptr)
        return; // input from a file or a pipe: nothing to change
    input_console = 1;
    input_handle = in;
    input_found = mode;
    const console_input_modes modes = console_input_modes_for_run(mode);
    input_restore = modes.restore;
    if (modes.run != mode && SetConsoleMode(in, modes.run))
        input_changed = 1;
    // As the console has it now, read back.
    if (!GetConsoleMode(in, &input_set))
        input_set = mode;
}

// The program prints its paths as they arrive, in the ANSI code page
// (UTF-8 with the manifest); the console shows them in its own output code
// page (850 on a German console), so the run makes the two the same.
void take_console_output()
{
    DWORD mode = 0;
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out == INVALID_HANDLE_VALUE || out == nullptr || !GetConsoleMode(out, &mode))
        return; // output to a file or a pipe: its bytes stay as printed
    output_console = 1;
    output_found = GetConsoleOutputCP();
    const UINT ansi = GetACP();
    if (output_found != ansi && SetConsoleOutputCP(ansi))
        output_changed = 1;
    output_set = GetConsoleOutputCP();
}

} // namespace

void console_setup()
{
    take_console_input();
    take_console_output();
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    // Every ending that returns from main() or calls exit(); the interrupt
    // handler, which ends with _Exit, calls console_restore itself.
    if (input_changed || output_changed)
        (void)std::atexit(console_restore);
}

void console_trace_setup()
{
    trace_console_input(input_console, input_found, input_set);
    trace_console_output(output_console, output_found, output_set, GetACP());
}

void console_restore()
{
    if (InterlockedExchange(&input_changed, 0) != 0)
        (void)SetConsoleMode(input_handle, input_restore);
    if (InterlockedExchange(&output_changed, 0) != 0)
        (void)SetConsoleOutputCP(output_found);
}

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
    // The console's own line editing and echo, whatever its mode was;
    // QuickEdit stays as the run set it.
    if (console != nullptr)
        (void)SetConsoleMode(console, console_line_mode(mode));
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
