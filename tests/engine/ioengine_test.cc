// I/O engines on real files opened with O_DIRECT, real libaio, a real libev
// loop; the fault engine, which forwards to libaio, shows exactly what the
// engine layer hands its backend and supplies scripted backend results.
#include "ioengine.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string.h>
#include <unistd.h>

#include <deque>
#include <string>
#include <vector>

#include "support/device.h"
#include "support/loop.h"
#include "memory.h"

namespace {

using tavtest::fault_engine;

class EngineTest : public tavtest::DeviceTest {
protected:
    void SetUp() override {
        tav_iobuf_pool_init();
        fault_engine().reset();
        create_device(1 << 20);
        // A known pattern on disk: byte i holds i % 251.
        std::vector<unsigned char> pat(1 << 20);
        for (size_t i = 0; i < pat.size(); i++)
            pat[i] = static_cast<unsigned char>(i % 251);
        write_bytes(0, pat.data(), pat.size());
    }
    void TearDown() override {
        if (e_)
            ioengine_fini(e_);
        DeviceTest::TearDown();
    }
    ioengine *open_engine(const char *backend, int oflag) {
        e_ = ioengine_init(tavtest::driver(), backend, path_.c_str(), oflag);
        return e_;
    }
    ioengine *e_ = nullptr;
};

TEST_F(EngineTest, RegularFileHas512ByteBlocksAndReportsItsSize) {
    ASSERT_NE(nullptr, open_engine("libaio", O_RDWR | O_DIRECT));
    EXPECT_EQ(512u, ioengine_get_blksz(e_));
    EXPECT_STREQ("libaio", ioengine_actived_backend(e_));
    ioengine_statdev st;
    ASSERT_EQ(0, ioengine_statdev_get(e_, &st));
    EXPECT_EQ(1u << 20, st.phy_length);
    EXPECT_EQ(1u << 20, st.phy_avail_length);
    EXPECT_EQ(0, ioengine_unmap(e_, 0, 4096)) << "libaio has no unmap: 0, nothing done";
    EXPECT_EQ(0, ioengine_test_badtrack(e_, 0, 4096, nullptr, 0));
}

TEST_F(EngineTest, UnalignedReadBouncesThroughCoveringBlocks) {
    ASSERT_NE(nullptr, open_engine(tavtest::kFaultEngine, O_RDWR | O_DIRECT));
    ioengine_set_phyblksz(e_, 4096);
    char buf[100];
    ssize_t r = -1;
    tavtest::run_coroutine([&] { r = ioengine_co_pread(e_, buf, sizeof(buf), 10); });
    EXPECT_EQ(100, r);
    for (int i = 0; i < 100; i++)
        ASSERT_EQ((char)((10 + i) % 251), buf[i]) << i;
    const auto &calls = fault_engine().transfers;
    ASSERT_EQ(1u, calls.size());
    EXPECT_EQ(0u, calls[0].off);
    EXPECT_EQ(4096u, calls[0].len);
    EXPECT_EQ(1u, e_->status.unaligned_read_count);
    EXPECT_EQ(1u, e_->status.unaligned_offset_count);
}

TEST_F(EngineTest, UnalignedWriteIsReadModifyWriteOfCoveringBlocks) {
    ASSERT_NE(nullptr, open_engine(tavtest::kFaultEngine, O_RDWR | O_DIRECT));
    ioengine_set_phyblksz(e_, 4096);
    std::vector<unsigned char> before = read_bytes(0, 8192);
    char buf[100];
    memset(buf, 0xAB, sizeof(buf));
    ssize_t r = -1;
    tavtest::run_coroutine([&] { r = ioengine_co_pwrite(e_, buf, sizeof(buf), 4000); });
    EXPECT_EQ(100, r);
    const auto &calls = fault_engine().transfers;
    ASSERT_EQ(2u, calls.size());
    EXPECT_FALSE(calls[0].write);
    EXPECT_TRUE(calls[1].write);
    for (const auto &c : calls) {
        EXPECT_EQ(0u, c.off);
        EXPECT_EQ(8192u, c.len);
    }
    std::vector<unsigned char> after = read_bytes(0, 8192);
    for (size_t i = 0; i < 8192; i++) {
        unsigned char want = (i >= 4000 && i < 4100) ? 0xAB : before[i];
        ASSERT_EQ(want, after[i]) << "byte " << i;
    }
    EXPECT_EQ(1u, e_->status.unaligned_write_count);
}

TEST_F(EngineTest, AlignedRequestsGoStraightThroughAndBufferAlignmentIs4096) {
    ASSERT_NE(nullptr, open_engine(tavtest::kFaultEngine, O_RDWR | O_DIRECT));
    void *mem = nullptr;
    ASSERT_EQ(0, posix_memalign(&mem, 4096, 8192));
    ssize_t r1 = -1, r2 = -1;
    tavtest::run_coroutine([&] {
        r1 = ioengine_co_pread(e_, mem, 4096, 4096);
        // 512-aligned address: unaligned for the engine even with 512-byte blocks.
        r2 = ioengine_co_pread(e_, static_cast<char *>(mem) + 512, 512, 0);
    });
    EXPECT_EQ(4096, r1);
    EXPECT_EQ(512, r2);
    EXPECT_EQ(4096u, fault_engine().transfers[0].len) << "aligned request passed unchanged";
    EXPECT_EQ(1u, e_->status.unaligned_buffer_count);
    EXPECT_EQ(0u, e_->status.unaligned_offset_count);
    EXPECT_EQ(1u, e_->status.unaligned_read_count);
    free(mem);
}

TEST_F(EngineTest, BackendErrorsAndShortTransfers) {
    ASSERT_NE(nullptr, open_engine(tavtest::kFaultEngine, O_RDWR | O_DIRECT));
    alignas(4096) static char buf[8192];
    struct Case {
        std::deque<ssize_t> script;
        bool write;
        bool n_form;
        ssize_t expect;
    } cases[] = {
        {{-ENODATA}, false, false, -EIO},    {{-EREMOTEIO}, false, false, -EIO},
        {{-ENODATA}, true, false, -ENODATA},                                 // writes map no error codes
        {{-ENOSPC}, false, false, -ENOSPC},  {{4096, 0}, false, true, -EIO}, // end of device mid-transfer
        {{4096, 4096}, false, true, 0}, // two short reads complete the whole
        {{4096, 4096}, true, true, 0},       {{4096, -EIO}, true, true, -EIO},
    };
    for (auto &c : cases) {
        fault_engine().script = c.script;
        ssize_t r = 1;
        tavtest::run_coroutine([&] {
            if (c.n_form)
                r = c.write ? ioengine_co_pwriten(e_, buf, sizeof(buf), 0)
                            : ioengine_co_preadn(e_, buf, sizeof(buf), 0);
            else
                r = c.write ? ioengine_co_pwrite(e_, buf, 4096, 0) : ioengine_co_pread(e_, buf, 4096, 0);
        });
        EXPECT_EQ(c.expect, r);
        EXPECT_TRUE(fault_engine().script.empty());
    }
}

TEST_F(EngineTest, AccessModeIsEnforcedWithoutTouchingCounters) {
    alignas(4096) static char buf[4096];
    ASSERT_NE(nullptr, open_engine("libaio", O_RDONLY | O_DIRECT));
    ssize_t r = 0;
    tavtest::run_coroutine([&] { r = ioengine_co_pwrite(e_, buf, 4096, 0); });
    EXPECT_EQ(-EBADF, r);
    EXPECT_EQ(0u, e_->status.total_write_count);
    ioengine_fini(e_);
    ASSERT_NE(nullptr, open_engine("libaio", O_WRONLY | O_DIRECT));
    tavtest::run_coroutine([&] { r = ioengine_co_pread(e_, buf, 4096, 0); });
    EXPECT_EQ(-EBADF, r);
    EXPECT_EQ(0u, e_->status.total_read_count);
}

TEST_F(EngineTest, ReadPastEndIsEio) {
    ASSERT_NE(nullptr, open_engine("libaio", O_RDWR | O_DIRECT));
    alignas(4096) static char buf[8192];
    int r = 0;
    tavtest::run_coroutine([&] { r = ioengine_co_preadn(e_, buf, sizeof(buf), (1 << 20) - 4096); });
    EXPECT_EQ(-EIO, r);
}

TEST_F(EngineTest, ManyCoroutinesCompleteThroughOneLoop) {
    ASSERT_NE(nullptr, open_engine("libaio", O_RDWR | O_DIRECT));
    constexpr int kN = 200;
    std::vector<void *> bufs(kN);
    for (int i = 0; i < kN; i++) {
        ASSERT_EQ(0, posix_memalign(&bufs[i], 4096, 4096));
        memset(bufs[i], i + 1, 4096);
    }
    int done = 0, bad = 0;
    struct Arg {
        ioengine *e;
        void *buf;
        int i;
        int *done, *bad;
    };
    std::vector<Arg> args(kN);
    for (int i = 0; i < kN; i++) {
        args[i] = {e_, bufs[i], i, &done, &bad};
        Coroutine *co = coroutine_create(
            [](void *p) {
                Arg *a = static_cast<Arg *>(p);
                if (ioengine_co_pwriten(a->e, a->buf, 4096, static_cast<off_t>(a->i) * 4096) != 0)
                    (*a->bad)++;
                memset(a->buf, 0, 4096);
                if (ioengine_co_preadn(a->e, a->buf, 4096, static_cast<off_t>(a->i) * 4096) != 0)
                    (*a->bad)++;
                for (int k = 0; k < 4096; k++)
                    if ((static_cast<unsigned char *>(a->buf))[k] != static_cast<unsigned char>(a->i + 1)) {
                        (*a->bad)++;
                        break;
                    }
                (*a->done)++;
            },
            &args[i]);
        coroutine_enter(co);
    }
    EXPECT_TRUE(tavtest::run_until([&] { return done == kN; }));
    EXPECT_EQ(0, bad);
    EXPECT_EQ((uint64_t)kN, e_->status.total_write_count);
    EXPECT_EQ((uint64_t)kN, e_->status.batch_read_count);
    for (void *b : bufs)
        free(b);
}

// Transfers started by coroutines that the completion handler resumes go to
// the kernel together once the handler has resumed them all.  One of them that
// the kernel refuses (more segments than a request may carry) fails alone
// with the kernel's error, exactly as it does when submitted outside the
// handler; its neighbours still complete with the right data.
TEST_F(EngineTest, TransfersStartedInTheHandlerGoOutTogetherAndARefusedOneFailsAlone) {
    ASSERT_NE(nullptr, open_engine("libaio", O_RDWR | O_DIRECT));
    constexpr int kN = 16, kBad = 5, kSegs = 1025; // the kernel's limit is 1024 segments
    void *many = nullptr;
    ASSERT_EQ(0, posix_memalign(&many, 4096, (size_t)kSegs * 4096));
    std::vector<struct iovec> segs(kSegs);
    for (int k = 0; k < kSegs; k++)
        segs[k] = {static_cast<char *>(many) + static_cast<size_t>(k) * 4096,
                   512}; // aligned: passed to the kernel unchanged
    std::vector<void *> bufs(kN);
    for (int i = 0; i < kN; i++) {
        ASSERT_EQ(0, posix_memalign(&bufs[i], 4096, 4096));
        memset(bufs[i], 0x40 + i, 4096);
    }
    struct Arg {
        ioengine *e;
        void *buf;
        int i;
        std::vector<struct iovec> *segs;
        ssize_t write_ret = 1, second_ret = 1;
        bool done = false;
    };
    std::vector<Arg> args(kN);
    for (int i = 0; i < kN; i++) {
        args[i].e = e_;
        args[i].buf = bufs[i];
        args[i].i = i;
        args[i].segs = &segs;
        Coroutine *co = coroutine_create(
            [](void *p) {
                Arg *a = static_cast<Arg *>(p);
                a->write_ret = ioengine_co_pwrite(a->e, a->buf, 4096, static_cast<off_t>(a->i) * 4096);
                // Resumed by the handler: this transfer is held for its call.
                memset(a->buf, 0, 4096);
                if (a->i == kBad)
                    a->second_ret =
                        ioengine_co_preadv(a->e, a->segs->data(), static_cast<int>(a->segs->size()), 0);
                else
                    a->second_ret = ioengine_co_pread(a->e, a->buf, 4096, static_cast<off_t>(a->i) * 4096);
                a->done = true;
            },
            &args[i]);
        coroutine_enter(co);
    }
    EXPECT_TRUE(tavtest::run_until([&] {
        for (const Arg &a : args)
            if (!a.done)
                return false;
        return true;
    }));
    for (int i = 0; i < kN; i++) {
        EXPECT_EQ(4096, args[i].write_ret) << i;
        if (i == kBad) {
            EXPECT_EQ(-EINVAL, args[i].second_ret);
            continue;
        }
        EXPECT_EQ(4096, args[i].second_ret) << i;
        const unsigned char *b = static_cast<const unsigned char *>(bufs[i]);
        EXPECT_TRUE(b[0] == 0x40 + i && b[4095] == 0x40 + i) << i;
    }
    // The same request from outside the handler: the same error.
    ssize_t direct = 1;
    tavtest::run_coroutine([&] { direct = ioengine_co_preadv(e_, segs.data(), kSegs, 0); });
    EXPECT_EQ(-EINVAL, direct);
    for (void *b : bufs)
        free(b);
    free(many);
}

// A coroutine that waits for the end of the completion pass runs after every
// other coroutine of the pass, and a transfer it then starts still goes out
// with the handler's submission and completes.  Outside a pass the wait
// returns at once.
TEST_F(EngineTest, PassYieldResumesAfterTheRestOfThePass) {
    ASSERT_NE(nullptr, open_engine("libaio", O_RDWR | O_DIRECT));
    alignas(4096) static char buf[4096];
    alignas(4096) static char late[4096];
    struct State {
        ioengine *e;
        std::string order;
        ssize_t late_ret = 0;
        bool done = false;
    } st;
    st.e = e_;
    coroutine_enter(coroutine_create(
        [](void *p) {
            State *s = static_cast<State *>(p);
            if (ioengine_co_pread(s->e, buf, 4096, 0) != 4096)
                return;
            // Resumed by the handler: X waits for the end of the pass, Y
            // and this coroutine run on.
            coroutine_enter(coroutine_create(
                [](void *q) {
                    State *t = static_cast<State *>(q);
                    ioengine_co_pass_yield();
                    t->order += 'X';
                    t->late_ret = ioengine_co_pread(t->e, late, 4096, 8192);
                    t->done = true;
                },
                s));
            coroutine_enter(coroutine_create([](void *q) { static_cast<State *>(q)->order += 'Y'; }, s));
            s->order += 'C';
        },
        &st));
    EXPECT_TRUE(tavtest::run_until([&] { return st.done; }));
    EXPECT_EQ("YCX", st.order);
    EXPECT_EQ(4096, st.late_ret);
    EXPECT_EQ((unsigned char)(8192 % 251), (unsigned char)late[0]);
    bool returned = false;
    tavtest::run_coroutine([&] {
        ioengine_co_pass_yield();
        returned = true;
    });
    EXPECT_TRUE(returned);
}

// A coroutine resumed by the completion handler may close the engine (an
// instance ends from its last request's callback): the handler finishes its
// walk and releases the engine afterwards (under ASan: no use after free, no
// leak).
TEST_F(EngineTest, EngineClosedFromAResumedCoroutine) {
    ASSERT_NE(nullptr, open_engine("libaio", O_RDWR | O_DIRECT));
    alignas(4096) static char buf[4096];
    bool closed = false;
    struct Arg {
        ioengine **e;
        bool *closed;
    } arg = {&e_, &closed};
    coroutine_enter(coroutine_create(
        [](void *p) {
            Arg *a = static_cast<Arg *>(p);
            if (ioengine_co_pread(*a->e, buf, 4096, 0) == 4096) {
                ioengine_fini(*a->e);
                *a->e = nullptr;
                *a->closed = true;
            }
        },
        &arg));
    EXPECT_TRUE(tavtest::run_until([&] { return closed; }));
    EXPECT_EQ(nullptr, e_);
    // The loop goes on without the engine's descriptor.
    EXPECT_TRUE(tavtest::run_until([] { return true; }));
}

TEST_F(EngineTest, LookupAndOpenFailures) {
    EXPECT_EQ(nullptr, ioengine_plugin_find("nope"));
    EXPECT_EQ(nullptr, open_engine("nope", O_RDWR));
    fault_engine().phy_blksz = 8192;
    EXPECT_EQ(nullptr, open_engine(tavtest::kFaultEngine, O_RDWR)) << "8192-byte blocks are refused";
    e_ = ioengine_init(tavtest::driver(), "libaio", "/nonexistent/dir/x", O_RDWR);
    EXPECT_EQ(nullptr, e_);
}

TEST_F(EngineTest, DefaultEngineAlwaysUsesODirect) {
    ASSERT_EQ(0, ioengine_default_init(tavtest::driver(), "libaio", path_.c_str(), O_RDWR));
    ioengine *d = ioengine_get_default();
    ASSERT_NE(nullptr, d);
    EXPECT_TRUE(ioengine_get_oflag(d) & O_DIRECT);
    ioengine_default_fini();
    EXPECT_EQ(nullptr, ioengine_get_default());
}

} // namespace
