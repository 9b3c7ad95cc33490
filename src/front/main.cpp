// halvoranupdate: services the box over a serial line, one job per run.
//
// Exit status: 0 when the job completed (and on the usage path), 1 when
// Ctrl+C, a termination signal or the closing of the console window ended
// the run, 2 when the port could not be opened, the connection check failed
// or the job failed, 3 when a verify completed and found a table of the box
// that differs from the file.
#include "channels/channel_list.hpp"
#include "common/os.hpp"
#include "common/texts.hpp"
#include "common/trace.hpp"
#include "firmware/firmware.hpp"
#include "front/console.hpp"
#include "link/ports.hpp"
#include "link/protocol.hpp"
#include "link/serial.hpp"

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

int key_prompt_ending()
{
    std::printf(msg::key_prompt);
    wait_key();
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

int failure_ending()
{
    close_serial();
    return key_prompt_ending();
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

    if (argc < 3) {
        std::printf(msg::usage);
        std::printf(msg::key_prompt);
        wait_key();
        return exit_done;
    }

    port = argv[1];
    filename = argv[2];
    if (argc > 3)
        sender_name = argv[3];
    std::printf(msg::parameters, port, filename, argc > 3 ? argv[3] : "");

    if (!open_serial(port)) {
        std::printf(msg::cannot_open_port, port);
        explain_port_failure();
        return key_prompt_ending();
    }
    if (!test_con())
        return failure_ending();

    if (std::strcmp(filename, "s") == 0) {
        int ok = get_channel_list(sender_name);
        close_serial();
        return ok ? exit_done : exit_failed;
    }
    if (std::strcmp(filename, "l") == 0) {
        int ok = send_channel_list(sender_name);
        close_serial();
        return ok ? exit_done : exit_failed;
    }
    if (std::strcmp(filename, "v") == 0) {
        verify_result result = verify_channel_list(sender_name);
        close_serial();
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
    if (!firmware_update(filename) || !reboot() || !wait_boot())
        return failure_ending();
    close_serial();
    return exit_done;
}

} // namespace

int main(int argc, char** argv) { return trace_exit(run(argc, argv)); }
