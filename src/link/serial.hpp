// The one serial connection to the box: open and configure, exact-count
// transfers, read-timeout profiles and the receive purge. One header, two
// backends (serial_posix.cpp, serial_win32.cpp), and the in-memory line of
// the fuzz targets (serial_seam.cpp).
#pragma once

#include <cerrno>
#include <cstdint>

// Read-timeout profiles. open: a read waits without limit. command: a read
// fails when no byte arrives within 1000 ms in total or a gap of more than
// 50 ms follows a received byte. boot: the same with 20000 ms in total.
// Writes have their own limit in every profile (write_limit_us below).
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

// The line settings open_serial gives a Windows port, changed in the record
// (DCB) that the port reported: 115200 baud 8N1, binary, no parity check, no
// flow control of either kind, DTR and RTS off, NUL bytes kept, and
// fAbortOnError off. With that flag on, as a terminal program may leave it,
// the first line error (a framing error while the box restarts, noise on a
// long cable) makes every later read and write fail until the error state is
// cleared. Every other field stays as the port reported it. A template over
// the record, so that tests reach it with a record of DCB's field names; the
// values are DCB's, checked against windows.h in serial_win32.cpp.
namespace dcb_value {
inline constexpr unsigned baud_115200 = 115200;
inline constexpr unsigned no_parity = 0;
inline constexpr unsigned one_stop_bit = 0;
inline constexpr unsigned dtr_disable = 0;
inline constexpr unsigned rts_disable = 0;
} // namespace dcb_value
template <class Record> void set_line_settings(Record& dcb)
{
    dcb.BaudRate = dcb_value::baud_115200;
    dcb.ByteSize = 8;
    dcb.Parity = dcb_value::no_parity;
    dcb.StopBits = dcb_value::one_stop_bit;
    dcb.fBinary = 1;
    dcb.fParity = 0;
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDtrControl = dcb_value::dtr_disable;
    dcb.fDsrSensitivity = 0;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.fNull = 0;
    dcb.fRtsControl = dcb_value::rts_disable;
    dcb.fAbortOnError = 0;
}

// Why the last open_serial failed, taken from the system's error at the step
// that failed. missing: no such device, it has gone, or its node has no
// hardware behind it (an EIO at any step of opening); permission: the
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

// Writes exactly count bytes within the write limit (write_limit_us).
// Returns 1 only when the whole count went out; a write that ran into its
// limit leaves the line stalled. Prints nothing.
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
// 115200 baud) plus a margin. Returns 1 when the transmit buffer is empty,
// 0 when the time ran out or the driver cannot tell. Prints nothing.
[[nodiscard]] int drain_transmit(std::uint32_t bytes);

// The answer limit. A write returns once its bytes are in a buffer: the
// driver's, an adapter's, a pseudo-terminal's, often kilobytes that no call
// reports. The box cannot answer before the last byte written has crossed
// the line, so every read's time limit starts no earlier than the moment the
// line will have carried every byte written so far, as the line's rate
// gives it: each write moves that moment to
//     max(moment, when the write began) + bytes x 10 / 115200 s.
// A drain that took longer (a line slower than its rate) counts too: the
// limit starts at the later of the drain's end and that moment. Both
// backends keep the moment in microseconds of their monotonic clock and
// compute it here.

// Microseconds the line takes for count bytes at 115200 baud, 8N1, rounded
// up; exact in 64 bits for every count a 32-bit size can give.
constexpr std::int64_t line_time_us(std::uint64_t count)
{
    return static_cast<std::int64_t>((count * 10 * 1000000 + 115199) / 115200);
}

// When the line will have carried everything once a write of count bytes
// that began at write_began follows the bytes the line carries until
// clear_at.
constexpr std::int64_t line_clear_after(std::int64_t clear_at, std::int64_t write_began,
                                        std::uint64_t count)
{
    return (clear_at > write_began ? clear_at : write_began) + line_time_us(count);
}

// Microseconds from now until the line will have carried every byte written
// so far; 0 when it has. Every read's limit starts after them.
[[nodiscard]] std::int64_t line_busy_us();

// The total limit, in milliseconds from now, of a read that starts busy_us
// before the line is clear: the profile's total_ms moved out by that time,
// rounded up to the millisecond. No limit (negative) stays no limit, and a
// clear line leaves the limit as it is. The Windows backend gives this to
// the one read, since its limits start with ReadFile.
constexpr std::int64_t moved_total_ms(int total_ms, std::int64_t busy_us)
{
    if (total_ms < 0 || busy_us <= 0)
        return total_ms;
    return total_ms + (busy_us + 999) / 1000;
}

// Whether a read that brought moved bytes after elapsed_us under a total
// limit of total_ms (0: none) ended long before that limit with nothing: no
// time-out ends a read so, since the gap limit starts only with a first
// byte; only a device that went away does. Half the limit leaves the
// driver's timer all the room it may take.
constexpr bool read_ended_early(unsigned long moved, unsigned long total_ms,
                                std::int64_t elapsed_us)
{
    return moved == 0 && total_ms > 0 &&
           elapsed_us < static_cast<std::int64_t>(total_ms) * 1000 / 2;
}

// The state of the line. ok: transfers go on. stalled: a write ran into
// its limit, the port takes no more data (a wedged USB or Bluetooth adapter,
// a driver that holds its endpoint). gone: the device reported that it is
// no longer there (an adapter pulled out, the far end hung up). Set by the
// backend, back to ok only by open_serial. Once it is not ok every transfer
// fails at once without waiting: no further chunks, no read waits out its
// limit, no spin on a descriptor that reports hang-up; and close_serial
// drops the output that could not go out instead of waiting for it.
enum class line_state { ok, stalled, gone };
[[nodiscard]] line_state serial_line_state();

// The write limit. Without flow control a port takes bytes at the line's
// rate, so a write is done, at the latest, when the line will have carried
// everything written so far and the write's own bytes. The margin beyond
// that covers what is no fault: the scheduler of a busy machine, the
// 1 ms frames and the bursts of a USB adapter, a driver that moves its
// buffer in pieces, a simulator that gets the CPU late. 1 s is some
// hundred times those and still short against the 5 s in which a stalled
// job must have ended; it is the same margin the answer limit (1000 ms)
// gives the box.
inline constexpr std::int64_t write_margin_us = 1000000;

// Microseconds a write of count bytes may take from when the line can take
// its first byte.
constexpr std::int64_t write_limit_us(std::uint64_t count)
{
    return line_time_us(count) + write_margin_us;
}

// The limit in whole milliseconds, rounded up, as COMMTIMEOUTS take it.
constexpr std::uint32_t write_limit_ms(std::uint64_t count)
{
    return static_cast<std::uint32_t>((write_limit_us(count) + 999) / 1000);
}

// What a failed transfer's system error says about the line. POSIX: EIO,
// ENODEV and ENXIO come from a device that is gone (a USB adapter pulled
// out, a hung-up terminal). Windows: a removed adapter fails ReadFile and
// WriteFile with 5 (access denied), 22 (bad command), 31 (device not
// functioning), 995 (operation aborted) or 1167 (device not connected),
// depending on the driver, and 21 (not ready) where the port is a terminal
// that hung up (EIO underneath); a write that ran out of time reports 121 (the
// semaphore timeout) or 1121 (the counter timeout) where it does not simply
// return fewer bytes. Any other error leaves the state as it is.
constexpr line_state line_state_of_posix_error(int error)
{
    return error == EIO || error == ENODEV || error == ENXIO ? line_state::gone : line_state::ok;
}
constexpr line_state line_state_of_win32_error(unsigned long error)
{
    switch (error) {
    case 5:
    case 21:
    case 22:
    case 31:
    case 995:
    case 1167:
        return line_state::gone;
    case 121:
    case 1121:
        return line_state::stalled;
    default:
        return line_state::ok;
    }
}

// Applies a read-timeout profile; failures are not reported.
void set_timeout_profile(timeout_profile profile);

// Drops every received byte that has not been read yet.
void purge_receive();

// Closes handle_com if it is open. On a line that is not ok, the output
// still waiting is dropped first: a terminal's close otherwise waits up to
// 30 s for it.
void close_serial();
