// The temporary file of a save, shared by the two backends: its name, and
// the record of the pending file that the interrupt handler removes.
#include "common/os.hpp"
#include "common/trace.hpp"

#include <csignal>
#include <cstdio>
#include <cstring>

namespace {

// Name of the temporary file of a save in progress, for the interrupt
// handler. Written before the handler could need it, cleared after use.
char pending_temp[temp_path_capacity];
volatile std::sig_atomic_t pending_temp_set = 0;

// The claimed file (file_claim_new) until its claim ends.
char claimed[temp_path_capacity];
volatile std::sig_atomic_t claimed_set = 0;

} // namespace

file_t file_create_temp(const char* target, char* tmp_path, std::size_t tmp_capacity)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        int n = std::snprintf(tmp_path, tmp_capacity, "%s.%lu.%d.tmp", target,
                              os_backend::process_id(), attempt);
        if (n < 0 || static_cast<std::size_t>(n) >= tmp_capacity ||
            static_cast<std::size_t>(n) >= sizeof pending_temp)
            return no_file;
        // Recorded before the file exists, so that an interrupt between the
        // two cannot leave it behind.
        std::memcpy(pending_temp, tmp_path, static_cast<std::size_t>(n) + 1);
        pending_temp_set = 1;
        bool exists = false;
        file_t f = os_backend::create_new(tmp_path, target, &exists);
        if (f != no_file) {
            trace_file("created", tmp_path);
            return f;
        }
        pending_temp_set = 0;
        if (!exists)
            return no_file;
    }
    return no_file;
}

int file_commit(file_t f, const char* tmp_path, const char* target)
{
    int ok = os_backend::flush_close(f);
    if (ok)
        ok = os_backend::replace(tmp_path, target);
    if (!ok)
        os_backend::remove(tmp_path);
    trace_file(ok ? "committed" : "not committed, removed", ok ? target : tmp_path);
    pending_temp_set = 0;
    return ok;
}

void file_discard(file_t f, const char* tmp_path)
{
    file_close(f);
    os_backend::remove(tmp_path);
    trace_file("discarded", tmp_path);
    pending_temp_set = 0;
}

int file_claim_new(const char* path, bool* taken)
{
    *taken = false;
    const std::size_t length = std::strlen(path);
    if (claimed_set || length >= sizeof claimed)
        return 0;
    // Marked as claimed only once created: an interrupt in between leaves
    // an empty file, where marking it first could remove another run's.
    std::memcpy(claimed, path, length + 1);
    bool exists = false;
    file_t f = os_backend::create_new(path, path, &exists);
    if (f == no_file) {
        *taken = exists;
        return 0;
    }
    claimed_set = 1;
    file_close(f);
    trace_file("claimed", path);
    return 1;
}

void file_claim_end(int keep)
{
    if (!claimed_set)
        return;
    claimed_set = 0;
    if (!keep) {
        os_backend::remove(claimed);
        trace_file("claim dropped, removed", claimed);
    }
}

void remove_pending_temp()
{
    if (pending_temp_set)
        os_backend::remove(pending_temp);
    if (claimed_set)
        os_backend::remove(claimed);
}
