// Sleeping: at least the time asked for, the microsecond product wrapping
// in 32 bits. Durations are measured on the monotonic clock.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "klor/klor_os.h"

namespace {

using SteadyClock = std::chrono::steady_clock;

int64_t microsecondsSince(SteadyClock::time_point start) {
    return std::chrono::duration_cast<std::chrono::microseconds>(SteadyClock::now() - start).count();
}

TEST(Sleep, SleepsAtLeastTheRequestedMilliseconds) {
    for (unsigned int ms : {0u, 1u, 20u}) {
        SCOPED_TRACE("ms " + std::to_string(ms));
        const auto start = SteadyClock::now();
        EXPECT_EQ(KLOR_OS_Time_Sleep(ms), KLOR_OK);
        EXPECT_GE(microsecondsSince(start), static_cast<int64_t>(ms) * 1000);
    }
}

// 4294968 ms * 1000 wraps to 704 microseconds. Without the wrap the call
// would sleep for about 50 days: it runs on a thread of its own, so such a
// fault fails after a minute instead of hanging the run.
TEST(Sleep, TheMicrosecondProductWrapsInThirtyTwoBits) {
    auto finished = std::make_shared<std::promise<int64_t>>();
    std::future<int64_t> slept = finished->get_future();
    std::thread sleeper([finished] {
        const auto start = SteadyClock::now();
        KLOR_OS_Time_Sleep(4294968u);
        finished->set_value(microsecondsSince(start));
    });
    if (slept.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
        sleeper.detach();
        FAIL() << "the sleep did not wrap to 704 microseconds";
    }
    sleeper.join();
    EXPECT_GE(slept.get(), 704);
}

}  // namespace
