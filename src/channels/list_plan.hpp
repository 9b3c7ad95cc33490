// What a load of a channel-list file would write into the box: the file's
// header, the box's table sizes, the record-size checks, the counts lowered
// to what the box holds and the check that every section lies inside the
// file. The load writes the planned tables; the verify compares them with
// the box. Both print the same lines and refuse the same files and boxes,
// and both run inside the same frame (run_list_job).
#pragma once

#include "channels/cxf_file.hpp"
#include "common/os.hpp"

#include <cstdint>

// One table as a load sends it: count records of size bytes from the file's
// offset, into the box's table from the slot first_slot on.
struct planned_table {
    int table; // the box's table id (box_tables.hpp)
    std::uint32_t first_slot;
    std::uint64_t offset;
    std::uint32_t count;
    std::uint32_t size;
};

// The table's bytes.
inline std::uint64_t length_of(const planned_table& t) { return std::uint64_t{t.count} * t.size; }

// The last slot written; -1 for an empty table starting at slot 0.
inline long long last_slot_of(const planned_table& t)
{
    return static_cast<long long>(t.first_slot) + t.count - 1;
}

// The tables in the order the load sends them.
enum plan_index { plan_satellites, plan_transponders, plan_tv, plan_radio, plan_favourites };
inline constexpr int plan_table_count = 5;

struct list_plan {
    planned_table tables[plan_table_count];
    std::uint32_t total; // the bytes of all tables; the section check keeps it in 32 bits
};

// The load's checks of the file alone: opens the channel-list file at path
// into *file (the caller closes it on every path, no_file included) and
// reads its header into *header, printing "Infotext: ..." or the refusal's
// message exactly as the load does. 1 when the file passed.
[[nodiscard]] int open_list_file(const char* path, file_t* file, cxf_header* header);

// Opens the channel-list file at path into *file (the caller closes it on
// every path, no_file included), reads and prints its header, asks the box
// for its tables, checks the record sizes, prints the lowering lines and
// checks that every planned section lies inside the file. Prints the
// refusal's message and returns 0 when the file or the box does not fit;
// nothing that changes the box has been sent either way.
[[nodiscard]] int plan_list(const char* path, file_t* file, list_plan* plan);

// What the load or the verify does with a planned list: sends it, or
// compares it with the box. 0 when it failed; its message is printed.
using planned_job = int (*)(void* context, const list_plan& plan, file_t file, const char* path);

// The frame of both jobs: opens the table transfer, prints heading, plans
// the list at path and, when it fits, runs job on the plan. The file and the
// table transfer are closed on every path. 1 when the plan held and the job
// succeeded.
[[nodiscard]] int run_list_job(const char* heading, const char* path, planned_job job,
                               void* context);
