#include "tick.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <ctime>

namespace romlift {
namespace {

int64_t NsOf(const timespec& t) {
    return static_cast<int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

int64_t NowNs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return NsOf(t);
}

TEST(Tick, TicksBetweenAcrossWrap) {
    EXPECT_EQ(TicksBetween(0xFFFFFFF0u, 0x10u), 0x20u);
    EXPECT_EQ(TicksBetween(0xFFFFFFFFu, 0u), 1u);
    EXPECT_EQ(TicksBetween(1000u, 1000u), 0u);
    EXPECT_EQ(TicksBetween(1000u, 3500u), 2500u);
}

TEST(Tick, DelayTakesMoreThanItsMilliseconds) {
    for (uint32_t ms : {0u, 1u, 5u}) {
        const int64_t start = NowNs();
        FirmwareHelper::Delay(ms);
        EXPECT_GT(NowNs() - start, int64_t{ms} * 1'000'000) << "Delay(" << ms << ")";
    }
}

TEST(Tick, TickCountFollowsTheMonotonicClock) {
    const Tick start = GetTickCount();
    FirmwareHelper::Delay(20);
    EXPECT_GE(TicksBetween(start, GetTickCount()), 20u);
}

// The deadline is one nanosecond past now + ms, whatever the millisecond count: the seconds
// carry, tv_nsec stays within a second.
TEST(Deadline, LiesMoreThanMsAfterCreation) {
    for (uint32_t ms : {0u, 1u, 50u, 999u, 1000u, 1001u, 2500u, 86'400'000u, 0xFFFFFFFFu}) {
        const int64_t before = NowNs();
        const Deadline d = Deadline::AfterMs(ms);
        const int64_t after = NowNs();
        const int64_t span = int64_t{ms} * 1'000'000;
        EXPECT_GE(d.When().tv_nsec, 0) << ms;
        EXPECT_LT(d.When().tv_nsec, 1'000'000'000) << ms;
        EXPECT_GT(NsOf(d.When()) - before, span) << ms;
        EXPECT_LE(NsOf(d.When()) - after, span + 1) << ms;
    }
}

TEST(Deadline, ZeroMsPassesAtOnce) {
    // Created, it lies one nanosecond ahead: poll() must still be told to wait at most 1 ms.
    const Deadline d = Deadline::AfterMs(0);
    const int left = d.RemainingMsForPoll();
    EXPECT_GE(left, 0);
    EXPECT_LE(left, 1);
    SleepUntil(d);
    EXPECT_TRUE(d.Passed());
    EXPECT_EQ(d.RemainingMsForPoll(), 0);
}

TEST(Deadline, RemainingMsForPoll) {
    const Deadline d = Deadline::AfterMs(50);
    const int left = d.RemainingMsForPoll();
    EXPECT_GT(left, 0);
    EXPECT_LE(left, 51);
    EXPECT_FALSE(d.Passed());

    SleepUntil(d);
    EXPECT_GE(NowNs(), NsOf(d.When()));
    EXPECT_TRUE(d.Passed());
    EXPECT_EQ(d.RemainingMsForPoll(), 0);
}

// poll() takes whole milliseconds: rounding down would wake it before the deadline. Bounds come
// from clock readings taken around the call, so they hold however slow the machine is.
TEST(Deadline, RemainingRoundsUpToWholeMs) {
    for (long offsetUs : {300L, 700L}) {
        const Deadline d = Deadline::AfterMs(50);
        const timespec pause{0, offsetUs * 1000};
        nanosleep(&pause, nullptr);
        const int64_t before = NowNs();
        const int left = d.RemainingMsForPoll();
        const int64_t after = NowNs();
        const int64_t when = NsOf(d.When());
        if (after >= when) {
            continue;  // the deadline passed meanwhile: nothing to round
        }
        EXPECT_GE(int64_t{left} * 1'000'000, when - after) << offsetUs;
        EXPECT_LT(int64_t{left} * 1'000'000, when - before + 1'000'000) << offsetUs;
    }
}

}  // namespace
}  // namespace romlift
