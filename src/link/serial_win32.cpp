// Win32 backend of the serial port.
#include "link/serial.hpp"

#include "common/globals.hpp"
#include "common/trace.hpp"

#include <cstdint>
#include <windows.h>

static_assert(dcb_value::baud_115200 == CBR_115200 && dcb_value::no_parity == NOPARITY &&
              dcb_value::one_stop_bit == ONESTOPBIT &&
              dcb_value::dtr_disable == DTR_CONTROL_DISABLE &&
              dcb_value::rts_disable == RTS_CONTROL_DISABLE);

namespace {

HANDLE com() { return reinterpret_cast<HANDLE>(handle_com); }

open_failure last_failure = open_failure::none;

line_state state = line_state::ok;

// The write limit in force, in milliseconds (WriteTotalTimeoutConstant of
// every profile; the multiplier stays 0, since its whole milliseconds per
// byte are more than eleven times a byte's time at 115200 baud).
constexpr DWORD command_write_limit = write_limit_ms(1);
DWORD write_limit_in_force = command_write_limit;

// When the line will have carried every byte written so far, in
// microseconds of now_us() (see serial.hpp).
std::int64_t line_clear_us = 0;

std::int64_t now_us()
{
    LARGE_INTEGER frequency{}, count{};
    (void)QueryPerformanceFrequency(&frequency);
    (void)QueryPerformanceCounter(&count);
    if (frequency.QuadPart <= 0)
        return static_cast<std::int64_t>(GetTickCount64()) * 1000;
    // Seconds and remainder apart: the count times a million may not fit.
    const std::int64_t seconds = count.QuadPart / frequency.QuadPart;
    const std::int64_t rest = count.QuadPart % frequency.QuadPart;
    return seconds * 1000000 + rest * 1000000 / frequency.QuadPart;
}

// The total read limit of the profile in force (negative: none), and
// ReadTotalTimeoutConstant as the port has it, which differs from the
// profile's while one read's limit is moved out.
int profile_total_ms = -1;
DWORD port_read_total = 0;

// The longest total limit a read is given; MAXDWORD has a meaning of its own.
constexpr std::int64_t longest_read_total_ms = MAXDWORD - 1;

// The total limit of COMMTIMEOUTS starts when ReadFile is called, and the
// box cannot answer before the line has carried what was written. While it
// has not, this one read's limit is moved out by the time the line still
// needs; the read still returns as soon as its bytes are there, and the next
// read gets the profile's limit back. Nothing sleeps: a Sleep would be
// rounded up to the system's timer tick, some 16 ms per exchange. Without a
// limit nothing changes.
void limit_read()
{
    const std::int64_t busy = profile_total_ms < 0 ? 0 : line_busy_us();
    std::int64_t total = moved_total_ms(profile_total_ms, busy);
    if (total > longest_read_total_ms)
        total = longest_read_total_ms;
    if (busy > 0)
        trace_limit_moved(line_clear_us, total - profile_total_ms, total);
    const DWORD wanted = total < 0 ? 0 : static_cast<DWORD>(total);
    if (wanted == port_read_total)
        return;
    COMMTIMEOUTS t{};
    if (GetCommTimeouts(com(), &t)) {
        t.ReadTotalTimeoutConstant = wanted;
        if (SetCommTimeouts(com(), &t))
            port_read_total = wanted;
    }
}

// The line has stalled or gone: the first cause found stays, and the trace
// says it once.
void lose_line(line_state cause, const char* what)
{
    if (state != line_state::ok || cause == line_state::ok)
        return;
    state = cause;
    trace_line("line %s: %s", cause == line_state::gone ? "gone" : "stalled", what);
}

// A failed ReadFile: traced, and the line lost when the error says so.
int read_failed()
{
    (void)trace_os_error("ReadFile");
    lose_line(line_state_of_win32_error(GetLastError()), "ReadFile failed");
    return 0;
}

// A read that ended with fewer bytes than it wanted: the time ran out, or
// the device went away under it, which some drivers report only to the next
// call. ClearCommError fails then, with the error of a device that is gone.
// A read that brought no byte at all long before its total limit did not
// time out either: the gap limit starts only with a first byte, so nothing
// but a device that went away ends it (a hung-up terminal under wine).
// began_us is when the read was started.
int short_read(DWORD moved, std::int64_t began_us)
{
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(com(), &errors, &status)) {
        (void)trace_os_error("ClearCommError");
        lose_line(line_state_of_win32_error(GetLastError()), "ClearCommError failed after a read");
    } else if (read_ended_early(moved, port_read_total, now_us() - began_us)) {
        lose_line(line_state::gone, "read brought nothing long before its limit");
    }
    return 0;
}

// The cause of a failed CreateFileA. Windows gives a COM port to one handle
// at a time: a port another program holds is refused as access denied.
open_failure failure_of_create(DWORD error)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_NETPATH:
        return open_failure::missing;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        return open_failure::busy;
    default:
        return open_failure::other;
    }
}

int refuse(HANDLE h, open_failure cause, const char* call)
{
    (void)trace_os_error(call); // keeps the last error
    CloseHandle(h);
    last_failure = cause;
    return 0;
}

// COM10 and above open only through the device namespace (\\.\COM10); the
// prefix works for every COM number, so a bare "COM<n>" (any case) gets it.
// Names that carry a prefix or are anything else are used as given.
bool bare_com_name(const char* name)
{
    if ((name[0] | 0x20) != 'c' || (name[1] | 0x20) != 'o' || (name[2] | 0x20) != 'm')
        return false;
    const char* p = name + 3;
    if (*p < '0' || *p > '9')
        return false;
    while (*p >= '0' && *p <= '9')
        ++p;
    return *p == '\0';
}

void apply(DWORD interval, DWORD total)
{
    COMMTIMEOUTS t{};
    // Read the current values first, then replace all five fields.
    (void)GetCommTimeouts(com(), &t);
    t.ReadIntervalTimeout = interval;
    t.ReadTotalTimeoutMultiplier = 0;
    t.ReadTotalTimeoutConstant = total;
    t.WriteTotalTimeoutMultiplier = 0;
    t.WriteTotalTimeoutConstant = write_limit_in_force;
    (void)SetCommTimeouts(com(), &t);
}

// A write of count bytes that begins now, while the line will carry earlier
// bytes for busy_us more, ends within their time and its own plus the
// margin (serial.hpp). The constant is changed only when the write needs a
// different one, rounded up to 10 ms so that writes of like size share it.
void limit_write(std::int64_t busy_us, int count)
{
    const std::int64_t us = busy_us + write_limit_us(static_cast<std::uint64_t>(count));
    const auto limit = static_cast<DWORD>((us + 9999) / 10000 * 10);
    if (limit == write_limit_in_force)
        return;
    COMMTIMEOUTS t{};
    if (!GetCommTimeouts(com(), &t))
        return;
    t.WriteTotalTimeoutMultiplier = 0;
    t.WriteTotalTimeoutConstant = limit;
    if (SetCommTimeouts(com(), &t))
        write_limit_in_force = limit;
}

} // namespace

int open_serial(const char* name)
{
    char device[300];
    if (bare_com_name(name) && lstrlenA(name) < 250) {
        lstrcpyA(device, "\\\\.\\");
        lstrcatA(device, name);
        name = device;
    }
    HANDLE h =
        CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE || h == nullptr) {
        last_failure = failure_of_create(GetLastError());
        return trace_os_error("CreateFileA");
    }

    // With fAbortOnError left on by another program, a line error still
    // pending makes the driver refuse every call but ClearCommError, the
    // settings' own included: cleared first. A handle that is no port fails
    // here too, and GetCommState says so below.
    DWORD errors = 0;
    COMSTAT status{};
    (void)ClearCommError(h, &errors, &status);

    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    // The open profile: the read fields 0, so a read waits without limit;
    // a write has its limit (serial.hpp), for now that of a command.
    COMMTIMEOUTS open_timeouts{};
    write_limit_in_force = command_write_limit;
    open_timeouts.WriteTotalTimeoutConstant = write_limit_in_force;
    // A file, a console or a printer opens as well, but has no line state.
    if (!GetCommState(h, &dcb))
        return refuse(h, open_failure::not_serial, "GetCommState");
    dcb.DCBlength = sizeof dcb;
    set_line_settings(dcb);
    if (!SetCommTimeouts(h, &open_timeouts) || !SetCommState(h, &dcb) || !SetupComm(h, 256, 256))
        return refuse(h, open_failure::setup, "SetCommTimeouts/SetCommState/SetupComm");
    // The errors the line had until now (a framing error while the settings
    // changed among them) are no concern of this run.
    if (!ClearCommError(h, &errors, &status))
        (void)trace_os_error("ClearCommError");
    handle_com = reinterpret_cast<std::intptr_t>(h);
    last_failure = open_failure::none;
    state = line_state::ok;
    line_clear_us = 0;
    profile_total_ms = -1;
    port_read_total = 0;
    trace_port(name, handle_com);
    trace_profile(name_of(timeout_profile::open), limits_of(timeout_profile::open).total_ms, -1);
    return 1;
}

open_failure open_serial_failure() { return last_failure; }

line_state serial_line_state() { return state; }

std::int64_t line_busy_us()
{
    const std::int64_t left = line_clear_us - now_us();
    return left > 0 ? left : 0;
}

int drain_transmit(std::uint32_t /*bytes*/)
{
    if (handle_com == invalid_handle || state != line_state::ok)
        return 0;
    // Returns when the driver has sent every byte written. Without flow
    // control nothing can hold the line back, so the wait is the bytes' own
    // time on the line.
    return FlushFileBuffers(com()) ? 1 : 0;
}

void set_timeout_profile(timeout_profile profile)
{
    // Win32 has no "no limit" value of its own: all fields 0 is a read that
    // waits without limit.
    const read_limits limits = limits_of(profile);
    trace_profile(name_of(profile), limits.total_ms, limits.interval_ms);
    profile_total_ms = limits.total_ms;
    port_read_total = limits.total_ms < 0 ? 0 : static_cast<DWORD>(limits.total_ms);
    apply(limits.interval_ms < 0 ? 0 : static_cast<DWORD>(limits.interval_ms), port_read_total);
}

int async_read(void* buffer, int count)
{
    if (count < 0 || handle_com == invalid_handle || state != line_state::ok)
        return 0;
    limit_read();
    const std::int64_t began = now_us();
    DWORD moved = 0;
    BOOL ok = ReadFile(com(), buffer, static_cast<DWORD>(count), &moved, nullptr);
    if (!ok)
        return read_failed();
    return moved == static_cast<DWORD>(count) ? 1 : short_read(moved, began);
}

int async_write(const void* data, int count)
{
    if (count < 0 || handle_com == invalid_handle || state != line_state::ok)
        return 0;
    // See serial_posix.cpp: from when the write began, after what went before.
    const std::int64_t began = now_us();
    limit_write(line_clear_us > began ? line_clear_us - began : 0, count);
    line_clear_us = line_clear_after(line_clear_us, began, static_cast<std::uint64_t>(count));
    DWORD moved = 0;
    BOOL ok = WriteFile(com(), data, static_cast<DWORD>(count), &moved, nullptr);
    if (!ok) {
        (void)trace_os_error("WriteFile");
        lose_line(line_state_of_win32_error(GetLastError()), "WriteFile failed");
        return 0;
    }
    // A write that ran into its limit returns with fewer bytes.
    if (moved != static_cast<DWORD>(count)) {
        lose_line(line_state::stalled, "the port took no data within the write limit");
        return 0;
    }
    return 1;
}

int read_available(void* buffer, int max)
{
    if (max <= 0 || handle_com == invalid_handle || state != line_state::ok)
        return 0;
    limit_read();
    // What the driver already holds comes at once; with nothing there, one
    // byte is waited for under the profile in force.
    DWORD errors = 0;
    COMSTAT status{};
    DWORD want = 1;
    if (ClearCommError(com(), &errors, &status) && status.cbInQue > 1)
        want = status.cbInQue < static_cast<DWORD>(max) ? status.cbInQue : static_cast<DWORD>(max);
    const std::int64_t began = now_us();
    DWORD moved = 0;
    if (!ReadFile(com(), buffer, want, &moved, nullptr))
        return read_failed();
    if (moved == 0)
        return short_read(moved, began);
    return static_cast<int>(moved);
}

void purge_receive()
{
    if (handle_com != invalid_handle) {
        trace_purge(handle_com);
        (void)PurgeComm(com(), PURGE_RXCLEAR);
    }
}

void close_serial()
{
    if (handle_com != invalid_handle) {
        // Output that could not go out must not hold the close.
        if (state != line_state::ok)
            (void)PurgeComm(com(), PURGE_TXABORT | PURGE_TXCLEAR);
        CloseHandle(com());
        handle_com = invalid_handle;
    }
}
