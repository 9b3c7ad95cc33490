// The simulator's line pacer, driven with explicit times: how many bytes a direction of the
// line lets through and when. No clocks run here.
#include "line_pacer.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <limits>

namespace {

using boxsim::line_direction;
using ns = std::chrono::nanoseconds;
using namespace std::chrono_literals;

TEST(LinePacer, UnpacedLineHasNoLimit)
{
    line_direction line;
    line.wake(5s);
    EXPECT_FALSE(line.limited());
    EXPECT_EQ(line.allowance(ns{0}), std::numeric_limits<std::size_t>::max());
    line.carried(1'000'000);
    EXPECT_EQ(line.allowance(ns{0}), std::numeric_limits<std::size_t>::max());
    EXPECT_EQ(line.through_at(1'000'000), ns{0});
}

TEST(LinePacer, ByteIsThroughAfterTenBitTimes)
{
    // 115200 baud, 8N1: 86805.6 ns a byte; the first byte is through once its stop bit is.
    line_direction line(115200);
    line.wake(1s);
    EXPECT_EQ(line.allowance(1s), 0u);
    EXPECT_EQ(line.allowance(1s + 86805ns), 0u);
    EXPECT_EQ(line.allowance(1s + 86806ns), 1u);
    EXPECT_EQ(line.through_at(1), 1s + 86806ns);
    EXPECT_EQ(line.allowance(2s), 11520u);
    EXPECT_EQ(line.allowance(500ms), 0u); // before the stretch began
}

TEST(LinePacer, ThroughAtIsTheFirstMomentOfTheAllowance)
{
    for (std::uint32_t baud : {300u, 9600u, 115200u, 921600u, 3000000u}) {
        line_direction line(baud);
        line.wake(123456789ns);
        line.carried(line.allowance(2s));
        for (std::size_t n : {1u, 7u, 64u, 10000u}) {
            ns at = line.through_at(n);
            EXPECT_GE(line.allowance(at), n) << baud << " baud, " << n << " bytes";
            EXPECT_LT(line.allowance(at - 1ns), n) << baud << " baud, " << n << " bytes";
        }
    }
}

TEST(LinePacer, LongTransferKeepsTheRateWithoutDrift)
{
    // Taken in uneven pieces at uneven moments, as the simulator's loop takes them, the line
    // carries exactly rate x time: rounding of each piece does not add up.
    line_direction line(115200);
    line.wake(0s);
    std::uint64_t total = 0;
    std::uint64_t step = 0;
    for (ns t{0}; t <= 100s; t += ns{700'000 + static_cast<std::int64_t>(step++ % 13) * 91'003}) {
        std::size_t n = line.allowance(t);
        line.carried(n);
        total += n;
    }
    // What the loop did not take by 100 s is still owed: nothing was lost to rounding.
    EXPECT_EQ(total + line.allowance(100s), 1'152'000u);
}

TEST(LinePacer, IdleLineGivesNoBurst)
{
    // After a pause the next bytes start when they come, not at the end of the last ones.
    line_direction line(115200);
    line.wake(0s);
    line.carried(line.allowance(10ms)); // 115 bytes
    line.wake(3s);
    EXPECT_EQ(line.allowance(3s), 0u);
    EXPECT_EQ(line.allowance(3s + 10ms), 115u);
}

TEST(LinePacer, BusyLineKeepsWhatItCarriedWhileNobodyLooked)
{
    // Bytes still waiting: a late look finds everything the line carried meanwhile, and a wake
    // for more bytes does not restart a stretch that is still going.
    line_direction line(115200);
    line.wake(0s);
    line.carried(10);
    line.wake(500us); // ten bytes take 868 us: still busy
    EXPECT_EQ(line.allowance(50ms), 576u - 10u);
    EXPECT_EQ(line.through_at(0), ns{868'056});
}

TEST(LinePacer, HoursOfLineTimeDoNotOverflow)
{
    line_direction line(3'000'000);
    line.wake(1s);
    const std::uint64_t per_hour = 3'000'000ull / 10 * 3600;
    EXPECT_EQ(line.allowance(1s + 10h), 10 * per_hour);
    line.carried(static_cast<std::size_t>(10 * per_hour));
    EXPECT_EQ(line.through_at(0), 1s + 10h);
}

} // namespace
