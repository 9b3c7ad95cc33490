// Win32 backend of the port list: the COM names Windows knows.
#include "link/ports.hpp"

#include <windows.h>

namespace {

// COM numbers Windows hands out go up to 256.
constexpr int highest_com = 256;

} // namespace

int list_serial_ports(char* text, std::size_t size)
{
    if (size < sizeof ", ...")
        return 0;
    text[0] = '\0';
    std::size_t used = 0;
    int found = 0;
    bool cut = false;
    // Each name is asked for on its own: the device namespace as a whole
    // holds every volume and device interface and has no size limit, and
    // asking by number gives the numeric order (COM2 before COM10).
    for (int n = 1; n <= highest_com; ++n) {
        // wsprintfA would pull in user32.dll; the number is written here.
        char name[8] = "COM";
        int at = 3;
        if (n >= 100)
            name[at++] = static_cast<char>('0' + n / 100);
        if (n >= 10)
            name[at++] = static_cast<char>('0' + n / 10 % 10);
        name[at++] = static_cast<char>('0' + n % 10);
        name[at] = '\0';
        char target[512];
        if (QueryDosDeviceA(name, target, sizeof target) == 0 &&
            GetLastError() != ERROR_INSUFFICIENT_BUFFER)
            continue;
        ++found;
        if (cut || !port_list_append(text, size, &used, name))
            cut = true;
    }
    if (cut)
        port_list_cut(text, used);
    return found;
}
