// Command and response lines on the serial line.
#pragma once

// Reads one response line into linebuf: carriage returns dropped, the line
// feed ends the line and is not stored, at most 255 characters kept (the
// rest of a longer line is read and dropped). Returns 1 when a line feed
// ended the line; 0 after printing "Die Box antwortet nicht!\n" when a byte
// did not come, with the characters that came before left in linebuf.
[[nodiscard]] int readline();

// Sends text and one line feed. Returns 1 when both went out, else prints
// "async_io failed\n" and returns 0. Most callers go on to read the answer
// either way: a command that did not go out gets none, and the read says so.
[[nodiscard]] int send_cmd_buffer(const char* text);

// Reads one line and, only when that succeeded, copies linebuf with its
// terminator into destination (256 bytes). Returns 1 then; 0 with the
// destination untouched when the read failed.
[[nodiscard]] int get_cmd_buffer(char* destination);

// What answered the connection check.
enum class connection {
    none,   // no usable answer in three attempts, or a box of another make
    system, // the box's running system (or any other answer of two fields)
    loader, // the box's loader (code 998): an update was cut off, the system may be gone
};

// Checks the connection: asks the box for its status with "501" in up to
// three attempts, prints the running version, refuses a box of another
// make, and says so when the loader answered. Leaves the command timeouts
// in force. Only the firmware job may go on against a loader.
[[nodiscard]] connection test_con();

// 1 when a job may run against the box that answered: any job against its
// system, only the firmware job against its loader, which knows nothing of
// channel lists.
[[nodiscard]] inline constexpr int job_may_run(connection answered, bool list_job)
{
    return answered == connection::system || (answered == connection::loader && !list_job) ? 1 : 0;
}
