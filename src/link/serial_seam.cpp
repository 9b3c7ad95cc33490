// In-memory backend of the serial port (see serial_seam.hpp).
#include "link/serial_seam.hpp"

#include "common/globals.hpp"
#include "link/serial.hpp"

#include <cstring>

namespace {

const unsigned char* input = nullptr;
std::size_t input_size = 0;
std::size_t input_used = 0;

unsigned char record[seam_record_size];
std::size_t record_size = 0;
std::uint64_t record_total = 0;

// Any value but invalid_handle: the line is open.
constexpr std::intptr_t seam_handle = 1;

} // namespace

void seam_line_start(const unsigned char* data, std::size_t size)
{
    input = data;
    input_size = data != nullptr ? size : 0;
    input_used = 0;
    record_size = 0;
    record_total = 0;
}

const unsigned char* seam_written() { return record; }
std::size_t seam_written_size() { return record_size; }
std::uint64_t seam_written_total() { return record_total; }

int open_serial(const char* /*name*/)
{
    handle_com = seam_handle;
    return 1;
}

open_failure open_serial_failure() { return open_failure::none; }
// The in-memory line neither stalls nor goes away.
line_state serial_line_state() { return line_state::ok; }

// Written bytes are recorded at once: nothing is ever left to send, and no
// time passes on this line.
int drain_transmit(std::uint32_t /*bytes*/) { return handle_com != invalid_handle ? 1 : 0; }
std::int64_t line_busy_us() { return 0; }

void set_timeout_profile(timeout_profile /*profile*/) {}

int async_write(const void* data, int count)
{
    if (count < 0 || handle_com == invalid_handle)
        return 0;
    const auto n = static_cast<std::size_t>(count);
    std::size_t keep = seam_record_size - record_size;
    if (keep > n)
        keep = n;
    if (keep != 0)
        std::memcpy(record + record_size, data, keep);
    record_size += keep;
    record_total += n;
    return 1;
}

int async_read(void* buffer, int count)
{
    if (count < 0 || handle_com == invalid_handle)
        return 0;
    const auto n = static_cast<std::size_t>(count);
    // As on the real line, the bytes that came before the time-out are in
    // the buffer although the read failed.
    std::size_t available = input_size - input_used;
    std::size_t take = available < n ? available : n;
    if (take != 0)
        std::memcpy(buffer, input + input_used, take);
    input_used += take;
    return take == n ? 1 : 0;
}

int read_available(void* buffer, int max)
{
    if (max <= 0 || handle_com == invalid_handle)
        return 0;
    // Every byte of the input counts as arrived.
    std::size_t available = input_size - input_used;
    std::size_t take =
        available < static_cast<std::size_t>(max) ? available : static_cast<std::size_t>(max);
    if (take != 0)
        std::memcpy(buffer, input + input_used, take);
    input_used += take;
    return static_cast<int>(take);
}

void purge_receive() {}

void close_serial() { handle_com = invalid_handle; }
