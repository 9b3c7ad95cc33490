#include "channels/list_plan.hpp"

#include "channels/box_tables.hpp"
#include "channels/cxf_file.hpp"
#include "common/texts.hpp"
#include "common/trace.hpp"

#include <cstdio>

namespace {

// The record sizes of the current layout, the only one the file holds.
constexpr std::uint32_t sat_size = 40;
constexpr std::uint32_t tp_size = 10;
constexpr std::uint32_t chan_size = 32;

// Lowers count to what the box holds; 1 when it was lowered.
int lower(std::uint32_t* count, std::uint32_t box_count)
{
    if (*count <= box_count)
        return 0;
    *count = box_count;
    return 1;
}

} // namespace

int open_list_file(const char* path, file_t* file, cxf_header* header)
{
    *file = file_open_read(path);
    if (*file == no_file) {
        std::printf(msg::cannot_open_file, path);
        return 0;
    }
    trace_file("list opened", path);
    return read_file_header(*file, path, header);
}

int plan_list(const char* path, file_t* file, list_plan* plan)
{
    cxf_header h{};
    if (!open_list_file(path, file, &h))
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

    // The checks, in this order: a failed one ends the job before the lines
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
    list_plan p = {{
                       {table_satellites, 0, h.sat_offset, sat_count, sat_size},
                       {table_transponders, 0, h.tp_offset, tp_count, tp_size},
                       {table_channels, 0, h.chan_offset, tv_count, chan_size},
                       {table_channels, tv_slots, radio_offset, radio_count, chan_size},
                       {table_favourites, 0, h.fav_offset, fav_count, fav.size},
                   },
                   0};

    // Every planned section must lie inside the file, and the tables must be
    // countable in 32 bits, before anything is written into the box.
    std::uint64_t file_bytes = 0;
    std::uint64_t total = 0;
    int fits = file_size(*file, &file_bytes);
    for (const planned_table& t : p.tables) {
        if (t.count != 0)
            fits = fits && section_fits(file_bytes, t.offset, t.count, t.size);
        total += length_of(t);
    }
    if (!fits || total > 0xFFFFFFFFu) {
        std::printf(msg::file_damaged, path);
        return 0;
    }
    p.total = static_cast<std::uint32_t>(total);
    *plan = p;
    return 1;
}

int run_list_job(const char* heading, const char* path, planned_job job, void* context)
{
    open_table_transfer();
    std::printf("%s", heading);
    file_t file = no_file;
    list_plan plan;
    const int ok = plan_list(path, &file, &plan) && job(context, plan, file, path);
    file_close(file);
    // The table transfer is closed on every path.
    close_table_transfer();
    return ok;
}
