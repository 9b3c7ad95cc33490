// The box simulator's model, driven in-process with a clock of its own: what the box answers,
// how blocks and images are framed and checked, what it keeps, and how scripted faults bend it.
#include "box_crc.hpp"
#include "box_faults.hpp"
#include "box_model.hpp"
#include "box_state.hpp"
#include "box_text.hpp"
#include "support/texts.hpp"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <set>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using namespace boxsim;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

// Bit by bit, as the checksum is defined, to check the table-driven one.
std::uint32_t reference_crc(std::string_view bytes)
{
    std::uint32_t crc = 0xFFFFFFFFu;
    for (char c : bytes) {
        crc ^= static_cast<std::uint32_t>(static_cast<unsigned char>(c)) << 24;
        for (int i = 0; i < 8; ++i)
            crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
    }
    return crc;
}

std::string hex(std::uint32_t v)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "%X", v);
    return buf;
}

std::string bytes_of(const std::vector<std::uint8_t>& v) { return {v.begin(), v.end()}; }

box_geometry small_geometry()
{
    box_geometry g;
    g.satellites = 20;
    g.transponders = 30;
    g.tv = 12;
    g.radio = 8;
    g.favourites = 150;
    g.seed = 7;
    return g;
}

// A read request's answer taken apart: the line, the byte before the data, the data.
struct read_answer {
    std::string line;
    char lead = 0;
    std::string data;
    unsigned length = 0;
    unsigned crc = 0;
    int count = -1;
    bool scans = false;
};

read_answer split_read_answer(const std::string& bytes)
{
    read_answer r;
    auto lf = bytes.find('\n');
    if (lf == std::string::npos)
        return r;
    r.line = bytes.substr(0, lf);
    char word[256];
    unsigned long length = 0, crc = 0;
    r.scans = std::sscanf(r.line.c_str(), "%255s H%lx H%lx %d", word, &length, &crc, &r.count) == 4;
    r.length = static_cast<unsigned>(length);
    r.crc = static_cast<unsigned>(crc);
    if (lf + 1 < bytes.size()) {
        r.lead = bytes[lf + 1];
        r.data = bytes.substr(lf + 2);
    }
    return r;
}

class boxsim_box : public ::testing::Test {
  protected:
    void make(box_geometry g = small_geometry(), std::vector<std::string> faults = {},
              std::optional<fs::path> dir = std::nullopt,
              std::string version = std::string(default_version))
    {
        box_options options;
        options.state_dir = dir;
        for (const auto& written : faults) {
            std::string error;
            auto f = parse_fault(written, error);
            ASSERT_TRUE(f) << written << ": " << error;
            options.faults.push_back(*f);
        }
        box_state state = make_state(g, version);
        if (dir)
            save_state(*dir, state);
        model = std::make_unique<box_model>(std::move(state), std::move(options),
                                            [this](const log_entry& e) { events.push_back(e); });
    }

    // Everything the box sends up to `at`, as one byte string.
    std::string drain(ms at)
    {
        model->tick(at);
        std::string out;
        while (auto c = model->pop_due(at)) {
            out += bytes_of(c->bytes);
            closed_seen = closed_seen || c->close_line;
        }
        return out;
    }

    // Sends bytes a millisecond after the last exchange and returns the immediate answer.
    std::string exchange(std::string_view bytes)
    {
        now += 1ms;
        model->receive(bytes, now);
        return drain(now);
    }
    std::string command(std::string_view text) { return exchange(std::string(text) + "\n"); }

    std::string table_bytes(int id) const
    {
        return bytes_of(model->working()[static_cast<std::size_t>(id)].data);
    }
    std::string records(int id, int first, int last) const
    {
        const table& t = model->working()[static_cast<std::size_t>(id)];
        return table_bytes(id).substr(std::size_t(first) * t.size,
                                      std::size_t(last - first + 1) * t.size);
    }

    // Write request, announcement, space and block; returns the acknowledgement.
    std::string write_block(int id, int first, int last, const std::string& block,
                            std::uint32_t crc)
    {
        std::string request = "500 " + std::to_string(id) + " 3 " + std::to_string(first) + " " +
                              std::to_string(last);
        EXPECT_EQ(command(request), "500 " + std::to_string(id) + " 3 OK\n");
        return exchange("910 H" + hex(std::uint32_t(block.size())) + " H" + hex(crc) + " 0\n " +
                        block);
    }
    std::string write_block(int id, int first, int last, const std::string& block)
    {
        return write_block(id, first, last, block, reference_crc(block));
    }

    bool noted(std::string_view part) const
    {
        return std::any_of(events.begin(), events.end(), [&](const log_entry& e) {
            return e.tag == '#' && e.text.find(part) != std::string::npos;
        });
    }

    // A loader image with a header the loader recognises.
    static std::string image(std::string version_field, std::size_t body = 3000)
    {
        version_field.resize(11, '\0');
        std::string img = "010\x01\x02ZOVA" + version_field;
        for (std::size_t i = 0; i < body; ++i)
            img += static_cast<char>((i * 37) & 0xFF); // holds line feeds and "501"-like text alike
        img += "501\n902\n";
        return img;
    }

    std::unique_ptr<box_model> model;
    std::vector<log_entry> events;
    ms now{0};
    bool closed_seen = false;
};

class boxsim_state_folder : public boxsim_box {
  protected:
    void SetUp() override
    {
        dir = fs::temp_directory_path() /
              ("boxsim_model_test_" + std::to_string(::getpid()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
    fs::path dir;
};

// --- checksum and record contents -------------------------------------------------------------

TEST(boxsim_crc, matches_the_published_check_value_and_the_bitwise_definition)
{
    std::string check = "123456789";
    std::vector<std::uint8_t> bytes(check.begin(), check.end());
    EXPECT_EQ(crc32_mpeg2(bytes), 0x0376E6E7u);
    EXPECT_EQ(crc32_mpeg2({}), 0xFFFFFFFFu);

    std::string all;
    for (int i = 0; i < 1000; ++i)
        all += static_cast<char>((i * 7919) >> 3);
    std::vector<std::uint8_t> v(all.begin(), all.end());
    EXPECT_EQ(crc32_mpeg2(v), reference_crc(all));
    std::uint32_t split = crc32_update(crc_initial, std::span(v).first(333));
    EXPECT_EQ(crc32_update(split, std::span(v).subspan(333)), reference_crc(all));
}

TEST(boxsim_tables, hold_every_byte_value_and_the_line_control_bytes_even_when_small)
{
    for (std::size_t n : {256u, 400u, 12800u}) {
        auto bytes = generate_bytes(3, table_satellites, n);
        EXPECT_EQ(std::set<std::uint8_t>(bytes.begin(), bytes.end()).size(), 256u) << n;
    }
    for (std::size_t n : {5u, 10u, 40u}) {
        auto bytes = generate_bytes(3, table_favourites, n);
        for (std::uint8_t special : {0x00, 0x0A, 0x0D, 0x11, 0x13})
            EXPECT_NE(std::find(bytes.begin(), bytes.end(), special), bytes.end())
                << n << " bytes lack " << int(special);
    }
}

TEST(boxsim_tables, are_reproducible_from_the_seed_and_differ_between_tables_and_seeds)
{
    auto a = make_state(small_geometry(), "v");
    auto b = make_state(small_geometry(), "v");
    for (int id = 0; id < table_kinds; ++id)
        EXPECT_EQ(a.tables[std::size_t(id)].data, b.tables[std::size_t(id)].data);
    EXPECT_NE(generate_bytes(1, 0, 64), generate_bytes(1, 1, 64));
    EXPECT_NE(generate_bytes(1, 0, 64), generate_bytes(2, 0, 64));
    EXPECT_EQ(a.tables[table_channels].data.size(), (12u + 8u) * 32u);
}

// --- running system: status, queries ---------------------------------------------------------

TEST_F(boxsim_box, status_line_carries_the_version_at_position_seven)
{
    make();
    std::string line = command(cmd::status);
    ASSERT_EQ(line, "999 OS 1.00 (2025-11-03)\n");
    EXPECT_EQ(line.substr(7, 17), default_version);
    EXPECT_NE(line[15], '3');
}

TEST_F(boxsim_box, another_make_is_a_version_whose_ninth_character_is_three)
{
    make(small_geometry(), {}, std::nullopt, "2.00 (2030-01-01)");
    EXPECT_EQ(command(cmd::status)[15], '3');
}

TEST_F(boxsim_box, carriage_returns_and_extra_blanks_in_commands_are_tolerated_but_noted)
{
    make();
    EXPECT_EQ(exchange("5\r01\r\n"), "999 OS 1.00 (2025-11-03)\n");
    EXPECT_TRUE(noted("carriage return"));
    EXPECT_EQ(command("  500   2  1 "), "500 2 1 20 H28\n");
}

TEST_F(boxsim_box, unknown_commands_and_commands_without_answer_stay_silent)
{
    make();
    EXPECT_EQ(command("hello"), "");
    EXPECT_TRUE(noted("unknown command"));
    EXPECT_EQ(command("500 4 1"), "");
    EXPECT_EQ(command(cmd::restart), ""); // only the loader restarts the box
    EXPECT_EQ(command(cmd::close_transfer), "");
    EXPECT_EQ(command(cmd::block_ok), "");
    EXPECT_EQ(command(cmd::open_transfer), "503 OK\n");
}

TEST_F(boxsim_box, info_and_split_queries_report_counts_and_hex_sizes)
{
    make();
    EXPECT_EQ(command(cmd::sat_info), "500 2 1 20 H28\n");
    EXPECT_EQ(command(cmd::tp_info), "500 1 1 30 HA\n");
    EXPECT_EQ(command(cmd::chan_info), "500 0 1 20 H20\n");
    EXPECT_EQ(command(cmd::fav_info), "500 3 1 150 H2\n");
    EXPECT_EQ(command(cmd::split_info), "500 0 5 12 8\n");

    char w[3][256];
    int count = 0;
    unsigned size = 0;
    EXPECT_EQ(std::sscanf(command(cmd::chan_info).c_str(), "%s %s %s %d H%x", w[0], w[1], w[2],
                          &count, &size),
              5);
    EXPECT_EQ(count, 20);
    EXPECT_EQ(size, 32u);
}

TEST_F(boxsim_box, a_box_without_favourites_reports_a_count_of_zero)
{
    box_geometry g = small_geometry();
    g.favourites = 0;
    make(g);
    EXPECT_EQ(command(cmd::fav_info), "500 3 1 0 H2\n");
}

TEST_F(boxsim_box, older_layout_has_no_split_query_and_no_favourites_table)
{
    box_geometry g = small_geometry();
    g.chan_size = 52;
    make(g);
    EXPECT_EQ(command(cmd::chan_info), "500 0 1 20 H34\n");
    EXPECT_EQ(command(cmd::split_info), "");
    EXPECT_EQ(command(cmd::fav_info), "");
    EXPECT_EQ(command("500 3 2 0 4"), "");
    EXPECT_EQ(command("500 3 3 0 4"), "");
}

// --- read requests ----------------------------------------------------------------------------

TEST_F(boxsim_box, read_request_frames_the_records_after_one_leading_byte)
{
    make();
    for (int id = 0; id < table_kinds; ++id) {
        const table& t = model->working()[std::size_t(id)];
        auto r = split_read_answer(
            command("500 " + std::to_string(id) + " 2 0 " + std::to_string(t.count - 1)));
        ASSERT_TRUE(r.scans) << r.line;
        EXPECT_EQ(r.lead, ' ');
        EXPECT_EQ(r.data, table_bytes(id));
        EXPECT_EQ(r.length, t.count * t.size);
        EXPECT_EQ(r.crc, reference_crc(r.data));
        EXPECT_EQ(r.count, int(t.count));
        EXPECT_EQ(r.line, "DATA H" + hex(r.length) + " H" + hex(r.crc) + " " +
                              std::to_string(t.count)); // upper-case hex, no leading zeros
    }
}

TEST_F(boxsim_box, read_request_serves_a_middle_range_and_clips_at_the_table_end)
{
    make();
    auto r = split_read_answer(command("500 1 2 5 9"));
    EXPECT_EQ(r.data, records(1, 5, 9));
    EXPECT_EQ(r.count, 5);

    r = split_read_answer(command("500 2 2 15 99"));
    EXPECT_EQ(r.data, records(2, 15, 19));
    EXPECT_EQ(r.count, 5);
    EXPECT_TRUE(noted("clipped"));
}

TEST_F(boxsim_box, empty_read_request_gives_length_zero_and_the_empty_crc)
{
    make();
    EXPECT_EQ(command("500 1 2 0 -1"), "DATA H0 HFFFFFFFF 0\n ");
    EXPECT_EQ(command("500 1 2 40 45"), "DATA H0 HFFFFFFFF 0\n ");
}

// --- write requests ---------------------------------------------------------------------------

TEST_F(boxsim_box, written_block_with_matching_crc_is_accepted_and_lands_in_the_slots)
{
    make();
    std::string block(3 * 10, '\0');
    for (std::size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<char>(0xF0 - i);
    std::string before = table_bytes(1);
    EXPECT_EQ(write_block(1, 4, 6, block), "910 0\n");
    EXPECT_EQ(records(1, 4, 6), block);
    EXPECT_EQ(table_bytes(1).substr(0, 40), before.substr(0, 40));
    EXPECT_EQ(table_bytes(1).substr(70), before.substr(70));

    char w[2][256];
    EXPECT_EQ(std::sscanf("910 0", "%s %s", w[0], w[1]), 2);
}

TEST_F(boxsim_box, block_arriving_byte_by_byte_is_taken_whole)
{
    make();
    std::string block = records(0, 0, 3);
    std::reverse(block.begin(), block.end());
    EXPECT_EQ(command("500 0 3 12 15"), "500 0 3 OK\n");
    std::string wire = "910 H" + hex(128) + " H" + hex(reference_crc(block)) + " 0\n " + block;
    std::string answer;
    for (char c : wire)
        answer += exchange(std::string(1, c));
    EXPECT_EQ(answer, "910 0\n");
    EXPECT_EQ(records(0, 12, 15), block); // radio slots begin after the TV slots
}

TEST_F(boxsim_box, block_with_wrong_crc_is_refused_and_not_written)
{
    make();
    std::string before = table_bytes(2);
    std::string block(40, 'x');
    EXPECT_EQ(write_block(2, 0, 0, block, reference_crc(block) ^ 0x100u), "910 1\n");
    EXPECT_EQ(table_bytes(2), before);
}

TEST_F(boxsim_box, block_without_a_write_request_is_refused_but_kept_in_step)
{
    make();
    std::string block(10, '\n'); // line feeds inside the block are data, not commands
    EXPECT_EQ(exchange("910 HA H" + hex(reference_crc(block)) + " 0\n " + block), "910 1\n");
    EXPECT_TRUE(noted("no write request"));
    EXPECT_EQ(command(cmd::status), "999 OS 1.00 (2025-11-03)\n");
}

TEST_F(boxsim_box, block_longer_than_the_table_is_clipped_at_its_end)
{
    make();
    std::string block(5 * 40, 'z');
    EXPECT_EQ(write_block(2, 18, 22, block), "910 0\n");
    EXPECT_EQ(records(2, 18, 19), std::string(80, 'z'));
    EXPECT_EQ(table_bytes(2).size(), 20u * 40u);
    EXPECT_TRUE(noted("beyond the table's end"));
}

TEST_F(boxsim_box, non_space_separator_is_noted_and_the_block_still_counts_from_the_next_byte)
{
    make();
    std::string block(10, 'q');
    EXPECT_EQ(command("500 1 3 0 0"), "500 1 3 OK\n");
    EXPECT_EQ(exchange("910 HA H" + hex(reference_crc(block)) + " 0\n!" + block), "910 0\n");
    EXPECT_TRUE(noted("separator byte 0x21"));
}

TEST_F(boxsim_box, stalled_block_is_abandoned_without_answer)
{
    make();
    EXPECT_EQ(command("500 1 3 0 0"), "500 1 3 OK\n");
    EXPECT_EQ(exchange("910 HA H12345678 0\n abc"), "");
    now += block_quiet_time;
    EXPECT_EQ(drain(now), "");
    EXPECT_TRUE(noted("abandoned"));
    EXPECT_EQ(command(cmd::status), "999 OS 1.00 (2025-11-03)\n");
}

TEST_F(boxsim_box, program_letting_go_drops_a_half_received_command)
{
    make();
    EXPECT_EQ(exchange("50"), "");
    model->line_reset(now);
    EXPECT_EQ(command(cmd::status), "999 OS 1.00 (2025-11-03)\n");
}

// --- store and the state folder ---------------------------------------------------------------

TEST_F(boxsim_state_folder, store_request_persists_the_working_tables)
{
    make(small_geometry(), {}, dir);
    std::string block(30, 'S');
    ASSERT_EQ(write_block(1, 0, 2, block), "910 0\n");
    EXPECT_NE(load_state(dir).tables[table_transponders].data, model->working()[1].data);

    std::string answer = command(cmd::store);
    EXPECT_EQ(answer, "500 0 4 0\n");
    char w[4][256];
    ASSERT_EQ(std::sscanf(answer.c_str(), "%s %s %s %s", w[0], w[1], w[2], w[3]), 4);
    EXPECT_EQ(w[3][0], '0');

    box_state reloaded = load_state(dir);
    EXPECT_EQ(reloaded.tables[table_transponders].data, model->working()[1].data);
    EXPECT_EQ(bytes_of(reloaded.tables[table_transponders].data).substr(0, 30), block);
    EXPECT_EQ(reloaded.tv_slots, 12u);
    EXPECT_EQ(reloaded.tables[table_favourites].count, 150u);
}

TEST_F(boxsim_state_folder, state_round_trips_and_refuses_a_damaged_table_file)
{
    box_state s = make_state(small_geometry(), "a\\b \x01");
    save_state(dir, s);
    ASSERT_TRUE(state_exists(dir));
    box_state back = load_state(dir);
    EXPECT_EQ(back.version, s.version);
    EXPECT_EQ(back.seed, 7u);
    for (int id = 0; id < table_kinds; ++id) {
        EXPECT_EQ(back.tables[std::size_t(id)].count, s.tables[std::size_t(id)].count);
        EXPECT_EQ(back.tables[std::size_t(id)].data, s.tables[std::size_t(id)].data);
    }
    fs::resize_file(dir / "satellites.bin", 39);
    EXPECT_THROW(load_state(dir), std::runtime_error);
}

TEST_F(boxsim_box, restart_drops_table_changes_that_were_not_stored)
{
    make();
    std::string before = table_bytes(2);
    ASSERT_EQ(write_block(2, 0, 0, std::string(40, 'w')), "910 0\n");
    EXPECT_EQ(command(cmd::loader), "998 LOADER\n");
    exchange(image("3.1"));
    EXPECT_EQ(drain(now + loader_quiet_time), "998 OK\n");
    command(cmd::restart);
    EXPECT_EQ(table_bytes(2), before);
}

// --- loader and restart -----------------------------------------------------------------------

TEST_F(boxsim_state_folder, image_ends_on_a_quiet_line_and_the_restart_reports_its_version)
{
    make(small_geometry(), {}, dir);
    ASSERT_EQ(command(cmd::loader), "998 LOADER\n");
    EXPECT_EQ(model->mode(), box_mode::loader);
    now += 5s; // the loader waits for the first byte however long it takes
    EXPECT_EQ(drain(now), "");

    std::string img = image("2.07 (2026-01-02)");
    EXPECT_EQ(exchange(img.substr(0, 1000)), "");
    EXPECT_EQ(exchange(img.substr(1000)), "");
    EXPECT_EQ(drain(now + loader_quiet_time - 1ms), "");
    now += loader_quiet_time;
    EXPECT_EQ(drain(now), "998 OK\n");
    EXPECT_EQ(bytes_of(model->last_image()), img);
    EXPECT_TRUE(noted(hex(reference_crc(img))));
    EXPECT_EQ(fs::file_size(dir / "image.bin"), img.size());

    EXPECT_EQ(command(cmd::restart), "");
    EXPECT_EQ(command(cmd::status), ""); // booting: ignored
    EXPECT_EQ(drain(now + default_boot_delay - 2ms), "");
    now += default_boot_delay;
    EXPECT_EQ(drain(now), "999 OS 2.07 (2026-\n"); // header bytes 9 to 19
    EXPECT_EQ(command(cmd::status), "999 OS 2.07 (2026-\n");
    EXPECT_EQ(load_state(dir).version, "2.07 (2026-");
}

TEST_F(boxsim_box, version_from_the_image_header)
{
    auto version_of = [](std::string field) {
        std::string img = "010abZOVA" + field;
        img.resize(std::max<std::size_t>(img.size(), 20), '\0');
        return version_from_image(std::vector<std::uint8_t>(img.begin(), img.end()));
    };
    EXPECT_EQ(version_of("1.5 beta  "), "1.5 beta");
    EXPECT_EQ(version_of(std::string("4.0\0\0 \0", 7)), "4.0");
    EXPECT_EQ(version_of(std::string("4\0.0", 4)), "unknown"); // NUL inside the text
    EXPECT_EQ(version_of("    "), "unknown");
    EXPECT_EQ(version_of("v\x7F"), "unknown");
    EXPECT_EQ(version_of("abcdefghijkXYZ"), "abcdefghijk");

    auto raw = [](std::string img) {
        return version_from_image(std::vector<std::uint8_t>(img.begin(), img.end()));
    };
    EXPECT_EQ(raw("010abZOVA1.0 (2020-01-0"), "1.0 (2020-0");
    EXPECT_FALSE(raw("010abZOVA1.0 (2020-")); // 19 bytes
    EXPECT_FALSE(raw("011abZOVA1.0 (2020-01-0"));
    EXPECT_FALSE(raw("010abZOVB1.0 (2020-01-0"));
}

TEST_F(boxsim_box, unrecognised_image_is_still_answered_but_the_old_system_stays)
{
    make(small_geometry(), {}, std::nullopt, "1.11");
    command(cmd::loader);
    exchange("this is no image at all, just text\n");
    EXPECT_EQ(drain(now + loader_quiet_time), "998 OK\n");
    EXPECT_TRUE(noted("not recognised"));
    now += loader_quiet_time;
    command(cmd::restart);
    EXPECT_EQ(drain(now + default_boot_delay), "999 OS 1.11\n");
}

TEST_F(boxsim_box, image_bytes_handed_over_late_still_belong_to_the_image)
{
    // A simulator that was busy (or not scheduled) takes the next bytes in long after the last
    // ones; they were on the line meanwhile, so the image goes on.
    make();
    command(cmd::loader);
    std::string img = image("3.1");
    exchange(img.substr(0, 10));
    now += loader_quiet_time + 300ms;
    model->receive(img.substr(10), now);
    EXPECT_EQ(model->mode(), box_mode::loader);
    EXPECT_EQ(drain(now + loader_quiet_time), "998 OK\n");
    EXPECT_EQ(bytes_of(model->last_image()), img);
}

TEST_F(boxsim_box, loader_waits_for_a_restart_and_knows_only_its_own_commands)
{
    make();
    command(cmd::loader);
    exchange(image("x"));
    now += loader_quiet_time;
    EXPECT_EQ(drain(now), "998 OK\n");
    EXPECT_EQ(model->mode(), box_mode::loader_done);
    // A status request gets the loader's code: it has no system to report.
    EXPECT_EQ(command(cmd::status), "998 LOADER\n");
    EXPECT_EQ(model->mode(), box_mode::loader_done);
    EXPECT_EQ(command(cmd::sat_info), "");
    EXPECT_EQ(command(cmd::loader), "998 LOADER\n"); // a second image may follow
    EXPECT_EQ(model->mode(), box_mode::loader);
}

// A run cut off in the image leaves the box in its loader; the next run finds it there by its
// status request and brings the new system with a whole image.
TEST_F(boxsim_state_folder, an_image_cut_off_with_its_run_is_finished_by_the_next_run)
{
    make(small_geometry(), {}, dir, "1.11");
    ASSERT_EQ(command(cmd::loader), "998 LOADER\n");
    std::string img = image("2.07 (2026-01-02)");
    exchange(img.substr(0, 700));
    model->line_reset(now); // the program is gone mid-image
    now += loader_quiet_time;
    EXPECT_EQ(drain(now), "998 OK\n"); // lost with the program on a real line
    EXPECT_EQ(model->mode(), box_mode::loader_done);
    EXPECT_EQ(bytes_of(model->last_image()), img.substr(0, 700));

    now += 30s;
    EXPECT_EQ(command(cmd::status), "998 LOADER\n");
    EXPECT_EQ(command(cmd::loader), "998 LOADER\n");
    EXPECT_EQ(exchange(img), "");
    now += loader_quiet_time;
    EXPECT_EQ(drain(now), "998 OK\n");
    EXPECT_EQ(bytes_of(model->last_image()), img);
    EXPECT_EQ(load_state(dir).version, "1.11"); // until the restart
    command(cmd::restart);
    now += default_boot_delay;
    EXPECT_EQ(drain(now), "999 OS 2.07 (2026-\n");
    EXPECT_EQ(load_state(dir).version, "2.07 (2026-");
}

// --- faults -----------------------------------------------------------------------------------

TEST(boxsim_fault_syntax, parses_kind_prefix_count_and_escaped_argument)
{
    std::string error;
    auto f = parse_fault("reply,500 2 1,2,a,b\\x00\\x11\\r\\n\\\\", error);
    ASSERT_TRUE(f) << error;
    EXPECT_EQ(f->kind, fault_kind::reply);
    EXPECT_EQ(f->prefix, "500 2 1");
    EXPECT_EQ(f->remaining, 2);
    EXPECT_EQ(f->arg, std::string("a,b\0\x11\r\n\\", 8));
    EXPECT_FALSE(f->arg_no_newline);

    f = parse_fault("precede,*,*,998 X\\c", error);
    ASSERT_TRUE(f) << error;
    EXPECT_EQ(f->remaining, -1);
    EXPECT_TRUE(f->arg_no_newline);
    EXPECT_EQ(f->arg, "998 X");

    f = parse_fault("silent,<image>,,", error);
    EXPECT_FALSE(f); // silent takes no argument

    f = parse_fault("hold,503 18,1,/tmp/go", error);
    ASSERT_TRUE(f) << error;
    EXPECT_EQ(f->kind, fault_kind::hold);
    EXPECT_EQ(f->arg, "/tmp/go");

    // stall and hangup: an optional count of bytes the box takes first.
    f = parse_fault("stall,902,1,3000", error);
    ASSERT_TRUE(f) << error;
    EXPECT_EQ(f->kind, fault_kind::stall);
    EXPECT_EQ(f->after_bytes, 3000u);
    f = parse_fault("hangup,500 0 3", error);
    ASSERT_TRUE(f) << error;
    EXPECT_EQ(f->kind, fault_kind::hangup);
    EXPECT_EQ(f->after_bytes, 0u);

    for (const char* bad :
         {"silent", "nope,501", "reply,501", "cut,501,0", "cut,501,x", "badcrc,<image>",
          "reply,501,1,\\q", "reply,501,1,a\\cb", "silent,", "hold,503 18", "stall,501,1,x",
          "hangup,501,1,-1", "stall,501,1,4294967297"})
        EXPECT_FALSE(parse_fault(bad, error)) << bad;
}

TEST_F(boxsim_box, silent_loses_the_next_count_commands_then_answers_again)
{
    make(small_geometry(), {"silent,501,2", "silent,902"});
    EXPECT_EQ(command(cmd::status), "");
    EXPECT_EQ(command(cmd::status), "");
    EXPECT_EQ(command(cmd::status), "999 OS 1.00 (2025-11-03)\n");
    EXPECT_TRUE(noted("fault silent on '501' (0 left)"));
    EXPECT_EQ(command(cmd::loader), "");
    EXPECT_EQ(model->mode(), box_mode::running); // a lost 902 leaves the system running
    EXPECT_EQ(command(cmd::loader), "998 LOADER\n");
}

TEST_F(boxsim_box, hold_answers_as_usual_and_asks_the_line_to_hold_the_program_once)
{
    make(small_geometry(), {"hold,902,1,/tmp/go"});
    EXPECT_FALSE(model->take_hold());
    EXPECT_EQ(command(cmd::loader), "998 LOADER\n");
    EXPECT_EQ(model->take_hold(), std::optional<std::string>("/tmp/go"));
    EXPECT_FALSE(model->take_hold()); // asked once
    EXPECT_TRUE(noted("held until /tmp/go exists"));
}

// A stall answers as usual, takes the given number of bytes more and then
// none: the rest of what the program wrote is not taken, and the line is
// told to stop the program's output until the program lets go.
TEST_F(boxsim_box, stall_takes_the_given_bytes_after_the_command_then_none_until_the_line_resets)
{
    make(small_geometry(), {"stall,500 1 3,1,5"});
    EXPECT_EQ(command("500 1 3 0 0"), "500 1 3 OK\n");
    EXPECT_FALSE(model->output_stalled());
    ASSERT_TRUE(model->receive_limit());
    EXPECT_EQ(*model->receive_limit(), model->received() + 5);
    // "501" is answered, one byte of the next command taken, the rest not.
    EXPECT_EQ(exchange("501\n500 1 1\n"), "999 OS 1.00 (2025-11-03)\n");
    EXPECT_TRUE(model->output_stalled());
    EXPECT_EQ(model->received(), *model->receive_limit());
    EXPECT_TRUE(noted("7 bytes beyond the stall not taken"));
    EXPECT_EQ(command(cmd::status), ""); // nothing more is taken
    model->line_reset(now);
    EXPECT_FALSE(model->output_stalled());
    EXPECT_FALSE(model->receive_limit());
    EXPECT_EQ(command(cmd::status), "999 OS 1.00 (2025-11-03)\n");
}

// A hangup answers as usual and closes the line after the given bytes: in the
// loader, the middle of the image.
TEST_F(boxsim_box, hangup_closes_the_line_after_the_given_bytes_of_the_image)
{
    make(small_geometry(), {"hangup,902,1,100"});
    EXPECT_EQ(command(cmd::loader), "998 LOADER\n");
    EXPECT_FALSE(model->line_closed());
    EXPECT_EQ(exchange(std::string(60, 'i')), "");
    EXPECT_FALSE(model->line_closed());
    EXPECT_EQ(exchange(std::string(60, 'i')), "");
    EXPECT_TRUE(closed_seen);
    EXPECT_TRUE(model->line_closed());
    EXPECT_EQ(model->received(), 4u + 100u);
}

TEST_F(boxsim_box, silent_store_and_write_requests_take_no_effect)
{
    make(small_geometry(), {"silent,500 0 4", "silent,500 1 3"});
    std::string before = table_bytes(1);
    EXPECT_EQ(command("500 1 3 0 0"), "");
    std::string block(10, 'k');
    EXPECT_EQ(exchange("910 HA H" + hex(reference_crc(block)) + " 0\n " + block), "910 1\n");
    EXPECT_EQ(table_bytes(1), before);
    EXPECT_EQ(command(cmd::store), "");
    EXPECT_TRUE(noted("command lost"));
}

TEST_F(boxsim_box, silent_on_the_announcement_swallows_the_block_without_answer)
{
    make(small_geometry(), {"silent,910"});
    std::string before = table_bytes(1);
    std::string block(10, '\n');
    EXPECT_EQ(write_block(1, 0, 0, block), "");
    EXPECT_EQ(table_bytes(1), before);
    EXPECT_EQ(command(cmd::status), "999 OS 1.00 (2025-11-03)\n");
}

TEST_F(boxsim_box, line_faults_reshape_the_response)
{
    make(small_geometry(), {"garbage,500 2 1", "cut,500 1 1", "crlf,500 0 1", "crin,500 0 5",
                            "reply,503 18,1,\\x00\\x03\\x11\\x13 OK", "precede,500 3 1,1,hello"});
    EXPECT_EQ(command(cmd::sat_info), "xx\n");
    EXPECT_EQ(command(cmd::tp_info), "500 1 1 30 HA");
    EXPECT_EQ(command(cmd::chan_info), "500 0 1 20 H20\r\n");
    EXPECT_EQ(command(cmd::split_info), "500 0 \r5 12 8\n");
    EXPECT_EQ(command(cmd::open_transfer), std::string("\0\x03\x11\x13 OK\n", 8));
    EXPECT_EQ(command(cmd::fav_info), "hello\n500 3 1 150 H2\n");
    EXPECT_EQ(command(cmd::sat_info), "500 2 1 20 H28\n"); // each fault was used up

    // "xx" scans as none of the response formats.
    char w[4][256];
    int d = 0;
    unsigned x = 0;
    EXPECT_LT(std::sscanf("xx", "%d %s", &d, w[0]), 2);
    EXPECT_LT(std::sscanf("xx", "%s %s", w[0], w[1]), 2);
    EXPECT_LT(std::sscanf("xx", "%s %s %s %d H%x", w[0], w[1], w[2], &d, &x), 5);
}

TEST_F(boxsim_box, line_faults_on_a_read_request_drop_or_keep_the_block)
{
    make(small_geometry(), {"cut,500 2 2", "garbage,500 2 2", "crlf,500 2 2"});
    EXPECT_EQ(command("500 2 2 0 0"), "DATA H28 H" + hex(reference_crc(records(2, 0, 0))) + " 1");
    EXPECT_EQ(command("500 2 2 0 0"), "xx\n");
    EXPECT_EQ(command("500 2 2 0 0"),
              "DATA H28 H" + hex(reference_crc(records(2, 0, 0))) + " 1\r\n " + records(2, 0, 0));
}

TEST_F(boxsim_box, replies_and_precedes_also_speak_after_silent_commands)
{
    make(small_geometry(), {"reply,503 25,1,bye\\c", "precede,911,*,ack"});
    EXPECT_EQ(command(cmd::close_transfer), "bye");
    EXPECT_EQ(command(cmd::block_ok), "ack\n");
    EXPECT_EQ(command(cmd::block_ok), "ack\n");
}

TEST_F(boxsim_box, any_command_prefix_matches_lines_but_not_the_end_of_an_image)
{
    make(small_geometry(), {"garbage,*,2"});
    EXPECT_EQ(command(cmd::loader), "xx\n"); // the loader is entered all the same
    exchange(image("9"));
    EXPECT_EQ(drain(now + loader_quiet_time), "998 OK\n");
    now += loader_quiet_time;
    EXPECT_EQ(command(cmd::restart), "");
    EXPECT_EQ(drain(now + default_boot_delay), "xx\n"); // the status line after the boot
}

TEST_F(boxsim_box, image_faults_alter_the_loaders_answer)
{
    make(small_geometry(), {"silent,<image>", "reply,<image>,1,997 BUSY"});
    command(cmd::loader);
    exchange(image("A"));
    EXPECT_EQ(drain(now + loader_quiet_time), "");
    EXPECT_EQ(model->mode(), box_mode::loader_done);
    now += loader_quiet_time;
    command(cmd::loader);
    exchange(image("B"));
    EXPECT_EQ(drain(now + loader_quiet_time), "997 BUSY\n");
    now += loader_quiet_time;
    command(cmd::restart);
    EXPECT_EQ(drain(now + default_boot_delay), "999 OS B\n");
}

TEST_F(boxsim_box, close_fault_ends_the_line_after_what_was_already_sent)
{
    make(small_geometry(), {"close,500 1"});
    model->receive("501\n500 1 1\n501\n", now);
    std::string out;
    std::vector<bool> closes;
    while (auto c = model->pop_due(now)) {
        out += bytes_of(c->bytes);
        closes.push_back(c->close_line);
    }
    EXPECT_EQ(out, "999 OS 1.00 (2025-11-03)\n");
    ASSERT_FALSE(closes.empty());
    EXPECT_TRUE(closes.back());
    EXPECT_TRUE(model->line_closed());
}

TEST_F(boxsim_box, badcrc_announces_a_crc_that_the_data_does_not_have)
{
    make(small_geometry(), {"badcrc,*"});
    EXPECT_EQ(command(cmd::status), "999 OS 1.00 (2025-11-03)\n"); // not a read request: untouched
    auto r = split_read_answer(command("500 1 2 0 29"));
    ASSERT_TRUE(r.scans);
    EXPECT_EQ(r.data, table_bytes(1));
    EXPECT_EQ(r.length, 300u);
    EXPECT_NE(r.crc, reference_crc(r.data));
    EXPECT_NE(r.crc, 0u);
    r = split_read_answer(command("500 1 2 0 29"));
    EXPECT_EQ(r.crc, reference_crc(r.data)); // used up
}

TEST_F(boxsim_box, badlen_sends_one_record_more_than_asked_for)
{
    make(small_geometry(), {"badlen,500 2 2,2"});
    auto r = split_read_answer(command("500 2 2 0 4"));
    EXPECT_EQ(r.length, 6u * 40u);
    EXPECT_EQ(r.count, 5);
    EXPECT_EQ(r.data, records(2, 0, 5));
    EXPECT_EQ(r.crc, reference_crc(r.data));
    r = split_read_answer(command("500 2 2 0 19")); // past the table's end
    EXPECT_EQ(r.length, 21u * 40u);
    EXPECT_EQ(r.data.size(), 21u * 40u);
    EXPECT_EQ(r.crc, reference_crc(r.data));
}

TEST_F(boxsim_box, blocksilent_and_blockclose_stop_half_way_through_the_block)
{
    make(small_geometry(), {"blocksilent,500 0 2", "blockclose,500 1 2"});
    auto r = split_read_answer(command("500 0 2 0 19"));
    EXPECT_EQ(r.length, 640u);
    EXPECT_EQ(r.data, records(0, 0, 9));
    EXPECT_EQ(drain(now + 10s), "");
    EXPECT_EQ(command(cmd::status), "999 OS 1.00 (2025-11-03)\n");

    r = split_read_answer(command("500 1 2 0 9"));
    EXPECT_EQ(r.length, 100u);
    EXPECT_EQ(r.data, records(1, 0, 4));
    EXPECT_TRUE(closed_seen);
    EXPECT_TRUE(model->line_closed());
}

TEST_F(boxsim_box, reject_refuses_the_next_block_of_that_write_request_only)
{
    make(small_geometry(), {"reject,500 1 3"});
    std::string before = table_bytes(1);
    EXPECT_EQ(write_block(1, 0, 0, std::string(10, 'r')), "910 1\n");
    EXPECT_EQ(table_bytes(1), before);
    EXPECT_TRUE(noted("fault reject"));
    EXPECT_EQ(write_block(1, 0, 0, std::string(10, 'r')), "910 0\n");
}

TEST_F(boxsim_state_folder, storefail_answers_one_and_keeps_the_stored_tables)
{
    make(small_geometry(), {"storefail,*"}, dir);
    auto stored = load_state(dir).tables[table_satellites].data;
    ASSERT_EQ(write_block(2, 0, 0, std::string(40, 'f')), "910 0\n");
    EXPECT_EQ(command(cmd::store), "500 0 4 1\n");
    EXPECT_EQ(load_state(dir).tables[table_satellites].data, stored);
    EXPECT_EQ(command(cmd::store), "500 0 4 0\n");
    EXPECT_NE(load_state(dir).tables[table_satellites].data, stored);
}

TEST_F(boxsim_box, faults_on_the_restart_reach_the_delayed_status_line)
{
    // One fault per command: the crin waits for the next restart.
    make(small_geometry(), {"precede,030,1,998 again", "crin,030"});
    command(cmd::loader);
    exchange(image("7.0"));
    now += loader_quiet_time;
    drain(now);
    EXPECT_EQ(command(cmd::restart), "");
    EXPECT_EQ(drain(now + default_boot_delay), "998 again\n999 OS 7.0\n");
}

} // namespace
