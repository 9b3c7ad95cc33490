// The small box that the seed corpora were recorded from (make_corpus.cpp),
// and whose channel list the load_stream target loads: the same numbers keep
// the recorded box streams on the load's successful path.
#pragma once

#include <cstdint>

namespace seed_box {

inline constexpr std::uint32_t sat_count = 3;
inline constexpr std::uint32_t tp_count = 5;
inline constexpr std::uint32_t tv_count = 4;
inline constexpr std::uint32_t radio_count = 3;
inline constexpr std::uint32_t fav_count = 4;
inline constexpr std::uint32_t fav_size = 2;

} // namespace seed_box
