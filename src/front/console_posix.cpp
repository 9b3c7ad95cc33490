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

namespace {

// Puts the terminal into the given local modes (the rest as found) until
// console_restore; nothing when standard input is no terminal.
void set_terminal(tcflag_t on, tcflag_t off)
{
    if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &saved) != 0)
        return;
    termios changed = saved;
    changed.c_lflag |= on;
    changed.c_lflag &= ~off;
    // Some systems share these slots with the line end characters: only
    // without line editing do they mean the byte count and the wait.
    if ((changed.c_lflag & ICANON) == 0) {
        changed.c_cc[VMIN] = 1;
        changed.c_cc[VTIME] = 0;
    }
    terminal_changed = 1;
    if (tcsetattr(STDIN_FILENO, TCSANOW, &changed) != 0)
        terminal_changed = 0;
}

// One byte of standard input: 1, or 0 at its end or on an error.
int read_byte(unsigned char* byte)
{
    ssize_t got = 0;
    while ((got = read(STDIN_FILENO, byte, 1)) < 0 && errno == EINTR) {
    }
    return got == 1 ? 1 : 0;
}

} // namespace

void wait_key() { (void)read_key(); }

int read_key()
{
    std::fflush(stdout);
    // No line editing and no echo; signals stay on, so Ctrl+C still ends
    // the run (and the handler restores the terminal).
    set_terminal(0, ICANON | ECHO);
    unsigned char key = 0;
    int got = read_byte(&key);
    console_restore();
    return got ? key : -1;
}

int read_line(char* line, std::size_t size)
{
    std::fflush(stdout);
    // The terminal's own line editing and echo, whatever the user's
    // settings; read byte by byte, so that nothing after the line is taken.
    set_terminal(ICANON | ECHO, 0);
    std::size_t used = 0;
    unsigned char byte = 0;
    int got = 0;
    while ((got = read_byte(&byte)) != 0 && byte != '\n') {
        if (used + 1 < size)
            line[used++] = static_cast<char>(byte);
    }
    console_restore();
    if (size > 0)
        line[used < size ? used : size - 1] = '\0';
    return got != 0 || used > 0 ? 1 : 0;
}

int input_is_terminal() { return isatty(STDIN_FILENO) ? 1 : 0; }

void console_setup() { std::setvbuf(stdout, nullptr, _IONBF, 0); }

// A terminal has no mode that the run changes for its whole length.
void console_trace_setup() {}

int console_is_own() { return 0; }

void console_restore()
{
    if (terminal_changed) {
        tcsetattr(STDIN_FILENO, TCSANOW, &saved);
        terminal_changed = 0;
    }
}
