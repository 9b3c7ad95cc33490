// The fault matrix: the real program against the box simulator, for each job
// and each step of its exchange with the box, with each fault that can
// happen there. Every case checks the same promises: the run ends within the
// time its timeouts and pauses allow, prints what it owes at that point, ends
// the table transfer with "503 25" while the line is still open, ends with
// status 2 unless the fault is one the job rides out, leaves the list file
// and its folder as they were after a failure, and writes nothing into the
// box before the load has checked everything. A line that stops taking the
// program's output or hangs up mid-job also ends the run with the line that
// names the cause; how soon is the benchmark's to measure (bench/run.sh
// lost-line), these cases assert only that the run ends.
//
// Of the cases that wait out the 20 s boot timeout, one runs by default (the
// loader that never confirms the image); the others end through the same
// read and are skipped unless HALVORAN_SLOW_TESTS is set.
#include "channels/cxf_file.hpp"
#include "support/harness.hpp"
#include "support/test_data.hpp"
#include "support/texts.hpp"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <ostream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using strings = std::vector<std::string>;

enum class job { save, load, firmware };

struct fault_case {
    std::string name;
    job kind = job::save;
    strings faults;            // --fault arguments of the simulator
    std::string out;           // console output after the argument echo, percentages taken out
    bool succeeds = false;     // the job rides the fault out
    bool transfer = false;     // a channel-list job got as far as "503 18"
    bool line_closed = false;  // the box closed the line
    bool fav_saved = true;     // a successful save or load includes the favourites
    bool box_untouched = true; // a failed load left the box's stored tables as they were
    double waits = 0;          // seconds of timeouts and pauses the run must sit out
    bool slow = false;         // waits out a 20 s boot timeout
    strings commands;          // when given, every command the box must have received
    bool stalled = false;      // the line stopped taking the program's output
    bool timed = true;         // the run's time is checked against waits
    std::uint32_t tv = 300;    // TV slots of the box and TV channels of the load's list
    std::size_t image_size = 700;
};

void PrintTo(const fault_case& c, std::ostream* os) { *os << c.name; }

// Messages and the fixed parts of the output.
using msg::line_gone;
using msg::line_stalled;
using msg::no_connection;
using msg::no_fav;
using msg::prompt;
using msg::retry;
using msg::saving;
using msg::silent;
using msg::unwritable;
using msg::wrong_line;
const std::string& version = msg::old_version;
const std::string loading = msg::loading + msg::info_line;
const std::string streaming = msg::streaming + "\n" + msg::please_wait;
// The system the firmware cases' image names.
const std::string new_system = "2.18 b4800";
const std::string new_version = msg::new_version(new_system);

// Timeouts and pauses of the program and the simulator, in seconds.
constexpr double read_timeout = 1.0;
constexpr double boot_timeout = 20.0;
constexpr double check_pause = 0.2;
constexpr double transfer_pause = 1.0;
// The loader's quiet line that ends the image, the box's boot and the
// program's pause after the new version.
constexpr double update_pauses = 0.2 + 0.3 + 4.0;
// What a run may take beyond its waits, on a machine shared with other tests.
constexpr double slack = 2.5;

// The line faults every response can suffer.
const strings line_faults = {"silent", "garbage", "cut", "close"};

std::string fault_arg(const std::string& kind, const std::string& prefix,
                      const std::string& count = "1")
{
    return kind + "," + prefix + "," + count;
}

std::string ident(std::string s)
{
    for (char& c : s)
        if (!std::isalnum(static_cast<unsigned char>(c)))
            c = '_';
    return s;
}

// What a step prints and waits for an answer that fails in this way: a
// silent, cut or closed line or block is a read that found nothing, and a
// silent or cut one costs one read timeout; garbage, a wrong checksum and a
// refusal print nothing of their own.
std::string lost(const std::string& f)
{
    return f == "garbage" || f == "badcrc" || f == "reject" || f == "storefail" ? "" : silent;
}
double lost_wait(const std::string& f)
{
    return f == "silent" || f == "cut" || f == "blocksilent" ? read_timeout : 0;
}

// A channel-list job whose answer at step fails with fault f and ends it:
// before is printed ahead of the step, failure after what the lost answer
// printed.
fault_case lost_answer(job kind, const std::string& name, const std::string& step,
                       const std::string& f, const std::string& before,
                       const std::string& failure = wrong_line)
{
    fault_case c;
    c.name = name + "_" + f;
    c.kind = kind;
    c.faults = {fault_arg(f, step)};
    c.transfer = true;
    c.line_closed = f == "close" || f == "blockclose";
    c.out = version + before + lost(f) + failure + (c.line_closed ? unwritable + line_gone : "");
    c.waits = check_pause + transfer_pause + lost_wait(f);
    return c;
}

// A favourites query without a usable answer means a box without
// favourites: the job goes on without them, unless the line is gone. Its
// output goes on with next, and a finished job adds done.
void add_fav_query_cases(std::vector<fault_case>& cases, job kind, const std::string& before,
                         const std::string& next, const std::string& done)
{
    for (const std::string& f : line_faults) {
        const bool closed = f == "close";
        fault_case c =
            lost_answer(kind, kind == job::save ? "save_500_3_1" : "load_500_3_1", cmd::fav_info, f,
                        before, next + (closed ? unwritable + silent + wrong_line : done));
        c.succeeds = !closed;
        c.fav_saved = closed;
        cases.push_back(c);
    }
}

// The connection check, at the start of every job: the fault hits every
// attempt. A status line cut off before its line feed is judged as it
// stands, so that run goes on; its job output is then `job_ok`.
void add_check_cases(std::vector<fault_case>& cases, job kind, const std::string& name,
                     const std::string& job_ok, double job_waits)
{
    for (const std::string& f : line_faults) {
        fault_case c;
        c.name = "check_" + name + "_" + f;
        c.kind = kind;
        c.faults = {fault_arg(f, cmd::status, f == "close" ? "1" : "*")};
        if (f == "cut") {
            c.out = silent + version + job_ok;
            c.succeeds = true;
            c.transfer = kind != job::firmware;
            c.waits = read_timeout + check_pause + job_waits;
        } else if (f == "close") {
            // The first attempt finds the line gone; the others cannot write.
            c.out = silent + retry + unwritable + silent + retry + unwritable + silent + retry +
                    no_connection + line_gone + prompt;
            c.line_closed = true;
            c.commands = {cmd::status};
        } else {
            std::string attempt = (f == "silent" ? silent : "") + retry;
            c.out = attempt + attempt + attempt + no_connection + prompt;
            c.waits = f == "silent" ? 3 * read_timeout : 0;
            c.commands = {cmd::status, cmd::status, cmd::status};
        }
        cases.push_back(c);
    }
    // The loader answers the check (an update was cut off): only the
    // firmware job goes on; a list job ends before "503 18".
    fault_case c;
    c.name = "check_" + name + "_loader";
    c.kind = kind;
    c.faults = {fault_arg("reply", cmd::status, "*") + ",998 LOADER"};
    if (kind == job::firmware) {
        c.out = msg::in_loader + job_ok;
        c.succeeds = true;
        c.waits = check_pause + job_waits;
    } else {
        c.out = msg::in_loader + msg::list_needs_system;
        c.waits = check_pause;
        c.commands = {cmd::status};
    }
    cases.push_back(c);
}

// "503 18" is not answered by design: what the box sends is purged, and a
// silent box changes nothing. A line that is cut or does not scan must not
// reach the first query; a closed line fails the job at that query.
fault_case opening_case(job kind, const std::string& f, const std::string& ok,
                        const std::string& closed)
{
    fault_case c;
    c.name = std::string(kind == job::save ? "save" : "load") + "_503_18_" + f;
    c.kind = kind;
    c.faults = {fault_arg(f, cmd::open_transfer)};
    c.transfer = true;
    c.waits = check_pause + transfer_pause;
    if (f == "close") {
        c.out = version + closed + line_gone;
        c.line_closed = true;
    } else {
        c.out = version + ok;
        c.succeeds = true;
    }
    return c;
}

std::vector<fault_case> save_cases()
{
    std::vector<fault_case> cases;
    const std::string ok = saving + "\n";
    add_check_cases(cases, job::save, "save", ok, transfer_pause);
    for (const char* f : {"garbage", "cut", "close"})
        cases.push_back(
            opening_case(job::save, f, ok, unwritable + silent + msg::wrong_lined + unwritable));

    // The info queries, in the order they are sent.
    struct query {
        std::string command;
        std::string failure;
    };
    const query queries[] = {{cmd::sat_info, msg::wrong_lined},
                             {cmd::tp_info, wrong_line},
                             {cmd::chan_info, wrong_line},
                             {cmd::split_info, wrong_line}};
    for (const query& q : queries)
        for (const std::string& f : line_faults)
            cases.push_back(
                lost_answer(job::save, "save_" + ident(q.command), q.command, f, "", q.failure));
    add_fav_query_cases(cases, job::save, "", saving, "\n");

    // Each read request: its response line, and the block behind it. A wrong
    // checksum is no message of its own: the block is simply not
    // acknowledged, and the save ends.
    for (const char* request : {"500 2 2", "500 1 2", "500 0 2", "500 3 2"}) {
        for (const std::string& f : line_faults)
            cases.push_back(lost_answer(job::save, "save_" + ident(request), request, f, saving));
        for (const std::string f : {"badcrc", "blocksilent", "blockclose"})
            cases.push_back(
                lost_answer(job::save, "save_" + ident(request), request, f, saving, ""));
    }
    return cases;
}

// The load's file fits the simulator's default box exactly: no count is
// lowered. Its blocks are announced with these lengths.
struct block_step {
    const char* name;
    const char* write_request; // prefix of the write request
    const char* announcement;  // prefix of the block announcement
};
const block_step load_blocks[] = {
    {"sat", "500 2 3", "910 H320 "},    {"tp", "500 1 3", "910 H3E8 "},
    {"tv", "500 0 3 0 ", "910 H2580 "}, {"radio", "500 0 3 300 ", "910 HC80 "},
    {"fav", "500 3 3", "910 H190 "},
};

std::vector<fault_case> load_cases()
{
    std::vector<fault_case> cases;
    add_check_cases(cases, job::load, "load", loading, transfer_pause);
    for (const char* f : {"garbage", "cut", "close"})
        cases.push_back(opening_case(job::load, f, loading,
                                     loading + unwritable + silent + no_fav + unwritable + silent +
                                         wrong_line + unwritable));

    // Without a usable answer to the favourites query the box counts as one
    // without favourites: the list goes in without them.
    add_fav_query_cases(cases, job::load, loading, no_fav, "");
    for (const std::string& query : {cmd::sat_info, cmd::tp_info, cmd::chan_info, cmd::split_info})
        for (const std::string& f : line_faults)
            cases.push_back(lost_answer(job::load, "load_" + ident(query), query, f, loading));

    // Each table: the answer to its write request, then the box's
    // acknowledgement of its block (or a refusal of the block).
    for (const block_step& b : load_blocks) {
        for (const std::string& f : line_faults)
            cases.push_back(lost_answer(job::load, std::string("load_write_") + b.name,
                                        b.write_request, f, loading));
        for (const std::string f : {"silent", "garbage", "cut", "close", "reject"})
            cases.push_back(lost_answer(job::load, std::string("load_block_") + b.name,
                                        f == "reject" ? b.write_request : b.announcement, f,
                                        loading, f == "reject" ? msg::crc_error : wrong_line));
    }
    // The store request. The box may have stored before its answer went
    // wrong; the program cannot tell and reports the failure.
    for (const std::string f : {"silent", "garbage", "cut", "close", "storefail"}) {
        fault_case c = lost_answer(job::load, "load_store", "500 0 4", f, loading,
                                   f == "storefail" ? msg::store_error : wrong_line);
        c.box_untouched = f == "silent" || f == "storefail";
        cases.push_back(c);
    }
    return cases;
}

std::vector<fault_case> firmware_cases()
{
    std::vector<fault_case> cases;
    const std::string ok = streaming + new_version;
    add_check_cases(cases, job::firmware, "firmware", ok, update_pauses);

    // The loader request. A silent box gets the request once more and then
    // fails the update; a 998 line cut off by the timeout is the loader's
    // answer. A box whose answer comes garbled has entered its loader all
    // the same: the repeated request becomes a four-byte image there, which
    // the loader confirms with 998, and the update streams into a loader
    // that is done and fails after the boot timeout. Nothing on the line
    // tells this confirmation from the loader's first answer.
    for (const std::string& f : line_faults) {
        fault_case c;
        c.name = "firmware_902_" + f;
        c.kind = job::firmware;
        c.faults = {fault_arg(f, cmd::loader, f == "close" ? "1" : "*")};
        if (f == "cut") {
            c.out = version + silent + ok;
            c.succeeds = true;
            c.waits = check_pause + read_timeout + update_pauses;
            c.commands = {cmd::status, cmd::loader, cmd::restart};
        } else if (f == "close") {
            c.out = version + silent + unwritable + silent + line_gone + prompt;
            c.line_closed = true;
            c.waits = check_pause;
            c.commands = {cmd::status, cmd::loader};
        } else if (f == "garbage") {
            c.out = version + silent + streaming + silent + prompt;
            c.waits = check_pause + read_timeout + boot_timeout;
            c.slow = true;
        } else {
            c.out = version + silent + silent + prompt;
            c.waits = check_pause + 2 * read_timeout;
            c.commands = {cmd::status, cmd::loader, cmd::loader};
        }
        cases.push_back(c);
    }
    // The loader's confirmation of the image and the restarted box's status
    // line are awaited under the boot timeouts: anything but the line itself
    // ends the update after 20 s (a cut line is a failed read there).
    for (const std::string& step : {std::string("<image>"), cmd::restart}) {
        for (const std::string& f : line_faults) {
            fault_case c;
            c.name = "firmware_" + (step == cmd::restart ? step : std::string("image")) + "_" + f;
            c.kind = job::firmware;
            c.faults = {fault_arg(f, step)};
            c.line_closed = f == "close";
            c.out = version + streaming + silent + (c.line_closed ? line_gone : "") + prompt;
            // The loader confirms 0.2 s after the last image byte, the box
            // boots for 0.3 s; a boot timeout runs from the request.
            if (step == "<image>")
                c.waits = check_pause + (c.line_closed ? 0.2 : boot_timeout);
            else
                c.waits = check_pause + 0.2 + (c.line_closed ? 0.3 : boot_timeout);
            c.slow = !c.line_closed && !(step == "<image>" && f == "silent");
            // No restart is ordered before the loader confirmed the image.
            c.commands = {cmd::status, cmd::loader};
            if (step == cmd::restart)
                c.commands.push_back(cmd::restart);
            cases.push_back(c);
        }
    }
    return cases;
}

// A line that stops taking the program's output (a wedged adapter: the
// simulator stops the terminal's output and reads nothing more) or hangs up
// (an adapter pulled out: the simulator closes its side) at a chosen point
// of a job. The job stops talking to the box at once: no further chunk, no
// read that waits out its limit, no "503 25" on a stalled line, and the
// cause line follows the job's own message.
std::vector<fault_case> lost_line_cases()
{
    std::vector<fault_case> cases;
    auto add = [&](const std::string& name, job kind, const std::string& fault,
                   const std::string& out) {
        fault_case c;
        c.name = name;
        c.kind = kind;
        c.faults = {fault};
        c.out = version + out;
        c.transfer = kind != job::firmware;
        c.stalled = fault.rfind("stall,", 0) == 0;
        c.line_closed = !c.stalled;
        c.timed = false;
        cases.push_back(c);
        return &cases.back();
    };
    // The job's first write after the connection check: "503 18" or "902",
    // which the box never gets.
    add("stall_first_write_save", job::save, "stall,501,1,0",
        unwritable + unwritable + silent + msg::wrong_lined + unwritable + line_stalled)
        ->transfer = false;
    add("stall_first_write_load", job::load, "stall,501,1,0",
        unwritable + loading + unwritable + silent + no_fav + unwritable + silent + wrong_line +
            unwritable + line_stalled)
        ->transfer = false;
    add("stall_first_write_firmware", job::firmware, "stall,501,1,0",
        unwritable + silent + unwritable + silent + line_stalled + prompt);
    // Mid-block of the load's TV table, which goes out in five chunks: the
    // stall holds the third one, and no chunk follows it.
    add("stall_mid_tv_block", job::load, "stall,500 0 3 0 ,1,15000",
        loading + msg::com_error + silent + wrong_line + unwritable + line_stalled)
        ->tv = 1500;
    // Mid-image: the image is larger than the terminal takes ahead.
    add("stall_mid_image", job::firmware, "stall,902,1,3000",
        msg::streaming + msg::com_error + line_stalled + prompt)
        ->image_size = 100000;
    // Hang-ups. Mid-save the box's block is cut off by the hang-up (the
    // blockclose rows of the save); mid-load the box hangs up in the TV
    // block, whose bytes the terminal has already taken: the answer's read
    // finds the line gone.
    add("hangup_mid_load", job::load, "hangup,500 0 3 0 ,1,4000",
        loading + silent + wrong_line + unwritable + line_gone);
    add("hangup_mid_image", job::firmware, "hangup,902,1,3000",
        msg::streaming + msg::com_error + line_gone + prompt)
        ->image_size = 100000;
    // A box that holds the line after answering the first write request and
    // never lets go (the file never appears): the load ends on its own.
    fault_case* held = add("held_for_good_load", job::load, "hold,500 2 3,1,/nonexistent/never",
                           loading + unwritable + msg::com_error + silent + wrong_line +
                               unwritable + line_stalled);
    held->stalled = true;
    held->line_closed = false;
    return cases;
}

std::vector<fault_case> all_cases()
{
    std::vector<fault_case> cases = save_cases();
    for (auto more : {load_cases(), firmware_cases(), lost_line_cases()})
        cases.insert(cases.end(), more.begin(), more.end());
    return cases;
}

// Counts the cases run and skipped in this process and prints them at its end.
int cases_run = 0;
int cases_skipped = 0;

class fault_matrix_count : public ::testing::Environment {
  public:
    void TearDown() override
    {
        std::printf("fault matrix: %zu cases, %d run here, %d skipped (slow)\n", all_cases().size(),
                    cases_run, cases_skipped);
    }
};

// GoogleTest takes ownership of the environment.
const auto* const count_printer = ::testing::AddGlobalTestEnvironment(new fault_matrix_count);

// The commands the box received. A box that closed the line ends by itself
// and its transcript is then complete; otherwise the harness waits for the
// box to take in everything the program sent.
strings received(boxsim_process& box, bool line_closed)
{
    if (!line_closed)
        return box.commands();
    for (int i = 0; i < 500 && box.running(); ++i)
        usleep(10000);
    return transcript_commands(read_file(box.folder() + "/transcript.txt"));
}

bool is_write_request(const std::string& c)
{
    return c.size() > 6 && c.rfind("500 ", 0) == 0 && c[6] == '3';
}

class fault_matrix : public ::testing::TestWithParam<fault_case> {};

TEST_P(fault_matrix, the_run_ends_in_time_with_its_message_and_leaves_files_and_box_sound)
{
    const fault_case& c = GetParam();
    if (c.slow && std::getenv("HALVORAN_SLOW_TESTS") == nullptr) {
        ++cases_skipped;
        GTEST_SKIP() << "waits out a 20 s boot timeout; set HALVORAN_SLOW_TESTS=1 to run it";
    }
    ++cases_run;

    std::string dir = temp_dir();
    strings sim_args{"--boot-ms", "300"};
    for (const std::string& f : c.faults) {
        sim_args.push_back("--fault");
        sim_args.push_back(f);
    }
    if (c.tv != 300) {
        sim_args.push_back("--tv");
        sim_args.push_back(std::to_string(c.tv));
    }
    boxsim_process box(sim_args);
    const strings box_before = stored_tables(box);

    // What stood at the path before the run: the previous list of a save,
    // the list a load sends, the image of an update.
    list_file sections;
    std::string path, before;
    std::string mode;
    if (c.kind == job::save) {
        path = dir + "/senderl.cxf";
        before = "CXF2 the previous list";
        mode = "s";
    } else if (c.kind == job::load) {
        path = dir + "/senderl.cxf";
        list_counts counts;
        counts.tv = c.tv;
        sections = c.tv != 300 ? make_list(counts) : default_list(1);
        before = sections.bytes;
        mode = "l";
    } else {
        path = dir + "/update.zova";
        before = make_image(c.image_size, new_system);
        mode = path;
    }
    write_file(path, before);

    const strings args =
        c.kind == job::firmware ? strings{box.device(), path} : strings{box.device(), mode, path};
    run_result r = run_program(args, "", 60000);
    ASSERT_FALSE(r.timed_out) << r.out;

    // Time: at least the timeouts and pauses the case must sit out, and not
    // much more.
    if (c.timed) {
        EXPECT_GE(r.seconds, c.waits - 0.1);
        EXPECT_LT(r.seconds, c.waits + slack);
    }

    const std::string echo = msg::echo(args[0], args[1], args.size() > 2 ? args[2] : "");
    EXPECT_EQ(without_progress(r.out), msg::banner + echo + c.out);
    EXPECT_EQ(r.exit_code, c.succeeds ? 0 : 2);

    // The table transfer is closed last wherever it was opened and the
    // line is still there.
    const strings cmds = received(box, c.line_closed);
    const auto opened = std::find(cmds.begin(), cmds.end(), cmd::open_transfer);
    EXPECT_EQ(opened != cmds.end(), c.transfer);
    // A stalled line is not written to again: "503 25" cannot reach the box.
    if (c.stalled) {
        EXPECT_EQ(std::count(cmds.begin(), cmds.end(), cmd::close_transfer), 0);
    } else if (c.transfer && !c.line_closed) {
        ASSERT_FALSE(cmds.empty());
        EXPECT_EQ(cmds.back(), cmd::close_transfer);
        EXPECT_EQ(std::count(cmds.begin(), cmds.end(), cmd::close_transfer), 1);
    }

    // The folder holds what it held, nothing more.
    EXPECT_EQ(list_dir(dir), strings{path.substr(dir.size() + 1)});
    if (c.kind != job::save || !c.succeeds) {
        EXPECT_EQ(read_file(path), before);
    }

    // No write request before every query of the load was answered and
    // checked; then the box's stored tables tell what it took.
    const auto first_write = std::find_if(cmds.begin(), cmds.end(), is_write_request);
    if (c.kind == job::load && first_write != cmds.end()) {
        for (const std::string& query :
             {cmd::fav_info, cmd::sat_info, cmd::tp_info, cmd::chan_info, cmd::split_info})
            EXPECT_NE(std::find(cmds.begin(), first_write, query), first_write) << query;
    }
    if (c.kind != job::load) {
        EXPECT_EQ(first_write, cmds.end());
    }

    box.stop();
    const strings box_after = stored_tables(box);
    if (c.kind == job::load && c.succeeds) {
        EXPECT_EQ(box_after[0], sections.sat);
        EXPECT_EQ(box_after[1], sections.tp);
        EXPECT_EQ(box_after[2], sections.chan());
        EXPECT_EQ(box_after[3], c.fav_saved ? sections.fav : box_before[3]);
    } else if (c.box_untouched) {
        EXPECT_EQ(box_after, box_before);
    }

    if (c.kind == job::save && c.succeeds) {
        // The new list: the box's tables behind a header that announces the
        // favourites only when they were saved.
        std::string file = read_file(path);
        std::string expected_body =
            box_before[0] + box_before[1] + box_before[2] + (c.fav_saved ? box_before[3] : "");
        ASSERT_EQ(file.size(), cxf_header_size + expected_body.size());
        EXPECT_EQ(file.substr(cxf_header_size), expected_body);
        EXPECT_EQ(file.substr(72, 4) == "\x45\x58\x08\x01", c.fav_saved);
    }
    if (c.kind == job::firmware && c.succeeds) {
        // The loader took exactly the image, and nothing else.
        EXPECT_EQ(read_file(box.state_dir() + "/image.bin"), before);
        EXPECT_NE(read_file(box.state_dir() + "/box.txt").find(new_system), std::string::npos);
    }
    if (!c.commands.empty()) {
        EXPECT_EQ(cmds, c.commands);
    }
}

INSTANTIATE_TEST_SUITE_P(cases, fault_matrix, ::testing::ValuesIn(all_cases()),
                         [](const auto& info) { return info.param.name; });

} // namespace
