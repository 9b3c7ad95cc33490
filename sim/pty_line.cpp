#include "pty_line.hpp"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <system_error>
#include <termios.h>
#include <unistd.h>

namespace boxsim {
namespace {

[[noreturn]] void fail(const char* what)
{
    throw std::system_error(errno, std::generic_category(), what);
}

} // namespace

pty_line::pty_line()
{
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0)
        fail("posix_openpt");
    if (grantpt(master_) != 0 || unlockpt(master_) != 0)
        fail("grantpt/unlockpt");
    char name[PATH_MAX];
    if (ptsname_r(master_, name, sizeof name) != 0)
        fail("ptsname_r");
    slave_path_ = name;
    slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ < 0)
        fail("open pty slave");

    termios tio{};
    if (tcgetattr(slave_, &tio) != 0)
        fail("tcgetattr");
    cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    cfsetispeed(&tio, B115200);
    cfsetospeed(&tio, B115200);
    if (tcsetattr(slave_, TCSANOW, &tio) != 0)
        fail("tcsetattr");

    int flags = fcntl(master_, F_GETFL);
    if (flags < 0 || fcntl(master_, F_SETFL, flags | O_NONBLOCK) != 0)
        fail("fcntl O_NONBLOCK");
}

pty_line::~pty_line()
{
    close_master();
    if (slave_ >= 0)
        ::close(slave_);
}

std::size_t pty_line::unread_by_program() const
{
    int n = 0;
    if (ioctl(slave_, FIONREAD, &n) != 0 || n < 0)
        return 0;
    return static_cast<std::size_t>(n);
}

std::size_t pty_line::unread_by_simulator() const
{
    int n = 0;
    if (ioctl(master_, FIONREAD, &n) != 0 || n < 0)
        return 0;
    return static_cast<std::size_t>(n);
}

void pty_line::hold_program_output(bool hold)
{
    // The stop belongs to the terminal, not to a descriptor: made on the simulator's own slave
    // descriptor, it holds the program's writes.
    (void)tcflow(slave_, hold ? TCOOFF : TCOON);
}

void pty_line::drop_unread() { (void)tcflush(slave_, TCIFLUSH); }

void pty_line::drop_program_output() { (void)tcflush(master_, TCIFLUSH); }

void pty_line::clear_exclusive() { (void)ioctl(slave_, TIOCNXCL); }

void pty_line::close_master()
{
    if (master_ >= 0) {
        ::close(master_);
        master_ = -1;
    }
}

open_watch::open_watch(const std::string& path)
{
    fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ < 0)
        fail("inotify_init1");
    if (inotify_add_watch(fd_, path.c_str(), IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) < 0)
        fail("inotify_add_watch");
}

open_watch::~open_watch()
{
    if (fd_ >= 0)
        ::close(fd_);
}

std::vector<open_watch::event> open_watch::read_events()
{
    std::vector<event> events;
    alignas(inotify_event) char buf[4096];
    for (;;) {
        ssize_t n = ::read(fd_, buf, sizeof buf);
        if (n <= 0)
            break;
        for (char* p = buf; p < buf + n;) {
            auto* e = reinterpret_cast<inotify_event*>(p);
            if (e->mask & IN_OPEN)
                events.push_back(event::opened);
            if (e->mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE))
                events.push_back(event::closed);
            p += sizeof(inotify_event) + e->len;
        }
    }
    return events;
}

bool others_hold(const std::string& path)
{
    // The device itself, not its name: a program in a mount namespace of its
    // own may hold it under another name (a bind mount), which its
    // descriptor's link shows.
    struct stat device {};
    const bool by_device = stat(path.c_str(), &device) == 0 && S_ISCHR(device.st_mode);
    DIR* proc = opendir("/proc");
    if (!proc)
        return false;
    const std::string self = std::to_string(getpid());
    bool held = false;
    while (!held) {
        dirent* pe = readdir(proc);
        if (!pe)
            break;
        std::string pid = pe->d_name;
        if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos || pid == self)
            continue;
        std::string fd_dir = "/proc/" + pid + "/fd";
        DIR* fds = opendir(fd_dir.c_str());
        if (!fds)
            continue;
        while (dirent* fe = readdir(fds)) {
            char target[PATH_MAX];
            std::string link = fd_dir + "/" + fe->d_name;
            ssize_t n = readlink(link.c_str(), target, sizeof target);
            if (n <= 0)
                continue;
            struct stat held_file {};
            if (std::string(target, static_cast<std::size_t>(n)) == path ||
                (by_device && n > 5 && std::string(target, 5) == "/dev/" &&
                 stat(link.c_str(), &held_file) == 0 && S_ISCHR(held_file.st_mode) &&
                 held_file.st_rdev == device.st_rdev)) {
                held = true;
                break;
            }
        }
        closedir(fds);
    }
    closedir(proc);
    return held;
}

} // namespace boxsim
