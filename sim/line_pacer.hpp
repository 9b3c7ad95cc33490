// Rate limit of the simulated line in each direction. Every byte to and from the program
// passes through one of the two directions of a line_pacer, so the simulator moves bytes only
// as fast as a serial line at the chosen baud rate carries them: 10 bits a byte (start bit, 8
// data bits, stop bit). A baud rate of 0 means no limit: the line is as fast as the
// pseudo-terminal.
//
// Times are durations since the simulator started. A byte counts as carried once its stop bit
// has gone by: the first byte of a stretch that starts at t is through at t + 10/baud s.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <limits>

namespace boxsim {

class line_direction {
  public:
    using ns = std::chrono::nanoseconds;

    explicit line_direction(std::uint32_t baud = 0) : baud_(baud) {}

    bool limited() const { return baud_ != 0; }
    std::uint32_t baud() const { return baud_; }

    // Bytes have begun to wait for this direction at `now`. A line that has carried everything
    // it was given starts on them now; idle time before `now` gives no credit, so a pause is
    // never followed by a burst faster than the line.
    void wake(ns now)
    {
        if (limited() && through_at(0) <= now) {
            start_ = now;
            carried_ = 0;
        }
    }

    // How many more bytes the line has carried by `now` (none before `now` reaches the stretch's
    // start). Counted from the start of the stretch, so rounding never adds up over a long one.
    std::size_t allowance(ns now) const
    {
        if (!limited())
            return std::numeric_limits<std::size_t>::max();
        if (now <= start_)
            return 0;
        auto elapsed = static_cast<unsigned __int128>((now - start_).count());
        auto total = static_cast<std::uint64_t>(elapsed * baud_ / bit_ns_per_byte);
        return total > carried_ ? static_cast<std::size_t>(total - carried_) : 0;
    }

    // n bytes of the allowance were taken.
    void carried(std::size_t n)
    {
        if (limited())
            carried_ += n;
    }

    // The moment from which allowance() is at least n.
    ns through_at(std::size_t n) const
    {
        if (!limited())
            return ns{0};
        auto bits = static_cast<unsigned __int128>(carried_ + n) * bit_ns_per_byte;
        auto wait = static_cast<std::int64_t>((bits + baud_ - 1) / baud_);
        return start_ + ns{wait};
    }

    // About a millisecond of bytes, at least one: the batch the simulator waits for on a long
    // transfer instead of waking for every byte.
    std::size_t batch() const
    {
        std::size_t n = baud_ / 10 / 1000;
        return n == 0 ? 1 : n;
    }

  private:
    // 10 bits a byte, in nanoseconds per bit times the baud rate.
    static constexpr std::uint64_t bit_ns_per_byte = 10ull * 1'000'000'000ull;

    std::uint32_t baud_;
    ns start_{0};               // start of the current stretch of bytes
    std::uint64_t carried_ = 0; // bytes taken since start_
};

// Both directions of the line at one baud rate.
struct line_pacer {
    explicit line_pacer(std::uint32_t baud = 0) : to_program(baud), from_program(baud) {}
    line_direction to_program;   // what the box sends
    line_direction from_program; // what the program sends
};

} // namespace boxsim
