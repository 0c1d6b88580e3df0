// Bad tracks: test with and without an output array, mark and clear with the
// mapping states and available VA that follow, write-through and rollback.
#include <fcntl.h>
#include <string.h>

#include <gtest/gtest.h>

#include "kvol_test_util.h"
#include "kvol_volume.h"

using namespace kvoltest;

namespace {

constexpr uint64_t T0 = 2 * GiB - DATA_START;

class KvolBadtrack : public OpenVolumeTest {
protected:
    uint64_t avail() {
        kvol_stat_t st;
        EXPECT_EQ(kvol_stat(kv_, &st), 0);
        return st.va_avail;
    }
    uint32_t state(int j) { return kv_->mappings[j]->state; }
};

TEST_F(KvolBadtrack, TestFindsRunsWithAndWithoutAnArray) {
    // Three separate runs: granule 2, granules 5-6, granule 9.
    ASSERT_EQ(kvol_mark_badtrack(kv_, 2 * GRAN, GRAN), 0);
    ASSERT_EQ(kvol_mark_badtrack(kv_, 5 * GRAN, 2 * GRAN), 0);
    ASSERT_EQ(kvol_mark_badtrack(kv_, 9 * GRAN, GRAN), 0);

    EXPECT_EQ(kvol_test_badtrack(kv_, 0, 12 * GRAN, nullptr, 0), 1);
    EXPECT_EQ(kvol_test_badtrack(kv_, 10 * GRAN, 4 * GRAN, nullptr, 0), 0);
    kvol_range_t r[4] = {};
    EXPECT_EQ(kvol_test_badtrack(kv_, 0, 12 * GRAN, r, 0), 1); // maxcnt 0: the yes/no form

    EXPECT_EQ(kvol_test_badtrack(kv_, 0, 12 * GRAN, r, 2), 2);
    EXPECT_EQ(r[0].start, 2 * GRAN);
    EXPECT_EQ(r[0].length, GRAN);
    EXPECT_EQ(r[1].start, 5 * GRAN);
    EXPECT_EQ(r[1].length, 2 * GRAN);

    EXPECT_EQ(kvol_test_badtrack(kv_, 0, 12 * GRAN, r, 4), 3);
    EXPECT_EQ(r[2].start, 9 * GRAN);
    EXPECT_EQ(r[2].length, GRAN);

    // A run still open at the end of the range is closed there, and one that
    // began before the range starts at the range.
    EXPECT_EQ(kvol_test_badtrack(kv_, 6 * GRAN, 4 * GRAN, r, 4), 2);
    EXPECT_EQ(r[0].start, 6 * GRAN);
    EXPECT_EQ(r[0].length, GRAN);
    EXPECT_EQ(r[1].start, 9 * GRAN);
    EXPECT_EQ(r[1].length, GRAN);

    // An unaligned range sees every granule it touches: [20 MiB, 36 MiB)
    // reaches into granule 2.
    EXPECT_EQ(kvol_test_badtrack(kv_, 20 * MiB, 16 * MiB, nullptr, 0), 1);
    EXPECT_EQ(kvol_test_badtrack(kv_, 20 * MiB, 16 * MiB, r, 4), 1);
    EXPECT_EQ(r[0].start, 2 * GRAN);

    // Outside the VA.
    EXPECT_EQ(kvol_test_badtrack(kv_, T0, GRAN, nullptr, 0), -22);
    EXPECT_EQ(kvol_test_badtrack(kv_, T0 - GRAN, 2 * GRAN, nullptr, 0), -22);
    EXPECT_EQ(kvol_test_badtrack(kv_, 0, 0, nullptr, 0), -22);
}

TEST_F(KvolBadtrack, MarkingARangeThatIsAlreadyBadWritesNothing) {
    ASSERT_EQ(kvol_mark_badtrack(kv_, 3 * GRAN, 2 * GRAN), 0);
    Bytes before = read_at(vol_.path, 0, 0x802000); // superblock, bitmap, entry 0
    std::string log = capture_log([&] { EXPECT_EQ(kvol_mark_badtrack(kv_, 3 * GRAN, 2 * GRAN), 0); });
    EXPECT_EQ(log.find("kvol mark badtrack success"), std::string::npos) << log;
    EXPECT_EQ(read_at(vol_.path, 0, 0x802000), before);
    EXPECT_EQ(avail(), T0 - 2 * GRAN);
}

TEST_F(KvolBadtrack, ArgumentsAreChecked) {
    std::string log = capture_log([&] {
        EXPECT_EQ(kvol_mark_badtrack(kv_, GRAN + 4096, GRAN), -22);
        EXPECT_EQ(kvol_mark_badtrack(kv_, GRAN, GRAN / 2), -22);
        EXPECT_EQ(kvol_mark_badtrack(kv_, T0, GRAN), -22);
        EXPECT_EQ(kvol_clear_badtrack(kv_, GRAN + 4096, GRAN), -22);
        EXPECT_EQ(kvol_clear_badtrack(kv_, T0 - GRAN, 2 * GRAN), -22);
        EXPECT_EQ(kvol_mark_badtrack(nullptr, 0, GRAN), -22);
    });
    EXPECT_EQ(avail(), T0);
    EXPECT_EQ(kvol_stat(kv_, nullptr), -22);
}

// Mapping 1: a 64 MiB backing file of 4 granules after mapping 0.
TEST_F(KvolBadtrack, WholeMappingBadIsUnavailableAndClosedClearingOneMakesItBadtrack) {
    std::string b = make_sparse(vol_.dir.path(), "b.img", 64 * MiB);
    kvol_expand_entry_t e = {};
    e.length = 64 * MiB;
    e.attribute = KVOL_ATTR_IFREG | KVOL_ATTR_ODIRECT;
    e.path = b.c_str();
    ASSERT_EQ(kvol_expand(kv_, &e, 1), 0);
    AlignedBuf buf(1 * MiB, 1);
    struct iovec v = buf.iov();
    ASSERT_EQ(kvol_writev(kv_, &v, 1, T0), ssize_t(1 * MiB)); // opens b
    ASSERT_GE(kv_->mappings[1]->fd, 0);
    const uint64_t total = T0 + 64 * MiB;

    ASSERT_EQ(kvol_mark_badtrack(kv_, T0, 2 * GRAN), 0);
    EXPECT_EQ(state(1), uint32_t(KVOL_ST_BADTRACK));
    EXPECT_GE(kv_->mappings[1]->fd, 0);
    std::string log = capture_log([&] { ASSERT_EQ(kvol_mark_badtrack(kv_, T0 + 2 * GRAN, 2 * GRAN), 0); });
    EXPECT_EQ(state(1), uint32_t(KVOL_ST_UNAVAILABLE));
    EXPECT_EQ(kv_->mappings[1]->fd, -1);
    EXPECT_NE(log.find("change mapping KVOL_ST_UNAVAILABLE index=1,va_offset=" + std::to_string(T0)),
              std::string::npos)
        << log;
    EXPECT_EQ(avail(), total - 64 * MiB);
    EXPECT_EQ(state(0), uint32_t(KVOL_ST_OK));
    EXPECT_LT(kvol_writev(kv_, &v, 1, T0), 0);

    ASSERT_EQ(kvol_clear_badtrack(kv_, T0 + GRAN, GRAN), 0);
    EXPECT_EQ(state(1), uint32_t(KVOL_ST_BADTRACK));
    EXPECT_EQ(avail(), total - 48 * MiB);
    ASSERT_EQ(kvol_clear_badtrack(kv_, T0, 64 * MiB), 0);
    EXPECT_EQ(state(1), uint32_t(KVOL_ST_OK));
    EXPECT_EQ(avail(), total);

    // States and the available length were written through.
    ASSERT_EQ(kvol_mark_badtrack(kv_, T0 + GRAN, GRAN), 0);
    kvol_fini(kv_);
    kv_ = kvol_init(vol_.path.c_str(), O_RDONLY);
    ASSERT_NE(kv_, nullptr);
    EXPECT_EQ(state(1), uint32_t(KVOL_ST_BADTRACK));
    EXPECT_EQ(avail(), total - GRAN);
}

TEST_F(KvolBadtrack, MappingZeroUnavailableKeepsTheVolumeDescriptor) {
    // Mapping 0 lives on the volume device: making it unavailable must not
    // close the descriptor that holds the lock and carries metadata writes.
    ASSERT_EQ(kvol_mark_badtrack(kv_, 0, T0), 0);
    EXPECT_EQ(state(0), uint32_t(KVOL_ST_UNAVAILABLE));
    EXPECT_EQ(avail(), 0u);
    ASSERT_EQ(kvol_clear_badtrack(kv_, 0, GRAN), 0);
    EXPECT_EQ(state(0), uint32_t(KVOL_ST_BADTRACK));
    EXPECT_EQ(kvol_init(vol_.path.c_str(), O_RDWR), nullptr); // still locked

    AlignedBuf w(1 * MiB, 4), r(1 * MiB);
    struct iovec wv = w.iov(), rv = r.iov();
    ASSERT_EQ(kvol_writev(kv_, &wv, 1, 0), ssize_t(1 * MiB));
    ASSERT_EQ(kvol_preadv(kv_, &rv, 1, 0), ssize_t(1 * MiB));
    EXPECT_EQ(r.bytes(), w.bytes());
    EXPECT_EQ(read_at(vol_.path, DATA_START, 1 * MiB), w.bytes());
    kvol_fini(kv_);
    kv_ = kvol_init(vol_.path.c_str(), O_RDONLY);
    ASSERT_NE(kv_, nullptr);
    EXPECT_EQ(avail(), GRAN);
}

TEST(KvolBadtrackDevice, FailedBitmapWriteLeavesTheMarkToBeRetried) {
    LoopVolume vol;
    if (vol.loop.path().empty())
        GTEST_SKIP() << kNoLoopDevice;
    ASSERT_EQ(vol.mkfs_ret, 0);
    LoopDevice &loop = vol.loop;
    kvol_t *kv = kvol_init(loop.path().c_str(), O_RDWR);
    ASSERT_NE(kv, nullptr);

    ASSERT_TRUE(loop.set_readonly(true));
    std::string log = capture_log([&] { EXPECT_EQ(kvol_mark_badtrack(kv, 4 * GRAN, GRAN), -1); });
    EXPECT_NE(log.find("kvol_sync_btbmp failed, kvol_writen error"), std::string::npos) << log;
    EXPECT_EQ(kvol_test_badtrack(kv, 4 * GRAN, GRAN, nullptr, 0), 0);
    ASSERT_TRUE(loop.set_readonly(false));

    // The retry finds the granule still good and records it.
    ASSERT_EQ(kvol_mark_badtrack(kv, 4 * GRAN, GRAN), 0);
    kvol_fini(kv);
    kv = kvol_init(loop.path().c_str(), O_RDONLY);
    ASSERT_NE(kv, nullptr);
    EXPECT_EQ(kvol_test_badtrack(kv, 4 * GRAN, GRAN, nullptr, 0), 1);
    kvol_stat_t st;
    ASSERT_EQ(kvol_stat(kv, &st), 0);
    EXPECT_EQ(st.va_avail, st.va_total - GRAN);
    kvol_fini(kv);
}

} // namespace
