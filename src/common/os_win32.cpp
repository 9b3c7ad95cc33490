// Win32 backend of the operating-system services.
#include "common/os.hpp"
#include "common/trace.hpp"

#include <cstring>
#include <windows.h>

namespace {

HANDLE to_handle(file_t f) { return reinterpret_cast<HANDLE>(f); }
file_t from_handle(HANDLE h)
{
    if (h == INVALID_HANDLE_VALUE || h == nullptr)
        return no_file;
    return reinterpret_cast<file_t>(h);
}

} // namespace

local_time get_local_time()
{
    SYSTEMTIME st;
    GetLocalTime(&st);
    return {st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute};
}

file_t file_open_read(const char* path)
{
    HANDLE h = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        (void)trace_os_error("CreateFileA");
    return from_handle(h);
}

int file_is_plain(const char* path)
{
    // A device name (COM3, NUL, also written "COM3:")
    // resolves to the device namespace "\\.\COM3"; such a name, or one
    // given there directly, is no file.
    char full[1024];
    DWORD length = GetFullPathNameA(path, sizeof full, full, nullptr);
    if (length == 0 || length >= sizeof full || std::strncmp(full, "\\\\.\\", 4) == 0 ||
        std::strncmp(full, "\\\\?\\", 4) == 0)
        return 0;
    DWORD attributes = GetFileAttributesA(full);
    return attributes != INVALID_FILE_ATTRIBUTES &&
                   (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0
               ? 1
               : 0;
}

unsigned long os_backend::process_id() { return GetCurrentProcessId(); }

int file_save_target(const char* path, char* target, std::size_t target_capacity)
{
    std::size_t length = std::strlen(path);
    if (length >= target_capacity)
        return 0;
    std::memcpy(target, path, length + 1);
    DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? 1 : 0;
    }
    return (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) == 0 ? 1 : 0;
}

file_t os_backend::create_new(const char* path, const char* /*target*/, bool* exists)
{
    // New, and nobody else reads or writes it. Deleting is shared: Ctrl+C
    // runs its handler on a thread of its own, which removes the file by
    // name while this handle is still open (it goes when the process ends).
    HANDLE h = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        (void)trace_os_error("CreateFileA"); // keeps the last error
    *exists = h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_EXISTS;
    return from_handle(h);
}

int file_read(file_t f, void* buffer, std::uint32_t n)
{
    auto* p = static_cast<unsigned char*>(buffer);
    std::uint32_t done = 0;
    while (done < n) {
        DWORD got = 0;
        if (!ReadFile(to_handle(f), p + done, n - done, &got, nullptr))
            return trace_os_error("ReadFile");
        if (got == 0)
            return 0;
        done += got;
    }
    return 1;
}

int file_write(file_t f, const void* data, std::uint32_t n)
{
    const auto* p = static_cast<const unsigned char*>(data);
    std::uint32_t done = 0;
    while (done < n) {
        DWORD put = 0;
        if (!WriteFile(to_handle(f), p + done, n - done, &put, nullptr))
            return trace_os_error("WriteFile");
        if (put == 0)
            return 0;
        done += put;
    }
    return 1;
}

int file_seek(file_t f, std::uint64_t position)
{
    LARGE_INTEGER to;
    to.QuadPart = static_cast<LONGLONG>(position);
    return SetFilePointerEx(to_handle(f), to, nullptr, FILE_BEGIN) ? 1 : 0;
}

int file_size(file_t f, std::uint64_t* size)
{
    LARGE_INTEGER s;
    if (!GetFileSizeEx(to_handle(f), &s) || s.QuadPart < 0)
        return 0;
    *size = static_cast<std::uint64_t>(s.QuadPart);
    return 1;
}

void file_close(file_t f)
{
    if (f != no_file)
        CloseHandle(to_handle(f));
}

int os_backend::flush_close(file_t f)
{
    BOOL ok = FlushFileBuffers(to_handle(f)) || trace_os_error("FlushFileBuffers");
    ok = (CloseHandle(to_handle(f)) || trace_os_error("CloseHandle")) && ok;
    return ok ? 1 : 0;
}

int os_backend::replace(const char* from, const char* to)
{
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
               ? 1
               : trace_os_error("MoveFileExA");
}

void os_backend::remove(const char* path) { (void)DeleteFileA(path); }

std::size_t path_folder_length(const char* path)
{
    // "C:" alone names the drive's current folder there.
    const char drive = static_cast<char>(path[0] | 0x20);
    std::size_t folder = drive >= 'a' && drive <= 'z' && path[1] == ':' ? 2 : 0;
    for (std::size_t i = 0; path[i] != '\0'; ++i)
        if (path[i] == '\\' || path[i] == '/')
            folder = i + 1;
    return folder;
}
