// Operating-system services that are not the serial port: pauses, the local
// time, and the files the jobs read and write. One header, two backends
// (os_posix.cpp, os_win32.cpp); the pauses have backends of their own
// (pause_posix.cpp, pause_win32.cpp), so that the in-memory line of the fuzz
// targets can make them take no time (pause_seam.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

// Waits ms milliseconds.
void sleep_ms(unsigned ms);

struct local_time {
    int year, month, day, hour, minute;
};
local_time get_local_time();

// Files. A file is a platform handle (descriptor or HANDLE); no_file marks
// a failed open.
using file_t = std::intptr_t;
inline constexpr file_t no_file = -1;

// Opens an existing file for reading, shared with other readers.
[[nodiscard]] file_t file_open_read(const char* path);

// 1 when path names an existing plain file, found without opening it: a
// port or another device is never touched, since opening one may already
// change its lines or wait for them.
[[nodiscard]] int file_is_plain(const char* path);

// The length of path's folder part, its last separator included: 0 for a
// bare name. POSIX separates with '/' alone; Windows with '\\' and '/', and
// a drive's colon ("C:liste.cxf") ends the folder part too.
[[nodiscard]] std::size_t path_folder_length(const char* path);

// The longest temporary file name, terminator included.
inline constexpr std::size_t temp_path_capacity = 4200;

// The file that a save to path writes: on POSIX a symbolic link is followed
// (a bounded number of times) to the file it names, so that the link stays
// and the file it points to gets the new contents; elsewhere path itself.
// Returns 0 when that file exists and may not be replaced: the user may not
// write it (POSIX permissions, or the read-only attribute on Windows), it is
// not a plain file (a folder, a device), or the links loop or are too long.
// A file that does not exist yet may be created.
[[nodiscard]] int file_save_target(const char* path, char* target, std::size_t target_capacity);

// Creates a new, exclusively held file "<target>.<pid>.<n>.tmp" next to
// target (same folder, so that the final rename stays within one file
// system) to be put in the target's place by file_commit. Its name goes into
// tmp_path, and it is the pending temporary file until committed or
// discarded. On POSIX it has the permission bits of the target where that
// exists (the umask's choice for a new file otherwise), so that they stay
// once it takes the target's place. On Windows the interrupt handler's
// thread may delete it while the save holds it open.
[[nodiscard]] file_t file_create_temp(const char* target, char* tmp_path, std::size_t tmp_capacity);

// Both return 1 only when exactly n bytes moved.
[[nodiscard]] int file_read(file_t f, void* buffer, std::uint32_t n);
[[nodiscard]] int file_write(file_t f, const void* data, std::uint32_t n);

[[nodiscard]] int file_seek(file_t f, std::uint64_t position);
[[nodiscard]] int file_size(file_t f, std::uint64_t* size);
void file_close(file_t f);

// Flushes f to the disk, closes it and renames tmp_path over target (on
// POSIX then flushes target's folder too, so that the new name lasts).
// Returns 1 on success; on failure the temporary file is removed and the
// target is left as it was.
[[nodiscard]] int file_commit(file_t f, const char* tmp_path, const char* target);

// Closes f and removes the temporary file.
void file_discard(file_t f, const char* tmp_path);

// Claims a name for a file that a save then fills: creates path new and
// empty, never in place of a file that is there (*taken tells whether that
// was why it failed), so that two runs writing into one folder cannot both
// pick it. While the claim lasts, remove_pending_temp() removes the file as
// well; file_claim_end(keep) ends it, removing the file unless keep. Returns
// 1 when the file was created.
[[nodiscard]] int file_claim_new(const char* path, bool* taken);
void file_claim_end(int keep);

// Removes the temporary file of a save that is under way, if there is one,
// and a claimed file. Safe to call from the interrupt handler.
void remove_pending_temp();

// The backends' parts of the temporary file (os_posix.cpp, os_win32.cpp);
// the naming and the bookkeeping around them are shared (os_common.cpp).
namespace os_backend {
unsigned long process_id();
// Creates path new and exclusively for writing, with the permissions of
// target where that exists (POSIX); *exists tells whether it failed because
// the name was taken.
[[nodiscard]] file_t create_new(const char* path, const char* target, bool* exists);
// Flushes f to the disk and closes it; 1 when both worked.
[[nodiscard]] int flush_close(file_t f);
// Puts from in to's place in one step, durably; 1 on success.
[[nodiscard]] int replace(const char* from, const char* to);
// Removes a file; async-signal-safe.
void remove(const char* path);
} // namespace os_backend
