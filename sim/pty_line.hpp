// The simulator's end of the serial line: a pseudo-terminal whose slave side the program opens
// as its serial port (Linux).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace boxsim {

class pty_line {
  public:
    // Creates the pair, sets the slave to raw mode at once (no echo, no flow control, no line
    // editing) so nothing the program sends comes back before the program has configured the
    // port, and keeps one slave descriptor open for the simulator's whole life: the master then
    // sees no hang-up when a program run closes its port, and runs can follow each other.
    // Throws std::system_error.
    pty_line();
    ~pty_line();
    pty_line(const pty_line&) = delete;
    pty_line& operator=(const pty_line&) = delete;

    int master() const { return master_; }
    const std::string& slave_path() const { return slave_path_; }

    // Bytes sent to the program that it has not read yet.
    std::size_t unread_by_program() const;
    // Bytes from the program that the simulator has not read yet (what the terminal's input
    // queue on this side holds; more may still be on their way into it).
    std::size_t unread_by_simulator() const;
    // Holds or lets go the program's output, as flow control would: while held, the program's
    // writes wait (a write already under way stops within the terminal's 2 KiB write chunk).
    void hold_program_output(bool hold);
    // Throws away what the program has not read, as a real line loses what is sent while no
    // one listens.
    void drop_unread();
    // Throws away what the program wrote that the simulator has not read.
    void drop_program_output();
    // The exclusive-use flag belongs to the terminal, not to a descriptor; a program that died
    // while holding it would lock out the next run.
    void clear_exclusive();
    void close_master();

  private:
    int master_ = -1;
    int slave_ = -1;
    std::string slave_path_;
};

// Notices when other processes open and close the slave device (inotify on its node).
// inotify merges identical events that follow each other, so events are not counted: an open
// means someone listens; after a close, others_hold() tells whether anyone still does.
class open_watch {
  public:
    explicit open_watch(const std::string& path); // throws std::system_error
    ~open_watch();
    open_watch(const open_watch&) = delete;
    open_watch& operator=(const open_watch&) = delete;

    int fd() const { return fd_; }
    enum class event { opened, closed };
    // Drains the pending notifications, in order.
    std::vector<event> read_events();

  private:
    int fd_ = -1;
};

// Does a process other than this one hold the device at `path` open?
bool others_hold(const std::string& path);

} // namespace boxsim
