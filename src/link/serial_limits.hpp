// The read limits, the answer limit and the line's state as the POSIX and
// the browser backends keep them (serial_limits.cpp), on the monotonic clock
// in microseconds. Both backends wait for bytes with a deadline (poll, a
// promise) rather than under limits that the system applies, so they share
// the reads built on that wait: async_read, read_available, the profiles,
// line_busy_us and serial_line_state are defined once, there.
//
// Only for the backends; the rest of the program uses serial.hpp.
#pragma once

#include "link/serial.hpp"

#include <cstdint>

namespace serial_limits {

std::int64_t now_us();
long long now_ms();

// A port has opened: the line is ok and clear.
void opened();

// Whether the line is ok; once it is not, every transfer fails at once.
bool line_ok();

// The line has stalled or gone: the first cause found stays, and the trace
// says it once.
void lose_line(line_state cause, const char* what);

// A write of count bytes begins now: moves the moment the line will be
// clear (line_clear_after) and returns the write's deadline in
// microseconds of now_us() (write_limit_us from when the line can take its
// first byte).
std::int64_t write_begins(std::uint64_t count);

// The milliseconds a read may still wait for its next byte: its total limit
// runs from start, the gap limit from the last byte once one has come. -1
// without a limit, 0 when the time is up.
int wait_left_ms(long long start, bool have_byte, long long last_byte);

} // namespace serial_limits

// The backend's one read: up to max bytes, waiting no longer than
// wait_left_ms allows. Returns the bytes read, 0 when the time ran out or
// the line was lost (which the backend records with lose_line).
int read_within_limits(void* buffer, int max, long long start, bool have_byte, long long last_byte);
