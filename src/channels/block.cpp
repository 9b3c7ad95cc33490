#include "channels/block.hpp"

#include "common/globals.hpp"
#include "common/texts.hpp"
#include "common/trace.hpp"
#include "link/protocol.hpp"
#include "link/serial.hpp"

#include <cstdio>

namespace {

// The published check value of CRC-32/MPEG-2, verified when compiling.
constexpr std::uint32_t check_value()
{
    std::uint32_t crc = crc_start;
    for (char c : "123456789")
        if (c != '\0')
            crc = crc_update(crc, static_cast<unsigned char>(c));
    return crc;
}
static_assert(crc_table[0] == 0 && crc_table[1] == crc_polynomial);
static_assert(check_value() == 0x0376E6E7);

} // namespace

receive_result receive_data(std::uint32_t length, chunk_taker take, void* context,
                            std::uint32_t* crc)
{
    unsigned char lead = 0;
    if (!async_read(&lead, 1)) {
        trace_timeout("block");
        std::printf(msg::box_silent);
        return receive_result::box_silent;
    }

    std::array<unsigned char, block_chunk_size> buffer;
    std::uint32_t value = crc_start;
    std::uint32_t remaining = length;
    do {
        std::uint32_t chunk = remaining < block_chunk_size ? remaining : block_chunk_size;
        // The bytes are taken as they arrive: as many as have come, never
        // more than the chunk still needs, so nothing behind the block leaves
        // the port. Each read waits for its first byte under the full time
        // limit, as a one-byte read does. Read byte by byte, the bytes cost
        // the program more CPU time than 5 % of their time on the line.
        for (std::uint32_t i = 0; i < chunk;) {
            int got = read_available(&buffer[i], static_cast<int>(chunk - i));
            if (got <= 0) {
                trace_timeout("block");
                std::printf(msg::box_silent);
                return receive_result::box_silent;
            }
            value = crc_of(&buffer[i], static_cast<std::size_t>(got), value);
            i += static_cast<std::uint32_t>(got);
        }
        if (!take(context, buffer.data(), chunk))
            return receive_result::write_failed;
        remaining -= chunk;
    } while (remaining > 0);

    *crc = value;
    return receive_result::ok;
}

int write_chunk(void* context, const unsigned char* bytes, std::uint32_t count)
{
    balken_ist += count;
    display_pro();
    auto* sink = static_cast<file_sink*>(context);
    const std::uint32_t store = count < sink->keep ? count : sink->keep;
    sink->keep -= store;
    return store == 0 || file_write(sink->file, bytes, store);
}

receive_result get_data_buffer(std::uint32_t length, file_t file, std::uint32_t* crc,
                               std::uint32_t keep)
{
    // An empty block is one empty chunk: one progress print, nothing written.
    file_sink sink{file, keep};
    return receive_data(length, write_chunk, &sink, crc);
}

int send_data_ok() { return send_cmd_buffer(cmd::block_ok); }

int send_data_header(std::uint64_t offset, std::uint32_t length, file_t file, std::uint32_t* crc)
{
    if (!file_seek(file, offset))
        return 0;
    std::array<unsigned char, block_chunk_size> buffer;
    std::uint32_t value = crc_start;
    for (std::uint32_t remaining = length; remaining > 0;) {
        std::uint32_t chunk = remaining < block_chunk_size ? remaining : block_chunk_size;
        if (!file_read(file, buffer.data(), chunk))
            return 0;
        value = crc_of(buffer.data(), chunk, value);
        remaining -= chunk;
    }

    trace_block_crc("announced", length, value, value);
    char command[40];
    std::snprintf(command, sizeof command, cmd::block_announce, static_cast<unsigned long>(length),
                  static_cast<unsigned long>(value));
    // An announcement that did not go out is answered by no box: the read
    // of the answer tells.
    (void)send_cmd_buffer(command);
    const char space = ' ';
    if (!async_write(&space, 1))
        std::printf(msg::com_error);
    *crc = value;
    return 1;
}

namespace {

// Sends remaining filler bytes that complete a block whose checksum so far
// is value, so that the whole block's checksum differs from crc: zeros, and
// a last byte picked to miss crc (two different last bytes always give two
// different checksums).
void send_filler(std::uint32_t remaining, std::uint32_t value, std::uint32_t crc)
{
    if (remaining == 0)
        return;
    // A filler that does not arrive leaves the box short of bytes, as a
    // broken line would: its answer or its silence tells.
    const std::array<unsigned char, block_chunk_size> zeros{};
    for (std::uint32_t left = remaining - 1; left > 0;) {
        std::uint32_t chunk = left < block_chunk_size ? left : block_chunk_size;
        value = crc_of(zeros.data(), chunk, value);
        (void)async_write(zeros.data(), static_cast<int>(chunk));
        if (serial_line_state() != line_state::ok)
            return; // the line is lost: no more filler
        left -= chunk;
    }
    const unsigned char last = crc_update(value, 0) == crc ? 1 : 0;
    (void)async_write(&last, 1);
}

} // namespace

int send_data_buffer(std::uint64_t offset, std::uint32_t length, file_t file, std::uint32_t crc)
{
    std::array<unsigned char, block_chunk_size> buffer;
    std::uint32_t value = crc_start;
    std::uint32_t remaining = length;
    const bool placed = file_seek(file, offset) != 0;
    const long long began = trace_clock();
    // An empty range is one empty chunk: nothing sent, one progress print.
    do {
        // A line lost before the block (at its announcement or the space
        // byte) takes none of it.
        if (serial_line_state() != line_state::ok)
            return 1;
        std::uint32_t chunk = remaining < block_chunk_size ? remaining : block_chunk_size;
        if (!placed || !file_read(file, buffer.data(), chunk)) {
            send_filler(remaining, value, crc);
            return 0;
        }
        if (chunk != 0 && !async_write(buffer.data(), static_cast<int>(chunk))) {
            // A port that stopped taking data or went away takes none of the
            // rest either: the block ends at the next chunk, and the
            // answer's read, which then fails at once, ends the job.
            std::printf(msg::com_error);
        }
        value = crc_of(buffer.data(), chunk, value);
        balken_ist += chunk;
        display_pro();
        remaining -= chunk;
    } while (remaining > 0);
    // The box's answer is read under a time limit that must start when the
    // block has crossed the line, not when it went into a buffer. The read
    // starts it no earlier than the line's rate allows (serial.hpp); the
    // drain waits for the driver where it can tell, which covers a line
    // slower than its rate. A drain that ran out of time is no error: the
    // answer's read tells.
    (void)drain_transmit(length);
    trace_block_sent(length, began, line_busy_us());
    return 1;
}
