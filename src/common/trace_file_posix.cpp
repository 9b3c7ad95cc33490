// The trace's file and clock on POSIX, for the Linux program and for the web
// page (emscripten's file system in memory): a file opened for appending,
// one write a line, and the monotonic clock.
#include "common/trace.hpp"

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

namespace {

int trace_fd = -1;
long long start_ms = -1;

} // namespace

int trace_backend::open(const char* path)
{
    trace_fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    return trace_fd >= 0 ? 1 : 0;
}

void trace_backend::write(const char* text, std::size_t n)
{
    if (trace_fd < 0)
        return;
    // One call per line: with O_APPEND the line lands whole at the end.
    // Errors are not reported: the trace must not change the run.
    const int saved = errno;
    while (::write(trace_fd, text, n) < 0 && errno == EINTR) {
    }
    errno = saved;
}

void trace_backend::close()
{
    if (trace_fd >= 0)
        ::close(trace_fd);
    trace_fd = -1;
}

long long trace_backend::now_ms()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const long long ms = static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
    if (start_ms < 0)
        start_ms = ms;
    return ms - start_ms;
}
