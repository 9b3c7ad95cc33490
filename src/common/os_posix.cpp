// POSIX backend of the operating-system services.
#include "common/os.hpp"
#include "common/trace.hpp"
#include "common/write_all_posix.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
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

int file_is_plain(const char* path)
{
    struct stat st {};
    return stat(path, &st) == 0 && S_ISREG(st.st_mode) ? 1 : 0;
}

unsigned long os_backend::process_id() { return static_cast<unsigned long>(getpid()); }

// Links followed before a save gives up: the limit the kernel itself keeps
// for one path (a loop never ends otherwise).
constexpr int max_link_hops = 40;

int file_save_target(const char* path, char* target, std::size_t target_capacity)
{
    std::size_t length = std::strlen(path);
    if (length >= target_capacity)
        return 0;
    std::memcpy(target, path, length + 1);
    for (int hop = 0;; ++hop) {
        struct stat st {};
        if (lstat(target, &st) != 0)
            return errno == ENOENT ? 1 : 0; // a new file, or a link to one
        if (!S_ISLNK(st.st_mode))
            return S_ISREG(st.st_mode) && access(target, W_OK) == 0 ? 1 : 0;
        if (hop == max_link_hops)
            return 0;
        char link[temp_path_capacity];
        ssize_t n = readlink(target, link, sizeof link);
        if (n <= 0 || static_cast<std::size_t>(n) >= sizeof link)
            return 0;
        link[n] = '\0';
        // A relative link is read from the link's own folder.
        std::size_t folder = 0;
        if (link[0] != '/') {
            const char* slash = std::strrchr(target, '/');
            folder = slash != nullptr ? static_cast<std::size_t>(slash - target) + 1 : 0;
        }
        if (folder + static_cast<std::size_t>(n) >= target_capacity)
            return 0;
        std::memcpy(target + folder, link, static_cast<std::size_t>(n) + 1);
    }
}

file_t os_backend::create_new(const char* path, const char* target, bool* exists)
{
    // The target's permission bits, or for a new file what the umask leaves
    // of read and write for everybody. The umask applies at open() and may
    // take bits away: fchmod() sets them exactly. A failed fchmod() leaves
    // the narrower bits, which loses no data.
    struct stat st {};
    bool replaces = stat(target, &st) == 0 && S_ISREG(st.st_mode);
    mode_t mode = replaces ? (st.st_mode & 0777) : 0666;
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0)
        (void)trace_os_error("open"); // keeps errno
    *exists = fd < 0 && errno == EEXIST;
    if (fd >= 0 && replaces)
        (void)fchmod(fd, mode);
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
    return posix_write_all(to_fd(f), data, n);
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
    if (rename(from, to) != 0)
        return trace_os_error("rename");
    // The new name is an entry of the folder: only the folder's flush makes
    // it last through a power failure. The file is in place either way, so
    // a folder that cannot be flushed does not fail the save.
    char folder[temp_path_capacity] = ".";
    const char* slash = std::strrchr(to, '/');
    std::size_t length = 1;
    if (slash == to) {
        folder[0] = '/';
    } else if (slash != nullptr) {
        length = static_cast<std::size_t>(slash - to);
        if (length >= sizeof folder)
            return 1;
        std::memcpy(folder, to, length);
    }
    folder[length] = '\0';
    int fd = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 || fsync(fd) != 0)
        (void)trace_os_error("fsync of the folder");
    if (fd >= 0)
        close(fd);
    return 1;
}

void os_backend::remove(const char* path) { (void)unlink(path); }

std::size_t path_folder_length(const char* path)
{
    const char* slash = std::strrchr(path, '/');
    return slash != nullptr ? static_cast<std::size_t>(slash - path) + 1 : 0;
}
