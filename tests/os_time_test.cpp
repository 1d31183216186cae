// The two clocks.
//
// Clock values are checked against the wall clock read by the test just
// before and just after the call: the value must lie between what the rule
// gives for those two instants. That pins the unit and the formula exactly
// and cannot flake on a slow machine (only a wall-clock step in between
// could upset it). The rule is computed here in 64 bits and then reduced
// modulo 2^32, so the clocks' wrapping is checked too.
#include <gtest/gtest.h>
#include <sys/time.h>

#include <cstdint>
#include <string>

#include "klor/klor_global.h"
#include "klor/klor_os.h"

namespace {

struct Instant {
    int64_t seconds;
    int64_t microseconds;
};

Instant wallClock() {
    timeval now;
    gettimeofday(&now, nullptr);
    return {static_cast<int64_t>(now.tv_sec), static_cast<int64_t>(now.tv_usec)};
}

// What each clock must give at an instant for a given origin.
uint32_t expectedMs(const Instant& t, uint32_t origin) {
    const int64_t elapsed = (t.seconds & 0xffffffff) - origin;
    return static_cast<uint32_t>(static_cast<uint64_t>(elapsed * 1000 + t.microseconds / 1000));
}

uint32_t expectedUs(const Instant& t, uint32_t origin) {
    const int64_t elapsed = (t.seconds & 0xffffffff) - origin;
    return static_cast<uint32_t>(static_cast<uint64_t>(elapsed * 1000000 + t.microseconds));
}

// value lies in [low, high] on the 32-bit circle.
::testing::AssertionResult between(uint32_t value, uint32_t low, uint32_t high) {
    if (static_cast<uint32_t>(value - low) <= static_cast<uint32_t>(high - low)) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << value << " is not in [" << low << ", " << high << "]";
}

// A zeroed host record of the test's own behind KLOR::gGlobal.
class Clock : public ::testing::Test {
protected:
    void SetUp() override {
        previous_ = KLOR::gGlobal;
        KLOR::gGlobal = &global_;
    }
    void TearDown() override { KLOR::gGlobal = previous_; }

    uint32_t& origin() { return global_.timeBaseSeconds; }

    KLOR::Global global_{};
    KLOR::Global* previous_ = nullptr;
};

struct ClockUnderTest {
    const char* name;
    KLOR_RESULT (*read)(unsigned int*);
    uint32_t (*expected)(const Instant&, uint32_t);
    uint32_t perSecond;
};

const ClockUnderTest kClocks[] = {
    {"GetMs", &KLOR_OS_Time_GetMs, &expectedMs, 1000},
    {"GetNs (microseconds)", &KLOR_OS_Time_GetNs, &expectedUs, 1000000},
};

// The call that finds the origin at 0 sets it to the current second and so
// returns only the sub-second part.
TEST_F(Clock, FirstReadSetsTheOriginToTheCurrentSecond) {
    for (const ClockUnderTest& clock : kClocks) {
        SCOPED_TRACE(clock.name);
        origin() = 0;
        const Instant before = wallClock();
        unsigned int value = 0xdeadbeef;
        ASSERT_EQ(clock.read(&value), KLOR_OK);
        const Instant after = wallClock();
        EXPECT_LT(value, clock.perSecond);
        EXPECT_GE(origin(), static_cast<uint32_t>(before.seconds));
        EXPECT_LE(origin(), static_cast<uint32_t>(after.seconds));
        EXPECT_TRUE(between(value, clock.expected(before, origin()), clock.expected(after, origin())));
    }
}

// Both clocks, and every later call, use the origin the first call set.
TEST_F(Clock, TheOriginIsSharedAndNeverReset) {
    unsigned int ms = 0;
    ASSERT_EQ(KLOR_OS_Time_GetMs(&ms), KLOR_OK);
    const uint32_t set = origin();
    ASSERT_NE(set, 0u);
    for (int i = 0; i < 3; ++i) {
        const Instant before = wallClock();
        unsigned int us = 0;
        ASSERT_EQ(KLOR_OS_Time_GetNs(&us), KLOR_OK);
        const Instant after = wallClock();
        EXPECT_EQ(origin(), set);
        EXPECT_TRUE(between(us, expectedUs(before, set), expectedUs(after, set)));
    }
}

// An origin one second back: at least 1000 and below 2000 ms, when the
// second does not turn during the call (retried until it does not).
TEST_F(Clock, OriginOneSecondBackGivesBetweenOneAndTwoSeconds) {
    for (int attempt = 0; attempt < 10; ++attempt) {
        const Instant before = wallClock();
        origin() = static_cast<uint32_t>(before.seconds) - 1;
        unsigned int ms = 0;
        ASSERT_EQ(KLOR_OS_Time_GetMs(&ms), KLOR_OK);
        const Instant after = wallClock();
        EXPECT_TRUE(between(ms, expectedMs(before, origin()), expectedMs(after, origin())));
        if (before.seconds != after.seconds) continue;
        EXPECT_GE(ms, 1000u);
        EXPECT_LT(ms, 2000u);
        return;
    }
    FAIL() << "the second turned during every attempt";
}

// Far origins make the products pass 2^32: GetNs wraps after about 71.6
// minutes (5000 s back), GetMs after about 49.7 days (50 days back).
TEST_F(Clock, BothClocksWrapInThirtyTwoBits) {
    const int64_t backs[] = {0, 1, 59, 4294, 4295, 5000, 86400, 50LL * 86400, 100LL * 86400};
    for (int64_t back : backs) {
        for (const ClockUnderTest& clock : kClocks) {
            SCOPED_TRACE(std::string(clock.name) + ", origin " + std::to_string(back) + " s back");
            const Instant before = wallClock();
            origin() = static_cast<uint32_t>(before.seconds - back);
            const uint32_t set = origin();
            unsigned int value = 0;
            ASSERT_EQ(clock.read(&value), KLOR_OK);
            const Instant after = wallClock();
            EXPECT_EQ(origin(), set);
            EXPECT_TRUE(between(value, clock.expected(before, set), clock.expected(after, set)));
        }
    }
}

// Readings 1 ms of sleep apart differ by at least 1000 microseconds, and by
// no more than the test's own wall-clock readings around them.
TEST_F(Clock, MicrosecondReadingsOneMillisecondApartDifferByAboutAThousand) {
    unsigned int first = 0;
    unsigned int second = 0;
    const Instant before = wallClock();
    ASSERT_EQ(KLOR_OS_Time_GetNs(&first), KLOR_OK);
    ASSERT_EQ(KLOR_OS_Time_Sleep(1), KLOR_OK);
    ASSERT_EQ(KLOR_OS_Time_GetNs(&second), KLOR_OK);
    const Instant after = wallClock();
    const uint32_t difference = second - first;
    const int64_t window = (after.seconds - before.seconds) * 1000000 + (after.microseconds - before.microseconds);
    EXPECT_GE(difference, 1000u);
    EXPECT_LE(static_cast<int64_t>(difference), window);
}

// A null out pointer is refused before the clock is read: the origin stays 0.
TEST_F(Clock, NullOutPointerIsRefusedAndSetsNoOrigin) {
    for (const ClockUnderTest& clock : kClocks) {
        SCOPED_TRACE(clock.name);
        origin() = 0;
        EXPECT_EQ(clock.read(nullptr), KLOR_ERR_BAD_ARGUMENT);
        EXPECT_EQ(origin(), 0u);
    }
}

}  // namespace
