// The channel-list file: the header the save writes, byte for byte, and the
// header reader the load starts with, on files the save writes and on files
// from elsewhere.
#include "channels/cxf_file.hpp"
#include "common/os.hpp"
#include "support/capture.hpp"
#include "support/harness.hpp"
#include "support/test_data.hpp"
#include "support/texts.hpp"

#include <array>
#include <cstdint>
#include <cstdio>
#include <gtest/gtest.h>
#include <string>

namespace {

std::string header_string(const std::array<unsigned char, cxf_header_size>& header)
{
    return std::string(reinterpret_cast<const char*>(header.data()), header.size());
}

// 3 satellites of 40 bytes, 5 transponders of 10, 2 TV and 1 radio channel
// of 32, with and without 4 favourites.
std::string worked_example(std::uint32_t fav_count)
{
    std::array<unsigned char, cxf_header_size> header;
    header.fill(0);
    build_file_header(header, 3, 40, 5, 10, 2, 1, 32, fav_count, local_time{2025, 3, 7, 9, 5});
    return header_string(header);
}

TEST(cxf_header_writer, worked_example_with_favourites_byte_for_byte)
{
    std::string h = worked_example(4);
    ASSERT_EQ(h.size(), 128u);
    EXPECT_EQ(h.substr(0, 4), "CXF2");
    // sat_offset, tp_offset, chan_offset, the four counts, info_len.
    std::uint32_t fields[] = {128, 248, 298, 3, 5, 2, 1, 36};
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(u32_at(h, 4 + 4 * i), fields[i]) << "field at offset " << 4 + 4 * i;
    EXPECT_EQ(h.substr(4, 4), std::string("\x80\0\0\0", 4));
    // The formatted text without its last space: it ends in two spaces.
    EXPECT_EQ(h.substr(36, 36), "velto update 1.02 2025-03-07 09:05  ");
    EXPECT_EQ(h.substr(72, 4), "\x45\x58\x08\x01");
    // fav_offset counts TV + radio records behind chan_offset: 298 + 3 * 32.
    EXPECT_EQ(u32_at(h, 76), 394u);
    EXPECT_EQ(u32_at(h, 80), 4u);
    EXPECT_EQ(h.substr(84), std::string(44, '\xff'));
}

TEST(cxf_header_writer, without_favourites_the_fill_starts_behind_the_text)
{
    std::string h = worked_example(0);
    EXPECT_EQ(u32_at(h, 32), 36u);
    EXPECT_EQ(h.substr(72), std::string(56, '\xff'));
    // Otherwise the same header.
    EXPECT_EQ(h.substr(0, 72), worked_example(4).substr(0, 72));
}

TEST(cxf_header_writer, write_file_header_stamps_the_local_time_of_writing)
{
    std::string path = temp_dir() + "/list.cxf";
    char tmp[4096];
    local_time before = get_local_time();
    file_t f = file_create_temp(path.c_str(), tmp, sizeof tmp);
    ASSERT_NE(f, no_file);
    ASSERT_EQ(write_file_header(f, 3, 40, 5, 10, 2, 1, 32, 4), 1);
    local_time after = get_local_time();
    ASSERT_EQ(file_commit(f, tmp, path.c_str()), 1);

    std::string h = read_file(path);
    ASSERT_EQ(h.size(), 128u);
    std::string text = h.substr(36, 36);
    auto stamp = [](const local_time& t) {
        char s[64];
        std::snprintf(s, sizeof s, "velto update 1.02 %04d-%02d-%02d %02d:%02d  ", t.year, t.month,
                      t.day, t.hour, t.minute);
        return std::string(s);
    };
    EXPECT_TRUE(text == stamp(before) || text == stamp(after)) << text;
    std::string expected = worked_example(4);
    EXPECT_EQ(h.substr(0, 36), expected.substr(0, 36));
    EXPECT_EQ(h.substr(72), expected.substr(72));
}

// Header reading on files written here byte by byte.
class cxf_header_reader : public ::testing::Test {
  protected:
    void SetUp() override { dir = temp_dir(); }

    // Reads the header of a file with these bytes; output captured.
    int read_header(const std::string& bytes)
    {
        path = dir + "/list" + std::to_string(++files) + ".cxf";
        write_file(path, bytes);
        file_t f = file_open_read(path.c_str());
        EXPECT_NE(f, no_file);
        header = cxf_header{};
        int result =
            capture_stdout(out, [&] { return read_file_header(f, path.c_str(), &header); });
        file_close(f);
        return result;
    }

    // The fixed part: signature and the eight fields.
    static std::string fixed(std::uint32_t sat_offset, std::uint32_t info_len)
    {
        std::string s = "CXF2";
        for (std::uint32_t v : {sat_offset, 500u, 600u, 3u, 5u, 2u, 1u, info_len})
            s += le32(v);
        return s;
    }

    std::string dir, path, out;
    cxf_header header{};
    int files = 0;
};

TEST_F(cxf_header_reader, reads_back_what_the_writer_wrote)
{
    ASSERT_EQ(read_header(worked_example(4) + std::string(300, 'r')), 1);
    EXPECT_EQ(out, "Infotext: velto update 1.02 2025-03-07 09:05  \n");
    EXPECT_EQ(header.sat_offset, 128u);
    EXPECT_EQ(header.tp_offset, 248u);
    EXPECT_EQ(header.chan_offset, 298u);
    EXPECT_EQ(header.sat_count, 3u);
    EXPECT_EQ(header.tp_count, 5u);
    EXPECT_EQ(header.tv_count, 2u);
    EXPECT_EQ(header.radio_count, 1u);
    EXPECT_EQ(header.info_len, 36u);
    EXPECT_EQ(header.fav_offset, 394u);
    EXPECT_EQ(header.fav_count, 4u);

    ASSERT_EQ(read_header(worked_example(0)), 1);
    EXPECT_EQ(header.fav_count, 0u);
    EXPECT_EQ(header.fav_offset, 0u);
}

TEST_F(cxf_header_reader, an_odd_info_length_is_padded_to_four_before_the_tag)
{
    // 5 text bytes, 3 pad bytes, the tag at offset 44.
    std::string bytes = fixed(48, 5) + "hallo" + "PAD" + "\x45\x58\x08\x01" + le32(777) + le32(9) +
                        std::string(80, '\xff');
    ASSERT_EQ(read_header(bytes), 1);
    EXPECT_EQ(out, "Infotext: hallo\n");
    EXPECT_EQ(header.fav_offset, 777u);
    EXPECT_EQ(header.fav_count, 9u);
}

TEST_F(cxf_header_reader, a_file_states_its_own_offsets)
{
    // A header that is not 128 bytes long: sat_offset 48, no fill at all
    // but the 4 bytes where the tag would be.
    std::string bytes = fixed(48, 4) + "abcd" + le32(0xFFFFFFFF) + std::string(8, 's');
    ASSERT_EQ(read_header(bytes), 1);
    EXPECT_EQ(header.sat_offset, 48u);
    EXPECT_EQ(header.tp_offset, 500u);
    EXPECT_EQ(header.chan_offset, 600u);
    EXPECT_EQ(header.fav_count, 0u);
    // Anything but the exact tag means no favourites.
    ASSERT_EQ(read_header(fixed(48, 0) + "\x45\x58\x08\x02" + le32(777) + le32(9)), 1);
    EXPECT_EQ(header.fav_count, 0u);
    EXPECT_EQ(out, "Infotext: \n");
}

TEST_F(cxf_header_reader, an_info_text_stops_at_its_first_zero_byte_and_fills_the_work_buffer)
{
    ASSERT_EQ(read_header(fixed(128, 8) + std::string("ab\0cdefg", 8) + le32(0xFFFFFFFF)), 1);
    EXPECT_EQ(out, "Infotext: ab\n");
    // 255 characters with the terminator fill the 256-byte work buffer.
    std::string text(255, 't');
    ASSERT_EQ(read_header(fixed(128, 255) + text + "p" + le32(0xFFFFFFFF)), 1);
    EXPECT_EQ(out, "Infotext: " + text + "\n");
}

TEST_F(cxf_header_reader, refuses_files_that_are_no_channel_list_naming_them)
{
    std::string good = worked_example(4);
    std::string wrong_digit = good;
    wrong_digit[3] = '3';
    std::string lower = good;
    lower[0] = 'c';
    for (const std::string& bytes : {wrong_digit, lower, std::string(), std::string("CXF")}) {
        EXPECT_EQ(read_header(bytes), 0);
        EXPECT_EQ(out, msg::wrong_format(path));
    }
}

TEST_F(cxf_header_reader, refuses_a_header_cut_short_anywhere)
{
    std::string good = worked_example(4);
    // Inside the fields, inside the text, before the tag, inside fav_count.
    for (std::size_t cut : {4u, 35u, 40u, 72u, 83u}) {
        EXPECT_EQ(read_header(good.substr(0, cut)), 0) << "cut at " << cut;
        EXPECT_NE(out.find(msg::wrong_format(path)), std::string::npos) << "cut at " << cut;
    }
}

TEST_F(cxf_header_reader, refuses_an_info_text_longer_than_the_work_buffer)
{
    for (std::uint32_t info_len : {256u, 0xFFFFFFFFu}) {
        EXPECT_EQ(read_header(fixed(128, info_len) + std::string(300, 'x')), 0);
        EXPECT_EQ(out, msg::info_too_long(path));
    }
}

TEST(cxf_sections, a_section_must_end_within_the_file)
{
    // 3 records of 40 bytes from 128 need 248 bytes.
    EXPECT_EQ(section_fits(248, 128, 3, 40), 1);
    EXPECT_EQ(section_fits(247, 128, 3, 40), 0);
    // An empty section fits at the very end, not beyond it.
    EXPECT_EQ(section_fits(248, 248, 0, 32), 1);
    EXPECT_EQ(section_fits(248, 249, 0, 32), 0);
    // Products and sums that would wrap in 32 bits.
    EXPECT_EQ(section_fits(1000, 128, 0x08000000, 32), 0);
    EXPECT_EQ(section_fits(1000, 128, 0xFFFFFFFF, 0xFFFFFFFF), 0);
    EXPECT_EQ(section_fits(UINT64_MAX, UINT64_MAX, 0xFFFFFFFF, 0xFFFFFFFF), 0);
    EXPECT_EQ(section_fits(UINT64_MAX, 0xFFFFFFFFull, 0xFFFFFFFF, 0xFFFFFFFF), 1);
    // The radio records lie behind the TV records: an offset beyond 32 bits.
    EXPECT_EQ(section_fits(0x200000000ull, 0x100000000ull, 1, 32), 1);
}

} // namespace
