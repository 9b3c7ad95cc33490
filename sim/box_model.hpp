// The box as the program on the other end of the serial line sees it: a byte-in, byte-out
// model with its clock passed in, so tests can drive it in-process and deterministically. No
// terminal code lives here; boxsim_main.cpp feeds it from a pseudo-terminal.
//
// What the program fixes of the box is what it sends and what it reads back. Everything else
// below is this simulator's own choice:
//
// Lines. A command is the text up to a line feed; carriage returns are dropped (and noted).
// Words are separated by runs of blanks. Command lines longer than 1024 characters are cut
// (the rest is dropped and noted). Unknown commands get no answer and are noted.
//
// Modes. running -> "902" -> loader ("998 LOADER"); every byte is image data until the line
// has been quiet for loader_quiet_time after the last image byte. The loader waits without
// limit for the first byte, so a slow start of the transfer cannot cut the image short. Then
// the loader answers "998 OK", stores the image (image.bin) and waits in loader_done, where it
// knows only "501" (answered "998 LOADER": no system to report), "030" (restart) and "902"
// (take a new image). It stays there until one of them comes, across runs of the program: a
// run cut off in the image leaves the box in the loader, and the next run finds it there. "030":
// the box boots for boot_delay, ignoring every command meanwhile, then sends "999 OS <version>" and
// runs again. A recognised image header gives the new version (box_state.hpp); any other image is
// still answered with 998 (the loader does not judge images) and the old version stays. A restart
// also drops table changes that were not stored.
//
// Answers in running mode:
//   501                 "999 OS <version>"
//   503 18              "503 OK" (the program purges it); 503 25: no answer. Both noted; 500
//                       commands outside 503 18 ... 503 25 are answered but noted.
//   500 t 1             "500 t 1 <count> H<size>"; for table 3 on the older layout: none
//   500 0 5             "500 0 5 <tv slots> <radio slots>"; older layout: none
//   500 t 2 a b         "DATA H<len> H<crc> <records>", one byte 0x20, then records a..b. The
//                       range is clipped to the table; an empty range (b = -1, b < a, or
//                       wholly outside) gives "DATA H0 HFFFFFFFF 0" and the 0x20 alone.
//   911 0               no answer, noted
//   500 t 3 a b         "500 t 3 OK"; opens one write into table t from slot a
//   910 H<len> H<crc> x the next byte is taken as the separator (noted unless 0x20), then
//                       len raw bytes. "910 0" when their CRC matches and a write request is
//                       open, else "910 1". The bytes go into the working table from slot a
//                       on, clipped at the table's end (noted); a length that differs from the
//                       request's range is noted but accepted. Each block closes its write
//                       request. A block that stalls for block_quiet_time is abandoned
//                       without an answer.
//   500 0 4 1           "500 0 4 0"; the working tables become the stored ones and go to the
//                       state folder.
//
// Faults (box_faults.hpp). Each received command takes at most one fault: the first one in the
// list that matches. Block faults only match their kind of command; "*" matches every command
// line but not the end of an image, which only "<image>" matches. "silent" means the command
// is lost: the box neither acts nor answers. Two exceptions keep the byte stream in step: on a
// block announcement the block is still read but neither written nor answered; at the end of
// an image the loader keeps the image and waits for "030" but does not answer. garbage, reply
// and precede also answer commands that normally get no answer; cut, crlf and crin then have
// nothing to change. cut, garbage and reply drop the raw block after a read request's line.
// Faults on "030" alter the status line sent after the boot delay. "hold" answers as usual and
// asks the line to hold the program's output until a file appears (take_hold). "stall" and
// "hangup" answer as usual and set a cut: the box takes the given number of bytes more from the
// program and none after them (receive_limit, so that the line leaves the rest unread); there
// a stall marks the program's output stalled for good (output_stalled, until line_reset) and a
// hangup closes the line. Every consumed fault is noted.
#pragma once

#include "box_faults.hpp"
#include "box_state.hpp"

#include <chrono>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace boxsim {

using ms = std::chrono::milliseconds;

inline constexpr ms loader_quiet_time{200};  // a quiet line after image bytes ends the image
inline constexpr ms block_quiet_time{2000};  // a block that stalls this long is abandoned
inline constexpr ms default_boot_delay{300}; // from "030" to the status line
inline constexpr std::uint8_t block_lead_byte = 0x20; // sent before the data of a read block
inline constexpr std::size_t max_command_chars = 1024;

// One transcript event. tag '>' command received, '<' line sent (without its line feed,
// escaped), '#' note.
struct log_entry {
    char tag;
    std::string text;
};

// Bytes to send no earlier than `at`, with what the transcript should say when they go out.
// A chunk with close_line set ends the line after everything before it has been sent.
struct out_chunk {
    ms at{0};
    std::vector<std::uint8_t> bytes;
    std::vector<log_entry> log;
    bool close_line = false;
};

enum class box_mode { running, loader, loader_done, booting };

struct box_options {
    ms boot_delay = default_boot_delay;
    std::vector<fault> faults;
    // Where stored tables, the version and images go; nothing is written without it.
    std::optional<std::filesystem::path> state_dir;
};

class box_model {
  public:
    using log_sink = std::function<void(const log_entry&)>;

    // `sink` receives '>' and '#' events the moment they happen; the events that belong to
    // sent bytes travel in the out_chunks instead.
    box_model(box_state state, box_options options, log_sink sink = {});

    // Bytes from the program, arriving at `now`. Runs tick(now) first; image bytes count as
    // arrived before that tick, so bytes handed over late never end the image they belong to
    // (the line was busy with them). A quiet line is found by the ticks between receives.
    void receive(const std::uint8_t* p, std::size_t n, ms now);
    void receive(std::string_view bytes, ms now)
    {
        receive(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), now);
    }

    // Time-based events: end of an image, end of booting, stalled blocks. Call it often.
    void tick(ms now);

    // The program has let go of its end of the line: drop a half-received command or block.
    void line_reset(ms now);

    // Chunks in sending order; none is due before the one in front of it.
    std::deque<out_chunk>& output() { return output_; }
    // The front chunk if it is due at `now`.
    std::optional<out_chunk> pop_due(ms now);

    // A close fault fired: the model takes no more input.
    bool line_closed() const { return closed_; }
    box_mode mode() const { return mode_; }
    const box_state& stored() const { return stored_; }
    const std::array<table, table_kinds>& working() const { return working_; }
    const std::vector<std::uint8_t>& last_image() const { return image_; }
    const std::vector<fault>& faults() const { return options_.faults; }
    // A hold fault fired since the last call: the path whose appearance lets the program's
    // output go again. The model itself holds nothing; the line does (boxsim_main.cpp).
    std::optional<std::string> take_hold();
    // Bytes received from the program so far, over the model's life.
    std::uint64_t received() const { return received_; }
    // A stall or hangup fault fired: the box takes no bytes from the program beyond this count
    // of received(). The line reads no further than that.
    std::optional<std::uint64_t> receive_limit() const
    {
        return cut_ ? std::optional<std::uint64_t>(cut_->at) : std::nullopt;
    }
    // A stall reached its point: the program's output stays stopped until line_reset.
    bool output_stalled() const { return stalled_; }

    // What a command asks the box to send back, before faults alter it.
    struct response {
        std::optional<std::string> line; // without line feed
        std::vector<std::uint8_t> raw;   // bytes that follow the line
        std::vector<log_entry> raw_log;
        bool close_after = false;
    };

  private:
    struct block_in {
        std::uint32_t length = 0;
        std::uint32_t announced_crc = 0;
        std::uint32_t crc = 0;
        std::uint32_t received = 0;
        std::vector<std::uint8_t> data; // only as much as can be written into the table
        std::size_t room = 0;           // bytes between the write's first slot and the table's end
        const fault* ack_fault = nullptr;
    };
    struct write_target {
        int table = 0;
        std::int64_t first = 0;
        std::int64_t last = 0;
        bool reject = false;
    };
    enum class rx_state { line, separator, data };

    void note(std::string text);
    void command_line(ms now);
    void dispatch(std::string_view line, ms now);
    bool dispatch_running(const std::vector<std::string_view>& w, const fault* f, ms now);
    fault* take_fault(std::string_view command, command_class cls);
    command_class classify(const std::vector<std::string_view>& w) const;
    response read_block(int id, std::int64_t first, std::int64_t last, const fault* f);
    void block_bytes(const std::uint8_t* p, std::size_t n);
    void finish_block(ms now);
    void finish_image(ms now);
    void store_tables();
    void send(const response& r, const fault* f, ms at);
    void queue(ms at, std::string_view bytes, std::vector<log_entry> log);
    void close_line(ms at, std::string text);
    void persist(const char* what, const std::function<void()>& save);

    box_state stored_;
    std::array<table, table_kinds> working_;
    box_options options_;
    log_sink sink_;
    std::deque<out_chunk> output_;

    box_mode mode_ = box_mode::running;
    rx_state rx_ = rx_state::line;
    std::string line_;
    bool line_had_cr_ = false;
    bool line_overlong_ = false;
    ms last_rx_{0};
    ms loader_last_{0};
    ms boot_done_{0};
    std::vector<std::uint8_t> image_;
    std::optional<std::string> pending_version_;
    std::optional<write_target> write_;
    block_in block_;
    bool transfer_open_ = false;
    bool closed_ = false;
    std::optional<std::string> hold_until_;
    struct line_cut {
        fault_kind kind;
        std::uint64_t at;
    };
    std::optional<line_cut> cut_;
    bool stalled_ = false;
    std::uint64_t received_ = 0;
    std::uint64_t rx_pos_ = 0; // received() at the byte being handled
    void reach_cut(ms now);
};

} // namespace boxsim
