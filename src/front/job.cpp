// One job from the argument echo on, for both front ends (job.hpp).
#include "front/job.hpp"

#include "channels/channel_list.hpp"
#include "channels/list_plan.hpp"
#include "common/os.hpp"
#include "common/texts.hpp"
#include "firmware/firmware.hpp"
#include "front/console.hpp"
#include "link/ports.hpp"
#include "link/protocol.hpp"
#include "link/serial.hpp"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

// The job's arguments, kept while it runs. Set by run_job and read only
// here: the jobs get what they need as arguments.
const char* port = "";
const char* filename = "";
const char* sender_name = "senderl.cxf";

// Set once the run has shown the key prompt and waited.
int key_waited = 0;

// Set while a dropped file's job runs: a failure that ends with the key
// prompt leaves it to the front end (prompt_owed), which first says how the
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

} // namespace

void key_prompt_wait()
{
    std::printf(msg::key_prompt);
    wait_key();
    key_waited = 1;
}

int key_prompt_waited() { return key_waited; }

void defer_key_prompt(int on)
{
    dropped_job = on;
    if (on)
        prompt_owed = 0;
}

int take_owed_key_prompt()
{
    const int owed = prompt_owed;
    prompt_owed = 0;
    return owed;
}

int run_job(const char* port_name, const char* job, const char* list)
{
    port = port_name;
    filename = job;
    sender_name = list != nullptr ? list : "senderl.cxf";
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

int run_load_with_safety_copy(const char* port_name, const char* list, const char* copy_path)
{
    const int saved = run_job(port_name, "s", copy_path);
    // A failed save leaves the claimed name empty: it goes, so that no copy
    // is left that holds nothing.
    file_claim_end(saved == exit_done ? 1 : 0);
    if (saved != exit_done) {
        std::printf(msg::safety_copy_failed);
        return saved;
    }
    return run_job(port_name, "l", list);
}

int safety_copy_path(const char* next_to, char* path, std::size_t capacity)
{
    const std::size_t folder = path_folder_length(next_to);
    if (folder >= capacity)
        return 0;
    const local_time t = get_local_time();
    for (int n = 1; n < 1000; ++n) {
        char suffix[8] = "";
        if (n > 1)
            (void)std::snprintf(suffix, sizeof suffix, "-%d", n); // always fits
        const int length = std::snprintf(
            path, capacity, "%.*ssenderl-sicherung-%04d-%02d-%02d-%02d%02d%s.cxf",
            static_cast<int>(folder), next_to, t.year, t.month, t.day, t.hour, t.minute, suffix);
        if (length < 0 || static_cast<std::size_t>(length) >= capacity)
            return 0;
        // The name is claimed by creating the file, so that a file there,
        // or one another run writes at the same time, is never replaced. A
        // folder that takes no file leaves the name unclaimed: the save
        // then fails on it with its own message.
        bool taken = false;
        if (file_claim_new(path, &taken) || !taken)
            return 1;
    }
    return 0;
}

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
