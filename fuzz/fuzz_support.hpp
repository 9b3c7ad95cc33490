// Shared parts of the fuzz targets: a quiet console, a scratch folder, the
// opening of the in-memory line, the checks that turn a broken promise into
// a crash libFuzzer reports, and the reading of what the program wrote to
// the line.
#pragma once

#include <cstddef>
#include <cstdint>

// Standard output goes to /dev/null: the program's messages and the progress
// display would otherwise flood the fuzzer's console. Formatting still runs.
// With FUZZ_SHOW_OUTPUT set in the environment the output stays, for looking
// at one input's run.
void fuzz_quiet();

// The start of a target that works on one scratch file: a quiet console
// (fuzz_quiet), and the file's path, dir/name, in path (capacity bytes).
void fuzz_start(char* path, std::size_t capacity, const char* name);

// Opens the in-memory line for one run; the box sends the n bytes of box.
void fuzz_open_line(const void* box, std::size_t n);

// The same for a run over an input file: data goes into the file at path
// first, and the box answers with the zero-terminated text answers.
void fuzz_open_line_with_file(const char* path, const std::uint8_t* data, std::size_t size,
                              const char* answers);

// A folder of this process for the files the jobs read and write, on a
// memory file system where there is one; removed at exit.
const char* fuzz_scratch_dir();

// Puts dir/name into path (capacity bytes).
void fuzz_path(char* path, std::size_t capacity, const char* name);

void fuzz_write_file(const char* path, const std::uint8_t* data, std::size_t size);

// The whole file into buffer (capacity bytes); its size, or -1 when it cannot
// be read or does not fit.
long fuzz_read_file(const char* path, std::uint8_t* buffer, std::size_t capacity);

// 1 when the scratch folder holds exactly the one file name (or nothing,
// when name is null): no temporary file was left behind.
int fuzz_scratch_holds_only(const char* name);

// Aborts with the message when ok is false: libFuzzer records the input.
void fuzz_require(bool ok, const char* what);

// What a channel-list job wrote to the line, read as commands and blocks.
struct written_job {
    int opened;               // "503 18" went out (at most once)
    int closed_last;          // the last command was "503 25"
    int write_requests;       // "500 t 3 first last"
    int blocks;               // "910 ..." announcements with their blocks
    int stores;               // "500 0 4 1"
    int queries_first;        // info and split queries before the first write request
    int read_requests;        // "500 t 2 first last"
    int queries_before_reads; // info and split queries before the first read request
    int acks;                 // "911 0"
    std::uint64_t block_bytes;
};

// Walks everything the program wrote since seam_line_start and checks it on
// the way: every command ends with a line feed; every "910 H<len> H<crc> 0"
// follows a write request, is followed by one space byte and exactly len
// bytes whose CRC is crc; a write request for table 0, 1 or 2 is followed by
// a block of (last - first + 1) records of 32, 10 or 40 bytes, and one for
// table 3 by fav_size bytes per record (unless fav_size is 0). slots, when
// given, are the box's record counts per table id: no request may reach
// past them. Fills what it found into job.
void fuzz_walk_written(written_job* job, std::uint32_t fav_size, const std::uint64_t* slots);
