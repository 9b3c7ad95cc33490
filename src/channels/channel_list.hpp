// The channel-list jobs. Both return 1 when the job completed and 0 when it
// failed; each prints its own messages.
#pragma once

// Saves the box's satellite, transponder, channel and favourites tables
// into the channel-list file at path.
[[nodiscard]] int get_channel_list(const char* path);

// Loads the channel-list file at path into the box and orders the box to
// store it.
[[nodiscard]] int send_channel_list(const char* path);
