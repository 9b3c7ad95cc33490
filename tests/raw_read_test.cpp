// Raw reads of what has arrived (read_available) and the block reception built on them, over
// a real pseudo-terminal: the test plays the box on the master side. They must keep the time
// limits of one-byte reads and never take a byte beyond what the caller asked for.
#include "channels/block.hpp"
#include "common/globals.hpp"
#include "common/os.hpp"
#include "link/protocol.hpp"
#include "link/serial.hpp"
#include "support/capture.hpp"
#include "support/harness.hpp"
#include "support/pty_line.hpp"
#include "support/test_data.hpp"

#include <chrono>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <thread>

namespace {

using raw_read_test = pty_line_test;

TEST_F(raw_read_test, takes_what_has_come_without_waiting_for_more_and_no_more_than_asked)
{
    write_all(pty.master, "abcdefgh\nrest\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    char buf[64] = {};
    double start = now_seconds();
    ASSERT_EQ(read_available(buf, 5), 5);
    EXPECT_EQ(std::string(buf, 5), "abcde");
    // Fewer bytes there than asked for: they come at once, not after the time limit.
    int got = read_available(buf, sizeof buf);
    EXPECT_LT(now_seconds() - start, 0.5);
    ASSERT_EQ(got, 9);
    EXPECT_EQ(std::string(buf, 9), "fgh\nrest\n");
}

TEST_F(raw_read_test, waits_for_the_first_byte_as_long_as_a_one_byte_read)
{
    // Silent line: nothing after the command profile's 1000 ms.
    char buf[16];
    double start = now_seconds();
    EXPECT_EQ(read_available(buf, sizeof buf), 0);
    double took = now_seconds() - start;
    EXPECT_GT(took, 0.9);
    EXPECT_LT(took, 2.0);

    // A byte that comes after 300 ms is still taken: the 50 ms gap limit of longer reads does
    // not apply to the wait for the first byte.
    std::thread box([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        write_all(pty.master, "x");
    });
    EXPECT_EQ(read_available(buf, sizeof buf), 1);
    box.join();
    EXPECT_EQ(buf[0], 'x');
}

TEST_F(raw_read_test, a_block_with_pauses_is_received_whole_and_leaves_the_next_line)
{
    // The box sends the block in pieces with pauses longer than the 50 ms gap limit but within
    // the one-second limit for each byte, and the next line right behind it.
    std::string data(3000, '\0');
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 7 + i / 256);
    std::thread box([&] {
        write_all(pty.master, " " + data.substr(0, 1000));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        write_all(pty.master, data.substr(1000, 1000));
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        write_all(pty.master, data.substr(2000) + "next\n");
    });
    std::string dir = temp_dir();
    std::string path = dir + "/block.cxf";
    char tmp[4096];
    file_t f = file_create_temp(path.c_str(), tmp, sizeof tmp);
    ASSERT_NE(f, no_file);
    balken_size = 3000;
    balken_ist = 0;
    std::uint32_t crc = 0;
    std::string out;
    receive_result result = capture_stdout(out, [&] { return get_data_buffer(3000, f, &crc); });
    box.join();
    ASSERT_EQ(file_commit(f, tmp, path.c_str()), 1);
    ASSERT_EQ(result, receive_result::ok) << out;
    EXPECT_EQ(read_file(path), data);
    EXPECT_EQ(crc, crc_of_string(data));
    ASSERT_EQ(readline(), 1);
    EXPECT_STREQ(linebuf, "next");
}

} // namespace
