#include "link/protocol.hpp"

#include "common/globals.hpp"
#include "common/texts.hpp"
#include "common/trace.hpp"
#include "link/serial.hpp"

#include <cstdio>
#include <cstring>

int readline()
{
    std::memset(linebuf, 0, sizeof linebuf);
    std::size_t count = 0;
    for (;;) {
        // One byte per read, so that nothing after the line feed is taken
        // from the port: raw data may follow the line.
        unsigned char byte = 0;
        if (!async_read(&byte, 1)) {
            trace_timeout("response line");
            std::printf(msg::box_silent);
            return 0;
        }
        trace_rx_byte(byte);
        if (byte == '\n')
            return 1;
        if (byte == '\r')
            continue;
        if (count < linebuf_size - 1)
            linebuf[count++] = static_cast<char>(byte);
    }
}

int send_cmd_buffer(const char* text)
{
    const char line_feed = '\n';
    trace_command(text);
    if (!async_write(text, static_cast<int>(std::strlen(text))) || !async_write(&line_feed, 1)) {
        std::printf(msg::write_failed);
        return 0;
    }
    return 1;
}

int get_cmd_buffer(char* destination)
{
    if (!readline())
        return 0;
    std::memcpy(destination, linebuf, linebuf_size);
    return 1;
}
