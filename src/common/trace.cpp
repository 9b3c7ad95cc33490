// The trace's events, formatted the same on every platform (see trace.hpp).
//
// Line formats, after "<ms> ":
//   start halvoranupdate <version> <date> <time> pid <n> args <count> "<arg>"...
//   port <name> opened <settings read back>            (trace_posix.cpp / trace_win32.cpp)
//   profile <name> total <ms|none> gap <ms|none>
//   limit moved out <ms> ms total <ms>
//     the first read that starts before the line has carried what was
//     written: its total limit runs that much longer, to the total from the
//     line's own time (reads after it, to the same moment, add no line)
//   > <command>
//   < +<ms since the command> <response line, escaped, with its \r and \n>
//   timeout <what> after +<ms since the command> profile <name> total <ms> gap <ms>
//   purge <n> bytes waiting                                  (backends)
//   pause <ms> ms
//   block <event> length <n>[ crc <announced> computed <computed> <ok|mismatch>]
//   block sent length <n> began <ms> clear <ms>
//     a block to the box: the line's own time is when its writes and the
//     drain returned, began when its first write began, clear when the line
//     will have carried its last byte at 115200 baud; the limit for the
//     box's answer starts at the later of the line's own time and clear
//   file <event> <path>
//   console input mode 0x<found> set 0x<set> | console input none
//   console output code page <found> set <set> ansi <cp> | console output none ansi <cp>
//   os error <call>: <number> <text>                         (backends)
//   exit <status>
// Escaped text: printable ASCII as is, a backslash as \\, CR and LF as \r
// and \n, every other byte as \xNN.
#include "common/trace.hpp"

#include "common/os.hpp"
#include "common/texts.hpp"

#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Read by the interrupt handler (trace_exit).
volatile std::sig_atomic_t enabled = 0;

// Time of the last command sent, for the answer's delay.
long long command_ms = 0;

// The read-timeout profile in force.
const char* profile_name = "open";
int profile_total_ms = -1;
int profile_interval_ms = -1;

// The moment the last "limit moved out" line moved a read's limit to.
std::int64_t limit_moment = -1;

// The response line being read, as the bytes came. A line is at most 255
// characters to the program; what goes beyond the buffer is only counted.
constexpr std::size_t rx_capacity = 320;
unsigned char rx[rx_capacity];
std::size_t rx_count = 0;
std::uint64_t rx_dropped = 0;

// A line: the time stamp, the event and the longest escaped text (a path of
// up to 4200 bytes is cut, marked with "...").
constexpr std::size_t line_capacity = 2560;
constexpr std::size_t text_capacity = 2048;

const char* limit_text(int ms, char (&out)[16])
{
    if (ms < 0)
        return "none";
    std::snprintf(out, sizeof out, "%d", ms);
    return out;
}

// Escapes the zero-terminated text into out (see trace_escape).
std::size_t escape_text(char* out, std::size_t capacity, const char* text)
{
    return trace_escape(out, capacity, reinterpret_cast<const unsigned char*>(text),
                        std::strlen(text));
}

void write_rx_line()
{
    char text[text_capacity];
    trace_escape(text, sizeof text, rx, rx_count);
    if (rx_dropped != 0)
        trace_line("< +%lld %s (+%llu bytes)", trace_backend::now_ms() - command_ms, text,
                   static_cast<unsigned long long>(rx_dropped));
    else
        trace_line("< +%lld %s", trace_backend::now_ms() - command_ms, text);
    rx_count = 0;
    rx_dropped = 0;
}

} // namespace

bool trace_enabled() { return enabled != 0; }

std::size_t trace_escape(char* out, std::size_t capacity, const unsigned char* data, std::size_t n)
{
    static const char hex[] = "0123456789ABCDEF";
    std::size_t used = 0;
    for (std::size_t i = 0; i < n; ++i) {
        char piece[4];
        std::size_t len = 0;
        const unsigned char c = data[i];
        if (c == '\\') {
            piece[0] = piece[1] = '\\';
            len = 2;
        } else if (c == '\r' || c == '\n') {
            piece[0] = '\\';
            piece[1] = c == '\r' ? 'r' : 'n';
            len = 2;
        } else if (c >= 0x20 && c < 0x7F) {
            piece[0] = static_cast<char>(c);
            len = 1;
        } else {
            piece[0] = '\\';
            piece[1] = 'x';
            piece[2] = hex[c >> 4];
            piece[3] = hex[c & 0xF];
            len = 4;
        }
        // Room for the piece, the "..." of a cut text and the terminator.
        // Every piece so far left that room, so the "..." always fits.
        if (used + len + 4 > capacity) {
            if (used + 4 <= capacity) {
                out[used++] = '.';
                out[used++] = '.';
                out[used++] = '.';
            }
            break;
        }
        for (std::size_t k = 0; k < len; ++k)
            out[used++] = piece[k];
    }
    if (capacity != 0)
        out[used < capacity ? used : capacity - 1] = '\0';
    return used;
}

void trace_line(const char* format, ...)
{
    if (!enabled)
        return;
    char line[line_capacity];
    int n = std::snprintf(line, sizeof line, "%lld ", trace_backend::now_ms());
    if (n < 0)
        return;
    std::size_t used = static_cast<std::size_t>(n);
    va_list args;
    va_start(args, format);
    int m = std::vsnprintf(line + used, sizeof line - used, format, args);
    va_end(args);
    if (m < 0)
        return;
    used += static_cast<std::size_t>(m);
    // A cut line keeps its line feed: one event, one line.
    if (used > sizeof line - 1)
        used = sizeof line - 1;
    line[used++] = '\n';
    trace_backend::write(line, used);
}

void trace_start(const char* version, int argc, char** argv)
{
    const char* path = std::getenv("HALVORAN_TRACE");
    if (path == nullptr || *path == '\0')
        return;
    if (!trace_backend::open(path)) {
        std::printf(msg::trace_unavailable, path);
        return;
    }
    (void)trace_backend::now_ms(); // the clock starts here
    enabled = 1;

    char args[text_capacity];
    std::size_t used = 0;
    for (int i = 1; i < argc && used + 8 < sizeof args; ++i) {
        args[used++] = ' ';
        args[used++] = '"';
        // One byte less: the room for the closing quote.
        used += escape_text(args + used, sizeof args - used - 1, argv[i]);
        args[used++] = '"';
    }
    args[used] = '\0';
    const local_time t = get_local_time();
    trace_line("start halvoranupdate %s %04d-%02d-%02d %02d:%02d pid %lu args %d%s", version,
               t.year, t.month, t.day, t.hour, t.minute, os_backend::process_id(),
               argc > 0 ? argc - 1 : 0, args);
}

int trace_exit(int status)
{
    if (!enabled)
        return status;
    enabled = 0;
    // Formatted by hand: this runs in the interrupt handler too, where
    // snprintf is not safe to call.
    char line[48];
    char digits[24];
    std::size_t used = 0;
    auto put_number = [&](long long v) {
        std::size_t d = 0;
        bool negative = v < 0;
        unsigned long long u = negative ? 0ull - static_cast<unsigned long long>(v)
                                        : static_cast<unsigned long long>(v);
        do {
            digits[d++] = static_cast<char>('0' + u % 10);
            u /= 10;
        } while (u != 0);
        if (negative)
            line[used++] = '-';
        while (d > 0)
            line[used++] = digits[--d];
    };
    put_number(trace_backend::now_ms());
    for (const char* p = " exit "; *p != '\0'; ++p)
        line[used++] = *p;
    put_number(status);
    line[used++] = '\n';
    trace_backend::write(line, used);
    trace_backend::close();
    return status;
}

void trace_command(const char* text)
{
    if (!enabled)
        return;
    command_ms = trace_backend::now_ms();
    char escaped[text_capacity];
    escape_text(escaped, sizeof escaped, text);
    trace_line("> %s", escaped);
}

void trace_rx_byte(unsigned char byte)
{
    if (!enabled)
        return;
    if (rx_count < rx_capacity)
        rx[rx_count++] = byte;
    else
        ++rx_dropped;
    if (byte == '\n')
        write_rx_line();
}

void trace_timeout(const char* what)
{
    if (!enabled)
        return;
    // The part of a line that came before the time ran out is an answer too.
    if (rx_count != 0 || rx_dropped != 0)
        write_rx_line();
    char total[16], gap[16];
    trace_line("timeout %s after +%lld profile %s total %s gap %s", what,
               trace_backend::now_ms() - command_ms, profile_name,
               limit_text(profile_total_ms, total), limit_text(profile_interval_ms, gap));
}

void trace_profile(const char* name, int total_ms, int interval_ms)
{
    profile_name = name;
    profile_total_ms = total_ms;
    profile_interval_ms = interval_ms;
    char total[16], gap[16];
    trace_line("profile %s total %s gap %s", name, limit_text(total_ms, total),
               limit_text(interval_ms, gap));
}

void trace_limit_moved(std::int64_t clear_at, long long moved_ms, long long total_ms)
{
    if (!enabled || clear_at == limit_moment)
        return;
    limit_moment = clear_at;
    trace_line("limit moved out %lld ms total %lld", moved_ms, total_ms);
}

void trace_pause(unsigned ms) { trace_line("pause %u ms", ms); }

void trace_block(const char* event, std::uint64_t length)
{
    trace_line("block %s length %llu", event, static_cast<unsigned long long>(length));
}

void trace_block_sent(std::uint64_t length, long long began_ms, std::int64_t busy_us)
{
    if (!enabled)
        return;
    const long long now = trace_backend::now_ms();
    trace_line("block sent length %llu began %lld clear %lld",
               static_cast<unsigned long long>(length), began_ms,
               now + static_cast<long long>((busy_us + 999) / 1000));
}

long long trace_clock() { return enabled ? trace_backend::now_ms() : 0; }

void trace_block_crc(const char* event, std::uint64_t length, std::uint32_t announced,
                     std::uint32_t computed)
{
    trace_line("block %s length %llu crc %08lX computed %08lX %s", event,
               static_cast<unsigned long long>(length), static_cast<unsigned long>(announced),
               static_cast<unsigned long>(computed), announced == computed ? "ok" : "mismatch");
}

void trace_file(const char* event, const char* path)
{
    if (!enabled)
        return;
    char escaped[text_capacity];
    escape_text(escaped, sizeof escaped, path);
    trace_line("file %s %s", event, escaped);
}

void trace_console_input(int console, unsigned long found, unsigned long set)
{
    if (console)
        trace_line("console input mode 0x%04lX set 0x%04lX", found, set);
    else
        trace_line("console input none");
}

void trace_console_output(int console, unsigned found, unsigned set, unsigned ansi)
{
    if (console)
        trace_line("console output code page %u set %u ansi %u", found, set, ansi);
    else
        trace_line("console output none ansi %u", ansi);
}

void trace_port(const char* name, std::intptr_t handle)
{
    if (!trace_enabled())
        return;
    char escaped[512];
    escape_text(escaped, sizeof escaped, name);
    trace_backend::settings_line("port ", escaped, handle);
}

int trace_port_refused(std::intptr_t handle)
{
    if (trace_enabled())
        trace_backend::settings_line("port refused the line settings, read back:", "", handle);
    return 0;
}
