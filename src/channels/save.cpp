// Channel-list save: asks the box for the size of its tables, has it send
// the satellite, transponder, channel and favourites tables one block each,
// checks every block's length and checksum and stores them in a
// channel-list file.
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
#include "common/trace.hpp"
#include "link/scan.hpp"

#include <cstdint>
#include <cstdio>

namespace {

// Channel record size of the box's older layout, which has no split query
// and no favourites table. Boxes with that layout are still in use: their
// lists are saved with TV = radio = count / 2, as they always were.
constexpr std::uint32_t old_layout_chan_size = 52;

// Asks for all records of a table: the block must be exactly the table's
// count times its record size, so that the file's sections lie where the
// header puts them.
int request_block(int table, const box_table& info, std::uint32_t* length, std::uint32_t* crc)
{
    return request_read_block(table, static_cast<long long>(info.count) - 1, info.size, length,
                              crc);
}

// Receives a requested block into the file, its first keep bytes stored,
// and acknowledges it when its checksum is the announced one.
int receive_block(file_t file, const char* path, std::uint32_t length, std::uint32_t crc,
                  std::uint32_t keep = UINT32_MAX)
{
    std::uint32_t received = 0;
    switch (get_data_buffer(length, file, &received, keep)) {
    case receive_result::ok:
        break;
    case receive_result::box_silent:
        return 0;
    case receive_result::write_failed:
        std::printf(msg::write_error, path);
        return 0;
    }
    return accept_block(length, crc, received);
}

int request_and_receive(int table, const box_table& info, file_t file, const char* path,
                        std::uint32_t keep = UINT32_MAX)
{
    std::uint32_t length = 0;
    std::uint32_t crc = 0;
    return request_block(table, info, &length, &crc) &&
           receive_block(file, path, length, crc, keep);
}

// Everything between "503 18" and "503 25".
int save_tables(const char* path)
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

    std::printf(msg::saving);
    std::uint32_t sat_length = 0;
    std::uint32_t sat_crc = 0;
    if (!request_block(table_satellites, sat, &sat_length, &sat_crc))
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
    if (!write_file_header(file, sat.count, sat.size, tp.count, tp.size, tv_count, radio_count,
                           chan.size, fav.count)) {
        std::printf(msg::write_error, path);
        file_discard(file, tmp_path);
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
    const std::uint64_t total = std::uint64_t{sat_length} + std::uint64_t{tp.count} * tp.size +
                                chan_shown + std::uint64_t{fav.count} * fav.size;
    balken_size = total > UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(total);
    balken_ist = 0;

    if (!receive_block(file, path, sat_length, sat_crc) ||
        !request_and_receive(table_transponders, tp, file, path) ||
        !request_and_receive(table_channels, chan, file, path, chan_keep) ||
        (fav.count != 0 && !request_and_receive(table_favourites, fav, file, path))) {
        file_discard(file, tmp_path);
        return 0;
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
