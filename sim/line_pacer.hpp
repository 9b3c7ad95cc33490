// Rate limit of the simulated line in each direction. Every byte to and from the program
// passes through one of the two allowances, so a pacer for a given baud rate only has to
// answer them. Today the line is as fast as the pseudo-terminal.
#pragma once

#include <chrono>
#include <cstddef>
#include <limits>

namespace boxsim {

class line_pacer {
  public:
    using ms = std::chrono::milliseconds;

    // Bytes that may go to the program at `now`; the rest waits in the send buffer.
    std::size_t send_allowance(ms now) const
    {
        (void)now;
        return std::numeric_limits<std::size_t>::max();
    }
    void sent(std::size_t n, ms now) { (void)n, (void)now; }

    // Bytes that may be taken from the program at `now`; the rest stays in the terminal, where
    // the program's writes then wait as they would on a slow line.
    std::size_t receive_allowance(ms now) const
    {
        (void)now;
        return std::numeric_limits<std::size_t>::max();
    }
    void received(std::size_t n, ms now) { (void)n, (void)now; }
};

} // namespace boxsim
