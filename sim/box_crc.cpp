#include "box_crc.hpp"

#include <array>

namespace boxsim {
namespace {

constexpr std::uint32_t polynomial = 0x04C11DB7u;

constexpr std::array<std::uint32_t, 256> make_table()
{
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t reg = i << 24;
        for (int bit = 0; bit < 8; ++bit)
            reg = (reg & 0x80000000u) ? (reg << 1) ^ polynomial : reg << 1;
        table[i] = reg;
    }
    return table;
}

constexpr auto crc_table = make_table();
static_assert(crc_table[1] == polynomial);

} // namespace

std::uint32_t crc32_update(std::uint32_t crc, std::span<const std::uint8_t> bytes)
{
    for (std::uint8_t b : bytes)
        crc = (crc << 8) ^ crc_table[((crc >> 24) ^ b) & 0xFFu];
    return crc;
}

} // namespace boxsim
