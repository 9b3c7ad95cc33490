// The firmware update: image check, loader entry, image stream, restart and
// the wait for the new version.
#pragma once

#include <cstddef>

// The bytes of an image's start that image_header_ok looks at.
inline constexpr std::size_t image_signature_size = 9;

// 1 when header, the first image_signature_size bytes of a file (zero where
// the file is shorter), starts an image: "010" at byte 0 and "ZOVA" at byte
// 5; the bytes in between are not looked at.
[[nodiscard]] int image_header_ok(const unsigned char* header);

// Checks the image's header, switches the box into its loader and streams
// the whole file in 256-byte blocks and a tail. 1 when the image was sent;
// 0 on failure: file not opened, header wrong, image of 2 GiB or more,
// loader silent twice, the file could not be read to its end, or a write to
// the port failed. After a failure no restart is ordered.
[[nodiscard]] int firmware_update(const char* path);

// Sends "902" and waits for the loader's 998; 1 when it answered.
[[nodiscard]] int enter_bootloader();

// Waits under the boot timeouts for the loader to confirm the image, then
// orders the restart with "030". 1 on success.
[[nodiscard]] int reboot();

// Waits for the restarted box's status line and prints its version. 1 on
// success.
[[nodiscard]] int wait_boot();
