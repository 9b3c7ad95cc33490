// The trace of a run: when the environment variable HALVORAN_TRACE names a
// file, every event on the line is appended to it, one line per event, for
// diagnosing a failure in the field from that one file. Without the variable
// every call here returns at once and nothing is written.
//
// Each line starts with the milliseconds since trace_start on a monotonic
// clock, then a tag and the event's fields. The bytes of table blocks and
// images never go into the trace, only their lengths and checksums: the file
// holds no list data.
//
// The lines are formatted into a fixed buffer on the stack and written with
// one write (WriteFile) each to a file opened for appending; nothing is
// allocated once the file is open. The formatting is shared (trace.cpp); the
// file, the clock, the error texts and the port settings are the
// platform's (trace_posix.cpp, trace_win32.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

// Opens the trace file named by HALVORAN_TRACE, if any, and writes the
// version and the arguments. A file that cannot be opened is reported in one
// line on the console; the run goes on without a trace.
void trace_start(const char* version, int argc, char** argv);

// Writes the exit status and closes the trace; returns status. Safe to call
// from the interrupt handler.
int trace_exit(int status);

// A command line as it is sent (without its line feed).
void trace_command(const char* text);

// One byte of a response line as it was read; the line feed ends the line,
// which is then written with the time since the last command.
void trace_rx_byte(unsigned char byte);

// A read that ran out of time (or failed) while waiting for what: the part
// of a response line read so far, then the profile in force with its limits.
void trace_timeout(const char* what);

// The read-timeout profile now in force.
void trace_profile(const char* name, int total_ms, int interval_ms);

// A read starts before the line has carried what was written: its total
// limit is moved out by moved_ms, to total_ms from now. clear_at is the
// moment the line will be clear, on the backend's clock: one line per
// moment, so that the reads of an answer byte by byte, moved out to the same
// moment, do not repeat it.
void trace_limit_moved(std::int64_t clear_at, long long moved_ms, long long total_ms);

// The receive purge: handle is the open port, whose waiting bytes are
// counted before they are dropped.
void trace_purge(std::intptr_t handle);

// A pause of ms milliseconds starts.
void trace_pause(unsigned ms);

// A raw block or image: its length, and where there is one the checksum
// announced and the one computed over the bytes.
void trace_block(const char* event, std::uint64_t length);
void trace_block_crc(const char* event, std::uint64_t length, std::uint32_t announced,
                     std::uint32_t computed);
// A block to the box has been written and drained: its length, when its
// first write began (a trace_clock() value) and when the line will have
// carried its last byte, busy_us from now (line_busy_us()), which is when
// the limit for the box's answer starts.
void trace_block_sent(std::uint64_t length, long long began_ms, std::int64_t busy_us);

// The trace's clock: milliseconds as the trace lines are stamped; 0 without
// a trace.
long long trace_clock();

// A file event (list or image opened, temporary file created, committed,
// discarded) with its path.
void trace_file(const char* event, const char* path);

// The Windows console as the run found and set it: the input's mode, and
// the output's code page with the process's ANSI code page (the one the
// paths arrive in). console is 0 when standard input, or output, is no
// console; found and set are then not used.
void trace_console_input(int console, unsigned long found, unsigned long set);
void trace_console_output(int console, unsigned found, unsigned set, unsigned ansi);

// The port is open: its name and the line settings read back from it.
void trace_port(const char* name, std::intptr_t handle);
// The port took other settings than were set: those read back. Returns 0, so
// that a failing path can end in "return trace_port_refused(...)".
int trace_port_refused(std::intptr_t handle);

// An operating-system call failed: the call's name, the error number and
// its text (errno; GetLastError on Windows). The error number is left as it
// was for the caller. Returns 0, so that a failing path can end in
// "return trace_os_error(...)".
int trace_os_error(const char* call);

// The platform's part (trace_posix.cpp, trace_win32.cpp), for trace.cpp.
namespace trace_backend {
// Opens path for appending, creating it; 1 when it is open.
[[nodiscard]] int open(const char* path);
// Writes n bytes with one call.
void write(const char* text, std::size_t n);
void close();
// Milliseconds since the first call.
long long now_ms();
// Writes one line: head, name, then the line settings read back from the
// open port handle.
void settings_line(const char* head, const char* name, std::intptr_t handle);
} // namespace trace_backend

// Shared formatting for the backends: appends the escaped bytes to a line
// (see trace.cpp), and writes a formatted line with its time stamp.
std::size_t trace_escape(char* out, std::size_t capacity, const unsigned char* data, std::size_t n);
bool trace_enabled();
#if defined(__MINGW32__)
#define HALVORAN_TRACE_FORMAT __attribute__((format(gnu_printf, 1, 2)))
#else
#define HALVORAN_TRACE_FORMAT __attribute__((format(printf, 1, 2)))
#endif
void trace_line(const char* format, ...) HALVORAN_TRACE_FORMAT;
