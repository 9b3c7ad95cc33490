// The serial port, the line protocol and the response scanner, over a real
// pseudo-terminal: the test plays the box on the master side.
#include "common/globals.hpp"
#include "link/ports.hpp"
#include "link/protocol.hpp"
#include "link/scan.hpp"
#include "link/serial.hpp"
#include "support/harness.hpp"
#include "support/pty_line.hpp"
#include "support/texts.hpp"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
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

// A write that the box holds up returns long after it began. The box's answer
// cannot come before the line has carried the bytes, and a silent box is
// found one second after that moment, counted from when the write began:
// 60000 bytes are 5.2 s on the line, and the box reads nothing for the
// first 3 s.
TEST_F(line_test, a_silent_box_after_a_write_that_blocked_is_found_a_second_after_its_line_time)
{
    const std::string block(60000, 'b');
    const double line_seconds = static_cast<double>(block.size()) * 10 / 115200;
    std::string got;
    std::thread box([&] {
        usleep(3000000);
        got = read_some(pty.master, block.size(), 10000);
    });
    const double began = now_seconds();
    EXPECT_EQ(async_write(block.data(), static_cast<int>(block.size())), 1);
    const double returned = now_seconds() - began;
    char answer = 0;
    EXPECT_EQ(async_read(&answer, 1), 0);
    const double found = now_seconds() - began;
    box.join();
    EXPECT_EQ(got, block);
    ASSERT_GT(returned, 2.5); // the write blocked
    EXPECT_GT(found, line_seconds + 0.9);
    // From when the write returned, a second more would be 9.2 s.
    EXPECT_LT(found, line_seconds + 2.5);
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

// A pseudo-terminal slave that was never unlocked refuses open() with EIO,
// as a node with no hardware behind it does: the port is missing.
TEST(serial_open, an_eio_from_open_is_a_missing_port)
{
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    const std::string slave = ptsname(master);
    EXPECT_EQ(open_serial(slave.c_str()), 0);
    EXPECT_EQ(open_serial_failure(), open_failure::missing);
    EXPECT_EQ(handle_com, invalid_handle);
    close(master);
}

// The port list's line, filled to every size of buffer: an entry goes in
// only with room left for the ", ..." of a cut list, and nothing is written
// beyond the buffer.
TEST(port_list, a_full_list_is_cut_within_its_buffer)
{
    for (std::size_t size = sizeof ", ..."; size <= 80; ++size) {
        char text[80 + 16];
        std::memset(text, '#', sizeof text);
        std::size_t used = 0;
        int entries = 0;
        while (port_list_append(text, size, &used, "/dev/ttyUSB0", entries % 2 ? " (x)" : ""))
            ++entries;
        port_list_cut(text, used);
        const std::string line = text;
        EXPECT_LT(line.size(), size) << size;
        EXPECT_EQ(line.substr(line.size() - 5), ", ...") << size;
        EXPECT_EQ(std::string(text + size, 16), std::string(16, '#')) << size;
    }
}

// Entries of the list apart: a name ends at its stable name in brackets,
// which only an entry of its own can have.
TEST(port_list, entries_are_split_into_name_and_label)
{
    const char list[] = "/dev/ttyUSB0 (/dev/serial/by-id/usb-a-if00), /dev/ttyS0, "
                        "/dev/ttyUSB1 (/dev/serial/by-id/usb-b-if00), ...";
    char name[64], label[64];
    ASSERT_EQ(serial_port_entry(list, 0, name, label, sizeof name), 1);
    EXPECT_STREQ(name, "/dev/ttyUSB0");
    EXPECT_STREQ(label, "/dev/ttyUSB0 (/dev/serial/by-id/usb-a-if00)");
    ASSERT_EQ(serial_port_entry(list, 1, name, label, sizeof name), 1);
    EXPECT_STREQ(name, "/dev/ttyS0");
    EXPECT_STREQ(label, "/dev/ttyS0");
    ASSERT_EQ(serial_port_entry(list, 2, name, label, sizeof name), 1);
    EXPECT_STREQ(name, "/dev/ttyUSB1");
    EXPECT_STREQ(label, "/dev/ttyUSB1 (/dev/serial/by-id/usb-b-if00)");
    // The cut is no entry; nor is one whose label does not fit.
    EXPECT_EQ(serial_port_entry(list, 3, name, label, sizeof name), 0);
    EXPECT_EQ(serial_port_entry(list, 0, name, label, 20), 0);
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

// A read that starts while the line still carries what was written gets its
// total limit moved out by that time, rounded up to the whole millisecond; a
// clear line and a read without limit keep theirs.
TEST(read_limit, is_moved_out_by_the_lines_remaining_time_rounded_up)
{
    EXPECT_EQ(moved_total_ms(1000, 0), 1000);
    EXPECT_EQ(moved_total_ms(1000, -3), 1000);
    EXPECT_EQ(moved_total_ms(1000, 1), 1001);
    EXPECT_EQ(moved_total_ms(1000, 1000), 1001);
    EXPECT_EQ(moved_total_ms(1000, 1001), 1002);
    // A TV block of 48000 bytes still in an adapter's buffer.
    EXPECT_EQ(moved_total_ms(20000, 4166667), 24167);
    EXPECT_EQ(moved_total_ms(-1, 0), -1);
    EXPECT_EQ(moved_total_ms(-1, 5000000), -1);
}

// A record with DCB's field names and widths, for the Windows port's line
// settings.
struct dcb_record {
    std::uint32_t DCBlength;
    std::uint32_t BaudRate;
    std::uint32_t fBinary : 1;
    std::uint32_t fParity : 1;
    std::uint32_t fOutxCtsFlow : 1;
    std::uint32_t fOutxDsrFlow : 1;
    std::uint32_t fDtrControl : 2;
    std::uint32_t fDsrSensitivity : 1;
    std::uint32_t fTXContinueOnXoff : 1;
    std::uint32_t fOutX : 1;
    std::uint32_t fInX : 1;
    std::uint32_t fErrorChar : 1;
    std::uint32_t fNull : 1;
    std::uint32_t fRtsControl : 2;
    std::uint32_t fAbortOnError : 1;
    std::uint32_t fDummy2 : 17;
    std::uint16_t wReserved;
    std::uint16_t XonLim;
    std::uint16_t XoffLim;
    std::uint8_t ByteSize;
    std::uint8_t Parity;
    std::uint8_t StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    std::uint16_t wReserved1;
};

// The port as a terminal program may leave it: 9600 baud 7E2, parity
// checked, both kinds of flow control, the DTR and RTS handshakes, NULs
// stripped and fAbortOnError on. The settings make it 115200 8N1 raw with
// no flow control, DTR and RTS off, fAbortOnError off; the rest stays as the
// port reported it. The values are DCB's as Windows documents them.
TEST(line_settings, a_record_left_by_a_careless_program_becomes_8n1_without_abort_on_error)
{
    dcb_record dcb{};
    dcb.DCBlength = 28;
    dcb.BaudRate = 9600;
    dcb.fBinary = 0;
    dcb.fParity = 1;
    dcb.fOutxCtsFlow = 1;
    dcb.fOutxDsrFlow = 1;
    dcb.fDtrControl = 2; // DTR_CONTROL_HANDSHAKE
    dcb.fDsrSensitivity = 1;
    dcb.fTXContinueOnXoff = 1;
    dcb.fOutX = 1;
    dcb.fInX = 1;
    dcb.fErrorChar = 1;
    dcb.fNull = 1;
    dcb.fRtsControl = 2; // RTS_CONTROL_HANDSHAKE
    dcb.fAbortOnError = 1;
    dcb.fDummy2 = 0x1ABCD;
    dcb.wReserved = 0;
    dcb.XonLim = 2048;
    dcb.XoffLim = 512;
    dcb.ByteSize = 7;
    dcb.Parity = 2;   // EVENPARITY
    dcb.StopBits = 2; // TWOSTOPBITS
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.ErrorChar = '?';
    dcb.EofChar = 0x1A;
    dcb.EvtChar = '\n';
    dcb.wReserved1 = 0x5A5A;

    set_line_settings(dcb);

    EXPECT_EQ(dcb.BaudRate, 115200u);
    EXPECT_EQ(dcb.ByteSize, 8u);
    EXPECT_EQ(dcb.Parity, 0u);   // NOPARITY
    EXPECT_EQ(dcb.StopBits, 0u); // ONESTOPBIT
    EXPECT_EQ(dcb.fBinary, 1u);
    EXPECT_EQ(dcb.fParity, 0u);
    EXPECT_EQ(dcb.fOutxCtsFlow, 0u);
    EXPECT_EQ(dcb.fOutxDsrFlow, 0u);
    EXPECT_EQ(dcb.fDtrControl, 0u); // DTR_CONTROL_DISABLE
    EXPECT_EQ(dcb.fDsrSensitivity, 0u);
    EXPECT_EQ(dcb.fOutX, 0u);
    EXPECT_EQ(dcb.fInX, 0u);
    EXPECT_EQ(dcb.fNull, 0u);
    EXPECT_EQ(dcb.fRtsControl, 0u); // RTS_CONTROL_DISABLE
    EXPECT_EQ(dcb.fAbortOnError, 0u);
    // As the port reported them.
    EXPECT_EQ(dcb.DCBlength, 28u);
    EXPECT_EQ(dcb.fTXContinueOnXoff, 1u);
    EXPECT_EQ(dcb.fErrorChar, 1u);
    EXPECT_EQ(dcb.fDummy2, 0x1ABCDu);
    EXPECT_EQ(dcb.wReserved, 0u);
    EXPECT_EQ(dcb.XonLim, 2048u);
    EXPECT_EQ(dcb.XoffLim, 512u);
    EXPECT_EQ(dcb.XonChar, 0x11);
    EXPECT_EQ(dcb.XoffChar, 0x13);
    EXPECT_EQ(dcb.ErrorChar, '?');
    EXPECT_EQ(dcb.EofChar, 0x1A);
    EXPECT_EQ(dcb.EvtChar, '\n');
    EXPECT_EQ(dcb.wReserved1, 0x5A5Au);
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

// A Windows read that brought nothing long before its total limit did not
// time out: the device went away. A read near its limit, one that brought
// bytes, and a read without limit say nothing.
TEST(line_state, a_read_that_ends_early_with_nothing_is_a_gone_line)
{
    EXPECT_TRUE(read_ended_early(0, 1000, 46000));
    EXPECT_TRUE(read_ended_early(0, 1834, 900000));
    EXPECT_FALSE(read_ended_early(0, 1000, 500000));
    EXPECT_FALSE(read_ended_early(0, 1000, 1000500));
    EXPECT_FALSE(read_ended_early(1, 1000, 46000));
    EXPECT_FALSE(read_ended_early(0, 0, 46000));
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
