// Test data shared by the tests: records, channel lists, firmware images,
// the percentage display's prints, and the tables the simulated box stored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class boxsim_process;

// n bytes of records that differ with the seed and along the run.
std::string records(std::size_t n, unsigned seed);

// Little-endian 32-bit fields of a list file.
std::uint32_t u32_at(const std::string& bytes, std::size_t offset);
std::string le32(std::uint32_t value);

// The program's CRC-32 of a string.
std::uint32_t crc_of_string(const std::string& s);

// A channel list: the header the save writes (stamped 2026-01-02 03:04),
// then the sections. Record sizes: satellites 40, transponders 10, channels
// 32, favourites fav_size. The defaults are the simulator's default box.
struct list_counts {
    std::uint32_t sat = 20, tp = 100, tv = 300, radio = 100, fav = 200;
    std::uint32_t fav_size = 2;
    unsigned seed = 7;
};
struct list_file {
    std::string sat, tp, tv, radio, fav;
    std::string bytes; // the whole file
    std::string chan() const { return tv + radio; }
    // What a box holds after loading the list, in the order of box_tables.
    std::vector<std::string> tables() const { return {sat, tp, chan(), fav}; }
};
// Sections drawn per table: satellites seed + 2, transponders seed + 1, TV
// seed, radio seed + 5, favourites seed + 3.
list_file make_list(const list_counts& counts);
// The default box's list with its sections drawn in file order: satellites
// seed, transponders seed + 1, the channels as one run seed + 2, favourites
// seed + 3.
list_file default_list(unsigned seed);

// A firmware image with a good header ("010", two bytes the check ignores,
// "ZOVA") whose other bytes are not zero, so that a missing or wrong byte
// shows; cut to size when shorter than the header.
std::string make_image(std::size_t size);
// The same with the version text at bytes 9 to 19, padded with zero bytes
// (at most 11 characters; size at least 20).
std::string make_image(std::size_t size, const std::string& version);

// One print of the percentage display: done of total (an empty total is all
// done), then four backspaces.
std::string percent(std::uint64_t done, std::uint64_t total);
// The prints of table blocks of these lengths, one after each chunk of
// block_chunk_size bytes (an empty block prints once), counting from done.
std::string block_progress(const std::vector<std::uint32_t>& blocks, std::uint64_t total,
                           std::uint64_t done = 0);
// The prints of a firmware image of size bytes, sent in 256-byte blocks and a
// tail; a line feed follows a tail.
std::string image_progress(std::size_t size);
// Console output with the percentage prints taken out.
std::string without_progress(const std::string& text);
// The path a dropped list's load named for its safety copy in its output,
// as printed; empty when it named none.
std::string named_safety_copy(const std::string& out);

// The simulator's tables, in the order the list file holds them, and what the
// box stored of them (its state folder).
inline constexpr const char* box_tables[] = {"satellites", "transponders", "channels",
                                             "favourites"};
std::string stored_table(const boxsim_process& box, const std::string& name);
std::vector<std::string> stored_tables(const boxsim_process& box);
