// POSIX backend of the pauses.
#include "common/os.hpp"
#include "common/trace.hpp"

#include <cerrno>
#include <ctime>

void sleep_ms(unsigned ms)
{
    trace_pause(ms);
    timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}
