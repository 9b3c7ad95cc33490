// The Windows program under wine, against the same simulated box as the
// Linux program: the same console output, the same commands and bytes on the
// line and the same files, for every job. Each test maps its own COM names,
// since two tests may run at once in the same wine prefix.
#include "support/harness.hpp"
#include "support/test_data.hpp"
#include "support/texts.hpp"
#include "support/trace_support.hpp"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <gtest/gtest.h>
#include <optional>
#include <regex>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The Linux program's output as the Windows program prints it when its port
// is called com: the echo and the messages show the port as typed.
std::string with_port(std::string text, const std::string& device, const std::string& com)
{
    for (auto pos = text.find(device); pos != std::string::npos;
         pos = text.find(device, pos + com.size()))
        text.replace(pos, device.size(), com);
    return text;
}

// Large binary strings: a failure names the first differing byte instead of
// dumping both.
::testing::AssertionResult same_bytes(const std::string& a, const std::string& b)
{
    if (a == b)
        return ::testing::AssertionSuccess();
    std::size_t i = 0;
    while (i < a.size() && i < b.size() && a[i] == b[i])
        ++i;
    return ::testing::AssertionFailure()
           << "sizes " << a.size() << " and " << b.size() << ", first difference at byte " << i;
}

// Two channel-list files alike but for the time in the info text (header
// bytes 36 to 71): its digits may differ, nothing else may.
::testing::AssertionResult same_list_file(const std::string& a, const std::string& b)
{
    if (a.size() != b.size() || a.size() < 128)
        return ::testing::AssertionFailure() << "sizes " << a.size() << " and " << b.size();
    std::string x = a, y = b;
    for (std::size_t i = 36; i < 72; ++i) {
        if (x[i] >= '0' && x[i] <= '9')
            x[i] = '9';
        if (y[i] >= '0' && y[i] <= '9')
            y[i] = '9';
    }
    return same_bytes(x, y);
}

// Folders named with characters outside the ANSI code page of German and
// Western European Windows (1252), and one with a character inside it.
// Without UTF-8 as the program's code page, Windows hands the program
// "Lukasz" and "Sahin" (a best fit) and no such file opens.
const char* const path_folders[] = {"\u0141ukasz", "\u015Eahin", "J\u00FCrgen"};

// A path as the trace writes it: bytes outside printable ASCII as \xNN.
std::string trace_escaped(const std::string& path)
{
    std::string out;
    for (unsigned char c : path) {
        char piece[8];
        std::snprintf(piece, sizeof piece, c >= 0x20 && c < 0x7F ? "%c" : "\\x%02X", c);
        out += piece;
    }
    return out;
}

// The folder's name as a test's name: ASCII letters only.
std::string folder_test_name(const ::testing::TestParamInfo<const char*>& info)
{
    static const char* const names[] = {"Lukasz", "Sahin", "Juergen"};
    return names[info.index];
}

class windows_run : public ::testing::Test {
  protected:
    void SetUp() override
    {
        if (windows_exe().empty())
            GTEST_SKIP() << "no Windows build or no wine";
    }

    // Runs the Windows program, its port mapped as com, and the Linux program
    // with the same arguments behind the port, each against a box of its own
    // started with box_args and in a folder of its own (traced into the file
    // trace there, when one is named). The Linux run must end with
    // exit_code; the two runs must show the same console, exit status,
    // commands and received bytes.
    void run_both(const std::string& com, std::vector<std::string> args, int exit_code,
                  const std::vector<std::string>& box_args = {}, const std::string& trace = "")
    {
        win_box.emplace(box_args);
        map_com_port(com, win_box->device());
        args.insert(args.begin(), com);
        win = trace.empty() ? run_windows_program(args, "", 60000, win_dir)
                            : run_windows_traced(trace, args, "", 60000, win_dir);
        lin_box.emplace(box_args);
        args[0] = lin_box->device();
        lin = trace.empty() ? run_program(args, "", 60000, lin_dir)
                            : run_traced(lin_dir + "/" + trace, args, "", 60000, lin_dir);
        EXPECT_EQ(lin.exit_code, exit_code) << lin.out;
        EXPECT_FALSE(win.timed_out);
        EXPECT_EQ(unix_lines(win.out), with_port(lin.out, lin_box->device(), com));
        EXPECT_EQ(win.exit_code, lin.exit_code);
        EXPECT_EQ(win_box->commands(), lin_box->commands());
        EXPECT_TRUE(same_bytes(win_box->rx_bytes(), lin_box->rx_bytes()));
    }

    // The same file in both folders as name: a list the Linux program saved
    // from source, a box with other contents than the fresh boxes' (seed 5).
    std::string put_saved_list(const boxsim_process& source, const std::string& name)
    {
        EXPECT_EQ(run_program({source.device(), "s", "quelle.cxf"}, "", 60000, lin_dir).exit_code,
                  0);
        std::string list = read_file(lin_dir + "/quelle.cxf");
        write_file(win_dir + "/" + name, list);
        write_file(lin_dir + "/" + name, list);
        return list;
    }

    std::string win_dir = temp_dir(), lin_dir = temp_dir();
    std::optional<boxsim_process> win_box, lin_box;
    run_result win, lin;
};

TEST_F(windows_run, usage_path_matches_the_linux_program)
{
    run_result win = run_windows_program({});
    run_result lin = run_program({});
    EXPECT_EQ(win.exit_code, 0);
    EXPECT_EQ(unix_lines(win.out), lin.out);
}

TEST_F(windows_run, connection_check_matches_the_linux_program)
{
    run_both("com5", {"no-such-image.zova"}, 2);
    EXPECT_NE(lin.out.find(lin_box->device()), std::string::npos);
}

// A box left in its loader by a cut-off update: the Windows program names
// the loader and refuses the list job before any table command, as the
// Linux one does, and leaves the list alone.
TEST_F(windows_run, a_list_job_against_the_loader_is_refused_like_on_linux)
{
    const std::string list = default_list(3).bytes;
    write_file(win_dir + "/senderl.cxf", list);
    write_file(lin_dir + "/senderl.cxf", list);
    run_both("com21", {"l"}, 2, {"--fault", "reply,501,*,998 LOADER"});
    EXPECT_NE(lin.out.find(msg::in_loader + msg::list_needs_system), std::string::npos);
    EXPECT_EQ(win_box->commands(), std::vector<std::string>{cmd::status});
    EXPECT_EQ(read_file(win_dir + "/senderl.cxf"), list);
    EXPECT_EQ(list_dir(win_dir), std::vector<std::string>{"senderl.cxf"});
}

TEST_F(windows_run, a_silent_box_times_out_like_on_linux)
{
    boxsim_process box({"--fault", "silent,501,*"});
    map_com_port("com6", box.device());
    run_result win = run_windows_program({"com6", "no-such-image.zova"});
    const std::string attempt = msg::silent + msg::retry;
    EXPECT_NE(unix_lines(win.out).find(attempt + attempt + attempt + msg::no_connection),
              std::string::npos);
    EXPECT_EQ(win.exit_code, 2);
}

// The save writes senderl.cxf in the working folder through a temporary file
// that replaces an older list; on Windows that is MoveFileEx over an existing
// file.
TEST_F(windows_run, save_matches_the_linux_program)
{
    const std::string older(100000, 'o');
    write_file(win_dir + "/senderl.cxf", older);
    write_file(lin_dir + "/senderl.cxf", older);

    run_both("com8", {"s"}, 0);
    std::string win_file = read_file(win_dir + "/senderl.cxf");
    std::string lin_file = read_file(lin_dir + "/senderl.cxf");
    // The default box: header, 20 x 40, 100 x 10, 400 x 32 and 200 x 2 bytes.
    EXPECT_EQ(lin_file.size(), 128u + 800 + 1000 + 12800 + 400);
    EXPECT_TRUE(same_list_file(win_file, lin_file));
    EXPECT_EQ(list_dir(win_dir), std::vector<std::string>{"senderl.cxf"});
    EXPECT_EQ(list_dir(lin_dir), std::vector<std::string>{"senderl.cxf"});
}

// The trace of a save from the Windows program: the same commands, answers,
// blocks and exit as the Linux program's, and the DCB it read back.
TEST_F(windows_run, the_trace_of_a_save_matches_the_linux_trace)
{
    run_both("com13", {"s"}, 0, {}, "trace.txt");
    const std::string win_trace = read_file(win_dir + "/trace.txt");
    const std::string lin_trace = read_file(lin_dir + "/trace.txt");
    EXPECT_TRUE(trace_well_formed(win_trace));
    EXPECT_EQ(trace_exchange(win_trace), trace_exchange(lin_trace));
    EXPECT_EQ(trace_exchange(win_trace).size(), 26u);
    EXPECT_EQ(trace_events(win_trace, "block"), trace_events(lin_trace, "block"));
    EXPECT_EQ(trace_events(win_trace, "purge"), trace_events(lin_trace, "purge"));
    EXPECT_EQ(trace_events(win_trace, "pause"), trace_events(lin_trace, "pause"));
    EXPECT_EQ(trace_events(win_trace, "profile"), trace_events(lin_trace, "profile"));
    EXPECT_EQ(trace_events(win_trace, "exit"), std::vector<std::string>{"exit 0"});
    std::vector<std::string> port = trace_events(win_trace, "port");
    ASSERT_EQ(port.size(), 1u);
    // wine reads DTR and RTS control back from a pseudo-terminal as enabled
    // whatever was set: they are left out here.
    EXPECT_NE(port[0].find(" opened BaudRate 115200 ByteSize 8 Parity 0 StopBits 0 fOutxCtsFlow 0 "
                           "fOutxDsrFlow 0 fDtrControl "),
              std::string::npos)
        << port[0];
    EXPECT_NE(port[0].find(" fOutX 0 fInX 0 fAbortOnError 0 ReadIntervalTimeout 0 "
                           "ReadTotalTimeoutMultiplier 0 ReadTotalTimeoutConstant 0 "),
              std::string::npos)
        << port[0];
    EXPECT_EQ(list_dir(win_dir), (std::vector<std::string>{"senderl.cxf", "trace.txt"}));
}

// Windows rounds every Sleep up to its timer tick, some 16 ms: a traced save
// and load sleep only in the fixed pauses, as wine's relay of every sleeping
// call shows, and each read that starts before the line has carried what was
// written has its limit moved out instead, to the moment the line is clear.
TEST_F(windows_run, a_save_and_a_load_sleep_only_in_the_fixed_pauses_and_move_their_limits_out)
{
    boxsim_process box;
    wine_port_prefix prefix("COM7", box.device(), sleep_relay_keys);
    const std::vector<std::string> fixed_pauses{"pause 200 ms", "pause 1000 ms"};
    const std::vector<std::string> fixed_sleeps{"Sleep 200", "Sleep 1000"};
    int blocks = 0;

    run_result save =
        run_windows_traced("save.txt", {"com7", "s", "liste.cxf"}, "", 60000, win_dir, sleep_relay);
    ASSERT_EQ(save.exit_code, 0) << save.out;
    const std::string save_trace = read_file(win_dir + "/save.txt");
    EXPECT_TRUE(trace_well_formed(save_trace));
    EXPECT_EQ(trace_events(save_trace, "pause"), fixed_pauses);
    EXPECT_EQ(relay_sleeps(save.out, trace_process(save_trace)), fixed_sleeps);
    EXPECT_TRUE(limits_follow_the_line(save_trace, &blocks));

    run_result load =
        run_windows_traced("load.txt", {"com7", "l", "liste.cxf"}, "", 60000, win_dir, sleep_relay);
    ASSERT_EQ(load.exit_code, 0) << load.out;
    const std::string load_trace = read_file(win_dir + "/load.txt");
    EXPECT_TRUE(trace_well_formed(load_trace));
    EXPECT_EQ(trace_events(load_trace, "pause"), fixed_pauses);
    EXPECT_EQ(relay_sleeps(load.out, trace_process(load_trace)), fixed_sleeps);
    EXPECT_TRUE(limits_follow_the_line(load_trace, &blocks));
    // At least the channels' block (9600 bytes, 0.83 s on the line) was far
    // from crossed when its writes returned.
    EXPECT_GE(blocks, 1) << load_trace;
}

// An adapter that buffers 32 KiB of the program's output: the writes of the
// TV block (48000 bytes) return almost three seconds before its last byte has
// crossed the line at 115200 baud, and the box answers only then. The read
// of that answer gets its one-second limit from when the line is clear, not
// from when it starts.
TEST_F(windows_run, a_load_waits_for_its_blocks_to_cross_a_deep_transmit_buffer)
{
    const list_counts counts{.sat = 20, .tp = 100, .tv = 1500, .radio = 250, .fav = 20};
    boxsim_process box({"--baud", "115200", "--tx-buffer", "32768", "--sat", "20", "--tp", "100",
                        "--tv", "1500", "--radio", "250", "--fav", "20"});
    const list_file list = make_list(counts);
    write_file(win_dir + "/liste.cxf", list.bytes);
    map_com_port("com19", box.device());
    run_result load = run_windows_program({"com19", "l", "liste.cxf"}, "", 60000, win_dir);
    ASSERT_EQ(load.exit_code, 0) << load.out;
    EXPECT_EQ(load.out.find(msg::silent), std::string::npos) << load.out;
    EXPECT_NE(box.transcript().find("received block: 48000 bytes"), std::string::npos);
    box.stop();
    EXPECT_EQ(stored_tables(box), list.tables());
}

TEST_F(windows_run, load_matches_the_linux_program)
{
    // A list saved from a box with other contents, loaded into two fresh
    // boxes: both end up holding its tables.
    boxsim_process source({"--seed", "5"});
    const std::string list = put_saved_list(source, "liste.cxf");
    run_both("com9", {"l", "liste.cxf"}, 0);
    // The file is only read.
    EXPECT_EQ(read_file(win_dir + "/liste.cxf"), list);
    source.stop();
    win_box->stop();
    lin_box->stop();
    for (const char* table : box_tables) {
        std::string stored = stored_table(source, table);
        EXPECT_TRUE(same_bytes(stored_table(*win_box, table), stored)) << table;
        EXPECT_TRUE(same_bytes(stored_table(*lin_box, table), stored)) << table;
    }
}

TEST_F(windows_run, verify_matches_the_linux_program)
{
    // A list saved from a box with other contents: every table differs from
    // the fresh boxes' from the first record on. Nothing is written, neither
    // into the boxes nor into the file.
    boxsim_process source({"--seed", "5"});
    const std::string list = put_saved_list(source, "senderl.cxf");
    run_both("com11", {"v"}, 3);
    EXPECT_NE(lin.out.find("Satelliten: verschieden ab Eintrag 1\n"), std::string::npos) << lin.out;
    EXPECT_FALSE(changes_the_box(win_box->commands()));
    EXPECT_EQ(read_file(win_dir + "/senderl.cxf"), list);
    EXPECT_EQ(list_dir(win_dir), std::vector<std::string>{"senderl.cxf"});
}

TEST_F(windows_run, firmware_update_matches_the_linux_program)
{
    // A valid header with the new version text at bytes 9 to 19, then
    // 3 blocks of 256 bytes and a tail.
    std::string image(3 * 256 + 77, '\0');
    for (std::size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<char>((i * 13 + 5) % 253);
    image.replace(0, 20, std::string("010\xff\x80ZOVA3.07 w1100\0", 20));
    write_file(win_dir + "/update.zova", image);
    write_file(lin_dir + "/update.zova", image);

    run_both("com10", {"update.zova"}, 0);
    EXPECT_NE(lin.out.find(msg::new_version("3.07 w1100")), std::string::npos) << lin.out;
    EXPECT_TRUE(same_bytes(read_file(win_box->state_dir() + "/image.bin"), image));
    win_box->stop();
    lin_box->stop();
    EXPECT_EQ(read_file(win_box->state_dir() + "/box.txt"),
              read_file(lin_box->state_dir() + "/box.txt"));
}

// A line that stops taking the program's output or hangs up mid-job. Each
// case runs the Windows program and the Linux program against boxes with
// the same fault: both end with status 2, the same output with the cause
// line after the job's message, the same bytes taken by the box, and the
// list or image as it was. That the runs end is asserted (the harness's
// timeout); how soon is the benchmark's (bench/run.sh lost-line).
struct lost_line_case {
    const char* name;
    std::vector<std::string> args; // after the port
    std::vector<std::string> box_args;
    const std::string& cause;
    std::uint32_t tv = 300;          // the load's list and the box
    std::size_t image_size = 100000; // larger than the terminal takes ahead
};

class windows_lost_line : public windows_run {
  protected:
    void run_case(const std::string& com, const lost_line_case& c)
    {
        SCOPED_TRACE(c.name);
        win_dir = temp_dir();
        lin_dir = temp_dir();
        // What stands in the folder before: the previous list of a save, the
        // list a load sends, the image of an update.
        std::string file, before;
        if (c.args[0] == "s") {
            file = "senderl.cxf";
            before = "CXF2 the previous list";
        } else if (c.args[0] == "l") {
            file = c.args[1];
            list_counts counts;
            counts.tv = c.tv;
            before = c.tv != 300 ? make_list(counts).bytes : default_list(1).bytes;
        } else {
            file = c.args[0];
            before = make_image(c.image_size, "2.18 b4800");
        }
        write_file(win_dir + "/" + file, before);
        write_file(lin_dir + "/" + file, before);

        // How far the writes got before the line was lost depends on how
        // much each side's buffers took: the progress prints are left out.
        std::vector<std::string> args = c.args;
        win_box.emplace(c.box_args);
        map_com_port(com, win_box->device());
        args.insert(args.begin(), com);
        win = run_windows_program(args, "", 60000, win_dir);
        lin_box.emplace(c.box_args);
        args[0] = lin_box->device();
        lin = run_program(args, "", 60000, lin_dir);
        EXPECT_FALSE(win.timed_out);
        EXPECT_FALSE(lin.timed_out);
        EXPECT_EQ(win.exit_code, 2);
        EXPECT_EQ(lin.exit_code, 2);
        EXPECT_EQ(without_progress(unix_lines(win.out)),
                  without_progress(with_port(lin.out, lin_box->device(), com)));
        EXPECT_NE(lin.out.find(c.cause), std::string::npos) << lin.out;
        // A box that hung up has ended and its transcript is complete; one
        // that stalled notes the program's closing of the line.
        const bool hung_up = &c.cause == &msg::line_gone;
        auto commands = [&](boxsim_process& box) {
            if (!hung_up)
                return box.commands();
            for (int i = 0; i < 500 && box.running(); ++i)
                usleep(10000);
            return transcript_commands(read_file(box.folder() + "/transcript.txt"));
        };
        EXPECT_EQ(commands(*win_box), commands(*lin_box));
        EXPECT_TRUE(same_bytes(win_box->rx_bytes(), lin_box->rx_bytes()));
        for (const std::string& dir : {win_dir, lin_dir}) {
            EXPECT_EQ(read_file(dir + "/" + file), before) << dir;
            EXPECT_EQ(list_dir(dir), std::vector<std::string>{file}) << dir;
        }
        win_box.reset();
        lin_box.reset();
    }
};

TEST_F(windows_lost_line, a_port_that_stops_taking_data_ends_every_job_with_its_cause)
{
    const std::vector<lost_line_case> cases = {
        // The first write of each job, after the connection check.
        {"save", {"s"}, {"--fault", "stall,501,1,0"}, msg::line_stalled},
        {"load", {"l", "liste.cxf"}, {"--fault", "stall,501,1,0"}, msg::line_stalled},
        {"verify", {"v", "liste.cxf"}, {"--fault", "stall,501,1,0"}, msg::line_stalled},
        {"firmware", {"update.zova"}, {"--fault", "stall,501,1,0"}, msg::line_stalled},
        // Mid-block of the load's TV table (five chunks), and mid-image.
        {"tv block",
         {"l", "liste.cxf"},
         {"--tv", "1500", "--fault", "stall,500 0 3 0 ,1,15000"},
         msg::line_stalled,
         1500},
        {"image", {"update.zova"}, {"--fault", "stall,902,1,3000"}, msg::line_stalled},
    };
    for (const lost_line_case& c : cases)
        run_case("com15", c);
}

TEST_F(windows_lost_line, a_line_that_hangs_up_ends_every_job_with_its_cause)
{
    const std::vector<lost_line_case> cases = {
        // Mid-save the box's channel block is cut off by the hang-up.
        {"save", {"s"}, {"--fault", "blockclose,500 0 2"}, msg::line_gone},
        {"load", {"l", "liste.cxf"}, {"--fault", "hangup,500 0 3 0 ,1,4000"}, msg::line_gone},
        {"image", {"update.zova"}, {"--fault", "hangup,902,1,3000"}, msg::line_gone},
    };
    for (const lost_line_case& c : cases)
        run_case("com16", c);
}

// A box that holds the line after its answer and never lets go: the load
// ends on its own with the cause line.
TEST_F(windows_lost_line, a_load_on_a_line_held_for_good_ends_with_the_cause)
{
    run_case("com17", {"held",
                       {"l", "liste.cxf"},
                       {"--fault", "hold,500 2 3,1," + temp_dir() + "/never"},
                       msg::line_stalled});
}

// COM10 and above exist on Windows only as \\.\COM<n>; the program adds the
// prefix to a plain COM name in any spelling and takes a prefixed name as
// given. The echo shows the name as it was typed.
TEST_F(windows_run, a_port_above_com9_opens_by_its_plain_name_in_any_case)
{
    boxsim_process box;
    map_com_port("com12", box.device());
    for (std::string name : {"com12", "COM12", "Com12", "\\\\.\\COM12"}) {
        run_result win = run_windows_program({name, "no-such-image.zova"});
        std::string out = unix_lines(win.out);
        EXPECT_EQ(out.substr(0, out.find("alte ")),
                  msg::banner + msg::echo(name, "no-such-image.zova"))
            << name;
        EXPECT_NE(out.find("\n" + msg::old_version), std::string::npos) << out;
        EXPECT_EQ(out.find("nicht oeffnen"), std::string::npos) << out;
    }
    EXPECT_EQ(box.commands(),
              (std::vector<std::string>{cmd::status, cmd::status, cmd::status, cmd::status}));
}

// After the port, the program names the cause and the COM ports Windows
// has: one line each.
const std::regex port_list("(Vorhandene Ports: COM[0-9]+(, COM[0-9]+)*|"
                           "Keine seriellen Ports gefunden\\.)\n");

TEST_F(windows_run, a_port_that_does_not_exist_is_named_as_typed)
{
    for (std::string name : {"com29", "COM29:", "\\\\.\\com29"}) {
        run_result win = run_windows_program({name, "s"});
        std::string out = unix_lines(win.out);
        const std::string head =
            msg::banner + msg::echo(name, "s") + msg::cannot_open(name) + msg::port_missing;
        const std::string& tail = msg::prompt;
        ASSERT_GT(out.size(), head.size() + tail.size()) << out;
        EXPECT_EQ(out.substr(0, head.size()), head);
        EXPECT_TRUE(std::regex_match(
            out.substr(head.size(), out.size() - head.size() - tail.size()), port_list))
            << out;
        EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
        EXPECT_EQ(win.exit_code, 2);
    }
}

// Ctrl+C in the middle of a save. wine turns SIGINT to the process into
// the console's CTRL_C_EVENT, handled on a thread of its own while the main
// thread holds the temporary file open: the handler still removes it.
TEST_F(windows_run, ctrl_c_during_a_save_ends_it_without_leftovers)
{
    const std::string previous = "CXF2 the previous list";
    write_file(win_dir + "/senderl.cxf", previous);
    // Paced: the channel block takes about a second on the line.
    boxsim_process box({"--baud", "115200"});
    map_com_port("com18", box.device());
    setenv("WINEDEBUG", "-all", 1);
    background_run run({"/usr/bin/wine", windows_exe(), "com18", "s"}, win_dir);
    ASSERT_TRUE(box.wait_for_command("500 0 2 0 399"));
    EXPECT_EQ(list_dir(win_dir).size(), 2u); // the list and the temporary file
    run.signal(SIGINT);
    run_result r = run.wait(20000);
    EXPECT_EQ(r.exit_code, 1) << r.out;
    EXPECT_EQ(box.commands().back(), "500 0 2 0 399");
    EXPECT_EQ(read_file(win_dir + "/senderl.cxf"), previous);
    EXPECT_EQ(list_dir(win_dir), std::vector<std::string>{"senderl.cxf"});
}

// wine shows a file without write permission as read-only; the save
// refuses it where it opens the file, before any table is received.
TEST_F(windows_run, a_read_only_list_is_refused_when_the_file_is_opened)
{
    const std::string previous = "CXF2 the previous list";
    const std::string list = win_dir + "/senderl.cxf";
    write_file(list, previous);
    ASSERT_EQ(chmod(list.c_str(), 0444), 0);
    boxsim_process box;
    map_com_port("com14", box.device());
    run_result win = run_windows_program({"com14", "s"}, "", 60000, win_dir);
    EXPECT_EQ(win.exit_code, 2);
    std::string out = unix_lines(win.out);
    EXPECT_EQ(out.substr(out.find("\nSenderliste")),
              "\nSenderliste speichern failed to open file senderl.cxf!\n");
    std::vector<std::string> commands = box.commands();
    ASSERT_GE(commands.size(), 2u);
    EXPECT_EQ(commands[commands.size() - 2], "500 2 2 0 19");
    EXPECT_EQ(commands.back(), "503 25");
    EXPECT_EQ(read_file(list), previous);
    EXPECT_EQ(list_dir(win_dir), std::vector<std::string>{"senderl.cxf"});
}

// A port mapped as a user maps one (the registry) is listed as Windows lists
// its ports, opens under its name, and a name beside it is missing.
TEST_F(windows_run, a_port_mapped_through_the_registry_is_listed)
{
    boxsim_process box;
    wine_port_prefix prefix("COM7", box.device());
    std::string out = unix_lines(run_windows_program({"com29", "s"}).out);
    EXPECT_NE(out.find("nicht oeffnen!\n" + msg::port_missing), std::string::npos) << out;
    std::smatch listed;
    ASSERT_TRUE(std::regex_search(out, listed, port_list)) << out;
    EXPECT_TRUE(std::regex_search(listed.str(), std::regex(" COM7[,\\n]"))) << out;
    run_result opened = run_windows_program({"com7", "no-such-image.zova"});
    EXPECT_NE(unix_lines(opened.out).find("\nalte 1.00 (2025-11-03)\n"), std::string::npos)
        << opened.out;
}

// Every job with its files in a folder of that name (fresh boxes each):
// the save into it, traced into a file there, the verify and the load of
// that list, and a firmware update from an image there. The Windows run's
// output is the Linux run's, the echo and the paths as typed included; run
// without a console, the program changes none.
class windows_paths : public windows_run, public ::testing::WithParamInterface<const char*> {};

TEST_P(windows_paths, every_job_takes_its_files_from_a_folder_of_that_name)
{
    const std::string folder = GetParam();
    // A COM name for each folder: the three may run at once in one prefix.
    int index = 0;
    while (folder != path_folders[index])
        ++index;
    const std::string com = "com" + std::to_string(30 + index);
    ASSERT_EQ(mkdir((win_dir + "/" + folder).c_str(), 0755), 0);
    ASSERT_EQ(mkdir((lin_dir + "/" + folder).c_str(), 0755), 0);
    const std::string list = folder + "/liste.cxf";

    run_both(com, {"s", list}, 0, {}, folder + "/trace.txt");
    EXPECT_NE(unix_lines(win.out).find(msg::echo(com, "s", list)), std::string::npos) << win.out;
    EXPECT_TRUE(same_list_file(read_file(win_dir + "/" + list), read_file(lin_dir + "/" + list)));
    EXPECT_EQ(list_dir(win_dir + "/" + folder),
              (std::vector<std::string>{"liste.cxf", "trace.txt"}));
    const std::string trace = read_file(win_dir + "/" + folder + "/trace.txt");
    EXPECT_NE(trace.find(" args 3 \"" + com + "\" \"s\" \"" + trace_escaped(list) + "\"\n"),
              std::string::npos)
        << trace;
    EXPECT_EQ(trace_events(trace, "console"),
              (std::vector<std::string>{"console input none", "console output none ansi 65001"}));

    // The list just saved is what a fresh box holds.
    run_both(com, {"v", list}, 0);
    EXPECT_NE(lin.out.find(all_tables_same), std::string::npos) << lin.out;
    run_both(com, {"l", list}, 0);

    const std::string image = make_image(3 * 256 + 77, "3.07 w1100");
    write_file(win_dir + "/" + folder + "/update.zova", image);
    write_file(lin_dir + "/" + folder + "/update.zova", image);
    run_both(com, {folder + "/update.zova"}, 0);
    EXPECT_TRUE(same_bytes(read_file(win_box->state_dir() + "/image.bin"), image));
}

INSTANTIATE_TEST_SUITE_P(folders, windows_paths, ::testing::ValuesIn(path_folders),
                         folder_test_name);

// A file dropped onto the Windows program. Its standard input is a
// terminal, which wine makes a console of the program's own, as the file
// manager does; the port is mapped through the registry, so that Windows
// lists it among the ports to choose from. From the argument echo on, the
// run is the Linux program's with the same job on the command line, and
// then, the window being the run's own, the key prompt.
class windows_drop : public windows_run {
  protected:
    // Drops file (in win_dir) onto the program, chooses com from the ports
    // and answers the job's question with key.
    run_result drop(const std::string& file, const std::string& com, const std::string& question,
                    const std::string& key)
    {
        setenv("WINEDEBUG", "-all", 1);
        terminal_run run({"/usr/bin/wine", windows_exe(), file}, win_dir);
        if (!run.wait_for_output(msg::choose_port, 60000) || !run.wait_for_raw_terminal())
            return run.wait(0);
        std::smatch offered;
        const std::string out = unix_lines(run.output());
        if (!std::regex_search(out, offered, std::regex("\n *([0-9]+)  " + com + "\n")))
            return run.wait(0);
        run.type(offered[1].str() + "\r");
        if (!run.wait_for_output(question))
            return run.wait(0);
        run.type(key);
        // The console's line ends are CR LF.
        if (!run.wait_for_output(msg::prompt.substr(0, msg::prompt.size() - 1)))
            return run.wait(0);
        run.type("x");
        run_result r = run.wait();
        r.out = unix_lines(r.out);
        return r;
    }

    // The dropped run from the argument echo on is the Linux program's run
    // with lin_args (in lin_dir, its port first) on a box of its own, then
    // ending (the line that says how the job went) and the key prompt; both
    // boxes received the same bytes. A list's load first saves the box's
    // list: copy is the safety copy the Windows run named, lin_copy the same
    // file's path for the Linux program (the path as it wrote it there), and
    // the Linux run saves into it with the command line first; the two
    // copies are the same file.
    void expect_same_job(const run_result& win, const std::string& com,
                         const boxsim_process& win_box, std::vector<std::string> lin_args,
                         const std::string& ending, const std::string& copy = "",
                         const std::string& lin_copy = "")
    {
        boxsim_process lin_box;
        std::string lin_out;
        if (!copy.empty()) {
            const run_result saved =
                run_program({lin_box.device(), "s", lin_copy}, "", 60000, lin_dir);
            EXPECT_EQ(saved.exit_code, 0) << saved.out;
            lin_out = saved.out.substr(saved.out.find("Parameter: "));
            EXPECT_NE(win.out.find(msg::safety_copy_where(copy) + "Parameter: "), std::string::npos)
                << win.out;
            EXPECT_TRUE(same_list_file(read_file(win_dir + "/" + lin_copy),
                                       read_file(lin_dir + "/" + lin_copy)));
        }
        lin_args.insert(lin_args.begin(), lin_box.device());
        const run_result lin = run_program(lin_args, "", 60000, lin_dir);
        EXPECT_EQ(lin.exit_code, 0) << lin.out;
        lin_out += lin.out.substr(lin.out.find("Parameter: "));
        const auto at = win.out.find("Parameter: ");
        ASSERT_NE(at, std::string::npos) << win.out;
        EXPECT_EQ(win.out.substr(at),
                  with_port(lin_out, lin_box.device(), com) + ending + msg::prompt);
        EXPECT_EQ(win.exit_code, lin.exit_code);
        EXPECT_EQ(win_box.commands(), lin_box.commands());
        EXPECT_TRUE(same_bytes(win_box.rx_bytes(), lin_box.rx_bytes()));
    }
};

TEST_F(windows_drop, a_dropped_list_is_loaded_and_then_verified_on_the_chosen_port)
{
    boxsim_process source({"--seed", "5"});
    const std::string list = put_saved_list(source, "liste.cxf");

    boxsim_process win_box;
    wine_port_prefix prefix("COM7", win_box.device());
    run_result win = drop("liste.cxf", "COM7", msg::choose_list_job, "l");
    ASSERT_FALSE(win.timed_out) << win.out;
    EXPECT_EQ(win.out.substr(0, win.out.find("Infotext: ")),
              msg::banner + msg::dropped_list("liste.cxf"));
    EXPECT_NE(win.out.find(msg::list_counts(20, 100, 300, 100, 200)), std::string::npos) << win.out;
    // First the box's list into the safety copy beside the list; the load's
    // percentage stays on its line; the closing line and the prompt follow
    // on lines of their own.
    const std::string copy = named_safety_copy(win.out);
    ASSERT_EQ(copy.rfind("senderl-sicherung-", 0), 0u) << win.out;
    expect_same_job(win, "COM7", win_box, {"l", "liste.cxf"}, "\n" + msg::dropped_loaded, copy,
                    copy);
    EXPECT_NE(win.out.find(msg::all_done + "\n" + msg::dropped_loaded + msg::prompt),
              std::string::npos)
        << win.out;

    // The same list dropped again, now compared: every table is the same.
    run_result verified = drop("liste.cxf", "COM7", msg::choose_list_job, "v");
    EXPECT_NE(verified.out.find(all_tables_same + msg::dropped_same + msg::prompt),
              std::string::npos)
        << verified.out;
    EXPECT_EQ(verified.exit_code, 0);
    EXPECT_EQ(read_file(win_dir + "/liste.cxf"), list);
    source.stop();
    win_box.stop();
    for (const char* table : box_tables)
        EXPECT_TRUE(same_bytes(stored_table(win_box, table), stored_table(source, table))) << table;
}

TEST_F(windows_drop, a_dropped_image_updates_the_box_on_the_chosen_port)
{
    const std::string image = make_image(3 * 256 + 77, "3.07 w1100");
    write_file(win_dir + "/update.zova", image);
    write_file(lin_dir + "/update.zova", image);

    boxsim_process win_box;
    wine_port_prefix prefix("COM8", win_box.device());
    run_result win = drop("update.zova", "COM8", msg::confirm_image, "j");
    ASSERT_FALSE(win.timed_out) << win.out;
    EXPECT_EQ(win.out.substr(0, win.out.find('\n', msg::banner.size()) + 1),
              msg::banner + msg::dropped_image("update.zova", image.size()));
    EXPECT_NE(win.out.find(msg::new_version("3.07 w1100")), std::string::npos) << win.out;
    expect_same_job(win, "COM8", win_box, {"update.zova"}, msg::dropped_updated);
    EXPECT_TRUE(same_bytes(read_file(win_box.state_dir() + "/image.bin"), image));
}

// A list dropped by a path written with backslashes, as Windows hands it
// over: the safety copy goes into the list's folder, written the same way,
// and holds what the Linux program saves of the same box; the first copy's
// name being taken (a load in the same minute), it gets "-2"; then the list
// is on the box.
TEST_F(windows_drop, a_list_dropped_by_a_windows_path_gets_its_safety_copy_in_its_folder)
{
    boxsim_process source({"--seed", "5"});
    const std::string saved = put_saved_list(source, "quelle.cxf");
    ASSERT_EQ(mkdir((win_dir + "/ordner").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((lin_dir + "/ordner").c_str(), 0755), 0);
    write_file(win_dir + "/ordner/liste.cxf", saved);
    write_file(lin_dir + "/ordner/liste.cxf", saved);
    // Every name the run's minute may have, taken.
    const std::time_t now = std::time(nullptr);
    std::vector<std::string> taken;
    for (std::time_t t = now; t <= now + 120; t += 30) {
        std::tm local{};
        localtime_r(&t, &local);
        char name[64];
        std::strftime(name, sizeof name, "senderl-sicherung-%Y-%m-%d-%H%M.cxf", &local);
        if (std::find(taken.begin(), taken.end(), name) == taken.end()) {
            taken.push_back(name);
            write_file(win_dir + "/ordner/" + name, "taken");
        }
    }

    boxsim_process win_box;
    wine_port_prefix prefix("COM41", win_box.device());
    run_result win = drop("ordner\\liste.cxf", "COM41", msg::choose_list_job, "l");
    ASSERT_FALSE(win.timed_out) << win.out;
    EXPECT_EQ(win.exit_code, 0) << win.out;
    const std::string copy = named_safety_copy(win.out);
    ASSERT_EQ(copy.rfind("ordner\\senderl-sicherung-", 0), 0u) << win.out;
    const std::string name = copy.substr(7);
    ASSERT_GE(name.size(), 6u);
    EXPECT_EQ(name.substr(name.size() - 6), "-2.cxf") << name;
    EXPECT_NE(std::find(taken.begin(), taken.end(), name.substr(0, name.size() - 6) + ".cxf"),
              taken.end())
        << name;
    for (const std::string& other : taken)
        EXPECT_EQ(read_file(win_dir + "/ordner/" + other), "taken") << other;

    // The Linux program prints its paths with '/'; the Windows one as given.
    run_result shown = win;
    for (const auto& [from, to] : {std::pair<std::string, std::string>{copy, "ordner/" + name},
                                   {"ordner\\liste.cxf", "ordner/liste.cxf"}})
        for (auto at = shown.out.find(from); at != std::string::npos;
             at = shown.out.find(from, at + to.size()))
            shown.out.replace(at, from.size(), to);
    expect_same_job(shown, "COM41", win_box, {"l", "ordner/liste.cxf"}, "\n" + msg::dropped_loaded,
                    "ordner/" + name, "ordner/" + name);
    source.stop();
    win_box.stop();
    for (const char* table : box_tables)
        EXPECT_TRUE(same_bytes(stored_table(win_box, table), stored_table(source, table))) << table;
}

// A list dropped from a folder of that name, traced: the program opens it
// by the path as given and loads it, and shows that path as given; its
// console (standard input; the output goes to the test's pipe) has QuickEdit
// off for the run, wine's console starting with everything on (0x01F7).
class windows_drop_paths : public windows_drop,
                           public ::testing::WithParamInterface<const char*> {};

TEST_P(windows_drop_paths, a_list_dropped_from_a_folder_of_that_name_is_loaded)
{
    const std::string folder = GetParam();
    boxsim_process source({"--seed", "5"});
    const std::string saved = put_saved_list(source, "quelle.cxf");
    ASSERT_EQ(mkdir((win_dir + "/" + folder).c_str(), 0755), 0);
    ASSERT_EQ(mkdir((lin_dir + "/" + folder).c_str(), 0755), 0);
    const std::string list = folder + "/liste.cxf";
    write_file(win_dir + "/" + list, saved);
    write_file(lin_dir + "/" + list, saved);

    boxsim_process win_box;
    wine_port_prefix prefix("COM7", win_box.device());
    setenv("HALVORAN_TRACE", (folder + "/trace.txt").c_str(), 1);
    run_result win = drop(list, "COM7", msg::choose_list_job, "l");
    unsetenv("HALVORAN_TRACE");
    ASSERT_FALSE(win.timed_out) << win.out;
    EXPECT_EQ(win.exit_code, 0) << win.out;

    EXPECT_EQ(win.out.substr(0, win.out.find("Infotext: ")), msg::banner + msg::dropped_list(list));
    const std::string copy = named_safety_copy(win.out);
    ASSERT_EQ(copy.rfind(folder + "/senderl-sicherung-", 0), 0u) << win.out;
    expect_same_job(win, "COM7", win_box, {"l", list}, "\n" + msg::dropped_loaded, copy, copy);

    const std::string trace = read_file(win_dir + "/" + folder + "/trace.txt");
    EXPECT_EQ(trace_events(trace, "console"),
              (std::vector<std::string>{"console input mode 0x01F7 set 0x01B7",
                                        "console output none ansi 65001"}));
    EXPECT_EQ(trace_events(trace, "file list opened"),
              (std::vector<std::string>{"file list opened " + trace_escaped(list),
                                        "file list opened " + trace_escaped(list)}));
}

INSTANTIATE_TEST_SUITE_P(folders, windows_drop_paths, ::testing::ValuesIn(path_folders),
                         folder_test_name);

} // namespace
