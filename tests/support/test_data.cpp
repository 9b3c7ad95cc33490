#include "support/test_data.hpp"

#include "channels/block.hpp"
#include "channels/cxf_file.hpp"
#include "support/harness.hpp"
#include "support/texts.hpp"

#include <algorithm>
#include <array>
#include <cstdio>

std::string records(std::size_t n, unsigned seed)
{
    std::string r(n, '\0');
    for (std::size_t i = 0; i < n; ++i)
        r[i] = static_cast<char>((i * 131 + seed * 17 + (i >> 8)) & 0xFF);
    return r;
}

std::uint32_t u32_at(const std::string& bytes, std::size_t offset)
{
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i)
        value = value << 8 | static_cast<unsigned char>(bytes.at(offset + i));
    return value;
}

std::string le32(std::uint32_t value)
{
    std::string bytes(4, '\0');
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
    return bytes;
}

std::uint32_t crc_of_string(const std::string& s)
{
    return crc_of(reinterpret_cast<const unsigned char*>(s.data()), s.size());
}

namespace {

std::string with_header(const list_counts& s, const list_file& f)
{
    std::array<unsigned char, cxf_header_size> h{};
    build_file_header(h, s.sat, 40, s.tp, 10, s.tv, s.radio, 32, s.fav,
                      local_time{2026, 1, 2, 3, 4});
    return std::string(h.begin(), h.end()) + f.sat + f.tp + f.tv + f.radio + f.fav;
}

} // namespace

list_file make_list(const list_counts& s)
{
    list_file f;
    f.sat = records(s.sat * 40u, s.seed + 2);
    f.tp = records(s.tp * 10u, s.seed + 1);
    f.tv = records(s.tv * 32u, s.seed);
    f.radio = records(s.radio * 32u, s.seed + 5);
    f.fav = records(s.fav * s.fav_size, s.seed + 3);
    f.bytes = with_header(s, f);
    return f;
}

list_file default_list(unsigned seed)
{
    const list_counts s;
    list_file f;
    f.sat = records(s.sat * 40u, seed);
    f.tp = records(s.tp * 10u, seed + 1);
    const std::string chan = records((s.tv + s.radio) * 32u, seed + 2);
    f.tv = chan.substr(0, s.tv * 32u);
    f.radio = chan.substr(s.tv * 32u);
    f.fav = records(s.fav * s.fav_size, seed + 3);
    f.bytes = with_header(s, f);
    return f;
}

std::string make_image(std::size_t size)
{
    std::string image(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        image[i] = static_cast<char>((i * 7 + 3) % 251);
    const std::string header = "010\xff\x80ZOVA";
    for (std::size_t i = 0; i < header.size() && i < size; ++i)
        image[i] = header[i];
    return image;
}

std::string make_image(std::size_t size, const std::string& version)
{
    std::string image = make_image(size);
    std::string field = version;
    field.resize(11, '\0');
    image.replace(9, 11, field);
    return image;
}

std::string percent(std::uint64_t done, std::uint64_t total)
{
    char s[32];
    std::snprintf(s, sizeof s, "%3u%%\b\b\b\b",
                  total == 0 ? 100u : static_cast<unsigned>(done * 100 / total));
    return s;
}

std::string block_progress(const std::vector<std::uint32_t>& blocks, std::uint64_t total,
                           std::uint64_t done)
{
    std::string out;
    for (std::uint32_t length : blocks) {
        std::uint32_t left = length;
        do {
            std::uint32_t chunk = left < block_chunk_size ? left : block_chunk_size;
            done += chunk;
            left -= chunk;
            out += percent(done, total);
        } while (left > 0);
    }
    return out;
}

std::string image_progress(std::size_t size)
{
    std::string out;
    std::size_t done = 0;
    while (done < size) {
        done += std::min<std::size_t>(256, size - done);
        out += percent(done, size);
    }
    if (size % 256 != 0)
        out += "\n";
    return out;
}

std::string named_safety_copy(const std::string& out)
{
    const std::string where = msg::safety_copy_where("");
    const auto at = out.find(where.substr(0, where.size() - 1));
    if (at == std::string::npos)
        return "";
    const auto from = at + where.size() - 1;
    const auto end = out.find_first_of("\r\n", from);
    return out.substr(from, (end == std::string::npos ? out.size() : end) - from);
}

std::string without_progress(const std::string& text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (i + 8 <= text.size() && text.compare(i + 3, 5, "%\b\b\b\b") == 0) {
            i += 7;
            continue;
        }
        out += text[i];
    }
    return out;
}

std::string stored_table(const boxsim_process& box, const std::string& name)
{
    return read_file(box.state_dir() + "/" + name + ".bin");
}

std::vector<std::string> stored_tables(const boxsim_process& box)
{
    std::vector<std::string> tables;
    for (const char* name : box_tables)
        tables.push_back(stored_table(box, name));
    return tables;
}
