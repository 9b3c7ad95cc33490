// halvoran_bench: runs halvoranupdate's three jobs against boxsim and measures them.
//
// On a line paced like a real one (boxsim --baud) it compares each job's wall time with the
// least time the job can take: its bytes on the line in both directions at 10 bits a byte,
// plus the pauses the program must make and the box's own time. Against the unpaced
// simulator it measures the program's CPU time per MiB moved, its peak memory for a small
// and a large firmware image, and (with the allocation counter preloaded) the heap
// allocations it makes once main() runs. Results go to a folder as a markdown report, a CSV
// of every run and data files for the plot; each target is judged PASS or FAIL.
//
// With the trace (HALVORAN_TRACE) it runs the three jobs again, traced and untraced one after
// the other, and writes their wall times, CPU times and allocation counts to trace.md;
// --trace-only runs that part alone.
//
// usage: halvoran_bench --program PATH --boxsim PATH --out DIR [--work DIR]
//                       [--alloc-lib PATH] [--baud N] [--quick] [--trace-only]
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <poll.h>
#include <random>
#include <sched.h>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using clock_type = std::chrono::steady_clock;

constexpr std::uint64_t kib = 1024;
constexpr std::uint64_t mib = 1024 * kib;

// The pauses the program makes, in seconds: after the connection check's answer, after
// "503 18", and after the new version has been reported.
constexpr double check_pause = 0.2;
constexpr double table_pause = 1.0;
constexpr double boot_pause = 4.0;
// The box's own time in a firmware update: the loader takes the image as ended after 200 ms
// of quiet line, and the restart takes the simulator's boot delay.
constexpr double loader_quiet = 0.2;
constexpr int boot_delay_ms = 300;

// Targets.
constexpr double max_ratio = 1.01;      // paced wall time over the limit
constexpr double max_cpu_share = 0.05;  // CPU time over the line time of the same bytes
constexpr long max_rss_growth_kib = 64; // 64 MiB image against 1 MiB image
constexpr unsigned long max_allocations = 0;

const std::vector<std::string> full_box = {"--sat", "250",     "--tp", "4000",  "--tv",
                                           "5000",  "--radio", "1000", "--fav", "100"};

struct options {
    std::string program;
    std::string boxsim;
    std::string out;
    std::string work; // images, list files, transcripts; <out>/work unless given
    std::string alloc_lib;
    unsigned baud = 115200;
    bool quick = false;
    bool trace_only = false;
};

struct run_result {
    double wall = 0;
    double user = 0;
    double sys = 0;
    long maxrss_kib = 0;   // the program's own peak resident memory (VmHWM)
    long rss_file_kib = 0; // of it, pages of files: the program's code and the libraries
    // The peak less the file pages: the program's data, heap and stack. File pages of shared
    // libraries come and go with the page cache (fault-around), by some 100 KiB from run to
    // run, whatever the program does; this part does not.
    long data_kib() const { return maxrss_kib - rss_file_kib; }
    int status = -1;
    std::uint64_t from_program = 0;
    std::uint64_t to_program = 0;
    std::uint64_t ahead = 0; // paced line: most bytes the program had written ahead of it
    std::string alloc_report;

    double cpu() const { return user + sys; }
    std::uint64_t line_bytes() const { return from_program + to_program; }
};

void say(const std::string& text) { std::cerr << text << std::flush; }

// Paced runs: the simulator and the program share CPU 0 and the simulator runs at real-time
// priority, so that it stops the program's output as soon as a write has come in. A
// pseudo-terminal takes about 20 KiB before a writer blocks; a simulator that loses the CPU
// lets the program run that far ahead of the line, and at 115200 baud the box's answer to a
// table block then comes after the program's one-second limit. Both are best effort: without
// the privilege the run goes on as it is.
void share_cpu_0()
{
    cpu_set_t cpus;
    CPU_ZERO(&cpus);
    CPU_SET(0, &cpus);
    (void)sched_setaffinity(0, sizeof cpus, &cpus);
}

void real_time()
{
    sched_param p{};
    p.sched_priority = 10;
    (void)sched_setscheduler(0, SCHED_FIFO, &p);
}

// The simulator of the run under way, ended by die() as well.
pid_t running_simulator = -1;

[[noreturn]] void die(const std::string& what)
{
    std::cerr << "halvoran_bench: " << what << "\n";
    if (running_simulator > 0) {
        kill(running_simulator, SIGTERM);
        waitpid(running_simulator, nullptr, 0);
    }
    std::exit(2);
}

std::string read_text(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_text(const fs::path& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out)
        die("cannot write " + path.string());
}

double seconds_since(clock_type::time_point start)
{
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

double line_seconds(std::uint64_t bytes, unsigned baud)
{
    return static_cast<double>(bytes) * 10.0 / baud;
}

std::vector<char*> argv_of(std::vector<std::string>& args)
{
    std::vector<char*> v;
    for (auto& a : args)
        v.push_back(a.data());
    v.push_back(nullptr);
    return v;
}

// A firmware image: the header the program checks ("010", two bytes, "ZOVA"), a version text
// in bytes 9 to 19, then pseudo-random bytes, so every byte value travels.
void make_image(const fs::path& path, std::uint64_t size)
{
    std::string data(size, '\0');
    std::mt19937 random(static_cast<unsigned>(size));
    for (auto& c : data)
        c = static_cast<char>(random() & 0xFF);
    const std::string header = std::string("010\x01\x02ZOVA", 9) + "9.99 (2099)";
    std::copy(header.begin(), header.end(), data.begin());
    write_text(path, data);
}

// The simulator, started for one run and ended after it.
class simulator {
  public:
    simulator(const options& o, const fs::path& work, std::vector<std::string> args, bool paced)
        : transcript_(work / "transcript.txt")
    {
        fs::remove(transcript_);
        std::vector<std::string> argv = {o.boxsim, "--transcript", transcript_.string(),
                                         "--boot-ms", std::to_string(boot_delay_ms)};
        argv.insert(argv.end(), args.begin(), args.end());
        int out[2];
        if (pipe(out) != 0)
            die("pipe");
        pid_ = fork();
        if (pid_ < 0)
            die("fork");
        if (pid_ == 0) {
            dup2(out[1], STDOUT_FILENO);
            int err = open((work / "boxsim.err").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            if (err >= 0)
                dup2(err, STDERR_FILENO);
            close(out[0]);
            close(out[1]);
            if (paced) {
                share_cpu_0();
                real_time();
            }
            auto v = argv_of(argv);
            execv(v[0], v.data());
            _exit(127);
        }
        close(out[1]);
        running_simulator = pid_;
        // The first line is the terminal's path.
        std::string line;
        auto start = clock_type::now();
        char c = 0;
        while (line.empty() || line.back() != '\n') {
            pollfd p{out[0], POLLIN, 0};
            if (seconds_since(start) > 10 || poll(&p, 1, 100) < 0)
                die("boxsim did not start");
            if (p.revents & (POLLIN | POLLHUP)) {
                if (read(out[0], &c, 1) != 1)
                    die("boxsim ended at start: " + read_text(work / "boxsim.err"));
                line += c;
            }
        }
        close(out[0]);
        line.pop_back();
        device_ = line;
    }
    ~simulator()
    {
        kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
        running_simulator = -1;
    }
    simulator(const simulator&) = delete;
    simulator& operator=(const simulator&) = delete;

    const std::string& device() const { return device_; }

    // Waits until the simulator has taken in everything of the run and noted its line use;
    // fills in the bytes of both directions.
    void line_use(run_result& r) const
    {
        const std::string marker = "# line carried ";
        auto start = clock_type::now();
        while (seconds_since(start) < 10) {
            std::string text = read_text(transcript_);
            auto pos = text.rfind(marker);
            if (pos != std::string::npos &&
                text.find("program closed the line", pos) != std::string::npos) {
                unsigned long long from = 0, to = 0, ahead = 0;
                int n = std::sscanf(text.c_str() + pos + marker.size(),
                                    "%llu bytes from the program and %llu bytes to it; the "
                                    "program ran up to %llu",
                                    &from, &to, &ahead);
                if (n >= 2) {
                    r.from_program = from;
                    r.to_program = to;
                    r.ahead = n == 3 ? ahead : 0;
                    return;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        die("the simulator did not note the end of the run (" + transcript_.string() + ")");
    }

  private:
    fs::path transcript_;
    pid_t pid_ = -1;
    std::string device_;
};

// One run of the program against a fresh simulator; nullopt with the end of the program's
// output in `failure` when it did not end with status 0.
std::optional<run_result> try_job(const options& o, const fs::path& work,
                                  const std::vector<std::string>& sim_args,
                                  const std::vector<std::string>& job_args, bool count_allocations,
                                  const std::string& trace, std::string& failure)
{
    const bool paced = std::find(sim_args.begin(), sim_args.end(), "--baud") != sim_args.end();
    simulator sim(o, work, sim_args, paced);
    std::vector<std::string> argv = {o.program, sim.device()};
    argv.insert(argv.end(), job_args.begin(), job_args.end());
    const fs::path out_path = work / "program.out";
    const fs::path alloc_path = work / "alloc.txt";
    fs::remove(alloc_path);

    run_result r;
    auto start = clock_type::now();
    pid_t pid = fork();
    if (pid < 0)
        die("fork");
    if (pid == 0) {
        int in = open("/dev/null", O_RDONLY);
        int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0)
            _exit(127);
        dup2(in, STDIN_FILENO);
        dup2(out, STDOUT_FILENO);
        dup2(out, STDERR_FILENO);
        if (paced)
            share_cpu_0();
        if (!trace.empty())
            setenv("HALVORAN_TRACE", trace.c_str(), 1);
        else
            unsetenv("HALVORAN_TRACE");
        if (count_allocations) {
            setenv("LD_PRELOAD", o.alloc_lib.c_str(), 1);
            setenv("HALVORAN_ALLOC_LOG", alloc_path.c_str(), 1);
        }
        // Traced only to be stopped once at its exit, see below.
        ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
        auto v = argv_of(argv);
        execv(v[0], v.data());
        _exit(127);
    }
    // The peak resident memory is read from the program's own address space as it exits.
    // ru_maxrss will not do: it keeps the high-water mark of the forked copy of this driver
    // that the program replaced, which grows with what the driver holds.
    int status = 0;
    rusage usage{};
    bool traced = true;
    for (;;) {
        pid_t w = wait4(pid, &status, 0, &usage);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            die("wait4");
        }
        if (WIFEXITED(status) || WIFSIGNALED(status))
            break;
        if (!WIFSTOPPED(status))
            continue;
        int sig = WSTOPSIG(status);
        if (sig == SIGTRAP && traced && (status >> 16) == 0) {
            // Stopped at the exec: from now on only its exit stops it.
            ptrace(PTRACE_SETOPTIONS, pid, nullptr, PTRACE_O_TRACEEXIT | PTRACE_O_EXITKILL);
            traced = false;
            sig = 0;
        } else if (sig == SIGTRAP && (status >> 16) == PTRACE_EVENT_EXIT) {
            std::ifstream proc("/proc/" + std::to_string(pid) + "/status");
            for (std::string line; std::getline(proc, line);)
                if (line.rfind("VmHWM:", 0) == 0)
                    r.maxrss_kib = std::stol(line.substr(6));
                else if (line.rfind("RssFile:", 0) == 0)
                    r.rss_file_kib = std::stol(line.substr(8));
            sig = 0;
        }
        ptrace(PTRACE_CONT, pid, nullptr, reinterpret_cast<void*>(static_cast<long>(sig)));
    }
    r.wall = seconds_since(start);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.user = static_cast<double>(usage.ru_utime.tv_sec) + usage.ru_utime.tv_usec / 1e6;
    r.sys = static_cast<double>(usage.ru_stime.tv_sec) + usage.ru_stime.tv_usec / 1e6;
    if (r.status != 0) {
        // The end of its output, without the percentage display's backspaces.
        std::string output = read_text(out_path);
        std::string tail = output.substr(output.size() > 400 ? output.size() - 400 : 0);
        std::replace(tail.begin(), tail.end(), '\b', ' ');
        failure = "job '" + job_args.front() + "' ended with status " + std::to_string(r.status) +
                  "; the end of its output:\n..." + tail;
        return std::nullopt;
    }
    sim.line_use(r);
    if (count_allocations)
        r.alloc_report = read_text(alloc_path);
    return r;
}

// A job that must succeed: one that fails ends the benchmark (status 2), never tried again.
run_result run_job(const options& o, const fs::path& work, const std::vector<std::string>& sim_args,
                   const std::vector<std::string>& job_args, bool count_allocations = false,
                   const std::string& trace = "")
{
    std::string failure;
    if (trace.size())
        fs::remove(trace); // one run's trace only
    if (auto r = try_job(o, work, sim_args, job_args, count_allocations, trace, failure))
        return *r;
    die(failure);
}

std::string fixed(double v, int digits)
{
    char s[64];
    std::snprintf(s, sizeof s, "%.*f", digits, v);
    return s;
}

std::string size_text(std::uint64_t bytes)
{
    if (bytes >= mib && bytes % mib == 0)
        return std::to_string(bytes / mib) + " MiB";
    return std::to_string(bytes / kib) + " KiB";
}

std::string verdict(bool ok) { return ok ? "PASS" : "FAIL"; }

// The machine the figures come from.
std::string machine_text()
{
    std::string cpu = "unknown";
    std::ifstream info("/proc/cpuinfo");
    for (std::string line; std::getline(info, line);)
        if (line.rfind("model name", 0) == 0) {
            cpu = line.substr(line.find(':') + 2);
            break;
        }
    utsname u{};
    uname(&u);
    double load[3] = {0, 0, 0};
    getloadavg(load, 3);
    return "- CPU: " + cpu + ", " + std::to_string(std::thread::hardware_concurrency()) +
           " logical cores\n- kernel: " + u.sysname + " " + u.release + " " + u.machine +
           "\n- load average at the start: " + fixed(load[0], 2) + " " + fixed(load[1], 2) + " " +
           fixed(load[2], 2) + "\n";
}

// Allocation report of the counter: the count after main() started and, for each kept
// allocation, its size and the functions it came through, innermost first.
struct alloc_result {
    unsigned long after_main = 0;
    std::string sites; // one markdown list item per allocation
};

// The function of one frame line of backtrace_symbols_fd: "file(symbol+0x..)[0x..]" or
// "file(+0x..)[0x..]"; the program's own addresses are resolved with addr2line.
std::string frame_function(const options& o, const std::string& frame)
{
    auto open = frame.find('(');
    auto close = frame.find(')', open);
    if (open == std::string::npos || close == std::string::npos)
        return "";
    std::string file = frame.substr(0, open);
    std::string inside = frame.substr(open + 1, close - open - 1);
    if (file == o.alloc_lib)
        return "";
    if (!inside.empty() && inside[0] != '+')
        return inside.substr(0, inside.find('+'));
    if (file != o.program)
        return "";
    std::string command =
        "addr2line -f -C -e '" + o.program + "' " + inside.substr(1) + " 2>/dev/null";
    std::string function;
    if (FILE* p = popen(command.c_str(), "r")) {
        char buf[512];
        if (std::fgets(buf, sizeof buf, p))
            function = buf;
        pclose(p);
    }
    function = function.substr(0, function.find_first_of("(\n"));
    return function == "??" ? "" : function;
}

alloc_result parse_allocations(const options& o, const std::string& report)
{
    alloc_result a;
    bool found = false;
    std::string current;
    bool first = true;
    auto flush = [&] {
        if (!current.empty())
            a.sites += "  - " + current + "\n";
        current.clear();
    };
    std::istringstream in(report);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("after_main ", 0) == 0) {
            a.after_main = std::stoul(line.substr(11));
            found = true;
        } else if (line.rfind("allocation ", 0) == 0) {
            flush();
            current = line.substr(11) + " bytes:";
            first = true;
        } else if (!current.empty()) {
            std::string function = frame_function(o, line);
            if (!function.empty() && function != "main" && function != "_start" &&
                function.rfind("__libc_start", 0) != 0) {
                current += (first ? " " : " < ") + function;
                first = false;
            }
        }
    }
    flush();
    if (!found)
        die("the allocation counter wrote no report");
    return a;
}

struct csv_writer {
    std::ostringstream text;
    csv_writer()
    {
        text << "section,job,size_bytes,baud,wall_s,user_s,sys_s,peak_rss_kib,rss_file_kib,"
                "bytes_from_program,"
                "bytes_to_program,limit_s,ratio\n";
    }
    void add(const std::string& section, const std::string& job, std::uint64_t size, unsigned baud,
             const run_result& r, double limit)
    {
        text << section << "," << job << "," << size << "," << baud << "," << fixed(r.wall, 3)
             << "," << fixed(r.user, 3) << "," << fixed(r.sys, 3) << "," << r.maxrss_kib << ","
             << r.rss_file_kib << "," << r.from_program << "," << r.to_program << ","
             << (limit > 0 ? fixed(limit, 3) : "") << ","
             << (limit > 0 ? fixed(r.wall / limit, 4) : "") << "\n";
    }
};

// The trace's cost: each job on the paced line untraced and traced, one right after the
// other against a fresh simulator; the CPU time of saves on the unpaced line (median of
// three each way); the heap allocations of traced runs. Writes trace.md; true when every
// traced job stays within its limit and allocates nothing.
bool trace_section(const options& o, const fs::path& work, const fs::path& out)
{
    const std::string baud = std::to_string(o.baud);
    std::vector<std::string> paced_box = {"--baud", baud};
    paced_box.insert(paced_box.end(), full_box.begin(), full_box.end());
    const fs::path trace = work / "trace.txt";
    const fs::path image = work / "image_256k.zova";
    make_image(image, 256 * kib);
    const fs::path list = work / "list_trace.cxf";
    fs::remove(list);
    const double fw_pauses = check_pause + boot_pause + loader_quiet + boot_delay_ms / 1000.0;
    const double table_pauses = check_pause + table_pause;
    struct job {
        std::string name;
        std::vector<std::string> args;
        double pauses;
    };
    const std::vector<job> jobs = {{"firmware 256 KiB", {image.string()}, fw_pauses},
                                   {"save", {"s", list.string()}, table_pauses},
                                   {"load", {"l", list.string()}, table_pauses}};
    bool pass = true;
    std::ostringstream report;
    report << "# halvoranupdate benchmark: the trace (HALVORAN_TRACE)\n\n"
           << machine_text() << "- line: " << baud << " baud, 8N1\n\n"
           << "## Jobs on the paced line, untraced and traced\n\n"
           << "Full box, as in results.md; each job runs untraced, then traced, each against a "
              "fresh simulator. Limit = bytes on the line x 10 / baud + the pauses (see "
              "results.md). Target: the traced run within "
           << fixed(max_ratio, 2)
           << " of its limit.\n\n| job | untraced wall s | untraced wall / limit | traced wall s "
              "| traced wall / limit | traced - untraced s | trace file bytes | trace lines | "
              "target |\n|---|---:|---:|---:|---:|---:|---:|---:|---|\n";
    for (const job& j : jobs) {
        say("trace, paced line: " + j.name + " untraced, traced\n");
        run_result plain = run_job(o, work, paced_box, j.args);
        run_result traced = run_job(o, work, paced_box, j.args, false, trace.string());
        const std::string text = read_text(trace);
        const double plain_limit = line_seconds(plain.line_bytes(), o.baud) + j.pauses;
        const double traced_limit = line_seconds(traced.line_bytes(), o.baud) + j.pauses;
        const bool ok = traced.wall / traced_limit <= max_ratio;
        pass = pass && ok;
        report << "| " << j.name << " | " << fixed(plain.wall, 3) << " | "
               << fixed(plain.wall / plain_limit, 4) << " | " << fixed(traced.wall, 3) << " | "
               << fixed(traced.wall / traced_limit, 4) << " | "
               << fixed(traced.wall - plain.wall, 3) << " | " << text.size() << " | "
               << std::count(text.begin(), text.end(), '\n') << " | " << verdict(ok) << " |\n";
    }

    say("trace, unpaced line: save x3 untraced, x3 traced\n");
    std::vector<double> plain_cpu, traced_cpu, plain_wall, traced_wall;
    for (int i = 0; i < 3; ++i) {
        run_result p = run_job(o, work, full_box, {"s", list.string()});
        run_result t = run_job(o, work, full_box, {"s", list.string()}, false, trace.string());
        plain_cpu.push_back(p.cpu());
        traced_cpu.push_back(t.cpu());
        plain_wall.push_back(p.wall);
        traced_wall.push_back(t.wall);
    }
    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[1];
    };
    report << "\n## Save on the unpaced line (median of 3)\n\n| run | wall s | CPU s |\n"
              "|---|---:|---:|\n| untraced | "
           << fixed(median(plain_wall), 3) << " | " << fixed(median(plain_cpu), 3)
           << " |\n| traced | " << fixed(median(traced_wall), 3) << " | "
           << fixed(median(traced_cpu), 3) << " |\n";

    report << "\n## Heap allocations after main() started, traced\n\n";
    if (o.alloc_lib.empty()) {
        report << "Not measured (no --alloc-lib).\n";
    } else {
        say("trace, allocation count: firmware 256 KiB, save, load\n");
        report << "| job | allocations untraced | allocations traced | target (= "
               << max_allocations << ") |\n|---|---:|---:|---|\n";
        std::string sites;
        for (const job& j : jobs) {
            alloc_result plain =
                parse_allocations(o, run_job(o, work, full_box, j.args, true).alloc_report);
            alloc_result traced = parse_allocations(
                o, run_job(o, work, full_box, j.args, true, trace.string()).alloc_report);
            const bool ok = traced.after_main <= max_allocations;
            pass = pass && ok;
            report << "| " << j.name << " | " << plain.after_main << " | " << traced.after_main
                   << " | " << verdict(ok) << " |\n";
            if (!traced.sites.empty())
                sites += "- " + j.name + ":\n" + traced.sites;
        }
        if (!sites.empty())
            report << "\nWhere they come from:\n\n" << sites;
    }
    report << "\n## Verdict\n\n" << (pass ? "All targets met: PASS\n" : "Targets missed: FAIL\n");
    fs::remove(image);
    fs::remove(list);
    fs::remove(trace);
    write_text(out / "trace.md", report.str());
    std::cout << report.str();
    return pass;
}

options parse(int argc, char** argv)
{
    options o;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                die(a + " needs a value");
            return argv[++i];
        };
        if (a == "--program")
            o.program = fs::absolute(value()).string();
        else if (a == "--boxsim")
            o.boxsim = fs::absolute(value()).string();
        else if (a == "--out")
            o.out = value();
        else if (a == "--work")
            o.work = value();
        else if (a == "--alloc-lib")
            o.alloc_lib = fs::absolute(value()).string();
        else if (a == "--baud")
            o.baud = static_cast<unsigned>(std::stoul(value()));
        else if (a == "--quick")
            o.quick = true;
        else if (a == "--trace-only")
            o.trace_only = true;
        else
            die("unknown option " + a +
                "\nusage: halvoran_bench --program PATH --boxsim PATH --out DIR [--work DIR] "
                "[--alloc-lib PATH] [--baud N] [--quick] [--trace-only]");
    }
    if (o.program.empty() || o.boxsim.empty() || o.out.empty())
        die("--program, --boxsim and --out are required");
    if (o.baud == 0)
        die("--baud must be above 0");
    return o;
}

} // namespace

int main(int argc, char** argv)
{
    const options o = parse(argc, argv);
    const fs::path out = o.out;
    const fs::path work = o.work.empty() ? out / "work" : fs::path(o.work);
    fs::create_directories(work);
    const std::string baud = std::to_string(o.baud);
    const std::vector<std::string> paced = {"--baud", baud};
    auto with = [](std::vector<std::string> a, const std::vector<std::string>& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    const double line_per_mib = line_seconds(mib, o.baud);
    if (o.trace_only)
        return trace_section(o, work, out) ? 0 : 1;

    std::ostringstream report;
    csv_writer csv;
    bool all_pass = true;
    report << "# halvoranupdate benchmark\n\n"
           << machine_text() << "- line: " << baud
           << " baud, 8N1 (10 bits a byte): " << fixed(line_per_mib, 2) << " s per MiB\n\n";

    // Paced line: the three jobs with a full box.
    say("paced line, " + baud + " baud: firmware 256 KiB, save, load\n");
    const fs::path image_256k = work / "image_256k.zova";
    make_image(image_256k, 256 * kib);
    const fs::path list = work / "list.cxf";
    fs::remove(list);

    struct job_row {
        std::string name;
        run_result r;
        double pauses;
    };
    std::vector<job_row> jobs;
    const double fw_pauses = check_pause + boot_pause + loader_quiet + boot_delay_ms / 1000.0;
    const double table_pauses = check_pause + table_pause;
    jobs.push_back({"firmware 256 KiB",
                    run_job(o, work, with(paced, full_box), {image_256k.string()}), fw_pauses});
    jobs.push_back(
        {"save", run_job(o, work, with(paced, full_box), {"s", list.string()}), table_pauses});
    jobs.push_back(
        {"load", run_job(o, work, with(paced, full_box), {"l", list.string()}), table_pauses});

    report << "## Jobs on the paced line\n\n"
           << "Full box: 250 satellites, 4000 transponders, 5000 TV + 1000 radio channels, 100 "
              "favourites. Limit = bytes on the line (both directions) x 10 / "
           << baud
           << " + pauses: 200 ms after the connection check; 1000 ms after \"503 18\"; for the "
              "firmware 4000 ms after the new version, plus the box's own time: 200 ms of quiet "
              "line that ends the image in the loader and the simulator's boot delay of "
           << boot_delay_ms
           << " ms. Program ahead of the line: the most bytes the program had written that the "
              "line had not yet carried, as the simulator saw it (its writes return that early). "
              "The simulator and the program share CPU 0, the simulator at real-time priority "
              "where permitted, so that it holds the program's output in time. A job that fails "
              "ends the benchmark.\n\n"
           << "| job | bytes to box | bytes from box | line time s | pauses s | limit s | wall s "
              "| wall / limit | CPU s | program ahead of the line, bytes | target (<= "
           << fixed(max_ratio, 2)
           << ") |\n|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|\n";
    for (const auto& j : jobs) {
        double line = line_seconds(j.r.line_bytes(), o.baud);
        double limit = line + j.pauses;
        bool ok = j.r.wall / limit <= max_ratio;
        all_pass = all_pass && ok;
        report << "| " << j.name << " | " << j.r.from_program << " | " << j.r.to_program << " | "
               << fixed(line, 3) << " | " << fixed(j.pauses, 3) << " | " << fixed(limit, 3) << " | "
               << fixed(j.r.wall, 3) << " | " << fixed(j.r.wall / limit, 4) << " | "
               << fixed(j.r.cpu(), 3) << " | " << j.r.ahead << " | " << verdict(ok) << " |\n";
        csv.add("paced", j.name, 0, o.baud, j.r, limit);
    }

    // Wall time against image size, paced and unpaced.
    std::vector<std::uint64_t> paced_sizes = {16 * kib, 64 * kib, 256 * kib};
    if (!o.quick)
        paced_sizes.push_back(1 * mib);
    const std::vector<std::uint64_t> unpaced_sizes = {16 * kib, 64 * kib, 256 * kib, 1 * mib,
                                                      4 * mib,  16 * mib, 64 * mib};
    std::map<std::uint64_t, run_result> paced_runs, unpaced_runs;
    paced_runs[256 * kib] = jobs[0].r;
    std::ostringstream paced_dat, unpaced_dat;
    paced_dat << "# size_kib wall_s limit_s\n";
    unpaced_dat << "# size_kib wall_s cpu_s peak_rss_kib\n";
    for (auto size : paced_sizes) {
        if (!paced_runs.count(size)) {
            say("paced line: firmware " + size_text(size) + "\n");
            fs::path image = work / "image.zova";
            make_image(image, size);
            paced_runs[size] = run_job(o, work, paced, {image.string()});
        }
        const auto& r = paced_runs[size];
        double limit = line_seconds(r.line_bytes(), o.baud) + fw_pauses;
        paced_dat << size / kib << " " << fixed(r.wall, 3) << " " << fixed(limit, 3) << "\n";
        if (size != 256 * kib)
            csv.add("paced", "firmware", size, o.baud, r, limit);
    }
    for (auto size : unpaced_sizes) {
        say("unpaced line: firmware " + size_text(size) + "\n");
        fs::path image = work / "image.zova";
        make_image(image, size);
        unpaced_runs[size] = run_job(o, work, {}, {image.string()});
        const auto& r = unpaced_runs[size];
        unpaced_dat << size / kib << " " << fixed(r.wall, 3) << " " << fixed(r.cpu(), 3) << " "
                    << r.maxrss_kib << "\n";
        csv.add("unpaced", "firmware", size, 0, r, 0);
    }
    fs::remove(work / "image.zova");
    write_text(out / "firmware_paced.dat", paced_dat.str());
    write_text(out / "firmware_unpaced.dat", unpaced_dat.str());

    report << "\n## Firmware image size against wall time\n\n"
           << "| image | paced wall s | paced limit s | paced wall / limit | unpaced wall s | "
              "unpaced CPU s | peak RSS KiB |\n|---|---:|---:|---:|---:|---:|---:|\n";
    for (auto size : unpaced_sizes) {
        report << "| " << size_text(size) << " | ";
        if (paced_runs.count(size)) {
            const auto& r = paced_runs[size];
            double limit = line_seconds(r.line_bytes(), o.baud) + fw_pauses;
            report << fixed(r.wall, 3) << " | " << fixed(limit, 3) << " | "
                   << fixed(r.wall / limit, 4) << " | ";
        } else {
            report << "- | - | - | ";
        }
        const auto& u = unpaced_runs[size];
        report << fixed(u.wall, 3) << " | " << fixed(u.cpu(), 3) << " | " << u.maxrss_kib << " |\n";
    }
    report << "\nUnpaced, every firmware run still holds 4.7 s of fixed time (the program's "
              "pauses, the loader's quiet line, the boot delay); the rest is the transfer. Plot: "
              "`wall_vs_size.png`.\n";

    // CPU time per MiB on the unpaced line: the largest image, and the median of three saves.
    say("unpaced line: save x3, load\n");
    std::vector<run_result> saves;
    for (int i = 0; i < 3; ++i)
        saves.push_back(run_job(o, work, full_box, {"s", list.string()}));
    std::sort(saves.begin(), saves.end(),
              [](const run_result& a, const run_result& b) { return a.cpu() < b.cpu(); });
    const run_result& save = saves[1];
    const run_result load = run_job(o, work, full_box, {"l", list.string()});
    for (const auto& s : saves)
        csv.add("unpaced", "save", 0, 0, s, 0);
    csv.add("unpaced", "load", 0, 0, load, 0);

    report << "\n## CPU time on the unpaced line\n\nCPU = user + system time of the program's "
              "process; per MiB of bytes on the line (both directions); share = CPU time over the "
              "line time of the same bytes at "
           << baud << " baud (" << fixed(line_per_mib, 2)
           << " s per MiB). Target: share <= " << fixed(max_cpu_share * 100, 0)
           << " %.\n\n| job | bytes on the line | user s | system s | CPU s per MiB | share | "
              "target |\n|---|---:|---:|---:|---:|---:|---|\n";
    auto cpu_row = [&](const std::string& name, const run_result& r, bool judged) {
        double per_mib = r.cpu() / (static_cast<double>(r.line_bytes()) / mib);
        double share = per_mib / line_per_mib;
        bool ok = share <= max_cpu_share;
        if (judged)
            all_pass = all_pass && ok;
        report << "| " << name << " | " << r.line_bytes() << " | " << fixed(r.user, 3) << " | "
               << fixed(r.sys, 3) << " | " << fixed(per_mib, 4) << " | " << fixed(share * 100, 3)
               << " % | " << (judged ? verdict(ok) : "(not a target)") << " |\n";
    };
    cpu_row("firmware 64 MiB", unpaced_runs[64 * mib], true);
    cpu_row("save (median of 3)", save, true);
    cpu_row("load", load, false);

    // Peak memory.
    const run_result& small = unpaced_runs[1 * mib];
    const run_result& large = unpaced_runs[64 * mib];
    long growth = large.data_kib() - small.data_kib();
    bool rss_ok = growth <= max_rss_growth_kib;
    all_pass = all_pass && rss_ok;
    report << "\n## Peak memory\n\nPeak resident memory of the program's process (VmHWM, read as "
              "it exits), and how much of it is pages of files (the program's code and the C "
              "library, which vary by some 100 KiB from run to run with the page cache). The "
              "rest is the program's data, heap and stack; the target compares that part.\n\n"
              "| image | peak RSS KiB | of it files KiB | data, heap, stack KiB "
              "|\n|---|---:|---:|---:|\n";
    for (const auto* r : {&small, &large})
        report << "| " << (r == &small ? "1 MiB" : "64 MiB") << " | " << r->maxrss_kib << " | "
               << r->rss_file_kib << " | " << r->data_kib() << " |\n";
    report << "\n64 MiB run minus 1 MiB run: " << growth << " KiB (target <= " << max_rss_growth_kib
           << " KiB): " << verdict(rss_ok) << "\n";

    // Heap allocations after main() started.
    report << "\n## Heap allocations after main() started\n\n";
    if (o.alloc_lib.empty()) {
        report << "Not measured (no --alloc-lib).\n";
    } else {
        say("allocation count: firmware 1 MiB, save, load\n");
        fs::path image = work / "image.zova";
        make_image(image, 1 * mib);
        const std::vector<std::pair<std::string, std::vector<std::string>>> counted = {
            {"firmware 1 MiB", {image.string()}},
            {"save", {"s", (work / "list_counted.cxf").string()}},
            {"load", {"l", list.string()}},
        };
        report << "| job | allocations | target (= " << max_allocations << ") |\n|---|---:|---|\n";
        std::string sites;
        for (const auto& [name, args] : counted) {
            run_result r = run_job(o, work, full_box, args, true);
            alloc_result a = parse_allocations(o, r.alloc_report);
            bool ok = a.after_main <= max_allocations;
            all_pass = all_pass && ok;
            report << "| " << name << " | " << a.after_main << " | " << verdict(ok) << " |\n";
            if (!a.sites.empty())
                sites += "- " + name + ":\n" + a.sites;
        }
        fs::remove(image);
        fs::remove(work / "list_counted.cxf");
        if (!sites.empty())
            report << "\nWhere they come from (innermost function of the program first):\n\n"
                   << sites;
    }

    report << "\n## Verdict\n\n"
           << (all_pass ? "All targets met: PASS\n" : "Targets missed: FAIL\n");
    write_text(out / "results.md", report.str());
    write_text(out / "runs.csv", csv.text.str());
    std::cout << report.str();
    all_pass = trace_section(o, work, out) && all_pass;
    return all_pass ? 0 : 1;
}
