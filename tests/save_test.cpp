// The channel-list save end to end: the real program against the box
// simulator, with the exact console output, the exact commands the box
// received and the file left behind. A failed save must leave the file that
// stood at the target path as it was and no temporary file beside it.
#include "support/harness.hpp"
#include "support/test_data.hpp"
#include "support/texts.hpp"
#include "support/trace_support.hpp"

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <gtest/gtest.h>
#include <ostream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using strings = std::vector<std::string>;

// The simulator's default box: 20 satellites of 40 bytes, 100 transponders
// of 10, 300 TV and 100 radio channels of 32, 200 favourites of 2.
constexpr std::uint32_t sat_bytes = 20 * 40, tp_bytes = 100 * 10, chan_bytes = 400 * 32,
                        fav_bytes = 200 * 2;
constexpr std::uint32_t default_total = sat_bytes + tp_bytes + chan_bytes + fav_bytes;

const strings info_queries = {cmd::sat_info, cmd::tp_info, cmd::chan_info, cmd::split_info,
                              cmd::fav_info};

strings join(strings a, const strings& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const strings opening = join({cmd::open_transfer}, info_queries);

class save_test : public ::testing::Test {
  protected:
    void SetUp() override
    {
        dir = temp_dir();
        target = dir + "/senderl.cxf";
    }

    run_result save(boxsim_process& sim, const std::string& path)
    {
        return run_program({sim.device(), "s", path}, "", 30000);
    }
    std::string start_lines(const boxsim_process& sim, const std::string& path) const
    {
        return msg::banner + msg::echo(sim.device(), "s", path) + msg::old_version;
    }
    // The commands of the run after the connection check's "501".
    static strings commands(const boxsim_process& sim)
    {
        strings c = sim.commands();
        if (!c.empty() && c.front() == cmd::status)
            c.erase(c.begin());
        return c;
    }

    std::string dir, target;
};

TEST_F(save_test, stores_all_four_tables_behind_the_header)
{
    boxsim_process sim;
    // An older, longer list at the target is replaced, tail and all.
    write_file(target, std::string(100000, 'o'));
    run_result r = save(sim, target);
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 0);
    // The channel block is two chunks: 10240 and 2560 bytes.
    EXPECT_EQ(r.out,
              start_lines(sim, target) + msg::saving +
                  block_progress({sat_bytes, tp_bytes, chan_bytes, fav_bytes}, default_total) +
                  "\n");
    EXPECT_EQ(commands(sim), join(opening, {"500 2 2 0 19", cmd::block_ok, "500 1 2 0 99",
                                            cmd::block_ok, "500 0 2 0 399", cmd::block_ok,
                                            "500 3 2 0 199", cmd::block_ok, cmd::close_transfer}));

    std::string file = read_file(target);
    ASSERT_EQ(file.size(), 128u + default_total);
    EXPECT_EQ(file.substr(0, 4), "CXF2");
    std::uint32_t fields[] = {128, 928, 1928, 20, 100, 300, 100, 36};
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(u32_at(file, 4 + 4 * i), fields[i]) << "field at offset " << 4 + 4 * i;
    EXPECT_EQ(file.substr(36, 18), "velto update 1.02 ");
    EXPECT_EQ(file.substr(70, 2), "  ");
    EXPECT_EQ(file.substr(72, 4), "\x45\x58\x08\x01");
    EXPECT_EQ(u32_at(file, 76), 1928u + chan_bytes);
    EXPECT_EQ(u32_at(file, 80), 200u);
    EXPECT_EQ(file.substr(84, 44), std::string(44, '\xff'));
    EXPECT_EQ(file.substr(128, sat_bytes), stored_table(sim, "satellites"));
    EXPECT_EQ(file.substr(928, tp_bytes), stored_table(sim, "transponders"));
    EXPECT_EQ(file.substr(1928, chan_bytes), stored_table(sim, "channels"));
    EXPECT_EQ(file.substr(1928 + chan_bytes), stored_table(sim, "favourites"));
    EXPECT_EQ(list_dir(dir), strings{"senderl.cxf"});
}

TEST_F(save_test, favourites_are_as_long_as_their_reported_record_size)
{
    // 5 favourites of 3 bytes: the block is 15 bytes, and the progress total
    // counts them with their size, so the display ends at 100.
    boxsim_process sim({"--fav", "5", "--fav-size", "3"});
    run_result r = save(sim, target);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, start_lines(sim, target) + msg::saving +
                         block_progress({sat_bytes, tp_bytes, chan_bytes, 15},
                                        sat_bytes + tp_bytes + chan_bytes + 15) +
                         "\n");
    EXPECT_EQ(commands(sim).at(commands(sim).size() - 3), "500 3 2 0 4");
    std::string file = read_file(target);
    ASSERT_EQ(file.size(), 128u + sat_bytes + tp_bytes + chan_bytes + 15);
    EXPECT_EQ(u32_at(file, 80), 5u);
    EXPECT_EQ(file.substr(u32_at(file, 76)), stored_table(sim, "favourites"));
}

TEST_F(save_test, a_box_without_favourites_gives_a_header_without_extension)
{
    // No favourites, and no transponders: the request asks for records 0 to -1.
    boxsim_process sim({"--fav", "0", "--tp", "0"});
    run_result r = save(sim, target);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, start_lines(sim, target) + msg::saving +
                         block_progress({sat_bytes, 0, chan_bytes}, sat_bytes + chan_bytes) + "\n");
    EXPECT_EQ(commands(sim),
              join(opening, {"500 2 2 0 19", cmd::block_ok, "500 1 2 0 -1", cmd::block_ok,
                             "500 0 2 0 399", cmd::block_ok, cmd::close_transfer}));
    std::string file = read_file(target);
    ASSERT_EQ(file.size(), 128u + sat_bytes + chan_bytes);
    EXPECT_EQ(u32_at(file, 8), 928u);
    EXPECT_EQ(u32_at(file, 12), 928u);
    EXPECT_EQ(u32_at(file, 20), 0u);
    EXPECT_EQ(file.substr(72, 56), std::string(56, '\xff'));
    EXPECT_EQ(file.substr(928), stored_table(sim, "channels"));
}

TEST_F(save_test, a_favourites_query_without_a_usable_answer_means_no_favourites)
{
    for (const char* fault : {"garbage,500 3 1", "silent,500 3 1"}) {
        SCOPED_TRACE(fault);
        boxsim_process sim({"--fault", fault});
        run_result r = save(sim, target);
        EXPECT_EQ(r.exit_code, 0);
        std::string silent = std::string(fault).starts_with("silent") ? msg::silent : "";
        EXPECT_EQ(r.out, start_lines(sim, target) + silent + msg::saving +
                             block_progress({sat_bytes, tp_bytes, chan_bytes},
                                            sat_bytes + tp_bytes + chan_bytes) +
                             "\n");
        EXPECT_EQ(commands(sim).back(), cmd::close_transfer);
        EXPECT_EQ(commands(sim).at(commands(sim).size() - 3), "500 0 2 0 399");
        std::string file = read_file(target);
        EXPECT_EQ(file.size(), 128u + sat_bytes + tp_bytes + chan_bytes);
        EXPECT_EQ(file.substr(72, 56), std::string(56, '\xff'));
    }
}

TEST_F(save_test, the_older_layout_has_no_split_and_no_favourites)
{
    // 1001 channels of 52 bytes: TV and radio are 500 each in the header,
    // the request still asks for all 1001.
    boxsim_process sim({"--chan-size", "52", "--tv", "500", "--radio", "501"});
    run_result r = save(sim, target);
    EXPECT_EQ(r.exit_code, 0);
    constexpr std::uint32_t old_chan_bytes = 1001 * 52;
    EXPECT_EQ(r.out, start_lines(sim, target) + msg::saving +
                         block_progress({sat_bytes, tp_bytes, old_chan_bytes},
                                        sat_bytes + tp_bytes + 1000 * 52) +
                         "\n");
    EXPECT_EQ(commands(sim),
              strings({cmd::open_transfer, cmd::sat_info, cmd::tp_info, cmd::chan_info,
                       "500 2 2 0 19", cmd::block_ok, "500 1 2 0 99", cmd::block_ok,
                       "500 0 2 0 1000", cmd::block_ok, cmd::close_transfer}));
    std::string file = read_file(target);
    ASSERT_EQ(file.size(), 128u + sat_bytes + tp_bytes + old_chan_bytes);
    EXPECT_EQ(u32_at(file, 24), 500u);
    EXPECT_EQ(u32_at(file, 28), 500u);
    EXPECT_EQ(file.substr(72, 56), std::string(56, '\xff'));
    EXPECT_EQ(file.substr(1928), stored_table(sim, "channels"));
}

// A save that fails: the faults of the box, what the program prints after
// "Senderliste speichern " (or instead of it), and the commands the box got.
struct failure_case {
    const char* name;
    strings sim_args;
    std::string tail; // output behind the start lines
    strings commands; // after "503 18"
};

const std::string& transfer = msg::saving;
const std::string after_sat = transfer + block_progress({sat_bytes}, default_total);
const std::string after_tp = transfer + block_progress({sat_bytes, tp_bytes}, default_total);
const strings sat_done = join(info_queries, {"500 2 2 0 19", cmd::block_ok});
const strings tp_done = join(sat_done, {"500 1 2 0 99", cmd::block_ok});

const failure_case failure_cases[] = {
    {"first_info_query_garbled", {"--fault", "garbage,500 2 1"}, msg::wrong_lined, {cmd::sat_info}},
    {"first_info_query_silent",
     {"--fault", "silent,500 2 1"},
     msg::silent + msg::wrong_lined,
     {cmd::sat_info}},
    // The previous answer would scan as this one; a missing answer never does.
    {"channel_info_query_silent",
     {"--fault", "silent,500 0 1"},
     msg::silent + msg::wrong_line,
     {cmd::sat_info, cmd::tp_info, cmd::chan_info}},
    {"split_query_garbled",
     {"--fault", "garbage,500 0 5"},
     msg::wrong_line,
     {cmd::sat_info, cmd::tp_info, cmd::chan_info, cmd::split_info}},
    // More slots than the channel table (400) holds: the header would
    // describe records that the file cannot hold.
    {"split_more_than_the_channel_table",
     {"--fault", "reply,500 0 5,1,500 0 5 300 101"},
     "Die Box meldet 401 TV- und Radioplaetze, aber nur 400 Kanaele: Senderliste nicht "
     "gespeichert\n",
     info_queries},
    {"satellite_request_silent",
     {"--fault", "silent,500 2 2"},
     transfer + msg::silent + msg::wrong_line,
     join(info_queries, {"500 2 2 0 19"})},
    {"transponder_request_garbled",
     {"--fault", "garbage,500 1 2"},
     after_sat + msg::wrong_line,
     join(sat_done, {"500 1 2 0 99"})},
    // No acknowledgement and no further request after a wrong checksum.
    {"transponder_block_bad_crc",
     {"--fault", "badcrc,500 1 2"},
     after_tp,
     join(sat_done, {"500 1 2 0 99"})},
    {"channel_block_cut_off",
     {"--fault", "blocksilent,500 0 2"},
     after_tp + msg::silent,
     join(tp_done, {"500 0 2 0 399"})},
    {"satellite_block_too_long",
     {"--fault", "badlen,500 2 2"},
     transfer + msg::block_length,
     join(info_queries, {"500 2 2 0 19"})},
    {"channel_block_too_long",
     {"--fault", "badlen,500 0 2"},
     after_tp + msg::block_length,
     join(tp_done, {"500 0 2 0 399"})},
    {"favourites_block_too_long",
     {"--fault", "badlen,500 3 2"},
     transfer + block_progress({sat_bytes, tp_bytes, chan_bytes}, default_total) +
         msg::block_length,
     join(tp_done, {"500 0 2 0 399", cmd::block_ok, "500 3 2 0 199"})},
    // Offsets beyond 32 bits cannot go into the header.
    {"tables_too_large_for_the_header",
     {"--fault", "reply,500 1 1,1,500 1 1 100000000 HFFFF"},
     transfer + "Senderliste zu gross\n",
     join(info_queries, {"500 2 2 0 19"})},
    // The channels start within 32 bits, the favourites behind them do not.
    {"favourites_too_far_for_the_header",
     {"--fault", "reply,500 0 1,1,500 0 1 100000000 H40", "--fault",
      "reply,500 0 5,1,500 0 5 99999999 1"},
     transfer + "Senderliste zu gross\n",
     join(info_queries, {"500 2 2 0 19"})},
};

void PrintTo(const failure_case& c, std::ostream* os) { *os << c.name; }

class save_failure_test : public save_test, public ::testing::WithParamInterface<failure_case> {};

TEST_P(save_failure_test, keeps_the_previous_list_and_closes_the_transfer)
{
    const failure_case& c = GetParam();
    std::string previous = "CXF2 the previous list";
    write_file(target, previous);
    boxsim_process sim(c.sim_args);
    run_result r = save(sim, target);
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.out, start_lines(sim, target) + c.tail);
    EXPECT_EQ(commands(sim), join(join({cmd::open_transfer}, c.commands), {cmd::close_transfer}));
    EXPECT_EQ(read_file(target), previous);
    EXPECT_EQ(list_dir(dir), strings{"senderl.cxf"});
    // At most one timeout of about a second per case.
    EXPECT_LT(r.seconds, 5.0);
}

INSTANTIATE_TEST_SUITE_P(faults, save_failure_test, ::testing::ValuesIn(failure_cases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(save_test, a_channel_table_beyond_the_slots_keeps_the_described_records_and_favourites)
{
    // The box reports 299 TV and 100 radio slots but a channel table of 400:
    // the file holds the first 399 records, its favourites right behind.
    boxsim_process first({"--fault", "reply,500 0 5,1,500 0 5 299 100"});
    run_result r = save(first, target);
    ASSERT_EQ(r.exit_code, 0) << r.out;
    EXPECT_EQ(r.out,
              start_lines(first, target) + transfer +
                  block_progress({sat_bytes, tp_bytes, chan_bytes, fav_bytes}, default_total) +
                  "\n");
    EXPECT_EQ(commands(first).at(commands(first).size() - 5), "500 0 2 0 399");
    const std::string file = read_file(target);
    ASSERT_EQ(file.size(), 128u + sat_bytes + tp_bytes + 399 * 32 + fav_bytes);
    EXPECT_EQ(u32_at(file, 24), 299u);
    EXPECT_EQ(u32_at(file, 28), 100u);
    const std::string channels = stored_table(first, "channels");
    const std::string favourites = stored_table(first, "favourites");
    EXPECT_EQ(file.substr(128 + sat_bytes + tp_bytes), channels.substr(0, 399 * 32) + favourites);

    // Loaded into a second box, its TV slots get the first 299 records, its
    // radio slots (from 300) the 100 behind them, and the favourites arrive.
    boxsim_process second({"--seed", "9"});
    ASSERT_EQ(run_program({second.device(), "l", target}).exit_code, 0);
    second.stop();
    const std::string loaded = stored_table(second, "channels");
    EXPECT_EQ(loaded.substr(0, 299 * 32), channels.substr(0, 299 * 32));
    EXPECT_EQ(loaded.substr(300 * 32, 100 * 32), channels.substr(299 * 32, 100 * 32));
    EXPECT_EQ(stored_table(second, "favourites"), favourites);
}

TEST_F(save_test, a_target_that_cannot_be_created_is_named_after_the_satellite_request)
{
    boxsim_process sim;
    std::string missing = dir + "/no/such/folder/senderl.cxf";
    run_result r = save(sim, missing);
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.out, start_lines(sim, missing) + transfer + msg::failed_to_open(missing));
    EXPECT_EQ(commands(sim), join(opening, {"500 2 2 0 19", cmd::close_transfer}));
    EXPECT_TRUE(list_dir(dir).empty());
}

TEST_F(save_test, a_failed_file_write_fails_the_save_and_leaves_no_temporary_file)
{
    // 100 satellites make 4000 bytes, beyond a file size limit of 1 KiB or
    // less. The program ignores SIGXFSZ itself: the write fails instead of
    // the process. The block is not acknowledged, also when the box
    // announced the checksum 0 that a block not checked would leave.
    const std::vector<std::string> boxes[] = {
        {"--sat", "100"},
        {"--sat", "100", "--fault",
         "reply,500 2 2,1,DATA HFA0 H0 0\\n " + std::string(4000, 'A') + "\\c"},
    };
    for (const auto& box : boxes) {
        boxsim_process sim(box);
        std::string previous = "CXF2 the previous list";
        write_file(target, previous);
        run_result r = run_command({"/bin/sh", "-c", "ulimit -f 1; exec \"$0\" \"$@\"",
                                    HALVORAN_BIN, sim.device(), "s", target},
                                   "", 30000);
        EXPECT_EQ(r.exit_code, 2);
        EXPECT_EQ(r.out, start_lines(sim, target) + transfer +
                             block_progress({4000}, 4000 + tp_bytes + chan_bytes + fav_bytes) +
                             "Schreibfehler " + target + "!\n");
        EXPECT_EQ(commands(sim), join(opening, {"500 2 2 0 99", cmd::close_transfer}));
        EXPECT_EQ(read_file(target), previous);
        EXPECT_EQ(list_dir(dir), strings{"senderl.cxf"});
    }
}

// The trace: the console stays as it is, the commands and answers are
// exactly those the box saw, every block is listed with its checksums but
// none of its bytes.
TEST_F(save_test, the_trace_holds_the_exchange_of_the_transcript_and_no_list_data)
{
    boxsim_process sim;
    const std::string trace = temp_dir() + "/trace.txt";
    run_result r = run_traced(trace, {sim.device(), "s", target}, "", 30000);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out,
              start_lines(sim, target) + "\nSenderliste speichern " +
                  block_progress({sat_bytes, tp_bytes, chan_bytes, fav_bytes}, default_total) +
                  "\n");

    const std::string text = read_file(trace);
    EXPECT_TRUE(trace_well_formed(text));
    strings expected = transcript_exchange(sim.transcript());
    // The answer to "503 18" is purged unread after the pause.
    auto unread = std::find(expected.begin(), expected.end(), "< 503 OK");
    ASSERT_NE(unread, expected.end());
    expected.erase(unread);
    EXPECT_EQ(trace_exchange(text), expected);
    EXPECT_EQ(trace_events(text, "purge"),
              (strings{"purge 0 bytes waiting", "purge 7 bytes waiting"}));
    EXPECT_EQ(trace_events(text, "pause"), (strings{"pause 200 ms", "pause 1000 ms"}));

    strings blocks = trace_events(text, "block");
    ASSERT_EQ(blocks.size(), 4u);
    EXPECT_EQ(blocks[0].rfind("block received length 800 crc ", 0), 0u) << blocks[0];
    for (const std::string& b : blocks)
        EXPECT_EQ(b.substr(b.size() - 3), " ok") << b;
    strings files = trace_events(text, "file");
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(files[0].rfind("file created " + target + ".", 0), 0u) << files[0];
    EXPECT_EQ(files[1], "file committed " + target);
    EXPECT_EQ(trace_events(text, "exit"), strings{"exit 0"});
    // The tables are 15 000 bytes; the trace has no room for them.
    EXPECT_LT(text.size(), 4000u);
}

// A trace file that cannot be opened: one line after the banner, and the
// job runs as without the trace.
TEST_F(save_test, a_trace_file_that_cannot_be_opened_is_reported_and_the_save_completes)
{
    boxsim_process sim;
    const std::string trace = dir + "/no/such/folder/trace.txt";
    run_result r = run_traced(trace, {sim.device(), "s", target}, "", 30000);
    EXPECT_EQ(r.exit_code, 0);
    std::string expected =
        start_lines(sim, target) + "\nSenderliste speichern " +
        block_progress({sat_bytes, tp_bytes, chan_bytes, fav_bytes}, default_total) + "\n";
    expected.insert(expected.find('\n') + 1,
                    "Trace-Datei " + trace + " kann nicht geoeffnet werden!\n");
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(read_file(target).size(), 128u + default_total);
    EXPECT_EQ(list_dir(dir), strings{"senderl.cxf"});
}

// Ctrl+C and the signals that end a run from outside (kill, a closed
// terminal window, Ctrl+\\) in the middle of the channel block: exit status
// 1, nothing more to the box, the temporary file gone, the old list intact.
TEST_F(save_test, an_interrupt_or_termination_signal_ends_the_save_without_leftovers)
{
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        SCOPED_TRACE(sig);
        std::string previous = "CXF2 the previous list";
        write_file(target, previous);
        // Paced: the channel block takes about a second on the line.
        boxsim_process sim({"--baud", "115200"});
        background_run run({HALVORAN_BIN, sim.device(), "s", target});
        ASSERT_TRUE(sim.wait_for_command("500 0 2 0 399"));
        EXPECT_EQ(list_dir(dir).size(), 2u); // the list and the temporary file
        run.signal(sig);
        run_result r = run.wait(10000);
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(commands(sim).back(), "500 0 2 0 399");
        EXPECT_EQ(read_file(target), previous);
        EXPECT_EQ(list_dir(dir), strings{"senderl.cxf"});
    }
}

// Started to ignore SIGHUP (nohup), the save outlives its terminal.
TEST_F(save_test, a_hangup_that_the_starter_ignores_stays_ignored)
{
    boxsim_process sim({"--baud", "115200"});
    background_run run({"/bin/sh", "-c", "trap '' HUP; exec \"$0\" \"$@\"", HALVORAN_BIN,
                        sim.device(), "s", target});
    ASSERT_TRUE(sim.wait_for_command("500 0 2 0 399"));
    run.signal(SIGHUP);
    run_result r = run.wait(20000);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(commands(sim).back(), "503 25");
    EXPECT_EQ(read_file(target).size(), 128u + default_total);
}

// "halvoranupdate ... s | head -3": the reader of the output goes away long
// before the save ends. The save goes on and completes; its output is lost.
TEST_F(save_test, a_closed_standard_output_does_not_end_the_save)
{
    boxsim_process sim;
    run_result r = run_command({"/bin/bash", "-c",
                                "\"$0\" \"$@\" | head -n 3 >/dev/null; exit ${PIPESTATUS[0]}",
                                HALVORAN_BIN, sim.device(), "s", target},
                               "", 30000);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(commands(sim).back(), "503 25");
    EXPECT_EQ(read_file(target).size(), 128u + default_total);
}

// A save through symbolic links (a relative one to an absolute one) writes
// into the file at their end, beside it, and leaves the links as they were.
TEST_F(save_test, a_symbolic_link_stays_and_the_file_it_names_gets_the_list)
{
    std::string real_dir = dir + "/lists";
    ASSERT_EQ(mkdir(real_dir.c_str(), 0755), 0);
    std::string real = real_dir + "/box.cxf";
    write_file(real, "CXF2 the previous list");
    ASSERT_EQ(symlink(real.c_str(), (dir + "/last.cxf").c_str()), 0);
    ASSERT_EQ(symlink("last.cxf", target.c_str()), 0);
    boxsim_process sim;
    run_result r = save(sim, target);
    EXPECT_EQ(r.exit_code, 0);
    struct stat st {};
    ASSERT_EQ(lstat(target.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(lstat((dir + "/last.cxf").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(read_file(real).size(), 128u + default_total);
    EXPECT_EQ(list_dir(real_dir), strings{"box.cxf"});
    EXPECT_EQ(list_dir(dir), (strings{"last.cxf", "lists", "senderl.cxf"}));
}

// The list that replaces another keeps its permission bits, whatever the
// umask; a new list gets read and write for all that the umask leaves. The
// umask takes away bits the old list has, so that only setting them after
// the file is created keeps them.
TEST_F(save_test, the_new_list_keeps_the_permissions_of_the_old_one)
{
    write_file(target, "CXF2 the previous list");
    ASSERT_EQ(chmod(target.c_str(), 0666), 0);
    const struct {
        const char* umask;
        unsigned fresh_mode;
    } cases[] = {{"022", 0644u}, {"002", 0664u}};
    for (const auto& c : cases) {
        const std::string fresh = dir + "/neu" + c.umask + ".cxf";
        for (const std::string& path : {target, fresh}) {
            boxsim_process sim;
            run_result r = run_command({"/bin/sh", "-c",
                                        std::string("umask ") + c.umask + "; exec \"$0\" \"$@\"",
                                        HALVORAN_BIN, sim.device(), "s", path},
                                       "", 30000);
            EXPECT_EQ(r.exit_code, 0) << r.out;
        }
        struct stat st {};
        ASSERT_EQ(stat(target.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0666u) << c.umask;
        EXPECT_EQ(read_file(target).size(), 128u + default_total);
        ASSERT_EQ(stat(fresh.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, c.fresh_mode) << c.umask;
    }
}

// A list the user may not write, and a folder, are refused where the save
// opens its file, as a file that cannot be created is: nothing is received
// and nothing replaced. root may write any file, so the read-only case runs
// the program as an unprivileged user when the tests run as root.
TEST_F(save_test, a_target_the_user_may_not_replace_is_refused_when_the_file_is_opened)
{
    const std::string setpriv = "/usr/bin/setpriv";
    bool as_root = geteuid() == 0;
    if (as_root && !file_exists(setpriv))
        GTEST_SKIP() << "running as root without setpriv";
    std::string previous = "CXF2 the previous list";
    write_file(target, previous);
    ASSERT_EQ(chmod(target.c_str(), 0444), 0);
    std::string folder = dir + "/ordner";
    ASSERT_EQ(mkdir(folder.c_str(), 0777), 0);
    ASSERT_EQ(chmod(dir.c_str(), 0777), 0);
    for (const std::string& path : {target, folder}) {
        SCOPED_TRACE(path);
        boxsim_process sim;
        std::vector<std::string> argv{HALVORAN_BIN, sim.device(), "s", path};
        if (as_root) {
            ASSERT_EQ(chmod(sim.device().c_str(), 0666), 0);
            argv.insert(argv.begin(),
                        {setpriv, "--reuid=65534", "--regid=65534", "--clear-groups"});
        }
        run_result r = run_command(argv, "", 30000);
        EXPECT_EQ(r.exit_code, 2);
        EXPECT_EQ(r.out, start_lines(sim, path) + transfer + "failed to open file " + path + "!\n");
        EXPECT_EQ(commands(sim), join(opening, {"500 2 2 0 19", "503 25"}));
    }
    EXPECT_EQ(read_file(target), previous);
    EXPECT_EQ(list_dir(dir), (strings{"ordner", "senderl.cxf"}));
    EXPECT_TRUE(list_dir(folder).empty());
}

} // namespace

// The verify reads what a save reads and changes nothing: neither the box
// nor the list file.
class verify_saved_list : public save_test {
  protected:
    run_result verify(boxsim_process& sim)
    {
        return run_program({sim.device(), "v", target}, "", 30000);
    }
    // The start lines and the verify's opening with the saved file's info text.
    std::string opening(const boxsim_process& sim) const
    {
        std::string file = read_file(target);
        return "Halvoran update 1.04\nParameter: " + sim.device() + " v " + target +
               "\n\nalte 1.00 (2025-11-03)\nSenderliste mit der Box vergleichen \nInfotext: " +
               file.substr(36, u32_at(file, 32)) + "\n";
    }
    // The commands of the last run, after its "501".
    static strings last_run(const boxsim_process& sim)
    {
        strings c = sim.commands();
        auto from = std::find(c.rbegin(), c.rend(), "501").base();
        return strings(from, c.end());
    }
};

TEST_F(verify_saved_list, compares_equal_with_its_box_and_changes_nothing)
{
    boxsim_process sim;
    ASSERT_EQ(save(sim, target).exit_code, 0);
    const std::string saved = read_file(target);
    run_result r = verify(sim);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, opening(sim) + all_tables_same);
    // The load's queries, then the save's read requests with their
    // acknowledgements: the channels in one block.
    EXPECT_EQ(last_run(sim),
              strings({"503 18", "500 3 1", "500 2 1", "500 1 1", "500 0 1", "500 0 5",
                       "500 2 2 0 19", "911 0", "500 1 2 0 99", "911 0", "500 0 2 0 399", "911 0",
                       "500 3 2 0 199", "911 0", "503 25"}));
    EXPECT_FALSE(changes_the_box(sim.commands()));
    EXPECT_EQ(read_file(target), saved);
    EXPECT_EQ(list_dir(dir), strings{"senderl.cxf"});
}

TEST_F(verify_saved_list, names_the_first_differing_record_of_each_table)
{
    const std::string state = temp_dir() + "/box";
    {
        boxsim_process sim({}, state);
        ASSERT_EQ(save(sim, target).exit_code, 0);
    }
    // In the box: radio record 37 (slot 336, in the channel block's second
    // chunk) and the last transponder. In the file: TV record 300, its last.
    const std::string channels = state + "/channels.bin",
                      transponders = state + "/transponders.bin";
    std::string c = read_file(channels), t = read_file(transponders), f = read_file(target);
    c.at((300 + 36) * 32 + 5) ^= 1;
    t.at(99 * 10 + 9) ^= 0x80;
    f.at(1928 + 299 * 32 + 31) ^= 0x10;
    write_file(channels, c);
    write_file(transponders, t);

    boxsim_process sim({}, state);
    run_result r = verify(sim);
    EXPECT_EQ(r.exit_code, 3);
    // A difference is a result: no key prompt.
    EXPECT_EQ(r.out, opening(sim) +
                         "Satelliten: gleich\nTransponder: verschieden ab Eintrag 100\n" +
                         "TV: gleich\nRadio: verschieden ab Eintrag 37\nFavoriten: gleich\n");
    write_file(target, f);
    r = verify(sim);
    EXPECT_EQ(r.exit_code, 3);
    EXPECT_EQ(r.out, opening(sim) +
                         "Satelliten: gleich\nTransponder: verschieden ab Eintrag 100\n" +
                         "TV: verschieden ab Eintrag 300\nRadio: verschieden ab Eintrag 37\n" +
                         "Favoriten: gleich\n");
    EXPECT_FALSE(changes_the_box(sim.commands()));
}

TEST_F(verify_saved_list, a_block_that_fails_its_checks_fails_the_verify)
{
    struct fault_case {
        const char* fault;
        std::string tail;      // behind the satellites' line
        std::string last_read; // the request the fault hit
    };
    const fault_case cases[] = {
        // No acknowledgement and no further request after a wrong checksum.
        {"badcrc,500 0 2", "Transponder: gleich\n", "500 0 2 0 399"},
        {"badlen,500 1 2", "Blocklaenge falsch\n", "500 1 2 0 99"},
        {"garbage,500 3 2", "Transponder: gleich\nTV: gleich\nRadio: gleich\nwrong_line\n",
         "500 3 2 0 199"},
        {"blocksilent,500 1 2", "Die Box antwortet nicht!\n", "500 1 2 0 99"},
    };
    {
        boxsim_process sim;
        ASSERT_EQ(save(sim, target).exit_code, 0);
    }
    for (const fault_case& c : cases) {
        SCOPED_TRACE(c.fault);
        boxsim_process sim({"--fault", c.fault});
        run_result r = verify(sim);
        EXPECT_EQ(r.exit_code, 2);
        EXPECT_EQ(r.out, opening(sim) + "Satelliten: gleich\n" + c.tail);
        strings cmds = last_run(sim);
        ASSERT_GE(cmds.size(), 2u);
        EXPECT_EQ(cmds[cmds.size() - 2], c.last_read);
        EXPECT_EQ(cmds.back(), "503 25");
    }
}
