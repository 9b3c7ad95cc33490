// The box's tables as the channel-list jobs see them: the table ids, the
// queries for their size, the range requests, receiving a requested block,
// and the opening and closing of a table transfer. One treatment for the
// save, the load and the verify.
#pragma once

#include "channels/block.hpp"

#include <cstddef>
#include <cstdint>

// Table ids of the 500 commands.
inline constexpr int table_channels = 0;
inline constexpr int table_transponders = 1;
inline constexpr int table_satellites = 2;
inline constexpr int table_favourites = 3;

// Operations of a range request "500 <table> <op> <first> <last>".
inline constexpr int request_read = 2;
inline constexpr int request_write = 3;

// A table as the box reports it: how many records, of how many bytes.
struct box_table {
    std::uint32_t count = 0;
    std::uint32_t size = 0;
};

// Sends a command and reads its answer into answer (linebuf_size bytes).
// 0 when no complete answer came; the line reader has said so.
[[nodiscard]] int ask_box(const char* command, char* answer);

// Sends "500 <table> 1" and scans the answer "%s %s %s %d H%x" into *table.
// A missing answer, one that does not scan and a negative count all count
// as an answer that does not scan: 0, *table untouched. Prints nothing of
// its own.
[[nodiscard]] int query_info(int table, box_table* info);

// Sends "500 0 5" and scans the TV and radio slot counts, under the same
// rules.
[[nodiscard]] int query_split(std::uint32_t* tv_slots, std::uint32_t* radio_slots);

// Formats "500 <table> <op> <first> <last>" into out. The numbers are
// printed as they are, a last of -1 included (a read request for an empty
// table asks for "0 -1").
inline constexpr std::size_t request_capacity = 64;
void format_request(char (&out)[request_capacity], int table, int op, long long first,
                    long long last);

// Asks for the records 0 .. last of a table with a read request and reads
// the block's description "<word> H<length> H<crc> <n>". The block must be
// exactly (last + 1) x size bytes (computed in 64 bits), so that every byte
// lands where it belongs. Prints "wrong_line\n" or "Blocklaenge falsch\n"
// on failure; the block itself is then not read.
[[nodiscard]] int request_read_block(int table, long long last, std::uint32_t size,
                                     std::uint32_t* length, std::uint32_t* crc);

// Judges a block that has arrived whole: 1, and "911 0" sent, when its
// checksum is the announced one; 0 without a word otherwise, so that the
// box is never told a damaged block was taken.
[[nodiscard]] int accept_block(std::uint32_t length, std::uint32_t announced,
                               std::uint32_t computed);

// Receives the block whose description request_read_block has read, each
// chunk handed to take as it arrives, and judges it as accept_block does.
// When take refuses a chunk, prints refusal (a message with one %s) with
// path; a silent box has had its message printed by the receive.
[[nodiscard]] int receive_block(std::uint32_t length, std::uint32_t crc, chunk_taker take,
                                void* context, const char* refusal, const char* path);

// Opens a table transfer: "503 18", one second for the box to stop its own
// work on the tables, then whatever it answered is dropped.
void open_table_transfer();

// Closes it with "503 25". Every path of a job that opened a transfer ends
// here, so that the box never stays in its transfer mode.
void close_table_transfer();
