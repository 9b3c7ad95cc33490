// What the box keeps: its system version and its four tables, generated from a geometry and a
// seed, and kept in a state folder between runs of the simulator.
//
// State folder layout (all files written whole through a temporary file and a rename):
//   box.txt            key=value lines: version (escaped as in the transcript), seed,
//                      tv_slots, radio_slots, and "<table name>=<count> <record size>" per table
//   satellites.bin     stored records of table 2, count x size bytes
//   transponders.bin   table 1
//   channels.bin       table 0: TV slots first, then radio slots
//   favourites.bin     table 3 (empty on the older layout)
//   image.bin          the last firmware image the loader took, byte for byte
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace boxsim {

// Table ids as the 500 commands carry them.
inline constexpr int table_channels = 0;
inline constexpr int table_transponders = 1;
inline constexpr int table_satellites = 2;
inline constexpr int table_favourites = 3;
inline constexpr int table_kinds = 4;

// A channel record of this size marks the box's older layout: no favourites table and no
// TV/radio split query.
inline constexpr std::uint32_t old_layout_channel_size = 52;

inline constexpr std::string_view default_version = "1.00 (2025-11-03)";

struct table {
    std::uint32_t count = 0;
    std::uint32_t size = 0;
    std::vector<std::uint8_t> data; // count x size bytes
};

struct box_geometry {
    std::uint32_t satellites = 20;
    std::uint32_t transponders = 100;
    std::uint32_t tv = 300;
    std::uint32_t radio = 100;
    std::uint32_t favourites = 200;
    std::uint32_t sat_size = 40;
    std::uint32_t tp_size = 10;
    std::uint32_t chan_size = 32;
    std::uint32_t fav_size = 2;
    std::uint64_t seed = 1;
};

struct box_state {
    std::string version{default_version};
    std::uint64_t seed = 1;
    std::uint32_t tv_slots = 0;
    std::uint32_t radio_slots = 0;
    std::array<table, table_kinds> tables;

    bool old_layout() const { return tables[table_channels].size == old_layout_channel_size; }
    // Does the box know this table id at all?
    bool has_table(std::int64_t id) const
    {
        return id >= 0 && id < table_kinds && (id != table_favourites || !old_layout());
    }
};

std::string_view table_name(int id);

// Checks sizes and counts for sanity; returns an error text or nothing.
std::optional<std::string> check_geometry(const box_geometry& g);

// A fresh box with deterministic record contents.
box_state make_state(const box_geometry& g, std::string version);

// Deterministic contents of a table of n bytes. The first min(n, 256) bytes hold distinct
// values, so a table of 256 bytes or more contains every byte value; the bytes that serial
// lines and line readers treat specially (0x00, 0x0A, 0x0D, 0x11, 0x13) are always among them
// as far as the table is long enough.
std::vector<std::uint8_t> generate_bytes(std::uint64_t seed, int id, std::size_t n);

// The version a restarted box reports after taking this image, or nothing when the image's
// header is not one the loader recognises (shorter than 20 bytes, no "010" at byte 0 or no
// "ZOVA" at byte 5): the box then keeps its old system. The version is header bytes 9 to 19
// with trailing NUL bytes and blanks removed; "unknown" when that is empty or holds a byte
// that is not printable ASCII.
std::optional<std::string> version_from_image(const std::vector<std::uint8_t>& image);

// State folder. All of these throw std::runtime_error on I/O or format errors.
bool state_exists(const std::filesystem::path& dir);
box_state load_state(const std::filesystem::path& dir);
void save_state(const std::filesystem::path& dir, const box_state& state); // config and tables
void save_config(const std::filesystem::path& dir, const box_state& state);
void save_tables(const std::filesystem::path& dir, const box_state& state);
void save_image(const std::filesystem::path& dir, const std::vector<std::uint8_t>& image);

} // namespace boxsim
