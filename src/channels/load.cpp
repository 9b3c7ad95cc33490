// Channel-list load: plans the tables as list_plan.hpp describes (the file's
// header, the box's table sizes and record sizes, the counts lowered to what
// the box can hold), and writes the satellite, transponder, TV, radio and
// favourites tables into the box one block each before ordering the box to
// store them.
//
// Nothing that changes the box is sent before every query and check has
// passed, including the check that each section to be sent lies inside the
// file: a short or damaged file never sends stale bytes into a box.
#include "channels/block.hpp"
#include "channels/box_tables.hpp"
#include "channels/channel_list.hpp"
#include "channels/list_plan.hpp"
#include "common/globals.hpp"
#include "common/os.hpp"
#include "common/texts.hpp"
#include "link/protocol.hpp"
#include "link/scan.hpp"

#include <cstdint>
#include <cstdio>

namespace {

// The box's answer to a write or store request ends in a status word. Any
// word that begins with the digit 0 is success: boxes answer "0", "00" and
// "0K", and all of them have always been taken as success.
bool status_ok(const char* word) { return word[0] == '0'; }

// Sends one table: write request, announcement with the space byte, the
// raw block, and the box's acknowledgement. Prints the failure's message.
int send_table(const planned_table& table, file_t file, const char* path)
{
    char request[request_capacity];
    format_request(request, table.table, request_write, table.first_slot, last_slot_of(table));
    char work[linebuf_size];
    char word[word_size];
    if (!ask_box(request, work) || scan_line(work, "%s %s %s %s", word, word, word, word) != 4) {
        std::printf(msg::wrong_line);
        return 0;
    }
    // The section check before the first write request keeps the length
    // within 32 bits.
    const auto length = static_cast<std::uint32_t>(length_of(table));
    std::uint32_t crc = 0;
    if (!send_data_header(table.offset, length, file, &crc)) {
        // Nothing was announced: the box waits for no block.
        std::printf(msg::cannot_read_file, path);
        return 0;
    }
    if (!send_data_buffer(table.offset, length, file, crc)) {
        // The block went out completed with filler that the box rejects;
        // its answer is read so that "503 25" is not taken for more data.
        std::printf(msg::cannot_read_file, path);
        (void)get_cmd_buffer(work);
        return 0;
    }
    char status[word_size];
    if (!get_cmd_buffer(work) || scan_line(work, "%s %s", word, status) != 2) {
        std::printf(msg::wrong_line);
        return 0;
    }
    if (!status_ok(status)) {
        std::printf(msg::crc_rejected);
        return 0;
    }
    return 1;
}

// Sends the planned tables and orders the box to store them.
int load(void* /*unused*/, const list_plan& plan, file_t file, const char* path)
{
    balken_size = plan.total;
    balken_ist = 0;
    // Empty tables are passed over: no write request, no block of length 0.
    for (const planned_table& t : plan.tables) {
        if (length_of(t) != 0 && !send_table(t, file, path))
            return 0;
    }

    char work[linebuf_size];
    char word[word_size];
    char stored[word_size];
    if (!ask_box(cmd::store, work) ||
        scan_line(work, "%s %s %s %s", word, word, word, stored) != 4) {
        std::printf(msg::wrong_line);
        return 0;
    }
    if (!status_ok(stored)) {
        std::printf(msg::store_failed);
        return 0;
    }
    return 1;
}

} // namespace

int send_channel_list(const char* path) { return run_list_job(msg::loading, path, load, nullptr); }
