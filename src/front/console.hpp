// The console side of the run: the signals and console events that end it,
// the key wait, the answers typed by the user and whether the run's console
// window is its own. One header, two backends (console_posix.cpp,
// console_win32.cpp).
#pragma once

#include <cstddef>
#include <cstdio>

// Makes standard output unbuffered, so that the percentage display shows
// at once and nothing printed is lost when an interrupt ends the run. On
// Windows it also sets the console up for the run, when there is one (see
// console_input_modes_for_run): QuickEdit off, and the output code page the
// ANSI code page the program's paths arrive in (UTF-8 where the program's
// manifest is honoured). console_restore puts both back; it runs at every
// ending, the interrupt's included. Call before anything is printed.
void console_setup();

// Writes what console_setup found and set into the trace (trace_start
// comes after console_setup, which must precede every output).
void console_trace_setup();

// Waits for one key: on a terminal one keystroke, without echo and without
// Enter, with the terminal restored afterwards; otherwise one byte of
// standard input or its end.
void wait_key();

// The same wait, returning the key: its character code (0 to 255), or -1
// when standard input ended. A key that sends more than one code (an arrow
// key on Windows) is read whole and gives its first code.
[[nodiscard]] int read_key();

// Reads one line from standard input as the user types it (echoed, with
// line editing, ended by Enter) into line (size bytes, terminator
// included), without the line end. What does not fit is read and dropped,
// so that nothing of the line is left for the next read. Returns 0 when
// standard input ended before a line.
[[nodiscard]] int read_line(char* line, std::size_t size);

// 1 when standard input is a terminal (POSIX) or a console (Windows): a
// user is there to answer questions.
[[nodiscard]] int input_is_terminal();

// 1 when the run has a console window of its own: the file manager started
// it, and the window closes as soon as the run ends. Decided from the facts
// by console_of_own_run; always 0 on POSIX, where a terminal outlives its
// programs.
[[nodiscard]] int console_is_own();

// The decision: the console's process count (on Windows GetConsoleProcessList;
// 1 when this process alone is attached, a prompt or script that started it
// adds itself) and whether standard input is that console (input from a file
// or a pipe means a script that must not wait for a key).
[[nodiscard]] inline int console_of_own_run(unsigned long console_processes, int input_is_console)
{
    return console_processes == 1 && input_is_console != 0 ? 1 : 0;
}

// The bits of a Windows console's input mode that the run touches, as
// wincon.h defines them.
namespace console_mode {
inline constexpr unsigned long processed_input = 0x0001;
inline constexpr unsigned long line_input = 0x0002;
inline constexpr unsigned long echo_input = 0x0004;
inline constexpr unsigned long insert = 0x0020;
inline constexpr unsigned long quick_edit = 0x0040;
inline constexpr unsigned long extended_flags = 0x0080;
} // namespace console_mode

// The input mode for the run and the one that puts the console back.
struct console_input_modes {
    unsigned long run;
    unsigned long restore;
};

// With QuickEdit on, a mouse click into the window starts a selection, and
// the program's next write to the console blocks until the selection ends:
// the line to the box would stop mid-transfer. The run turns it off. Insert
// and QuickEdit change only with ENABLE_EXTENDED_FLAGS in the same call, so
// the flag is set both ways. A mode read without that flag does not report
// insert and QuickEdit (another program set the mode without it); the
// console's defaults, both on, are then assumed: insert stays on for the
// run, and both are on again afterwards. Every other bit is kept.
[[nodiscard]] constexpr console_input_modes console_input_modes_for_run(unsigned long found)
{
    using namespace console_mode;
    if ((found & extended_flags) != 0)
        return {found & ~quick_edit, found};
    return {(found | extended_flags | insert) & ~quick_edit,
            found | extended_flags | insert | quick_edit};
}

// The mode while the user types a line: the console's line editing and
// echo on top of the mode in force, whose QuickEdit and insert bits (with
// the extended flag) stay as they are, so that a typed line does not bring
// QuickEdit back.
[[nodiscard]] constexpr unsigned long console_line_mode(unsigned long mode)
{
    using namespace console_mode;
    return mode | line_input | echo_input | processed_input;
}

// Puts the terminal back as the key wait found it, if the wait changed it,
// and on Windows the console's input mode and output code page as
// console_setup found them. Safe to call from the interrupt handler and more
// than once.
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
