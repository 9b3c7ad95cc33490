// Shared state of the one run: the open serial device, the last response
// line and the progress counters, with the percentage display. Each says
// who writes it and who reads it; nothing else is shared between files.
#pragma once

#include <cstddef>
#include <cstdint>

// Platform handle of the open serial device (a descriptor on POSIX, a HANDLE
// on Windows), or invalid_handle while no port is open. Written only by the
// serial backend (open_serial, close_serial); read by the backend's
// transfers.
inline constexpr std::intptr_t invalid_handle = -1;
extern std::intptr_t handle_com;

// The last response line: at most 255 characters, always zero-terminated,
// zero-filled before each line is read. Written only by readline(); read by
// the connection check and the firmware update (status lines), and copied
// out by get_cmd_buffer() for every other answer.
inline constexpr std::size_t linebuf_size = 256;
extern char linebuf[linebuf_size];

// The box's status line "999 OS <version>": the version text starts at a
// fixed position, and a '3' at another fixed position marks a box of
// another make. Both positions are the box's, not ours to choose.
inline constexpr std::size_t status_version_pos = 7;
inline constexpr std::size_t status_make_pos = 15;
inline constexpr char status_make_other = '3';
inline const char* status_version() { return linebuf + status_version_pos; }
inline bool status_other_make() { return linebuf[status_make_pos] == status_make_other; }

// Progress of the current job: total bytes and bytes done. Each job sets
// balken_size and clears balken_ist before its transfer; the block transfer
// and the firmware stream advance balken_ist; display_pro() reads both.
extern std::uint32_t balken_size;
extern std::uint32_t balken_ist;

// Prints the integer percentage of balken_ist over balken_size as
// "%3d%%\b\b\b\b", so that the next value overwrites it in place.
void display_pro();
