#include "channels/block.hpp"

#include "common/globals.hpp"
#include "common/texts.hpp"
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

receive_result get_data_buffer(std::uint32_t length, file_t file, std::uint32_t* crc)
{
    unsigned char lead = 0;
    if (!async_read(&lead, 1)) {
        std::printf(msg::box_silent);
        return receive_result::box_silent;
    }

    std::array<unsigned char, block_chunk_size> buffer;
    std::uint32_t value = crc_start;
    std::uint32_t remaining = length;
    // An empty block is one empty chunk: one progress print, nothing written.
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
                std::printf(msg::box_silent);
                return receive_result::box_silent;
            }
            value = crc_of(&buffer[i], static_cast<std::size_t>(got), value);
            i += static_cast<std::uint32_t>(got);
        }
        balken_ist += chunk;
        display_pro();
        if (!file_write(file, buffer.data(), chunk))
            return receive_result::write_failed;
        remaining -= chunk;
    } while (remaining > 0);

    *crc = value;
    return receive_result::ok;
}

int send_data_ok() { return send_cmd_buffer(cmd::block_ok); }

int send_data_header(std::uint64_t offset, std::uint32_t length, file_t file)
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

    char command[40];
    std::snprintf(command, sizeof command, cmd::block_announce, static_cast<unsigned long>(length),
                  static_cast<unsigned long>(value));
    // An announcement that did not go out is answered by no box: the read
    // of the answer tells.
    (void)send_cmd_buffer(command);
    const char space = ' ';
    if (!async_write(&space, 1))
        std::printf(msg::com_error);
    return 1;
}

int send_data_buffer(std::uint64_t offset, std::uint32_t length, file_t file)
{
    if (!file_seek(file, offset))
        return 0;
    std::array<unsigned char, block_chunk_size> buffer;
    std::uint32_t remaining = length;
    // An empty range is one empty chunk: nothing sent, one progress print.
    do {
        std::uint32_t chunk = remaining < block_chunk_size ? remaining : block_chunk_size;
        if (!file_read(file, buffer.data(), chunk))
            return 0;
        if (chunk != 0 && !async_write(buffer.data(), static_cast<int>(chunk)))
            std::printf(msg::com_error);
        balken_ist += chunk;
        display_pro();
        remaining -= chunk;
    } while (remaining > 0);
    // The box's answer is read under a time limit that must start when the
    // block has left the port, not when it went into the driver's buffer.
    // A drain that ran out of time is no error: the answer's read tells.
    (void)drain_transmit(length);
    return 1;
}
