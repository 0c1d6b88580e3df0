// The "kvol" engine over a real volume on a sparse file: transfers through the
// volume's asynchronous requests and the caller's loop, device size and bad
// tracks from the volume, a lent handle left open at close.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string.h>

#include "ioengine.h"
#include "kvol.h"
#include "kvol_test_util.h"
#include "support/log_capture.h"
#include "support/loop.h"
#include "support/tmpdir.h"
#include "memory.h"

namespace {

constexpr uint64_t kGran = 16ULL << 20;

class KvolEngine : public ::testing::Test {
protected:
    void SetUp() override {
        tav_iobuf_pool_init();
        path_ = dir_.path() + "/vol";
        tavtest::make_file(path_, 2ULL << 30);
        kvol_mkfs_param_t p = {0, 0, path_.c_str()};
        ASSERT_EQ(0, kvol_mkfs(&p));
    }
    void TearDown() override {
        if (e_)
            ioengine_fini(e_);
    }
    tavtest::TempDir dir_;
    std::string path_;
    ioengine *e_ = nullptr;
};

TEST_F(KvolEngine, IsTheDefaultBackendAndMovesData) {
    const ioengine_plugin *first = ioengine_plugin_find("kvol");
    ASSERT_NE(nullptr, first);
    e_ = ioengine_init(tavtest::driver(), "kvol", path_.c_str(), O_RDWR | O_DIRECT);
    ASSERT_NE(nullptr, e_);
    EXPECT_STREQ("kvol", ioengine_actived_backend(e_));
    EXPECT_TRUE(ioengine_get_blksz(e_) == 512 || ioengine_get_blksz(e_) == 4096);

    void *w = nullptr, *r = nullptr;
    ASSERT_EQ(0, posix_memalign(&w, 4096, 1 << 20));
    ASSERT_EQ(0, posix_memalign(&r, 4096, 1 << 20));
    for (size_t i = 0; i < (1 << 20); i++)
        (static_cast<unsigned char *>(w))[i] = static_cast<unsigned char>(i * 7 + 3);
    int wr = 1, rd = 1;
    char small[100];
    ssize_t unaligned = -1;
    tavtest::run_coroutine([&] {
        wr = ioengine_co_pwriten(e_, w, 1 << 20, 5 * kGran);
        rd = ioengine_co_preadn(e_, r, 1 << 20, 5 * kGran);
        unaligned = ioengine_co_pread(e_, small, sizeof(small), 5 * kGran + 10);
    });
    EXPECT_EQ(0, wr);
    EXPECT_EQ(0, rd);
    EXPECT_EQ(0, memcmp(w, r, 1 << 20));
    EXPECT_EQ(100, unaligned);
    EXPECT_EQ(0, memcmp((char *)w + 10, small, sizeof(small)));
    free(w);
    free(r);
}

TEST_F(KvolEngine, SizeAndBadTracksComeFromTheVolume) {
    e_ = ioengine_init(tavtest::driver(), "kvol", path_.c_str(), O_RDWR);
    ASSERT_NE(nullptr, e_);
    ioengine_statdev st;
    ASSERT_EQ(0, ioengine_statdev_get(e_, &st));
    EXPECT_GT(st.phy_length, 0u);
    EXPECT_EQ(st.phy_length, st.phy_avail_length);

    EXPECT_EQ(0, ioengine_test_badtrack(e_, kGran, kGran, nullptr, 0));
    ASSERT_EQ(0, ioengine_mark_badtrack(e_, 2 * kGran, kGran));
    EXPECT_EQ(1, ioengine_test_badtrack(e_, kGran, 2 * kGran, nullptr, 0));
    ioengine_range ranges[4];
    ASSERT_EQ(1, ioengine_test_badtrack(e_, 0, 8 * kGran, ranges, 4));
    EXPECT_EQ(2 * kGran, ranges[0].start);
    EXPECT_EQ(kGran, ranges[0].length);
    ASSERT_EQ(0, ioengine_statdev_get(e_, &st));
    EXPECT_EQ(st.phy_length - kGran, st.phy_avail_length) << "bad space is not available";
    ASSERT_EQ(0, ioengine_clear_badtrack(e_, 2 * kGran, kGran));
    EXPECT_EQ(0, ioengine_test_badtrack(e_, 0, 8 * kGran, nullptr, 0));
}

TEST_F(KvolEngine, LentHandleStaysOpenAfterClose) {
    kvol_t *vol = kvol_init(path_.c_str(), O_RDWR);
    ASSERT_NE(nullptr, vol);
    ev_driver lending = *tavtest::driver();
    lending.priv = vol;
    e_ = ioengine_init(&lending, "kvol", "ignored-path", O_RDWR);
    ASSERT_NE(nullptr, e_);
    ioengine_fini(e_);
    e_ = nullptr;
    kvol_stat_t st;
    EXPECT_EQ(0, kvol_stat(vol, &st)) << "the lender's handle must still work";
    kvol_fini(vol);
}

// Rewrites the block size recorded in both superblock copies (a volume made
// on a device whose st_blksize was `blksz`).
void set_volume_blksz(const std::string &path, uint32_t blksz) {
    for (uint64_t slot : {kvoltest::sb_slot(0), kvoltest::sb_slot(1)}) {
        kvoltest::Bytes rec = kvoltest::read_at(path, slot, 512);
        kvoltest::put32(rec, 120, blksz);
        kvoltest::put32(rec, 0, kvoltest::ref_crc32(rec.data() + 4, 508));
        kvoltest::write_at(path, slot, rec);
    }
}

TEST_F(KvolEngine, VolumeBlockSizeDecidesTheOpen) {
    set_volume_blksz(path_, 8192);
    EXPECT_EQ(nullptr, ioengine_init(tavtest::driver(), "kvol", path_.c_str(), O_RDWR | O_DIRECT))
        << "only 512 and 4096 are served";

    // A 512-byte volume: transfers that are 512-aligned but not 4096-aligned
    // reach the volume only as whole 4096-byte units, which its in-place
    // direct I/O needs.
    set_volume_blksz(path_, 512);
    e_ = ioengine_init(tavtest::driver(), "kvol", path_.c_str(), O_RDWR | O_DIRECT);
    ASSERT_NE(nullptr, e_);
    kvoltest::AlignedBuf page(4096, 3), sector(4096, 9), back(4096);
    int wr = 1, wr512 = 1, rd = 1;
    tavtest::run_coroutine([&] {
        wr = ioengine_co_pwriten(e_, page.data(), 4096, 5 * kGran);
        wr512 = ioengine_co_pwriten(e_, sector.data(), 512, 5 * kGran + 1024);
        rd = ioengine_co_preadn(e_, back.data(), 4096, 5 * kGran);
    });
    EXPECT_EQ(0, wr);
    EXPECT_EQ(0, wr512);
    EXPECT_EQ(0, rd);
    kvoltest::Bytes want = page.bytes();
    std::copy(sector.data(), sector.data() + 512, want.begin() + 1024);
    EXPECT_EQ(want, back.bytes());
}

TEST_F(KvolEngine, UnalignedTransferWithoutDirectIoIsRefused) {
    // Without O_DIRECT the engine layer does not bounce; the volume cannot
    // take such a request, and it must fail instead of ending the process.
    e_ = ioengine_init(tavtest::driver(), "kvol", path_.c_str(), O_RDWR);
    ASSERT_NE(nullptr, e_);
    kvoltest::AlignedBuf buf(8192, 5);
    ssize_t short_len = 0, odd_base = 0, whole = 0;
    tavtest::run_coroutine([&] {
        short_len = ioengine_co_pread(e_, buf.data(), 100, 5 * kGran);
        odd_base = ioengine_co_pwrite(e_, buf.data() + 512, 4096, 5 * kGran);
        whole = ioengine_co_pwrite(e_, buf.data(), 8192, 5 * kGran);
    });
    EXPECT_EQ(-EINVAL, short_len);
    EXPECT_EQ(-EINVAL, odd_base);
    EXPECT_EQ(8192, whole);
}

// The cause of a failed volume open reaches the caller and the library's log.
TEST_F(KvolEngine, FailedVolumeOpenReportsItsCause) {
    tavtest::LogCapture log;
    std::string none = dir_.path() + "/none";
    EXPECT_EQ(-ENOENT, ioengine_default_init(tavtest::driver(), "kvol", none.c_str(), O_RDWR));
    EXPECT_EQ(nullptr, ioengine_get_default());
    EXPECT_TRUE(log.contains("kvol init failed, path: " + none + ": -2(No such file or directory)"));

    // A volume whose superblock is impossible: an I/O error.
    std::string junk = dir_.path() + "/junk.img";
    tavtest::make_file(junk, 2LL << 30);
    EXPECT_EQ(-EIO, ioengine_default_init(tavtest::driver(), "kvol", junk.c_str(), O_RDWR));
    EXPECT_TRUE(log.contains("kvol init failed, path: " + junk + ": -5(Input/output error)"));
}

} // namespace
