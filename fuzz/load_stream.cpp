// Fuzz target: the box side of a whole load. The input is everything the box
// sends, from the answer to the connection check on, as one byte stream; the
// file is a sound channel list of the seed box. Whatever the box answers,
// the load must close the transfer with "503 25", send no write request
// before all its queries were answered, and send only blocks that match
// their write requests and announcements.
#include "fuzz_support.hpp"
#include "seed_box.hpp"

#include "channels/channel_list.hpp"
#include "channels/cxf_file.hpp"
#include "link/protocol.hpp"
#include "link/serial.hpp"
#include "link/serial_seam.hpp"

#include <array>
#include <cstdint>

namespace {

char list_path[300];

// The file: header, then records whose bytes run through every value.
void write_list()
{
    using namespace seed_box;
    static std::uint8_t bytes[4096];
    std::array<unsigned char, cxf_header_size> header;
    build_file_header(header, sat_count, 40, tp_count, 10, tv_count, radio_count, 32, fav_count,
                      local_time{2025, 12, 1, 12, 0});
    const std::size_t records =
        sat_count * 40 + tp_count * 10 + (tv_count + radio_count) * 32 + fav_count * fav_size;
    static_assert(sizeof bytes >= cxf_header_size + sat_count * 40 + tp_count * 10 +
                                      (tv_count + radio_count) * 32 + fav_count * fav_size);
    for (std::size_t i = 0; i < cxf_header_size; ++i)
        bytes[i] = header[i];
    for (std::size_t i = 0; i < records; ++i)
        bytes[cxf_header_size + i] = static_cast<std::uint8_t>(i * 37 + 11);
    fuzz_write_file(list_path, bytes, cxf_header_size + records);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/)
{
    fuzz_quiet();
    fuzz_path(list_path, sizeof list_path, "list.cxf");
    write_list();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    seam_line_start(data, size);
    (void)open_serial("seam"); // the in-memory line always opens
    const int connected = test_con();
    const int ok = connected && send_channel_list(list_path);
    close_serial();

    written_job job;
    fuzz_walk_written(&job, 0, nullptr);
    fuzz_require(!connected || (job.opened && job.closed_last),
                 "the load did not end with \"503 25\"");
    fuzz_require(job.write_requests == 0 || job.queries_first == 5,
                 "a write request before the box's answers were checked");
    fuzz_require(!ok || job.stores == 1, "a load without its store request");
    return 0;
}
