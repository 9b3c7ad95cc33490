// Channel-list verify: plans the tables as the load does (list_plan.hpp),
// then reads from the box the slots a load would write and compares them
// with the file's records, chunk by chunk as they arrive. It sends only
// queries, read requests and acknowledgements: nothing that changes the
// box, and it writes no file.
//
// The TV and radio records share one read of the channel table, from slot 0
// to the last radio slot a load would write. The slots between the file's
// TV records and the box's TV slot count are received and checked by the
// block's CRC like the rest, but not compared: a load leaves them as they
// are.
#include "channels/block.hpp"
#include "channels/box_tables.hpp"
#include "channels/channel_list.hpp"
#include "channels/list_plan.hpp"
#include "common/globals.hpp"
#include "common/os.hpp"
#include "common/texts.hpp"
#include "link/scan.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>

namespace {

constexpr std::uint64_t no_difference = UINT64_MAX;

// One planned table inside a block from the box, compared with the table's
// section of the file.
struct compared_span {
    const planned_table* table;
    const char* name;
    std::uint64_t block_offset;     // where the table's first record lies in the block
    std::uint64_t first_difference; // the table's first differing byte, or no_difference
};

// The compare of one block: its spans in block order, and how many of its
// bytes have been taken.
struct block_compare {
    file_t file;
    compared_span* spans;
    int span_count;
    std::uint64_t position;
};

// Takes one arrived chunk: compares the part of each span it covers with the
// same bytes of the file. A span that differs already is not read further.
// 0 when the file cannot be read.
int compare_chunk(void* context, const unsigned char* bytes, std::uint32_t count)
{
    auto* c = static_cast<block_compare*>(context);
    const std::uint64_t start = c->position;
    const std::uint64_t end = start + count;
    c->position = end;
    std::array<unsigned char, block_chunk_size> stored;
    for (int i = 0; i < c->span_count; ++i) {
        compared_span& s = c->spans[i];
        const std::uint64_t from = std::max(start, s.block_offset);
        const std::uint64_t to = std::min(end, s.block_offset + length_of(*s.table));
        if (from >= to || s.first_difference != no_difference)
            continue;
        // At most one chunk: to - from <= count.
        const auto n = static_cast<std::uint32_t>(to - from);
        if (!file_seek(c->file, s.table->offset + (from - s.block_offset)) ||
            !file_read(c->file, stored.data(), n))
            return 0;
        const unsigned char* got = bytes + (from - start);
        const auto [differing, unused] = std::mismatch(got, got + n, stored.data());
        if (differing != got + n)
            s.first_difference =
                from - s.block_offset + static_cast<std::uint64_t>(differing - got);
    }
    return 1;
}

// Reads the slots 0 .. last of a table of records of size bytes, as the save
// reads a table: the block must be exactly as long as the slots, and is
// acknowledged with "911 0" when its checksum is the announced one. The
// spans are compared on the way. Prints the failure's message, as the save
// does.
int read_and_compare(int table, long long last, std::uint32_t size, block_compare* compare,
                     const char* path)
{
    std::uint32_t length = 0;
    std::uint32_t crc = 0;
    return request_read_block(table, last, size, &length, &crc) &&
           receive_block(length, crc, compare_chunk, compare, msg::cannot_read_file, path);
}

void print_verdict(const compared_span& s)
{
    if (s.first_difference == no_difference)
        std::printf(msg::table_same, s.name);
    else
        std::printf(msg::table_differs, s.name,
                    static_cast<unsigned long long>(s.first_difference) / s.table->size + 1);
}

// Compares the planned tables with the box; *differs tells whether one
// differs. 0 when the box did not answer as it must.
int compare_tables(void* differs, const list_plan& plan, file_t file, const char* path)
{
    const planned_table* t = plan.tables;
    compared_span spans[plan_table_count] = {
        {&t[plan_satellites], msg::name_satellites, 0, no_difference},
        {&t[plan_transponders], msg::name_transponders, 0, no_difference},
        {&t[plan_tv], msg::name_tv, 0, no_difference},
        {&t[plan_radio], msg::name_radio,
         t[plan_radio].first_slot * std::uint64_t{t[plan_radio].size}, no_difference},
        {&t[plan_favourites], msg::name_favourites, 0, no_difference},
    };
    // The blocks, each a range of spans: TV and radio share the channel block.
    struct span_range {
        int first, end;
    };
    const span_range blocks[] = {{plan_satellites, plan_transponders},
                                 {plan_transponders, plan_tv},
                                 {plan_tv, plan_favourites},
                                 {plan_favourites, plan_table_count}};

    bool any = false;
    for (span_range b : blocks) {
        // Tables the load would not send are not asked for: at the edges of
        // a range, since a range holds at most two.
        while (b.first < b.end && length_of(*spans[b.first].table) == 0)
            ++b.first;
        while (b.end > b.first && length_of(*spans[b.end - 1].table) == 0)
            --b.end;
        if (b.first == b.end)
            continue;
        const planned_table& head = *spans[b.first].table;
        block_compare compare{file, &spans[b.first], b.end - b.first, 0};
        if (!read_and_compare(head.table, last_slot_of(*spans[b.end - 1].table), head.size,
                              &compare, path))
            return 0;
        for (int i = b.first; i < b.end; ++i) {
            print_verdict(spans[i]);
            any = any || spans[i].first_difference != no_difference;
        }
    }
    *static_cast<bool*>(differs) = any;
    return 1;
}

} // namespace

verify_result verify_channel_list(const char* path)
{
    bool differs = false;
    if (!run_list_job(msg::verifying, path, compare_tables, &differs))
        return verify_result::failed;
    return differs ? verify_result::differs : verify_result::same;
}
