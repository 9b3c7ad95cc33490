#include "channels/channel_list.hpp"

#include <cstdio>

int send_channel_list(const char* path)
{
    std::printf("Senderliste laden ist noch nicht eingebaut: %s\n", path);
    return 0;
}
