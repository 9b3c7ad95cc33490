// Web backend of the trace, for the program built for the browser: errno
// texts and the options the Web Serial port was opened with. The file, in
// emscripten's in-memory file system (the page offers it for download
// afterwards), and the clock are POSIX's (trace_file_posix.cpp).
#include "common/trace.hpp"

#include <cerrno>
#include <cstring>
#include <emscripten.h>

// clang-format off
// The options of the open port (serial_webserial.cpp keeps them) into text.
EM_JS(void, webserial_options_text, (char* text, int capacity), {
    const s = globalThis.halvoranSerial || {};
    const o = s.options || {};
    const info = s.port && s.port.getInfo ? s.port.getInfo() : {};
    const hex = (v) => v === undefined ? "none" : v.toString(16).padStart(4, "0");
    stringToUTF8("baudRate " + o.baudRate + " dataBits " + o.dataBits + " stopBits " + o.stopBits +
                 " parity " + o.parity + " flowControl " + o.flowControl + " bufferSize " +
                 o.bufferSize + " usbVendorId " + hex(info.usbVendorId) + " usbProductId " +
                 hex(info.usbProductId) + " setSignals dtr off rts off", text, capacity);
});

EM_JS(int, webserial_waiting, (), {
    const s = globalThis.halvoranSerial || {};
    return s.count || 0;
});
// clang-format on

int trace_os_error(const char* call)
{
    const int error = errno;
    if (trace_enabled())
        trace_line("os error %s: %d %s", call, error, std::strerror(error));
    errno = error;
    return 0;
}

void trace_purge(std::intptr_t /*handle*/)
{
    if (trace_enabled())
        trace_line("purge %d bytes waiting", webserial_waiting());
}

void trace_backend::settings_line(const char* head, const char* name, std::intptr_t /*handle*/)
{
    char text[512];
    webserial_options_text(text, sizeof text);
    trace_line("%s%s%s %s", head, name, *name != '\0' ? " opened" : "", text);
}
