#include "box_model.hpp"

#include "box_crc.hpp"
#include "box_text.hpp"

#include <algorithm>
#include <initializer_list>
#include <stdexcept>

namespace boxsim {
namespace {

std::string hex_byte(std::uint8_t b)
{
    std::string h = hex_upper(b);
    return "0x" + (h.size() < 2 ? "0" + h : h);
}

std::string crc_text(std::uint32_t crc)
{
    std::string h = hex_upper(crc);
    return std::string(8 - h.size(), '0') + h;
}

bool words_are(const std::vector<std::string_view>& w, std::initializer_list<std::string_view> e)
{
    return std::equal(w.begin(), w.end(), e.begin(), e.end());
}

// A response of one line and nothing after it.
box_model::response answer(std::string line)
{
    box_model::response r;
    r.line = std::move(line);
    return r;
}

std::string range_text(std::int64_t first, std::int64_t last)
{
    return std::to_string(first) + ".." + std::to_string(last);
}

} // namespace

box_model::box_model(box_state state, box_options options, log_sink sink)
    : stored_(std::move(state)), working_(stored_.tables), options_(std::move(options)),
      sink_(std::move(sink))
{
}

void box_model::note(std::string text)
{
    if (sink_)
        sink_({'#', std::move(text)});
}

void box_model::persist(const char* what, const std::function<void()>& save)
{
    if (!options_.state_dir)
        return;
    try {
        save();
    } catch (const std::exception& e) {
        note(std::string("could not write ") + what + ": " + e.what());
    }
}

std::optional<out_chunk> box_model::pop_due(ms now)
{
    if (output_.empty() || output_.front().at > now)
        return std::nullopt;
    out_chunk c = std::move(output_.front());
    output_.pop_front();
    return c;
}

void box_model::queue(ms at, std::string_view bytes, std::vector<log_entry> log)
{
    // One line, one sender: nothing overtakes what is already waiting.
    if (!output_.empty())
        at = std::max(at, output_.back().at);
    out_chunk c;
    c.at = at;
    c.bytes.assign(bytes.begin(), bytes.end());
    c.log = std::move(log);
    output_.push_back(std::move(c));
}

void box_model::receive(const std::uint8_t* p, std::size_t n, ms now)
{
    // Image bytes show that the line was busy until they came, however late the caller hands
    // them over: a simulator slow to take them in must not end the image before them.
    if (mode_ == box_mode::loader && n > 0)
        loader_last_ = now;
    tick(now);
    if (n > 0)
        last_rx_ = now;
    const std::uint64_t base = received_;
    // A cut takes no byte beyond its point; a cut set by a command of this very call shortens
    // it from there on.
    auto stop = [&] {
        if (!cut_)
            return n;
        const std::uint64_t room = cut_->at > base ? cut_->at - base : 0;
        return static_cast<std::size_t>(std::min<std::uint64_t>(n, room));
    };
    std::size_t i = 0;
    while (i < stop() && !closed_ && !stalled_) {
        rx_pos_ = base + i;
        if (mode_ == box_mode::loader) {
            const std::size_t end = stop();
            image_.insert(image_.end(), p + i, p + end);
            loader_last_ = now;
            i = end;
            break;
        }
        const std::size_t n_here = stop();
        switch (rx_) {
        case rx_state::separator:
            if (p[i] != block_lead_byte)
                note("separator byte " + hex_byte(p[i]) + " instead of 0x20");
            ++i;
            rx_ = rx_state::data;
            if (block_.length == 0)
                finish_block(now);
            break;
        case rx_state::data: {
            std::size_t take = std::min<std::size_t>(n_here - i, block_.length - block_.received);
            block_bytes(p + i, take);
            i += take;
            if (block_.received == block_.length)
                finish_block(now);
            break;
        }
        case rx_state::line: {
            std::uint8_t b = p[i++];
            rx_pos_ = base + i;
            if (b == '\n')
                command_line(now);
            else if (b == '\r')
                line_had_cr_ = true;
            else if (line_.size() < max_command_chars)
                line_ += static_cast<char>(b);
            else
                line_overlong_ = true;
            break;
        }
        }
    }
    received_ = base + i;
    if (i < n && !closed_ && cut_)
        note(std::to_string(n - i) + " bytes beyond the " + std::string(kind_name(cut_->kind)) +
             " not taken");
    if (cut_ && !stalled_ && !closed_ && received_ >= cut_->at)
        reach_cut(now);
}

void box_model::reach_cut(ms now)
{
    if (cut_->kind == fault_kind::stall) {
        stalled_ = true;
        note("the program's output is stalled for good (fault stall)");
    } else {
        close_line(now, "line hung up (fault hangup)");
    }
}

void box_model::tick(ms now)
{
    if (closed_)
        return;
    if (mode_ == box_mode::booting && now >= boot_done_) {
        mode_ = box_mode::running;
        note("system running, version '" + escape_bytes(stored_.version) + "'");
    }
    if (mode_ == box_mode::loader && !image_.empty() && now - loader_last_ >= loader_quiet_time)
        finish_image(now);
    if (rx_ != rx_state::line && now - last_rx_ >= block_quiet_time) {
        note("block abandoned after " + std::to_string(block_quiet_time.count()) +
             " ms of quiet line: " + std::to_string(block_.received) + " of " +
             std::to_string(block_.length) + " bytes came; no answer");
        rx_ = rx_state::line;
        write_.reset();
    }
}

void box_model::line_reset(ms now)
{
    tick(now);
    if (!line_.empty())
        note("partial command '" + escape_bytes(line_) + "' dropped");
    if (rx_ != rx_state::line)
        note("block abandoned: " + std::to_string(block_.received) + " of " +
             std::to_string(block_.length) + " bytes came");
    line_.clear();
    line_had_cr_ = line_overlong_ = false;
    rx_ = rx_state::line;
    write_.reset();
    transfer_open_ = false;
    // A stalled line takes bytes again for the next run.
    cut_.reset();
    stalled_ = false;
}

void box_model::command_line(ms now)
{
    std::string line = std::move(line_);
    line_.clear();
    if (sink_)
        sink_({'>', escape_bytes(line)});
    if (line_had_cr_)
        note("carriage return in the command line dropped");
    if (line_overlong_)
        note("command line longer than " + std::to_string(max_command_chars) +
             " characters; the rest was dropped");
    line_had_cr_ = line_overlong_ = false;
    dispatch(line, now);
}

command_class box_model::classify(const std::vector<std::string_view>& w) const
{
    if (mode_ != box_mode::running || w.empty())
        return command_class::other;
    if (w[0] == "910" && w.size() >= 3 && parse_h_hex(w[1]) && parse_h_hex(w[2]))
        return command_class::block_announcement;
    if (w[0] != "500" || w.size() < 4)
        return command_class::other;
    auto id = parse_decimal(w[1]);
    if (!id || !stored_.has_table(*id))
        return command_class::other;
    if (w.size() == 5 && parse_decimal(w[3]) && parse_decimal(w[4])) {
        if (w[2] == "2")
            return command_class::read_request;
        if (w[2] == "3")
            return command_class::write_request;
    }
    if (words_are(w, {"500", "0", "4", "1"}))
        return command_class::store_request;
    return command_class::other;
}

fault* box_model::take_fault(std::string_view command, command_class cls)
{
    for (fault& f : options_.faults) {
        if (!f.matches(command, cls))
            continue;
        if (f.remaining > 0)
            --f.remaining;
        note("fault " + std::string(kind_name(f.kind)) + " on '" + escape_bytes(command) + "'" +
             (f.remaining < 0 ? " (always)" : " (" + std::to_string(f.remaining) + " left)"));
        return &f;
    }
    return nullptr;
}

std::optional<std::string> box_model::take_hold()
{
    std::optional<std::string> path;
    path.swap(hold_until_);
    return path;
}

void box_model::dispatch(std::string_view line, ms now)
{
    if (mode_ == box_mode::booting) {
        note("ignored: the box is booting");
        return;
    }
    auto w = split_words(line);
    command_class cls = classify(w);
    fault* f = take_fault(line, cls);
    if (f && f->kind == fault_kind::silent && cls != command_class::block_announcement) {
        note("command lost (fault silent): no action, no answer");
        return;
    }
    if (f && (f->kind == fault_kind::stall || f->kind == fault_kind::hangup)) {
        note("the box takes " + std::to_string(f->after_bytes) + " more bytes, then " +
             (f->kind == fault_kind::stall ? "stops taking the program's output" : "hangs up"));
        cut_ = line_cut{f->kind, rx_pos_ + f->after_bytes};
    }
    if (f && f->kind == fault_kind::hold) {
        note("the program's output is held until " + escape_bytes(f->arg) + " exists");
        hold_until_ = f->arg;
    }

    bool known = false;
    if (mode_ == box_mode::loader_done) {
        if (words_are(w, {"030"})) {
            known = true;
            if (pending_version_) {
                stored_.version = *pending_version_;
                persist("box.txt", [&] { save_config(*options_.state_dir, stored_); });
            }
            pending_version_.reset();
            working_ = stored_.tables;
            write_.reset();
            transfer_open_ = false;
            mode_ = box_mode::booting;
            boot_done_ = now + options_.boot_delay;
            note("restart: booting for " + std::to_string(options_.boot_delay.count()) + " ms");
            response r;
            r.line = "999 OS " + stored_.version;
            send(r, f, boot_done_);
        } else if (words_are(w, {"501"})) {
            // A new run's status request: the loader has no system to report and answers
            // with its code, as it does to everything it knows.
            known = true;
            note("status request in the loader: no system to report");
            send(answer("998 LOADER"), f, now);
        } else if (words_are(w, {"902"})) {
            known = true;
            mode_ = box_mode::loader;
            image_.clear();
            pending_version_.reset();
            note("loader restarted: image bytes follow");
            send(answer("998 LOADER"), f, now);
        }
    } else {
        known = dispatch_running(w, f, now);
    }

    if (!known) {
        note("unknown command, no answer");
        if (f)
            send({}, f, now);
    }
}

bool box_model::dispatch_running(const std::vector<std::string_view>& w, const fault* f, ms now)
{
    if (words_are(w, {"501"})) {
        send(answer("999 OS " + stored_.version), f, now);
        return true;
    }
    if (words_are(w, {"902"})) {
        mode_ = box_mode::loader;
        image_.clear();
        pending_version_.reset();
        note("loader entered: image bytes follow");
        send(answer("998 LOADER"), f, now);
        return true;
    }
    if (words_are(w, {"503", "18"})) {
        transfer_open_ = true;
        note("table transfer opened");
        send(answer("503 OK"), f, now);
        return true;
    }
    if (words_are(w, {"503", "25"})) {
        transfer_open_ = false;
        note("table transfer closed");
        send({}, f, now);
        return true;
    }
    if (words_are(w, {"911", "0"})) {
        note("block acknowledged");
        send({}, f, now);
        return true;
    }
    if (!w.empty() && w[0] == "910") {
        auto length = w.size() >= 3 ? parse_h_hex(w[1]) : std::nullopt;
        auto crc = w.size() >= 3 ? parse_h_hex(w[2]) : std::nullopt;
        if (!length || !crc)
            return false;
        block_ = block_in{};
        block_.length = *length;
        block_.announced_crc = *crc;
        block_.crc = crc_initial;
        block_.ack_fault = f;
        std::size_t room = 0;
        if (write_ && write_->first >= 0 &&
            write_->first < std::int64_t{working_[static_cast<std::size_t>(write_->table)].count}) {
            const table& t = working_[static_cast<std::size_t>(write_->table)];
            std::uint64_t offset = static_cast<std::uint64_t>(write_->first) * t.size;
            room = offset < t.data.size() ? t.data.size() - static_cast<std::size_t>(offset) : 0;
        }
        block_.room = room;
        block_.data.reserve(std::min<std::size_t>(room, *length));
        note("block announced: " + std::to_string(*length) + " bytes, CRC " + crc_text(*crc));
        rx_ = rx_state::separator;
        return true;
    }

    if (w.size() < 3 || w[0] != "500")
        return false;
    auto id_word = parse_decimal(w[1]);
    if (!id_word || !stored_.has_table(*id_word))
        return false;
    int id = static_cast<int>(*id_word);
    const table& t = working_[static_cast<std::size_t>(id)];
    std::string head = "500 " + std::to_string(id) + " ";
    auto outside = [&] {
        if (!transfer_open_)
            note("500 command outside 503 18 ... 503 25");
    };

    if (w[2] == "1" && w.size() == 3) {
        outside();
        send(answer(head + "1 " + std::to_string(t.count) + " H" + hex_upper(t.size)), f, now);
        return true;
    }
    if (w[2] == "5" && w.size() == 3 && id == table_channels && !stored_.old_layout()) {
        outside();
        send(answer(head + "5 " + std::to_string(stored_.tv_slots) + " " +
                    std::to_string(stored_.radio_slots)),
             f, now);
        return true;
    }
    if ((w[2] == "2" || w[2] == "3") && w.size() == 5) {
        auto first = parse_decimal(w[3]);
        auto last = parse_decimal(w[4]);
        if (!first || !last)
            return false;
        outside();
        if (w[2] == "2") {
            send(read_block(id, *first, *last, f), f, now);
        } else {
            write_ = write_target{id, *first, *last, f && f->kind == fault_kind::reject};
            note("write request: table " + std::to_string(id) + " (" + std::string(table_name(id)) +
                 ") slots " + range_text(*first, *last));
            send(answer(head + "3 OK"), f, now);
        }
        return true;
    }
    if (words_are(w, {"500", "0", "4", "1"})) {
        outside();
        if (f && f->kind == fault_kind::storefail) {
            note("store refused (fault storefail)");
            send(answer("500 0 4 1"), f, now);
        } else {
            stored_.tables = working_;
            persist("tables", [&] { save_tables(*options_.state_dir, stored_); });
            note("tables stored");
            send(answer("500 0 4 0"), f, now);
        }
        return true;
    }
    return false;
}

box_model::response box_model::read_block(int id, std::int64_t first, std::int64_t last,
                                          const fault* f)
{
    const table& t = working_[static_cast<std::size_t>(id)];
    std::int64_t lo = std::max<std::int64_t>(first, 0);
    std::int64_t hi = std::min<std::int64_t>(last, std::int64_t{t.count} - 1);
    std::vector<std::uint8_t> block;
    std::uint32_t records = 0;
    if (lo <= hi) {
        records = static_cast<std::uint32_t>(hi - lo + 1);
        auto begin = t.data.begin() + static_cast<std::ptrdiff_t>(lo * t.size);
        block.assign(begin, begin + static_cast<std::ptrdiff_t>(std::size_t{records} * t.size));
    }
    if (lo != first || hi != last)
        note("read request " + range_text(first, last) + " clipped to the table's " +
             std::to_string(t.count) + " records");

    std::uint32_t crc = crc32_mpeg2(block);
    std::uint32_t announced_crc = crc;
    std::string what = "block of table " + std::to_string(id) + " (" + std::string(table_name(id)) +
                       "), " + std::to_string(records) + " records";
    response r;
    std::optional<fault_kind> kind;
    if (f)
        kind = f->kind;
    if (kind == fault_kind::badlen) {
        // One record more than asked for: the next one of the table, or made up past its end.
        std::size_t next = static_cast<std::size_t>(std::max<std::int64_t>(hi + 1, 0));
        std::vector<std::uint8_t> extra;
        if (next < t.count) {
            auto begin = t.data.begin() + static_cast<std::ptrdiff_t>(next * t.size);
            extra.assign(begin, begin + t.size);
        } else {
            extra = generate_bytes(stored_.seed ^ 0xBADu, id + table_kinds, t.size);
        }
        block.insert(block.end(), extra.begin(), extra.end());
        crc = announced_crc = crc32_mpeg2(block);
        what += " and one more (fault badlen)";
    }
    if (kind == fault_kind::badcrc) {
        announced_crc = crc ^ 1u;
        if (announced_crc == 0) // 0 is what the program's reader reports for a silent box
            announced_crc = 2;
        what += ", announced CRC " + crc_text(announced_crc) + " (fault badcrc)";
    }
    r.line = "DATA H" + hex_upper(static_cast<std::uint32_t>(block.size())) + " H" +
             hex_upper(announced_crc) + " " + std::to_string(records);
    std::string sent = std::to_string(block.size()) + " bytes, CRC " + crc_text(crc);
    if (kind == fault_kind::blocksilent || kind == fault_kind::blockclose) {
        std::size_t half = block.size() / 2;
        sent = std::to_string(half) + " of " + std::to_string(block.size()) + " bytes (fault " +
               std::string(kind_name(*kind)) + ")";
        block.resize(half);
        r.close_after = kind == fault_kind::blockclose;
    }
    r.raw.push_back(block_lead_byte);
    r.raw.insert(r.raw.end(), block.begin(), block.end());
    r.raw_log.push_back({'#', "sent " + what + ": " + sent});
    return r;
}

void box_model::block_bytes(const std::uint8_t* p, std::size_t n)
{
    block_.crc = crc32_update(block_.crc, {p, n});
    block_.received += static_cast<std::uint32_t>(n);
    std::size_t keep = std::min(n, block_.room - block_.data.size());
    block_.data.insert(block_.data.end(), p, p + keep);
}

void box_model::finish_block(ms now)
{
    rx_ = rx_state::line;
    bool match = block_.crc == block_.announced_crc;
    std::string verdict =
        "received block: " + std::to_string(block_.received) + " bytes, CRC " +
        crc_text(block_.crc) +
        (match ? " matches" : " differs from announced " + crc_text(block_.announced_crc));
    const fault* f = block_.ack_fault;
    std::optional<write_target> target = std::move(write_);
    write_.reset();
    if (f && f->kind == fault_kind::silent) {
        note(verdict + "; not written, no answer (fault silent)");
        return;
    }

    bool accept = false;
    if (!target) {
        note(verdict + "; refused: no write request open");
    } else if (target->reject) {
        note(verdict + "; refused (fault reject)");
    } else if (!match) {
        note(verdict + "; refused");
    } else {
        accept = true;
        table& t = working_[static_cast<std::size_t>(target->table)];
        if (target->first >= 0 && !block_.data.empty()) {
            auto at = t.data.begin() + static_cast<std::ptrdiff_t>(target->first * t.size);
            std::copy(block_.data.begin(), block_.data.end(), at);
        }
        std::string written = verdict + "; " + std::to_string(block_.data.size()) +
                              " bytes written to table " + std::to_string(target->table) +
                              " from slot " + std::to_string(target->first);
        if (block_.data.size() < block_.received)
            written += ", " + std::to_string(block_.received - block_.data.size()) +
                       " bytes beyond the table's end dropped";
        note(written);
        std::int64_t expected =
            target->last >= target->first ? (target->last - target->first + 1) * t.size : 0;
        if (expected != std::int64_t{block_.received})
            note("block length " + std::to_string(block_.received) + " differs from the " +
                 std::to_string(expected) + " bytes of slots " +
                 range_text(target->first, target->last));
    }
    send(answer(accept ? "910 0" : "910 1"), f, now);
}

void box_model::finish_image(ms now)
{
    mode_ = box_mode::loader_done;
    // Stored before the transcript says so: whoever waits for the note finds
    // the whole image in the state folder.
    persist("image.bin", [&] { save_image(*options_.state_dir, image_); });
    note("image complete after " + std::to_string(loader_quiet_time.count()) +
         " ms of quiet line: " + std::to_string(image_.size()) + " bytes, CRC " +
         crc_text(crc32_mpeg2(image_)));
    pending_version_ = version_from_image(image_);
    if (pending_version_)
        note("image header recognised: version after restart '" + escape_bytes(*pending_version_) +
             "'");
    else
        note("image header not recognised: the old system stays");
    fault* f = take_fault(image_prefix, command_class::image_end);
    if (f && f->kind == fault_kind::silent) {
        note("loader gives no answer (fault silent)");
        return;
    }
    send(answer("998 OK"), f, now);
}

void box_model::send(const response& r, const fault* f, ms at)
{
    // Block faults have done their work in read_block and finish_block; only the faults that
    // alter lines are left here.
    std::optional<fault_kind> kind;
    if (f)
        kind = f->kind;
    if (kind == fault_kind::garbage) {
        queue(at, "xx\n", {{'<', "xx"}});
        return;
    }
    if (kind == fault_kind::reply || kind == fault_kind::precede) {
        std::vector<log_entry> log{{'<', escape_bytes(f->arg)}};
        if (f->arg_no_newline)
            log.push_back({'#', "sent without line feed"});
        queue(at, f->arg_no_newline ? f->arg : f->arg + "\n", std::move(log));
        if (kind == fault_kind::reply)
            return;
    }
    if (kind == fault_kind::close) {
        close_line(at, "line closed (fault close)");
        return;
    }

    if (!r.line)
        return;
    std::string text = *r.line;
    if (kind == fault_kind::cut) {
        queue(at, text, {{'<', escape_bytes(text)}, {'#', "sent without line feed (fault cut)"}});
        return;
    }
    if (kind == fault_kind::crin)
        text.insert(text.size() / 2, "\r");
    if (kind == fault_kind::crlf)
        text += "\r";
    queue(at, text + "\n", {{'<', escape_bytes(text)}});
    if (!r.raw.empty())
        queue(at, as_text(r.raw), r.raw_log);
    if (r.close_after)
        close_line(at, "line closed (fault blockclose)");
}

void box_model::close_line(ms at, std::string text)
{
    queue(at, {}, {{'#', std::move(text)}});
    output_.back().close_line = true;
    closed_ = true;
}

} // namespace boxsim
