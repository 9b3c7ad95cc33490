// The channel-list load end to end: the real binary loads files into the
// simulated box; the tests look at the console, the commands and the exact
// bytes the box received, and at what the box stored.
#include "channels/cxf_file.hpp"
#include "support/harness.hpp"
#include "support/test_data.hpp"
#include "support/texts.hpp"
#include "support/trace_support.hpp"

#include <algorithm>
#include <cstdio>
#include <gtest/gtest.h>
#include <unistd.h>

namespace {

// The list of these counts, written as liste.cxf in dir.
struct list_on_disk : list_file {
    std::string path;
};

list_on_disk write_list(const list_counts& s, const std::string& dir)
{
    list_on_disk f{make_list(s), dir + "/liste.cxf"};
    write_file(f.path, f.bytes);
    return f;
}

std::string announcement(const std::string& block)
{
    char line[64];
    std::snprintf(line, sizeof line, "910 H%zX H%X 0\n ", block.size(), crc_of_string(block));
    return line + block;
}

// The announcement line alone, as the transcript shows it.
std::string announce_line(const std::string& block)
{
    std::string a = announcement(block);
    return a.substr(0, a.find('\n'));
}

const std::string verify_opening = "Senderliste mit der Box vergleichen \n";

// What the program printed after the connection check.
std::string job_output(const run_result& r, const std::string& from = msg::loading)
{
    auto pos = r.out.find(from);
    return pos == std::string::npos ? r.out : r.out.substr(pos);
}

std::vector<std::string> commands_after_check(const boxsim_process& box)
{
    auto all = box.commands();
    all.erase(all.begin(), std::find(all.begin(), all.end(), cmd::open_transfer));
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
    list_on_disk f = write_list({}, dir);
    run_result r = run_program({box.device(), "l", f.path});
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_EQ(without_progress(job_output(r)), msg::loading + msg::info_line);
    // The percentage climbs over all five blocks to 100, with no line feed.
    EXPECT_EQ(r.out.substr(r.out.size() - 8), msg::all_done);

    EXPECT_EQ(commands_after_check(box),
              (std::vector<std::string>{cmd::open_transfer, cmd::fav_info, cmd::sat_info,
                                        cmd::tp_info, cmd::chan_info, cmd::split_info,
                                        "500 2 3 0 19", announce_line(f.sat), "500 1 3 0 99",
                                        announce_line(f.tp), "500 0 3 0 299", announce_line(f.tv),
                                        "500 0 3 300 399", announce_line(f.radio), "500 3 3 0 199",
                                        announce_line(f.fav), cmd::store, cmd::close_transfer}));
    // The exact bytes of each announcement, its space and its block.
    std::string rx = box.rx_bytes();
    for (const std::string* block : {&f.sat, &f.tp, &f.tv, &f.radio, &f.fav})
        EXPECT_NE(rx.find(announcement(*block)), std::string::npos);

    box.stop();
    EXPECT_EQ(stored_tables(box), f.tables());
}

TEST_F(load, a_missing_or_foreign_file_sends_nothing_between_open_and_close)
{
    boxsim_process box;
    std::string missing = dir + "/fehlt.cxf";
    run_result r = run_program({box.device(), "l", missing});
    EXPECT_EQ(job_output(r), msg::loading + msg::failed_to_open(missing));
    EXPECT_EQ(r.exit_code, 2);

    std::string foreign = dir + "/fremd.cxf";
    list_on_disk f = write_list({}, dir);
    for (std::string content : {f.bytes.substr(0, 3) + "3" + f.bytes.substr(4), std::string()}) {
        write_file(foreign, content);
        r = run_program({box.device(), "l", foreign});
        EXPECT_EQ(job_output(r), msg::loading + msg::wrong_format(foreign));
        EXPECT_EQ(r.exit_code, 2);
    }
    EXPECT_EQ(box.commands(),
              (std::vector<std::string>{cmd::status, cmd::open_transfer, cmd::close_transfer,
                                        cmd::status, cmd::open_transfer, cmd::close_transfer,
                                        cmd::status, cmd::open_transfer, cmd::close_transfer}));
}

TEST_F(load, without_favourites_on_either_side_none_are_sent)
{
    {
        // The file has none: the box is still asked, nothing is printed.
        boxsim_process box;
        list_on_disk f = write_list({.fav = 0}, dir);
        run_result r = run_program({box.device(), "l", f.path});
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(without_progress(job_output(r)), msg::loading + msg::info_line);
        auto cmds = commands_after_check(box);
        EXPECT_EQ(cmds.at(1), cmd::fav_info);
        EXPECT_EQ(std::count(cmds.begin(), cmds.end(), "500 3 3 0 199"), 0);
    }
    {
        // The box's answer does not scan: it counts as a box without any.
        boxsim_process box({"--fault", "garbage,500 3 1"});
        list_on_disk f = write_list({.fav = 5}, dir);
        run_result r = run_program({box.device(), "l", f.path});
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(without_progress(job_output(r)), msg::loading + msg::info_line + msg::no_fav);
        auto cmds = commands_after_check(box);
        EXPECT_TRUE(std::none_of(cmds.begin(), cmds.end(),
                                 [](const std::string& c) { return c.rfind("500 3 3", 0) == 0; }));
    }
}

TEST_F(load, counts_are_lowered_to_what_the_box_holds)
{
    boxsim_process box({"--sat", "100", "--tv", "1000", "--radio", "200", "--fav", "3"});
    list_on_disk f = write_list({.sat = 150, .tp = 10, .tv = 1200, .radio = 300, .fav = 5}, dir);
    run_result r = run_program({box.device(), "l", f.path});
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_EQ(without_progress(job_output(r)), msg::loading + msg::info_line +
                                                   "FAV-Len        =    3\n" + "sat anz   = 100\n" +
                                                   "TV    = 1000\n" + "Radio = 200\n");
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
    list_on_disk f = write_list({.tv = 900, .radio = 300}, dir);
    run_result r = run_program({box.device(), "l", f.path});
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_EQ(without_progress(job_output(r)), msg::loading + msg::info_line + "Radio = 200\n");
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
         msg::silent + "TV    = 100\nRadio = 50\nfalsches format\n"},
    };
    list_on_disk f = write_list({.fav = 0}, dir);
    for (const auto& c : cases) {
        boxsim_process box(c.box);
        run_result r = run_program({box.device(), "l", f.path});
        EXPECT_EQ(r.exit_code, 2);
        EXPECT_EQ(job_output(r), msg::loading + msg::info_line + c.lines);
        auto cmds = commands_after_check(box);
        EXPECT_FALSE(has_write_request(cmds));
        EXPECT_EQ(cmds.back(), cmd::close_transfer);
    }
}

TEST_F(load, a_refused_block_or_store_ends_the_load)
{
    list_on_disk f = write_list({}, dir);
    {
        boxsim_process box({"--fault", "reject,500 1 3"});
        run_result r = run_program({box.device(), "l", f.path});
        EXPECT_EQ(r.exit_code, 2);
        EXPECT_EQ(without_progress(job_output(r)), msg::loading + msg::info_line + msg::crc_error);
        auto cmds = commands_after_check(box);
        EXPECT_EQ(std::count_if(cmds.begin(), cmds.end(),
                                [](const std::string& c) { return c.rfind("500 0 3", 0) == 0; }),
                  0);
        EXPECT_EQ(std::count(cmds.begin(), cmds.end(), cmd::store), 0);
        EXPECT_EQ(cmds.back(), cmd::close_transfer);
    }
    {
        boxsim_process box({"--fault", "storefail,500 0 4"});
        run_result r = run_program({box.device(), "l", f.path});
        EXPECT_EQ(r.exit_code, 2);
        EXPECT_EQ(without_progress(job_output(r)),
                  msg::loading + msg::info_line + msg::store_error);
        EXPECT_EQ(box.commands().back(), cmd::close_transfer);
    }
    {
        boxsim_process box({"--fault", "reply,500 0 4,1,500 0 4"});
        run_result r = run_program({box.device(), "l", f.path});
        EXPECT_EQ(r.exit_code, 2);
        EXPECT_EQ(without_progress(job_output(r)), msg::loading + msg::info_line + msg::wrong_line);
    }
    {
        // A box whose status word starts with 0 has stored the list.
        boxsim_process box({"--fault", "reply,500 0 4,1,500 0 4 0K"});
        run_result r = run_program({box.device(), "l", f.path});
        EXPECT_EQ(r.exit_code, 0);
    }
}

TEST_F(load, a_file_cut_short_during_a_block_still_sends_the_whole_block_which_the_box_refuses)
{
    // A paced line gives the test time to cut the file while the TV block
    // (64000 bytes, about 5.6 s at 115200 baud) is on its way.
    boxsim_process box({"--baud", "115200", "--tv", "2000"});
    list_on_disk f = write_list({.tv = 2000, .radio = 0, .fav = 0}, dir);
    const std::string tv_request = "500 0 3 0 1999";
    background_run run({HALVORAN_BIN, box.device(), "l", f.path});
    ASSERT_TRUE(box.wait_for_command(announce_line(f.tv)));
    // The section now ends 5000 bytes into the block.
    const std::size_t tv_offset = f.bytes.size() - f.tv.size();
    ASSERT_EQ(truncate(f.path.c_str(), static_cast<off_t>(tv_offset + 5000)), 0);
    run_result r = run.wait();

    EXPECT_EQ(r.exit_code, 2);
    // The box's refusal comes once the block has crossed the paced line,
    // seconds after the program's writes returned into the pseudo-terminal's
    // buffer; the answer's limit starts then too, so the refusal is read.
    const std::string expected =
        msg::loading + msg::info_line + "failed to read file " + f.path + "!\n";
    EXPECT_EQ(without_progress(job_output(r)), expected);
    auto cmds = commands_after_check(box);
    // The block was complete, so "503 25" is a command and not block data.
    ASSERT_GE(cmds.size(), 3u);
    EXPECT_EQ(cmds[cmds.size() - 3], tv_request);
    EXPECT_EQ(cmds[cmds.size() - 2], announce_line(f.tv));
    EXPECT_EQ(cmds.back(), cmd::close_transfer);
    EXPECT_NE(box.transcript().find("received block: 64000 bytes"), std::string::npos);
    EXPECT_NE(box.transcript().find("refused"), std::string::npos);
    box.stop();
    // Nothing was stored: the box keeps its own channels.
    EXPECT_NE(stored_table(box, "channels").substr(0, f.tv.size()), f.tv);
}

TEST_F(load, a_box_that_falls_silent_is_never_reported_as_having_taken_the_list)
{
    list_on_disk f = write_list({}, dir);
    for (const char* fault : {"silent,500 2 3", "silent,910", "silent,500 0 4", "silent,500 0 5"}) {
        boxsim_process box({"--fault", fault});
        run_result r = run_program({box.device(), "l", f.path});
        EXPECT_EQ(r.exit_code, 2) << fault;
        EXPECT_NE(job_output(r).find(msg::silent + msg::wrong_line), std::string::npos)
            << fault << "\n"
            << r.out;
        auto cmds = commands_after_check(box);
        EXPECT_EQ(cmds.back(), cmd::close_transfer);
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
    list_on_disk f = write_list({.tp = 0, .radio = 0}, dir);
    run_result r = run_program({box.device(), "l", f.path});
    EXPECT_EQ(r.exit_code, 0) << r.out;
    auto cmds = commands_after_check(box);
    EXPECT_TRUE(std::none_of(cmds.begin(), cmds.end(), [](const std::string& c) {
        return c.rfind("500 1 3", 0) == 0 || c.rfind("500 0 3 300", 0) == 0;
    }));
    EXPECT_TRUE(std::none_of(cmds.begin(), cmds.end(),
                             [](const std::string& c) { return c.rfind("910 H0 ", 0) == 0; }));
    EXPECT_EQ(cmds.back(), cmd::close_transfer);
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
    list_on_disk f = write_list({.sat = 150, .tv = 900, .radio = 150}, dir);
    ASSERT_EQ(run_program({box.device(), "l", f.path}).exit_code, 0);
    const auto loaded = box.commands().size();
    run_result r = run_program({box.device(), "v", f.path});
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_EQ(job_output(r, verify_opening),
              verify_opening + msg::info_line + "sat anz   = 100\n" + all_tables_same);
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
    list_on_disk f = write_list({}, dir);
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
        {{}, cut, msg::info_line + "Datei '" + cut + "' ist zu kurz oder beschaedigt\n"},
        {{"--sat", "10", "--tp-size", "12"},
         f.path,
         msg::info_line + "sat anz   = 10\nformat error\n"},
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
    for (const char* table : box_tables)
        EXPECT_EQ(stored_table(first, table), stored_table(second, table)) << table;
}

// The trace of a load: the transcript's commands and answers, each block
// announced with its checksum and sent, the list file named.
TEST_F(load, the_trace_holds_the_exchange_of_the_transcript_and_every_block)
{
    boxsim_process box({"--seed", "3"});
    list_on_disk f = write_list({}, dir);
    const std::string trace = temp_dir() + "/trace.txt";
    run_result r = run_traced(trace, {box.device(), "l", f.path});
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_EQ(without_progress(job_output(r)), msg::loading + msg::info_line);

    const std::string text = read_file(trace);
    EXPECT_TRUE(trace_well_formed(text));
    std::vector<std::string> expected = transcript_exchange(box.transcript());
    // The answer to "503 18" is purged unread after the pause.
    auto unread = std::find(expected.begin(), expected.end(), "< 503 OK");
    ASSERT_NE(unread, expected.end());
    expected.erase(unread);
    EXPECT_EQ(trace_exchange(text), expected);

    // Each block is announced, then sent. Its line tells when its first
    // write began and when the line will have carried it: no earlier than
    // its bytes' time at 115200 baud after that, however fast the writes
    // returned (a pseudo-terminal takes them at once).
    std::vector<std::string> blocks;
    const std::vector<block_sent> sent = trace_blocks_sent(text);
    ASSERT_EQ(sent.size(), 5u);
    std::size_t i = 0;
    for (const std::string* block : {&f.sat, &f.tp, &f.tv, &f.radio, &f.fav}) {
        char crc[16];
        std::snprintf(crc, sizeof crc, "%08X", crc_of_string(*block));
        blocks.push_back("block announced length " + std::to_string(block->size()) + " crc " + crc +
                         " computed " + crc + " ok");
        blocks.push_back("block sent length " + std::to_string(block->size()));
        const block_sent& b = sent[i++];
        EXPECT_EQ(b.length, block->size());
        EXPECT_LE(b.began, b.at);
        // Whole milliseconds of two readings of the clock: 1 ms either way.
        EXPECT_GE(b.clear - b.began, static_cast<long long>(block->size()) * 10000 / 115200 - 1);
    }
    std::vector<std::string> events = trace_events(text, "block");
    for (std::string& event : events)
        event = event.substr(0, event.find(" began "));
    EXPECT_EQ(events, blocks);
    EXPECT_EQ(trace_events(text, "file"), std::vector<std::string>{"file list opened " + f.path});
    EXPECT_EQ(trace_events(text, "exit"), std::vector<std::string>{"exit 0"});
    EXPECT_LT(text.size(), 4000u);
}

} // namespace
