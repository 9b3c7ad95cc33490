#include "support/harness.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace {

std::vector<std::string>& dirs_to_remove()
{
    static std::vector<std::string> dirs;
    static bool registered = false;
    if (!registered) {
        registered = true;
        std::atexit([] {
            if (std::getenv("KEEP_TEST_DIRS") != nullptr)
                return;
            for (const auto& d : dirs_to_remove()) {
                std::error_code ec;
                std::filesystem::remove_all(d, ec);
            }
        });
    }
    return dirs;
}

[[noreturn]] void fail(const std::string& what)
{
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

// Starts argv with stdin from a pipe (returned in in_fd unless -1 is
// wanted; a terminal of 0 or more is taken instead when given) and
// stdout+stderr into a pipe (out_fd).
int spawn(const std::vector<std::string>& argv, const std::string& cwd, int* in_fd, int* out_fd,
          int terminal = -1)
{
    int in_pipe[2] = {-1, -1};
    int out_pipe[2];
    if ((in_fd != nullptr && pipe2(in_pipe, O_CLOEXEC) != 0) || pipe2(out_pipe, O_CLOEXEC) != 0)
        fail("pipe");
    pid_t pid = fork();
    if (pid < 0)
        fail("fork");
    if (pid == 0) {
        setpgid(0, 0);
        if (terminal >= 0) {
            dup2(terminal, 0);
        } else if (in_fd != nullptr) {
            dup2(in_pipe[0], 0);
        } else {
            int devnull = open("/dev/null", O_RDONLY);
            dup2(devnull, 0);
        }
        dup2(out_pipe[1], 1);
        dup2(out_pipe[1], 2);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0)
            _exit(126);
        std::vector<char*> args;
        for (const auto& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    if (in_fd != nullptr) {
        close(in_pipe[0]);
        *in_fd = in_pipe[1];
    }
    close(out_pipe[1]);
    *out_fd = out_pipe[0];
    return pid;
}

int decode_status(int status)
{
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

} // namespace

double now_seconds()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

std::string temp_dir()
{
    std::string pattern =
        (std::filesystem::temp_directory_path() / "halvoran-test-XXXXXX").string();
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr)
        fail("mkdtemp");
    std::string dir(buf.data());
    dirs_to_remove().push_back(dir);
    return dir;
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_file(const std::string& path, const std::string& data)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

bool file_exists(const std::string& path)
{
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> list_dir(const std::string& path)
{
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(path))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

background_run::background_run(const std::vector<std::string>& argv, const std::string& cwd,
                               const std::string& stdin_data)
{
    int in_fd = -1;
    start_ = now_seconds();
    pid_ = spawn(argv, cwd, &in_fd, &out_fd_);
    if (!stdin_data.empty())
        write_all(in_fd, stdin_data);
    close(in_fd); // then its end: a key wait returns at once
}

background_run::~background_run()
{
    if (!done_) {
        kill(-pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (out_fd_ >= 0)
        close(out_fd_);
}

const std::string& background_run::output()
{
    char buf[4096];
    pollfd p{out_fd_, POLLIN, 0};
    while (out_fd_ >= 0 && poll(&p, 1, 0) > 0 && (p.revents & POLLIN) != 0) {
        ssize_t n = read(out_fd_, buf, sizeof buf);
        if (n <= 0)
            break;
        out_.append(buf, static_cast<std::size_t>(n));
    }
    return out_;
}

void background_run::signal(int sig) { kill(pid_, sig); }

bool background_run::ended() const
{
    if (done_)
        return true;
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == pid_;
}

run_result background_run::wait(int timeout_ms)
{
    if (done_)
        return result_;
    double deadline = start_ + timeout_ms / 1000.0;
    int status = 0;
    bool exited = false;
    while (!exited) {
        if (now_seconds() > deadline) {
            result_.timed_out = true;
            kill(-pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            break;
        }
        pollfd p{out_fd_, POLLIN, 0};
        poll(&p, 1, 20);
        output();
        // The end of the process, not of its output: a process it started
        // (wine's server) may hold the output open much longer.
        exited = waitpid(pid_, &status, WNOHANG) == pid_;
    }
    output();
    done_ = true;
    result_.exit_code = decode_status(status);
    result_.out = out_;
    result_.seconds = now_seconds() - start_;
    return result_;
}

run_result run_command(const std::vector<std::string>& argv, const std::string& stdin_data,
                       int timeout_ms, const std::string& cwd)
{
    background_run run(argv, cwd, stdin_data);
    return run.wait(timeout_ms);
}

run_result run_program(const std::vector<std::string>& args, const std::string& stdin_data,
                       int timeout_ms, const std::string& cwd)
{
    std::vector<std::string> argv{HALVORAN_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_command(argv, stdin_data, timeout_ms, cwd);
}

boxsim_process::boxsim_process(const std::vector<std::string>& args, const std::string& state_dir)
{
    folder_ = temp_dir();
    state_ = state_dir.empty() ? folder_ + "/state" : state_dir;
    std::vector<std::string> argv{
        BOXSIM_BIN,  "--state",          state_, "--transcript", folder_ + "/transcript.txt",
        "--rx-dump", folder_ + "/rx.bin"};
    argv.insert(argv.end(), args.begin(), args.end());
    int out_fd = -1;
    pid_ = spawn(argv, folder_, nullptr, &out_fd);
    // The first line of the simulator's output is the device path.
    std::string line;
    double deadline = now_seconds() + 10;
    while (line.find('\n') == std::string::npos && now_seconds() < deadline) {
        pollfd p{out_fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        char c;
        if (read(out_fd, &c, 1) != 1)
            break;
        line += c;
    }
    close(out_fd);
    if (line.empty() || line.back() != '\n') {
        stop();
        throw std::runtime_error("boxsim did not report its device: " + line);
    }
    line.pop_back();
    device_ = line;
}

boxsim_process::~boxsim_process() { stop(); }

bool boxsim_process::running()
{
    if (pid_ < 0)
        return false;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return false;
    }
    return true;
}

void boxsim_process::stop()
{
    if (pid_ < 0)
        return;
    kill(pid_, SIGTERM);
    int status = 0;
    for (int i = 0; i < 500; ++i) {
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return;
        }
        usleep(10000);
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
    pid_ = -1;
}

namespace {

std::size_t count_of(const std::string& text, const std::string& what)
{
    std::size_t n = 0;
    for (auto pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1))
        ++n;
    return n;
}

} // namespace

std::string boxsim_process::transcript() const
{
    // The simulator notes a program's closing of the line after it has taken
    // in everything the program wrote: wait for that (bounded), so that a
    // test never reads a transcript that lags behind the run it checks.
    std::string text;
    for (int i = 0; i < 300; ++i) {
        text = read_file(folder_ + "/transcript.txt");
        if (count_of(text, "program opened the line") == count_of(text, "program closed the line"))
            break;
        usleep(10000);
    }
    return text;
}

std::vector<std::string> transcript_commands(const std::string& transcript)
{
    // Transcript lines "HH:MM:SS.mmm > command".
    std::vector<std::string> result;
    std::istringstream in(transcript);
    std::string line;
    while (std::getline(in, line)) {
        auto pos = line.find(" > ");
        if (pos != std::string::npos && pos <= 13)
            result.push_back(line.substr(pos + 3));
    }
    return result;
}

std::vector<std::string> boxsim_process::commands() const
{
    return transcript_commands(transcript());
}

bool changes_the_box(const std::vector<std::string>& commands)
{
    return std::any_of(commands.begin(), commands.end(), [](const std::string& c) {
        return (c.size() > 7 && c.compare(0, 4, "500 ") == 0 && c.compare(5, 3, " 3 ") == 0) ||
               c.rfind("910", 0) == 0 || c == "500 0 4 1";
    });
}

bool boxsim_process::wait_for_command(const std::string& command) const
{
    for (int i = 0; i < 500; ++i) {
        if (read_file(folder_ + "/transcript.txt").find(" > " + command + "\n") !=
            std::string::npos)
            return true;
        usleep(10000);
    }
    return false;
}

std::string boxsim_process::rx_bytes() const
{
    (void)transcript(); // settles like the transcript
    return read_file(folder_ + "/rx.bin");
}

pty_pair open_pty()
{
    pty_pair p;
    p.master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (p.master < 0 || grantpt(p.master) != 0 || unlockpt(p.master) != 0)
        fail("posix_openpt");
    char name[128];
    if (ptsname_r(p.master, name, sizeof name) != 0)
        fail("ptsname_r");
    p.slave_path = name;
    p.slave_keep = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (p.slave_keep < 0)
        fail("open slave");
    termios tio{};
    tcgetattr(p.slave_keep, &tio);
    cfmakeraw(&tio);
    tcsetattr(p.slave_keep, TCSANOW, &tio);
    return p;
}

void close_pty(pty_pair& p)
{
    if (p.slave_keep >= 0)
        close(p.slave_keep);
    if (p.master >= 0)
        close(p.master);
    p.slave_keep = p.master = -1;
}

void write_all(int fd, const std::string& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            fail("write");
        done += static_cast<std::size_t>(n);
    }
}

std::string read_some(int fd, std::size_t count, int timeout_ms)
{
    std::string out;
    double deadline = now_seconds() + timeout_ms / 1000.0;
    char buf[4096];
    while (out.size() < count) {
        double left = deadline - now_seconds();
        if (left <= 0)
            break;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left * 1000) + 1) <= 0)
            continue;
        ssize_t n = read(fd, buf, std::min(sizeof buf, count - out.size()));
        if (n <= 0)
            break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
}

std::string windows_exe()
{
    std::string exe = HALVORAN_WINDOWS_EXE;
    if (exe.empty() || !file_exists(exe) || std::system("command -v wine >/dev/null 2>&1") != 0)
        return "";
    return exe;
}

namespace {

std::string wine_prefix()
{
    const char* p = std::getenv("WINEPREFIX");
    if (p != nullptr && *p != '\0')
        return p;
    std::string home = std::getenv("HOME") != nullptr ? std::getenv("HOME") : "/root";
    return home + "/.wine";
}

} // namespace

void map_com_port(const std::string& name, const std::string& device)
{
    std::string dir = wine_prefix() + "/dosdevices";
    std::filesystem::create_directories(dir);
    std::string link = dir + "/" + name;
    unlink(link.c_str());
    if (symlink(device.c_str(), link.c_str()) != 0)
        fail("symlink " + link);
}

run_result run_windows_program(const std::vector<std::string>& args, const std::string& stdin_data,
                               int timeout_ms, const std::string& cwd, const std::string& winedebug)
{
    setenv("WINEDEBUG", winedebug.c_str(), 1);
    std::vector<std::string> argv{"/usr/bin/wine", windows_exe()};
    argv.insert(argv.end(), args.begin(), args.end());
    run_result r = run_command(argv, stdin_data, timeout_ms, cwd);
    // The program prints its banner before anything else. No output at all
    // means wine failed to start it (seen now and then while another wine
    // process starts at the same moment): that is no run of the program, so
    // it is started once more.
    if (r.out.empty() && !r.timed_out)
        r = run_command(argv, stdin_data, timeout_ms, cwd);
    setenv("WINEDEBUG", "-all", 1);
    return r;
}

std::string unix_lines(const std::string& text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            continue;
        out += text[i];
    }
    return out;
}

wine_port_prefix::wine_port_prefix(const std::string& com, const std::string& device,
                                   const std::string& user_keys)
    : old_(wine_prefix()), path_(temp_dir() + "/wine")
{
    std::filesystem::create_directories(path_ + "/dosdevices");
    for (const char* file : {".update-timestamp", "userdef.reg"})
        std::filesystem::copy_file(old_ + "/" + file, path_ + "/" + file);
    write_file(path_ + "/user.reg", read_file(old_ + "/user.reg") + "\n" + user_keys);
    write_file(path_ + "/system.reg", read_file(old_ + "/system.reg") +
                                          "\n[Software\\\\Wine\\\\Ports]\n\"" + com + "\"=\"" +
                                          device + "\"\n");
    if (symlink((old_ + "/drive_c").c_str(), (path_ + "/drive_c").c_str()) != 0 ||
        symlink("../drive_c", (path_ + "/dosdevices/c:").c_str()) != 0 ||
        symlink("/", (path_ + "/dosdevices/z:").c_str()) != 0)
        fail("symlink in " + path_);
    setenv("WINEPREFIX", path_.c_str(), 1);
}

wine_port_prefix::~wine_port_prefix()
{
    std::string stop = "WINEPREFIX='" + path_ + "' wineserver -k >/dev/null 2>&1; WINEPREFIX='" +
                       path_ + "' wineserver -w >/dev/null 2>&1";
    (void)std::system(stop.c_str());
    setenv("WINEPREFIX", old_.c_str(), 1);
}

background_run::background_run(const std::vector<std::string>& argv, const std::string& cwd,
                               int stdin_terminal)
{
    start_ = now_seconds();
    pid_ = spawn(argv, cwd, nullptr, &out_fd_, stdin_terminal);
}

terminal_run::terminal_run(const std::vector<std::string>& argv, const std::string& cwd)
{
    // A terminal as a user's starts: line editing, echo, signals.
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[128];
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0 ||
        ptsname_r(master_, name, sizeof name) != 0)
        fail("posix_openpt");
    int terminal = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (terminal < 0)
        fail("open terminal");
    run_ = std::make_unique<background_run>(argv, cwd, terminal);
    close(terminal);
}

terminal_run::~terminal_run()
{
    run_.reset();
    close(master_);
}

bool terminal_run::wait_for_output(const std::string& text, int timeout_ms)
{
    const double deadline = now_seconds() + timeout_ms / 1000.0;
    for (;;) {
        // Asked before the output is read: a program that had ended then
        // has all it wrote in the pipe.
        const bool ended = run_->ended();
        // The terminal's echo of typed keys is read and dropped: the
        // program's output goes to the pipe.
        char echo[256];
        pollfd p{master_, POLLIN, 0};
        while (poll(&p, 1, 0) > 0 && (p.revents & POLLIN) != 0 &&
               read(master_, echo, sizeof echo) > 0) {
        }
        const std::string& out = run_->output();
        auto found = out.find(text, seen_);
        if (found != std::string::npos) {
            seen_ = found + text.size();
            return true;
        }
        if (ended || now_seconds() > deadline)
            return false;
        usleep(10000);
    }
}

bool terminal_run::wait_for_raw_terminal(int timeout_ms)
{
    const double deadline = now_seconds() + timeout_ms / 1000.0;
    for (;;) {
        termios mode{};
        if (tcgetattr(master_, &mode) == 0 && (mode.c_lflag & ICANON) == 0)
            return true;
        if (run_->ended() || now_seconds() > deadline)
            return false;
        usleep(10000);
    }
}

void terminal_run::type(const std::string& keys) { write_all(master_, keys); }

run_result terminal_run::wait(int timeout_ms) { return run_->wait(timeout_ms); }

run_result run_on_terminal(const std::vector<std::string>& argv,
                           const std::vector<terminal_answer>& answers, const std::string& cwd,
                           int timeout_ms)
{
    terminal_run run(argv, cwd);
    for (const auto& answer : answers) {
        // A question that does not come ends the run: the output shows
        // where it stopped.
        if (!run.wait_for_output(answer.question, timeout_ms))
            return run.wait(run.ended() ? timeout_ms : 0);
        run.type(answer.keys);
    }
    return run.wait(timeout_ms);
}
