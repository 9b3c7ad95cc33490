// Channel-list load: reads a channel-list file, asks the box for the size
// of its tables, requires the box's record sizes to be the file's, lowers
// each count to what the box can hold, and writes the satellite,
// transponder, TV, radio and favourites tables into the box one block each
// before ordering the box to store them.
//
// Nothing that changes the box is sent before every query and check has
// passed, including the check that each section to be sent lies inside the
// file: a short or damaged file never sends stale bytes into a box.
#include "channels/block.hpp"
#include "channels/box_tables.hpp"
#include "channels/channel_list.hpp"
#include "channels/cxf_file.hpp"
#include "common/globals.hpp"
#include "common/os.hpp"
#include "common/texts.hpp"
#include "common/trace.hpp"
#include "link/protocol.hpp"
#include "link/scan.hpp"

#include <cstdint>
#include <cstdio>

namespace {

// The record sizes of the current layout, the only one the file holds.
constexpr std::uint32_t sat_size = 40;
constexpr std::uint32_t tp_size = 10;
constexpr std::uint32_t chan_size = 32;

// One table on its way into the box: count records of size bytes from the
// file's offset.
struct upload {
    char request[request_capacity];
    std::uint64_t offset;
    std::uint32_t count;
    std::uint32_t size;
};

std::uint64_t length_of(const upload& table) { return std::uint64_t{table.count} * table.size; }

// Lowers count to what the box holds; 1 when it was lowered.
int lower(std::uint32_t* count, std::uint32_t box_count)
{
    if (*count <= box_count)
        return 0;
    *count = box_count;
    return 1;
}

// The box's answer to a write or store request ends in a status word. Any
// word that begins with the digit 0 is success: boxes answer "0", "00" and
// "0K", and all of them have always been taken as success.
bool status_ok(const char* word) { return word[0] == '0'; }

// Sends one table: write request, announcement with the space byte, the
// raw block, and the box's acknowledgement. Prints the failure's message.
int send_table(const upload& table, file_t file, const char* path)
{
    char work[linebuf_size];
    char word[word_size];
    if (!ask_box(table.request, work) ||
        scan_line(work, "%s %s %s %s", word, word, word, word) != 4) {
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

int load(const char* path, file_t* file)
{
    *file = file_open_read(path);
    if (*file == no_file) {
        std::printf(msg::cannot_open_file, path);
        return 0;
    }
    trace_file("list opened", path);
    cxf_header h{};
    if (!read_file_header(*file, path, &h))
        return 0;

    // The working counts start at the file's and are lowered to the box's.
    std::uint32_t sat_count = h.sat_count;
    std::uint32_t tp_count = h.tp_count;
    std::uint32_t tv_count = h.tv_count;
    std::uint32_t radio_count = h.radio_count;
    std::uint32_t fav_count = h.fav_count;

    // A box that does not answer this one has no favourites: not an error.
    box_table fav;
    if (!query_info(table_favourites, &fav))
        fav = box_table{};
    if (lower(&fav_count, fav.count))
        std::printf(msg::fav_lowered, fav_count);

    box_table sat, tp, chan;
    std::uint32_t tv_slots = 0, radio_slots = 0;
    if (!query_info(table_satellites, &sat) || !query_info(table_transponders, &tp) ||
        !query_info(table_channels, &chan) || !query_split(&tv_slots, &radio_slots)) {
        std::printf(msg::wrong_line);
        return 0;
    }

    // The checks, in this order: a failed one ends the load before the lines
    // of the later ones are printed.
    if (sat.size != sat_size) {
        std::printf(msg::sat_format_wrong, sat.size);
        return 0;
    }
    if (lower(&sat_count, sat.count))
        std::printf(msg::sat_lowered, sat_count);
    if (tp.size != tp_size) {
        std::printf(msg::tp_format_wrong);
        return 0;
    }
    if (lower(&tp_count, tp.count))
        std::printf(msg::tp_lowered, tp_count);
    if (lower(&tv_count, tv_slots))
        std::printf(msg::tv_lowered, tv_count);
    if (lower(&radio_count, radio_slots))
        std::printf(msg::radio_lowered, radio_count);
    if (chan.size != chan_size) {
        std::printf(msg::chan_format_wrong);
        return 0;
    }

    // Favourites go only where both sides have some.
    if (fav.count == 0 || fav.size == 0)
        fav_count = 0;

    // The radio records follow the file's own TV records, and go into the
    // box's slots from its TV slot count upwards.
    const std::uint64_t radio_offset = static_cast<std::uint64_t>(h.chan_offset) +
                                       static_cast<std::uint64_t>(h.tv_count) * chan_size;
    upload tables[5] = {
        {{}, h.sat_offset, sat_count, sat_size},  {{}, h.tp_offset, tp_count, tp_size},
        {{}, h.chan_offset, tv_count, chan_size}, {{}, radio_offset, radio_count, chan_size},
        {{}, h.fav_offset, fav_count, fav.size},
    };
    // Empty tables send no request, so a last slot of -1 is never sent.
    format_request(tables[0].request, table_satellites, request_write, 0,
                   std::int64_t{sat_count} - 1);
    format_request(tables[1].request, table_transponders, request_write, 0,
                   std::int64_t{tp_count} - 1);
    format_request(tables[2].request, table_channels, request_write, 0, std::int64_t{tv_count} - 1);
    format_request(tables[3].request, table_channels, request_write, tv_slots,
                   std::int64_t{tv_slots} + radio_count - 1);
    format_request(tables[4].request, table_favourites, request_write, 0,
                   std::int64_t{fav_count} - 1);

    // Every section to be sent must lie inside the file, and the blocks must
    // be countable in 32 bits, before anything is written into the box.
    std::uint64_t file_bytes = 0;
    std::uint64_t total = 0;
    int fits = file_size(*file, &file_bytes);
    for (const upload& t : tables) {
        if (t.count != 0)
            fits = fits && section_fits(file_bytes, t.offset, t.count, t.size);
        total += length_of(t);
    }
    if (!fits || total > 0xFFFFFFFFu) {
        std::printf(msg::file_damaged, path);
        return 0;
    }

    balken_size = static_cast<std::uint32_t>(total);
    balken_ist = 0;
    // Empty tables are passed over: no write request, no block of length 0.
    for (const upload& t : tables) {
        if (length_of(t) != 0 && !send_table(t, *file, path))
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

int send_channel_list(const char* path)
{
    open_table_transfer();
    std::printf(msg::loading);

    file_t file = no_file;
    int ok = load(path, &file);
    file_close(file);
    // The table transfer is closed on every path.
    close_table_transfer();
    return ok;
}
