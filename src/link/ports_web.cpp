// Web backend of the port list: the one port the page's user picked in the
// browser's chooser, by the name the echo line shows for it.
#include "link/ports.hpp"

#include <emscripten.h>

// clang-format off
EM_JS(int, webserial_picked_label, (char* text, int capacity), {
    const s = globalThis.halvoranSerial || {};
    if (!s.port || !s.label) return 0;
    stringToUTF8(s.label, text, capacity);
    return 1;
});
// clang-format on

int list_serial_ports(char* text, std::size_t size)
{
    if (size == 0)
        return 0;
    text[0] = '\0';
    char label[128];
    if (!webserial_picked_label(label, sizeof label))
        return 0;
    std::size_t used = 0;
    return port_list_append(text, size, &used, label) ? 1 : 0;
}
