// The channel-list load end to end: the real binary loads files into the
// simulated box; the tests look at the console, the commands and the exact
// bytes the box received, and at what the box stored.
#include "channels/block.hpp"
#include "channels/cxf_file.hpp"
#include "support/harness.hpp"

#include <algorithm>
#include <cstdio>
#include <gtest/gtest.h>

namespace {

struct list_spec {
    std::uint32_t sat = 20, tp = 100, tv = 300, radio = 100, fav = 200;
    std::uint32_t fav_size = 2;
    unsigned seed = 7;
};

std::string records(std::size_t n, unsigned seed)
{
    std::string r(n, '\0');
    for (std::size_t i = 0; i < n; ++i)
        r[i] = static_cast<char>((i * 131 + seed * 17 + (i >> 8)) & 0xFF);
    return r;
}

struct list_file {
    std::string path;
    std::string bytes;
    std::string sat, tp, tv, radio, fav; // the sections
};

list_file make_list(const list_spec& s, const std::string& dir)
{
    std::array<unsigned char, cxf_header_size> h{};
    build_file_header(h, s.sat, 40, s.tp, 10, s.tv, s.radio, 32, s.fav,
                      local_time{2026, 1, 2, 3, 4});
    list_file f;
    f.sat = records(s.sat * 40u, s.seed + 2);
    f.tp = records(s.tp * 10u, s.seed + 1);
    f.tv = records(s.tv * 32u, s.seed);
    f.radio = records(s.radio * 32u, s.seed + 5);
    f.fav = records(s.fav * s.fav_size, s.seed + 3);
    f.bytes = std::string(h.begin(), h.end()) + f.sat + f.tp + f.tv + f.radio + f.fav;
    f.path = dir + "/liste.cxf";
    write_file(f.path, f.bytes);
    return f;
}

std::string announcement(const std::string& block)
{
    char line[64];
    auto crc = crc_of(reinterpret_cast<const unsigned char*>(block.data()), block.size());
    std::snprintf(line, sizeof line, "910 H%zX H%X 0\n ", block.size(), crc);
    return line + block;
}

// The announcement line alone, as the transcript shows it.
std::string announce_line(const std::string& block)
{
    std::string a = announcement(block);
    return a.substr(0, a.find('\n'));
}

const std::string opening = "Senderliste auf die Box laden \n";
const std::string info = "Infotext: velto update 1.02 2026-01-02 03:04  \n";

const std::string verify_opening = "Senderliste mit der Box vergleichen \n";

// What the program printed after the connection check.
std::string job_output(const run_result& r, const std::string& from = opening)
{
    auto pos = r.out.find(from);
    return pos == std::string::npos ? r.out : r.out.substr(pos);
}

// The console output with the percentage display taken out.
std::string without_progress(std::string s)
{
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (i + 7 < s.size() + 1 && s.compare(i + 3, 5, "%\b\b\b\b") == 0) {
            i += 7;
            continue;
        }
        out += s[i];
    }
    return out;
}

std::vector<std::string> commands_after_check(const boxsim_process& box)
{
    auto all = box.commands();
    all.erase(all.begin(), std::find(all.begin(), all.end(), "503 18"));
    return all;
}

bool has_write_request(const std::vector<std::string>& cmds)
{
    return std::any_of(cmds.begin(), cmds.end(), [](const std::string& c) {
        return c.rfind("500", 0) == 0 && c.size() > 6 && c[6] == '3';
    });
}

class load : public ::testing::Test {
  protected:
    std::string dir = temp_dir();
};

TEST_F(load, a_whole_list_goes_into_the_box_and_is_stored)
{
    boxsim_process box({"--seed", "3"});
    list_file f = make_list({}, dir);
    run_result r = run_program({box.device(), "l", f.path});
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_EQ(without_progress(job_output(r)), opening + info);
    // The percentage climbs over all five blocks to 100, with no line feed.
    EXPECT_EQ(r.out.substr(r.out.size() - 8), "100%\b\b\b\b");

    EXPECT_EQ(commands_after_check(box),
              (std::vector<std::string>{
                  "503 18", "500 3 1", "500 2 1", "500 1 1", "500 0 1", "500 0 5", "500 2 3 0 19",
                  announce_line(f.sat), "500 1 3 0 99", announce_line(f.tp), "500 0 3 0 299",
                  announce_line(f.tv), "500 0 3 300 399", announce_line(f.radio), "500 3 3 0 199",
                  announce_line(f.fav), "500 0 4 1", "503 25"}));
    // The exact bytes of each announcement, its space and its block.
    std::string rx = box.rx_bytes();
    for (const std::string* block : {&f.sat, &f.tp, &f.tv, &f.radio, &f.fav})
        EXPECT_NE(rx.find(announcement(*block)), std::string::npos);

    box.stop();
    EXPECT_EQ(read_file(box.state_dir() + "/satellites.bin"), f.sat);
    EXPECT_EQ(read_file(box.state_dir() + "/transponders.bin"), f.tp);
    EXPECT_EQ(read_file(box.state_dir() + "/channels.bin"), f.tv + f.radio);
    EXPECT_EQ(read_file(box.state_dir() + "/favourites.bin"), f.fav);
}

TEST_F(load, a_missing_or_foreign_file_sends_nothing_between_open_and_close)
{
    boxsim_process box;
    std::string missing = dir + "/fehlt.cxf";
    run_result r = run_program({box.device(), "l", missing});
    EXPECT_EQ(job_output(r), opening + "failed to open file " + missing + "!\n");
    EXPECT_EQ(r.exit_code, 2);

    std::string foreign = dir + "/fremd.cxf";
    list_file f = make_list({}, dir);
    for (std::string content : {f.bytes.substr(0, 3) + "3" + f.bytes.substr(4), std::string()}) {
        write_file(foreign, content);
        r = run_program({box.device(), "l", foreign});
        EXPECT_EQ(job_output(r),
                  opening + "Datei '" + foreign + "' hat nicht das richtige Format\n");
        EXPECT_EQ(r.exit_code, 2);
    }
    EXPECT_EQ(box.commands(), (std::vector<std::string>{"501", "503 18", "503 25", "501", "503 18",
                                                        "503 25", "501", "503 18", "503 25"}));
}

TEST_F(load, without_favourites_on_either_side_none_are_sent)
{
    {
        // The file has none: the box is still asked, nothing is printed.
        boxsim_process box;
        list_file f = make_list({.fav = 0}, dir);
        run_result r = run_program({box.device(), "l", f.path});
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(without_progress(job_output(r)), opening + info);
        auto cmds = commands_after_check(box);
        EXPECT_EQ(cmds.at(1), "500 3 1");
        EXPECT_EQ(std::count(cmds.begin(), cmds.end(), "500 3 3 0 199"), 0);
    }
    {
        // The box's answer does not scan: it counts as a box without any.
        boxsim_process box({"--fault", "garbage,500 3 1"});
        list_file f = make_list({.fav = 5}, dir);
        run_result r = run_program({box.device(), "l", f.path});
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(without_progress(job_output(r)), opening + info + "FAV-Len        =    0\n");
        auto cmds = commands_after_check(box);
        EXPECT_TRUE(std::none_of(cmds.begin(), cmds.end(),
                                 [](const std::string& c) { return c.rfind("500 3 3", 0) == 0; }));
    }
}

TEST_F(load, counts_are_lowered_to_what_the_box_holds)
{
    boxsim_process box({"--sat", "100", "--tv", "1000", "--radio", "200", "--fav", "3"});
    list_file f = make_list({.sat = 150, .tp = 10, .tv = 1200, .radio = 300, .fav = 5}, dir);
    run_result r = run_program({box.device(), "l", f.path});
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_EQ(without_progress(job_output(r)), opening + info + "FAV-Len        =    3\n" +
                                                   "sat anz   = 100\n" + "TV    = 1000\n" +
                                                   "Radio = 200\n");
    auto cmds = commands_after_check(box);
    EXPECT_NE(std::find(cmds.begin(), cmds.end(), "500 2 3 0 99"), cmds.end());
    EXPECT_NE(std::find(cmds.begin(), cmds.end(), "500 0 3 0 999"), cmds.end());
    EXPECT_NE(std::find(cmds.begin(), cmds.end(), "500 0 3 1000 1199"), cmds.end());
    std::string rx = box.rx_bytes();
    // The first 100 satellites, the first 1000 TV records, and the radio
    // records from the file's first radio record (chan_offset + 1200 x 32).
    EXPECT_NE(rx.find(announcement(f.sat.substr(0, 4000))), std::string::npos);
    EXPECT_NE(rx.find(announcement(f.tv.substr(0, 32000))), std::string::npos);
    EXPECT_NE(rx.find(announcement(f.radio.substr(0, 6400))), std::string::npos);
    EXPECT_NE(rx.find(announcement(f.fav.substr(0, 6))), std::string::npos);
}

TEST_F(load, radio_records_go_to_the_box_slots_after_its_tv_slots)
{
    boxsim_process box({"--tv", "1000", "--radio", "200"});
    std::string before = box.state_dir() + "/channels.bin";
    list_file f = make_list({.tv = 900, .radio = 300}, dir);
    run_result r = run_program({box.device(), "l", f.path});
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_EQ(without_progress(job_output(r)), opening + info + "Radio = 200\n");
    auto cmds = commands_after_check(box);
    EXPECT_NE(std::find(cmds.begin(), cmds.end(), "500 0 3 0 899"), cmds.end());
    EXPECT_NE(std::find(cmds.begin(), cmds.end(), "500 0 3 1000 1199"), cmds.end());
    EXPECT_NE(box.rx_bytes().find(announcement(f.radio.substr(0, 6400))), std::string::npos);
}

TEST_F(load, record_sizes_are_checked_in_order_before_anything_is_written)
{
    struct refusal {
        std::vector<std::string> box;
        std::string lines;
    };
    const refusal cases[] = {
        {{"--sat-size", "64"}, "Falsches Format 64\n"},
        {{"--sat", "10", "--tp-size", "12"}, "sat anz   = 10\nformat error\n"},
        {{"--chan-size", "33", "--radio", "50"}, "Radio = 50\nfalsches format\n"},
        // The older layout: no favourites table; its split answer is scripted.
        {{"--chan-size", "52", "--fault", "reply,500 0 5,1,500 0 5 100 50"},
         "Die Box antwortet nicht!\nTV    = 100\nRadio = 50\nfalsches format\n"},
    };
    list_file f = make_list({.fav = 0}, dir);
    for (const auto& c : cases) {
        boxsim_process box(c.box);
        run_result r = run_program({box.device(), "l", f.path});
        EXPECT_EQ(r.exit_code, 2);
        EXPECT_EQ(job_output(r), opening + info + c.lines);
        auto cmds = commands_after_check(box);
        EXPECT_FALSE(has_write_request(cmds));
        EXPECT_EQ(cmds.back(), "503 25");
    }
}

TEST_F(load, a_refused_block_or_store_ends_the_load)
{
    list_file f = make_list({}, dir);
    {
        boxsim_process box({"--fault", "reject,500 1 3"});
        run_result r = run_program({box.device(), "l", f.path});
        EXPECT_EQ(r.exit_code, 2);
        EXPECT_EQ(without_progress(job_output(r)), opening + info + "crc fehler\n");
        auto cmds = commands_after_check(box);
        EXPECT_EQ(std::count_if(cmds.begin(), cmds.end(),
                                [](const std::string& c) { return c.rfind("500 0 3", 0) == 0; }),
                  0);
        EXPECT_EQ(std::count(cmds.begin(), cmds.end(), "500 0 4 1"), 0);
        EXPECT_EQ(cmds.back(), "503 25");
    }
    {
        boxsim_process box({"--fault", "storefail,500 0 4"});
        run_result r = run_program({box.device(), "l", f.path});
        EXPECT_EQ(r.exit_code, 2);
        EXPECT_EQ(without_progress(job_output(r)), opening + info + "speicher fehler\n");
        EXPECT_EQ(box.commands().back(), "503 25");
    }
    {
        boxsim_process box({"--fault", "reply,500 0 4,1,500 0 4"});
        run_result r = run_program({box.device(), "l", f.path});
        EXPECT_EQ(r.exit_code, 2);
        EXPECT_EQ(without_progress(job_output(r)), opening + info + "wrong_line\n");
    }
    {
        // A box whose status word starts with 0 has stored the list.
        boxsim_process box({"--fault", "reply,500 0 4,1,500 0 4 0K"});
        run_result r = run_program({box.device(), "l", f.path});
        EXPECT_EQ(r.exit_code, 0);
    }
}

TEST_F(load, a_box_that_falls_silent_is_never_reported_as_having_taken_the_list)
{
    list_file f = make_list({}, dir);
    for (const char* fault : {"silent,500 2 3", "silent,910", "silent,500 0 4", "silent,500 0 5"}) {
        boxsim_process box({"--fault", fault});
        run_result r = run_program({box.device(), "l", f.path});
        EXPECT_EQ(r.exit_code, 2) << fault;
        EXPECT_NE(job_output(r).find("Die Box antwortet nicht!\nwrong_line\n"), std::string::npos)
            << fault << "\n"
            << r.out;
        auto cmds = commands_after_check(box);
        EXPECT_EQ(cmds.back(), "503 25");
        if (std::string(fault) == "silent,500 2 3") {
            // No block after a write request the box did not answer.
            EXPECT_TRUE(std::none_of(cmds.begin(), cmds.end(),
                                     [](const std::string& c) { return c.rfind("910", 0) == 0; }));
        }
    }
}

TEST_F(load, empty_tables_are_passed_over)
{
    boxsim_process box;
    list_file f = make_list({.tp = 0, .radio = 0}, dir);
    run_result r = run_program({box.device(), "l", f.path});
    EXPECT_EQ(r.exit_code, 0) << r.out;
    auto cmds = commands_after_check(box);
    EXPECT_TRUE(std::none_of(cmds.begin(), cmds.end(), [](const std::string& c) {
        return c.rfind("500 1 3", 0) == 0 || c.rfind("500 0 3 300", 0) == 0;
    }));
    EXPECT_TRUE(std::none_of(cmds.begin(), cmds.end(),
                             [](const std::string& c) { return c.rfind("910 H0 ", 0) == 0; }));
    EXPECT_EQ(cmds.back(), "503 25");
}

bool has_read_request(const std::vector<std::string>& cmds)
{
    return std::any_of(cmds.begin(), cmds.end(), [](const std::string& c) {
        return c.rfind("500", 0) == 0 && c.size() > 6 && c[6] == '2';
    });
}

// The verify plans as the load does: the same lines, the same counts, the
// radio records at the box's slots after its TV slots.
TEST_F(load, a_verify_compares_what_the_load_wrote_into_a_larger_box)
{
    boxsim_process box({"--sat", "100", "--tv", "1000", "--radio", "200"});
    list_file f = make_list({.sat = 150, .tv = 900, .radio = 150}, dir);
    ASSERT_EQ(run_program({box.device(), "l", f.path}).exit_code, 0);
    const auto loaded = box.commands().size();
    run_result r = run_program({box.device(), "v", f.path});
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_EQ(job_output(r, verify_opening),
              verify_opening + info + "sat anz   = 100\n" + all_tables_same);
    auto all = box.commands();
    const std::vector<std::string> cmds(all.begin() + static_cast<long>(loaded), all.end());
    // The TV slots 900 to 999 keep the box's own records: read, not compared.
    for (const char* request : {"500 2 2 0 99", "500 1 2 0 99", "500 0 2 0 1149", "500 3 2 0 199"})
        EXPECT_EQ(std::count(cmds.begin(), cmds.end(), request), 1) << request;
    EXPECT_FALSE(changes_the_box(cmds));
    EXPECT_EQ(cmds.back(), "503 25");
}

TEST_F(load, a_verify_refuses_what_the_load_refuses_before_any_read_request)
{
    list_file f = make_list({}, dir);
    const std::string missing = dir + "/fehlt.cxf", cut = dir + "/kurz.cxf",
                      foreign = dir + "/fremd.cxf";
    write_file(cut, f.bytes.substr(0, f.bytes.size() - 1));
    write_file(foreign, "CXF3" + f.bytes.substr(4));
    struct refusal {
        std::vector<std::string> box;
        std::string path, lines;
    };
    const refusal cases[] = {
        {{}, missing, "failed to open file " + missing + "!\n"},
        {{}, foreign, "Datei '" + foreign + "' hat nicht das richtige Format\n"},
        {{}, cut, info + "Datei '" + cut + "' ist zu kurz oder beschaedigt\n"},
        {{"--sat", "10", "--tp-size", "12"}, f.path, info + "sat anz   = 10\nformat error\n"},
    };
    for (const refusal& c : cases) {
        boxsim_process box(c.box);
        run_result r = run_program({box.device(), "v", c.path});
        EXPECT_EQ(r.exit_code, 2);
        // Its own message, and no key prompt.
        EXPECT_EQ(job_output(r, verify_opening), verify_opening + c.lines);
        auto cmds = commands_after_check(box);
        EXPECT_FALSE(has_read_request(cmds)) << c.path;
        EXPECT_FALSE(changes_the_box(cmds));
        EXPECT_EQ(cmds.back(), "503 25");
    }
}

TEST(round_trip, a_list_saved_from_one_box_and_loaded_into_another_is_the_same_list)
{
    std::string dir = temp_dir();
    const std::vector<std::string> geometry{"--sat", "30",      "--tp", "200",   "--tv",
                                            "400",   "--radio", "150",  "--fav", "50"};
    auto with_seed = [&](const char* seed) {
        auto args = geometry;
        args.insert(args.end(), {"--seed", seed});
        return args;
    };
    boxsim_process first(with_seed("1"));
    boxsim_process second(with_seed("2"));
    std::string saved = dir + "/first.cxf", again = dir + "/second.cxf";

    ASSERT_EQ(run_program({first.device(), "s", saved}).exit_code, 0);
    ASSERT_EQ(run_program({second.device(), "l", saved}).exit_code, 0);
    ASSERT_EQ(run_program({second.device(), "s", again}).exit_code, 0);
    // The box the list went into holds it as the file has it.
    run_result verified = run_program({second.device(), "v", saved});
    EXPECT_EQ(verified.exit_code, 0);
    EXPECT_EQ(verified.out.substr(verified.out.size() - all_tables_same.size()), all_tables_same);

    std::string a = read_file(saved), b = read_file(again);
    ASSERT_GT(a.size(), 128u);
    // Everything but the info text's time: the offsets, the counts and every
    // record are the same.
    EXPECT_EQ(a.substr(0, 36), b.substr(0, 36));
    EXPECT_EQ(a.substr(72), b.substr(72));
    first.stop();
    second.stop();
    for (const char* table :
         {"satellites.bin", "transponders.bin", "channels.bin", "favourites.bin"})
        EXPECT_EQ(read_file(first.state_dir() + "/" + table),
                  read_file(second.state_dir() + "/" + table))
            << table;
}

} // namespace
