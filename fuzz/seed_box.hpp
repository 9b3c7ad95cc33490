// The small box that the seed corpora were recorded from (make_corpus.cpp),
// and whose channel list the load_stream target loads or verifies: the same
// numbers keep the recorded box streams on the job's successful path.
#pragma once

#include <cstddef>
#include <cstdint>

namespace seed_box {

inline constexpr std::uint32_t sat_count = 3;
inline constexpr std::uint32_t tp_count = 5;
inline constexpr std::uint32_t tv_count = 4;
inline constexpr std::uint32_t radio_count = 3;
inline constexpr std::uint32_t fav_count = 4;
inline constexpr std::uint32_t fav_size = 2;

// The records of the load_stream target's list, byte i behind the header:
// they run through every value. make_corpus loads the same list into a box
// to record a verify that finds every table the same.
constexpr std::uint8_t list_record_byte(std::size_t i)
{
    return static_cast<std::uint8_t>(i * 37 + 11);
}
inline constexpr std::size_t list_record_bytes =
    sat_count * 40 + tp_count * 10 + (tv_count + radio_count) * 32 + fav_count * fav_size;

} // namespace seed_box
