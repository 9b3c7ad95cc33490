// POSIX backend of the trace: errno texts and the termios settings of the
// port (the file and the clock are trace_file_posix.cpp).
#include "common/trace.hpp"

#include <cerrno>
#include <cstring>
#include <sys/ioctl.h>
#include <termios.h>

namespace {

unsigned long speed_value(speed_t s)
{
    struct known {
        speed_t code;
        unsigned long baud;
    };
    static const known speeds[] = {
        {B0, 0},           {B1200, 1200},     {B2400, 2400},     {B4800, 4800},
        {B9600, 9600},     {B19200, 19200},   {B38400, 38400},   {B57600, 57600},
        {B115200, 115200}, {B230400, 230400}, {B460800, 460800}, {B921600, 921600},
    };
    for (const known& k : speeds)
        if (k.code == s)
            return k.baud;
    return static_cast<unsigned long>(s); // an unknown code, as it is
}

// "iflag 0x... oflag 0x... cflag 0x... lflag 0x... ispeed N ospeed N", or
// the error when the settings cannot be read.
void port_settings(const char* head, const char* name, int fd)
{
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) {
        (void)trace_os_error("tcgetattr");
        return;
    }
    trace_line("%s%s%s iflag 0x%lX oflag 0x%lX cflag 0x%lX lflag 0x%lX ispeed %lu ospeed %lu", head,
               name, *name != '\0' ? " opened" : "", static_cast<unsigned long>(tio.c_iflag),
               static_cast<unsigned long>(tio.c_oflag), static_cast<unsigned long>(tio.c_cflag),
               static_cast<unsigned long>(tio.c_lflag), speed_value(cfgetispeed(&tio)),
               speed_value(cfgetospeed(&tio)));
    // The modem lines as the driver has them; a pseudo-terminal has none.
    int lines = 0;
    if (ioctl(fd, TIOCMGET, &lines) != 0)
        (void)trace_os_error("TIOCMGET");
    else
        trace_line("modem lines dtr %s rts %s", (lines & TIOCM_DTR) != 0 ? "on" : "off",
                   (lines & TIOCM_RTS) != 0 ? "on" : "off");
}

} // namespace

int trace_os_error(const char* call)
{
    const int error = errno;
    if (trace_enabled()) {
        char text[256];
        // The GNU strerror_r returns its text (which may not be in text).
        const char* message = strerror_r(error, text, sizeof text);
        trace_line("os error %s: %d %s", call, error, message);
    }
    errno = error;
    return 0;
}

void trace_purge(std::intptr_t handle)
{
    if (!trace_enabled())
        return;
    int waiting = 0;
    if (ioctl(static_cast<int>(handle), FIONREAD, &waiting) != 0)
        waiting = -1;
    trace_line("purge %d bytes waiting", waiting);
}

void trace_backend::settings_line(const char* head, const char* name, std::intptr_t handle)
{
    port_settings(head, name, static_cast<int>(handle));
}
