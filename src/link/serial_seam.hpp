// A serial line in memory, for the fuzz targets and for the tests that replay
// their inputs. The build that links serial_seam.cpp in place of the port
// backend (the library halvoran_core_seam) reads what the box sends from a
// caller's buffer and records what the program writes; its pauses take no
// time (pause_seam.cpp). The program itself never links it.
#pragma once

#include <cstddef>
#include <cstdint>

// Makes the size bytes at data everything the box will send, from the first
// byte on, and clears the record of written bytes. The bytes are not copied:
// they must stay in place while the program reads. A read past the end fails
// as a time-out does. The purge drops nothing: in this model every byte
// arrives at the moment the program reads it, so none is ever waiting.
void seam_line_start(const unsigned char* data, std::size_t size);

// What the program wrote since seam_line_start, in order. Only the first
// seam_record_size bytes are kept; seam_written_total counts them all.
inline constexpr std::size_t seam_record_size = 1 << 16;
const unsigned char* seam_written();
std::size_t seam_written_size();
std::uint64_t seam_written_total();
