#include "support/capture.hpp"

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <unistd.h>

namespace {

[[noreturn]] void fail(const char* what) { throw std::runtime_error(what); }

} // namespace

stdout_capture::stdout_capture()
{
    std::fflush(stdout);
    char name[] = "/tmp/halvoran_stdout_XXXXXX";
    file_ = mkstemp(name);
    if (file_ < 0)
        fail("mkstemp");
    unlink(name);
    saved_ = dup(STDOUT_FILENO);
    if (saved_ < 0 || dup2(file_, STDOUT_FILENO) < 0)
        fail("dup2");
}

stdout_capture::~stdout_capture() { (void)end(); }

std::string stdout_capture::end()
{
    if (saved_ < 0)
        return "";
    std::fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
    saved_ = -1;
    std::string text;
    char buf[4096];
    for (off_t at = 0;;) {
        ssize_t n = pread(file_, buf, sizeof buf, at);
        if (n <= 0)
            break;
        text.append(buf, static_cast<std::size_t>(n));
        at += n;
    }
    close(file_);
    file_ = -1;
    return text;
}
