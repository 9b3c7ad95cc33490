// Fuzz target: the box side of a whole load or verify. The first input byte
// picks the job: 'v' the verify, any other the load. The rest is everything
// the box sends, from the answer to the connection check on, as one byte
// stream; the file is a sound channel list of the seed box. Whatever the box
// answers, the job must close the transfer with "503 25" and ask nothing
// before all its queries were answered. The load must send only blocks that
// match their write requests and announcements; the verify must send no
// write request, no block and no store, leave the file as it was, and
// acknowledge every block it read when it completed.
#include "fuzz_support.hpp"
#include "seed_box.hpp"

#include "channels/channel_list.hpp"
#include "channels/cxf_file.hpp"
#include "link/protocol.hpp"
#include "link/serial.hpp"

#include <array>
#include <cstdint>
#include <cstring>

namespace {

constexpr char list_name[] = "list.cxf";
char list_path[300];
std::uint8_t list_bytes[cxf_header_size + seed_box::list_record_bytes];

// The file: header, then records whose bytes run through every value.
void write_list()
{
    using namespace seed_box;
    std::array<unsigned char, cxf_header_size> header;
    build_file_header(header, sat_count, 40, tp_count, 10, tv_count, radio_count, 32, fav_count,
                      local_time{2025, 12, 1, 12, 0});
    for (std::size_t i = 0; i < cxf_header_size; ++i)
        list_bytes[i] = header[i];
    for (std::size_t i = 0; i < list_record_bytes; ++i)
        list_bytes[cxf_header_size + i] = list_record_byte(i);
    fuzz_write_file(list_path, list_bytes, sizeof list_bytes);
}

void check_load(int connected, int ok)
{
    written_job job;
    fuzz_walk_written(&job, 0, nullptr);
    fuzz_require(!connected || (job.opened && job.closed_last),
                 "the load did not end with \"503 25\"");
    fuzz_require(job.write_requests == 0 || job.queries_first == 5,
                 "a write request before the box's answers were checked");
    fuzz_require(!ok || job.stores == 1, "a load without its store request");
}

void check_verify(int connected, verify_result result)
{
    written_job job;
    fuzz_walk_written(&job, 0, nullptr);
    fuzz_require(job.write_requests == 0 && job.blocks == 0 && job.stores == 0,
                 "the verify changed the box");
    fuzz_require(!connected || (job.opened && job.closed_last),
                 "the verify did not end with \"503 25\"");
    fuzz_require(job.read_requests == 0 || job.queries_before_reads == 5,
                 "a read request before the box's answers were checked");
    fuzz_require(job.acks <= job.read_requests, "an acknowledgement without a read request");
    fuzz_require(result == verify_result::failed || job.acks == job.read_requests,
                 "a completed verify with a block it did not acknowledge");
    std::uint8_t now[sizeof list_bytes + 1];
    fuzz_require(fuzz_read_file(list_path, now, sizeof now) ==
                         static_cast<long>(sizeof list_bytes) &&
                     std::memcmp(now, list_bytes, sizeof list_bytes) == 0 &&
                     fuzz_scratch_holds_only(list_name),
                 "the verify changed the files");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/)
{
    fuzz_start(list_path, sizeof list_path, list_name);
    write_list();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const bool verify = data[0] == 'v';
    fuzz_open_line(data + 1, size - 1);
    // As the program runs it: no list job against the loader.
    const int connected = job_may_run(test_con(), true);
    if (verify) {
        const verify_result result =
            connected ? verify_channel_list(list_path) : verify_result::failed;
        close_serial();
        check_verify(connected, result);
    } else {
        const int ok = connected && send_channel_list(list_path);
        close_serial();
        check_load(connected, ok);
    }
    return 0;
}
