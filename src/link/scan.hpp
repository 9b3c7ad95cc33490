// Bounded scanning of response lines.
//
// scan_line works like sscanf over a small set of conversions and returns
// how many fields it converted, stopping at the first that does not match:
//   %d   a decimal integer (optional sign) that fits an int       -> int*
//   %s   a word: a run of non-blank characters                     -> char[256]
//   %x   a hexadecimal integer (optional 0x) that fits 32 bits     -> std::uint32_t*
//   %lx  the same as %x                                            -> std::uint32_t*
// A blank in the format matches any run of blanks, none included; every
// conversion skips leading blanks; any other format character must match
// itself. Unlike sscanf, a number out of range is a mismatch instead of
// undefined behaviour, and a word never writes beyond word_size bytes (a
// longer word is cut; a response line is never longer anyway).
#pragma once

#include <cstddef>

inline constexpr std::size_t word_size = 256;

[[nodiscard]] int scan_line(const char* text, const char* format, ...);
