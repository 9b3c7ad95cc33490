// What code under test prints: the process's standard output (file
// descriptor 1, so printf and direct writes alike) goes to a temporary file
// while a call runs.
#pragma once

#include <string>
#include <type_traits>

class stdout_capture {
  public:
    stdout_capture();
    ~stdout_capture();
    stdout_capture(const stdout_capture&) = delete;
    stdout_capture& operator=(const stdout_capture&) = delete;
    // Flushes, puts standard output back and returns what was printed.
    std::string end();

  private:
    int saved_ = -1;
    int file_ = -1;
};

// Runs call() with standard output captured into out; returns call()'s result.
template <typename F> auto capture_stdout(std::string& out, F&& call)
{
    stdout_capture capture;
    if constexpr (std::is_void_v<decltype(call())>) {
        call();
        out = capture.end();
    } else {
        auto result = call();
        out = capture.end();
        return result;
    }
}
