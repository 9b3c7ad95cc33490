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

void (*interrupt_action)() = nullptr;

extern "C" void on_end_signal(int /*sig*/) { interrupt_action(); }

// The signals that end the run through on_interrupt.
constexpr int end_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

} // namespace

void install_interrupt_handlers(void (*on_interrupt)())
{
    interrupt_action = on_interrupt;
    struct sigaction end {};
    end.sa_handler = on_end_signal;
    // While one of them is handled the others wait: the handler ends the
    // run and must not be entered twice.
    sigemptyset(&end.sa_mask);
    for (int sig : end_signals)
        sigaddset(&end.sa_mask, sig);
    for (int sig : end_signals) {
        struct sigaction previous {};
        if (sig == SIGHUP && sigaction(sig, nullptr, &previous) == 0 &&
            previous.sa_handler == SIG_IGN)
            continue;
        (void)sigaction(sig, &end, nullptr);
    }
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    (void)sigaction(SIGPIPE, &ignore, nullptr);
    (void)sigaction(SIGXFSZ, &ignore, nullptr);
}

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
