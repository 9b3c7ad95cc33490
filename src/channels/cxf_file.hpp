// The channel-list file: a 128-byte header ("CXF2", section offsets and
// counts, an info text, the optional favourites extension, 0xFF fill)
// followed by the raw satellite, transponder, channel and favourites
// records. Every integer is unsigned 32-bit little-endian, put together
// byte by byte so that the format does not depend on the host.
#pragma once

#include "common/os.hpp"

#include <array>
#include <cstdint>

inline constexpr std::uint32_t cxf_header_size = 128;
// The file's first bytes, "CXF2".
inline constexpr std::uint32_t cxf_signature_size = 4;
inline constexpr unsigned char cxf_signature[cxf_signature_size] = {'C', 'X', 'F', '2'};
inline constexpr std::uint32_t cxf_fav_tag = 0x01085845; // bytes 'E' 'X' 0x08 0x01

// The longest info text the reader accepts: it is kept in a 256-byte work
// buffer together with its terminator.
inline constexpr std::uint32_t cxf_max_info_len = 255;

// Builds the header for the given counts and record sizes, with the info
// text "velto update 1.02 <date> <time>" of the given time, cut to a
// multiple of 4. The offsets are 32-bit sums; the caller makes sure that
// they fit (see the save).
void build_file_header(std::array<unsigned char, cxf_header_size>& header, std::uint32_t sat_count,
                       std::uint32_t sat_size, std::uint32_t tp_count, std::uint32_t tp_size,
                       std::uint32_t tv_count, std::uint32_t radio_count, std::uint32_t chan_size,
                       std::uint32_t fav_count, const local_time& time);

// Writes the header, stamped with the local time, at the file's current
// position (its start). Returns 1 when all 128 bytes were written.
[[nodiscard]] int write_file_header(file_t file, std::uint32_t sat_count, std::uint32_t sat_size,
                                    std::uint32_t tp_count, std::uint32_t tp_size,
                                    std::uint32_t tv_count, std::uint32_t radio_count,
                                    std::uint32_t chan_size, std::uint32_t fav_count);

// The header as the reader found it. fav_offset and fav_count are 0 when
// the file has no favourites extension.
struct cxf_header {
    std::uint32_t sat_offset, tp_offset, chan_offset;
    std::uint32_t sat_count, tp_count, tv_count, radio_count;
    std::uint32_t info_len;
    std::uint32_t fav_offset, fav_count;
};

// Reads the header from the start of the file (the current position) and
// prints "Infotext: %s\n". Returns 1 when the header is complete. A wrong
// signature or a file that ends inside the header prints "Datei '%s' hat
// nicht das richtige Format\n"; an info text longer than cxf_max_info_len
// prints "Datei '%s' hat einen zu langen Infotext\n" (path for %s);
// either returns 0.
[[nodiscard]] int read_file_header(file_t file, const char* path, cxf_header* header);

// 1 when count records of record_size bytes from offset lie inside a file of
// file_size bytes. Computed in 64 bits, so no product or sum wraps.
[[nodiscard]] int section_fits(std::uint64_t file_size, std::uint64_t offset, std::uint32_t count,
                               std::uint32_t record_size);
