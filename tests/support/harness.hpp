// Test support: real processes, real pseudo-terminals, the box simulator.
#pragma once

#include <memory>
#include <string>
#include <vector>

// A fresh folder under the system's temporary folder, removed at exit.
std::string temp_dir();

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& data);
bool file_exists(const std::string& path);
// The names in a folder, sorted.
std::vector<std::string> list_dir(const std::string& path);

struct run_result {
    int exit_code = -1; // exit status, or 128 + signal
    std::string out;    // standard output and standard error, as written
    double seconds = 0;
    bool timed_out = false;
};

// Runs a program with stdin_data as standard input (then its end).
run_result run_command(const std::vector<std::string>& argv, const std::string& stdin_data = "",
                       int timeout_ms = 60000, const std::string& cwd = "");

// Runs the real halvoranupdate binary with the given arguments.
run_result run_program(const std::vector<std::string>& args, const std::string& stdin_data = "",
                       int timeout_ms = 60000, const std::string& cwd = "");

// A running program whose end the test waits for later.
class background_run {
  public:
    background_run(const std::vector<std::string>& argv, const std::string& cwd = "",
                   const std::string& stdin_data = "");
    // The same with standard input from stdin_terminal (the run keeps no
    // copy of it).
    background_run(const std::vector<std::string>& argv, const std::string& cwd,
                   int stdin_terminal);
    ~background_run();
    background_run(const background_run&) = delete;
    background_run& operator=(const background_run&) = delete;
    int pid() const { return pid_; }
    // Output so far (non-blocking).
    const std::string& output();
    void signal(int sig);
    // True once the process has ended (its status stays for wait()).
    bool ended() const;
    run_result wait(int timeout_ms = 60000);

  private:
    int pid_ = -1;
    int out_fd_ = -1;
    double start_ = 0;
    std::string out_;
    bool done_ = false;
    run_result result_;
};

// A program whose standard input is a pseudo-terminal as a user's, in its
// usual mode (line editing, echo): the test waits for a question in the
// output and types the answer. Standard output and standard error go to a
// pipe as in background_run.
class terminal_run {
  public:
    explicit terminal_run(const std::vector<std::string>& argv, const std::string& cwd = "");
    ~terminal_run();
    terminal_run(const terminal_run&) = delete;
    terminal_run& operator=(const terminal_run&) = delete;
    // Waits (at most timeout_ms) until text appears in the output after
    // the place where the previous wait found its text. True when it came;
    // false at once when the program ended without it.
    bool wait_for_output(const std::string& text, int timeout_ms = 30000);
    const std::string& output() { return run_->output(); }
    bool ended() const { return run_->ended(); }
    // Waits (at most timeout_ms) until the program has put the terminal out
    // of line editing. wine's console does so when the program first reads
    // it, and drops keys typed before; typed after, none are lost.
    bool wait_for_raw_terminal(int timeout_ms = 30000);
    // Types keys on the terminal ("\r" is Enter, as a keyboard sends it).
    void type(const std::string& keys);
    run_result wait(int timeout_ms = 60000);

  private:
    int master_ = -1;
    std::size_t seen_ = 0;
    std::unique_ptr<background_run> run_;
};

// A question the program asks and the keys typed once it appears.
struct terminal_answer {
    std::string question, keys;
};
// Runs argv on a terminal_run and answers its questions in order. A
// question that does not come within timeout_ms ends the run at once
// (timed_out is then set).
run_result run_on_terminal(const std::vector<std::string>& argv,
                           const std::vector<terminal_answer>& answers, const std::string& cwd = "",
                           int timeout_ms = 60000);

// The box simulator as a separate process on a pseudo-terminal, with its
// transcript, received bytes and state in a folder of its own.
class boxsim_process {
  public:
    explicit boxsim_process(const std::vector<std::string>& args = {},
                            const std::string& state_dir = "");
    ~boxsim_process();
    boxsim_process(const boxsim_process&) = delete;
    boxsim_process& operator=(const boxsim_process&) = delete;

    const std::string& device() const { return device_; }
    const std::string& state_dir() const { return state_; }
    const std::string& folder() const { return folder_; }
    std::string transcript() const;
    // The command lines the box received, in order.
    std::vector<std::string> commands() const;
    // Waits (at most 5 s) until the box has received this command, while the
    // program may still be running. True when it came.
    bool wait_for_command(const std::string& command) const;
    // Every byte the box received, as is.
    std::string rx_bytes() const;
    // Ends the simulator (SIGTERM) and waits for it.
    void stop();
    bool running();

  private:
    int pid_ = -1;
    std::string folder_, state_, device_;
};

// The command lines in a simulator transcript, in order.
std::vector<std::string> transcript_commands(const std::string& transcript);

// True when the box received a command that changes it: a write request
// "500 <table> 3 ...", a block announcement "910 ..." or the store
// "500 0 4 1". A verify sends none of them.
bool changes_the_box(const std::vector<std::string>& commands);

// The verify's lines when every table of a full list is the same in the box.
inline const std::string all_tables_same =
    "Satelliten: gleich\nTransponder: gleich\nTV: gleich\nRadio: gleich\nFavoriten: gleich\n";

// A pseudo-terminal pair in raw mode for in-process tests: the program's
// side opens slave_path with open_serial, the test plays the box on master.
struct pty_pair {
    int master = -1;
    std::string slave_path;
    int slave_keep = -1; // keeps the slave alive between opens
};
pty_pair open_pty();
void close_pty(pty_pair& p);

// Writes all bytes to fd.
void write_all(int fd, const std::string& bytes);
// Reads what arrives on fd until count bytes came or timeout_ms passed.
std::string read_some(int fd, std::size_t count, int timeout_ms);

// Seconds on a monotonic clock.
double now_seconds();

// The Windows program under wine. windows_exe() is empty when the build has
// none; map_com_port links $WINEPREFIX/dosdevices/<name> (for example com5)
// to a device, so that the Windows program opens it by that name.
std::string windows_exe();
void map_com_port(const std::string& name, const std::string& device);
// winedebug is WINEDEBUG for the run: no messages of wine's own unless a
// test asks for some.
run_result run_windows_program(const std::vector<std::string>& args,
                               const std::string& stdin_data = "", int timeout_ms = 60000,
                               const std::string& cwd = "", const std::string& winedebug = "-all");
// Console output of a Windows run with its CR LF line ends made LF.
std::string unix_lines(const std::string& text);

// A wine prefix of its own, sharing the test prefix's C: drive, in which com
// (for example COM7) is mapped to device through the registry
// (HKLM\Software\Wine\Ports) as a user maps a port. Wine's mount manager
// reads that mapping when the prefix's server starts, and then lists the
// port with the real ones; a link made by map_com_port only opens. While the
// object lives, WINEPREFIX names the new prefix; then its server is ended and
// the variable is put back. user_keys, when given, are registry keys in the
// form of user.reg added to the user's part of the registry.
class wine_port_prefix {
  public:
    wine_port_prefix(const std::string& com, const std::string& device,
                     const std::string& user_keys = "");
    ~wine_port_prefix();
    wine_port_prefix(const wine_port_prefix&) = delete;
    wine_port_prefix& operator=(const wine_port_prefix&) = delete;

  private:
    std::string old_, path_;
};
