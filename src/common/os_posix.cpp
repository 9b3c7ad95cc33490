// POSIX backend of the operating-system services.
#include "common/os.hpp"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Name of the temporary file of a save in progress, for the interrupt
// handler. Written before the handler could need it, cleared after use.
char pending_temp[4096];
volatile std::sig_atomic_t pending_temp_set = 0;

int to_fd(file_t f) { return static_cast<int>(f); }

// The C library reads the time zone's rules from a file into heap memory
// the first time the local time is asked for. Loaded as the program starts,
// they are in place before the save asks for the time, so no job allocates
// memory on its way.
[[maybe_unused]] const bool time_zone_loaded = (tzset(), true);

} // namespace

local_time get_local_time()
{
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min};
}

file_t file_open_read(const char* path)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return no_file;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return no_file;
    }
    return fd;
}

file_t file_create_temp(const char* target, char* tmp_path, std::size_t tmp_capacity)
{
    // "<target>.<pid>.tmp" lies in the target's folder, so the final rename
    // stays within one file system and replaces the target in one step.
    for (int attempt = 0; attempt < 100; ++attempt) {
        int n = std::snprintf(tmp_path, tmp_capacity, "%s.%ld.%d.tmp", target,
                              static_cast<long>(getpid()), attempt);
        if (n < 0 || static_cast<std::size_t>(n) >= tmp_capacity ||
            static_cast<std::size_t>(n) >= sizeof pending_temp)
            return no_file;
        std::memcpy(pending_temp, tmp_path, static_cast<std::size_t>(n) + 1);
        pending_temp_set = 1;
        int fd = open(tmp_path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0)
            return fd;
        pending_temp_set = 0;
        if (errno != EEXIST)
            return no_file;
    }
    return no_file;
}

int file_read(file_t f, void* buffer, std::uint32_t n)
{
    auto* p = static_cast<unsigned char*>(buffer);
    std::uint32_t done = 0;
    while (done < n) {
        ssize_t r = read(to_fd(f), p + done, n - done);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return 0;
        done += static_cast<std::uint32_t>(r);
    }
    return 1;
}

int file_write(file_t f, const void* data, std::uint32_t n)
{
    const auto* p = static_cast<const unsigned char*>(data);
    std::uint32_t done = 0;
    while (done < n) {
        ssize_t r = write(to_fd(f), p + done, n - done);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return 0;
        done += static_cast<std::uint32_t>(r);
    }
    return 1;
}

int file_seek(file_t f, std::uint64_t position)
{
    return lseek(to_fd(f), static_cast<off_t>(position), SEEK_SET) >= 0 ? 1 : 0;
}

int file_size(file_t f, std::uint64_t* size)
{
    struct stat st {};
    if (fstat(to_fd(f), &st) != 0 || st.st_size < 0)
        return 0;
    *size = static_cast<std::uint64_t>(st.st_size);
    return 1;
}

void file_close(file_t f)
{
    if (f != no_file)
        close(to_fd(f));
}

int file_commit(file_t f, const char* tmp_path, const char* target)
{
    int ok = fsync(to_fd(f)) == 0;
    ok = (close(to_fd(f)) == 0) && ok;
    if (ok)
        ok = rename(tmp_path, target) == 0;
    if (!ok)
        unlink(tmp_path);
    pending_temp_set = 0;
    return ok ? 1 : 0;
}

void file_discard(file_t f, const char* tmp_path)
{
    file_close(f);
    unlink(tmp_path);
    pending_temp_set = 0;
}

void remove_pending_temp()
{
    if (pending_temp_set)
        unlink(pending_temp);
}
