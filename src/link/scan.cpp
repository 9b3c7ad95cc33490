#include "link/scan.hpp"

#include <cstdarg>
#include <cstdint>

namespace {

bool is_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

const char* skip_blanks(const char* p)
{
    while (is_blank(*p))
        ++p;
    return p;
}

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

// Each parser returns the position after the field, or nullptr.
const char* parse_decimal(const char* p, int* out)
{
    p = skip_blanks(p);
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = *p++ == '-';
    if (*p < '0' || *p > '9')
        return nullptr;
    std::int64_t value = 0;
    while (*p >= '0' && *p <= '9') {
        value = value * 10 + (*p++ - '0');
        if (value > 2147483648LL)
            return nullptr;
    }
    if (negative)
        value = -value;
    if (value > 2147483647LL)
        return nullptr;
    *out = static_cast<int>(value);
    return p;
}

const char* parse_hex(const char* p, std::uint32_t* out)
{
    p = skip_blanks(p);
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && hex_digit(p[2]) >= 0)
        p += 2;
    if (hex_digit(*p) < 0)
        return nullptr;
    std::uint64_t value = 0;
    for (int d; (d = hex_digit(*p)) >= 0; ++p) {
        value = value * 16 + static_cast<unsigned>(d);
        if (value > 0xFFFFFFFFu)
            return nullptr;
    }
    *out = static_cast<std::uint32_t>(value);
    return p;
}

const char* parse_word(const char* p, char* out)
{
    p = skip_blanks(p);
    if (*p == '\0')
        return nullptr;
    std::size_t n = 0;
    while (*p != '\0' && !is_blank(*p)) {
        if (n + 1 < word_size)
            out[n++] = *p;
        ++p;
    }
    out[n] = '\0';
    return p;
}

} // namespace

int scan_line(const char* text, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    int fields = 0;
    const char* p = text;
    for (const char* f = format; *f != '\0'; ++f) {
        if (is_blank(*f)) {
            p = skip_blanks(p);
            continue;
        }
        if (*f != '%') {
            if (*p != *f)
                break;
            ++p;
            continue;
        }
        ++f;
        if (*f == 'l')
            ++f;
        const char* next = nullptr;
        if (*f == 'd')
            next = parse_decimal(p, va_arg(args, int*));
        else if (*f == 'x')
            next = parse_hex(p, va_arg(args, std::uint32_t*));
        else if (*f == 's')
            next = parse_word(p, va_arg(args, char*));
        if (next == nullptr)
            break;
        p = next;
        ++fields;
    }
    va_end(args);
    return fields;
}
