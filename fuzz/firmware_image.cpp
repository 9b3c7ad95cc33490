// Fuzz target: the firmware image. The input is the image file; a box whose
// loader takes it answers. An image whose header is not right must leave the
// box untouched (nothing at all is sent); any other goes out whole, header
// included, between "902" and "030".
#include "fuzz_support.hpp"

#include "firmware/firmware.hpp"
#include "link/serial.hpp"
#include "link/serial_seam.hpp"

#include <cstdint>
#include <cstring>

namespace {

constexpr char box_answers[] = "998 LOADER\n998 OK\n999 OS 1.01 (2025-12-01)\n";
char image_path[300];

} // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/)
{
    fuzz_start(image_path, sizeof image_path, "image.zova");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz_open_line_with_file(image_path, data, size, box_answers);
    const int sent = firmware_update(image_path);
    const int restarted = sent && reboot() && wait_boot();
    close_serial();

    const bool header_right =
        size >= 9 && std::memcmp(data, "010", 3) == 0 && std::memcmp(data + 5, "ZOVA", 4) == 0;
    if (!header_right) {
        fuzz_require(!sent, "an image with a wrong header was accepted");
        fuzz_require(seam_written_total() == 0, "an image with a wrong header reached the box");
        return 0;
    }
    fuzz_require(sent && restarted, "an image with a right header was refused");
    fuzz_require(seam_written_total() == 4 + size + 4, "the image did not go out whole");
    const unsigned char* out = seam_written();
    if (seam_written_size() == seam_written_total()) {
        fuzz_require(std::memcmp(out, "902\n", 4) == 0, "no loader entry before the image");
        fuzz_require(size == 0 || std::memcmp(out + 4, data, size) == 0,
                     "the image went out changed");
        fuzz_require(std::memcmp(out + 4 + size, "030\n", 4) == 0, "no restart after the image");
    }
    return 0;
}
