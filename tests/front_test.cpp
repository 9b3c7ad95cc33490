// The real binary end to end: command line, endings, exit status, the
// connection check against the box simulator, and a file dropped onto the
// program with a user at the terminal.
#include "front/console.hpp"
#include "support/harness.hpp"
#include "support/test_data.hpp"
#include "support/texts.hpp"
#include "support/trace_support.hpp"

#include <algorithm>
#include <csignal>
#include <ctime>
#include <gtest/gtest.h>
#include <regex>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const std::string silent_attempt = msg::silent + msg::retry;

// A firmware path that does not exist: the job after the check fails at
// once, so these tests look only at the check.
const std::string no_image = "no-such-image.zova";

TEST(command_line, too_few_arguments_print_the_usage_and_wait_for_a_key)
{
    for (auto args : {std::vector<std::string>{}, std::vector<std::string>{"/dev/null"}}) {
        run_result r = run_program(args);
        EXPECT_EQ(r.out, msg::banner + msg::usage);
        EXPECT_EQ(r.exit_code, 0);
    }
}

// After a port that will not open: one line naming the cause, then one
// listing the serial ports of this computer (or saying there are none).
// The output of a run whose port did not open, up to the listing, which is
// checked for its form and for what it must not name; the listing itself is
// cut out.
std::string without_port_list(const std::string& out)
{
    const std::regex list("\n(Vorhandene Ports: (/dev/[^ ,()]+( \\(/dev/serial/by-id/[^()]+\\))?)"
                          "(, /dev/[^ ,()]+( \\(/dev/serial/by-id/[^()]+\\))?)*(, \\.\\.\\.)?|"
                          "Keine seriellen Ports gefunden\\.)\n" +
                          msg::prompt + "$");
    std::smatch found;
    if (!std::regex_search(out, found, list))
        return out + "[no well-formed port list]";
    // Pseudo-terminals (the simulator's, the test's) are no serial ports.
    if (found.str().find("/dev/pts/") != std::string::npos)
        return out + "[a pseudo-terminal was listed]";
    return out.substr(0, static_cast<std::size_t>(found.position()) + 1) + msg::prompt;
}

TEST(command_line, a_port_that_cannot_be_opened_names_the_cause_and_the_ports)
{
    std::string dir = temp_dir();
    write_file(dir + "/file", "not a port");
    boxsim_process sim;
    struct {
        std::string port, cause;
        bool as_nobody;
    } cases[] = {
        {"/nonexistent/port", msg::port_missing, false},
        {dir + "/file", msg::port_not_serial, false},
        {dir, msg::port_not_serial, false},
        // An ordinary user may not open a terminal that belongs to root.
        {sim.device(), msg::port_permission, true},
    };
    for (const auto& c : cases) {
        run_result r;
        if (!c.as_nobody) {
            r = run_program({c.port, "s", "list.cxf", "ignored"});
        } else if (geteuid() == 0 && access("/usr/bin/setpriv", X_OK) == 0) {
            r = run_command({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                             HALVORAN_BIN, c.port, "s", "list.cxf", "ignored"});
        } else {
            continue;
        }
        EXPECT_EQ(without_port_list(r.out), msg::banner + msg::echo(c.port, "s", "list.cxf") +
                                                msg::cannot_open(c.port) + c.cause + msg::prompt);
        EXPECT_EQ(r.exit_code, 2);
    }
    // The refused user's attempt did not reach the box.
    EXPECT_TRUE(sim.commands().empty());
}

TEST(command_line, a_port_in_use_by_another_run_is_refused_at_once)
{
    boxsim_process sim({"--fault", "silent,501,*"});
    background_run first({HALVORAN_BIN, sim.device(), no_image});
    // Wait until the first run holds the port and asks for the status.
    sim.wait_for_command(cmd::status);
    run_result second = run_program({sim.device(), no_image});
    EXPECT_EQ(without_port_list(second.out), msg::banner + msg::echo(sim.device(), no_image) +
                                                 msg::cannot_open(sim.device()) + msg::port_busy +
                                                 msg::prompt);
    EXPECT_EQ(second.exit_code, 2);
    EXPECT_LT(second.seconds, 1.0);
    EXPECT_EQ(first.wait().exit_code, 2);
}

TEST(command_line, the_interrupt_ends_the_run_with_status_1_and_sends_nothing_more)
{
    boxsim_process sim({"--fault", "silent,501,*"});
    background_run run({HALVORAN_BIN, sim.device(), "s"});
    sim.wait_for_command(cmd::status);
    run.signal(SIGINT);
    run_result r = run.wait(5000);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_LT(r.seconds, 1.5);
    EXPECT_EQ(r.out.find(msg::prompt), std::string::npos);
    usleep(100000);
    EXPECT_EQ(sim.commands(), std::vector<std::string>{cmd::status});
}

// The interrupt handler closes the trace with the exit status too.
TEST(command_line, the_trace_of_an_interrupted_run_ends_with_status_1)
{
    boxsim_process sim({"--fault", "silent,501,*"});
    const std::string trace = temp_dir() + "/trace.txt";
    setenv("HALVORAN_TRACE", trace.c_str(), 1);
    background_run run({HALVORAN_BIN, sim.device(), "s"});
    unsetenv("HALVORAN_TRACE");
    sim.wait_for_command("501");
    run.signal(SIGINT);
    EXPECT_EQ(run.wait(5000).exit_code, 1);
    const std::string text = read_file(trace);
    EXPECT_TRUE(trace_well_formed(text));
    EXPECT_EQ(trace_exchange(text), std::vector<std::string>{"> 501"});
    EXPECT_EQ(text.substr(text.rfind(' ', text.size() - 4)), " exit 1\n");
}

TEST(connection_check, a_box_that_answers_prints_its_version)
{
    boxsim_process sim;
    run_result r = run_program({sim.device(), no_image});
    EXPECT_EQ(r.out.substr(0, r.out.find("failed to open")),
              msg::banner + msg::echo(sim.device(), no_image) + msg::old_version);
    EXPECT_EQ(sim.commands().at(0), cmd::status);
}

TEST(connection_check, a_box_that_answers_only_in_the_third_attempt_is_accepted)
{
    boxsim_process sim({"--fault", "silent,501,2"});
    run_result r = run_program({sim.device(), no_image});
    EXPECT_EQ(r.out.substr(0, r.out.find("failed to open")),
              msg::banner + msg::echo(sim.device(), no_image) + silent_attempt + silent_attempt +
                  msg::old_version);
    auto cmds = sim.commands();
    ASSERT_GE(cmds.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(cmds.begin(), cmds.begin() + 3),
              (std::vector<std::string>{cmd::status, cmd::status, cmd::status}));
}

TEST(connection_check, a_silent_box_gives_up_after_three_attempts)
{
    boxsim_process sim({"--fault", "silent,501,*"});
    run_result r = run_program({sim.device(), no_image});
    EXPECT_EQ(r.out, msg::banner + msg::echo(sim.device(), no_image) + silent_attempt +
                         silent_attempt + silent_attempt + msg::no_connection + msg::prompt);
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_GT(r.seconds, 2.8);
    EXPECT_LT(r.seconds, 5.0);
}

TEST(connection_check, a_box_of_another_make_is_refused_after_its_version)
{
    // The ninth character of the version text is a 3.
    boxsim_process sim({"--version", "2.00 (3x3"});
    run_result r = run_program({sim.device(), no_image});
    EXPECT_EQ(r.out, msg::banner + msg::echo(sim.device(), no_image) + "alte 2.00 (3x3\n" +
                         "Fehler keine Halvoran Box!\n" + msg::prompt);
    EXPECT_EQ(r.exit_code, 2);
}

TEST(connection_check, lines_that_do_not_parse_are_retried)
{
    // A code with no word, and a line that does not begin with a number.
    boxsim_process sim({"--fault", "reply,501,1,999", "--fault", "garbage,501,1"});
    run_result r = run_program({sim.device(), no_image});
    EXPECT_EQ(r.out.substr(0, r.out.find("failed to open")),
              msg::banner + msg::echo(sim.device(), no_image) + msg::retry + msg::retry +
                  msg::old_version);
}

// The loader's 998 is named as such; any other line of two fields passes
// silently. Against the loader only the firmware job goes on.
TEST(connection_check, other_answers_with_two_fields_are_accepted_without_a_version)
{
    {
        boxsim_process sim({"--fault", "reply,501,1,998 LOADER"});
        run_result r = run_program({sim.device(), no_image});
        EXPECT_EQ(r.out.substr(0, r.out.find("failed to open")),
                  msg::banner + msg::echo(sim.device(), no_image) + msg::in_loader);
    }
    {
        boxsim_process sim({"--fault", "reply,501,1,500 OK"});
        run_result r = run_program({sim.device(), no_image});
        EXPECT_EQ(r.out.substr(0, r.out.find("failed to open")),
                  msg::banner + msg::echo(sim.device(), no_image));
        run_result save = run_program({sim.device(), "s", temp_dir() + "/x.cxf"});
        EXPECT_EQ(save.exit_code, 0);
    }
}

TEST(connection_check, short_and_cut_status_lines_are_judged_as_they_stand)
{
    {
        boxsim_process sim({"--fault", "reply,501,1,999 OS"});
        run_result r = run_program({sim.device(), no_image});
        EXPECT_EQ(r.out.substr(0, r.out.find("failed to open")),
                  msg::banner + msg::echo(sim.device(), no_image) + "alte \n");
    }
    {
        // The time-out ends the line; what came still counts.
        boxsim_process sim({"--fault", "cut,501,1"});
        run_result r = run_program({sim.device(), no_image});
        EXPECT_EQ(r.out.substr(0, r.out.find("failed to open")),
                  msg::banner + msg::echo(sim.device(), no_image) + msg::silent + msg::old_version);
    }
}

TEST(connection_check, control_bytes_in_a_line_arrive_as_the_box_sent_them)
{
    // Ctrl-C, XON, XOFF and a CR inside the line: a line discipline that is
    // not raw would end the run, swallow bytes or split the line.
    boxsim_process sim({"--fault", "reply,501,1,999 OS a\\x03\\x11\\x13b\\rc"});
    run_result r = run_program({sim.device(), no_image});
    EXPECT_EQ(r.out.substr(0, r.out.find("failed to open")), msg::banner +
                                                                 msg::echo(sim.device(), no_image) +
                                                                 "alte a\x03\x11\x13"
                                                                 "bc\n");
}

// A file dropped onto the program is its only argument, with the user at a
// terminal. The ports it offers are this computer's: the ones a run with a
// port that does not exist names, numbered from 1.
std::string offered_ports()
{
    const std::string out = run_program({"/nonexistent/port", "s"}).out;
    const std::string head = "Vorhandene Ports: ";
    auto at = out.find(head);
    if (at == std::string::npos)
        return "";
    std::istringstream entries(out.substr(at + head.size(), out.find('\n', at) - at - head.size()));
    std::string lines, entry;
    int number = 0;
    while (std::getline(entries, entry, ',')) {
        if (!entry.empty() && entry[0] == ' ')
            entry.erase(0, 1);
        const std::string n = std::to_string(++number);
        lines += std::string(3 - n.size(), ' ') + n + "  " + entry + "\n";
    }
    return lines;
}

const std::string enter = "\r";

TEST(dropped_file, a_list_shows_its_info_and_counts_and_cancelling_opens_nothing)
{
    const std::string dir = temp_dir();
    const std::string path = dir + "/liste.cxf";
    const list_file list = make_list(list_counts{});
    write_file(path, list.bytes);
    const std::string shown = msg::banner + msg::dropped_list(path) + msg::info_line +
                              msg::list_counts(20, 100, 300, 100, 200);
    const std::string ports = offered_ports();
    if (ports.empty()) {
        // Nothing to choose: the run ends before the question.
        run_result r = run_on_terminal({HALVORAN_BIN, path}, {});
        EXPECT_EQ(r.out, shown + msg::ports_none);
        EXPECT_EQ(r.exit_code, 2);
    } else {
        // A number that is no port's, one past the last one too, is asked
        // again; Enter alone cancels.
        const std::string past_last =
            std::to_string(std::count(ports.begin(), ports.end(), '\n') + 1);
        run_result r = run_on_terminal({HALVORAN_BIN, path}, {{msg::choose_port, "99" + enter},
                                                              {msg::choose_port, past_last + enter},
                                                              {msg::choose_port, enter}});
        EXPECT_EQ(r.out, shown + ports + msg::choose_port + msg::choose_port + msg::choose_port +
                             msg::cancelled);
        EXPECT_EQ(r.exit_code, 1);
    }
    EXPECT_EQ(read_file(path), list.bytes);
    EXPECT_EQ(list_dir(dir), std::vector<std::string>{"liste.cxf"});
}

TEST(dropped_file, an_image_shows_its_size_and_no_at_the_question_cancels)
{
    const std::string path = temp_dir() + "/update.zova";
    write_file(path, make_image(1000));
    const std::string shown = msg::banner + msg::dropped_image(path, 1000);
    const std::string ports = offered_ports();
    if (ports.empty()) {
        run_result r = run_on_terminal({HALVORAN_BIN, path}, {});
        EXPECT_EQ(r.out, shown + msg::ports_none);
        EXPECT_EQ(r.exit_code, 2);
        return;
    }
    // The first port chosen, and the update declined: the port is not
    // opened (a port that opens would show in the argument echo).
    run_result r = run_on_terminal({HALVORAN_BIN, path},
                                   {{msg::choose_port, "1" + enter}, {msg::confirm_image, "n"}});
    EXPECT_EQ(r.out, shown + ports + msg::choose_port + msg::confirm_image + "\n" + msg::cancelled);
    EXPECT_EQ(r.exit_code, 1);
}

TEST(dropped_file, a_list_the_load_refuses_gets_the_loads_message_and_status_2)
{
    const std::string dir = temp_dir();
    const std::string good = make_list(list_counts{}).bytes;
    std::string long_info = good;
    long_info.replace(32, 4, le32(256));
    struct {
        std::string name, bytes, message;
    } cases[] = {
        {"cut.cxf", good.substr(0, 20), msg::wrong_format(dir + "/cut.cxf")},
        {"long.cxf", long_info, msg::info_too_long(dir + "/long.cxf")},
        // Named as a list, but without its signature.
        {"other.cxf", "not a list at all", msg::wrong_format(dir + "/other.cxf")},
        {"LISTE.CXF", "not a list at all", msg::wrong_format(dir + "/LISTE.CXF")},
    };
    for (const auto& c : cases) {
        const std::string path = dir + "/" + c.name;
        write_file(path, c.bytes);
        run_result r = run_on_terminal({HALVORAN_BIN, path}, {});
        EXPECT_EQ(r.out, msg::banner + msg::dropped_list(path) + c.message) << c.name;
        EXPECT_EQ(r.exit_code, 2) << c.name;
    }
}

// The program in a mount namespace of its own whose only serial port is
// /dev/ttyUSB0, and that is device: the system's port list (sysfs) and /dev
// are replaced there by folders that hold only it. Empty when this system
// cannot make such a namespace (it takes root).
std::vector<std::string> with_only_port(const std::string& device,
                                        const std::vector<std::string>& argv)
{
    if (geteuid() != 0 || run_command({"/usr/bin/unshare", "-m", "/bin/true"}).exit_code != 0)
        return {};
    const std::string mark = temp_dir() + "/port";
    write_file(mark, "");
    std::vector<std::string> wrapped = {"/usr/bin/unshare",
                                        "-m",
                                        "/bin/sh",
                                        "-c",
                                        "set -e; mount --bind \"$1\" \"$0\"; "
                                        "mount -t tmpfs none /sys/class/tty; "
                                        "mkdir -p /sys/class/tty/ttyUSB0/device; "
                                        "mount -t tmpfs none /dev; touch /dev/ttyUSB0; "
                                        "mount --bind \"$0\" /dev/ttyUSB0; shift; exec \"$@\"",
                                        mark,
                                        device};
    wrapped.insert(wrapped.end(), argv.begin(), argv.end());
    return wrapped;
}

// The command-line run's output from the argument echo on, as the dropped
// run prints it on /dev/ttyUSB0.
std::string job_output(const std::string& out, const std::string& device)
{
    std::string text = out.substr(std::min(out.find("Parameter: "), out.size()));
    for (auto at = text.find(device); at != std::string::npos; at = text.find(device, at))
        text.replace(at, device.size(), "/dev/ttyUSB0");
    return text;
}

// The safety copy's names for a load started between from and to (local
// time; each minute's), with "-n" added when n is more than 1.
std::vector<std::string> safety_copy_names(std::time_t from, std::time_t to, int n = 1)
{
    std::vector<std::string> names;
    for (std::time_t t = from;; t = std::min(t + 30, to)) {
        std::tm local{};
        localtime_r(&t, &local);
        char name[64];
        std::strftime(name, sizeof name, "senderl-sicherung-%Y-%m-%d-%H%M", &local);
        const std::string full = name + (n > 1 ? "-" + std::to_string(n) : "") + ".cxf";
        if (std::find(names.begin(), names.end(), full) == names.end())
            names.push_back(full);
        if (t == to)
            return names;
    }
}

// A saved list with the time in its info text (header bytes 36 to 71) made
// all nines: two saves of one box at other times compare equal so.
std::string without_save_time(std::string list)
{
    for (std::size_t i = 36; i < 72 && i < list.size(); ++i)
        if (list[i] >= '0' && list[i] <= '9')
            list[i] = '9';
    return list;
}

// The dropped list's load on the test's own port: the port and the job
// chosen, the run timed.
struct dropped_load_run {
    run_result r;
    std::time_t began, ended;
};
dropped_load_run drop_for_load(const boxsim_process& box, const std::string& path)
{
    dropped_load_run run;
    run.began = std::time(nullptr);
    run.r = run_on_terminal(with_only_port(box.device(), {HALVORAN_BIN, path}),
                            {{msg::choose_port, "1" + enter}, {msg::choose_list_job, "l"}});
    run.ended = std::time(nullptr);
    return run;
}

TEST(dropped_file, a_list_loaded_on_the_chosen_port_ends_with_a_line_that_says_so)
{
    const std::string dir = temp_dir();
    const std::string path = dir + "/liste.cxf";
    const list_file list = make_list(list_counts{});
    write_file(path, list.bytes);
    boxsim_process box;
    if (with_only_port(box.device(), {}).empty())
        GTEST_SKIP() << "no mount namespace for a port of the test's own";
    const dropped_load_run run = drop_for_load(box, path);
    ASSERT_FALSE(run.r.timed_out) << run.r.out;
    EXPECT_EQ(run.r.exit_code, 0) << run.r.out;
    // After the safety copy, from the load's echo on the command line's
    // load, the same bytes to the box; then the percentage's line ended and
    // the closing line of its own.
    boxsim_process command_line_box;
    const run_result command_line = run_program({command_line_box.device(), "l", path});
    ASSERT_EQ(command_line.exit_code, 0) << command_line.out;
    const std::string load_echo = msg::echo("/dev/ttyUSB0", "l", path);
    const auto load_at = std::min(run.r.out.find(load_echo), run.r.out.size());
    EXPECT_EQ(run.r.out.substr(load_at),
              job_output(command_line.out, command_line_box.device()) + "\n" + msg::dropped_loaded);
    EXPECT_NE(run.r.out.find(msg::all_done + "\n" + msg::dropped_loaded), std::string::npos);
    const std::string rx = box.rx_bytes();
    const std::string load_rx = command_line_box.rx_bytes();
    // (Compared as a truth: a difference in the bytes would print them all.)
    EXPECT_TRUE(rx.substr(rx.size() - std::min(rx.size(), load_rx.size())) == load_rx);
    box.stop();
    EXPECT_EQ(stored_tables(box), list.tables());

    // A block the box refuses fails the load: the failure, then a line that
    // says so. A box of another make fails the safety copy's connection
    // check, which ends with the key prompt: it comes after that line, each
    // on a line of its own.
    boxsim_process refusing({"--fault", "reject,500 1 3"});
    run_result failed = drop_for_load(refusing, path).r;
    ASSERT_FALSE(failed.timed_out) << failed.out;
    EXPECT_EQ(failed.exit_code, 2);
    EXPECT_EQ(failed.out.substr(failed.out.find(msg::crc_error)),
              msg::crc_error + msg::dropped_failed);
    boxsim_process other_make({"--version", "2.00 (3x3"});
    failed = run_on_terminal(
        with_only_port(other_make.device(), {HALVORAN_BIN, path}),
        {{msg::choose_port, "1" + enter}, {msg::choose_list_job, "l"}, {msg::prompt, "x"}});
    ASSERT_FALSE(failed.timed_out) << failed.out;
    EXPECT_EQ(failed.exit_code, 2);
    EXPECT_EQ(failed.out.substr(failed.out.find("alte ")),
              "alte 2.00 (3x3\nFehler keine Halvoran Box!\n" + msg::safety_copy_failed +
                  msg::dropped_failed + msg::prompt);
    EXPECT_EQ(transcript_commands(other_make.transcript()), std::vector<std::string>{cmd::status});
}

// Before a dropped list goes onto the box, the box's own list is saved next
// to it, under the date and minute of the run: the same file and the same
// bytes on the line as the command line's save of that box.
TEST(dropped_file, a_dropped_load_first_saves_the_boxs_list_next_to_the_file)
{
    const std::string dir = temp_dir();
    const std::string path = dir + "/liste.cxf";
    const list_file list = make_list(list_counts{});
    write_file(path, list.bytes);
    boxsim_process box({"--seed", "7"});
    if (with_only_port(box.device(), {}).empty())
        GTEST_SKIP() << "no mount namespace for a port of the test's own";
    const dropped_load_run run = drop_for_load(box, path);
    ASSERT_FALSE(run.r.timed_out) << run.r.out;
    EXPECT_EQ(run.r.exit_code, 0) << run.r.out;

    const std::string copy = named_safety_copy(run.r.out);
    std::vector<std::string> names = safety_copy_names(run.began, run.ended);
    ASSERT_EQ(copy.substr(0, dir.size() + 1), dir + "/") << run.r.out;
    EXPECT_NE(std::find(names.begin(), names.end(), copy.substr(dir.size() + 1)), names.end())
        << copy;
    auto in_dir = list_dir(dir);
    std::sort(in_dir.begin(), in_dir.end());
    EXPECT_EQ(in_dir, (std::vector<std::string>{"liste.cxf", copy.substr(dir.size() + 1)}));

    // The command line's save of the same box, into a file of that name in
    // a folder of its own.
    const std::string other_dir = temp_dir();
    const std::string other_copy = other_dir + copy.substr(dir.size());
    boxsim_process command_line_box({"--seed", "7"});
    const run_result saved = run_program({command_line_box.device(), "s", other_copy});
    ASSERT_EQ(saved.exit_code, 0) << saved.out;
    EXPECT_TRUE(without_save_time(read_file(copy)) == without_save_time(read_file(other_copy)));
    std::string save_out = job_output(saved.out, command_line_box.device());
    for (auto at = save_out.find(other_dir); at != std::string::npos;
         at = save_out.find(other_dir, at))
        save_out.replace(at, other_dir.size(), dir);
    // The line that names the copy, the save's run, then the load's echo.
    const std::string saving = msg::safety_copy_where(copy) + save_out;
    const auto where = run.r.out.find(saving);
    ASSERT_NE(where, std::string::npos) << run.r.out;
    EXPECT_EQ(
        run.r.out.substr(where + saving.size()).rfind(msg::echo("/dev/ttyUSB0", "l", path), 0), 0u)
        << run.r.out;
    EXPECT_TRUE(box.rx_bytes().substr(0, command_line_box.rx_bytes().size()) ==
                command_line_box.rx_bytes());
    // Then the dropped list went onto the box.
    box.stop();
    EXPECT_TRUE(stored_tables(box) == list.tables());
    EXPECT_EQ(read_file(path), list.bytes);
}

// A second load within the minute finds the minute's name taken: the first
// copy stays, the new one gets "-2". The test takes the names of every
// minute the run may see, so that the run finds its minute's taken however
// late it comes. The list's name holds a backslash, which on Linux is part
// of a name like any other character: the copy still goes into its folder.
TEST(dropped_file, a_second_load_within_the_minute_keeps_the_first_copy_and_adds_2)
{
    const std::string dir = temp_dir();
    const std::string path = dir + "/alt\\liste.cxf";
    const list_file list = make_list(list_counts{});
    write_file(path, list.bytes);
    boxsim_process box;
    if (with_only_port(box.device(), {}).empty())
        GTEST_SKIP() << "no mount namespace for a port of the test's own";
    const dropped_load_run first = drop_for_load(box, path);
    ASSERT_EQ(first.r.exit_code, 0) << first.r.out;
    const std::string first_copy = named_safety_copy(first.r.out);
    ASSERT_EQ(first_copy.substr(0, dir.size() + 1), dir + "/") << first.r.out;
    const std::string first_bytes = read_file(first_copy);
    ASSERT_FALSE(first_bytes.empty());

    const std::time_t from = std::time(nullptr);
    for (const std::string& name : safety_copy_names(from, from + 120))
        if (!file_exists(dir + "/" + name))
            write_file(dir + "/" + name, "taken " + name);
    const dropped_load_run second = drop_for_load(box, path);
    ASSERT_EQ(second.r.exit_code, 0) << second.r.out;
    const std::string second_copy = named_safety_copy(second.r.out);
    const std::vector<std::string> names = safety_copy_names(from, second.ended, 2);
    ASSERT_EQ(second_copy.substr(0, dir.size() + 1), dir + "/") << second.r.out;
    EXPECT_NE(std::find(names.begin(), names.end(), second_copy.substr(dir.size() + 1)),
              names.end())
        << second_copy;
    // The box held the list of the first load: that is the second copy.
    EXPECT_TRUE(without_save_time(read_file(second_copy)) == without_save_time(list.bytes));
    EXPECT_TRUE(read_file(first_copy) == first_bytes);
    for (const std::string& name : safety_copy_names(from, from + 120)) {
        if (dir + "/" + name != first_copy) {
            EXPECT_EQ(read_file(dir + "/" + name), "taken " + name);
        }
    }
}

// A safety copy that fails ends the run before the load: the box's tables
// get no write request and no store, no copy is left, and the output says
// that the list was not loaded.
TEST(dropped_file, a_safety_copy_that_fails_stops_the_load_and_leaves_no_copy)
{
    const std::string dir = temp_dir();
    const std::string path = dir + "/liste.cxf";
    const list_file list = make_list(list_counts{});
    write_file(path, list.bytes);
    boxsim_process fresh;
    fresh.stop();
    const std::vector<std::string> old_tables = stored_tables(fresh);
    // A read request answered with a wrong CRC, one not answered at all.
    for (const char* fault : {"badcrc,*", "silent,500 1 2"}) {
        boxsim_process box({"--fault", fault});
        if (with_only_port(box.device(), {}).empty())
            GTEST_SKIP() << "no mount namespace for a port of the test's own";
        const run_result r = drop_for_load(box, path).r;
        ASSERT_FALSE(r.timed_out) << r.out;
        EXPECT_EQ(r.exit_code, 2) << fault;
        const std::string ending = msg::safety_copy_failed + msg::dropped_failed;
        ASSERT_GE(r.out.size(), ending.size()) << r.out;
        EXPECT_EQ(r.out.substr(r.out.size() - ending.size()), ending) << r.out;
        EXPECT_EQ(r.out.find(msg::echo("/dev/ttyUSB0", "l", path)), std::string::npos) << r.out;
        EXPECT_EQ(list_dir(dir), std::vector<std::string>{"liste.cxf"}) << fault;
        box.stop();
        const std::vector<std::string> commands = box.commands();
        EXPECT_FALSE(changes_the_box(commands)) << fault;
        EXPECT_EQ(std::count(commands.begin(), commands.end(), cmd::status), 1) << fault;
        EXPECT_TRUE(stored_tables(box) == old_tables) << fault;
    }
    EXPECT_EQ(read_file(path), list.bytes);
}

TEST(dropped_file, one_argument_of_another_kind_or_without_a_terminal_prints_the_usage)
{
    const std::string dir = temp_dir();
    write_file(dir + "/liste.cxf", make_list(list_counts{}).bytes);
    write_file(dir + "/notes.txt", "CXF1 and 010 but no list and no image");
    // A list from a script: standard input is no terminal.
    run_result piped = run_command(
        {"/bin/sh", "-c", std::string("exec '") + HALVORAN_BIN + "' liste.cxf </dev/null"}, "",
        60000, dir);
    EXPECT_EQ(piped.out, msg::banner + msg::usage);
    EXPECT_EQ(piped.exit_code, 0);
    // At a terminal: a file of another kind, a folder, a port. The port is
    // not opened.
    boxsim_process sim;
    for (const std::string& argument : {dir + "/notes.txt", dir, sim.device()}) {
        run_result r = run_on_terminal({HALVORAN_BIN, argument}, {{msg::prompt, "x"}});
        EXPECT_EQ(r.out, msg::banner + msg::usage) << argument;
        EXPECT_EQ(r.exit_code, 0) << argument;
    }
    EXPECT_EQ(sim.transcript().find("program opened the line"), std::string::npos);
}

// The decision behind the key wait at every ending on Windows, from the
// facts the console gives: the count of processes attached to it and
// whether standard input is that console.
TEST(console_window, only_a_console_of_the_runs_own_with_its_input_keeps_the_window_open)
{
    EXPECT_EQ(console_of_own_run(1, 1), 1); // started from the file manager
    EXPECT_EQ(console_of_own_run(2, 1), 0); // a prompt shares the console
    EXPECT_EQ(console_of_own_run(3, 1), 0); // a script under a prompt
    EXPECT_EQ(console_of_own_run(1, 0), 0); // input from a file or a pipe
    EXPECT_EQ(console_of_own_run(0, 1), 0); // no console at all
}

} // namespace

// QuickEdit off for the run, with the input mode's bits as wincon.h defines
// them, spelled out here: processed 0x0001, line 0x0002, echo 0x0004,
// window 0x0008, mouse 0x0010, insert 0x0020, QuickEdit 0x0040, extended
// flags 0x0080, auto position 0x0100.
TEST(console_window, quick_edit_is_off_for_the_run_and_back_afterwards)
{
    // A fresh console: everything on. The run drops QuickEdit alone, with
    // the extended flag that makes the change count.
    console_input_modes modes = console_input_modes_for_run(0x01F7);
    EXPECT_EQ(modes.run, 0x01B7ul);
    EXPECT_EQ(modes.restore, 0x01F7ul);
    // Already off (the user's choice): nothing changes, nothing to put back.
    modes = console_input_modes_for_run(0x01B7);
    EXPECT_EQ(modes.run, 0x01B7ul);
    EXPECT_EQ(modes.restore, 0x01B7ul);
    // Mouse input and window input off, insert off: all kept as found.
    modes = console_input_modes_for_run(0x00C7);
    EXPECT_EQ(modes.run, 0x0087ul);
    EXPECT_EQ(modes.restore, 0x00C7ul);
    // A mode set by another program without the extended flag reports no
    // insert and QuickEdit: the run sets the flag, keeps insert on, and
    // afterwards both are on again, the other bits as found.
    modes = console_input_modes_for_run(0x0007);
    EXPECT_EQ(modes.run, 0x00A7ul);
    EXPECT_EQ(modes.restore, 0x00E7ul);
    modes = console_input_modes_for_run(0x0117);
    EXPECT_EQ(modes.run, 0x01B7ul);
    EXPECT_EQ(modes.restore, 0x01F7ul);
}

// A line typed at the port question gets the console's line editing and
// echo, and QuickEdit stays off: the run's mode carries the extended flag.
TEST(console_window, a_typed_line_does_not_bring_quick_edit_back)
{
    EXPECT_EQ(console_line_mode(0x01B0), 0x01B7ul);
    EXPECT_EQ(console_line_mode(0x00A0), 0x00A7ul);
    EXPECT_EQ(console_line_mode(console_input_modes_for_run(0x01F0).run), 0x01B7ul);
}
