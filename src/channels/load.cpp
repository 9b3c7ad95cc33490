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
#include "channels/channel_list.hpp"
#include "channels/cxf_file.hpp"
#include "common/globals.hpp"
#include "common/os.hpp"
#include "link/protocol.hpp"
#include "link/scan.hpp"
#include "link/serial.hpp"

#include <cstdint>
#include <cstdio>

namespace {

// The record sizes of the current layout, the only one the file holds.
constexpr std::uint32_t sat_size = 40;
constexpr std::uint32_t tp_size = 10;
constexpr std::uint32_t chan_size = 32;

struct box_table {
    std::uint32_t count = 0;
    std::uint32_t size = 0;
};

// Sends a query and reads its answer into work. A missing answer counts
// as one that does not scan.
int ask(const char* command, char* work)
{
    send_cmd_buffer(command);
    return get_cmd_buffer(work);
}

// Info query "500 t 1", answered "%s %s %s %d H%x". A negative count is no
// count: the answer does not scan.
int query_info(const char* command, box_table* table)
{
    char work[linebuf_size];
    char word[word_size];
    int count = 0;
    std::uint32_t size = 0;
    if (!ask(command, work) ||
        scan_line(work, "%s %s %s %d H%x", word, word, word, &count, &size) != 5 || count < 0)
        return 0;
    table->count = static_cast<std::uint32_t>(count);
    table->size = size;
    return 1;
}

int query_split(std::uint32_t* tv_slots, std::uint32_t* radio_slots)
{
    char work[linebuf_size];
    char word[word_size];
    int tv = 0;
    int radio = 0;
    if (!ask("500 0 5", work) ||
        scan_line(work, "%s %s %s %d %d", word, word, word, &tv, &radio) != 5 || tv < 0 ||
        radio < 0)
        return 0;
    *tv_slots = static_cast<std::uint32_t>(tv);
    *radio_slots = static_cast<std::uint32_t>(radio);
    return 1;
}

// One table on its way into the box.
struct upload {
    char request[48];
    std::uint64_t offset;
    std::uint64_t length;
};

// Lowers count to what the box holds; 1 when it was lowered.
bool lower(std::uint32_t* count, std::uint32_t box_count)
{
    if (*count <= box_count)
        return false;
    *count = box_count;
    return true;
}

// Sends one table: write request, announcement with the space byte, the
// raw block, and the box's acknowledgement. Prints the failure's message.
int send_table(const upload& table, file_t file, const char* path)
{
    char work[linebuf_size];
    char word[word_size];
    if (!ask(table.request, work) || scan_line(work, "%s %s %s %s", word, word, word, word) != 4) {
        std::printf("wrong_line\n");
        return 0;
    }
    const auto length = static_cast<std::uint32_t>(table.length);
    if (!send_data_header(table.offset, length, file) ||
        !send_data_buffer(table.offset, length, file)) {
        std::printf("failed to read file %s!\n", path);
        return 0;
    }
    char status[word_size];
    if (!get_cmd_buffer(work) || scan_line(work, "%s %s", word, status) != 2) {
        std::printf("wrong_line\n");
        return 0;
    }
    if (status[0] != '0') {
        std::printf("crc fehler\n");
        return 0;
    }
    return 1;
}

int load(const char* path, file_t* file)
{
    *file = file_open_read(path);
    if (*file == no_file) {
        std::printf("failed to open file %s!\n", path);
        return 0;
    }
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
    if (!query_info("500 3 1", &fav))
        fav = box_table{};
    if (lower(&fav_count, fav.count))
        std::printf("FAV-Len        = %4u\n", fav_count);

    box_table sat, tp, chan;
    std::uint32_t tv_slots = 0, radio_slots = 0;
    if (!query_info("500 2 1", &sat) || !query_info("500 1 1", &tp) ||
        !query_info("500 0 1", &chan) || !query_split(&tv_slots, &radio_slots)) {
        std::printf("wrong_line\n");
        return 0;
    }

    // The checks, in this order: a failed one ends the load before the lines
    // of the later ones are printed.
    if (sat.size != sat_size) {
        std::printf("Falsches Format %u\n", sat.size);
        return 0;
    }
    if (lower(&sat_count, sat.count))
        std::printf("sat anz   = %u\n", sat_count);
    if (tp.size != tp_size) {
        std::printf("format error\n");
        return 0;
    }
    if (lower(&tp_count, tp.count))
        std::printf("Trans anz    = %4u\n", tp_count);
    if (lower(&tv_count, tv_slots))
        std::printf("TV    = %u\n", tv_count);
    if (lower(&radio_count, radio_slots))
        std::printf("Radio = %u\n", radio_count);
    if (chan.size != chan_size) {
        std::printf("falsches format\n");
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
        {{}, h.sat_offset, std::uint64_t{sat_count} * sat_size},
        {{}, h.tp_offset, std::uint64_t{tp_count} * tp_size},
        {{}, h.chan_offset, std::uint64_t{tv_count} * chan_size},
        {{}, radio_offset, std::uint64_t{radio_count} * chan_size},
        {{}, h.fav_offset, std::uint64_t{fav_count} * fav.size},
    };
    std::snprintf(tables[0].request, sizeof tables[0].request, "500 2 3 0 %u", sat_count - 1);
    std::snprintf(tables[1].request, sizeof tables[1].request, "500 1 3 0 %u", tp_count - 1);
    std::snprintf(tables[2].request, sizeof tables[2].request, "500 0 3 0 %u", tv_count - 1);
    std::snprintf(tables[3].request, sizeof tables[3].request, "500 0 3 %u %u", tv_slots,
                  tv_slots + radio_count - 1);
    std::snprintf(tables[4].request, sizeof tables[4].request, "500 3 3 0 %u", fav_count - 1);

    // Every section to be sent must lie inside the file, and the blocks must
    // be countable in 32 bits, before anything is written into the box.
    std::uint64_t file_bytes = 0;
    std::uint64_t total = 0;
    bool fits = file_size(*file, &file_bytes) != 0;
    for (const upload& t : tables) {
        if (t.length != 0)
            fits = fits && t.offset <= file_bytes && t.length <= file_bytes - t.offset;
        total += t.length;
    }
    if (!fits || total > 0xFFFFFFFFu) {
        std::printf("Datei '%s' ist zu kurz oder beschaedigt\n", path);
        return 0;
    }

    balken_size = static_cast<std::uint32_t>(total);
    balken_ist = 0;
    // Empty tables are passed over: no write request, no block of length 0.
    for (const upload& t : tables) {
        if (t.length != 0 && !send_table(t, *file, path))
            return 0;
    }

    char work[linebuf_size];
    char word[word_size];
    char stored[word_size];
    if (!ask("500 0 4 1", work) || scan_line(work, "%s %s %s %s", word, word, word, stored) != 4) {
        std::printf("wrong_line\n");
        return 0;
    }
    if (stored[0] != '0') {
        std::printf("speicher fehler\n");
        return 0;
    }
    return 1;
}

} // namespace

int send_channel_list(const char* path)
{
    send_cmd_buffer("503 18");
    sleep_ms(1000);
    purge_receive();
    std::printf("Senderliste auf die Box laden \n");

    file_t file = no_file;
    int ok = load(path, &file);
    file_close(file);
    // The table transfer is closed on every path.
    send_cmd_buffer("503 25");
    return ok;
}
