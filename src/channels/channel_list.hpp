// The channel-list jobs. The save and the load return 1 when the job
// completed and 0 when it failed; each job prints its own messages.
#pragma once

// Saves the box's satellite, transponder, channel and favourites tables
// into the channel-list file at path.
[[nodiscard]] int get_channel_list(const char* path);

// Loads the channel-list file at path into the box and orders the box to
// store it.
[[nodiscard]] int send_channel_list(const char* path);

// The verify has three outcomes: a difference is a result, not a failure.
enum class verify_result {
    same,    // every table a load would send is in the box as the file has it
    differs, // the job completed and at least one table differs
    failed   // the file was refused, or the box did not answer as it must
};

// Compares the channel-list file at path with the box's tables: every
// record a load of the file would write, against the slot it would write
// it to. Reads only: no write request, no block to the box, no file.
[[nodiscard]] verify_result verify_channel_list(const char* path);
