// Timers on timerfd driven by the libev loop.
#include "timer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "support/loop.h"
#include "coroutine.h"

namespace {

struct Count {
    int runs = 0;
    bool in_co = false;
};

void count_handler(tav_timer *, void *priv) {
    Count *c = static_cast<Count *>(priv);
    c->runs++;
    c->in_co = in_coroutine();
}

TEST(Timer, PlainAndCoroutineTimersRunTheirHandler) {
    Count plain, co;
    tav_timer *a = tav_timer_create(tavtest::driver(), 0, 1000000, count_handler, &plain);
    tav_timer *b = tav_timer_co_create(tavtest::driver(), 0, 1000000, count_handler, &co);
    ASSERT_NE(nullptr, a);
    ASSERT_NE(nullptr, b);
    // Created disarmed.
    tavtest::run_until([] { return false; }, 0.02);
    EXPECT_EQ(0, plain.runs);
    ASSERT_EQ(0, tav_timer_start(a));
    ASSERT_EQ(0, tav_timer_start(b));
    EXPECT_TRUE(tavtest::run_until([&] { return plain.runs >= 2 && co.runs >= 2; }));
    EXPECT_FALSE(plain.in_co);
    EXPECT_TRUE(co.in_co);
    ASSERT_EQ(0, tav_timer_stop(a));
    int before = plain.runs;
    tavtest::run_until([] { return false; }, 0.02);
    EXPECT_EQ(before, plain.runs) << "a stopped timer does not fire";
    tav_timer_destroy(a);
    tav_timer_destroy(b);
}

TEST(Timer, MissedExpirationsGiveOneRun) {
    Count c;
    tav_timer *t = tav_timer_create(tavtest::driver(), 0, 20000000, count_handler, &c);
    ASSERT_EQ(0, tav_timer_start(t));
    usleep(100000); // ~5 periods elapse while the loop is not running
    ASSERT_TRUE(tavtest::run_until([&] { return c.runs > 0; }));
    EXPECT_EQ(1, c.runs) << "one wake-up, one run, however many periods elapsed";
    tav_timer_destroy(t);
}

} // namespace
