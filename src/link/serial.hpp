// The one serial connection to the box: open and configure, exact-count
// transfers, read-timeout profiles and the receive purge. One header, two
// backends (serial_posix.cpp, serial_win32.cpp), and the in-memory line of
// the fuzz targets (serial_seam.cpp).
#pragma once

#include <cstdint>

// Read-timeout profiles. open: a read waits without limit. command: a read
// fails when no byte arrives within 1000 ms in total or a gap of more than
// 50 ms follows a received byte. boot: the same with 20000 ms in total.
// Writes never time out.
enum class timeout_profile { open, command, boot };

// The limits of each profile, in milliseconds; a negative value is no limit.
// Both backends take them from here.
struct read_limits {
    int total_ms;
    int interval_ms;
};
inline constexpr read_limits profile_limits[] = {
    {-1, -1},    // open
    {1000, 50},  // command
    {20000, 50}, // boot
};
constexpr read_limits limits_of(timeout_profile profile)
{
    return profile_limits[static_cast<int>(profile)];
}
// The profiles' names, for the trace.
inline constexpr const char* profile_names[] = {"open", "command", "boot"};
constexpr const char* name_of(timeout_profile profile)
{
    return profile_names[static_cast<int>(profile)];
}

// Opens the named device exclusively, sets 115200 baud 8N1 raw with no flow
// control, DTR and RTS off, and the open profile. Sets handle_com. Returns 1
// when the port is ready, 0 on any failure (nothing is left open then).
// Opening never waits for a carrier: a port without one opens at once.
[[nodiscard]] int open_serial(const char* name);

// Why the last open_serial failed, taken from the system's error at the step
// that failed. missing: no such device (or it has gone); permission: the
// user may not open it; busy: another program or another run of this one
// holds it; not_serial: the name is no serial port (a file, a folder, a
// console); setup: the port refused the line settings; other: any other
// error of the system. none after a successful open.
enum class open_failure { none, missing, permission, busy, not_serial, setup, other };
[[nodiscard]] open_failure open_serial_failure();

// Reads exactly count bytes under the profile in force. Returns 1 only when
// the whole count came; the bytes that came before a time-out are in the
// buffer all the same. Prints nothing.
[[nodiscard]] int async_read(void* buffer, int count);

// Writes exactly count bytes; never times out. Returns 1 only when the whole
// count went out. Prints nothing.
[[nodiscard]] int async_write(const void* data, int count);

// The transfer in one call: direction 0 reads into buffer, any other value
// writes from it.
[[nodiscard]] inline int async_io(void* buffer, int count, int direction)
{
    return direction == 0 ? async_read(buffer, count) : async_write(buffer, count);
}

// Reads at least one and at most max bytes: waits for the first byte as a
// one-byte read does, under the same limits, then takes whatever else has
// already arrived, without waiting for more. Returns the number of bytes
// read; 0 when no byte came in time or the read failed. Prints nothing. For
// raw data of known length, which need not be read byte by byte to find its
// end.
[[nodiscard]] int read_available(void* buffer, int max);

// Waits until the bytes written so far have left the port, but no longer
// than the line takes for the given count of bytes (10 bits a byte at
// 115200 baud) plus a margin: a write returns once the bytes are in the
// driver's buffer, and a time limit for the box's answer must not start
// while part of them is still on the way. Returns 1 when the transmit
// buffer is empty, 0 when the time ran out or the driver cannot tell.
// Prints nothing.
[[nodiscard]] int drain_transmit(std::uint32_t bytes);

// Applies a read-timeout profile; failures are not reported.
void set_timeout_profile(timeout_profile profile);

// Drops every received byte that has not been read yet.
void purge_receive();

// Closes handle_com if it is open.
void close_serial();
