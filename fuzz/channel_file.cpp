// Fuzz target: the channel-list file. The input is the file; a well-behaved
// box takes it. The header reader and every check of the load run on it, and
// then, for a file they let through, the whole transfer. A file the load
// refuses must be refused before anything that changes the box went out.
#include "fuzz_support.hpp"

#include "channels/channel_list.hpp"
#include "link/serial.hpp"

#include <cstdint>
#include <cstring>

namespace {

// The box's answers to the info and split queries, in the load's order
// (favourites, satellites, transponders, channels, split), then one line
// that every later answer the load reads accepts: a write request's "four
// words", a block's "<word> 0" and the store's fourth word "0".
constexpr char box_answers[] = "500 3 1 200 H2\n"
                               "500 2 1 20 H28\n"
                               "500 1 1 100 HA\n"
                               "500 0 1 400 H20\n"
                               "500 0 5 300 100\n"
                               "500 0 4 0\n500 0 4 0\n500 0 4 0\n500 0 4 0\n500 0 4 0\n"
                               "500 0 4 0\n500 0 4 0\n500 0 4 0\n500 0 4 0\n500 0 4 0\n"
                               "500 0 4 0\n";
// The box's record counts per table id, and its favourite's size.
constexpr std::uint64_t box_slots[4] = {400, 100, 20, 200};
constexpr std::uint32_t box_fav_size = 2;

char list_path[300];

} // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/)
{
    fuzz_start(list_path, sizeof list_path, "list.cxf");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz_open_line_with_file(list_path, data, size, box_answers);
    const int ok = send_channel_list(list_path);
    close_serial();

    written_job job;
    fuzz_walk_written(&job, box_fav_size, box_slots);
    fuzz_require(job.opened && job.closed_last, "the load did not end with \"503 25\"");
    if (!ok) {
        fuzz_require(job.write_requests == 0 && job.blocks == 0 && job.stores == 0,
                     "a refused file changed the box");
    } else {
        fuzz_require(job.queries_first == 5, "a write request before the box's checks");
        fuzz_require(job.stores == 1, "a load without its store request");
    }
    return 0;
}
