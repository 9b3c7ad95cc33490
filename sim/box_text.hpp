// Small text helpers shared by the box model, its state files and the command line.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace boxsim {

// Printable ASCII stays as it is, a backslash becomes "\\", every other byte "\xHH".
// The result is always one line of plain text.
std::string escape_bytes(std::string_view bytes);

// Reverses escape_bytes and also accepts \r, \n, \t, \0 and \c. "\c" is only allowed as the
// last escape and means "no line feed after this text"; it is reported through no_newline.
// Returns nothing for a malformed escape.
std::optional<std::string> unescape_bytes(std::string_view text, bool* no_newline = nullptr);

// Upper-case hexadecimal without leading zeros ("0" for zero).
std::string hex_upper(std::uint32_t value);

// Words separated by runs of blanks (space or tab).
std::vector<std::string_view> split_words(std::string_view line);

// A whole word as a signed decimal number.
std::optional<std::int64_t> parse_decimal(std::string_view word);

// A whole word "H<hex digits>" (either case of digits) of at most 32 bits.
std::optional<std::uint32_t> parse_h_hex(std::string_view word);

inline std::string_view as_text(std::span<const std::uint8_t> bytes)
{
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

} // namespace boxsim
