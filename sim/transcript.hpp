// The simulator's record files: the transcript (one line per event, wall-clock stamped) and
// the raw dump of everything the program sent.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string_view>

namespace boxsim {

// "HH:MM:SS.mmm <tag> <text>" per line, flushed at once. Tags: '>' command received, '<' line
// sent, '#' note. Appends to an existing file.
class transcript {
  public:
    transcript() = default;
    ~transcript();
    transcript(const transcript&) = delete;
    transcript& operator=(const transcript&) = delete;

    void open(const std::filesystem::path& path); // throws std::system_error
    void write(char tag, std::string_view text);

  private:
    std::FILE* file_ = nullptr;
};

// Every byte received from the program, appended as it came.
class byte_dump {
  public:
    byte_dump() = default;
    ~byte_dump();
    byte_dump(const byte_dump&) = delete;
    byte_dump& operator=(const byte_dump&) = delete;

    void open(const std::filesystem::path& path); // throws std::system_error
    void write(const std::uint8_t* p, std::size_t n);

  private:
    std::FILE* file_ = nullptr;
};

} // namespace boxsim
