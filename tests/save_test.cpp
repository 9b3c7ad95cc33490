// The channel-list save end to end: the real program against the box
// simulator, with the exact console output, the exact commands the box
// received and the file left behind. A failed save must leave the file that
// stood at the target path as it was and no temporary file beside it.
#include "support/harness.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <gtest/gtest.h>
#include <ostream>
#include <string>
#include <vector>

namespace {

using strings = std::vector<std::string>;

std::uint32_t u32_at(const std::string& bytes, std::size_t offset)
{
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i)
        value = value << 8 | static_cast<unsigned char>(bytes.at(offset + i));
    return value;
}

// The percentage prints of blocks of these lengths, chunk by chunk.
std::string progress(const std::vector<std::uint32_t>& blocks, std::uint32_t total)
{
    std::string out;
    std::uint64_t done = 0;
    for (std::uint32_t length : blocks) {
        std::uint32_t left = length;
        do {
            std::uint32_t chunk = left < 10240 ? left : 10240;
            done += chunk;
            left -= chunk;
            char s[16];
            std::snprintf(s, sizeof s, "%3u%%\b\b\b\b",
                          total == 0 ? 100u : static_cast<unsigned>(done * 100 / total));
            out += s;
        } while (left > 0);
    }
    return out;
}

// The simulator's default box: 20 satellites of 40 bytes, 100 transponders
// of 10, 300 TV and 100 radio channels of 32, 200 favourites of 2.
constexpr std::uint32_t sat_bytes = 20 * 40, tp_bytes = 100 * 10, chan_bytes = 400 * 32,
                        fav_bytes = 200 * 2;
constexpr std::uint32_t default_total = sat_bytes + tp_bytes + chan_bytes + fav_bytes;

const strings info_queries = {"500 2 1", "500 1 1", "500 0 1", "500 0 5", "500 3 1"};

strings join(strings a, const strings& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const strings opening = join({"503 18"}, info_queries);

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
        return "Halvoran update 1.04\nParameter: " + sim.device() + " s " + path +
               "\n\nalte 1.00 (2025-11-03)\n";
    }
    std::string table(const boxsim_process& sim, const char* name) const
    {
        return read_file(sim.state_dir() + "/" + name + ".bin");
    }
    // The commands of the run after the connection check's "501".
    static strings commands(const boxsim_process& sim)
    {
        strings c = sim.commands();
        if (!c.empty() && c.front() == "501")
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
    EXPECT_EQ(r.out, start_lines(sim, target) + "\nSenderliste speichern " +
                         progress({sat_bytes, tp_bytes, chan_bytes, fav_bytes}, default_total) +
                         "\n");
    EXPECT_EQ(commands(sim),
              join(opening, {"500 2 2 0 19", "911 0", "500 1 2 0 99", "911 0", "500 0 2 0 399",
                             "911 0", "500 3 2 0 199", "911 0", "503 25"}));

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
    EXPECT_EQ(file.substr(128, sat_bytes), table(sim, "satellites"));
    EXPECT_EQ(file.substr(928, tp_bytes), table(sim, "transponders"));
    EXPECT_EQ(file.substr(1928, chan_bytes), table(sim, "channels"));
    EXPECT_EQ(file.substr(1928 + chan_bytes), table(sim, "favourites"));
    EXPECT_EQ(list_dir(dir), strings{"senderl.cxf"});
}

TEST_F(save_test, favourites_are_as_long_as_their_reported_record_size)
{
    // 5 favourites of 3 bytes: the block is 15 bytes, and the progress total
    // counts them with their size, so the display ends at 100.
    boxsim_process sim({"--fav", "5", "--fav-size", "3"});
    run_result r = save(sim, target);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, start_lines(sim, target) + "\nSenderliste speichern " +
                         progress({sat_bytes, tp_bytes, chan_bytes, 15},
                                  sat_bytes + tp_bytes + chan_bytes + 15) +
                         "\n");
    EXPECT_EQ(commands(sim).at(commands(sim).size() - 3), "500 3 2 0 4");
    std::string file = read_file(target);
    ASSERT_EQ(file.size(), 128u + sat_bytes + tp_bytes + chan_bytes + 15);
    EXPECT_EQ(u32_at(file, 80), 5u);
    EXPECT_EQ(file.substr(u32_at(file, 76)), table(sim, "favourites"));
}

TEST_F(save_test, a_box_without_favourites_gives_a_header_without_extension)
{
    // No favourites, and no transponders: the request asks for records 0 to -1.
    boxsim_process sim({"--fav", "0", "--tp", "0"});
    run_result r = save(sim, target);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, start_lines(sim, target) + "\nSenderliste speichern " +
                         progress({sat_bytes, 0, chan_bytes}, sat_bytes + chan_bytes) + "\n");
    EXPECT_EQ(commands(sim), join(opening, {"500 2 2 0 19", "911 0", "500 1 2 0 -1", "911 0",
                                            "500 0 2 0 399", "911 0", "503 25"}));
    std::string file = read_file(target);
    ASSERT_EQ(file.size(), 128u + sat_bytes + chan_bytes);
    EXPECT_EQ(u32_at(file, 8), 928u);
    EXPECT_EQ(u32_at(file, 12), 928u);
    EXPECT_EQ(u32_at(file, 20), 0u);
    EXPECT_EQ(file.substr(72, 56), std::string(56, '\xff'));
    EXPECT_EQ(file.substr(928), table(sim, "channels"));
}

TEST_F(save_test, a_favourites_query_without_a_usable_answer_means_no_favourites)
{
    for (const char* fault : {"garbage,500 3 1", "silent,500 3 1"}) {
        SCOPED_TRACE(fault);
        boxsim_process sim({"--fault", fault});
        run_result r = save(sim, target);
        EXPECT_EQ(r.exit_code, 0);
        std::string silent =
            std::string(fault).starts_with("silent") ? "Die Box antwortet nicht!\n" : "";
        EXPECT_EQ(r.out, start_lines(sim, target) + silent + "\nSenderliste speichern " +
                             progress({sat_bytes, tp_bytes, chan_bytes},
                                      sat_bytes + tp_bytes + chan_bytes) +
                             "\n");
        EXPECT_EQ(commands(sim).back(), "503 25");
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
    EXPECT_EQ(r.out, start_lines(sim, target) + "\nSenderliste speichern " +
                         progress({sat_bytes, tp_bytes, old_chan_bytes},
                                  sat_bytes + tp_bytes + 1000 * 52) +
                         "\n");
    EXPECT_EQ(commands(sim),
              strings({"503 18", "500 2 1", "500 1 1", "500 0 1", "500 2 2 0 19", "911 0",
                       "500 1 2 0 99", "911 0", "500 0 2 0 1000", "911 0", "503 25"}));
    std::string file = read_file(target);
    ASSERT_EQ(file.size(), 128u + sat_bytes + tp_bytes + old_chan_bytes);
    EXPECT_EQ(u32_at(file, 24), 500u);
    EXPECT_EQ(u32_at(file, 28), 500u);
    EXPECT_EQ(file.substr(72, 56), std::string(56, '\xff'));
    EXPECT_EQ(file.substr(1928), table(sim, "channels"));
}

// A save that fails: the faults of the box, what the program prints after
// "Senderliste speichern " (or instead of it), and the commands the box got.
struct failure_case {
    const char* name;
    strings sim_args;
    std::string tail; // output behind the start lines
    strings commands; // after "503 18"
};

const std::string transfer = "\nSenderliste speichern ";
const std::string after_sat = transfer + progress({sat_bytes}, default_total);
const std::string after_tp = transfer + progress({sat_bytes, tp_bytes}, default_total);
const strings sat_done = join(info_queries, {"500 2 2 0 19", "911 0"});
const strings tp_done = join(sat_done, {"500 1 2 0 99", "911 0"});

const failure_case failure_cases[] = {
    {"first_info_query_garbled", {"--fault", "garbage,500 2 1"}, "wrong_lined\n", {"500 2 1"}},
    {"first_info_query_silent",
     {"--fault", "silent,500 2 1"},
     "Die Box antwortet nicht!\nwrong_lined\n",
     {"500 2 1"}},
    // The previous answer would scan as this one; a missing answer never does.
    {"channel_info_query_silent",
     {"--fault", "silent,500 0 1"},
     "Die Box antwortet nicht!\nwrong_line\n",
     {"500 2 1", "500 1 1", "500 0 1"}},
    {"split_query_garbled",
     {"--fault", "garbage,500 0 5"},
     "wrong_line\n",
     {"500 2 1", "500 1 1", "500 0 1", "500 0 5"}},
    // Slots that do not add up to the channel table (400): the favourites
    // would not lie where the header puts them.
    {"split_more_than_the_channel_table",
     {"--fault", "reply,500 0 5,1,500 0 5 300 101"},
     "wrong_line\n",
     {"500 2 1", "500 1 1", "500 0 1", "500 0 5"}},
    {"split_less_than_the_channel_table",
     {"--fault", "reply,500 0 5,1,500 0 5 299 100"},
     "wrong_line\n",
     {"500 2 1", "500 1 1", "500 0 1", "500 0 5"}},
    {"satellite_request_silent",
     {"--fault", "silent,500 2 2"},
     transfer + "Die Box antwortet nicht!\nwrong_line\n",
     join(info_queries, {"500 2 2 0 19"})},
    {"transponder_request_garbled",
     {"--fault", "garbage,500 1 2"},
     after_sat + "wrong_line\n",
     join(sat_done, {"500 1 2 0 99"})},
    // No acknowledgement and no further request after a wrong checksum.
    {"transponder_block_bad_crc",
     {"--fault", "badcrc,500 1 2"},
     after_tp,
     join(sat_done, {"500 1 2 0 99"})},
    {"channel_block_cut_off",
     {"--fault", "blocksilent,500 0 2"},
     after_tp + "Die Box antwortet nicht!\n",
     join(tp_done, {"500 0 2 0 399"})},
    {"satellite_block_too_long",
     {"--fault", "badlen,500 2 2"},
     transfer + "Blocklaenge falsch\n",
     join(info_queries, {"500 2 2 0 19"})},
    {"channel_block_too_long",
     {"--fault", "badlen,500 0 2"},
     after_tp + "Blocklaenge falsch\n",
     join(tp_done, {"500 0 2 0 399"})},
    {"favourites_block_too_long",
     {"--fault", "badlen,500 3 2"},
     transfer + progress({sat_bytes, tp_bytes, chan_bytes}, default_total) + "Blocklaenge falsch\n",
     join(tp_done, {"500 0 2 0 399", "911 0", "500 3 2 0 199"})},
    // Offsets beyond 32 bits cannot go into the header.
    {"tables_too_large_for_the_header",
     {"--fault", "reply,500 1 1,1,500 1 1 100000000 HFFFF"},
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
    EXPECT_EQ(commands(sim), join(join({"503 18"}, c.commands), {"503 25"}));
    EXPECT_EQ(read_file(target), previous);
    EXPECT_EQ(list_dir(dir), strings{"senderl.cxf"});
    // At most one timeout of about a second per case.
    EXPECT_LT(r.seconds, 5.0);
}

INSTANTIATE_TEST_SUITE_P(faults, save_failure_test, ::testing::ValuesIn(failure_cases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(save_test, a_target_that_cannot_be_created_is_named_after_the_satellite_request)
{
    boxsim_process sim;
    std::string missing = dir + "/no/such/folder/senderl.cxf";
    run_result r = save(sim, missing);
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.out,
              start_lines(sim, missing) + transfer + "failed to open file " + missing + "!\n");
    EXPECT_EQ(commands(sim), join(opening, {"500 2 2 0 19", "503 25"}));
    EXPECT_TRUE(list_dir(dir).empty());
}

TEST_F(save_test, a_failed_file_write_fails_the_save_and_leaves_no_temporary_file)
{
    // 100 satellites make 4000 bytes, beyond a file size limit of 1 KiB or
    // less; with SIGXFSZ ignored the write fails instead of the process.
    boxsim_process sim({"--sat", "100"});
    std::string previous = "CXF2 the previous list";
    write_file(target, previous);
    run_result r = run_command({"/bin/sh", "-c", "trap '' XFSZ; ulimit -f 1; exec \"$0\" \"$@\"",
                                HALVORAN_BIN, sim.device(), "s", target},
                               "", 30000);
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.out, start_lines(sim, target) + transfer +
                         progress({4000}, 4000 + tp_bytes + chan_bytes + fav_bytes) +
                         "Schreibfehler " + target + "!\n");
    EXPECT_EQ(commands(sim), join(opening, {"500 2 2 0 99", "503 25"}));
    EXPECT_EQ(read_file(target), previous);
    EXPECT_EQ(list_dir(dir), strings{"senderl.cxf"});
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
