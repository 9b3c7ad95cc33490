// POSIX only: the write of a whole buffer to a file descriptor, shared by
// the file backend (os_posix.cpp) and the serial backend (serial_posix.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

// Writes all n bytes, going on after a partial write and after a signal
// that interrupted the call. 1 when everything went out; 0 when the call
// failed (traced as a failed "write", errno kept) or took no bytes.
[[nodiscard]] int posix_write_all(int fd, const void* data, std::size_t n);

// How a write with a deadline ended.
enum class write_outcome {
    done,      // every byte went out
    timed_out, // the descriptor took no more bytes before the deadline
    failed     // the call failed (traced as a failed "write", errno kept)
};

// The same loop on a non-blocking descriptor: while it takes no bytes,
// waits for room with poll(POLLOUT), but not past deadline_us (microseconds
// of CLOCK_MONOTONIC). A descriptor that reports hang-up or an error and
// still takes nothing has failed with EIO: no spin until the deadline.
[[nodiscard]] write_outcome posix_write_all_until(int fd, const void* data, std::size_t n,
                                                  std::int64_t deadline_us);
