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
#include "common/os.hpp"
#include "common/texts.hpp"
#include "common/trace.hpp"
#include "front/console.hpp"
#include "front/job.hpp"
#include "link/ports.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

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

// A dropped list's load: first the box's own list into a safety copy next to
// the dropped file, said where before it is written; then the load.
int dropped_load(const char* port_name, const char* list)
{
    char copy[temp_path_capacity];
    if (!safety_copy_path(list, copy, sizeof copy)) {
        std::printf(msg::safety_copy_no_name);
        std::printf(msg::safety_copy_failed);
        return exit_failed;
    }
    std::printf(msg::safety_copy_where, copy);
    return run_load_with_safety_copy(port_name, list, copy);
}

// A dropped file's job, from the argument echo on as from the command line,
// then one line of its own that says how it ended, and the key prompt where
// the job's failure has one. The load alone ends with its percentage
// display, whose line is ended first.
int dropped_ending(const char* port_name, const char* job, const char* list)
{
    defer_key_prompt(1);
    const int status = list != nullptr && std::strcmp(job, "l") == 0
                           ? dropped_load(port_name, list)
                           : run_job(port_name, job, list);
    defer_key_prompt(0);
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
        if (take_owed_key_prompt())
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
    if (!key_prompt_waited() && console_is_own())
        key_prompt_wait();
    return status;
}

} // namespace

int main(int argc, char** argv) { return trace_exit(run_and_keep_window(argc, argv)); }
