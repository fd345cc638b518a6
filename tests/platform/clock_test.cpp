#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <thread>
#include <vector>

#include "kald_host/host_kernel.h"

namespace {

using namespace kald::host;

class ClockTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        ResetClock();
        ClearDelayLog();
        ResetWaitViolations();
    }
};

NTSTATUS Delay(LONGLONG interval)
{
    LARGE_INTEGER value;
    value.QuadPart = interval;
    return KeDelayExecutionThread(KernelMode, FALSE, &value);
}

TEST_F(ClockTest, RelativeWaitsAdvanceTheClockAndAreLogged)
{
    struct Step {
        LONGLONG interval; // as the caller passes it
        uint64_t now;      // the clock afterwards
    };
    const Step steps[] = {
        {-10000, 10000},       // 1 ms
        {-250000, 260000},     // 25 ms
        {0, 260000},           // a zero wait only yields
        {-1, 260001},          // 100 ns
        {-10000000, 10260001}, // 1 s
    };
    for (const Step& step : steps) {
        EXPECT_EQ(Delay(step.interval), STATUS_SUCCESS);
        EXPECT_EQ(Now100ns(), step.now) << "after " << step.interval;
    }
    EXPECT_EQ(DelayLog(), (std::vector<int64_t>{10000, 250000, 0, 1, 10000000}));
    EXPECT_EQ(WaitViolations(), 0u);
}

TEST_F(ClockTest, AbsoluteWaitsMoveTheClockOnlyForwardAndAreNotLogged)
{
    AdvanceClock(1000);
    EXPECT_EQ(Delay(5000), STATUS_SUCCESS);
    EXPECT_EQ(Now100ns(), 5000u);
    EXPECT_EQ(Delay(3000), STATUS_SUCCESS); // already past
    EXPECT_EQ(Now100ns(), 5000u);
    EXPECT_EQ(Delay(5000), STATUS_SUCCESS);
    EXPECT_EQ(Now100ns(), 5000u);
    EXPECT_TRUE(DelayLog().empty());
    EXPECT_EQ(Delay(-100), STATUS_SUCCESS);
    EXPECT_EQ(Now100ns(), 5100u);
    EXPECT_EQ(DelayLog(), (std::vector<int64_t>{100}));
}

TEST_F(ClockTest, ClockControls)
{
    AdvanceClock(7);
    AdvanceClock(3);
    EXPECT_EQ(Now100ns(), 10u);
    EXPECT_EQ(Delay(-5), STATUS_SUCCESS);
    ResetClock();
    EXPECT_EQ(Now100ns(), 0u);
    EXPECT_EQ(DelayLog(), (std::vector<int64_t>{5})); // kept across a clock reset
    ClearDelayLog();
    EXPECT_TRUE(DelayLog().empty());
    // The clock stops at its end instead of wrapping.
    AdvanceClock(std::numeric_limits<uint64_t>::max() - 1);
    AdvanceClock(5);
    EXPECT_EQ(Now100ns(), std::numeric_limits<uint64_t>::max());
}

TEST_F(ClockTest, ExtremeAndMissingIntervals)
{
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Now100ns(), 0u);
    // The most negative interval: 2^63 units, logged at the log's largest value.
    EXPECT_EQ(Delay(std::numeric_limits<LONGLONG>::min()), STATUS_SUCCESS);
    EXPECT_EQ(Now100ns(), 0x8000000000000000u);
    EXPECT_EQ(DelayLog(), (std::vector<int64_t>{std::numeric_limits<int64_t>::max()}));
}

TEST_F(ClockTest, NoWaitScopesNestPerThread)
{
    EXPECT_TRUE(WaitingAllowed());
    {
        NoWaitScope outer;
        EXPECT_FALSE(WaitingAllowed());
        {
            NoWaitScope inner;
            EXPECT_FALSE(WaitingAllowed());
        }
        EXPECT_FALSE(WaitingAllowed()); // the outer scope still holds
        bool otherThreadMayWait = false;
        std::thread other([&] { otherThreadMayWait = WaitingAllowed(); });
        other.join();
        EXPECT_TRUE(otherThreadMayWait);
    }
    EXPECT_TRUE(WaitingAllowed());
}

TEST_F(ClockTest, WaitInsideNoWaitScopeIsAViolation)
{
    AdvanceClock(40);
    {
        NoWaitScope scope;
        EXPECT_EQ(Delay(-10000), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(Delay(100000), STATUS_UNSUCCESSFUL); // absolute waits block too
    }
    EXPECT_EQ(WaitViolations(), 2u);
    EXPECT_EQ(Now100ns(), 40u);
    EXPECT_TRUE(DelayLog().empty());

    EXPECT_EQ(Delay(-10000), STATUS_SUCCESS); // allowed again
    EXPECT_EQ(WaitViolations(), 2u);
    ResetWaitViolations();
    EXPECT_EQ(WaitViolations(), 0u);
}

} // namespace
