// The firmware update: header check, loader entry, image stream, restart and
// the wait for the new version. In-process over a real pseudo-terminal, where
// the test plays the box on the master side, and end to end with the real
// program.
#include "common/globals.hpp"
#include "firmware/firmware.hpp"
#include "link/serial.hpp"
#include "support/capture.hpp"
#include "support/harness.hpp"
#include "support/pty_line.hpp"
#include "support/test_data.hpp"
#include "support/texts.hpp"
#include "support/trace_support.hpp"

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <dirent.h>
#include <exception>
#include <gtest/gtest.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

// The requests as they cross the line.
const std::string status_request = cmd::status + "\n";
const std::string loader_request = cmd::loader + "\n";
const std::string restart_request = cmd::restart + "\n";

// Reads from fd until what came ends with `until`, or the time is up.
std::string read_until(int fd, const std::string& until, int timeout_ms)
{
    std::string got;
    double deadline = now_seconds() + timeout_ms / 1000.0;
    while (got.size() < until.size() ||
           got.compare(got.size() - until.size(), until.size(), until) != 0) {
        int left = static_cast<int>((deadline - now_seconds()) * 1000);
        if (left <= 0)
            break;
        std::string byte = read_some(fd, 1, left);
        if (byte.empty())
            break;
        got += byte;
    }
    return got;
}

int open_descriptors()
{
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    while (dir != nullptr && readdir(dir) != nullptr)
        ++count;
    if (dir != nullptr)
        closedir(dir);
    return count;
}

// The box as a thread on the master side; a failure inside it is kept for
// the test to report instead of ending the process.
class box_thread {
  public:
    template <typename F>
    explicit box_thread(F body)
        : thread_([this, body] {
              try {
                  body();
              } catch (const std::exception& e) {
                  error_ = e.what();
              }
          })
    {
    }
    ~box_thread() { join(); }
    box_thread(const box_thread&) = delete;
    box_thread& operator=(const box_thread&) = delete;
    void join()
    {
        if (thread_.joinable())
            thread_.join();
    }
    const std::string& error() const { return error_; }

  private:
    std::string error_;
    std::thread thread_;
};

class firmware_test : public pty_line_test {
  protected:
    void SetUp() override
    {
        pty_line_test::SetUp();
        dir = temp_dir();
    }
    std::string image_file(const std::string& bytes)
    {
        std::string path = dir + "/image" + std::to_string(++files) + ".zova";
        write_file(path, bytes);
        return path;
    }
    // Everything that reached the box so far.
    std::string box_received() { return read_some(pty.master, 1 << 20, 300); }

    // Runs the update with standard output captured.
    int update(const std::string& path)
    {
        return captured([&] { return firmware_update(path.c_str()); });
    }
    template <typename F> int captured(F step) { return capture_stdout(out, step); }

    std::string dir;
    std::string out;
    int files = 0;
};

// The loader answers and the image goes out whole, header included; the
// progress moves per 256 bytes and a line feed ends it only after a tail.
struct stream_case {
    const char* name;
    std::string box; // what the box sends after the loader request
    std::string image;
    std::string out;
};

const stream_case stream_cases[] = {
    {"block_and_tail", "998 LOADER\n", make_image(300),
     msg::streaming + " 85%\b\b\b\b100%\b\b\b\b\n"},
    {"whole_blocks_only", "998 LOADER\n", make_image(512),
     msg::streaming + " 50%\b\b\b\b100%\b\b\b\b"},
    {"tail_only", "998 LOADER\n", make_image(100), msg::streaming + "100%\b\b\b\b\n"},
    {"nine_bytes_pass_the_header_check", "998 LOADER\n", "010abZOVA",
     msg::streaming + "100%\b\b\b\b\n"},
    // Other lines are skipped; a line without a word is no answer even
    // with the right code.
    {"answer_after_other_lines", "999 OS 2.17\n\ngarbage\n998\n998 LOADER\n", make_image(20),
     msg::streaming + "100%\b\b\b\b\n"},
    // No second request: the loader would take it as the image's first
    // bytes.
    {"answer_cut_off_by_the_timeout", "998 LOADER", make_image(40),
     msg::silent + msg::streaming + "100%\b\b\b\b\n"},
};

void PrintTo(const stream_case& c, std::ostream* os) { *os << c.name; }

class firmware_stream_test : public firmware_test,
                             public ::testing::WithParamInterface<stream_case> {};

TEST_P(firmware_stream_test, the_image_goes_out_whole_after_the_loader_answered)
{
    const stream_case& c = GetParam();
    std::string path = image_file(c.image);
    box_sends(c.box);
    int descriptors = open_descriptors();
    EXPECT_EQ(update(path), 1);
    EXPECT_EQ(open_descriptors(), descriptors); // the image file was closed
    EXPECT_EQ(out, c.out);
    EXPECT_EQ(box_received(), loader_request + c.image);
    EXPECT_EQ(balken_size, c.image.size());
    EXPECT_EQ(balken_ist, c.image.size());
}

INSTANTIATE_TEST_SUITE_P(sizes, firmware_stream_test, ::testing::ValuesIn(stream_cases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(firmware_test, a_larger_image_streams_block_by_block_while_the_box_reads)
{
    // More than the pseudo-terminal holds: the writes wait for the box.
    std::string image = make_image(40 * 256 + 1);
    std::string received;
    box_thread box([&] {
        received = read_until(pty.master, loader_request, 5000);
        write_all(pty.master, "998 LOADER\n");
        received += read_some(pty.master, image.size(), 20000);
    });
    EXPECT_EQ(update(image_file(image)), 1);
    box.join();
    EXPECT_EQ(box.error(), "");
    EXPECT_EQ(received, loader_request + image);
    EXPECT_EQ(out, msg::streaming + image_progress(image.size()));
}

TEST_F(firmware_test, an_image_cut_short_during_the_stream_stops_the_stream_as_a_failure)
{
    // Far more than the line holds: the stream waits for the box while the
    // file is cut short under it.
    std::string image = make_image(1024 * 1024);
    std::string path = image_file(image);
    std::string received;
    box_thread box([&] {
        received = read_until(pty.master, loader_request, 5000);
        write_all(pty.master, "998 LOADER\n");
        usleep(300 * 1000);
        if (truncate(path.c_str(), 1000) != 0)
            throw std::runtime_error("truncate failed");
        received += read_some(pty.master, image.size(), 2000);
    });
    EXPECT_EQ(update(path), 0);
    box.join();
    EXPECT_EQ(box.error(), "");
    EXPECT_NE(out.find("\nfailed to read file " + path + "!\n"), std::string::npos);
    // What went out is the image's start; nothing stale follows it.
    ASSERT_GT(received.size(), 4u);
    EXPECT_LT(received.size(), image.size());
    EXPECT_EQ(received.substr(4), image.substr(0, received.size() - 4));
}

TEST_F(firmware_test, every_tested_header_byte_is_checked_and_nothing_reaches_the_box)
{
    const std::string good = make_image(64);
    for (std::size_t position : {0, 1, 2, 5, 6, 7, 8}) {
        SCOPED_TRACE(position);
        std::string image = good;
        image[position] = static_cast<char>(image[position] + 1);
        int descriptors = open_descriptors();
        EXPECT_EQ(update(image_file(image)), 0);
        EXPECT_EQ(open_descriptors(), descriptors);
        EXPECT_EQ(out, msg::not_an_image);
    }
    // Lower case is another letter.
    std::string lower = good;
    lower.replace(5, 4, "zova");
    EXPECT_EQ(update(image_file(lower)), 0);
    EXPECT_EQ(out, msg::not_an_image);
    EXPECT_EQ(box_received(), "");
}

TEST_F(firmware_test, a_file_too_short_for_the_signature_is_refused)
{
    // The zero-filled buffer stands in for the missing bytes.
    for (std::string image : {std::string(""), std::string("010"), std::string("010abZOV")}) {
        SCOPED_TRACE(image);
        EXPECT_EQ(update(image_file(image)), 0);
        EXPECT_EQ(out, msg::not_an_image);
    }
    EXPECT_EQ(box_received(), "");
}

TEST_F(firmware_test, an_image_of_2_gib_or_more_is_refused_before_the_loader)
{
    // Sparse files: the header is real, the rest is a hole.
    for (std::uint64_t size : {0x80000000ull, 0x100000010ull}) {
        std::string path = image_file(make_image(20));
        ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(size)), 0);
        EXPECT_EQ(update(path), 0);
        EXPECT_EQ(out, "Datei " + path + " ist zu gross!\n");
    }
    EXPECT_EQ(box_received(), "");
}

TEST(percentage, large_totals_do_not_wrap)
{
    // 32-bit arithmetic would give 50000000 x 100 mod 2^32 / 100000000 = 7.
    balken_size = 100000000;
    balken_ist = 50000000;
    std::string out;
    capture_stdout(out, [] {
        display_pro();
        balken_ist = balken_size;
        display_pro();
        balken_size = 0; // nothing to do is all done
        display_pro();
    });
    EXPECT_EQ(out, " 50%\b\b\b\b100%\b\b\b\b100%\b\b\b\b");
}

TEST_F(firmware_test, a_file_that_cannot_be_opened_is_reported_with_its_path)
{
    std::string missing = dir + "/missing.zova";
    EXPECT_EQ(update(missing), 0);
    EXPECT_EQ(out, msg::failed_to_open(missing));
    // A folder is no image either.
    EXPECT_EQ(update(dir), 0);
    EXPECT_EQ(out, msg::failed_to_open(dir));
    EXPECT_EQ(box_received(), "");
}

// The loader answers only the repeated request. A 998 line starts the
// image, also one cut off by the time-out; any other line leaves the count
// of silent reads where it was, so the next silent read ends the entry.
struct repeat_case {
    const char* name;
    std::string answer;
    int sent;
    std::string out;
};

const repeat_case repeat_cases[] = {
    {"answer", "998 LOADER\n", 1, msg::silent + msg::streaming + "100%\b\b\b\b\n"},
    {"answer_cut_off_by_the_timeout", "998 LOADER", 1,
     msg::silent + msg::silent + msg::streaming + "100%\b\b\b\b\n"},
    {"other_line", "123 BUSY\n", 0, msg::silent + msg::silent},
};

void PrintTo(const repeat_case& c, std::ostream* os) { *os << c.name; }

class loader_repeat_test : public firmware_test,
                           public ::testing::WithParamInterface<repeat_case> {};

TEST_P(loader_repeat_test, a_first_silent_read_asks_the_loader_once_more)
{
    const repeat_case& c = GetParam();
    const std::string image = make_image(40);
    std::string received;
    box_thread box([&] {
        received = read_until(pty.master, loader_request + loader_request, 5000);
        write_all(pty.master, c.answer);
    });
    double start = now_seconds();
    EXPECT_EQ(update(image_file(image)), c.sent);
    double took = now_seconds() - start;
    box.join();
    EXPECT_EQ(box.error(), "");
    EXPECT_EQ(received + box_received(),
              loader_request + loader_request + (c.sent != 0 ? image : ""));
    EXPECT_EQ(out, c.out);
    EXPECT_GT(took, 0.9); // the first read waited out its time
}

INSTANTIATE_TEST_SUITE_P(answers, loader_repeat_test, ::testing::ValuesIn(repeat_cases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(firmware_test, a_loader_silent_twice_ends_the_update_before_any_image_byte)
{
    int descriptors = open_descriptors();
    double start = now_seconds();
    EXPECT_EQ(update(image_file(make_image(300))), 0);
    double took = now_seconds() - start;
    EXPECT_EQ(open_descriptors(), descriptors);
    EXPECT_EQ(out, msg::silent + msg::silent);
    EXPECT_EQ(box_received(), loader_request + loader_request);
    EXPECT_GT(took, 1.9);
    EXPECT_LT(took, 3.0);
}

// A line whose far end stops taking data: every write fails with EPIPE,
// while the loader's answer can still be read.
class broken_line_test : public ::testing::TestWithParam<std::size_t> {
  protected:
    void SetUp() override
    {
        dir = temp_dir();
        old_pipe = std::signal(SIGPIPE, SIG_IGN);
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
        handle_com = sv[0];
        set_timeout_profile(timeout_profile::command);
    }
    void TearDown() override
    {
        close_serial();
        close(sv[1]);
        std::signal(SIGPIPE, old_pipe);
    }
    // The box has answered already and then stopped reading, so the
    // request itself fails too; the loader entry goes on to the answer.
    int update_after_loader_answer(const std::string& image)
    {
        std::string path = dir + "/image.zova";
        write_file(path, image);
        write_all(sv[1], "998 LOADER\n");
        shutdown(sv[1], SHUT_RD);
        return capture_stdout(out, [&] { return firmware_update(path.c_str()); });
    }

    std::string dir;
    int sv[2] = {-1, -1};
    void (*old_pipe)(int) = SIG_DFL;
    std::string out;
};

// The write of a block fails, or with an image of a tail only, the tail's.
TEST_P(broken_line_test, a_failed_write_is_a_failed_update)
{
    int descriptors = open_descriptors();
    EXPECT_EQ(update_after_loader_answer(make_image(GetParam())), 0);
    EXPECT_EQ(open_descriptors(), descriptors);
    EXPECT_EQ(out, msg::unwritable + msg::streaming + msg::com_error);
    EXPECT_EQ(balken_ist, 0u);
}

INSTANTIATE_TEST_SUITE_P(block_and_tail, broken_line_test, ::testing::Values(3 * 256 + 10, 100));

TEST_F(firmware_test, reboot_waits_for_the_loaders_998_and_orders_the_restart)
{
    box_sends("999 OS 2.17\nFLASHING 50\n998\n998 DONE\n");
    EXPECT_EQ(captured([] { return reboot(); }), 1);
    EXPECT_EQ(out, msg::please_wait);
    EXPECT_EQ(box_received(), restart_request);
}

TEST_F(firmware_test, reboot_waits_longer_than_a_command_timeout)
{
    box_thread box([&] {
        usleep(2500 * 1000);
        write_all(pty.master, "998 DONE\n");
    });
    double start = now_seconds();
    EXPECT_EQ(captured([] { return reboot(); }), 1);
    box.join();
    EXPECT_GT(now_seconds() - start, 2.4);
    EXPECT_EQ(box_received(), restart_request);
}

TEST_F(firmware_test, reboot_fails_when_the_line_goes_away_and_orders_nothing)
{
    box_sends("FLASHING 10\n");
    close(pty.master);
    close(pty.slave_keep);
    pty.master = pty.slave_keep = -1;
    EXPECT_EQ(captured([] { return reboot(); }), 0);
    EXPECT_EQ(out, msg::please_wait + msg::silent);
}

TEST_F(firmware_test, wait_boot_skips_everything_but_a_status_line_and_prints_the_new_version)
{
    // 998 again, a 999 whose word is not OS, a code without a word.
    box_sends("998 DONE\n999 XOS 1.0\n999\nOS 999\n999 OS_2.18 Build 4800\n");
    double start = now_seconds();
    EXPECT_EQ(captured([] { return wait_boot(); }), 1);
    double took = now_seconds() - start;
    // Only the word's first two letters are compared; the version text
    // starts at position 7 of the line.
    EXPECT_EQ(out, msg::new_version("2.18 Build 4800"));
    // The box gets time to settle before the run ends.
    EXPECT_GT(took, 3.9);
    EXPECT_EQ(box_received(), "");
}

TEST_F(firmware_test, wait_boot_prints_an_empty_version_for_a_short_status_line)
{
    box_sends("999 OS\n");
    EXPECT_EQ(captured([] { return wait_boot(); }), 1);
    EXPECT_EQ(out, "neue \n");
}

TEST_F(firmware_test, wait_boot_fails_when_no_status_line_comes)
{
    box_sends("998 DONE\n999 OS 2.18");
    // Under the command timeouts the wait is short; the logic is the same.
    EXPECT_EQ(captured([] { return wait_boot(); }), 0);
    EXPECT_EQ(out, msg::silent);
}

// End to end: the real program on one side of a pseudo-terminal, the box as
// a thread on the other.
class firmware_run_test : public ::testing::Test {
  protected:
    void SetUp() override
    {
        dir = temp_dir();
        pty = open_pty();
    }
    void TearDown() override { close_pty(pty); }
    std::string image_file(const std::string& bytes)
    {
        std::string path = dir + "/update.zova";
        write_file(path, bytes);
        return path;
    }
    // The connection check of the run, which the box answers with its
    // status, and the loader request, which its loader answers.
    void answer_status_and_loader(std::string& received)
    {
        received += read_until(pty.master, status_request, 10000);
        write_all(pty.master, "999 OS 2.17 Build 4711\n");
        received += read_until(pty.master, loader_request, 10000);
        write_all(pty.master, "998 LOADER\n");
    }
    std::string start_lines(const std::string& path) const
    {
        return msg::banner + msg::echo(pty.slave_path, path) + "alte 2.17 Build 4711\n";
    }

    std::string dir;
    pty_pair pty;
};

TEST_F(firmware_run_test, a_complete_update_ends_with_the_new_version_and_no_prompt)
{
    std::string image = make_image(64 * 1024 + 77);
    std::string path = image_file(image);
    std::string received;
    box_thread box([&] {
        answer_status_and_loader(received);
        received += read_some(pty.master, image.size(), 30000);
        // Writing the flash takes longer than a command timeout.
        usleep(2500 * 1000);
        write_all(pty.master, "998 DONE\n");
        received += read_until(pty.master, restart_request, 30000);
        write_all(pty.master, "999 OS 2.18 Build 4800\n");
    });
    run_result r = run_program({pty.slave_path, path});
    box.join();
    EXPECT_EQ(box.error(), "");
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, start_lines(path) + msg::streaming + image_progress(image.size()) +
                         msg::please_wait + msg::new_version("2.18 Build 4800"));
    EXPECT_EQ(received, status_request + loader_request + image + restart_request);
    EXPECT_EQ(read_some(pty.master, 1, 200), "");
}

TEST_F(firmware_run_test, a_loader_that_never_confirms_ends_after_the_boot_timeout_with_the_prompt)
{
    std::string image = make_image(1000);
    std::string path = image_file(image);
    std::string received;
    box_thread box([&] {
        answer_status_and_loader(received);
        received += read_some(pty.master, image.size(), 30000);
    });
    run_result r = run_program({pty.slave_path, path});
    box.join();
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.out, start_lines(path) + msg::streaming + image_progress(image.size()) +
                         msg::please_wait + msg::silent + msg::prompt);
    EXPECT_GT(r.seconds, 19.5);
    EXPECT_LT(r.seconds, 26.0);
    // No restart was ordered.
    EXPECT_EQ(received + read_some(pty.master, 1 << 16, 300),
              status_request + loader_request + image);
}

TEST_F(firmware_run_test, an_interrupt_during_the_stream_ends_the_run_at_once)
{
    // Far more than the line holds while the box does not read.
    std::string image = make_image(1024 * 1024);
    std::string path = image_file(image);
    std::string received;
    box_thread box([&] { answer_status_and_loader(received); });
    background_run run({HALVORAN_BIN, pty.slave_path, path});
    box.join();
    double deadline = now_seconds() + 10;
    while (run.output().find("Daten werden gesendet") == std::string::npos &&
           now_seconds() < deadline)
        usleep(20000);
    usleep(200000);
    run.signal(SIGINT);
    run_result r = run.wait(10000);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out.find(msg::prompt), std::string::npos);
    // Whatever got into the line is image; no restart was ordered.
    std::string rest = read_some(pty.master, image.size(), 500);
    EXPECT_LT(rest.size(), image.size());
    EXPECT_EQ(rest, image.substr(0, rest.size()));
}

// Against the box simulator: its loader takes the image, keeps it and
// restarts with the version that the image's header names.
const std::string new_system = "2.18 b4800";

class firmware_sim_test : public ::testing::Test {
  protected:
    void SetUp() override { dir = temp_dir(); }
    // Starts the update of image (the file name in dir) and kills the
    // program mid-image; returns once the box's loader has taken what came
    // as its image.
    void cut_off_update(const boxsim_process& box, const std::string& name,
                        const std::string& image)
    {
        {
            background_run cut({HALVORAN_BIN, box.device(), name}, dir);
            const double deadline = now_seconds() + 30;
            while (cut.output().find(" 30%") == std::string::npos && !cut.ended() &&
                   now_seconds() < deadline)
                usleep(10000);
            ASSERT_FALSE(cut.ended()) << cut.output();
            cut.signal(SIGKILL);
            EXPECT_EQ(cut.wait(10000).exit_code, 128 + SIGKILL);
        }
        ASSERT_EQ(box.commands(), (std::vector<std::string>{cmd::status, cmd::loader}));
        // The loader takes what came as the image once the line has been quiet.
        const double deadline = now_seconds() + 10;
        while (box.transcript().find("image complete") == std::string::npos &&
               now_seconds() < deadline)
            usleep(20000);
        const std::string cut_image = read_file(box.state_dir() + "/image.bin");
        EXPECT_GT(cut_image.size(), 0u);
        EXPECT_LT(cut_image.size(), image.size());
    }
    std::string image_file(const std::string& name, const std::string& bytes)
    {
        write_file(dir + "/" + name, bytes);
        return name;
    }
    std::string dir;
};

// The trace of the update holds the transcript's commands and answers, the
// image by its length, the boot profile and the pause after the new version.
TEST_F(firmware_sim_test, the_box_takes_the_image_and_restarts_with_the_new_version)
{
    std::string image = make_image(5 * 256 + 33, new_system);
    std::string name = image_file("update.zova", image);
    boxsim_process box;
    const std::string trace = dir + "/trace.txt";
    run_result r = run_traced(trace, {box.device(), name}, "", 60000, dir);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, msg::banner + msg::echo(box.device(), name) + msg::old_version +
                         msg::streaming + image_progress(image.size()) + msg::please_wait +
                         msg::new_version(new_system));
    EXPECT_EQ(box.commands(), (std::vector<std::string>{cmd::status, cmd::loader, cmd::restart}));
    EXPECT_EQ(read_file(box.state_dir() + "/image.bin"), image);

    const std::string text = read_file(trace);
    EXPECT_TRUE(trace_well_formed(text));
    EXPECT_EQ(trace_exchange(text), transcript_exchange(box.transcript()));
    EXPECT_EQ(trace_exchange(text), (std::vector<std::string>{"> 501", "< 999 OS 1.00 (2025-11-03)",
                                                              "> 902", "< 998 LOADER", "< 998 OK",
                                                              "> 030", "< 999 OS 2.18 b4800"}));
    EXPECT_EQ(trace_events(text, "block"),
              std::vector<std::string>{"block image sent length 1313"});
    EXPECT_EQ(trace_events(text, "profile boot"),
              std::vector<std::string>{"profile boot total 20000 gap 50"});
    EXPECT_EQ(trace_events(text, "pause 4000"), std::vector<std::string>{"pause 4000 ms"});
    EXPECT_EQ(trace_events(text, "file"), std::vector<std::string>{"file image opened " + name});
    EXPECT_EQ(trace_events(text, "exit"), std::vector<std::string>{"exit 0"});

    // The box keeps the new system; a wrong image never reaches its loader.
    std::string wrong = image_file("wrong.zova", "010abZOVX" + image.substr(9));
    run_result again = run_program({box.device(), wrong}, "", 60000, dir);
    EXPECT_EQ(again.exit_code, 2);
    EXPECT_NE(again.out.find("alte " + new_system + "\n" + msg::not_an_image + msg::prompt),
              std::string::npos);
    EXPECT_EQ(box.commands(),
              (std::vector<std::string>{cmd::status, cmd::loader, cmd::restart, cmd::status}));
}

TEST_F(firmware_sim_test, a_lost_loader_request_is_sent_again)
{
    std::string image = make_image(700, new_system);
    std::string name = image_file("update.zova", image);
    boxsim_process box({"--fault", "silent,902,1"});
    run_result r = run_program({box.device(), name}, "", 60000, dir);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_NE(r.out.find(msg::old_version + msg::silent + msg::streaming), std::string::npos);
    EXPECT_EQ(box.commands(),
              (std::vector<std::string>{cmd::status, cmd::loader, cmd::loader, cmd::restart}));
    EXPECT_EQ(read_file(box.state_dir() + "/image.bin"), image);
}

// The trace shows each read that ran out of time, with its profile.
TEST_F(firmware_sim_test, a_loader_that_never_answers_ends_with_the_prompt_and_the_old_system)
{
    std::string name = image_file("update.zova", make_image(700, new_system));
    boxsim_process box({"--fault", "silent,902,*"});
    const std::string trace = dir + "/trace.txt";
    run_result r = run_traced(trace, {box.device(), name}, "", 60000, dir);
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_NE(r.out.find(msg::old_version + msg::silent + msg::silent + msg::prompt),
              std::string::npos);
    EXPECT_EQ(r.out.find("Daten werden gesendet"), std::string::npos);
    EXPECT_EQ(box.commands(), (std::vector<std::string>{cmd::status, cmd::loader, cmd::loader}));
    EXPECT_FALSE(file_exists(box.state_dir() + "/image.bin"));

    const std::string text = read_file(trace);
    EXPECT_TRUE(trace_well_formed(text));
    EXPECT_EQ(trace_exchange(text), transcript_exchange(box.transcript()));
    std::vector<std::string> timeouts = trace_events(text, "timeout");
    ASSERT_EQ(timeouts.size(), 2u) << text;
    for (const std::string& t : timeouts) {
        // "timeout response line after +<ms> profile command total 1000 gap 50"
        EXPECT_EQ(t.rfind("timeout response line after +", 0), 0u) << t;
        EXPECT_EQ(t.substr(t.find(" profile ")), " profile command total 1000 gap 50") << t;
        long waited = std::stol(t.substr(t.find('+') + 1));
        EXPECT_GE(waited, 1000) << t;
        EXPECT_LT(waited, 1500) << t;
    }
    EXPECT_EQ(trace_events(text, "exit"), std::vector<std::string>{"exit 2"});
}

// An update cut off in the image (the program killed mid-image on a line paced
// like the box's) leaves the box in its loader. The next run finds the loader
// at its connection check: a list job is refused before any table command and
// leaves its file alone, and the same update run again brings the new system.
TEST_F(firmware_sim_test, an_update_cut_off_in_the_image_is_finished_by_running_it_again)
{
    std::string image = make_image(32 * 1024, new_system);
    std::string name = image_file("update.zova", image);
    boxsim_process box({"--baud", "115200"});
    cut_off_update(box, name, image);

    const std::string list = default_list(5).bytes;
    for (const char* job : {"s", "l", "v"}) {
        write_file(dir + "/list.cxf", list);
        run_result r = run_program({box.device(), job, "list.cxf"}, "", 60000, dir);
        EXPECT_EQ(r.exit_code, 2) << job;
        EXPECT_EQ(r.out, msg::banner + msg::echo(box.device(), job, "list.cxf") + msg::in_loader +
                             msg::list_needs_system)
            << job;
        EXPECT_EQ(read_file(dir + "/list.cxf"), list) << job;
        EXPECT_EQ(list_dir(dir), (std::vector<std::string>{"list.cxf", "update.zova"})) << job;
    }

    run_result again = run_program({box.device(), name}, "", 60000, dir);
    EXPECT_EQ(again.exit_code, 0);
    EXPECT_EQ(again.out, msg::banner + msg::echo(box.device(), name) + msg::in_loader +
                             msg::streaming + image_progress(image.size()) + msg::please_wait +
                             msg::new_version(new_system));
    EXPECT_EQ(box.commands(),
              (std::vector<std::string>{cmd::status, cmd::loader, cmd::status, cmd::status,
                                        cmd::status, cmd::status, cmd::loader, cmd::restart}));
    EXPECT_EQ(read_file(box.state_dir() + "/image.bin"), image);
    run_result after = run_program({box.device(), "s", "after.cxf"}, "", 60000, dir);
    EXPECT_EQ(after.exit_code, 0);
    EXPECT_NE(after.out.find("alte " + new_system + "\n"), std::string::npos);
}

// The Windows program under wine: the image read through the Win32 file
// calls and written through the Win32 serial port gives the same run.
TEST_F(firmware_sim_test, the_windows_program_updates_the_box_like_the_linux_one)
{
    if (windows_exe().empty())
        GTEST_SKIP() << "no Windows build or no wine";
    std::string image = make_image(3 * 256 + 200, new_system);
    std::string name = image_file("update.zova", image);
    boxsim_process box;
    map_com_port("com7", box.device());
    run_result win = run_windows_program({"com7", name}, "", 60000, dir);
    EXPECT_EQ(win.exit_code, 0);
    EXPECT_EQ(unix_lines(win.out), msg::banner + msg::echo("com7", name) + msg::old_version +
                                       msg::streaming + image_progress(image.size()) +
                                       msg::please_wait + msg::new_version(new_system));
    EXPECT_EQ(box.commands(), (std::vector<std::string>{cmd::status, cmd::loader, cmd::restart}));
    EXPECT_EQ(read_file(box.state_dir() + "/image.bin"), image);
    EXPECT_EQ(box.rx_bytes(), status_request + loader_request + image + restart_request);
}

// A line that stops taking the image: the run ends on its write limit, the
// loader keeps what came, and the same update run again finishes it.
TEST_F(firmware_sim_test, an_update_stalled_in_the_image_is_finished_by_running_it_again)
{
    std::string image = make_image(100000, new_system);
    std::string name = image_file("update.zova", image);
    boxsim_process box({"--fault", "stall,902,1,3000"});
    run_result cut = run_program({box.device(), name}, "", 60000, dir);
    EXPECT_EQ(cut.exit_code, 2);
    EXPECT_NE(cut.out.find(msg::com_error + msg::line_stalled + msg::prompt), std::string::npos)
        << cut.out;
    EXPECT_EQ(box.commands(), (std::vector<std::string>{cmd::status, cmd::loader}));

    run_result again = run_program({box.device(), name}, "", 60000, dir);
    EXPECT_EQ(again.exit_code, 0);
    EXPECT_EQ(again.out, msg::banner + msg::echo(box.device(), name) + msg::in_loader +
                             msg::streaming + image_progress(image.size()) + msg::please_wait +
                             msg::new_version(new_system));
    EXPECT_EQ(box.commands(), (std::vector<std::string>{cmd::status, cmd::loader, cmd::status,
                                                        cmd::loader, cmd::restart}));
    EXPECT_EQ(read_file(box.state_dir() + "/image.bin"), image);
}

// The same under wine: the Windows program finds the loader and finishes the
// update cut off before.
TEST_F(firmware_sim_test, the_windows_program_finishes_a_cut_off_update_like_the_linux_one)
{
    if (windows_exe().empty())
        GTEST_SKIP() << "no Windows build or no wine";
    std::string image = make_image(32 * 1024 + 100, new_system);
    std::string name = image_file("update.zova", image);
    boxsim_process box({"--baud", "115200"});
    cut_off_update(box, name, image);
    map_com_port("com22", box.device());
    run_result win = run_windows_program({"com22", name}, "", 60000, dir);
    EXPECT_EQ(win.exit_code, 0);
    EXPECT_EQ(unix_lines(win.out), msg::banner + msg::echo("com22", name) + msg::in_loader +
                                       msg::streaming + image_progress(image.size()) +
                                       msg::please_wait + msg::new_version(new_system));
    EXPECT_EQ(box.commands(), (std::vector<std::string>{cmd::status, cmd::loader, cmd::status,
                                                        cmd::loader, cmd::restart}));
    EXPECT_EQ(read_file(box.state_dir() + "/image.bin"), image);
}

} // namespace
