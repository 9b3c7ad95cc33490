// POSIX backend of the operating-system services.
#include "common/os.hpp"
#include "common/trace.hpp"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

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
    if (fd < 0) {
        (void)trace_os_error("open");
        return no_file;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return no_file;
    }
    return fd;
}

unsigned long os_backend::process_id() { return static_cast<unsigned long>(getpid()); }

file_t os_backend::create_new(const char* path, bool* exists)
{
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0)
        (void)trace_os_error("open");
    *exists = fd < 0 && errno == EEXIST;
    return fd >= 0 ? fd : no_file;
}

int file_read(file_t f, void* buffer, std::uint32_t n)
{
    auto* p = static_cast<unsigned char*>(buffer);
    std::uint32_t done = 0;
    while (done < n) {
        ssize_t r = read(to_fd(f), p + done, n - done);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return trace_os_error("read");
        if (r == 0)
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
        if (r < 0)
            return trace_os_error("write");
        if (r == 0)
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

int os_backend::flush_close(file_t f)
{
    int ok = fsync(to_fd(f)) == 0 ? 1 : trace_os_error("fsync");
    ok = (close(to_fd(f)) == 0 || trace_os_error("close")) && ok;
    return ok ? 1 : 0;
}

int os_backend::replace(const char* from, const char* to)
{
    return rename(from, to) == 0 ? 1 : trace_os_error("rename");
}

void os_backend::remove(const char* path) { (void)unlink(path); }
