// POSIX backend of the port list. On Linux the kernel describes its serial
// ports in sysfs: an entry of /sys/class/tty with a device behind it is a
// port of some hardware, and a UART port also tells its type, 0 when no UART
// answered at its address (the kernel makes ttyS nodes for ports that are
// not there). USB and modem adapters get their stable names in
// /dev/serial/by-id. Only these folders and small attribute files are read;
// no port is opened.
#include "link/ports.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifdef __linux__
#include <cstdint>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace {

#ifdef __linux__

constexpr int max_ports = 64;
constexpr std::size_t max_name = 32;
// No folder read here has more entries than this on any real system; the
// bound keeps a strange one from holding the program up.
constexpr int max_entries = 4096;

// Calls visit(name, context) for each entry of a folder, without the heap
// that opendir() takes. Returns 0 when the folder cannot be read.
template <typename Visit> int for_each_entry(const char* folder, Visit visit)
{
    int d = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (d < 0)
        return 0;
    alignas(8) char buffer[4096];
    int seen = 0;
    for (;;) {
        long got = syscall(SYS_getdents64, d, buffer, sizeof buffer);
        if (got <= 0)
            break;
        // Each record: 8 bytes inode, 8 bytes offset, 2 bytes length, 1 byte
        // type, then the zero-terminated name.
        for (long at = 0; at < got;) {
            std::uint16_t record = 0;
            std::memcpy(&record, buffer + at + 16, sizeof record);
            if (record == 0 || at + record > got)
                break;
            const char* name = buffer + at + 19;
            if (name[0] != '.' && ++seen <= max_entries)
                visit(name);
            at += record;
        }
        if (seen > max_entries)
            break;
    }
    close(d);
    return 1;
}

// Reads a small attribute file; returns its value as a number, or -1.
long attribute_value(const char* path)
{
    int d = open(path, O_RDONLY | O_CLOEXEC);
    if (d < 0)
        return -1;
    char text[32];
    ssize_t got = read(d, text, sizeof text - 1);
    close(d);
    if (got <= 0)
        return -1;
    text[got] = '\0';
    return std::strtol(text, nullptr, 0);
}

bool is_present_port(const char* name)
{
    if (std::strlen(name) >= max_name)
        return false;
    char path[96];
    struct stat info {};
    // Consoles, pseudo-terminals and the virtual terminals have no device.
    std::snprintf(path, sizeof path, "/sys/class/tty/%s/device", name);
    if (stat(path, &info) != 0)
        return false;
    // A UART port of type 0 (unknown) has no UART behind it.
    std::snprintf(path, sizeof path, "/sys/class/tty/%s/type", name);
    if (attribute_value(path) == 0)
        return false;
    std::snprintf(path, sizeof path, "/dev/%s", name);
    return stat(path, &info) == 0 && S_ISCHR(info.st_mode);
}

// Sort key: USB adapters first, then modem adapters, other hardware, and the
// built-in ports last; within a kind by number (ttyS2 before ttyS10).
int kind_of(const char* name)
{
    if (std::strncmp(name, "ttyUSB", 6) == 0)
        return 0;
    if (std::strncmp(name, "ttyACM", 6) == 0)
        return 1;
    if (std::strncmp(name, "ttyS", 4) == 0 && name[4] >= '0' && name[4] <= '9')
        return 3;
    return 2;
}

bool goes_before(const char* a, const char* b)
{
    if (kind_of(a) != kind_of(b))
        return kind_of(a) < kind_of(b);
    std::size_t stem_a = std::strcspn(a, "0123456789");
    std::size_t stem_b = std::strcspn(b, "0123456789");
    int stems = std::strncmp(a, b, stem_a < stem_b ? stem_b : stem_a);
    if (stem_a != stem_b || stems != 0)
        return stems < 0;
    long number_a = std::strtol(a + stem_a, nullptr, 10);
    long number_b = std::strtol(b + stem_b, nullptr, 10);
    if (number_a != number_b)
        return number_a < number_b;
    return std::strcmp(a, b) < 0;
}

#endif

} // namespace

int list_serial_ports(char* text, std::size_t size)
{
    if (size < sizeof ", ...")
        return 0;
    text[0] = '\0';
#ifdef __linux__
    char names[max_ports][max_name];
    int found = 0;
    bool more = false;
    (void)for_each_entry("/sys/class/tty", [&](const char* name) {
        if (!is_present_port(name))
            return;
        if (found == max_ports) {
            more = true;
            return;
        }
        // Insertion in order.
        int at = found++;
        while (at > 0 && goes_before(name, names[at - 1])) {
            std::memcpy(names[at], names[at - 1], max_name);
            --at;
        }
        std::snprintf(names[at], max_name, "%.*s", static_cast<int>(max_name - 1), name);
    });

    std::size_t used = 0;
    bool cut = more;
    for (int i = 0; i < found && !cut; ++i) {
        char device[max_name + 8];
        std::snprintf(device, sizeof device, "/dev/%.*s", static_cast<int>(max_name - 1), names[i]);
        // The stable name, where the system made one: a link in
        // /dev/serial/by-id whose target ends in this port's name.
        char stable[304] = "";
        (void)for_each_entry("/dev/serial/by-id", [&](const char* entry) {
            char link[300], target[128];
            if (stable[0] != '\0' || std::snprintf(link, sizeof link, "/dev/serial/by-id/%.*s", 255,
                                                   entry) >= static_cast<int>(sizeof link))
                return;
            ssize_t length = readlink(link, target, sizeof target - 1);
            if (length <= 0)
                return;
            target[length] = '\0';
            const char* last = std::strrchr(target, '/');
            if (std::strcmp(last != nullptr ? last + 1 : target, names[i]) == 0)
                std::snprintf(stable, sizeof stable, " (%s)", link);
        });
        if (!port_list_append(text, size, &used, device, stable))
            cut = true;
    }
    if (cut)
        port_list_cut(text, used);
    return found;
#else
    return 0;
#endif
}
