// The serial ports present on this computer, named after a port that would
// not open so that the user sees which names there are. Nothing is opened or
// touched: the backends read what the system already knows (sysfs and
// /dev/serial/by-id on Linux, the COM device names on Windows).
#pragma once

#include <cstddef>
#include <cstring>

// Writes the ports as one line into text (size bytes including the
// terminating zero), in the order a user looks for them, for example
// "/dev/ttyUSB0 (/dev/serial/by-id/usb-...), /dev/ttyS0" or "COM3, COM12";
// a list that does not fit ends in ", ...". Returns the number of ports
// found; with none, text is empty.
[[nodiscard]] int list_serial_ports(char* text, std::size_t size);

// For the backends (ports_common.cpp). Appends ", " (after the first entry)
// and the entry, part followed by more, to the line of size bytes that holds
// *used characters, when they fit with room left for the ", ..." of a cut
// list; 1 when the entry went in, 0 when it did not fit.
[[nodiscard]] int port_list_append(char* text, std::size_t size, std::size_t* used,
                                   const char* part, const char* more = "");
// Ends a cut list with ", ..."; port_list_append left the room for it.
void port_list_cut(char* text, std::size_t used);

// The room list_serial_ports needs for every port that the backends report
// (64 Linux ports with their stable names, 256 COM names).
inline constexpr std::size_t port_list_capacity = 24576;

// The entry number index (from 0) of a list that list_serial_ports wrote:
// label as the list shows it ("/dev/ttyUSB0 (/dev/serial/by-id/...)",
// "COM3"), name what open_serial takes ("/dev/ttyUSB0", "COM3"). Neither
// kind of name holds ", " or " (", which separate them. Returns 0 when the
// list has no such entry (the ", ..." of a cut list is none) or a part does
// not fit its buffer (size bytes each, terminator included).
[[nodiscard]] inline int serial_port_entry(const char* list, int index, char* name, char* label,
                                           std::size_t size)
{
    const char* entry = list;
    for (int i = 0; i < index && entry != nullptr; ++i) {
        entry = std::strstr(entry, ", ");
        if (entry != nullptr)
            entry += 2;
    }
    if (entry == nullptr || *entry == '\0' || std::strncmp(entry, "...", 3) == 0)
        return 0;
    const char* end = std::strstr(entry, ", ");
    const std::size_t label_length =
        end != nullptr ? static_cast<std::size_t>(end - entry) : std::strlen(entry);
    const char* bracket = std::strstr(entry, " (");
    const std::size_t name_length = bracket != nullptr && bracket < entry + label_length
                                        ? static_cast<std::size_t>(bracket - entry)
                                        : label_length;
    if (label_length >= size)
        return 0;
    std::memcpy(label, entry, label_length);
    label[label_length] = '\0';
    std::memcpy(name, entry, name_length);
    name[name_length] = '\0';
    return 1;
}
