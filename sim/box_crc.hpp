// CRC-32/MPEG-2 as the box computes it over table blocks and firmware images.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace boxsim {

inline constexpr std::uint32_t crc_initial = 0xFFFFFFFFu;

// Feeds bytes into a running checksum: polynomial 0x04C11DB7, most significant bit first,
// no reflection, no final XOR. Start from crc_initial; the empty block keeps 0xFFFFFFFF.
std::uint32_t crc32_update(std::uint32_t crc, std::span<const std::uint8_t> bytes);

inline std::uint32_t crc32_mpeg2(std::span<const std::uint8_t> bytes)
{
    return crc32_update(crc_initial, bytes);
}

} // namespace boxsim
