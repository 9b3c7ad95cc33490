// The web page's tests: the far side of the stand-in serial port. Opens the
// box simulator's pseudo-terminal raw, as a port driver would, and copies
//   standard input -> the terminal (the page's writes),
//   the terminal -> standard output (what the box sends),
// without buffering beyond one read. After each write to the terminal it
// reports the count of bytes the terminal took, as a decimal line on
// descriptor 3, so that the page's write can resolve only once its bytes
// have gone to the line. SIGUSR1 drops what is still waiting to go out (the
// port's transmit buffers are discarded). Ends with status 0 when standard
// input ends (the page closed the port) and 3 when the line goes away (the
// simulator closed its side); 1 when the terminal cannot be opened.
//
//   web_line_bridge PTY
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

volatile std::sig_atomic_t discard_requested = 0;

void on_discard(int) { discard_requested = 1; }

constexpr int ack_fd = 3;
constexpr std::size_t buffer_size = 4096;

struct buffer {
    unsigned char data[buffer_size];
    std::size_t begin = 0, end = 0;
    bool empty() const { return begin == end; }
    void clear() { begin = end = 0; }
};

void set_nonblocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

// Writes the whole count line to the ack pipe; the test's reader always reads it.
void report_taken(std::size_t count)
{
    char line[32];
    int n = std::snprintf(line, sizeof line, "%zu\n", count);
    const char* p = line;
    while (n > 0) {
        ssize_t w = write(ack_fd, p, static_cast<std::size_t>(n));
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return;
        p += w;
        n -= static_cast<int>(w);
    }
}

bool would_block(ssize_t r) { return r < 0 && (errno == EAGAIN || errno == EINTR); }

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: web_line_bridge PTY\n");
        return 2;
    }
    int line = open(argv[1], O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (line < 0) {
        std::fprintf(stderr, "web_line_bridge: %s: %s\n", argv[1], std::strerror(errno));
        return 1;
    }
    termios tio{};
    if (tcgetattr(line, &tio) == 0) {
        cfmakeraw(&tio);
        cfsetispeed(&tio, B115200);
        cfsetospeed(&tio, B115200);
        tcsetattr(line, TCSANOW, &tio);
    }
    std::signal(SIGPIPE, SIG_IGN);
    struct sigaction sa {};
    sa.sa_handler = on_discard;
    sigaction(SIGUSR1, &sa, nullptr);
    set_nonblocking(0);
    set_nonblocking(1);

    buffer to_line, to_page;
    bool input_open = true;
    bool line_gone = false;
    while (true) {
        if (discard_requested) {
            discard_requested = 0;
            to_line.clear();
            tcflush(line, TCOFLUSH);
        }
        if (!input_open && to_line.empty())
            break;
        if (line_gone && to_page.empty())
            break;
        pollfd fds[3] = {{0, 0, 0}, {1, 0, 0}, {line, 0, 0}};
        if (input_open && to_line.empty() && !line_gone)
            fds[0].events = POLLIN;
        if (!to_page.empty())
            fds[1].events = POLLOUT;
        if (!line_gone) {
            if (to_page.empty())
                fds[2].events |= POLLIN;
            if (!to_line.empty())
                fds[2].events |= POLLOUT;
        }
        // A descriptor with nothing to wait for is left out, so that a
        // hang-up it reports cannot wake the loop before there is room.
        for (pollfd& f : fds)
            if (f.events == 0)
                f.fd = -1;
        if (poll(fds, 3, -1) < 0) {
            if (errno == EINTR)
                continue;
            return 1;
        }
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            ssize_t r = read(0, to_line.data, sizeof to_line.data);
            if (r > 0) {
                to_line.begin = 0;
                to_line.end = static_cast<std::size_t>(r);
            } else if (!would_block(r)) {
                input_open = false;
            }
        }
        if (!line_gone && (fds[2].revents & POLLOUT) && !to_line.empty()) {
            ssize_t w = write(line, to_line.data + to_line.begin, to_line.end - to_line.begin);
            if (w > 0) {
                to_line.begin += static_cast<std::size_t>(w);
                report_taken(static_cast<std::size_t>(w));
                if (to_line.empty())
                    to_line.clear();
            } else if (!would_block(w)) {
                line_gone = true;
            }
        }
        if (!line_gone && (fds[2].revents & (POLLIN | POLLHUP | POLLERR)) && to_page.empty()) {
            ssize_t r = read(line, to_page.data, sizeof to_page.data);
            if (r > 0) {
                to_page.begin = 0;
                to_page.end = static_cast<std::size_t>(r);
            } else if (!would_block(r)) {
                // EIO or end of file: the simulator closed its side.
                line_gone = true;
            }
        }
        if ((fds[1].revents & POLLOUT) && !to_page.empty()) {
            ssize_t w = write(1, to_page.data + to_page.begin, to_page.end - to_page.begin);
            if (w > 0) {
                to_page.begin += static_cast<std::size_t>(w);
                if (to_page.empty())
                    to_page.clear();
            } else if (!would_block(w)) {
                return 1;
            }
        }
        if (fds[1].revents & (POLLERR | POLLHUP))
            return 1;
    }
    // Output that could not go out is dropped, as the program's own close does.
    tcflush(line, TCOFLUSH);
    close(line);
    return line_gone ? 3 : 0;
}
