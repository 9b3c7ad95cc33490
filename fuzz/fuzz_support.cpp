#include "fuzz_support.hpp"

#include "channels/block.hpp"
#include "link/serial.hpp"
#include "link/serial_seam.hpp"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

char scratch[256];

void remove_scratch()
{
    DIR* d = opendir(scratch);
    if (d == nullptr)
        return;
    while (dirent* e = readdir(d)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0)
            continue;
        char path[512];
        std::snprintf(path, sizeof path, "%s/%s", scratch, e->d_name);
        unlink(path);
    }
    closedir(d);
    rmdir(scratch);
}

// Parses a number in base 10 or 16 at p, which must start with a digit (no
// blank or sign, which strtoull would take); moves p past it. 0 when none.
int parse_number(const char** p, int base, std::uint64_t* value)
{
    char* end = nullptr;
    const bool digit = base == 16 ? std::isxdigit(static_cast<unsigned char>(**p)) != 0
                                  : std::isdigit(static_cast<unsigned char>(**p)) != 0;
    if (!digit)
        return 0;
    *value = std::strtoull(*p, &end, base);
    if (end == *p)
        return 0;
    *p = end;
    return 1;
}

// "910 H<len> H<crc> 0"
int parse_announcement(const char* line, std::uint64_t* length, std::uint64_t* crc)
{
    const char* p = line + 4;
    if (*p++ != 'H' || !parse_number(&p, 16, length) || *p++ != ' ' || *p++ != 'H' ||
        !parse_number(&p, 16, crc))
        return 0;
    return std::strcmp(p, " 0") == 0 ? 1 : 0;
}

// "500 t 3 first last"
int parse_write_request(const char* line, int* table, std::uint64_t* first, std::uint64_t* last)
{
    if (std::strncmp(line, "500 ", 4) != 0 || line[4] < '0' || line[4] > '3' ||
        std::strncmp(line + 5, " 3 ", 3) != 0)
        return 0;
    *table = line[4] - '0';
    const char* p = line + 8;
    if (!parse_number(&p, 10, first) || *p++ != ' ' || !parse_number(&p, 10, last))
        return 0;
    return *p == '\0' ? 1 : 0;
}

} // namespace

void fuzz_quiet()
{
    if (std::getenv("FUZZ_SHOW_OUTPUT") != nullptr)
        return;
    if (std::freopen("/dev/null", "w", stdout) == nullptr)
        std::abort();
}

const char* fuzz_scratch_dir()
{
    if (scratch[0] == '\0') {
        const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        std::snprintf(scratch, sizeof scratch, "%s/halvoran-fuzz-XXXXXX", base);
        if (mkdtemp(scratch) == nullptr)
            std::abort();
        std::atexit(remove_scratch);
    }
    return scratch;
}

void fuzz_path(char* path, std::size_t capacity, const char* name)
{
    std::snprintf(path, capacity, "%s/%s", fuzz_scratch_dir(), name);
}

void fuzz_start(char* path, std::size_t capacity, const char* name)
{
    fuzz_quiet();
    fuzz_path(path, capacity, name);
}

void fuzz_open_line(const void* box, std::size_t n)
{
    seam_line_start(static_cast<const unsigned char*>(box), n);
    (void)open_serial("seam"); // the in-memory line always opens
}

void fuzz_open_line_with_file(const char* path, const std::uint8_t* data, std::size_t size,
                              const char* answers)
{
    fuzz_write_file(path, data, size);
    fuzz_open_line(answers, std::strlen(answers));
}

void fuzz_write_file(const char* path, const std::uint8_t* data, std::size_t size)
{
    std::FILE* f = std::fopen(path, "wb");
    fuzz_require(f != nullptr, "cannot create a scratch file");
    fuzz_require(size == 0 || std::fwrite(data, 1, size, f) == size, "cannot write a scratch file");
    fuzz_require(std::fclose(f) == 0, "cannot write a scratch file");
}

long fuzz_read_file(const char* path, std::uint8_t* buffer, std::size_t capacity)
{
    std::FILE* f = std::fopen(path, "rb");
    if (f == nullptr)
        return -1;
    std::size_t n = std::fread(buffer, 1, capacity, f);
    bool more = std::fgetc(f) != EOF;
    std::fclose(f);
    return more ? -1 : static_cast<long>(n);
}

int fuzz_scratch_holds_only(const char* name)
{
    DIR* d = opendir(fuzz_scratch_dir());
    fuzz_require(d != nullptr, "cannot list the scratch folder");
    int others = 0;
    int found = 0;
    while (dirent* e = readdir(d)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0)
            continue;
        if (name != nullptr && std::strcmp(e->d_name, name) == 0)
            found = 1;
        else
            ++others;
    }
    closedir(d);
    return others == 0 && (name == nullptr || found) ? 1 : 0;
}

void fuzz_require(bool ok, const char* what)
{
    if (ok)
        return;
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

void fuzz_walk_written(written_job* job, std::uint32_t fav_size, const std::uint64_t* slots)
{
    *job = written_job{};
    fuzz_require(seam_written_total() == seam_written_size(), "the program wrote too much");
    const unsigned char* out = seam_written();
    const std::size_t n = seam_written_size();
    const std::uint32_t record_size[4] = {32, 10, 40, fav_size};

    char line[128] = "";
    bool request_pending = false;
    int request_table = 0;
    std::uint64_t request_first = 0, request_last = 0;
    for (std::size_t pos = 0; pos < n;) {
        const void* lf = std::memchr(out + pos, '\n', n - pos);
        fuzz_require(lf != nullptr, "a command without its line feed");
        std::size_t len = static_cast<const unsigned char*>(lf) - (out + pos);
        fuzz_require(len < sizeof line, "an over-long command");
        std::memcpy(line, out + pos, len);
        line[len] = '\0';
        fuzz_require(std::strlen(line) == len, "a command with a zero byte");
        pos += len + 1;

        if (std::strcmp(line, "503 18") == 0) {
            fuzz_require(job->opened == 0, "\"503 18\" went out twice");
            job->opened = 1;
        } else if (std::strcmp(line, "500 0 4 1") == 0) {
            ++job->stores;
        } else if (std::strcmp(line, "911 0") == 0) {
            ++job->acks;
        } else if (std::strcmp(line, "500 0 5") == 0 ||
                   (std::strncmp(line, "500 ", 4) == 0 && std::strcmp(line + 5, " 1") == 0)) {
            if (job->write_requests == 0)
                ++job->queries_first;
            if (job->read_requests == 0)
                ++job->queries_before_reads;
        } else if (std::strncmp(line, "500 ", 4) == 0 && std::strncmp(line + 5, " 2 ", 3) == 0) {
            ++job->read_requests;
        }

        int table = 0;
        std::uint64_t first = 0, last = 0;
        if (parse_write_request(line, &table, &first, &last)) {
            fuzz_require(!request_pending, "a write request without its block");
            fuzz_require(first <= last, "a write request for no records");
            fuzz_require(slots == nullptr || last < slots[table],
                         "a write request past the box's table");
            request_pending = true;
            request_table = table;
            request_first = first;
            request_last = last;
            ++job->write_requests;
        }

        if (std::strncmp(line, "910 ", 4) == 0) {
            std::uint64_t length = 0, crc = 0;
            fuzz_require(parse_announcement(line, &length, &crc), "a malformed block announcement");
            fuzz_require(request_pending, "a block without a write request");
            request_pending = false;
            fuzz_require(pos < n && out[pos] == ' ', "a block announcement without its space");
            ++pos;
            fuzz_require(length <= n - pos, "a block shorter than announced");
            fuzz_require(crc_of(out + pos, length) == crc, "a block with a wrong CRC");
            std::uint64_t size = record_size[request_table];
            fuzz_require(size == 0 || length == (request_last - request_first + 1) * size,
                         "a block of another length than its write request");
            pos += length;
            job->block_bytes += length;
            ++job->blocks;
        }
    }
    job->closed_last = std::strcmp(line, "503 25") == 0 ? 1 : 0;
}
