// Win32 backend of the trace: the file, the performance counter, the texts
// of GetLastError and the DCB and time-outs of the port.
#include "common/trace.hpp"

#include <cstring>
#include <windows.h>

namespace {

HANDLE trace_file_handle = INVALID_HANDLE_VALUE;
long long start_ms = -1;

// "BaudRate N ByteSize N ... timeouts interval/multiplier/constant
// write multiplier/constant", or the error when they cannot be read.
void port_settings(const char* head, const char* name, HANDLE h)
{
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(h, &dcb)) {
        (void)trace_os_error("GetCommState");
        return;
    }
    COMMTIMEOUTS t{};
    if (!GetCommTimeouts(h, &t)) {
        (void)trace_os_error("GetCommTimeouts");
        return;
    }
    trace_line("%s%s%s BaudRate %lu ByteSize %u Parity %u StopBits %u fOutxCtsFlow %u "
               "fOutxDsrFlow %u fDtrControl %u fRtsControl %u fOutX %u fInX %u fAbortOnError %u "
               "ReadIntervalTimeout %lu ReadTotalTimeoutMultiplier %lu "
               "ReadTotalTimeoutConstant %lu WriteTotalTimeoutMultiplier %lu "
               "WriteTotalTimeoutConstant %lu",
               head, name, *name != '\0' ? " opened" : "", static_cast<unsigned long>(dcb.BaudRate),
               static_cast<unsigned>(dcb.ByteSize), static_cast<unsigned>(dcb.Parity),
               static_cast<unsigned>(dcb.StopBits), static_cast<unsigned>(dcb.fOutxCtsFlow),
               static_cast<unsigned>(dcb.fOutxDsrFlow), static_cast<unsigned>(dcb.fDtrControl),
               static_cast<unsigned>(dcb.fRtsControl), static_cast<unsigned>(dcb.fOutX),
               static_cast<unsigned>(dcb.fInX), static_cast<unsigned>(dcb.fAbortOnError),
               static_cast<unsigned long>(t.ReadIntervalTimeout),
               static_cast<unsigned long>(t.ReadTotalTimeoutMultiplier),
               static_cast<unsigned long>(t.ReadTotalTimeoutConstant),
               static_cast<unsigned long>(t.WriteTotalTimeoutMultiplier),
               static_cast<unsigned long>(t.WriteTotalTimeoutConstant));
}

} // namespace

int trace_backend::open(const char* path)
{
    // FILE_APPEND_DATA alone: every write goes to the end of the file.
    trace_file_handle = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (trace_file_handle == nullptr)
        trace_file_handle = INVALID_HANDLE_VALUE;
    return trace_file_handle != INVALID_HANDLE_VALUE ? 1 : 0;
}

void trace_backend::write(const char* text, std::size_t n)
{
    if (trace_file_handle == INVALID_HANDLE_VALUE)
        return;
    // Errors are not reported: the trace must not change the run.
    const DWORD saved = GetLastError();
    DWORD put = 0;
    (void)WriteFile(trace_file_handle, text, static_cast<DWORD>(n), &put, nullptr);
    SetLastError(saved);
}

void trace_backend::close()
{
    if (trace_file_handle != INVALID_HANDLE_VALUE)
        CloseHandle(trace_file_handle);
    trace_file_handle = INVALID_HANDLE_VALUE;
}

long long trace_backend::now_ms()
{
    LARGE_INTEGER count, frequency;
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&frequency);
    const long long ms = count.QuadPart / (frequency.QuadPart / 1000);
    if (start_ms < 0)
        start_ms = ms;
    return ms - start_ms;
}

int trace_os_error(const char* call)
{
    const DWORD error = GetLastError();
    if (trace_enabled()) {
        char text[512];
        DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, error, 0, text, sizeof text, nullptr);
        while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == ' '))
            --n;
        // The text is in the system's code page: escaped, the trace stays ASCII.
        char escaped[1024];
        trace_escape(escaped, sizeof escaped, reinterpret_cast<const unsigned char*>(text), n);
        trace_line("os error %s: %lu %s", call, static_cast<unsigned long>(error), escaped);
    }
    SetLastError(error);
    return 0;
}

void trace_purge(std::intptr_t handle)
{
    if (!trace_enabled())
        return;
    DWORD errors = 0;
    COMSTAT status{};
    long waiting = -1;
    if (ClearCommError(reinterpret_cast<HANDLE>(handle), &errors, &status))
        waiting = static_cast<long>(status.cbInQue);
    trace_line("purge %ld bytes waiting", waiting);
}

void trace_backend::settings_line(const char* head, const char* name, std::intptr_t handle)
{
    port_settings(head, name, reinterpret_cast<HANDLE>(handle));
}
