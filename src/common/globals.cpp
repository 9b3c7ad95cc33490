#include "common/globals.hpp"

#include <cstdio>

std::intptr_t handle_com = invalid_handle;
char linebuf[linebuf_size];
std::uint32_t balken_size = 0;
std::uint32_t balken_ist = 0;

void display_pro()
{
    // The product is taken in 64 bits: in 32 bits it wraps for totals above
    // about 42 MB. For smaller totals the value is the same. A total of zero
    // means there was nothing to do, which is complete.
    unsigned percent = 100;
    if (balken_size != 0)
        percent =
            static_cast<unsigned>(static_cast<std::uint64_t>(balken_ist) * 100u / balken_size);
    std::printf("%3u%%\b\b\b\b", percent);
}
