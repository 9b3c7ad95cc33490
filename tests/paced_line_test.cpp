// The real program against the simulator on a paced line (boxsim --baud): every job still
// works end to end, every byte crosses the line and is counted, and the program's writes wait
// for the line without running so far ahead that the box's answers come too late. Timing
// itself is measured by bench/run.sh, not here: these tests check only outcomes.
#include "support/harness.hpp"
#include "support/test_data.hpp"
#include "support/texts.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

// Eight times the real rate keeps the tests short; the 9600-byte TV block of the default box
// still makes the simulator hold the program's output a few times.
const std::vector<std::string> fast_line = {"--baud", "921600"};

std::size_t count_of(const std::string& text, const std::string& what)
{
    std::size_t n = 0;
    for (auto pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1))
        ++n;
    return n;
}

// The byte counts of every "line carried" note, in order.
std::vector<std::pair<std::uint64_t, std::uint64_t>> line_use(const std::string& transcript)
{
    std::vector<std::pair<std::uint64_t, std::uint64_t>> result;
    std::istringstream in(transcript);
    for (std::string line; std::getline(in, line);) {
        auto pos = line.find("# line carried ");
        unsigned long long from = 0, to = 0;
        if (pos != std::string::npos &&
            std::sscanf(line.c_str() + pos, "# line carried %llu bytes from the program and %llu",
                        &from, &to) == 2)
            result.emplace_back(from, to);
    }
    return result;
}

TEST(paced_line, save_and_load_carry_every_byte_and_every_block_is_acknowledged)
{
    boxsim_process sim(fast_line);
    std::string dir = temp_dir();
    run_result save = run_program({sim.device(), "s", "liste.cxf"}, "", 60000, dir);
    ASSERT_EQ(save.exit_code, 0) << save.out;
    std::string list = read_file(dir + "/liste.cxf");
    // Header and the four default tables: 20x40, 100x10, 400x32, 200x2.
    const std::size_t tables = 800 + 1000 + 12800 + 400;
    EXPECT_EQ(list.size(), 128 + tables);
    // The save's close is noted (with its byte counts) before the load opens the line.
    (void)sim.transcript();

    run_result load = run_program({sim.device(), "l", "liste.cxf"}, "", 60000, dir);
    ASSERT_EQ(load.exit_code, 0) << load.out;
    EXPECT_EQ(load.out.find(msg::silent), std::string::npos);

    std::string transcript = sim.transcript();
    EXPECT_EQ(count_of(transcript, "< 910 0"), 5u); // sat, tp, tv, radio, favourites
    EXPECT_EQ(count_of(transcript, "tables stored"), 1u);
    // The program's last command came over before the line counted as let go.
    auto commands = sim.commands();
    ASSERT_FALSE(commands.empty());
    EXPECT_EQ(commands.back(), cmd::close_transfer);

    // The simulator counts every byte that crossed the line: from the program, exactly what
    // the box received; to it, at least the four blocks of the save.
    auto use = line_use(transcript);
    ASSERT_EQ(use.size(), 2u);
    EXPECT_EQ(use[0].first + use[1].first, sim.rx_bytes().size());
    EXPECT_GT(use[0].second, tables);
    EXPECT_GT(use[1].first, tables);
}

TEST(paced_line, a_writer_is_held_a_few_kib_ahead_of_the_line)
{
    // At 300 baud almost nothing crosses the line during the test. A writer that keeps going
    // in small writes, with time for the simulator between them, must be stopped after the
    // simulator's 2 KiB (and the write under way), as a real port stops it when its driver's
    // buffer is full; the pseudo-terminal alone would take some 20 KiB first.
    boxsim_process sim({"--baud", "300"});
    int fd = open(sim.device().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    std::string piece(256, 'x'); // no line feed: no command, no answer
    std::size_t taken = 0;
    for (int i = 0; i < 64; ++i) {
        ssize_t n = write(fd, piece.data(), piece.size());
        if (n < 0 && errno == EAGAIN)
            break;
        ASSERT_GT(n, 0);
        taken += static_cast<std::size_t>(n);
        // Time for the simulator to take the bytes in and hold the writer.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    close(fd);
    EXPECT_GE(taken, 2048u);
    EXPECT_LE(taken, 4096u);
}

// The most bytes a run got ahead of the line, from the transcript's notes.
std::uint64_t most_ahead(const std::string& transcript)
{
    std::uint64_t most = 0;
    const std::string note = "the program ran up to ";
    for (auto pos = transcript.find(note); pos != std::string::npos;
         pos = transcript.find(note, pos + 1))
        most = std::max<std::uint64_t>(most, std::stoull(transcript.substr(pos + note.size())));
    return most;
}

TEST(paced_line, a_load_waits_for_its_blocks_to_cross_a_deep_transmit_buffer)
{
    // An adapter that buffers 32 KiB of the program's output: its writes return almost three
    // seconds before their last byte has crossed the line at 115200 baud, and no call says
    // so. The box answers each table block (48000 bytes for the TV channels) only once it has
    // crossed; the program's one-second limit for that answer must start then, not when the
    // writes returned.
    const list_counts counts{.sat = 20, .tp = 100, .tv = 1500, .radio = 250, .fav = 20};
    boxsim_process sim({"--baud", "115200", "--tx-buffer", "32768", "--sat", "20", "--tp", "100",
                        "--tv", "1500", "--radio", "250", "--fav", "20"});
    std::string dir = temp_dir();
    const list_file list = make_list(counts);
    write_file(dir + "/liste.cxf", list.bytes);
    run_result load = run_program({sim.device(), "l", "liste.cxf"}, "", 60000, dir);
    ASSERT_EQ(load.exit_code, 0) << load.out;
    EXPECT_EQ(load.out.find(msg::silent), std::string::npos) << load.out;

    const std::string transcript = sim.transcript();
    EXPECT_EQ(count_of(transcript, "received block: 48000 bytes"), 1u); // the TV channels
    EXPECT_EQ(count_of(transcript, "tables stored"), 1u);
    // The buffer was as deep as modelled: the program's writes ran that far ahead.
    EXPECT_GE(most_ahead(transcript), 32768u);
    sim.stop();
    EXPECT_EQ(stored_tables(sim), list.tables());
}

TEST(paced_line, firmware_update_ends_the_image_only_after_its_last_byte)
{
    boxsim_process sim(fast_line);
    std::string dir = temp_dir();
    std::string image = std::string("010\x01\x02ZOVA", 9) + "4.20 (2030)";
    for (std::size_t i = image.size(); i < 30000; ++i)
        image += static_cast<char>(i * 13 + i / 200);
    write_file(dir + "/image.zova", image);
    run_result r = run_program({sim.device(), "image.zova"}, "", 60000, dir);
    ASSERT_EQ(r.exit_code, 0) << r.out;
    EXPECT_NE(r.out.find(msg::new_version("4.20 (2030)")), std::string::npos);
    EXPECT_EQ(read_file(sim.state_dir() + "/image.bin"), image);
}

} // namespace
