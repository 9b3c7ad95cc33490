// halvoranupdate: services the box over a serial line, one job per run.
//
// Exit status: 0 when the job completed (and on the usage path), 1 when
// Ctrl+C, a termination signal or the closing of the console window ended
// the run or the user cancelled a dropped file's questions, 2 when the port
// could not be opened, the connection check failed, the job failed, a
// dropped list was refused or there was no port to choose, 3 when a verify
// completed and found a table of the box that differs from the file.
//
// A file dropped onto the program arrives as its only argument. A channel
// list or a firmware image, with a user at the console, is shown, a port is
// chosen and the job confirmed; then it runs as from the command line.
#include "channels/channel_list.hpp"
#include "channels/list_plan.hpp"
#include "common/os.hpp"
#include "common/texts.hpp"
#include "common/trace.hpp"
#include "firmware/firmware.hpp"
#include "front/console.hpp"
#include "link/ports.hpp"
#include "link/protocol.hpp"
#include "link/serial.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int exit_done = 0;
constexpr int exit_interrupted = 1;
constexpr int exit_failed = 2;
constexpr int exit_differs = 3;

// The command-line arguments, kept for the whole run. Set once by main()
// and read only here: the jobs get what they need as arguments.
const char* port = "";
const char* filename = "";
const char* sender_name = "senderl.cxf";

// Ctrl+C and the other ends of a run from outside (console.hpp). Only
// async-signal-safe work: put the terminal back, drop the partial file of a
// save, end at once. Nothing is sent to the box.
void end_interrupted()
{
    console_restore();
    remove_pending_temp();
    (void)trace_exit(exit_interrupted);
    std::_Exit(exit_interrupted);
}

// Set once the run has shown the key prompt and waited.
int key_waited = 0;

void key_prompt_wait()
{
    std::printf(msg::key_prompt);
    wait_key();
    key_waited = 1;
}

// Set while a dropped file's job runs: a failure that ends with the key
// prompt leaves it to dropped_ending (prompt_owed), which first says how the
// job ended.
int dropped_job = 0;
int prompt_owed = 0;

int key_prompt_ending()
{
    if (dropped_job)
        prompt_owed = 1;
    else
        key_prompt_wait();
    return exit_failed;
}

// After a port that would not open: why, and which ports there are.
void explain_port_failure()
{
    switch (open_serial_failure()) {
    case open_failure::missing:
        std::printf(msg::port_missing);
        break;
    case open_failure::permission:
        std::printf(msg::port_permission);
        break;
    case open_failure::busy:
        std::printf(msg::port_busy);
        break;
    case open_failure::not_serial:
        std::printf(msg::port_not_serial);
        break;
    case open_failure::setup:
        std::printf(msg::port_setup);
        break;
    case open_failure::other:
    case open_failure::none:
        std::printf(msg::port_other);
        break;
    }
    char ports[1024];
    if (list_serial_ports(ports, sizeof ports) > 0)
        std::printf(msg::ports_present, ports);
    else
        std::printf(msg::ports_none);
}

// After a job on a line that stopped taking data or went away: why, once,
// after the job's own message.
void explain_line()
{
    switch (serial_line_state()) {
    case line_state::stalled:
        std::printf(msg::line_stalled);
        break;
    case line_state::gone:
        std::printf(msg::line_gone);
        break;
    case line_state::ok:
        break;
    }
}

// Closes the port of a job that has ended; the cause comes first when the
// line is lost.
void end_job()
{
    explain_line();
    close_serial();
}

int failure_ending()
{
    end_job();
    return key_prompt_ending();
}

// The firmware job with its restart and the wait for the new version; 1 on
// success.
int firmware_job(const char* image)
{
    return firmware_update(image) && reboot() && wait_boot() ? 1 : 0;
}

// One job from the argument echo on: job is "s", "l", "v" or an image's
// path, list the list's path or nullptr for the default.
int run_job(const char* port_name, const char* job, const char* list)
{
    port = port_name;
    filename = job;
    if (list != nullptr)
        sender_name = list;
    std::printf(msg::parameters, port, filename, list != nullptr ? list : "");

    if (!open_serial(port)) {
        std::printf(msg::cannot_open_port, port);
        explain_port_failure();
        return key_prompt_ending();
    }
    const connection answered = test_con();
    if (answered == connection::none)
        return failure_ending();
    const bool list_job = std::strcmp(filename, "s") == 0 || std::strcmp(filename, "l") == 0 ||
                          std::strcmp(filename, "v") == 0;
    if (!job_may_run(answered, list_job)) {
        // A list job against the loader: nothing of the job is sent. It
        // ends as a failed list job does, without the key prompt.
        std::printf(msg::list_needs_system);
        close_serial();
        return exit_failed;
    }

    if (std::strcmp(filename, "s") == 0) {
        int ok = get_channel_list(sender_name);
        end_job();
        return ok ? exit_done : exit_failed;
    }
    if (std::strcmp(filename, "l") == 0) {
        int ok = send_channel_list(sender_name);
        end_job();
        return ok ? exit_done : exit_failed;
    }
    if (std::strcmp(filename, "v") == 0) {
        verify_result result = verify_channel_list(sender_name);
        end_job();
        switch (result) {
        case verify_result::same:
            return exit_done;
        case verify_result::differs:
            return exit_differs;
        case verify_result::failed:
            break;
        }
        return exit_failed;
    }
    if (!firmware_job(filename))
        return failure_ending();
    end_job();
    return exit_done;
}

enum class dropped_file { other, list, image };

// What a dropped file is, from its first bytes: a channel list by its
// signature or by its name (a damaged list then gets the load's refusal), a
// firmware image by the header its update checks. Only a plain file is
// opened.
dropped_file kind_of_dropped(const char* path)
{
    if (!file_is_plain(path))
        return dropped_file::other;
    file_t file = file_open_read(path);
    if (file == no_file)
        return dropped_file::other;
    unsigned char start[image_signature_size > cxf_signature_size ? image_signature_size
                                                                  : cxf_signature_size] = {};
    std::uint64_t size = 0;
    const int got =
        file_size(file, &size) &&
        file_read(file, start,
                  static_cast<std::uint32_t>(size < sizeof start ? size : sizeof start));
    file_close(file);
    if (!got)
        return dropped_file::other;
    if (std::memcmp(start, cxf_signature, cxf_signature_size) == 0)
        return dropped_file::list;
    if (image_header_ok(start))
        return dropped_file::image;
    // ".cxf" in any case.
    const std::size_t length = std::strlen(path);
    const char* extension = path + (length >= 4 ? length - 4 : length);
    if (length >= 4 && extension[0] == '.' && (extension[1] | 0x20) == 'c' &&
        (extension[2] | 0x20) == 'x' && (extension[3] | 0x20) == 'f')
        return dropped_file::list;
    return dropped_file::other;
}

// Shows what the dropped file is; 0 when it is a list the load refuses.
int show_dropped(const char* path, dropped_file kind)
{
    file_t file = no_file;
    int ok = 0;
    if (kind == dropped_file::list) {
        std::printf(msg::dropped_list, path);
        cxf_header h{};
        ok = open_list_file(path, &file, &h);
        if (ok)
            std::printf(msg::list_counts, h.sat_count, h.tp_count, h.tv_count, h.radio_count,
                        h.fav_count);
    } else {
        std::uint64_t size = 0;
        file = file_open_read(path);
        ok = file != no_file && file_size(file, &size);
        if (ok)
            std::printf(msg::dropped_image, path, static_cast<unsigned long long>(size));
        else
            std::printf(msg::cannot_open_file, path);
    }
    if (file != no_file)
        file_close(file);
    return ok;
}

// The number the user typed: 1 to count, surrounded by blanks at most;
// 0 for anything else.
int port_number(const char* answer, int count)
{
    while (*answer == ' ' || *answer == '\t')
        ++answer;
    int number = 0;
    int digits = 0;
    for (; *answer >= '0' && *answer <= '9'; ++answer) {
        if (++digits > 4)
            return 0;
        number = number * 10 + (*answer - '0');
    }
    while (*answer == ' ' || *answer == '\t')
        ++answer;
    return *answer == '\0' && number >= 1 && number <= count ? number : 0;
}

int cancelled()
{
    std::printf(msg::cancelled);
    return exit_interrupted;
}

// A dropped file's job, from the argument echo on as from the command line,
// then one line of its own that says how it ended, and the key prompt where
// the job's failure has one. The load alone ends with its percentage
// display, whose line is ended first.
int dropped_ending(const char* port_name, const char* job, const char* list)
{
    dropped_job = 1;
    const int status = run_job(port_name, job, list);
    dropped_job = 0;
    const bool load = list != nullptr && std::strcmp(job, "l") == 0;
    switch (status) {
    case exit_done:
        if (load)
            std::printf(msg::progress_ended);
        std::printf(list == nullptr ? msg::dropped_updated
                    : load          ? msg::dropped_loaded
                                    : msg::dropped_same);
        return status;
    case exit_differs:
        std::printf(msg::dropped_differs);
        return status;
    default:
        std::printf(msg::dropped_failed);
        if (prompt_owed)
            key_prompt_wait();
        return status;
    }
}

// A dropped list or image: what it is, the port, the job; then the job as
// from the command line. Nothing is opened or sent before the user said so.
int run_dropped(const char* path, dropped_file kind)
{
    if (!show_dropped(path, kind))
        return exit_failed;

    char ports[port_list_capacity];
    if (list_serial_ports(ports, sizeof ports) <= 0) {
        std::printf(msg::ports_none);
        return exit_failed;
    }
    char names[2][512];
    int count = 0;
    while (serial_port_entry(ports, count, names[0], names[1], sizeof names[0])) {
        ++count;
        std::printf(msg::port_choice, count, names[1]);
    }

    // Asked again until the answer is a port's number, or nothing.
    int chosen = 0;
    char answer[64];
    while (chosen == 0) {
        std::printf(msg::choose_port);
        if (!read_line(answer, sizeof answer) || answer[0] == '\0')
            return cancelled();
        chosen = port_number(answer, count);
    }
    char port_name[512];
    if (!serial_port_entry(ports, chosen - 1, port_name, names[1], sizeof port_name))
        return cancelled();

    std::printf(kind == dropped_file::list ? msg::choose_list_job : msg::confirm_image);
    const int key = read_key();
    std::printf(msg::key_answered);
    if (kind == dropped_file::image)
        return key == 'j' || key == 'J' ? dropped_ending(port_name, path, nullptr) : cancelled();
    if (key == 'l' || key == 'L')
        return dropped_ending(port_name, "l", path);
    if (key == 'v' || key == 'V')
        return dropped_ending(port_name, "v", path);
    return cancelled();
}

// The run from the first line printed to its exit status; main() adds the
// trace's last line.
int run(int argc, char** argv)
{
    install_interrupt_handlers(end_interrupted);
    console_setup();
    // HALVORAN_VERSION comes from the build (the project version, 1.04).
    std::printf(msg::banner, HALVORAN_VERSION);
    trace_start(HALVORAN_VERSION, argc, argv);
    console_trace_setup();

    if (argc == 2 && input_is_terminal()) {
        const dropped_file kind = kind_of_dropped(argv[1]);
        if (kind != dropped_file::other)
            return run_dropped(argv[1], kind);
    }
    if (argc < 3) {
        std::printf(msg::usage);
        key_prompt_wait();
        return exit_done;
    }
    return run_job(argv[1], argv[2], argc > 3 ? argv[3] : nullptr);
}

// A console window of the run's own closes with it: every ending waits for
// a key there, so that its last lines can be read.
int run_and_keep_window(int argc, char** argv)
{
    const int status = run(argc, argv);
    if (!key_waited && console_is_own())
        key_prompt_wait();
    return status;
}

} // namespace

int main(int argc, char** argv) { return trace_exit(run_and_keep_window(argc, argv)); }
