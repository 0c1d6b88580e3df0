// Coroutines: pool policy, credentials, deferred wake-up, lock misuse.
#include "coroutine.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "co_lock.h"

namespace {

// Runs a std::function as a coroutine body.
void run_fn(void *arg) {
    (*static_cast<std::function<void()> *>(arg))();
}

Coroutine *spawn(std::function<void()> *fn) {
    Coroutine *co = coroutine_create(run_fn, fn);
    EXPECT_NE(nullptr, co);
    return co;
}

TEST(CoroutinePool, FirstCoroutineIsPooledAndReused) {
    uint32_t cap0 = coroutine_pool_capacity();
    uint32_t size0 = coroutine_pool_size();
    if (size0 != 0)
        GTEST_SKIP() << "pool already used in this process";
    std::function<void()> body = [] {};
    Coroutine *a = spawn(&body);
    EXPECT_EQ(cap0 + 1, coroutine_pool_capacity());
    coroutine_enter(a);
    EXPECT_EQ(1u, coroutine_pool_size());
    Coroutine *b = spawn(&body);
    EXPECT_EQ(a, b) << "finished coroutine must be reused";
    EXPECT_EQ(cap0 + 1, coroutine_pool_capacity());
    coroutine_enter(b);
}

// Keeps `n` coroutines suspended at once, then lets them all finish.
void hold_many(size_t n) {
    CoQueue q;
    co_queue_init(&q);
    std::function<void()> body = [&q] { co_queue_wait(&q); };
    std::vector<Coroutine *> cos;
    for (size_t i = 0; i < n; i++) {
        Coroutine *co = spawn(&body);
        ASSERT_NE(nullptr, co);
        coroutine_enter(co);
    }
    while (co_enter_next(&q)) {
    }
}

TEST(CoroutinePool, CapacityGrowsToMaxAndDecaysWhileOversized) {
    hold_many(POOL_MAX_SIZE + 1);
    EXPECT_EQ((uint32_t)POOL_MAX_SIZE, coroutine_pool_capacity());
    EXPECT_EQ((uint32_t)POOL_MAX_SIZE, coroutine_pool_size());

    // Every create/finish cycle is a pool hit that leaves > 32 pooled.
    std::function<void()> body = [] {};
    for (int i = 0; i < POOL_ADJUST_INTERVAL - 1; i++)
        coroutine_enter(spawn(&body));
    EXPECT_EQ((uint32_t)POOL_MAX_SIZE, coroutine_pool_capacity());
    coroutine_enter(spawn(&body));
    EXPECT_EQ((uint32_t)POOL_MAX_SIZE - 1, coroutine_pool_capacity());
}

TEST(CoroutinePool, HitLeavingFewPooledResetsDecayCount) {
    hold_many(POOL_MIN_SIZE + 1); // pool holds 33
    uint32_t cap = coroutine_pool_capacity();
    std::function<void()> body = [] {};
    // A hit that leaves exactly 32 resets the counter; cycles never decay.
    for (int i = 0; i < POOL_ADJUST_INTERVAL + 5; i++)
        coroutine_enter(spawn(&body));
    EXPECT_EQ(cap, coroutine_pool_capacity());
}

TEST(Coroutine, InCoroutineAndSelf) {
    EXPECT_FALSE(in_coroutine());
    bool inside = false;
    Coroutine *seen = nullptr;
    std::function<void()> body = [&] {
        inside = in_coroutine();
        seen = coroutine_self();
    };
    Coroutine *co = spawn(&body);
    EXPECT_FALSE(coroutine_entered(co));
    coroutine_enter(co);
    EXPECT_TRUE(inside);
    EXPECT_EQ(co, seen);
    EXPECT_FALSE(in_coroutine());
}

TEST(Coroutine, YieldAndReenterKeepsStack) {
    std::vector<int> trace;
    std::function<void()> body = [&] {
        int local = 41;
        trace.push_back(1);
        coroutine_yield();
        trace.push_back(++local);
    };
    Coroutine *co = spawn(&body);
    coroutine_enter(co);
    trace.push_back(0);
    EXPECT_TRUE(!coroutine_entered(co));
    coroutine_enter(co);
    EXPECT_EQ((std::vector<int>{1, 0, 42}), trace);
}

TEST(CoroutineCreds, RingClearedAcrossYieldAndKeepsLast63) {
    bool before = false, after = true, oldest = true, newest = false, second = false;
    std::function<void()> body = [&] {
        Coroutine *self = coroutine_self();
        coroutine_cred_register(self, 0x1000);
        before = coroutine_cred_verify(self, 0x1000);
        coroutine_yield();
        after = coroutine_cred_verify(self, 0x1000);
        for (unsigned long v = 1; v <= 64; v++)
            coroutine_cred_register(self, v);
        oldest = coroutine_cred_verify(self, 1);
        second = coroutine_cred_verify(self, 2);
        newest = coroutine_cred_verify(self, 64);
    };
    Coroutine *co = spawn(&body);
    coroutine_enter(co);
    coroutine_enter(co);
    EXPECT_TRUE(before);
    EXPECT_FALSE(after);
    EXPECT_FALSE(oldest);
    EXPECT_TRUE(second);
    EXPECT_TRUE(newest);
}

TEST(CoLock, UnlockDefersWakeUpUntilYieldInWakeOrder) {
    CoMutex m;
    co_mutex_init(&m);
    std::vector<std::string> trace;
    CoQueue park;
    co_queue_init(&park);

    std::function<void()> holder = [&] {
        co_mutex_lock(&m);
        co_queue_wait(&park); // hold the mutex while the waiters queue up
        co_mutex_unlock(&m);
        trace.push_back("unlocked");
        co_queue_wait(&park); // the woken waiter runs only now
        trace.push_back("holder-end");
    };
    std::function<void()> w1 = [&] {
        co_mutex_lock(&m);
        trace.push_back("w1");
        co_mutex_unlock(&m);
    };
    std::function<void()> w2 = [&] {
        co_mutex_lock(&m);
        trace.push_back("w2");
        co_mutex_unlock(&m);
    };
    coroutine_enter(spawn(&holder));
    coroutine_enter(spawn(&w1));
    coroutine_enter(spawn(&w2));
    EXPECT_TRUE(trace.empty());
    co_enter_next(&park);
    EXPECT_EQ((std::vector<std::string>{"unlocked", "w1", "w2"}), trace);
    co_enter_next(&park);
    EXPECT_EQ("holder-end", trace.back());
    EXPECT_FALSE(m.locked);
}

TEST(CoLock, QueueNextOnEmptyQueueIsFalse) {
    CoQueue q;
    co_queue_init(&q);
    bool r = true;
    std::function<void()> body = [&] { r = co_queue_next(&q); };
    coroutine_enter(spawn(&body));
    EXPECT_FALSE(r);
    EXPECT_TRUE(co_queue_empty(&q));
    EXPECT_FALSE(co_enter_next(&q));
}

TEST(CoLock, RwlockWriterWaitsForReadersAndReadersShare) {
    CoRwlock l;
    co_rwlock_init(&l);
    CoQueue park;
    co_queue_init(&park);
    std::vector<std::string> trace;
    std::function<void()> reader = [&] {
        co_rwlock_rdlock(&l);
        trace.push_back("r");
        co_queue_wait(&park);
        co_rwlock_unlock(&l);
    };
    std::function<void()> writer = [&] {
        co_rwlock_wrlock(&l);
        trace.push_back("w");
        co_rwlock_unlock(&l);
    };
    coroutine_enter(spawn(&reader));
    coroutine_enter(spawn(&reader));
    coroutine_enter(spawn(&writer));
    EXPECT_EQ((std::vector<std::string>{"r", "r"}), trace);
    co_enter_next(&park);
    EXPECT_EQ(2u, trace.size()) << "writer must wait for the second reader";
    co_enter_next(&park);
    EXPECT_EQ((std::vector<std::string>{"r", "r", "w"}), trace);
    EXPECT_FALSE(l.writer);
    EXPECT_EQ(0, l.reader);
}

using CoroutineDeathTest = ::testing::Test;

TEST(CoroutineDeathTest, FinishingWhileHoldingMutexAborts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            static CoMutex m;
            co_mutex_init(&m);
            static std::function<void()> body = [] { co_mutex_lock(&m); };
            coroutine_enter(coroutine_create(run_fn, &body));
        },
        "locks_held");
}

TEST(CoroutineDeathTest, MisuseIsFatal) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(coroutine_yield(), "Co-routine is yielding to no one");
    EXPECT_DEATH(
        {
            static std::function<void()> body = [] { coroutine_enter(coroutine_self()); };
            coroutine_enter(coroutine_create(run_fn, &body));
        },
        "Co-routine re-entered recursively");
    EXPECT_DEATH(
        {
            static CoMutex m;
            co_mutex_init(&m);
            static std::function<void()> body = [] { co_mutex_unlock(&m); };
            coroutine_enter(coroutine_create(run_fn, &body));
        },
        "mutex->locked == true");
    EXPECT_DEATH(coroutine_cred_register(coroutine_self(), 0), "co && cred");
}

} // namespace
