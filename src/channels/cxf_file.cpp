#include "channels/cxf_file.hpp"

#include "common/texts.hpp"

#include <cstdio>
#include <cstring>

namespace {

// Longest info text the writer stores: the header content (36 bytes of
// fields, the text, 12 bytes of favourites extension) must end within 128.
constexpr std::uint32_t max_written_info_len = cxf_header_size - 36 - 12;

void put_u32(unsigned char* p, std::uint32_t value)
{
    p[0] = static_cast<unsigned char>(value);
    p[1] = static_cast<unsigned char>(value >> 8);
    p[2] = static_cast<unsigned char>(value >> 16);
    p[3] = static_cast<unsigned char>(value >> 24);
}

std::uint32_t get_u32(const unsigned char* p)
{
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

int read_u32(file_t file, std::uint32_t* value)
{
    unsigned char bytes[4];
    if (!file_read(file, bytes, sizeof bytes))
        return 0;
    *value = get_u32(bytes);
    return 1;
}

} // namespace

void build_file_header(std::array<unsigned char, cxf_header_size>& header, std::uint32_t sat_count,
                       std::uint32_t sat_size, std::uint32_t tp_count, std::uint32_t tp_size,
                       std::uint32_t tv_count, std::uint32_t radio_count, std::uint32_t chan_size,
                       std::uint32_t fav_count, const local_time& time)
{
    unsigned char* p = header.data();
    // The signature is four bytes of the header, not a string.
    // NOLINTNEXTLINE(bugprone-not-null-terminated-result)
    std::memcpy(p, cxf_signature, cxf_signature_size);

    std::uint32_t offset = cxf_header_size;
    put_u32(p + 4, offset);
    offset += sat_count * sat_size;
    put_u32(p + 8, offset);
    offset += tp_count * tp_size;
    put_u32(p + 12, offset);
    put_u32(p + 16, sat_count);
    put_u32(p + 20, tp_count);
    put_u32(p + 24, tv_count);
    put_u32(p + 28, radio_count);

    // The formatted text ends in three spaces; only its length rounded down
    // to a multiple of 4 is stored (36 of 37 characters with a 4-digit year).
    char text[96];
    int n = std::snprintf(text, sizeof text, "velto update %s %04d-%02d-%02d %02d:%02d   ", "1.02",
                          time.year, time.month, time.day, time.hour, time.minute);
    std::uint32_t info_len = n > 0 ? static_cast<std::uint32_t>(n) : 0;
    if (info_len > max_written_info_len)
        info_len = max_written_info_len;
    info_len &= ~3u;
    put_u32(p + 32, info_len);
    std::memcpy(p + 36, text, info_len);

    std::uint32_t end = 36 + info_len;
    if (fav_count != 0) {
        put_u32(p + end, cxf_fav_tag);
        offset += (tv_count + radio_count) * chan_size;
        put_u32(p + end + 4, offset);
        put_u32(p + end + 8, fav_count);
        end += 12;
    }
    std::memset(p + end, 0xFF, cxf_header_size - end);
}

int write_file_header(file_t file, std::uint32_t sat_count, std::uint32_t sat_size,
                      std::uint32_t tp_count, std::uint32_t tp_size, std::uint32_t tv_count,
                      std::uint32_t radio_count, std::uint32_t chan_size, std::uint32_t fav_count)
{
    std::array<unsigned char, cxf_header_size> header;
    build_file_header(header, sat_count, sat_size, tp_count, tp_size, tv_count, radio_count,
                      chan_size, fav_count, get_local_time());
    return file_write(file, header.data(), cxf_header_size);
}

int read_file_header(file_t file, const char* path, cxf_header* header)
{
    unsigned char signature[cxf_signature_size];
    if (!file_read(file, signature, sizeof signature) ||
        std::memcmp(signature, cxf_signature, cxf_signature_size) != 0) {
        std::printf(msg::file_format_wrong, path);
        return 0;
    }

    cxf_header h{};
    // cppcheck-suppress constVariable ; read_u32 writes through these pointers
    std::uint32_t* fields[] = {&h.sat_offset, &h.tp_offset, &h.chan_offset, &h.sat_count,
                               &h.tp_count,   &h.tv_count,  &h.radio_count, &h.info_len};
    for (std::uint32_t* field : fields) {
        if (!read_u32(file, field)) {
            std::printf(msg::file_format_wrong, path);
            return 0;
        }
    }
    if (h.info_len > cxf_max_info_len) {
        std::printf(msg::info_text_too_long, path);
        return 0;
    }

    // The text occupies its length rounded up to a multiple of 4; the pad
    // bytes are read along with it and then cut off.
    char text[cxf_max_info_len + 1 + 3];
    std::uint32_t padded = (h.info_len + 3) & ~3u;
    if (!file_read(file, text, padded)) {
        std::printf(msg::file_format_wrong, path);
        return 0;
    }
    text[h.info_len] = '\0';
    std::printf(msg::info_text, text);

    // Behind the text either the favourites tag or, in a file without
    // favourites, the 0xFF fill.
    std::uint32_t tag = 0;
    if (!read_u32(file, &tag) ||
        (tag == cxf_fav_tag && (!read_u32(file, &h.fav_offset) || !read_u32(file, &h.fav_count)))) {
        std::printf(msg::file_format_wrong, path);
        return 0;
    }
    *header = h;
    return 1;
}

int section_fits(std::uint64_t file_size, std::uint64_t offset, std::uint32_t count,
                 std::uint32_t record_size)
{
    if (offset > file_size)
        return 0;
    return static_cast<std::uint64_t>(count) * record_size <= file_size - offset ? 1 : 0;
}
