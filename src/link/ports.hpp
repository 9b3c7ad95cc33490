// The serial ports present on this computer, named after a port that would
// not open so that the user sees which names there are. Nothing is opened or
// touched: the backends read what the system already knows (sysfs and
// /dev/serial/by-id on Linux, the COM device names on Windows).
#pragma once

#include <cstddef>

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
