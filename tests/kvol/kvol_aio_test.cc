// Volume I/O: pieces along mappings at their backing offsets, short results
// on unavailable or failing pieces, the queue bound with its blocking list,
// closing of failing backings, refused submissions, the synchronous variant.
#include <fcntl.h>
#include <string.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "kvol_aio.h"
#include "kvol_test_util.h"

using namespace kvoltest;

namespace {

constexpr uint64_t T0 = 2 * GiB - DATA_START; // mapping 1 starts here
constexpr uint64_t B_OFFSET = 32 * MiB;       // mapping 1's offset in b.img

// EIO for every piece on mapping 1 while set.
long eio_on_mapping1(const kvol_split_t *s, long res) {
    return s->mapping->index == 1 ? -5 : res;
}

class KvolAio : public ::testing::Test {
protected:
    void SetUp() override { open_volume(); }
    void open_volume() {
        ASSERT_EQ(vol_.mkfs_ret, 0);
        b_ = make_sparse(vol_.dir.path(), "b.img", 256 * MiB);
        kv_ = kvol_init(vol_.path.c_str(), O_RDWR);
        ASSERT_NE(kv_, nullptr);
        kvol_expand_entry_t e = {};
        e.offset = B_OFFSET;
        e.length = 128 * MiB;
        e.attribute = KVOL_ATTR_IFREG | KVOL_ATTR_ODIRECT;
        e.path = b_.c_str();
        ASSERT_EQ(kvol_expand(kv_, &e, 1), 0);
        evfd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        ASSERT_GE(evfd_, 0);
        kvol_set_eventfd(kv_, evfd_);
    }
    // Reopens the volume with a bound of `max` pieces in flight.
    void reopen_with_aio_max(uint32_t max) {
        kvol_fini(kv_);
        kv_ = nullptr;
        kvol_test_set_aio_max(max);
        kv_ = kvol_init(vol_.path.c_str(), O_RDWR);
        ASSERT_NE(kv_, nullptr);
        kvol_set_eventfd(kv_, evfd_);
    }
    void TearDown() override {
        kvol_test_set_result_hook(nullptr);
        kvol_test_set_aio_max(0);
        if (kv_ != nullptr) {
            EXPECT_EQ(kv_->aio_depth, 0u);
            kvol_fini(kv_);
        }
        if (evfd_ >= 0)
            close(evfd_);
    }
    // Prepares, submits and waits for one request.
    ssize_t run(int type, struct iovec *iov, int cnt, off_t offset) {
        Completion c;
        int r = type == KVOL_OP_READ ? kvol_aio_prep_preadv(kv_, iov, cnt, offset, Completion::cbk, &c)
                                     : kvol_aio_prep_pwritev(kv_, iov, cnt, offset, Completion::cbk, &c);
        if (r != 0)
            return 1000 + r; // distinguishable from any transfer result
        EXPECT_EQ(kvol_aio_submit(kv_, nullptr), 0);
        EXPECT_TRUE(pump(kv_, evfd_, [&] { return c.called; }));
        EXPECT_EQ(c.calls, 1);
        return c.result;
    }

    VolumeFile vol_;
    std::string b_;
    kvol_t *kv_ = nullptr;
    int evfd_ = -1;
};

TEST_F(KvolAio, SpanningWriteLandsAtEachMappingsBackingOffset) {
    // Three buffers over the boundary: 512 KiB + 1 MiB + 512 KiB, the
    // boundary falling inside the middle one.
    AlignedBuf w(2 * MiB, 11);
    struct iovec wv[3] = {
        {w.data(), 512 * 1024}, {w.data() + 512 * 1024, MiB}, {w.data() + 1536 * 1024, 512 * 1024}};
    ASSERT_EQ(run(KVOL_OP_WRITE, wv, 3, T0 - MiB), ssize_t(2 * MiB));
    Bytes all = w.bytes();
    EXPECT_EQ(read_at(vol_.path, DATA_START + T0 - MiB, MiB), Bytes(all.begin(), all.begin() + MiB));
    EXPECT_EQ(read_at(b_, B_OFFSET, MiB), Bytes(all.begin() + MiB, all.end()));

    AlignedBuf r(2 * MiB);
    struct iovec rv = r.iov();
    ASSERT_EQ(run(KVOL_OP_READ, &rv, 1, T0 - MiB), ssize_t(2 * MiB));
    EXPECT_EQ(r.bytes(), all);
}

TEST_F(KvolAio, SynchronousVariantSplitsTheSameWay) {
    AlignedBuf w(2 * MiB, 12), r(2 * MiB);
    struct iovec wv = w.iov(), rv = r.iov();
    ASSERT_EQ(kvol_writev(kv_, &wv, 1, T0 - MiB), ssize_t(2 * MiB));
    ASSERT_EQ(kvol_preadv(kv_, &rv, 1, T0 - MiB), ssize_t(2 * MiB));
    EXPECT_EQ(r.bytes(), w.bytes());
    Bytes all = w.bytes();
    EXPECT_EQ(read_at(b_, B_OFFSET, MiB), Bytes(all.begin() + MiB, all.end()));
    // Out of range.
    EXPECT_EQ(kvol_preadv(kv_, &rv, 1, T0 + 128 * MiB - MiB), -22);
}

TEST_F(KvolAio, UnavailableMappingAfterAGoodOneCompletesShort) {
    ASSERT_EQ(kvol_mark_badtrack(kv_, T0, 128 * MiB), 0); // mapping 1 unavailable
    AlignedBuf r(2 * MiB);
    struct iovec rv = r.iov();
    EXPECT_EQ(run(KVOL_OP_READ, &rv, 1, T0 - MiB), ssize_t(MiB));
    EXPECT_EQ(kvol_preadv(kv_, &rv, 1, T0 - MiB), ssize_t(MiB));
    // Starting in it fails at preparation.
    Completion c;
    std::string log =
        capture_log([&] { EXPECT_EQ(kvol_aio_prep_preadv(kv_, &rv, 1, T0, Completion::cbk, &c), -1); });
    EXPECT_NE(log.find("device/file  " + b_ + " has bad track, va_start " + std::to_string(T0)),
              std::string::npos)
        << log;
    EXPECT_FALSE(c.called);
}

TEST_F(KvolAio, PieceCutAtTheFirstBadRunOfABadtrackMapping) {
    // Granule 2 of mapping 1 bad: a read from granule 1 stops where it starts.
    ASSERT_EQ(kvol_mark_badtrack(kv_, T0 + 2 * GRAN, GRAN), 0);
    AlignedBuf r(2 * MiB);
    struct iovec rv = r.iov();
    EXPECT_EQ(run(KVOL_OP_READ, &rv, 1, T0 + 2 * GRAN - MiB), ssize_t(MiB));
}

TEST_F(KvolAio, FailingSecondPieceGivesTheFirstPiecesCount) {
    kvol_test_set_result_hook(eio_on_mapping1);
    AlignedBuf r(2 * MiB);
    struct iovec rv = r.iov();
    EXPECT_EQ(run(KVOL_OP_READ, &rv, 1, T0 - MiB), ssize_t(MiB));
    // A failing first piece is the request's error.
    EXPECT_EQ(run(KVOL_OP_READ, &rv, 1, T0), -5);
}

TEST_F(KvolAio, BackingThatKeepsFailingIsClosedAndReopened) {
    AlignedBuf r(1 * MiB);
    struct iovec rv = r.iov();
    ASSERT_EQ(run(KVOL_OP_READ, &rv, 1, T0), ssize_t(MiB));
    int fd = kv_->mappings[1]->fd;
    ASSERT_GE(fd, 0);
    kvol_test_set_result_hook(eio_on_mapping1);
    for (int i = 0; i < 10; i++)
        ASSERT_EQ(run(KVOL_OP_READ, &rv, 1, T0), -5);
    EXPECT_EQ(kv_->mappings[1]->fd, fd); // ten in a row are tolerated
    std::string log = capture_log([&] { ASSERT_EQ(run(KVOL_OP_READ, &rv, 1, T0), -5); });
    EXPECT_NE(log.find("try to close depend device/file " + b_ + ", fd: " + std::to_string(fd) +
                       ", split->ret(errno): 5, continuous_error: 11"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("can not access device/file " + b_ + ", close it."), std::string::npos) << log;
    EXPECT_EQ(kv_->mappings[1]->fd, -1);
    EXPECT_NE(kv_->mappings[1]->ts_failed, 0u);

    kvol_test_set_result_hook(nullptr);
    log = capture_log([&] { ASSERT_EQ(run(KVOL_OP_READ, &rv, 1, T0), ssize_t(MiB)); });
    EXPECT_NE(log.find("open device/file " + b_ + ", fd: "), std::string::npos) << log;
    EXPECT_EQ(kv_->mappings[1]->ts_failed, 0u);
}

TEST_F(KvolAio, ArgumentsAreChecked) {
    AlignedBuf r(1 * MiB);
    struct iovec rv = r.iov();
    Completion c;
    const uint64_t total = T0 + 128 * MiB;
    EXPECT_EQ(kvol_aio_prep_preadv(nullptr, &rv, 1, 0, Completion::cbk, &c), -22);
    EXPECT_EQ(kvol_aio_prep_preadv(kv_, nullptr, 1, 0, Completion::cbk, &c), -22);
    EXPECT_EQ(kvol_aio_prep_preadv(kv_, &rv, 0, 0, Completion::cbk, &c), -22);
    EXPECT_EQ(kvol_aio_prep_preadv(kv_, &rv, 1, 0, nullptr, &c), -22);
    EXPECT_EQ(kvol_aio_prep_pwritev(kv_, &rv, 1, -4096, Completion::cbk, &c), -22);
    EXPECT_EQ(kvol_aio_prep_pwritev(kv_, &rv, 1, off_t(total), Completion::cbk, &c), -22);
    EXPECT_EQ(kvol_aio_prep_pwritev(kv_, &rv, 1, off_t(total - 4096), Completion::cbk, &c), -22);
    EXPECT_EQ(kvol_aio_submit(kv_, nullptr), -22); // nothing prepared
    EXPECT_FALSE(c.called);
}

TEST_F(KvolAio, RequestsWaitWhileTheQueueIsFullAndGoOnCompletion) {
    // A bound of 3 pieces for this volume.
    ASSERT_NO_FATAL_FAILURE(reopen_with_aio_max(3));

    AlignedBuf w1(2 * MiB, 1), w2(MiB, 2), w3(MiB, 3);
    struct iovec v1 = w1.iov(), v2 = w2.iov(), v3 = w3.iov();
    Completion c1, c2, c3;
    // Two pieces (over the boundary), then one: the queue is full.
    ASSERT_EQ(kvol_aio_prep_pwritev(kv_, &v1, 1, T0 - MiB, Completion::cbk, &c1), 0);
    ASSERT_EQ(kvol_aio_submit(kv_, nullptr), 0);
    ASSERT_EQ(kvol_aio_prep_pwritev(kv_, &v2, 1, 0, Completion::cbk, &c2), 0);
    int sub = -1;
    ASSERT_EQ(kvol_aio_submit(kv_, &sub), 0);
    EXPECT_EQ(sub, 1);
    EXPECT_EQ(kv_->aio_depth, 3u);
    // The next request waits, whatever the kernel has finished meanwhile:
    // room is only made by reaping completions.
    ASSERT_EQ(kvol_aio_prep_pwritev(kv_, &v3, 1, 4 * MiB, Completion::cbk, &c3), 0);
    ASSERT_EQ(kvol_aio_submit(kv_, &sub), 0);
    EXPECT_EQ(sub, 0);
    EXPECT_FALSE(kvol_list_empty(&kv_->blocking_io));
    EXPECT_FALSE(c3.called);

    ASSERT_TRUE(pump(kv_, evfd_, [&] { return c1.called && c2.called && c3.called; }));
    EXPECT_EQ(c1.result, ssize_t(2 * MiB));
    EXPECT_EQ(c2.result, ssize_t(MiB));
    EXPECT_EQ(c3.result, ssize_t(MiB));
    EXPECT_TRUE(kvol_list_empty(&kv_->blocking_io));
    EXPECT_EQ(read_at(vol_.path, DATA_START + 4 * MiB, MiB), w3.bytes());
}

// A completion function that submits the next request, as a coroutine
// resumed from its completion does.
struct Chain {
    kvol_t *kv;
    struct iovec *iov;
    int left;
    int done = 0;
    ssize_t last = 0;
    static void cbk(kvol_t *kv, ssize_t result, void *data) {
        auto *c = static_cast<Chain *>(data);
        c->done++;
        c->last = result;
        if (--c->left > 0) {
            EXPECT_EQ(kvol_aio_prep_pwritev(kv, c->iov, 1, off_t(c->left) * off_t(MiB), cbk, c), 0);
            EXPECT_EQ(kvol_aio_submit(kv, nullptr), 0);
        }
    }
};

TEST_F(KvolAio, CompletionFunctionsMaySubmitMoreRequests) {
    ASSERT_NO_FATAL_FAILURE(reopen_with_aio_max(2));
    AlignedBuf w(MiB, 7);
    struct iovec v = w.iov();
    // Two chains of five writes each keep the queue full, so some of the
    // follow-up requests pass through the blocking list.
    Chain a{kv_, &v, 5}, b{kv_, &v, 5};
    ASSERT_EQ(kvol_aio_prep_pwritev(kv_, &v, 1, 5 * MiB, Chain::cbk, &a), 0);
    ASSERT_EQ(kvol_aio_prep_pwritev(kv_, &v, 1, 5 * MiB, Chain::cbk, &b), 0);
    ASSERT_EQ(kvol_aio_submit(kv_, nullptr), 0);
    ASSERT_TRUE(pump(kv_, evfd_, [&] { return a.done == 5 && b.done == 5; }));
    EXPECT_EQ(a.last, ssize_t(MiB));
    EXPECT_EQ(b.last, ssize_t(MiB));
    for (uint64_t i = 1; i <= 5; i++)
        EXPECT_EQ(read_at(vol_.path, DATA_START + i * MiB, MiB), w.bytes()) << i;
}

TEST_F(KvolAio, SteadyStateRequestsTakeNoFreshMemory) {
    // Every round holds the same requests at once (single pieces, a request
    // spanning two mappings, a vectored one) in one batch, so after the first
    // round has filled the cache, later rounds find all their memory there.
    AlignedBuf w(2 * MiB, 9);
    struct iovec one = {w.data(), MiB};
    struct iovec two[2] = {{w.data(), MiB}, {w.data() + MiB, MiB}};
    auto round = [&] {
        Completion writes[8], span, vec;
        for (int i = 0; i < 8; i++)
            ASSERT_EQ(kvol_aio_prep_pwritev(kv_, &one, 1, off_t(i) * off_t(MiB), Completion::cbk, &writes[i]),
                      0);
        ASSERT_EQ(kvol_aio_prep_preadv(kv_, two, 2, T0 - MiB, Completion::cbk, &span), 0);
        ASSERT_EQ(kvol_aio_prep_preadv(kv_, two, 2, 8 * MiB, Completion::cbk, &vec), 0);
        ASSERT_EQ(kvol_aio_submit(kv_, nullptr), 0);
        ASSERT_TRUE(pump(kv_, evfd_, [&] {
            for (const Completion &c : writes)
                if (!c.called)
                    return false;
            return span.called && vec.called;
        }));
        for (const Completion &c : writes)
            EXPECT_EQ(c.result, ssize_t(MiB));
        EXPECT_EQ(span.result, ssize_t(2 * MiB));
        EXPECT_EQ(vec.result, ssize_t(2 * MiB));
    };
    ASSERT_NO_FATAL_FAILURE(round());
    uint64_t warm = kv_->cache.fresh;
    EXPECT_GT(warm, 0u);
    for (int i = 0; i < 20; i++)
        ASSERT_NO_FATAL_FAILURE(round());
    EXPECT_EQ(kv_->cache.fresh, warm);
}

TEST_F(KvolAio, RequestWithMorePiecesThanTheBoundIsRefused) {
    ASSERT_NO_FATAL_FAILURE(reopen_with_aio_max(1));
    AlignedBuf w(2 * MiB, 1);
    struct iovec v = w.iov();
    Completion c;
    EXPECT_EQ(kvol_aio_prep_pwritev(kv_, &v, 1, T0 - MiB, Completion::cbk, &c), -22);
    EXPECT_EQ(run(KVOL_OP_WRITE, &v, 1, T0), ssize_t(2 * MiB));
}

TEST(KvolAioDevice, DeviceErrorOnTheSecondPieceGivesTheFirstPiecesCount) {
    VolumeFile vol;
    ASSERT_EQ(vol.mkfs_ret, 0);
    std::string file = make_sparse(vol.dir.path(), "dev.img", 256 * MiB);
    LoopDevice loop(file);
    if (loop.path().empty())
        GTEST_SKIP() << kNoLoopDevice;
    kvol_t *kv = kvol_init(vol.path.c_str(), O_RDWR);
    ASSERT_NE(kv, nullptr);
    kvol_expand_entry_t e = {};
    e.length = 128 * MiB;
    e.attribute = KVOL_ATTR_ODIRECT;
    e.path = loop.path().c_str();
    ASSERT_EQ(kvol_expand(kv, &e, 1), 0);
    int evfd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    kvol_set_eventfd(kv, evfd);

    // The device refuses writes: the kernel fails the second piece.
    ASSERT_TRUE(loop.set_readonly(true));
    AlignedBuf w(2 * MiB, 6);
    struct iovec v = w.iov();
    Completion c;
    ASSERT_EQ(kvol_aio_prep_pwritev(kv, &v, 1, T0 - MiB, Completion::cbk, &c), 0);
    ASSERT_EQ(kvol_aio_submit(kv, nullptr), 0);
    ASSERT_TRUE(pump(kv, evfd, [&] { return c.called; }));
    EXPECT_EQ(c.result, ssize_t(MiB));
    Bytes all = w.bytes();
    EXPECT_EQ(read_at(vol.path, DATA_START + T0 - MiB, MiB), Bytes(all.begin(), all.begin() + MiB));
    // The synchronous variant reports the failure itself.
    EXPECT_LT(kvol_writev(kv, &v, 1, T0 - MiB), 0);
    ASSERT_TRUE(loop.set_readonly(false));
    EXPECT_EQ(kvol_writev(kv, &v, 1, T0 - MiB), ssize_t(2 * MiB));
    kvol_fini(kv);
    close(evfd);
}

TEST_F(KvolAio, RefusedSubmissionDropsOnlyRequestsWithNothingInFlight) {
    AlignedBuf w(2 * MiB, 5);
    struct iovec v = w.iov();
    ASSERT_EQ(kvol_writev(kv_, &v, 1, T0), ssize_t(2 * MiB)); // opens b
    int real_fd = kv_->mappings[1]->fd;

    // The kernel takes the piece on mapping 0 and refuses the one on
    // mapping 1: the request completes short.
    Completion c1;
    ASSERT_EQ(kvol_aio_prep_preadv(kv_, &v, 1, T0 - MiB, Completion::cbk, &c1), 0);
    kv_->mappings[1]->fd = 1 << 20; // not a descriptor
    int sub = -1;
    EXPECT_EQ(kvol_aio_submit(kv_, &sub), 0);
    EXPECT_EQ(sub, 1);
    ASSERT_TRUE(pump(kv_, evfd_, [&] { return c1.called; }));
    EXPECT_EQ(c1.result, ssize_t(MiB));

    // Nothing of this one is taken: submit fails and no completion follows.
    Completion c2;
    ASSERT_EQ(kvol_aio_prep_preadv(kv_, &v, 1, T0, Completion::cbk, &c2), 0);
    std::string log = capture_log([&] { EXPECT_EQ(kvol_aio_submit(kv_, &sub), -1); });
    EXPECT_EQ(sub, 0);
    EXPECT_NE(log.find("io_submit failed, currnet_aio_depth 0, 0 submitted, cnt 1, ret -9"),
              std::string::npos)
        << log;
    EXPECT_TRUE(kvol_list_empty(&kv_->running_io));
    EXPECT_EQ(kv_->aio_depth, 0u);
    EXPECT_FALSE(c2.called);
    kv_->mappings[1]->fd = real_fd;
    EXPECT_EQ(run(KVOL_OP_READ, &v, 1, T0), ssize_t(2 * MiB));
    EXPECT_FALSE(c2.called);
}

TEST_F(KvolAio, BackingThatCannotBeOpenedFailsTheRequestOnly) {
    // A native backing that vanished: the request fails, the process lives.
    ASSERT_EQ(unlink(b_.c_str()), 0);
    AlignedBuf r(2 * MiB);
    struct iovec rv = r.iov();
    Completion c;
    std::string log =
        capture_log([&] { EXPECT_EQ(kvol_aio_prep_preadv(kv_, &rv, 1, T0, Completion::cbk, &c), -1); });
    EXPECT_NE(log.find("open device/file " + b_ + " failed, errno 2, flags "), std::string::npos) << log;
    EXPECT_NE(log.find("open device/file " + b_ + " failed, can not access."), std::string::npos) << log;
    EXPECT_NE(kv_->mappings[1]->ts_failed, 0u);
    // Over the boundary: the part on mapping 0 is still served.
    EXPECT_EQ(run(KVOL_OP_READ, &rv, 1, T0 - MiB), ssize_t(MiB));
    EXPECT_EQ(kvol_preadv(kv_, &rv, 1, T0), -1);
}

} // namespace
