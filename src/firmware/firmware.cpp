#include "firmware/firmware.hpp"

#include "common/globals.hpp"
#include "common/os.hpp"
#include "common/texts.hpp"
#include "common/trace.hpp"
#include "link/protocol.hpp"
#include "link/scan.hpp"
#include "link/serial.hpp"

#include <cstdint>
#include <cstdio>
#include <cstring>

int image_header_ok(const unsigned char* header)
{
    return std::memcmp(header, "010", 3) == 0 && std::memcmp(header + 5, "ZOVA", 4) == 0 ? 1 : 0;
}

namespace {

constexpr std::uint32_t header_size = 20;
constexpr std::uint32_t block_size = 256;
constexpr std::uint64_t max_image_size = 0x80000000u; // 2 GiB

constexpr int loader_code = 998;
constexpr int status_code = 999;

// Parses linebuf as "<code> <word>"; true when both fields are there and the
// code is the one asked for.
bool line_has_code(int wanted, char* word)
{
    int code = 0;
    return scan_line(linebuf, "%d %s", &code, word) == 2 && code == wanted;
}

// Checks the open image and streams it: everything firmware_update does
// between opening the file and closing it.
int update_from(file_t file, const char* path)
{
    // Zero-filled first: a file shorter than the header leaves zeros where
    // its missing bytes would be, and the check below then fails.
    unsigned char buffer[block_size];
    std::memset(buffer, 0, sizeof buffer);
    (void)file_read(file, buffer, header_size);

    if (!image_header_ok(buffer)) {
        std::printf(msg::not_an_image);
        return 0;
    }
    // The size is checked before the box is switched into its loader: the
    // block split and the progress counters are 32-bit signed quantities,
    // so an image of 2 GiB or more is refused while the box is untouched.
    std::uint64_t size64 = 0;
    if (!file_size(file, &size64) || size64 >= max_image_size) {
        std::printf(msg::image_too_large, path);
        return 0;
    }

    // The line reader has already said so when the box did not answer.
    if (!enter_bootloader())
        return 0;

    // The whole file goes out, header included, in blocks of 256 bytes and
    // a shorter tail.
    const auto size = static_cast<std::uint32_t>(size64);
    // A seek that fails shows as a short read in the first block.
    (void)file_seek(file, 0);
    balken_size = size;
    balken_ist = 0;

    std::printf(msg::sending_image);
    for (std::uint32_t done = 0; done < size; done += block_size) {
        const std::uint32_t chunk = size - done < block_size ? size - done : block_size;
        if (!file_read(file, buffer, chunk)) {
            // The file changed under the transfer: sending the stale buffer
            // would put a wrong image into the box.
            std::printf(msg::image_unreadable, path);
            return 0;
        }
        if (!async_write(buffer, static_cast<int>(chunk))) {
            // An image that did not arrive whole is a failed update: no
            // restart is ordered for it.
            std::printf(msg::com_error);
            return 0;
        }
        balken_ist += chunk;
        display_pro();
    }
    // Only an image with a tail ends its progress with a line feed.
    if (size % block_size != 0)
        std::printf("\n");
    trace_block("image sent", size);
    return 1;
}

} // namespace

int firmware_update(const char* path)
{
    file_t file = file_open_read(path);
    if (file == no_file) {
        std::printf(msg::cannot_open_file, path);
        return 0;
    }
    trace_file("image opened", path);
    const int sent = update_from(file, path);
    file_close(file);
    return sent;
}

int enter_bootloader()
{
    char word[word_size];
    int failed_reads = 0;
    // A request that did not go out gets no answer: the reads below tell.
    (void)send_cmd_buffer(cmd::enter_loader);
    for (;;) {
        const int complete = readline();
        // What arrived before a time-out is judged too: a cut-off 998 line
        // is an answer. It is judged before any further request, because the
        // loader takes every byte after its answer as image data: a second
        // "902" would become the first bytes of the image.
        if (line_has_code(loader_code, word))
            return 1;
        if (!complete) {
            if (++failed_reads == 2)
                return 0;
            // One more request: the first may have been lost.
            (void)send_cmd_buffer(cmd::enter_loader);
        }
    }
}

int reboot()
{
    std::printf(msg::please_wait);
    // Writing the image into the flash takes the loader a while.
    set_timeout_profile(timeout_profile::boot);
    char word[word_size];
    for (;;) {
        if (!readline())
            return 0;
        if (line_has_code(loader_code, word)) {
            // The loader has the image; whether the restart order went out
            // shows in the wait for the new version.
            (void)send_cmd_buffer(cmd::restart);
            return 1;
        }
    }
}

int wait_boot()
{
    char word[word_size];
    for (;;) {
        if (!readline())
            return 0;
        if (line_has_code(status_code, word) && word[0] == 'O' && word[1] == 'S') {
            std::printf(msg::new_version, status_version());
            sleep_ms(4000);
            return 1;
        }
    }
}
