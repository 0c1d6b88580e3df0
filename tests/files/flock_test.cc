// Byte-range locks: grants and refusals, oldest-first grants among
// overlapping waiters, deferred wake-up, the inode page mapping, the dump
// format, and a seeded random schedule of many coroutines checked against a
// model of who holds and who waits.
#include "flock.h"

#include <errno.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "inode.h"
#include "coroutine.h"

namespace {

// A coroutine running a std::function, entered by the test itself.
struct Task {
    std::function<void()> body;
    Coroutine *co = nullptr;
    bool done = false;
    static void entry(void *arg) {
        Task *t = static_cast<Task *>(arg);
        t->body();
        t->done = true;
    }
    explicit Task(std::function<void()> b) : body(std::move(b)) { co = coroutine_create(entry, this); }
    void enter() { coroutine_enter(co); }
};

// Runs `body` in a coroutine to its end (it must not wait).
void run(std::function<void()> body) {
    Task t(std::move(body));
    t.enter();
    ASSERT_TRUE(t.done);
}

TEST(CoFlock, TrylockRefusesOverlapsAndLeavesHandleInNoTree) {
    CoFlock lock;
    co_flock_init(&lock);
    run([&] {
        CoFlockHandle a = {}, b = {}, c = {};
        ASSERT_EQ(0, co_flock_trylock(&lock, 10, 10, &a)); // [10, 19]
        struct {
            int64_t start, len;
            int expect;
        } cases[] = {
            {0, 10, 0},        // [0, 9]: touches, does not overlap
            {19, 1, -EAGAIN},  // last unit
            {5, 6, -EAGAIN},   // reaches the first unit
            {12, 2, -EAGAIN},  // inside
            {0, 100, -EAGAIN}, // covers
            {20, 5, 0},        // right after
        };
        for (const auto &k : cases) {
            int ret = co_flock_trylock(&lock, k.start, k.len, &b);
            EXPECT_EQ(k.expect, ret) << "[" << k.start << ", +" << k.len << ")";
            if (ret == 0)
                co_flock_unlock(&b);
            else
                EXPECT_TRUE(rb_node_empty(&b.node));
            EXPECT_EQ(1u, lock.granted_count);
            EXPECT_EQ(0u, lock.waiting_count);
        }
        ASSERT_EQ(0, co_flock_trylock(&lock, 0, 10, &c));
        EXPECT_EQ(2u, lock.granted_count);
        EXPECT_EQ(0, co_flock_verify(&lock));
        co_flock_unlock(&a);
        co_flock_unlock(&c);
        EXPECT_EQ(0u, lock.granted_count);
    });
}

// Holder H of [0, 9]; then A [0, 9] and B [5, 5] wait, in that order.  On
// H's release A is granted and B keeps waiting for A, although nothing
// granted overlaps B once H is gone.
TEST(CoFlock, OlderOverlappingWaiterIsGrantedFirstAndWakeUpIsDeferred) {
    CoFlock lock;
    co_flock_init(&lock);
    CoFlockHandle h = {}, ha = {}, hb = {};
    std::vector<std::string> order;
    bool h_after_unlock = false;
    Task holder([&] {
        co_flock_lock(&lock, 0, 10, &h);
        order.push_back("H locked");
        coroutine_yield();
        co_flock_unlock(&h);
        // A is granted now but must not run before this coroutine yields.
        EXPECT_TRUE(ha.granted);
        EXPECT_EQ(std::vector<std::string>({"H locked"}), order);
        h_after_unlock = true;
    });
    Task a([&] {
        co_flock_lock(&lock, 0, 10, &ha);
        order.push_back("A locked");
        coroutine_yield();
        co_flock_unlock(&ha);
    });
    Task b([&] {
        co_flock_lock(&lock, 5, 1, &hb);
        order.push_back("B locked");
        co_flock_unlock(&hb);
    });
    holder.enter();
    a.enter();
    b.enter();
    EXPECT_EQ(2u, lock.waiting_count);
    EXPECT_EQ(1, ha.block_time);
    EXPECT_EQ(2, hb.block_time);

    // A new request that overlaps only the waiter B (not a granted range)
    // waits as well.
    CoFlockHandle hc = {};
    Task c([&] {
        co_flock_lock(&lock, 5, 1, &hc);
        order.push_back("C locked");
        co_flock_unlock(&hc);
    });
    c.enter();
    EXPECT_FALSE(c.done);
    EXPECT_EQ(3u, lock.waiting_count);
    EXPECT_EQ(0, co_flock_verify(&lock));

    holder.enter(); // unlock H: A runs once H has finished
    EXPECT_TRUE(h_after_unlock && holder.done);
    EXPECT_EQ(std::vector<std::string>({"H locked", "A locked"}), order);
    EXPECT_TRUE(ha.granted);
    EXPECT_FALSE(hb.granted);
    EXPECT_EQ(2u, lock.waiting_count);

    a.enter(); // unlock A: B, then C (older first, both [5, 5])
    EXPECT_TRUE(a.done && b.done && c.done);
    EXPECT_EQ(std::vector<std::string>({"H locked", "A locked", "B locked", "C locked"}), order);
    EXPECT_EQ(0u, lock.granted_count);
    EXPECT_EQ(0u, lock.waiting_count);
}

// Disjoint waiters freed by one release are all granted in one unlock.
TEST(CoFlock, OneReleaseGrantsEveryWaiterInsideTheGap) {
    CoFlock lock;
    co_flock_init(&lock);
    CoFlockHandle big = {}, left = {}, right = {};
    std::vector<std::unique_ptr<Task>> tasks;
    std::vector<CoFlockHandle> hs(6);
    int granted = 0;
    run([&] {
        ASSERT_EQ(0, co_flock_trylock(&lock, 0, 10, &left));    // [0, 9]
        ASSERT_EQ(0, co_flock_trylock(&lock, 10, 100, &big));   // [10, 109]
        ASSERT_EQ(0, co_flock_trylock(&lock, 110, 10, &right)); // [110, 119]
    });
    // Waiters inside [10, 109] (granted on big's release) and one straddling
    // into `right` (stays).
    const int64_t ranges[][2] = {{10, 5}, {20, 5}, {30, 80}, {15, 10}, {50, 1}, {100, 20}};
    for (size_t i = 0; i < hs.size(); i++) {
        tasks.push_back(std::make_unique<Task>([&, i] {
            co_flock_lock(&lock, ranges[i][0], ranges[i][1], &hs[i]);
            granted++;
            coroutine_yield();
            co_flock_unlock(&hs[i]);
        }));
        tasks.back()->enter();
    }
    EXPECT_EQ(6u, lock.waiting_count);
    run([&] { co_flock_unlock(&big); });
    // [10,14], [20,24] and [30,109] are granted; [15,24] overlaps [20,24]
    // and [50,50] overlaps the older [30,109]; [100,119] still meets `right`.
    EXPECT_EQ(3, granted);
    EXPECT_TRUE(hs[0].granted && hs[1].granted && hs[2].granted);
    EXPECT_FALSE(hs[3].granted || hs[4].granted || hs[5].granted);
    EXPECT_EQ(0, co_flock_verify(&lock));
    for (int i : {0, 1, 2})
        tasks[static_cast<size_t>(i)]->enter();
    EXPECT_EQ(5, granted); // [15,24] and [50,50]
    for (int i : {3, 4})
        tasks[static_cast<size_t>(i)]->enter();
    run([&] {
        co_flock_unlock(&right);
        co_flock_unlock(&left);
    });
    EXPECT_EQ(6, granted);
    tasks[5]->enter();
    for (auto &t : tasks)
        EXPECT_TRUE(t->done);
    EXPECT_EQ(0u, lock.granted_count + lock.waiting_count);
}

TEST(CoFlock, DumpPrintsBothTreesInOrderIndentedByDepth) {
    CoFlock lock;
    co_flock_init(&lock);
    CoFlockHandle g[3] = {}, w = {};
    run([&] {
        ASSERT_EQ(0, co_flock_trylock(&lock, 0, 10, &g[0]));
        ASSERT_EQ(0, co_flock_trylock(&lock, 20, 10, &g[1]));
        ASSERT_EQ(0, co_flock_trylock(&lock, 40, 5, &g[2]));
    });
    Task waiter([&] {
        co_flock_lock(&lock, 5, 20, &w);
        co_flock_unlock(&w);
    });
    waiter.enter();
    testing::internal::CaptureStdout();
    co_flock_dump(&lock);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ("CoFlock granted(3):\n"
              "  [0-9]\n"
              "[20-29]\n"
              "  [40-44]\n"
              "CoFlock waiting(1):\n"
              "[5-24]\n",
              out);
    run([&] {
        for (auto &h : g)
            co_flock_unlock(&h);
    });
    EXPECT_TRUE(waiter.done);
}

// Two byte ranges that share a 4 KiB page exclude each other.
TEST(InodeRangeLock, RangesSharingAPageExcludeEachOther) {
    auto inode = std::make_unique<tav_inode_info>();
    co_flock_init(&inode->flock);
    struct {
        uint64_t off1, len1, off2, len2;
        int expect;
    } cases[] = {
        {0, 100, 4000, 96, -EAGAIN}, // both in page 0
        {0, 4096, 4096, 4096, 0},    // pages 0 and 1
        {4095, 2, 4096 + 4095, 1, -EAGAIN},
        {4095, 1, 4096, 1, 0},
        {8192, 1, 0, 1 << 20, -EAGAIN},
        {(1ull << 38) - 1, 1, (1ull << 38) - 4096, 1, -EAGAIN}, // last page of 256 GiB
    };
    run([&] {
        for (const auto &k : cases) {
            CoFlockHandle a = {}, b = {};
            ASSERT_EQ(0, tav_inode_range_trylock(inode.get(), k.off1, k.len1, &a));
            int ret = tav_inode_range_trylock(inode.get(), k.off2, k.len2, &b);
            EXPECT_EQ(k.expect, ret) << k.off1 << "+" << k.len1 << " vs " << k.off2 << "+" << k.len2;
            if (ret == 0)
                tav_inode_range_unlock(&b);
            tav_inode_range_unlock(&a);
        }
    });
    EXPECT_EQ(0u, inode->flock.granted_count);
}

// Many coroutines lock random ranges, hold them across scheduler rounds and
// release them.  Every grant must find no overlapping holder and no older
// overlapping waiter; every request must eventually be granted.
TEST(CoFlock, RandomScheduleKeepsExclusionOrderAndProgress) {
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE(::testing::Message() << "seed " << seed);
    std::mt19937 rng(seed);
    CoFlock lock;
    co_flock_init(&lock);

    struct Req {
        int64_t start, end;
        uint64_t issued;
        bool waiting, holding;
    };
    constexpr int kWorkers = 40, kRounds = 30;
    std::vector<Req> reqs(kWorkers);
    std::vector<std::unique_ptr<Task>> tasks;
    uint64_t issue = 0;
    std::vector<int> holding; // workers that yielded while holding
    bool failed = false;

    auto check_grant = [&](int me) {
        const Req &r = reqs[static_cast<size_t>(me)];
        for (int o = 0; o < kWorkers; o++) {
            const Req &q = reqs[static_cast<size_t>(o)];
            if (o == me || q.end < r.start || r.end < q.start)
                continue;
            if (q.holding) {
                ADD_FAILURE() << "worker " << me << " granted over holder " << o;
                failed = true;
            }
            if (q.waiting && q.issued < r.issued) {
                ADD_FAILURE() << "worker " << me << " overtook older waiter " << o;
                failed = true;
            }
        }
    };
    for (int w = 0; w < kWorkers; w++) {
        tasks.push_back(std::make_unique<Task>([&, w] {
            CoFlockHandle h = {};
            for (int round = 0; round < kRounds; round++) {
                Req &r = reqs[static_cast<size_t>(w)];
                int64_t len = 1 + static_cast<int64_t>(rng() % (rng() % 4 == 0 ? 200 : 12));
                r.start = static_cast<int64_t>(rng() % 300);
                r.end = r.start + len - 1;
                r.issued = ++issue;
                r.waiting = true;
                co_flock_lock(&lock, r.start, len, &h);
                check_grant(w);
                r.waiting = false;
                r.holding = true;
                for (int hold = static_cast<int>(rng() % 3); hold > 0; hold--) {
                    holding.push_back(w);
                    coroutine_yield();
                }
                r.holding = false;
                co_flock_unlock(&h);
            }
        }));
    }
    for (auto &t : tasks)
        t->enter();
    for (int steps = 0; !failed; steps++) {
        ASSERT_EQ(0, co_flock_verify(&lock)) << "step " << steps;
        if (holding.empty())
            break;
        size_t k = rng() % holding.size();
        int w = holding[k];
        holding.erase(holding.begin() + static_cast<long>(k));
        tasks[static_cast<size_t>(w)]->enter();
    }
    for (int w = 0; w < kWorkers; w++)
        EXPECT_TRUE(tasks[(size_t)w]->done) << "worker " << w << " never granted";
    EXPECT_EQ(0u, lock.granted_count);
    EXPECT_EQ(0u, lock.waiting_count);
}

} // namespace
