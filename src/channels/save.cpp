#include "channels/channel_list.hpp"

#include <cstdio>

int get_channel_list(const char* path)
{
    std::printf("Senderliste speichern ist noch nicht eingebaut: %s\n", path);
    return 0;
}
