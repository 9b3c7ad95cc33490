#include "common/write_all_posix.hpp"

#include "common/trace.hpp"

#include <cerrno>
#include <climits>
#include <ctime>
#include <poll.h>
#include <unistd.h>

namespace {

std::int64_t monotonic_us()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// Waits until fd takes bytes again or the deadline has passed: 1 to try the
// write again, 0 when the time is up, -1 when the descriptor reported
// hang-up or an error last time and still took nothing (errno EIO).
int wait_writable(int fd, std::int64_t deadline_us, bool* hung_up)
{
    if (*hung_up) {
        errno = EIO;
        return -1;
    }
    for (;;) {
        const std::int64_t left_us = deadline_us - monotonic_us();
        if (left_us <= 0)
            return 0;
        const std::int64_t left_ms = (left_us + 999) / 1000;
        pollfd pfd{fd, POLLOUT, 0};
        const int ready = poll(&pfd, 1, static_cast<int>(left_ms > INT_MAX ? INT_MAX : left_ms));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            return -1;
        if (ready == 0)
            continue; // the deadline is checked above
        *hung_up = (pfd.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0;
        return 1;
    }
}

// The one loop over partial and interrupted writes. bounded: the descriptor
// is non-blocking and a full one is waited for until deadline_us.
write_outcome write_loop(int fd, const void* data, std::size_t n, bool bounded,
                         std::int64_t deadline_us)
{
    const auto* p = static_cast<const unsigned char*>(data);
    std::size_t done = 0;
    bool hung_up = false;
    while (done < n) {
        ssize_t r = write(fd, p + done, n - done);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0 && bounded && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            const int wait = wait_writable(fd, deadline_us, &hung_up);
            if (wait == 0)
                return write_outcome::timed_out;
            if (wait < 0) {
                (void)trace_os_error("write"); // keeps errno
                return write_outcome::failed;
            }
            continue;
        }
        if (r < 0) {
            (void)trace_os_error("write"); // keeps errno
            return write_outcome::failed;
        }
        if (r == 0)
            return write_outcome::failed;
        done += static_cast<std::size_t>(r);
        hung_up = false;
    }
    return write_outcome::done;
}

} // namespace

int posix_write_all(int fd, const void* data, std::size_t n)
{
    return write_loop(fd, data, n, false, 0) == write_outcome::done ? 1 : 0;
}

write_outcome posix_write_all_until(int fd, const void* data, std::size_t n,
                                    std::int64_t deadline_us)
{
    return write_loop(fd, data, n, true, deadline_us);
}
