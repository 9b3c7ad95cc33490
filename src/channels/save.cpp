// Channel-list save: plans the save (asks the box for the size of its
// tables, settles the file's channel split and checks that the file can
// describe them), then has the box send the satellite, transponder, channel
// and favourites tables one block each, checks every block's length and
// checksum and stores them in a channel-list file.
//
// The file is written under a temporary name next to the target and only
// put in the target's place once the last block has been received, checked
// and acknowledged, so a failed save leaves the previous list as it was.
#include "channels/block.hpp"
#include "channels/box_tables.hpp"
#include "channels/channel_list.hpp"
#include "channels/cxf_file.hpp"
#include "common/globals.hpp"
#include "common/os.hpp"
#include "common/texts.hpp"

#include <cstdint>
#include <cstdio>

namespace {

// Channel record size of the box's older layout, which has no split query
// and no favourites table. Boxes with that layout are still in use: their
// lists are saved with TV = radio = count / 2, as they always were.
constexpr std::uint32_t old_layout_chan_size = 52;

// One table as the save receives it: all its records in one block, whose
// description the read request brings, and of which the file keeps the
// first keep bytes.
struct saved_table {
    int table; // the box's table id (box_tables.hpp)
    box_table info;
    std::uint32_t keep;
    std::uint32_t length;
    std::uint32_t crc;
};

// The tables in the order the file holds them.
enum save_index { save_satellites, save_transponders, save_channels, save_favourites };

// What the save receives and how the file describes it, settled before the
// file is opened.
struct save_plan {
    saved_table tables[4];
    int table_count; // the favourites are received only when the box has some
    std::uint32_t tv_count;
    std::uint32_t radio_count;
    std::uint32_t total; // the progress display's total
};

// Asks for all records of a table: the block must be exactly the table's
// count times its record size, so that the file's sections lie where the
// header puts them.
int request_block(saved_table* t)
{
    return request_read_block(t->table, static_cast<long long>(t->info.count) - 1, t->info.size,
                              &t->length, &t->crc);
}

// The save's plan: asks the box for its tables, settles the channel split
// and what the file keeps of the channel table, prints the saving line and
// requests the satellite block, whose description then waits in the plan
// for the file to be opened. Prints the refusal's message and returns 0
// when the box's tables cannot be saved; no file has been touched.
int plan_save(save_plan* plan)
{
    box_table sat, tp, chan, fav;
    if (!query_info(table_satellites, &sat)) {
        std::printf(msg::wrong_lined);
        return 0;
    }
    if (!query_info(table_transponders, &tp) || !query_info(table_channels, &chan)) {
        std::printf(msg::wrong_line);
        return 0;
    }
    std::uint32_t tv_count = 0;
    std::uint32_t radio_count = 0;
    if (chan.size == old_layout_chan_size) {
        tv_count = radio_count = chan.count / 2;
    } else {
        if (!query_split(&tv_count, &radio_count)) {
            std::printf(msg::wrong_line);
            return 0;
        }
        // A box without favourites does not answer in the info format.
        if (!query_info(table_favourites, &fav))
            fav = box_table{};
        // The file's header describes TV + radio channel records, and the
        // favourites follow them. More slots than the channel table holds
        // would describe records that the file cannot hold: refused before
        // anything is read. Fewer are fine: the file keeps the first TV +
        // radio records, and the box's records behind them are read and
        // checked but not stored, since no reader of the file could find them.
        if (std::uint64_t{tv_count} + radio_count > chan.count) {
            std::printf(msg::slots_beyond_channels,
                        static_cast<unsigned long long>(tv_count) + radio_count, chan.count);
            return 0;
        }
    }
    // The old layout's halves leave out the last record of an odd count;
    // such files have always held it, and still do.
    // A product beyond 32 bits is no block the box can announce: the length
    // check refuses it before anything is stored.
    const std::uint64_t described = (std::uint64_t{tv_count} + radio_count) * chan.size;
    const std::uint32_t chan_keep = chan.size == old_layout_chan_size || described > UINT32_MAX
                                        ? UINT32_MAX
                                        : static_cast<std::uint32_t>(described);
    save_plan p = {{
                       {table_satellites, sat, UINT32_MAX, 0, 0},
                       {table_transponders, tp, UINT32_MAX, 0, 0},
                       {table_channels, chan, chan_keep, 0, 0},
                       {table_favourites, fav, UINT32_MAX, 0, 0},
                   },
                   fav.count != 0 ? 4 : 3,
                   tv_count,
                   radio_count,
                   0};

    std::printf(msg::saving);
    if (!request_block(&p.tables[save_satellites]))
        return 0;

    // The header holds 32-bit offsets: tables that together reach beyond
    // them cannot be described. Computed in 64 bits from the box's numbers.
    std::uint64_t chan_offset = cxf_header_size + static_cast<std::uint64_t>(sat.count) * sat.size +
                                static_cast<std::uint64_t>(tp.count) * tp.size;
    std::uint64_t fav_offset =
        chan_offset + (static_cast<std::uint64_t>(tv_count) + radio_count) * chan.size;
    if ((fav.count != 0 ? fav_offset : chan_offset) > UINT32_MAX) {
        std::printf(msg::list_too_large);
        return 0;
    }

    // The favourites count with the record size the box reported, which is
    // also the length their block is checked against: the display then ends
    // at 100 whatever that size is.
    // The total counts every byte that is received, stored or not, and is
    // computed in 64 bits; a display never needs more than 32.
    // The old layout's display has always counted the described channels.
    std::uint64_t chan_shown = std::uint64_t{chan.count} * chan.size;
    if (chan.size == old_layout_chan_size)
        chan_shown = described;
    const std::uint64_t total = std::uint64_t{p.tables[save_satellites].length} +
                                std::uint64_t{tp.count} * tp.size + chan_shown +
                                std::uint64_t{fav.count} * fav.size;
    p.total = total > UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(total);
    *plan = p;
    return 1;
}

// Everything between "503 18" and "503 25".
int save_tables(const char* path)
{
    save_plan plan;
    if (!plan_save(&plan))
        return 0;

    // The file that gets the list (behind a symbolic link, the file it
    // names), refused here when the user may not replace it.
    char target[temp_path_capacity];
    char tmp_path[temp_path_capacity];
    file_t file = no_file;
    if (file_save_target(path, target, sizeof target))
        file = file_create_temp(target, tmp_path, sizeof tmp_path);
    if (file == no_file) {
        std::printf(msg::cannot_open_file, path);
        return 0;
    }
    const saved_table* t = plan.tables;
    if (!write_file_header(file, t[save_satellites].info.count, t[save_satellites].info.size,
                           t[save_transponders].info.count, t[save_transponders].info.size,
                           plan.tv_count, plan.radio_count, t[save_channels].info.size,
                           t[save_favourites].info.count)) {
        std::printf(msg::write_error, path);
        file_discard(file, tmp_path);
        return 0;
    }

    balken_size = plan.total;
    balken_ist = 0;
    // The satellite block was requested by the plan; each other table is
    // requested when the one before is in the file.
    for (int i = 0; i < plan.table_count; ++i) {
        saved_table& table = plan.tables[i];
        file_sink sink{file, table.keep};
        if ((i != save_satellites && !request_block(&table)) ||
            !receive_block(table.length, table.crc, write_chunk, &sink, msg::write_error, path)) {
            file_discard(file, tmp_path);
            return 0;
        }
    }

    std::printf("\n");
    if (!file_commit(file, tmp_path, target)) {
        std::printf(msg::write_error, path);
        return 0;
    }
    return 1;
}

} // namespace

int get_channel_list(const char* path)
{
    open_table_transfer();
    int ok = save_tables(path);
    close_table_transfer();
    return ok;
}
