// The serial port, the line protocol and the response scanner, over a real
// pseudo-terminal: the test plays the box on the master side.
#include "common/globals.hpp"
#include "link/protocol.hpp"
#include "link/scan.hpp"
#include "link/serial.hpp"
#include "support/harness.hpp"
#include "support/pty_line.hpp"
#include "support/texts.hpp"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

class line_test : public pty_line_test {
  protected:
    std::string box_receives(std::size_t n) { return read_some(pty.master, n, 2000); }
    std::string line() const { return std::string(linebuf); }
};

TEST_F(line_test, readline_drops_carriage_returns_and_joins_the_sides)
{
    box_sends("99\r9 OS\r\n\r\n");
    ASSERT_EQ(readline(), 1);
    EXPECT_EQ(line(), "999 OS");
    // A line of only CR LF is an empty line.
    ASSERT_EQ(readline(), 1);
    EXPECT_EQ(line(), "");
}

TEST_F(line_test, readline_keeps_255_characters_and_drops_the_rest_of_a_long_line)
{
    std::string long_line(300, 'x');
    long_line[254] = 'A';
    long_line[255] = 'B';
    box_sends(long_line + "\nnext\n");
    ASSERT_EQ(readline(), 1);
    EXPECT_EQ(line().size(), 255u);
    EXPECT_EQ(line().back(), 'A');
    EXPECT_EQ(linebuf[255], '\0');
    // The dropped characters were read: the next line starts clean.
    ASSERT_EQ(readline(), 1);
    EXPECT_EQ(line(), "next");
}

TEST_F(line_test, readline_stores_a_nul_byte_like_any_other)
{
    box_sends(std::string("ab\0cd\n", 6));
    ASSERT_EQ(readline(), 1);
    EXPECT_EQ(std::memcmp(linebuf, "ab\0cd\0", 6), 0);
}

TEST_F(line_test, raw_mode_passes_control_bytes_both_ways)
{
    // Signal characters, XON/XOFF, CR and bytes above 0x7F must neither be
    // interpreted nor translated on either side of the line.
    std::string bytes("\x00\x03\x11\x13\x0d\x0a\x1a\x7f\xff\x1c", 10);
    box_sends(bytes);
    char got[10] = {};
    ASSERT_EQ(async_io(got, 10, 0), 1);
    EXPECT_EQ(std::string(got, 10), bytes);
    ASSERT_EQ(async_io(bytes.data(), 10, 1), 1);
    EXPECT_EQ(box_receives(10), bytes);
}

TEST_F(line_test, a_line_cut_off_fails_after_the_command_timeout_and_keeps_what_came)
{
    box_sends("999 OS 1.0");
    double start = now_seconds();
    EXPECT_EQ(readline(), 0);
    double took = now_seconds() - start;
    EXPECT_EQ(line(), "999 OS 1.0");
    // Each byte is a read of its own, so the wait for the missing line feed
    // is a whole command timeout.
    EXPECT_GT(took, 0.9);
    EXPECT_LT(took, 1.5);
}

TEST_F(line_test, a_silent_line_fails_after_about_one_second)
{
    double start = now_seconds();
    char byte = 0;
    EXPECT_EQ(async_io(&byte, 1, 0), 0);
    double took = now_seconds() - start;
    EXPECT_GT(took, 0.9);
    EXPECT_LT(took, 1.5);
}

TEST_F(line_test, a_partial_read_is_a_failure_with_the_bytes_in_the_buffer)
{
    box_sends("abc");
    char buf[8] = {};
    EXPECT_EQ(async_io(buf, 8, 0), 0);
    EXPECT_STREQ(buf, "abc");
    // Zero bytes asked, zero moved: success.
    EXPECT_EQ(async_io(buf, 0, 1), 1);
}

TEST_F(line_test, get_cmd_buffer_leaves_the_destination_alone_after_a_failed_read)
{
    char dest[linebuf_size];
    std::strcpy(dest, "previous");
    EXPECT_EQ(get_cmd_buffer(dest), 0);
    EXPECT_STREQ(dest, "previous");
    box_sends("500 2 1 10 H28\n");
    EXPECT_EQ(get_cmd_buffer(dest), 1);
    EXPECT_STREQ(dest, "500 2 1 10 H28");
}

TEST_F(line_test, commands_end_with_one_line_feed)
{
    EXPECT_EQ(send_cmd_buffer(cmd::status.c_str()), 1);
    EXPECT_EQ(send_cmd_buffer(""), 1);
    EXPECT_EQ(box_receives(5), cmd::status + "\n\n");
}

TEST_F(line_test, purge_drops_unread_bytes_and_keeps_later_ones)
{
    box_sends("stale line\n");
    usleep(100000);
    purge_receive();
    box_sends("fresh\n");
    ASSERT_EQ(readline(), 1);
    EXPECT_EQ(line(), "fresh");
}

TEST_F(line_test, a_line_that_goes_away_is_a_failed_read_not_a_hang)
{
    set_timeout_profile(timeout_profile::open);
    close(pty.master);
    close(pty.slave_keep);
    pty.master = pty.slave_keep = -1;
    double start = now_seconds();
    char byte = 0;
    EXPECT_EQ(async_io(&byte, 1, 0), 0);
    EXPECT_LT(now_seconds() - start, 1.0);
}

TEST(serial_open, refuses_a_second_user_and_things_that_are_no_terminal)
{
    pty_pair pty = open_pty();
    ASSERT_EQ(open_serial(pty.slave_path.c_str()), 1);
    std::intptr_t first = handle_com;
    EXPECT_EQ(open_serial(pty.slave_path.c_str()), 0);
    EXPECT_EQ(open_serial_failure(), open_failure::busy);
    EXPECT_EQ(handle_com, first);
    close_serial();
    // Once closed, the port can be opened again.
    EXPECT_EQ(open_serial(pty.slave_path.c_str()), 1);
    close_serial();
    close_pty(pty);

    handle_com = invalid_handle;
    EXPECT_EQ(open_serial("/nonexistent/tty"), 0);
    EXPECT_EQ(open_serial_failure(), open_failure::missing);
    std::string plain = temp_dir() + "/plain";
    write_file(plain, "x");
    EXPECT_EQ(open_serial(plain.c_str()), 0);
    EXPECT_EQ(open_serial_failure(), open_failure::not_serial);
    EXPECT_EQ(handle_com, invalid_handle);
}

// The port is opened without waiting for a carrier and stays non-blocking:
// a write larger than the line's buffer waits for the box under its limit
// instead of failing.
// A drain is bounded by the bytes' own time on the line (about 0.36 s for
// 4 KiB) even when the box reads nothing.
TEST_F(line_test, writes_wait_for_a_slow_box_and_a_drain_is_bounded)
{
    EXPECT_NE(fcntl(static_cast<int>(handle_com), F_GETFL) & O_NONBLOCK, 0);
    const std::string block(256 * 1024, 'b');
    std::string got;
    std::thread box([&] {
        usleep(200000);
        got = read_some(pty.master, block.size(), 10000);
    });
    EXPECT_EQ(async_write(block.data(), static_cast<int>(block.size())), 1);
    box.join();
    EXPECT_EQ(got, block);

    ASSERT_EQ(async_write(block.data(), 4096), 1);
    double start = now_seconds();
    (void)drain_transmit(4096);
    EXPECT_LT(now_seconds() - start, 0.5);
    EXPECT_EQ(box_receives(4096), block.substr(0, 4096));
}

// A port that stops taking data (the terminal's output stopped, as a wedged
// adapter's would be): even a short command's write fails within its limit,
// and from then on every transfer fails at once, a read even with a byte
// waiting. The next open starts afresh.
TEST_F(line_test, a_port_that_stops_taking_data_stalls_the_line_until_it_is_opened_again)
{
    ASSERT_EQ(tcflow(pty.slave_keep, TCOOFF), 0);
    EXPECT_EQ(send_cmd_buffer(cmd::status.c_str()), 0);
    EXPECT_EQ(serial_line_state(), line_state::stalled);
    box_sends("9");
    usleep(50000);
    char byte = 0;
    EXPECT_EQ(async_read(&byte, 1), 0);
    EXPECT_EQ(read_available(&byte, 1), 0);
    EXPECT_EQ(async_write("x", 1), 0);
    EXPECT_EQ(drain_transmit(1), 0);
    close_serial();
    ASSERT_EQ(tcflow(pty.slave_keep, TCOON), 0);
    ASSERT_EQ(open_serial(pty.slave_path.c_str()), 1);
    EXPECT_EQ(serial_line_state(), line_state::ok);
    set_timeout_profile(timeout_profile::command);
    box_sends("9");
    EXPECT_EQ(async_read(&byte, 1), 1);
}

// The far end hangs up (the master closes, as an adapter pulled out ends its
// terminal): the read finds the line gone, and the write after it fails at
// once.
TEST_F(line_test, a_line_that_hangs_up_is_gone_for_every_transfer_after_it)
{
    box_sends("99");
    close(pty.master);
    pty.master = -1;
    char got[3] = {};
    EXPECT_EQ(async_read(got, 3), 0);
    EXPECT_EQ(serial_line_state(), line_state::gone);
    EXPECT_EQ(async_write("x", 1), 0);
    EXPECT_EQ(serial_line_state(), line_state::gone);
}

// Which system errors end the line, and the write limit's growth with the
// bytes: a slow line's long write is no stall.
TEST(line_state, system_errors_of_a_device_that_is_gone_and_the_write_limit)
{
    for (int error : {EIO, ENODEV, ENXIO})
        EXPECT_EQ(line_state_of_posix_error(error), line_state::gone) << error;
    for (int error : {EAGAIN, EINTR, EBADF, 0})
        EXPECT_EQ(line_state_of_posix_error(error), line_state::ok) << error;
    for (unsigned long error : {5ul, 21ul, 22ul, 31ul, 995ul, 1167ul})
        EXPECT_EQ(line_state_of_win32_error(error), line_state::gone) << error;
    for (unsigned long error : {121ul, 1121ul})
        EXPECT_EQ(line_state_of_win32_error(error), line_state::stalled) << error;
    for (unsigned long error : {0ul, 2ul, 87ul})
        EXPECT_EQ(line_state_of_win32_error(error), line_state::ok) << error;
    // One byte: its 87 us on the line plus the margin, in whole milliseconds.
    EXPECT_EQ(write_limit_ms(1), 1001u);
    // A 10 KiB chunk takes 0.89 s of line time; 1 MiB more than 91 s.
    EXPECT_EQ(write_limit_ms(10240), 1889u);
    EXPECT_GT(write_limit_ms(1 << 20), 92000u);
}

TEST(scan, converts_fields_like_formatted_scanning)
{
    char w1[word_size], w2[word_size], w3[word_size];
    int count = 0;
    std::uint32_t size = 0, crc = 0;
    EXPECT_EQ(scan_line("500 2 1 150 H28", "%s %s %s %d H%x", w1, w2, w3, &count, &size), 5);
    EXPECT_EQ(count, 150);
    EXPECT_EQ(size, 0x28u);
    EXPECT_EQ(scan_line("DATA H1f4 H376E6E7 3", "%s H%lx H%lx %d", w1, &size, &crc, &count), 4);
    EXPECT_EQ(size, 500u);
    EXPECT_EQ(crc, 0x376E6E7u);
    int code = 0;
    EXPECT_EQ(scan_line("  -12   word trailing", "%d %s", &code, w1), 2);
    EXPECT_EQ(code, -12);
    EXPECT_STREQ(w1, "word");
}

TEST(scan, stops_at_the_first_field_that_does_not_match)
{
    char w[word_size];
    int code = 0;
    std::uint32_t value = 0;
    EXPECT_EQ(scan_line("999", "%d %s", &code, w), 1);
    EXPECT_EQ(scan_line("", "%d %s", &code, w), 0);
    EXPECT_EQ(scan_line("OS 999", "%d %s", &code, w), 0);
    // The H must be upper case; the digits may be either.
    EXPECT_EQ(scan_line("a b c 1 h28", "%s %s %s %d H%x", w, w, w, &code, &value), 4);
    // Numbers that do not fit are a mismatch, not a wrapped value.
    EXPECT_EQ(scan_line("99999999999 OS", "%d %s", &code, w), 0);
    EXPECT_EQ(scan_line("2147483647 OS", "%d %s", &code, w), 2);
    EXPECT_EQ(scan_line("-2147483648 OS", "%d %s", &code, w), 2);
    EXPECT_EQ(code, -2147483647 - 1);
    EXPECT_EQ(scan_line("H100000000", "H%x", &value), 0);
    EXPECT_EQ(scan_line("HFFFFFFFF", "H%x", &value), 1);
    EXPECT_EQ(value, 0xFFFFFFFFu);
}

TEST(scan, never_writes_more_than_a_word_buffer)
{
    std::string huge(1000, 'w');
    char w[word_size + 8];
    std::memset(w, '#', sizeof w);
    EXPECT_EQ(scan_line(huge.c_str(), "%s", w), 1);
    EXPECT_EQ(std::strlen(w), word_size - 1);
    EXPECT_EQ(w[word_size], '#');
}

} // namespace
