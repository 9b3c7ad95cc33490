// Scripted misbehaviour of the box: each fault alters the box's reaction to the next matching
// command(s). Written on the command line as KIND,PREFIX[,COUNT[,ARG]].
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace boxsim {

enum class fault_kind {
    silent,      // the command is lost: no action, no answer (see box_model.hpp for blocks/images)
    garbage,     // answer the line "xx" instead, which scans as nothing the program expects
    cut,         // the normal response line without its line feed, nothing after it
    crlf,        // the response line ends in CR LF
    crin,        // a CR inside the response line
    reply,       // answer ARG instead of the normal response
    precede,     // the line ARG, then the normal response
    close,       // close the line instead of answering; the simulator ends
    badcrc,      // read request: announce a wrong CRC
    blocksilent, // read request: line, leading byte, half the block, then nothing
    badlen,      // read request: announce and send one record more than asked for
    reject,      // write request: refuse the following block with "910 1" whatever its CRC
    storefail,   // store request: answer "500 0 4 1"
    blockclose,  // read request: line, leading byte, half the block, then close the line
    hold,        // answer as usual, then hold the program's output until the file ARG exists
    stall,       // answer as usual; after ARG more bytes (default 0) take no more, for good
    hangup,      // answer as usual; after ARG more bytes (default 0) close the line
};

// What a received command is, as far as fault matching cares.
enum class command_class {
    other,
    read_request,
    write_request,
    store_request,
    block_announcement,
    image_end
};

inline constexpr std::string_view any_command = "*";
inline constexpr std::string_view image_prefix = "<image>";

struct fault {
    fault_kind kind = fault_kind::silent;
    std::string prefix;            // unescaped; "*" any command, "<image>" the end of an image
    int remaining = 1;             // commands still to hit; negative: every matching command
    std::string arg;               // unescaped bytes for reply and precede; hold: a path
    bool arg_no_newline = false;   // ARG ended in "\c": send it without a line feed
    std::uint64_t after_bytes = 0; // stall, hangup: bytes taken after the command first

    // Does this fault apply to a command with this text and class?
    bool matches(std::string_view command, command_class cls) const;
};

std::string_view kind_name(fault_kind kind);

// Parses "KIND,PREFIX[,COUNT[,ARG]]". COUNT is a positive number or "*" (always); empty means
// 1. PREFIX and ARG take C escapes (\xHH \r \n \t \0 \\, and \c at the end of ARG). ARG may
// contain commas. On failure returns nothing and sets error.
std::optional<fault> parse_fault(std::string_view text, std::string& error);

} // namespace boxsim
