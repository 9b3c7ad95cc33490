#include "common/write_all_posix.hpp"

#include "common/trace.hpp"

#include <cerrno>
#include <unistd.h>

int posix_write_all(int fd, const void* data, std::size_t n)
{
    const auto* p = static_cast<const unsigned char*>(data);
    std::size_t done = 0;
    while (done < n) {
        ssize_t r = write(fd, p + done, n - done);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return trace_os_error("write");
        if (r == 0)
            return 0;
        done += static_cast<std::size_t>(r);
    }
    return 1;
}
