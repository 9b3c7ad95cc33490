// Web backend of the trace, for the program built for the browser: the file
// in emscripten's in-memory file system (the page offers it for download
// afterwards), the monotonic clock, errno texts, and the options the Web
// Serial port was opened with.
#include "common/trace.hpp"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <emscripten.h>
#include <fcntl.h>
#include <unistd.h>

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

namespace {

int trace_fd = -1;
long long start_ms = -1;

} // namespace

int trace_backend::open(const char* path)
{
    trace_fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND, 0644);
    return trace_fd >= 0 ? 1 : 0;
}

void trace_backend::write(const char* text, std::size_t n)
{
    if (trace_fd < 0)
        return;
    const int saved = errno;
    (void)::write(trace_fd, text, n);
    errno = saved;
}

void trace_backend::close()
{
    if (trace_fd >= 0)
        ::close(trace_fd);
    trace_fd = -1;
}

long long trace_backend::now_ms()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const long long ms = static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
    if (start_ms < 0)
        start_ms = ms;
    return ms - start_ms;
}

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
