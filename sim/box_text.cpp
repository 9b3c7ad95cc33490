#include "box_text.hpp"

#include <charconv>

namespace boxsim {
namespace {

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

std::string escape_bytes(std::string_view bytes)
{
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size());
    for (char ch : bytes) {
        auto b = static_cast<unsigned char>(ch);
        if (b == '\\') {
            out += "\\\\";
        } else if (b >= 0x20 && b < 0x7F) {
            out += ch;
        } else {
            out += "\\x";
            out += digits[b >> 4];
            out += digits[b & 0x0F];
        }
    }
    return out;
}

std::optional<std::string> unescape_bytes(std::string_view text, bool* no_newline)
{
    std::string out;
    if (no_newline)
        *no_newline = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out += text[i];
            continue;
        }
        if (++i == text.size())
            return std::nullopt;
        switch (text[i]) {
        case '\\':
            out += '\\';
            break;
        case 'r':
            out += '\r';
            break;
        case 'n':
            out += '\n';
            break;
        case 't':
            out += '\t';
            break;
        case '0':
            out += '\0';
            break;
        case 'c':
            if (i + 1 != text.size() || !no_newline)
                return std::nullopt;
            *no_newline = true;
            break;
        case 'x': {
            if (i + 2 >= text.size())
                return std::nullopt;
            int hi = hex_digit(text[i + 1]);
            int lo = hex_digit(text[i + 2]);
            if (hi < 0 || lo < 0)
                return std::nullopt;
            out += static_cast<char>(hi * 16 + lo);
            i += 2;
            break;
        }
        default:
            return std::nullopt;
        }
    }
    return out;
}

std::string hex_upper(std::uint32_t value)
{
    char buf[16];
    auto res = std::to_chars(buf, buf + sizeof buf, value, 16);
    std::string out(buf, res.ptr);
    for (char& c : out)
        if (c >= 'a' && c <= 'f')
            c = static_cast<char>(c - 'a' + 'A');
    return out;
}

std::vector<std::string_view> split_words(std::string_view line)
{
    std::vector<std::string_view> words;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
            ++i;
        std::size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t')
            ++i;
        if (i > start)
            words.push_back(line.substr(start, i - start));
    }
    return words;
}

std::optional<std::int64_t> parse_decimal(std::string_view word)
{
    std::int64_t value = 0;
    auto res = std::from_chars(word.data(), word.data() + word.size(), value, 10);
    if (word.empty() || res.ec != std::errc{} || res.ptr != word.data() + word.size())
        return std::nullopt;
    return value;
}

std::optional<std::uint32_t> parse_h_hex(std::string_view word)
{
    if (word.size() < 2 || word.size() > 9 || word[0] != 'H')
        return std::nullopt;
    std::uint32_t value = 0;
    for (char c : word.substr(1)) {
        int d = hex_digit(c);
        if (d < 0)
            return std::nullopt;
        value = value * 16 + static_cast<std::uint32_t>(d);
    }
    return value;
}

} // namespace boxsim
