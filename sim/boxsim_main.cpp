// boxsim: plays the box at the far end of a pseudo-terminal. Prints the slave's path as its
// first line on stdout, then serves the line until SIGTERM/SIGINT/SIGHUP or a close fault, and
// exits 0 in both cases. See README.md for the options.
//
// The program may open and close the port several times during the simulator's life. While no
// other process holds the slave open, what the box sends is lost, as on a real line with
// nobody listening; when the program lets go, a half-received command or block is dropped.

#include "box_model.hpp"
#include "box_state.hpp"
#include "box_text.hpp"
#include "line_pacer.hpp"
#include "pty_line.hpp"
#include "transcript.hpp"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <iostream>
#include <optional>
#include <poll.h>
#include <set>
#include <string>
#include <sys/signalfd.h>
#include <system_error>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace boxsim;
namespace fs = std::filesystem;

constexpr ms poll_interval{10};
// Paced line: the program's output is held (the terminal's flow control) once this many of
// its bytes wait for the line, and let go when none wait any more. A pseudo-terminal takes
// some 20 KiB, almost two seconds at 115200 baud, where a real port's driver keeps a few KiB:
// unheld, the program's writes would return long before the box has the bytes, and an answer
// the program then waits for (one second at most) could come too late. The hold cannot stop
// a write that is already under way, so the program still runs up to about one write ahead
// (10 KiB for table blocks, 0.9 s at 115200 baud); letting go only on an empty queue keeps it
// from adding more.
constexpr std::size_t hold_program_at = 2048;
// --tx-buffer: the largest transmit buffer an adapter may model (16 MiB).
constexpr std::uint64_t max_tx_buffer = 16u << 20;
// How long a closing line waits for the program to read what was sent before the close.
constexpr ms close_drain_limit{2000};
// Bytes written to the master reach the slave's read queue a moment later; an empty queue
// only counts this long after the last write.
constexpr ms close_settle_time{50};

constexpr const char* usage_text =
    "usage: boxsim [options]\n"
    "  --state DIR        keep the box's state in DIR (created when missing)\n"
    "  --reset            build a fresh state even when DIR holds one\n"
    "  --link PATH        symlink PATH to the terminal while running\n"
    "  --transcript FILE  append one line per event to FILE\n"
    "  --rx-dump FILE     append every byte received from the program to FILE\n"
    "  --version TEXT     system version of a new box (C escapes allowed)\n"
    "  --boot-ms N        restart time after \"030\" (default 300)\n"
    "  --baud N           pace the line like a serial line at N baud, 8N1 (default: unpaced)\n"
    "  --tx-buffer N      paced line: model an adapter that buffers N bytes of the program's\n"
    "                     output before its writes wait (default: hold from 2 KiB, see README)\n"
    "  --seed N           seed of the record contents (default 1)\n"
    "  --sat N --tp N --tv N --radio N --fav N              table counts\n"
    "  --sat-size N --tp-size N --chan-size N --fav-size N  record sizes (52: older layout)\n"
    "  --fault KIND,PREFIX[,COUNT[,ARG]]                    scripted fault (repeatable)\n";

struct settings {
    std::optional<fs::path> state_dir;
    bool reset = false;
    std::optional<fs::path> link;
    std::optional<fs::path> transcript_file;
    std::optional<fs::path> rx_dump_file;
    std::optional<std::string> version;
    box_geometry geometry;
    std::vector<std::string> box_options_given; // options that only shape a new box
    ms boot_delay = default_boot_delay;
    std::uint32_t baud = 0;    // 0: the line is as fast as the pseudo-terminal
    std::size_t tx_buffer = 0; // 0: hold the program from hold_program_at until none wait
    std::vector<fault> faults;
};

struct usage_error {
    std::string message;
};

std::uint64_t number(const std::string& option, const std::string& text, std::uint64_t max)
{
    auto v = parse_decimal(text);
    if (!v || *v < 0 || static_cast<std::uint64_t>(*v) > max)
        throw usage_error{option + " needs a number from 0 to " + std::to_string(max)};
    return static_cast<std::uint64_t>(*v);
}

settings parse_command_line(int argc, char** argv)
{
    settings s;
    std::vector<std::string> args(argv + 1, argv + argc);
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string option = args[i];
        std::optional<std::string> inline_value;
        if (auto eq = option.find('='); option.starts_with("--") && eq != std::string::npos) {
            inline_value = option.substr(eq + 1);
            option.resize(eq);
        }
        auto value = [&]() -> std::string {
            if (inline_value)
                return *inline_value;
            if (i + 1 >= args.size())
                throw usage_error{option + " needs a value"};
            return args[++i];
        };
        auto count = [&](std::uint32_t& field) {
            field = static_cast<std::uint32_t>(number(option, value(), 10'000'000));
            s.box_options_given.push_back(option);
        };
        auto size = [&](std::uint32_t& field) {
            field = static_cast<std::uint32_t>(number(option, value(), 0xFFFF));
            s.box_options_given.push_back(option);
        };

        if (option == "--help" || option == "-h") {
            std::cout << usage_text;
            std::exit(0);
        } else if (option == "--state") {
            s.state_dir = value();
        } else if (option == "--reset") {
            s.reset = true;
        } else if (option == "--link") {
            s.link = value();
        } else if (option == "--transcript") {
            s.transcript_file = value();
        } else if (option == "--rx-dump") {
            s.rx_dump_file = value();
        } else if (option == "--version") {
            auto text = unescape_bytes(value());
            if (!text)
                throw usage_error{"--version: bad escape"};
            s.version = *text;
            s.box_options_given.push_back(option);
        } else if (option == "--boot-ms") {
            s.boot_delay = ms(number(option, value(), 600'000));
        } else if (option == "--baud") {
            s.baud = static_cast<std::uint32_t>(number(option, value(), 100'000'000));
        } else if (option == "--tx-buffer") {
            s.tx_buffer = static_cast<std::size_t>(number(option, value(), max_tx_buffer));
            if (s.tx_buffer == 0)
                throw usage_error{"--tx-buffer needs a number from 1 to " +
                                  std::to_string(max_tx_buffer)};
        } else if (option == "--seed") {
            s.geometry.seed = number(option, value(), 0x7FFFFFFFFFFFFFFFull);
            s.box_options_given.push_back(option);
        } else if (option == "--sat") {
            count(s.geometry.satellites);
        } else if (option == "--tp") {
            count(s.geometry.transponders);
        } else if (option == "--tv") {
            count(s.geometry.tv);
        } else if (option == "--radio") {
            count(s.geometry.radio);
        } else if (option == "--fav") {
            count(s.geometry.favourites);
        } else if (option == "--sat-size") {
            size(s.geometry.sat_size);
        } else if (option == "--tp-size") {
            size(s.geometry.tp_size);
        } else if (option == "--chan-size") {
            size(s.geometry.chan_size);
        } else if (option == "--fav-size") {
            size(s.geometry.fav_size);
        } else if (option == "--fault") {
            std::string error;
            auto f = parse_fault(value(), error);
            if (!f)
                throw usage_error{"--fault: " + error};
            s.faults.push_back(std::move(*f));
        } else {
            throw usage_error{"unknown option '" + args[i] + "'"};
        }
    }
    if (auto error = check_geometry(s.geometry))
        throw usage_error{*error};
    if (s.tx_buffer != 0 && s.baud == 0)
        throw usage_error{"--tx-buffer needs --baud: an unpaced line buffers nothing"};
    return s;
}

// The box's state: loaded from the state folder when it holds one, else made afresh from the
// command line (and written there).
box_state prepare_state(const settings& s, transcript& log)
{
    std::string version = s.version.value_or(std::string(default_version));
    if (!s.state_dir)
        return make_state(s.geometry, version);
    if (state_exists(*s.state_dir) && !s.reset) {
        box_state state = load_state(*s.state_dir);
        log.write('#', "state loaded from " + s.state_dir->string());
        for (const auto& option :
             std::set<std::string>(s.box_options_given.begin(), s.box_options_given.end())) {
            std::cerr << "boxsim: " << option << " ignored: the state in " << s.state_dir->string()
                      << " already exists (use --reset)\n";
            log.write('#', option + " ignored: the state exists");
        }
        return state;
    }
    box_state state = make_state(s.geometry, version);
    save_state(*s.state_dir, state);
    std::error_code ec;
    fs::remove(*s.state_dir / "image.bin", ec);
    log.write('#', "new state in " + s.state_dir->string());
    return state;
}

std::string describe(const box_state& state)
{
    std::string text = "box version '" + escape_bytes(state.version) + "', tables";
    for (int id = 0; id < table_kinds; ++id) {
        const table& t = state.tables[static_cast<std::size_t>(id)];
        text +=
            " " + std::to_string(id) + ":" + std::to_string(t.count) + "x" + std::to_string(t.size);
    }
    text += ", split " + std::to_string(state.tv_slots) + "+" + std::to_string(state.radio_slots);
    if (state.old_layout())
        text += ", older layout";
    return text;
}

// Points `link` at `target`, replacing an existing symlink but never another kind of file.
void make_link(const fs::path& link, const std::string& target)
{
    std::error_code ec;
    auto status = fs::symlink_status(link, ec);
    if (fs::is_symlink(status))
        fs::remove(link);
    else if (fs::exists(status))
        throw std::runtime_error(link.string() + " exists and is not a symlink");
    fs::create_symlink(target, link);
}

class simulator {
  public:
    simulator(settings s, box_state state, transcript& log, byte_dump& dump)
        : settings_(std::move(s)), log_(log), dump_(dump), watch_(line_.slave_path()),
          model_(std::move(state), make_options(),
                 [this](const log_entry& e) { log_.write(e.tag, e.text); }),
          pacer_(settings_.baud)
    {
    }

    const std::string& slave_path() const { return line_.slave_path(); }

    int run(int signal_fd);

  private:
    box_options make_options() const
    {
        box_options o;
        o.boot_delay = settings_.boot_delay;
        o.faults = settings_.faults;
        o.state_dir = settings_.state_dir;
        return o;
    }
    using ns = std::chrono::nanoseconds;
    ns clock() const
    {
        return std::chrono::duration_cast<ns>(std::chrono::steady_clock::now() - start_);
    }
    ms now() const { return std::chrono::duration_cast<ms>(clock()); }
    void take_due_output(ms t);
    void write_pending();
    void serve_line(bool events_ready, bool data_ready, ms t);
    void drop_stale_output();
    bool read_program();
    void take_in(const std::uint8_t* p, std::size_t n);
    void deliver_program_bytes();
    void hold_program(bool hold);
    void apply_hold();
    void check_gate();
    std::size_t hold_at() const
    {
        return settings_.tx_buffer ? settings_.tx_buffer : hold_program_at;
    }
    ns next_wake(ms t, bool* send_now);

    settings settings_;
    transcript& log_;
    byte_dump& dump_;
    pty_line line_;
    open_watch watch_;
    box_model model_;
    line_pacer pacer_;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    std::vector<std::uint8_t> pending_; // bytes on their way to the program
    std::size_t pending_done_ = 0;
    bool listening_ = false; // another process holds the slave open
    bool closing_ = false;
    ms closing_since_{0};
    ms last_write_{0};
    // Paced line only: bytes from the program on their way over the line, and whether the
    // program's output is held.
    std::vector<std::uint8_t> rx_;
    std::size_t rx_done_ = 0;
    bool program_held_ = false;
    bool pacer_holds_ = false;
    // A hold fault fired: the program's output stays held until this file exists.
    std::optional<fs::path> gate_;
    // The program let go of the line while its last bytes were still on the paced line.
    bool close_pending_ = false;
    // Bytes on the line since the program opened it, each way, and on a paced line the most
    // bytes the program had written that the line had not yet carried.
    std::uint64_t run_from_program_ = 0;
    std::uint64_t run_to_program_ = 0;
    std::size_t run_max_ahead_ = 0;
};

void simulator::take_due_output(ms t)
{
    while (!closing_) {
        auto chunk = model_.pop_due(t);
        if (!chunk)
            return;
        for (const auto& e : chunk->log)
            log_.write(e.tag, e.text);
        if (chunk->close_line) {
            closing_ = true;
            closing_since_ = t;
            return;
        }
        if (listening_) {
            // Bytes that find the line idle go out from now on, not from its last use.
            if (pending_done_ == pending_.size())
                pacer_.to_program.wake(clock());
            pending_.insert(pending_.end(), chunk->bytes.begin(), chunk->bytes.end());
        } else if (!chunk->bytes.empty())
            log_.write('#', "nobody has the line open: " + std::to_string(chunk->bytes.size()) +
                                " bytes lost");
    }
}

void simulator::write_pending()
{
    if (pending_done_ == pending_.size() || line_.master() < 0)
        return;
    ns t = clock();
    std::size_t n = std::min(pending_.size() - pending_done_, pacer_.to_program.allowance(t));
    if (n == 0)
        return;
    ssize_t w = ::write(line_.master(), pending_.data() + pending_done_, n);
    if (w > 0) {
        last_write_ = std::chrono::duration_cast<ms>(t);
        pending_done_ += static_cast<std::size_t>(w);
        pacer_.to_program.carried(static_cast<std::size_t>(w));
        run_to_program_ += static_cast<std::uint64_t>(w);
    }
    if (pending_done_ == pending_.size()) {
        pending_.clear();
        pending_done_ = 0;
    }
}

// Opens and closes of the slave by other processes, and the bytes the program sent, taken in
// the one order that keeps program runs apart. An open is queued before the opener can write,
// so opens are handled before reading: stale output is gone before a new run's command is
// answered. A close is queued after the closer's last write, so the close is resolved after
// reading (a read waits for bytes still on their way through the terminal): everything the
// program sent is taken in before the line counts as let go.
void simulator::serve_line(bool events_ready, bool data_ready, ms t)
{
    bool closed = close_pending_;
    if (events_ready) {
        for (auto e : watch_.read_events()) {
            if (e == open_watch::event::closed) {
                closed = true;
                continue;
            }
            // A new run after a close, or the first one: what the box sent before is not
            // for it, as nothing sent while nobody listens reaches anyone on a real line.
            if (!listening_ || closed)
                drop_stale_output();
            if (!listening_) {
                log_.write('#', "program opened the line");
                run_from_program_ = run_to_program_ = 0;
                run_max_ahead_ = 0;
            }
            listening_ = true;
        }
    }
    if (data_ready || closed)
        while (read_program()) {
        }
    // On a paced line the program's last bytes may still be on their way: the line counts as
    // let go once they have all been taken in.
    close_pending_ = closed && rx_done_ < rx_.size();
    if (close_pending_)
        return;
    // A program that wrote after that close already shows in others_hold(): its descriptor
    // exists before it can write. So no command of a new run is taken for the old one's.
    if (closed && listening_ && !others_hold(line_.slave_path())) {
        listening_ = false;
        std::string ahead;
        if (pacer_.from_program.limited())
            ahead = "; the program ran up to " + std::to_string(run_max_ahead_) +
                    " bytes ahead of the line";
        log_.write('#', "line carried " + std::to_string(run_from_program_) +
                            " bytes from the program and " + std::to_string(run_to_program_) +
                            " bytes to it" + ahead);
        log_.write('#', "program closed the line");
        line_.clear_exclusive();
        // What a stalled line left unread went nowhere, as with an adapter that was stuck.
        if (model_.output_stalled()) {
            const std::size_t left = line_.unread_by_simulator();
            line_.drop_program_output();
            if (left > 0)
                log_.write('#', std::to_string(left) + " bytes the stalled line left lost");
        }
        model_.line_reset(t);
        gate_.reset();
        hold_program(false);
        drop_stale_output();
    }
}

void simulator::drop_stale_output()
{
    std::size_t unsent = pending_.size() - pending_done_;
    std::size_t unread = line_.unread_by_program();
    if (unsent + unread > 0)
        log_.write('#', std::to_string(unsent + unread) + " bytes the program did not read lost");
    pending_.clear();
    pending_done_ = 0;
    line_.drop_unread();
}

// Takes in what the program has sent; false when nothing was waiting. Unpaced, the box gets
// it at once. Paced, it waits in rx_ until the line has carried it (deliver_program_bytes).
bool simulator::read_program()
{
    std::uint8_t buf[65536];
    std::size_t room = sizeof buf;
    // A stall or a hangup: nothing beyond its point is read, so that the rest stays in the
    // terminal and the program's writes stop there (the box's allowance counts the bytes still
    // on the paced line as taken).
    if (auto limit = model_.receive_limit()) {
        const std::uint64_t taken = model_.received() + (rx_.size() - rx_done_);
        room = static_cast<std::size_t>(
            std::min<std::uint64_t>(room, *limit > taken ? *limit - taken : 0));
        if (room == 0)
            return false;
    }
    ssize_t n = ::read(line_.master(), buf, room);
    if (n <= 0)
        return false;
    if (!pacer_.from_program.limited()) {
        take_in(buf, static_cast<std::size_t>(n));
        return true;
    }
    // Bytes that find the line idle go from now on.
    if (rx_done_ == rx_.size())
        pacer_.from_program.wake(clock());
    rx_.insert(rx_.end(), buf, buf + n);
    std::size_t waiting = rx_.size() - rx_done_;
    run_max_ahead_ = std::max(run_max_ahead_, waiting);
    // Held at once: the program may be writing on while this loop reads.
    if (waiting >= hold_at())
        hold_program(true);
    return true;
}

// Bytes that have reached the box.
void simulator::take_in(const std::uint8_t* p, std::size_t n)
{
    run_from_program_ += n;
    dump_.write(p, n);
    // Stamped when taken in: a program that keeps the line busy keeps the caller's loop reading
    // for long, and the loop's start as the stamp would make a continuous image look paused.
    if (!closing_)
        model_.receive(p, n, now());
    // Held before the next bytes are read: the program cannot get past its next write.
    if (auto path = model_.take_hold()) {
        gate_ = *path;
        apply_hold();
    }
    if (model_.output_stalled())
        apply_hold();
}

// A hold fault's file has appeared: the program's output goes again.
void simulator::check_gate()
{
    std::error_code ec;
    if (gate_ && fs::exists(*gate_, ec)) {
        log_.write('#', "hold released: " + gate_->string() + " exists");
        gate_.reset();
        apply_hold();
    }
}

// Paced line: hands the box what the line has carried by now, and holds the program's output
// while much of it still waits, as a real port's driver would with its small buffer full.
void simulator::deliver_program_bytes()
{
    line_direction& line = pacer_.from_program;
    if (!line.limited())
        return;
    std::size_t n = std::min(rx_.size() - rx_done_, line.allowance(clock()));
    if (n > 0) {
        line.carried(n);
        take_in(rx_.data() + rx_done_, n);
        rx_done_ += n;
        if (rx_done_ == rx_.size()) {
            rx_.clear();
            rx_done_ = 0;
        }
    }
    // A deep transmit buffer (--tx-buffer) takes bytes again as soon as it has room; the
    // default hold lets go only on an empty queue.
    std::size_t waiting = rx_.size() - rx_done_;
    if (waiting >= hold_at())
        hold_program(true);
    else if (waiting == 0 || settings_.tx_buffer != 0)
        hold_program(false);
}

void simulator::hold_program(bool hold)
{
    pacer_holds_ = hold;
    apply_hold();
}

// The program's output is held while the paced line or a hold fault wants it.
void simulator::apply_hold()
{
    const bool hold = pacer_holds_ || gate_.has_value() || model_.output_stalled();
    if (hold != program_held_) {
        line_.hold_program_output(hold);
        program_held_ = hold;
    }
}

// When the loop must look at the line again: the next tick, the next due output, and on a
// paced line the moment the next batch of bytes has been carried each way. send_now tells that
// bytes for the program may go at once.
simulator::ns simulator::next_wake(ms t, bool* send_now)
{
    ns c = clock();
    ns wake = c + poll_interval;
    if (!closing_ && !model_.output().empty() && model_.output().front().at > t)
        wake = std::min(wake, ns(model_.output().front().at));

    const line_direction& out = pacer_.to_program;
    std::size_t unsent = pending_.size() - pending_done_;
    *send_now = unsent > 0 && out.allowance(c) > 0;
    if (unsent > 0 && !*send_now)
        wake = std::min(wake, out.through_at(std::min(unsent, out.batch())));

    const line_direction& in = pacer_.from_program;
    std::size_t waiting = rx_.size() - rx_done_;
    if (waiting > 0)
        wake = std::min(wake, in.through_at(std::min(waiting, in.batch())));
    return wake;
}

int simulator::run(int signal_fd)
{
    log_.write('#', "boxsim on " + line_.slave_path() + ": " + describe(model_.stored()));
    if (pacer_.to_program.limited())
        log_.write('#', "line paced at " + std::to_string(settings_.baud) + " baud, 8N1");
    for (const auto& f : model_.faults())
        log_.write('#', "fault armed: " + std::string(kind_name(f.kind)) + " on '" +
                            escape_bytes(f.prefix) + "' " +
                            (f.remaining < 0 ? std::string("always")
                                             : std::to_string(f.remaining) + " time(s)"));
    for (;;) {
        // The loader ends an image on a quiet line. Bytes that came while the simulator was
        // busy were on the line all the same: they are taken in before the box's clock runs.
        if (listening_ && model_.mode() == box_mode::loader && line_.unread_by_simulator() > 0)
            while (read_program()) {
            }
        check_gate();
        deliver_program_bytes();
        ms t = now();
        model_.tick(t);
        take_due_output(t);
        write_pending();
        bool drained = t - last_write_ >= close_settle_time && line_.unread_by_program() == 0;
        if (closing_ && pending_.empty() && (drained || t - closing_since_ >= close_drain_limit)) {
            line_.close_master();
            log_.write('#', "simulator ends after closing the line");
            return 0;
        }

        // A paced line asks the terminal for room only when bytes are due.
        bool send_now = false;
        ns wake = next_wake(t, &send_now);
        ns wait = std::max(wake - clock(), ns{0});
        timespec timeout{static_cast<time_t>(wait.count() / 1'000'000'000),
                         static_cast<long>(wait.count() % 1'000'000'000)};
        // A stalled line does not look at the program's bytes it leaves unread.
        const bool take = !model_.receive_limit() ||
                          model_.received() + (rx_.size() - rx_done_) < *model_.receive_limit();
        pollfd fds[3] = {
            {line_.master(), static_cast<short>((take ? POLLIN : 0) | (send_now ? POLLOUT : 0)), 0},
            {signal_fd, POLLIN, 0},
            {watch_.fd(), POLLIN, 0},
        };
        int ready = ::ppoll(fds, 3, &timeout, nullptr);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            throw std::system_error(errno, std::generic_category(), "poll");
        }
        if (fds[1].revents & POLLIN) {
            signalfd_siginfo info{};
            if (::read(signal_fd, &info, sizeof info) == sizeof info)
                log_.write('#', "signal " + std::to_string(info.ssi_signo) + ": simulator ends");
            return 0;
        }
        serve_line(fds[2].revents & POLLIN, fds[0].revents & POLLIN, now());
    }
}

} // namespace

int main(int argc, char** argv)
{
    settings s;
    try {
        s = parse_command_line(argc, argv);
    } catch (const usage_error& e) {
        std::cerr << "boxsim: " << e.message << "\n" << usage_text;
        return 2;
    }

    // Signals arrive through a descriptor in the poll loop, so the exit path is the normal one.
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGTERM);
    sigaddset(&mask, SIGINT);
    sigaddset(&mask, SIGHUP);
    sigprocmask(SIG_BLOCK, &mask, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    int signal_fd = signalfd(-1, &mask, SFD_CLOEXEC);

    std::optional<fs::path> link;
    int status = 0;
    try {
        if (signal_fd < 0)
            throw std::system_error(errno, std::generic_category(), "signalfd");
        transcript log;
        byte_dump dump;
        if (s.transcript_file)
            log.open(*s.transcript_file);
        if (s.rx_dump_file)
            dump.open(*s.rx_dump_file);
        box_state state = prepare_state(s, log);
        auto link_path = s.link;
        simulator sim(std::move(s), std::move(state), log, dump);
        if (link_path) {
            make_link(*link_path, sim.slave_path());
            link = link_path;
        }
        // Tests wait for this line; the terminal is ready and linked when it appears.
        std::cout << sim.slave_path() << std::endl;
        status = sim.run(signal_fd);
    } catch (const std::exception& e) {
        std::cerr << "boxsim: " << e.what() << "\n";
        status = 1;
    }
    if (link) {
        std::error_code ec;
        fs::remove(*link, ec);
    }
    return status;
}
