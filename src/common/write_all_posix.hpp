// POSIX only: the write of a whole buffer to a file descriptor, shared by
// the file backend (os_posix.cpp) and the serial backend (serial_posix.cpp).
#pragma once

#include <cstddef>

// Writes all n bytes, going on after a partial write and after a signal
// that interrupted the call. 1 when everything went out; 0 when the call
// failed (traced as a failed "write", errno kept) or took no bytes.
[[nodiscard]] int posix_write_all(int fd, const void* data, std::size_t n);
