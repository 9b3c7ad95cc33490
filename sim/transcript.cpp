#include "transcript.hpp"

#include <cerrno>
#include <chrono>
#include <ctime>
#include <string>
#include <system_error>

namespace boxsim {
namespace {

std::FILE* open_append(const std::filesystem::path& path)
{
    std::FILE* f = std::fopen(path.c_str(), "ab");
    if (!f)
        throw std::system_error(errno, std::generic_category(), "cannot open " + path.string());
    return f;
}

} // namespace

transcript::~transcript()
{
    if (file_)
        std::fclose(file_);
}

void transcript::open(const std::filesystem::path& path) { file_ = open_append(path); }

void transcript::write(char tag, std::string_view text)
{
    if (!file_)
        return;
    auto now = std::chrono::system_clock::now();
    auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch());
    std::time_t secs = std::chrono::system_clock::to_time_t(now);
    std::tm local{};
    localtime_r(&secs, &local);
    std::fprintf(file_, "%02d:%02d:%02d.%03d %c %.*s\n", local.tm_hour, local.tm_min, local.tm_sec,
                 static_cast<int>(millis.count() % 1000), tag, static_cast<int>(text.size()),
                 text.data());
    std::fflush(file_);
}

byte_dump::~byte_dump()
{
    if (file_)
        std::fclose(file_);
}

void byte_dump::open(const std::filesystem::path& path) { file_ = open_append(path); }

void byte_dump::write(const std::uint8_t* p, std::size_t n)
{
    if (!file_ || n == 0)
        return;
    std::fwrite(p, 1, n, file_);
    std::fflush(file_);
}

} // namespace boxsim
