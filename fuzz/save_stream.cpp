// Fuzz target: the box side of a whole save. The input is everything the box
// sends, from the answer to the connection check on, as one byte stream. A
// channel-list file stands at the target path: a failed save must leave it
// as it was, a completed one must leave a file the header reader takes and
// whose sections lie inside it, and neither may leave a temporary file.
#include "fuzz_support.hpp"

#include "channels/channel_list.hpp"
#include "channels/cxf_file.hpp"
#include "common/os.hpp"
#include "link/protocol.hpp"
#include "link/serial.hpp"

#include <cstdint>
#include <cstring>

namespace {

constexpr char list_name[] = "senderl.cxf";
constexpr char previous[] = "the list that stood here before the save\n";
char list_path[300];

void check_saved_file()
{
    file_t file = file_open_read(list_path);
    fuzz_require(file != no_file, "the saved file cannot be opened");
    cxf_header h{};
    std::uint64_t size = 0;
    const int read = read_file_header(file, list_path, &h);
    const int sized = file_size(file, &size);
    file_close(file);
    fuzz_require(read && sized, "the saved file's header cannot be read back");
    fuzz_require(h.sat_offset == cxf_header_size && h.sat_offset <= h.tp_offset &&
                     h.tp_offset <= h.chan_offset && h.chan_offset <= size,
                 "the saved file's sections are out of order or past its end");
    fuzz_require(h.fav_count == 0 || (h.chan_offset <= h.fav_offset && h.fav_offset <= size),
                 "the saved file's favourites lie past its end");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/)
{
    fuzz_start(list_path, sizeof list_path, list_name);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz_write_file(list_path, reinterpret_cast<const std::uint8_t*>(previous),
                    sizeof previous - 1);
    fuzz_open_line(data, size);
    // As the program runs it: no list job against the loader.
    const int connected = job_may_run(test_con(), true);
    const int ok = connected && get_channel_list(list_path);
    close_serial();

    written_job job;
    fuzz_walk_written(&job, 0, nullptr);
    fuzz_require(job.write_requests == 0 && job.blocks == 0 && job.stores == 0,
                 "the save changed the box");
    fuzz_require(!connected || (job.opened && job.closed_last),
                 "the save did not end with \"503 25\"");
    fuzz_require(fuzz_scratch_holds_only(list_name), "the save left a temporary file");
    if (ok) {
        check_saved_file();
    } else {
        std::uint8_t now[sizeof previous];
        fuzz_require(fuzz_read_file(list_path, now, sizeof now) ==
                             static_cast<long>(sizeof previous - 1) &&
                         std::memcmp(now, previous, sizeof previous - 1) == 0,
                     "a failed save changed the file at the target path");
    }
    return 0;
}
