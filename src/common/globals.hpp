// Shared state of the one run: the open serial device, the last response
// line and the progress counters, with the percentage display.
#pragma once

#include <cstddef>
#include <cstdint>

// Platform handle of the open serial device (a descriptor on POSIX, a HANDLE
// on Windows), or invalid_handle while no port is open.
inline constexpr std::intptr_t invalid_handle = -1;
extern std::intptr_t handle_com;

// The last response line: at most 255 characters, always zero-terminated,
// zero-filled before each line is read.
inline constexpr std::size_t linebuf_size = 256;
extern char linebuf[linebuf_size];

// Progress of the current job: total bytes and bytes done.
extern std::uint32_t balken_size;
extern std::uint32_t balken_ist;

// Prints the integer percentage of balken_ist over balken_size as
// "%3d%%\b\b\b\b", so that the next value overwrites it in place.
void display_pro();
