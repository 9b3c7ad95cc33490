// Fuzz target: response lines. The input's first byte picks a reader, the
// rest is what the box sends:
//   0  readline and get_cmd_buffer line by line, each line through every
//      scan the program makes of a response;
//   1  the connection check, then as 0;
//   2  the loader entry, the wait for the loader's confirmation and the wait
//      for the restarted box's status line.
#include "fuzz_support.hpp"

#include "common/globals.hpp"
#include "firmware/firmware.hpp"
#include "link/protocol.hpp"
#include "link/scan.hpp"
#include "link/serial.hpp"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

// A word buffer as the program's: word_size bytes, here pre-filled so that
// a missing terminator shows.
struct word_buffer {
    char text[word_size];
    void fill() { std::memset(text, 0x5A, sizeof text); }
    bool terminated() const { return std::memchr(text, '\0', sizeof text) != nullptr; }
};

void check_line()
{
    // A zero byte from the box is stored like any other, so the text may end
    // before the stored characters do; carriage returns and line feeds are
    // never stored, and the last byte always stays zero.
    fuzz_require(linebuf[linebuf_size - 1] == '\0', "linebuf not terminated");
    fuzz_require(std::memchr(linebuf, '\r', linebuf_size) == nullptr,
                 "a carriage return in linebuf");
    fuzz_require(std::memchr(linebuf, '\n', linebuf_size) == nullptr, "a line feed in linebuf");
}

const char* skip_blanks(const char* p)
{
    while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\v' || *p == '\f' || *p == '\r')
        ++p;
    return p;
}

// The number conversions against the C library's on the same text: they
// must agree wherever the value fits, and a sign never starts a hex number.
void compare_numbers(const char* text)
{
    int d = 0;
    int n = scan_line(text, "%d", &d);
    errno = 0;
    char* end = nullptr;
    long long ref = std::strtoll(text, &end, 10);
    bool fits = end != text && errno == 0 && ref >= INT_MIN && ref <= INT_MAX;
    fuzz_require(n == (fits ? 1 : 0), "\"%d\" takes what strtoll does not, or the reverse");
    fuzz_require(n == 0 || ref == d, "\"%d\" differs from strtoll");

    std::uint32_t x = 0;
    n = scan_line(text, "%x", &x);
    const char* p = skip_blanks(text);
    errno = 0;
    unsigned long long uref = std::strtoull(p, &end, 16);
    fits = *p != '+' && *p != '-' && end != p && errno == 0 && uref <= 0xFFFFFFFFu;
    fuzz_require(n == (fits ? 1 : 0), "\"%x\" takes what strtoull does not, or the reverse");
    fuzz_require(n == 0 || uref == x, "\"%x\" differs from strtoull");
}

// Every response format the program scans, on the line in text.
void scan_all(const char* text)
{
    compare_numbers(text);

    word_buffer w1, w2, w3, w4;
    int d1 = 0, d2 = 0;
    std::uint32_t x1 = 0, x2 = 0;

    w1.fill();
    int n = scan_line(text, "%d %s", &d1, w1.text);
    fuzz_require(n >= 0 && n <= 2, "\"%d %s\": field count");
    fuzz_require(n < 2 || (w1.terminated() && w1.text[0] != '\0'), "\"%d %s\": word");

    w1.fill(), w2.fill(), w3.fill();
    n = scan_line(text, "%s %s %s %d H%x", w1.text, w2.text, w3.text, &d1, &x1);
    fuzz_require(n >= 0 && n <= 5, "info format: field count");
    fuzz_require(n < 3 || w3.terminated(), "info format: word");

    w1.fill(), w2.fill(), w3.fill();
    n = scan_line(text, "%s %s %s %d %d", w1.text, w2.text, w3.text, &d1, &d2);
    fuzz_require(n >= 0 && n <= 5, "split format: field count");

    w1.fill();
    n = scan_line(text, "%s H%lx H%lx %d", w1.text, &x1, &x2, &d1);
    fuzz_require(n >= 0 && n <= 4, "block format: field count");
    fuzz_require(n < 1 || w1.terminated(), "block format: word");

    w1.fill(), w2.fill(), w3.fill(), w4.fill();
    n = scan_line(text, "%s %s %s %s", w1.text, w2.text, w3.text, w4.text);
    fuzz_require(n >= 0 && n <= 4, "four words: field count");
    fuzz_require(n < 4 || (w1.terminated() && w2.terminated() && w3.terminated() &&
                           w4.terminated() && w4.text[0] != '\0'),
                 "four words: word");
    if (n == 4) {
        const std::size_t total = std::strlen(w1.text) + std::strlen(w2.text) +
                                  std::strlen(w3.text) + std::strlen(w4.text);
        fuzz_require(total <= std::strlen(text), "four words longer than the line");
    }

    w1.fill(), w2.fill();
    n = scan_line(text, "%s %s", w1.text, w2.text);
    fuzz_require(n >= 0 && n <= 2, "two words: field count");
    fuzz_require(n < 2 || (w2.terminated() && w2.text[0] != '\0'), "two words: word");
}

void read_lines()
{
    // Every line read uses up at least one byte, so this ends with the input.
    for (int i = 0;; ++i) {
        if (i % 2 == 0) {
            int ok = readline();
            check_line();
            scan_all(linebuf);
            if (!ok)
                return;
        } else {
            char copy[linebuf_size];
            std::memset(copy, 0x5A, sizeof copy);
            int ok = get_cmd_buffer(copy);
            check_line();
            if (!ok) {
                for (char c : copy)
                    fuzz_require(c == 0x5A, "get_cmd_buffer changed its destination on failure");
                return;
            }
            fuzz_require(std::memcmp(copy, linebuf, linebuf_size) == 0,
                         "get_cmd_buffer copied another line");
            scan_all(copy);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/)
{
    fuzz_quiet();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    fuzz_open_line(data + 1, size - 1);
    switch (data[0] % 3) {
    case 0:
        read_lines();
        break;
    case 1:
        if (test_con() != connection::none)
            read_lines();
        break;
    default:
        if (enter_bootloader() && reboot())
            (void)wait_boot();
        check_line();
        break;
    }
    close_serial();
    return 0;
}
