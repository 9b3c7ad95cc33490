// Win32 backend of the operating-system services.
#include "common/os.hpp"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <windows.h>

namespace {

char pending_temp[MAX_PATH + 64];
volatile std::sig_atomic_t pending_temp_set = 0;

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
    return from_handle(h);
}

file_t file_create_temp(const char* target, char* tmp_path, std::size_t tmp_capacity)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        int n = std::snprintf(tmp_path, tmp_capacity, "%s.%lu.%d.tmp", target,
                              static_cast<unsigned long>(GetCurrentProcessId()), attempt);
        if (n < 0 || static_cast<std::size_t>(n) >= tmp_capacity ||
            static_cast<std::size_t>(n) >= sizeof pending_temp)
            return no_file;
        std::memcpy(pending_temp, tmp_path, static_cast<std::size_t>(n) + 1);
        pending_temp_set = 1;
        // Exclusive (no sharing) and new: nobody else writes into it.
        HANDLE h = CreateFileA(tmp_path, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE)
            return from_handle(h);
        pending_temp_set = 0;
        if (GetLastError() != ERROR_FILE_EXISTS)
            return no_file;
    }
    return no_file;
}

int file_read(file_t f, void* buffer, std::uint32_t n)
{
    auto* p = static_cast<unsigned char*>(buffer);
    std::uint32_t done = 0;
    while (done < n) {
        DWORD got = 0;
        if (!ReadFile(to_handle(f), p + done, n - done, &got, nullptr) || got == 0)
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
        if (!WriteFile(to_handle(f), p + done, n - done, &put, nullptr) || put == 0)
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

int file_commit(file_t f, const char* tmp_path, const char* target)
{
    BOOL ok = FlushFileBuffers(to_handle(f));
    ok = CloseHandle(to_handle(f)) && ok;
    if (ok)
        ok = MoveFileExA(tmp_path, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    if (!ok)
        DeleteFileA(tmp_path);
    pending_temp_set = 0;
    return ok ? 1 : 0;
}

void file_discard(file_t f, const char* tmp_path)
{
    file_close(f);
    DeleteFileA(tmp_path);
    pending_temp_set = 0;
}

void remove_pending_temp()
{
    if (pending_temp_set)
        DeleteFileA(pending_temp);
}
