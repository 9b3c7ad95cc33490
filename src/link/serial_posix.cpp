// POSIX (termios) backend of the serial port.
#include "link/serial.hpp"
#include "link/serial_limits.hpp"

#include "common/globals.hpp"
#include "common/trace.hpp"
#include "common/write_all_posix.hpp"

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

using serial_limits::lose_line;
using serial_limits::now_ms;

open_failure last_failure = open_failure::none;

// The time a drain may take beyond the bytes' own time on the line: the
// driver's wake-ups and the USB frames of an adapter.
constexpr long long drain_margin_ms = 50;

int fd() { return static_cast<int>(handle_com); }

int configure(int d)
{
    termios tio{};
    if (tcgetattr(d, &tio) != 0)
        return trace_os_error("tcgetattr");
    cfmakeraw(&tio);
    // cfmakeraw leaves these as another program may have left them.
    tio.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS | CSTOPB | PARENB | CSIZE | HUPCL);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK | ISTRIP | ICRNL | INLCR |
                                          IGNCR | BRKINT | PARMRK | IGNPAR);
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio.c_lflag &= ~static_cast<tcflag_t>(ISIG | ICANON | ECHO | ECHONL | IEXTEN);
    // Reads block for at least one byte; every read is preceded by poll(),
    // which carries the time limits.
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (cfsetispeed(&tio, B115200) != 0 || cfsetospeed(&tio, B115200) != 0)
        return trace_os_error("cfsetspeed");
    if (tcsetattr(d, TCSANOW, &tio) != 0)
        return trace_os_error("tcsetattr");

    // tcsetattr reports success when any one change took; read back.
    termios back{};
    if (tcgetattr(d, &back) != 0)
        return trace_os_error("tcgetattr");
    if (cfgetispeed(&back) != B115200 || cfgetospeed(&back) != B115200 ||
        (back.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS)) != CS8 ||
        (back.c_cflag & (CLOCAL | CREAD)) != (CLOCAL | CREAD) ||
        (back.c_iflag & (IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR)) != 0 ||
        (back.c_lflag & (ISIG | ICANON | ECHO | IEXTEN)) != 0 || (back.c_oflag & OPOST) != 0)
        return trace_port_refused(d);

    // DTR and RTS off. A pseudo-terminal has no modem lines, so failing
    // here is no error.
    int lines = TIOCM_DTR | TIOCM_RTS;
    (void)ioctl(d, TIOCMBIC, &lines);
    return 1;
}

} // namespace

// One read of up to max bytes under the profile in force (serial_limits.hpp):
// poll() waits for the first of them. Returns the bytes read, 0 when the
// time ran out or the line went away (end of file or an error such as EIO);
// a line that went away is gone from then on.
int read_within_limits(void* buffer, int max, long long start, bool have_byte, long long last_byte)
{
    for (;;) {
        if (!serial_limits::line_ok())
            return 0;
        const int wait = serial_limits::wait_left_ms(start, have_byte, last_byte);
        pollfd pfd{fd(), POLLIN, 0};
        int ready = poll(&pfd, 1, wait);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            return trace_os_error("poll");
        if (ready <= 0)
            return 0;
        // The descriptor is non-blocking: a read returns what the terminal
        // holds, up to max, or EAGAIN when poll() woke for nothing.
        ssize_t r = read(fd(), buffer, static_cast<size_t>(max));
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0 && errno == EAGAIN) {
            // Hang-up or an error with nothing to read: no spin on it.
            if ((pfd.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
                lose_line(line_state::gone, "poll reports hang-up");
                return 0;
            }
            continue;
        }
        if (r < 0) {
            (void)trace_os_error("read");
            lose_line(line_state_of_posix_error(errno), "read failed");
            return 0;
        }
        // A terminal in raw mode reads 0 bytes only once it has hung up.
        if (r == 0)
            lose_line(line_state::gone, "read 0 bytes after poll");
        return r > 0 ? static_cast<int>(r) : 0;
    }
}

namespace {

// The cause of a failed open(): what the error says about the device.
open_failure failure_of_open(int error)
{
    switch (error) {
    case ENOENT:
    case ENOTDIR:
    case ENXIO:
    case ENODEV:
    case EIO: // a ttyS node without a UART behind it, an adapter pulled out
        return open_failure::missing;
    case EACCES:
    case EPERM:
        return open_failure::permission;
    case EBUSY: // TIOCEXCL of another program
        return open_failure::busy;
    case EISDIR:
        return open_failure::not_serial;
    default:
        return open_failure::other;
    }
}

// The cause of a failed step after open(): an EIO at any step means the
// device is not there. A ttyS node without a UART behind it opens, and then
// isatty() and tcgetattr() fail with EIO; so does an adapter pulled out
// while the port is being set up.
open_failure failure_of_step(int error, open_failure otherwise)
{
    return error == EIO ? open_failure::missing : otherwise;
}

// Gives the device up after a failed step and records why.
int refuse(int d, open_failure cause, bool exclusive, const char* call)
{
    (void)trace_os_error(call);
    if (exclusive)
        (void)ioctl(d, TIOCNXCL);
    close(d);
    last_failure = cause;
    return 0;
}

} // namespace

int open_serial(const char* name)
{
    // O_NONBLOCK: a serial port whose CLOCAL an earlier program left off
    // would otherwise block here until a carrier came, which a three-wire
    // cable never brings. configure() sets CLOCAL. The descriptor stays
    // non-blocking: reads wait in poll(), writes in poll(POLLOUT) under
    // their limit, so a port that stops taking data cannot hold a write.
    int d = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (d < 0) {
        last_failure = failure_of_open(errno);
        return trace_os_error("open");
    }
    // Exclusive use: TIOCEXCL refuses later opens by ordinary users, and the
    // advisory lock refuses a second instance of this program (also as root).
    // Each failure's errno is read before refuse() makes further calls.
    errno = 0;
    if (!isatty(d))
        return refuse(d, failure_of_step(errno, open_failure::not_serial), false, "isatty");
    if (flock(d, LOCK_EX | LOCK_NB) != 0)
        return refuse(d,
                      errno == EWOULDBLOCK ? open_failure::busy
                                           : failure_of_step(errno, open_failure::other),
                      false, "flock");
    // A port that refuses the settings it took leaves errno as it was.
    errno = 0;
    if (ioctl(d, TIOCEXCL) != 0 || !configure(d))
        return refuse(d, failure_of_step(errno, open_failure::setup), true,
                      "TIOCEXCL/line settings");
    handle_com = d;
    last_failure = open_failure::none;
    serial_limits::opened();
    trace_port(name, d);
    set_timeout_profile(timeout_profile::open);
    return 1;
}

open_failure open_serial_failure() { return last_failure; }

int drain_transmit(std::uint32_t bytes)
{
    if (handle_com == invalid_handle || !serial_limits::line_ok())
        return 0;
    // Bounded by the bytes' own time on the line: on a pseudo-terminal the
    // count may include what the other side has not read yet, and a device
    // that stopped sending must not stop the program.
    const long long line_ms = (static_cast<long long>(bytes) * 10 * 1000 + 115199) / 115200;
    const long long deadline = now_ms() + line_ms + drain_margin_ms;
    for (;;) {
        int queued = 0;
        if (ioctl(fd(), TIOCOUTQ, &queued) != 0)
            return 0;
        if (queued <= 0)
            return 1;
        long long left = deadline - now_ms();
        if (left <= 0)
            return 0;
        // Sleep about the time the queued bytes need, at least 1 ms, and no
        // longer than the bound.
        long long wait = (static_cast<long long>(queued) * 10 * 1000) / 115200;
        if (wait < 1)
            wait = 1;
        if (wait > left)
            wait = left;
        timespec pause{static_cast<time_t>(wait / 1000), static_cast<long>(wait % 1000) * 1000000};
        (void)nanosleep(&pause, nullptr);
    }
}

int async_write(const void* data, int count)
{
    if (count < 0 || handle_com == invalid_handle || !serial_limits::line_ok())
        return 0;
    const std::int64_t deadline = serial_limits::write_begins(static_cast<std::uint64_t>(count));
    switch (posix_write_all_until(fd(), data, static_cast<std::size_t>(count), deadline)) {
    case write_outcome::done:
        return 1;
    case write_outcome::timed_out:
        lose_line(line_state::stalled, "the port took no data within the write limit");
        return 0;
    case write_outcome::failed:
        lose_line(line_state_of_posix_error(errno), "write failed");
        return 0;
    }
    return 0;
}

void purge_receive()
{
    if (handle_com != invalid_handle) {
        trace_purge(handle_com);
        (void)tcflush(fd(), TCIFLUSH);
    }
}

void close_serial()
{
    if (handle_com != invalid_handle) {
        // Output that could not go out would hold close() for up to 30 s.
        if (!serial_limits::line_ok())
            (void)tcflush(fd(), TCOFLUSH);
        // The exclusive flag belongs to the device, not to the descriptor:
        // drop it so that the next run can open the port.
        (void)ioctl(fd(), TIOCNXCL);
        close(fd());
        handle_com = invalid_handle;
    }
}
