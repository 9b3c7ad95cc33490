// POSIX backend of the console.
#include "front/console.hpp"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <termios.h>
#include <unistd.h>

namespace {

termios saved{};
volatile std::sig_atomic_t terminal_changed = 0;

} // namespace

void wait_key()
{
    std::fflush(stdout);
    if (isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &saved) == 0) {
        termios raw = saved;
        // No line editing and no echo; signals stay on, so Ctrl+C still
        // ends the run (and the handler restores the terminal).
        raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        terminal_changed = 1;
        if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) != 0)
            terminal_changed = 0;
    }
    unsigned char key = 0;
    while (read(STDIN_FILENO, &key, 1) < 0 && errno == EINTR) {
    }
    console_restore();
}

void console_restore()
{
    if (terminal_changed) {
        tcsetattr(STDIN_FILENO, TCSANOW, &saved);
        terminal_changed = 0;
    }
}
