// Table blocks on the serial line: the CRC-32 that protects them, receiving
// a block from the box (into a file, or chunk by chunk into a compare), and
// announcing and sending a file range to the box.
//
// From the box: a response line "<word> H<length> H<crc> <n>", one byte that
// is not part of the block, then length raw bytes; the PC answers "911 0"
// when the checksum matches. To the box: the line "910 H<length> H<crc> 0",
// one space byte, then length raw bytes.
#pragma once

#include "common/os.hpp"

#include <array>
#include <cstddef>
#include <cstdint>

// CRC-32/MPEG-2: polynomial 0x04C11DB7, most significant bit first, preset
// 0xFFFFFFFF, no final XOR.
inline constexpr std::uint32_t crc_polynomial = 0x04C11DB7;
inline constexpr std::uint32_t crc_start = 0xFFFFFFFF;

constexpr std::array<std::uint32_t, 256> make_crc_table()
{
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t value = i << 24;
        for (int bit = 0; bit < 8; ++bit)
            value = (value & 0x80000000u) ? (value << 1) ^ crc_polynomial : value << 1;
        table[i] = value;
    }
    return table;
}

inline constexpr std::array<std::uint32_t, 256> crc_table = make_crc_table();

constexpr std::uint32_t crc_update(std::uint32_t crc, unsigned char byte)
{
    return (crc << 8) ^ crc_table[(crc >> 24) ^ byte];
}

constexpr std::uint32_t crc_of(const unsigned char* data, std::size_t n,
                               std::uint32_t crc = crc_start)
{
    for (std::size_t i = 0; i < n; ++i)
        crc = crc_update(crc, data[i]);
    return crc;
}

// Blocks move in chunks of at most this many bytes; after each chunk the
// progress display is advanced.
inline constexpr std::uint32_t block_chunk_size = 10240;

enum class receive_result {
    ok,          // all bytes came and were taken
    box_silent,  // a byte did not come; "Die Box antwortet nicht!\n" printed
    write_failed // the taker refused a chunk (the file could not be written,
                 // or read for a compare); nothing printed
};

// Takes one chunk of a block once all its bytes have arrived; 0 refuses it
// and ends the receive.
using chunk_taker = int (*)(void* context, const unsigned char* bytes, std::uint32_t count);

// Receives one block whose response line has been read: drops the leading
// byte, then reads length bytes in chunks of at most block_chunk_size, hands
// each chunk to take as soon as it has arrived and puts the checksum of all
// bytes into *crc. An empty block is one empty chunk. Whether the checksum
// is the announced one is the caller's to judge.
[[nodiscard]] receive_result receive_data(std::uint32_t length, chunk_taker take, void* context,
                                          std::uint32_t* crc);

// The taker of a block that goes into a file: each chunk advances the
// progress display, and the first keep bytes of the block are written to the
// file at its current position (the rest is only checked). 0 when the file
// could not be written.
struct file_sink {
    file_t file;
    std::uint32_t keep; // bytes still to be stored
};
[[nodiscard]] int write_chunk(void* context, const unsigned char* bytes, std::uint32_t count);

// receive_data into a file through a file_sink. On failure the chunks
// before stay in the file.
[[nodiscard]] receive_result get_data_buffer(std::uint32_t length, file_t file, std::uint32_t* crc,
                                             std::uint32_t keep = UINT32_MAX);

// Sends "911 0": the block just received had the announced checksum.
[[nodiscard]] int send_data_ok();

// Reads the file range of length bytes at offset, announces it with
// "910 H%lX H%lX 0" and sends the space byte that opens the data; the
// announced checksum goes into *crc. Returns 0 without sending anything
// when the range cannot be read in full; a failed space byte prints
// "\ncom error\n" and still counts as sent.
[[nodiscard]] int send_data_header(std::uint64_t offset, std::uint32_t length, file_t file,
                                   std::uint32_t* crc);

// Sends the same file range raw, in chunks, advancing the progress display
// after each. A chunk that cannot be written to the port prints
// "\ncom error\n" and the rest is still sent (the box's answer tells),
// unless the port stopped taking data or went away (serial_line_state):
// then nothing more is sent and the block counts as sent.
// Returns 0 when the file cannot be read in full (it changed or the disk
// failed since the announcement): the box is counting bytes then, so the
// block is completed with filler whose checksum cannot be the announced crc.
// The box rejects it and its answer is still owed; no byte that was not read
// is sent as data.
[[nodiscard]] int send_data_buffer(std::uint64_t offset, std::uint32_t length, file_t file,
                                   std::uint32_t crc);
