// The reads under their limits, for the backends that wait with a deadline
// (serial_posix.cpp, serial_webserial.cpp; see serial_limits.hpp).
#include "link/serial_limits.hpp"

#include "common/globals.hpp"
#include "common/trace.hpp"

#include <climits>
#include <ctime>

namespace {

// Current read limits in milliseconds; total < 0 means no limit.
int read_total_ms = -1;
int read_interval_ms = -1;

line_state state = line_state::ok;

// When the line will have carried every byte written so far, in
// microseconds of now_us() (see serial.hpp).
std::int64_t line_clear_us = 0;

// Where a read's total limit starts: now, or when the line will have carried
// the bytes written so far if that is later (rounded up to the millisecond).
long long limit_start_ms()
{
    const long long now = serial_limits::now_ms();
    const long long clear = (line_clear_us + 999) / 1000;
    if (clear <= now)
        return now;
    if (read_total_ms >= 0)
        trace_limit_moved(line_clear_us, clear - now, read_total_ms + clear - now);
    return clear;
}

} // namespace

std::int64_t serial_limits::now_us()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

long long serial_limits::now_ms() { return now_us() / 1000; }

void serial_limits::opened()
{
    state = line_state::ok;
    line_clear_us = 0;
}

bool serial_limits::line_ok() { return state == line_state::ok; }

void serial_limits::lose_line(line_state cause, const char* what)
{
    if (state != line_state::ok || cause == line_state::ok)
        return;
    state = cause;
    trace_line("line %s: %s", cause == line_state::gone ? "gone" : "stalled", what);
}

std::int64_t serial_limits::write_begins(std::uint64_t count)
{
    // The bytes cannot start on the line before the write began, nor before
    // those written earlier have crossed it; counted also when the write
    // fails part way, since some of them may be on their way.
    const std::int64_t began = now_us();
    const std::int64_t free_at = line_clear_us > began ? line_clear_us : began;
    line_clear_us = line_clear_after(line_clear_us, began, count);
    // The write is done once the line can have carried what went before and
    // its own bytes, plus the margin (serial.hpp).
    return free_at + write_limit_us(count);
}

int serial_limits::wait_left_ms(long long start, bool have_byte, long long last_byte)
{
    if (read_total_ms < 0)
        return -1;
    const long long now = now_ms();
    long long left = start + read_total_ms - now;
    if (have_byte && read_interval_ms >= 0 && last_byte + read_interval_ms - now < left)
        left = last_byte + read_interval_ms - now;
    if (left < 0)
        left = 0;
    return static_cast<int>(left > INT_MAX ? INT_MAX : left);
}

line_state serial_line_state() { return state; }

std::int64_t line_busy_us()
{
    const std::int64_t left = line_clear_us - serial_limits::now_us();
    return left > 0 ? left : 0;
}

void set_timeout_profile(timeout_profile profile)
{
    const read_limits limits = limits_of(profile);
    read_total_ms = limits.total_ms;
    read_interval_ms = limits.interval_ms;
    trace_profile(name_of(profile), limits.total_ms, limits.interval_ms);
}

int async_read(void* buffer, int count)
{
    if (count < 0 || handle_com == invalid_handle)
        return 0;
    auto* p = static_cast<unsigned char*>(buffer);
    int done = 0;
    const long long start = limit_start_ms();
    long long last_byte = 0;
    while (done < count) {
        const int r = read_within_limits(p + done, count - done, start, done > 0, last_byte);
        if (r <= 0)
            return 0;
        done += r;
        last_byte = serial_limits::now_ms();
    }
    return 1;
}

int read_available(void* buffer, int max)
{
    if (max <= 0 || handle_com == invalid_handle)
        return 0;
    // Only the first byte is waited for, so only the total limit applies.
    return read_within_limits(buffer, max, limit_start_ms(), false, 0);
}
