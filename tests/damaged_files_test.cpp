// Hostile and damaged channel-list files against the load: the real program
// with the box simulator. A file the load cannot take is refused with its
// message before any write request reaches the box, the box's stored tables
// stay as they were and the file is not touched; a file that is unusual but
// valid is loaded exactly.
#include "support/harness.hpp"
#include "support/test_data.hpp"
#include "support/texts.hpp"

#include <algorithm>
#include <cstdint>
#include <gtest/gtest.h>
#include <ostream>
#include <string>
#include <vector>

namespace {

using strings = std::vector<std::string>;

std::string set_u32(std::string s, std::size_t at, std::uint32_t v)
{
    s.replace(at, 4, le32(v));
    return s;
}

// The sections of the simulator's default box: 20 satellites of 40 bytes,
// 100 transponders of 10, 300 TV and 100 radio channels of 32, 200
// favourites of 2.
struct sections {
    std::string sat = records(20 * 40, 1);
    std::string tp = records(100 * 10, 2);
    std::string tv = records(300 * 32, 3);
    std::string radio = records(100 * 32, 4);
    std::string fav = records(200 * 2, 5);
};

// A list file laid out as the format allows: the header with an info text
// of any length (padded to a multiple of 4), the favourites extension when
// asked for, 0xFF fill up to at least 128 bytes, then the sections in the
// given order at the offsets the header states.
std::string compose(const sections& s, const std::string& info, bool with_fav,
                    const std::string& order = "STCF")
{
    std::size_t padded = (info.size() + 3) & ~std::size_t{3};
    std::size_t header_end = std::max<std::size_t>(36 + padded + (with_fav ? 12 : 0), 128);
    std::string body;
    std::uint32_t sat_at = 0, tp_at = 0, chan_at = 0, fav_at = 0;
    for (char part : order) {
        auto at = static_cast<std::uint32_t>(header_end + body.size());
        if (part == 'S') {
            sat_at = at;
            body += s.sat;
        } else if (part == 'T') {
            tp_at = at;
            body += s.tp;
        } else if (part == 'C') {
            chan_at = at;
            body += s.tv + s.radio;
        } else if (part == 'F' && with_fav) {
            fav_at = at;
            body += s.fav;
        }
    }
    std::string h = "CXF2" + le32(sat_at) + le32(tp_at) + le32(chan_at) + le32(20) + le32(100) +
                    le32(300) + le32(100) + le32(static_cast<std::uint32_t>(info.size())) + info +
                    std::string(padded - info.size(), ' ');
    if (with_fav)
        h += le32(0x01085845) + le32(fav_at) + le32(200);
    h += std::string(header_end - h.size(), '\xff');
    return h + body;
}

// A box that claims room for any number of records, so that no count is
// lowered before the file's sections are checked.
const strings roomy_box = {"--fault", "reply,500 2 1,1,500 2 1 2147483647 H28",
                           "--fault", "reply,500 1 1,1,500 1 1 2147483647 HA",
                           "--fault", "reply,500 0 5,1,500 0 5 2147483647 2147483647",
                           "--fault", "reply,500 3 1,1,500 3 1 2147483647 H2"};

struct damaged_case {
    const char* name;
    std::string content;
    std::string out;     // what the load prints after "Senderliste auf die Box laden "
    bool header_refused; // refused before the box was asked anything
    strings box = roomy_box;
};

void PrintTo(const damaged_case& c, std::ostream* os) { *os << c.name; }

// The messages name the file; "{path}" stands for its path.
const std::string path_mark = "{path}";
const std::string format_error = msg::wrong_format(path_mark);
const std::string too_long = msg::info_too_long(path_mark);
const std::string too_short = "Datei '{path}' ist zu kurz oder beschaedigt\n";

// The corpus; every file is derived from a valid one with the usual 36-byte
// info text, whose fields lie at 4 (sat_offset), 8 (tp_offset), 12
// (chan_offset), 16..28 (the counts), 32 (info_len), 72 (favourites tag),
// 76 (fav_offset) and 80 (fav_count).
std::vector<damaged_case> corpus()
{
    const sections s;
    const std::string good = compose(s, msg::list_info, true);
    const auto size = static_cast<std::uint32_t>(good.size());
    const std::uint32_t chan_at = 128 + 800 + 1000;
    const std::string& format = format_error;
    const std::string damaged = msg::info_line + too_short;
    return {
        {"empty_file", "", format, true},
        {"signature_only", "CXF2", format, true},
        {"cut_inside_the_counts", good.substr(0, 22), format, true},
        {"cut_inside_the_info_text", good.substr(0, 50), format, true},
        {"cut_before_the_favourites_tag", good.substr(0, 74), msg::info_line + format, true},
        // The tag is there, its offset and count are not.
        {"favourites_tag_without_its_fields", good.substr(0, 76), msg::info_line + format, true},
        {"favourites_tag_without_its_count", good.substr(0, 82), msg::info_line + format, true},
        {"info_len_huge", set_u32(good, 32, 0x7FFFFFFF), too_long, true},
        // Rounded up to a multiple of 4 in 32 bits this would be 0.
        {"info_len_wraps_when_rounded_up", set_u32(good, 32, 0xFFFFFFFE), too_long, true},
        {"info_len_one_past_the_limit", set_u32(good, 32, 256), too_long, true},
        {"satellites_past_the_end", set_u32(good, 4, size), damaged, false},
        {"satellites_cross_the_end", set_u32(good, 4, size - 799), damaged, false},
        {"transponders_far_past_the_end", set_u32(good, 8, 0xFFFFFF00), damaged, false},
        {"channels_past_the_end", set_u32(good, 12, size - 100), damaged, false},
        {"favourites_past_the_end", set_u32(good, 76, size - 1), damaged, false},
        {"file_cut_inside_the_favourites", good.substr(0, good.size() - 1), damaged, false},
        // count x record size wraps to a few bytes in 32 bits.
        {"satellite_count_product_wraps", set_u32(good, 16, 0x08000001), damaged, false},
        {"transponder_count_product_wraps", set_u32(good, 20, 0x1999999A), damaged, false},
        {"tv_count_product_wraps", set_u32(good, 24, 0x08000001), damaged, false},
        {"radio_count_product_wraps", set_u32(good, 28, 0x08000001), damaged, false},
        // With 4-byte favourites on the box: 0x40000001 x 4 is 4 in 32 bits.
        {"favourites_count_product_wraps",
         set_u32(good, 80, 0x40000001),
         damaged,
         false,
         {"--fault", "reply,500 3 1,1,500 3 1 2147483647 H4"}},
        // TV count lowered to the box's 300 slots, but the radio records lie
        // behind all of the file's TV records: 2^27 x 32 bytes, which is 0 in
        // 32 bits and would point the radio block at the TV records.
        {"radio_behind_a_tv_count_that_wraps",
         set_u32(good, 24, 0x08000000),
         msg::info_line + "TV    = 300\n" + too_short,
         false,
         {}},
        {"offsets_and_counts_all_hostile",
         set_u32(set_u32(set_u32(good, 4, 0xFFFFFFFF), 16, 0xFFFFFFFF), 12, chan_at + 1),
         msg::info_line + "sat anz   = 2147483647\n" + too_short, false},
    };
}

std::string replace_path(std::string text, const std::string& real)
{
    for (auto at = text.find(path_mark); at != std::string::npos; at = text.find(path_mark, at))
        text.replace(at, path_mark.size(), real);
    return text;
}

class damaged_file : public ::testing::TestWithParam<damaged_case> {};

TEST_P(damaged_file, is_refused_with_its_message_before_any_write_request)
{
    const damaged_case& c = GetParam();
    const std::string dir = temp_dir();
    const std::string file = dir + "/kaputt.cxf";
    write_file(file, c.content);
    boxsim_process box(c.box);
    const strings box_before = stored_tables(box);
    run_result r = run_program({box.device(), "l", file}, "", 30000);
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_LT(r.seconds, 4.0);
    auto start = r.out.find(msg::loading);
    ASSERT_NE(start, std::string::npos) << r.out;
    EXPECT_EQ(r.out.substr(start), msg::loading + replace_path(c.out, file));

    // A header the load cannot read is refused before the box is asked
    // anything; the sections are checked after the queries, before any
    // write request.
    strings expected = {cmd::status, cmd::open_transfer};
    if (!c.header_refused)
        expected.insert(expected.end(), {cmd::fav_info, cmd::sat_info, cmd::tp_info, cmd::chan_info,
                                         cmd::split_info});
    expected.push_back(cmd::close_transfer);
    EXPECT_EQ(box.commands(), expected);

    EXPECT_EQ(read_file(file), c.content);
    EXPECT_EQ(list_dir(dir), strings{"kaputt.cxf"});
    box.stop();
    EXPECT_EQ(stored_tables(box), box_before);
}

INSTANTIATE_TEST_SUITE_P(corpus, damaged_file, ::testing::ValuesIn(corpus()),
                         [](const auto& info) { return std::string(info.param.name); });

// Unusual but valid files: each loads into the box exactly.
struct valid_case {
    const char* name;
    std::string info;
    bool with_fav;
    std::string order;
};

TEST(valid_file, unusual_layouts_load_exactly)
{
    const sections s;
    const valid_case cases[] = {
        // 5 characters, then 3 pad bytes; the favourites tag follows at 44.
        {"info_len_not_a_multiple_of_4", "velto", true, "STCF"},
        {"longest_info_text_pushes_the_sections_back", std::string(255, 'i'), true, "STCF"},
        {"no_info_text_and_no_favourites", "", false, "STCF"},
        // The reader goes by the offsets, not by the order of the sections.
        {"sections_in_reverse_order", msg::list_info, true, "FCTS"},
    };
    const std::string dir = temp_dir();
    for (const valid_case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir + "/liste.cxf";
        const std::string content = compose(s, c.info, c.with_fav, c.order);
        write_file(path, content);
        boxsim_process box;
        const std::string fav_before = stored_table(box, "favourites");
        run_result r = run_program({box.device(), "l", path}, "", 30000);
        EXPECT_EQ(r.exit_code, 0) << r.out;
        EXPECT_NE(r.out.find(msg::loading + "Infotext: " + c.info + "\n"), std::string::npos)
            << r.out;
        EXPECT_EQ(box.commands().back(), cmd::close_transfer);
        box.stop();
        EXPECT_EQ(stored_table(box, "satellites"), s.sat);
        EXPECT_EQ(stored_table(box, "transponders"), s.tp);
        EXPECT_EQ(stored_table(box, "channels"), s.tv + s.radio);
        EXPECT_EQ(stored_table(box, "favourites"), c.with_fav ? s.fav : fav_before);
        EXPECT_EQ(read_file(path), content);
    }
}

} // namespace
