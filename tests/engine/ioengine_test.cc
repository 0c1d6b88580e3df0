// I/O engines on real files opened with O_DIRECT, real libaio, a real libev
// loop; a recording plug-in that forwards to libaio shows exactly what reaches
// the device, and a scripted plug-in supplies backend failures.
#include "ioengine.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string.h>
#include <unistd.h>

#include <deque>
#include <string>
#include <vector>

#include "support/loop.h"
#include "support/tmpdir.h"
#include "utils/memory.h"

namespace {

struct Call {
    bool write;
    off_t offset;
    size_t len;
};
std::vector<Call> g_calls;

size_t total(const struct iovec *iov, int n) {
    size_t t = 0;
    for (int i = 0; i < n; i++)
        t += iov[i].iov_len;
    return t;
}

ssize_t rec_preadv(ioengine *e, const struct iovec *iov, int n, off_t off) {
    g_calls.push_back({false, off, total(iov, n)});
    return ioengine_libaio_plugin.co_preadv(e, iov, n, off);
}
ssize_t rec_pwritev(ioengine *e, const struct iovec *iov, int n, off_t off) {
    g_calls.push_back({true, off, total(iov, n)});
    return ioengine_libaio_plugin.co_pwritev(e, iov, n, off);
}

ioengine_plugin g_recording = [] {
    ioengine_plugin p = ioengine_libaio_plugin;
    p.name = "test-recording";
    p.co_preadv = rec_preadv;
    p.co_pwritev = rec_pwritev;
    return p;
}();

// Scripted backend: each transfer pops the next result.
std::deque<ssize_t> g_script;
int scripted_open(ioengine *e, ev_driver *, const char *, int) {
    ioengine_set_phyblksz(e, 512);
    return 0;
}
int scripted_statdev(ioengine *, ioengine_statdev *s) {
    s->phy_length = s->phy_avail_length = 1 << 20;
    return 0;
}
ssize_t scripted_rw(ioengine *, const struct iovec *, int, off_t) {
    ssize_t r = g_script.front();
    g_script.pop_front();
    return r;
}
int scripted_open_8k(ioengine *e, ev_driver *, const char *, int) {
    ioengine_set_phyblksz(e, 8192);
    return 0;
}
ioengine_plugin g_scripted = {{}, "test-scripted", scripted_open, nullptr, nullptr, scripted_rw,
                              scripted_rw, scripted_statdev, nullptr, nullptr, nullptr, nullptr,
                              nullptr};
ioengine_plugin g_bad_blksz = {{}, "test-8k", scripted_open_8k, nullptr, nullptr, scripted_rw,
                               scripted_rw, scripted_statdev, nullptr, nullptr, nullptr, nullptr,
                               nullptr};

class EngineTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static bool registered = false;
        if (!registered) {
            ioengine_plugin_register(&g_recording);
            ioengine_plugin_register(&g_scripted);
            ioengine_plugin_register(&g_bad_blksz);
            registered = true;
        }
        tav_iobuf_pool_init();
    }
    void SetUp() override {
        path_ = dir_.path() + "/dev.img";
        tavtest::make_file(path_, 1 << 20);
        // A known pattern on disk: byte i holds i % 251.
        int fd = open(path_.c_str(), O_WRONLY);
        std::vector<unsigned char> pat(1 << 20);
        for (size_t i = 0; i < pat.size(); i++)
            pat[i] = (unsigned char)(i % 251);
        ASSERT_EQ((ssize_t)pat.size(), pwrite(fd, pat.data(), pat.size(), 0));
        close(fd);
        g_calls.clear();
    }
    void TearDown() override {
        if (e_)
            ioengine_fini(e_);
    }
    ioengine *open_engine(const char *backend, int oflag) {
        e_ = ioengine_init(tavtest::driver(), backend, path_.c_str(), oflag);
        return e_;
    }
    std::vector<unsigned char> file_bytes(off_t off, size_t len) {
        std::vector<unsigned char> out(len);
        int fd = open(path_.c_str(), O_RDONLY);
        EXPECT_EQ((ssize_t)len, pread(fd, out.data(), len, off));
        close(fd);
        return out;
    }
    tavtest::TempDir dir_;
    std::string path_;
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
    ASSERT_NE(nullptr, open_engine("test-recording", O_RDWR | O_DIRECT));
    ioengine_set_phyblksz(e_, 4096);
    char buf[100];
    ssize_t r = -1;
    tavtest::run_coroutine([&] { r = ioengine_co_pread(e_, buf, sizeof(buf), 10); });
    EXPECT_EQ(100, r);
    for (int i = 0; i < 100; i++)
        ASSERT_EQ((char)((10 + i) % 251), buf[i]) << i;
    ASSERT_EQ(1u, g_calls.size());
    EXPECT_EQ(0, g_calls[0].offset);
    EXPECT_EQ(4096u, g_calls[0].len);
    EXPECT_EQ(1u, e_->status.unaligned_read_count);
    EXPECT_EQ(1u, e_->status.unaligned_offset_count);
}

TEST_F(EngineTest, UnalignedWriteIsReadModifyWriteOfCoveringBlocks) {
    ASSERT_NE(nullptr, open_engine("test-recording", O_RDWR | O_DIRECT));
    ioengine_set_phyblksz(e_, 4096);
    std::vector<unsigned char> before = file_bytes(0, 8192);
    char buf[100];
    memset(buf, 0xAB, sizeof(buf));
    ssize_t r = -1;
    tavtest::run_coroutine([&] { r = ioengine_co_pwrite(e_, buf, sizeof(buf), 4000); });
    EXPECT_EQ(100, r);
    ASSERT_EQ(2u, g_calls.size());
    EXPECT_FALSE(g_calls[0].write);
    EXPECT_TRUE(g_calls[1].write);
    for (const Call &c : g_calls) {
        EXPECT_EQ(0, c.offset);
        EXPECT_EQ(8192u, c.len);
    }
    std::vector<unsigned char> after = file_bytes(0, 8192);
    for (size_t i = 0; i < 8192; i++) {
        unsigned char want = (i >= 4000 && i < 4100) ? 0xAB : before[i];
        ASSERT_EQ(want, after[i]) << "byte " << i;
    }
    EXPECT_EQ(1u, e_->status.unaligned_write_count);
}

TEST_F(EngineTest, AlignedRequestsGoStraightThroughAndBufferAlignmentIs4096) {
    ASSERT_NE(nullptr, open_engine("test-recording", O_RDWR | O_DIRECT));
    void *mem = nullptr;
    ASSERT_EQ(0, posix_memalign(&mem, 4096, 8192));
    ssize_t r1 = -1, r2 = -1;
    tavtest::run_coroutine([&] {
        r1 = ioengine_co_pread(e_, mem, 4096, 4096);
        // 512-aligned address: unaligned for the engine even with 512-byte blocks.
        r2 = ioengine_co_pread(e_, (char *)mem + 512, 512, 0);
    });
    EXPECT_EQ(4096, r1);
    EXPECT_EQ(512, r2);
    EXPECT_EQ(4096u, g_calls[0].len) << "aligned request passed unchanged";
    EXPECT_EQ(1u, e_->status.unaligned_buffer_count);
    EXPECT_EQ(0u, e_->status.unaligned_offset_count);
    EXPECT_EQ(1u, e_->status.unaligned_read_count);
    free(mem);
}

TEST_F(EngineTest, BackendErrorsAndShortTransfers) {
    ASSERT_NE(nullptr, open_engine("test-scripted", O_RDWR | O_DIRECT));
    alignas(4096) static char buf[8192];
    struct Case {
        std::deque<ssize_t> script;
        bool write;
        bool n_form;
        ssize_t expect;
    } cases[] = {
        {{-ENODATA}, false, false, -EIO},
        {{-EREMOTEIO}, false, false, -EIO},
        {{-ENODATA}, true, false, -ENODATA},  // writes map no error codes
        {{-ENOSPC}, false, false, -ENOSPC},
        {{4096, 0}, false, true, -EIO},        // end of device mid-transfer
        {{4096, 4096}, false, true, 0},        // two short reads complete the whole
        {{4096, 4096}, true, true, 0},
        {{4096, -EIO}, true, true, -EIO},
    };
    for (auto &c : cases) {
        g_script = c.script;
        ssize_t r = 1;
        tavtest::run_coroutine([&] {
            if (c.n_form)
                r = c.write ? ioengine_co_pwriten(e_, buf, sizeof(buf), 0)
                            : ioengine_co_preadn(e_, buf, sizeof(buf), 0);
            else
                r = c.write ? ioengine_co_pwrite(e_, buf, 4096, 0)
                            : ioengine_co_pread(e_, buf, 4096, 0);
        });
        EXPECT_EQ(c.expect, r);
        EXPECT_TRUE(g_script.empty());
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
                if (ioengine_co_pwriten(a->e, a->buf, 4096, (off_t)a->i * 4096) != 0)
                    (*a->bad)++;
                memset(a->buf, 0, 4096);
                if (ioengine_co_preadn(a->e, a->buf, 4096, (off_t)a->i * 4096) != 0)
                    (*a->bad)++;
                for (int k = 0; k < 4096; k++)
                    if (((unsigned char *)a->buf)[k] != (unsigned char)(a->i + 1)) {
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

TEST_F(EngineTest, LookupAndOpenFailures) {
    EXPECT_EQ(nullptr, ioengine_plugin_find("nope"));
    EXPECT_EQ(nullptr, open_engine("nope", O_RDWR));
    EXPECT_EQ(nullptr, open_engine("test-8k", O_RDWR)) << "8192-byte blocks are refused";
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

TEST(EngineHistogram, BucketsBySize) {
    struct {
        size_t size;
        unsigned bucket;
    } cases[] = {{1, 0}, {512, 0}, {513, 1}, {1024, 1}, {4096, 3}, {4097, 4},
                 {1 << 20, 11}, {(1 << 20) + 1, 12}, {3 << 20, 12}};
    for (auto &c : cases)
        EXPECT_EQ(c.bucket, ioengine_bsrange_bucket(c.size)) << c.size;
}

}  // namespace
