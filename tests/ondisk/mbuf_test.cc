// Metadata buffers over the default engine on a real file: load on demand,
// shared loads, error states, the write discipline.
#include "mbuf.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string.h>
#include <unistd.h>

#include "ioengine.h"
#include "support/device.h"
#include "support/loop.h"
#include "memory.h"

namespace {

// A record whose on-disk image is 4096 bytes at offset 8192: a magic word
// and a counter.
struct Rec {
    mbuf mb;
    uint32_t magic;
    uint32_t counter;
    int unserialized;
};

off_t rec_offset(mbuf *, int) {
    return 8192;
}
int rec_serialize(mbuf *mb, void *buf, size_t size) {
    Rec *r = reinterpret_cast<Rec *>(mb);
    memset(buf, 0, size);
    memcpy(buf, &r->magic, 4);
    memcpy(static_cast<char *>(buf) + 4, &r->counter, 4);
    return 0;
}
int rec_unserialize(mbuf *mb, const void *buf, size_t) {
    Rec *r = reinterpret_cast<Rec *>(mb);
    uint32_t magic;
    memcpy(&magic, buf, 4);
    if (magic != 0xfeedbeef)
        return -EUCLEAN;
    r->magic = magic;
    memcpy(&r->counter, static_cast<const char *>(buf) + 4, 4);
    r->unserialized++;
    return 0;
}
const mbuf_fops_t kFops = {rec_offset, rec_serialize, rec_unserialize};

using tavtest::fault_engine;

class MbufTest : public tavtest::DeviceTest {
protected:
    void SetUp() override {
        open_device(1 << 20, tavtest::kFaultEngine);
        write_image(0xfeedbeef, 41);
        rec_ = {};
    }
    void write_image(uint32_t magic, uint32_t counter) {
        uint32_t v[2] = {magic, counter};
        write_bytes(8192, v, 8);
    }
    uint32_t disk_counter() {
        uint32_t v[2];
        memcpy(v, read_bytes(8192, 8).data(), 8);
        return v[1];
    }
    // Reads issued to the backend, failed ones included.
    size_t reads() const { return fault_engine().reads().size(); }
    Rec rec_;
};

TEST_F(MbufTest, LoadsOnFirstGetOnlyAndWritesBack) {
    ASSERT_EQ(0, mbuf_init(&rec_.mb, nullptr, 4096, &kFops));
    EXPECT_EQ(MBUF_STATE_STALE, rec_.mb.state);
    int r1 = -1, r2 = -1, w = -1;
    tavtest::run_coroutine([&] {
        r1 = mbuf_get(&rec_.mb);
        r2 = mbuf_get(&rec_.mb);
        rec_.counter++;
        w = mbuf_set(&rec_.mb);
    });
    EXPECT_EQ(0, r1);
    EXPECT_EQ(0, r2);
    EXPECT_EQ(0, w);
    EXPECT_EQ(1u, reads());
    EXPECT_EQ(MBUF_STATE_UPTODAY, rec_.mb.state);
    EXPECT_EQ(42u, disk_counter());
}

TEST_F(MbufTest, ConcurrentGetsShareOneRead) {
    ASSERT_EQ(0, mbuf_init(&rec_.mb, nullptr, 4096, &kFops));
    struct Ctx {
        Rec *rec;
        int done, bad;
    } ctx = {&rec_, 0, 0};
    for (int i = 0; i < 5; i++)
        coroutine_enter(coroutine_create(
            [](void *p) {
                Ctx *c = static_cast<Ctx *>(p);
                if (mbuf_get(&c->rec->mb) != 0 || c->rec->counter != 41)
                    c->bad++;
                c->done++;
            },
            &ctx));
    EXPECT_TRUE(tavtest::run_until([&] { return ctx.done == 5; }));
    EXPECT_EQ(0, ctx.bad);
    EXPECT_EQ(1u, reads());
    EXPECT_EQ(1, rec_.unserialized);
}

TEST_F(MbufTest, ReadErrorLeavesStaleAndNextGetReadsAgain) {
    ASSERT_EQ(0, mbuf_init(&rec_.mb, nullptr, 4096, &kFops));
    fault_engine().fail_reads(0, 1 << 20, 1);
    int r1 = 0, r2 = -1;
    tavtest::run_coroutine([&] { r1 = mbuf_get(&rec_.mb); });
    EXPECT_EQ(-EIO, r1);
    EXPECT_EQ(MBUF_STATE_STALE, rec_.mb.state);
    tavtest::run_coroutine([&] { r2 = mbuf_get(&rec_.mb); });
    EXPECT_EQ(0, r2);
    EXPECT_EQ(2u, reads());
    EXPECT_EQ(41u, rec_.counter);
}

TEST_F(MbufTest, CheckFailureIsReturnedAndStaysStale) {
    write_image(0xbad, 1);
    ASSERT_EQ(0, mbuf_init(&rec_.mb, nullptr, 4096, &kFops));
    int r = 0;
    tavtest::run_coroutine([&] { r = mbuf_get(&rec_.mb); });
    EXPECT_EQ(-EUCLEAN, r);
    EXPECT_EQ(MBUF_STATE_STALE, rec_.mb.state);
    // An initial image that fails its check gives NULL and the error.
    char img[4096] = {};
    EXPECT_EQ(-EUCLEAN, mbuf_init(&rec_.mb, img, 4096, &kFops));
    EXPECT_EQ(MBUF_STATE_NULL, rec_.mb.state);
}

using MbufDeathTest = MbufTest;

TEST_F(MbufDeathTest, SetAfterAYieldIsFatal) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ASSERT_EQ(0, mbuf_init(&rec_.mb, nullptr, 4096, &kFops));
    EXPECT_DEATH(tavtest::run_coroutine([&] {
                     mbuf_get(&rec_.mb);
                     // Any yield, here a device read, drops the credential.
                     char buf[512];
                     ioengine_co_pread(ioengine_get_default(), buf, sizeof(buf), 0);
                     mbuf_set(&rec_.mb);
                 }),
                 "coroutine_cred_verify");
}

} // namespace
