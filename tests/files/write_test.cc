// The write path through the API on a real instance under the fault engine:
// inline data and its transform, padding only into unwritten pages, writes
// crossing segments and failing half-way, the size limits, the inode update
// rules, what overwrites and concurrent first writes cost, the allocation-
// and copy-free steady state, and the end-of-file retry.
#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <memory>

#include "data_support.h"
#include "data.h"
#include "ioengine.h"
#include "memory.h"

namespace datatest {
namespace {

using tavtest::CbkResult;
using tavtest::common_cbk;
using tavtest::fault_engine;

Bytes pattern(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; i++)
        b[i] = static_cast<uint8_t>(seed + i * 7 + i / 4096);
    return b;
}

class WriteTest : public EngineDataTest {
protected:
    WriteTest() { faulty_ = true; }
};

TEST_P(WriteTest, RoundTripsAcrossSegmentsKindsAndARestart) {
    struct Case {
        uint64_t off;
        size_t len;
    } cases[] = {
        {0, 100},                    // inline
        {1000, 2000},                // turns the file into an extent file
        {5, 10},                     // inside a written page
        {MiB - 100, 300},            // crosses a block (and slices)
        {3 * MiB + 4096, 128 * KiB}, // aligned, one slice
        {127 * MiB + 7, 2 * MiB},    // crosses extent pages of every map type
    };
    const size_t size = 127 * MiB + 7 + 2 * MiB;
    for (Kind k : {Kind::Plain, Kind::Compressible}) {
        SCOPED_TRACE(kind_name(k));
        tav_fd *f = create(k == Kind::Plain ? 1 : 2, k);
        Bytes model;
        for (const Case &c : cases) {
            Bytes data = pattern(c.len, static_cast<uint8_t>(c.off));
            ASSERT_EQ((int64_t)c.len, pwrite(f, data.data(), c.len, c.off)) << c.off;
            if (model.size() < c.off + c.len)
                model.resize(c.off + c.len, 0);
            std::copy(data.begin(), data.end(), model.begin() + static_cast<long>(c.off));
        }
        EXPECT_EQ(model, read_all(f, 0, size));
    }
    restart();
    EXPECT_EQ(read_all(fd(1), 0, size), read_all(fd(2), 0, size));
    check_references();
}

TEST_P(WriteTest, InlineFileStaysInlineUntilAWriteGoesBeyond2048) {
    tav_fd *f = create(1);
    tav_disk_inode *d = &f->inode->ondisk;
    Bytes a = pattern(100, 1);
    ASSERT_EQ(100, pwrite(f, a.data(), 100, 0));
    EXPECT_TRUE(d->i_type & TAV_FILE_TYPE_INLINE);
    EXPECT_TRUE(d->i_type & TAV_FILE_TYPE_INLINE_DATA);
    EXPECT_EQ(0u, d->i_extents[0]);
    Bytes edge = pattern(48, 2);
    ASSERT_EQ(48, pwrite(f, edge.data(), 48, 2000)) << "ends exactly at 2048";
    EXPECT_TRUE(d->i_type & TAV_FILE_TYPE_INLINE);
    // Survives a restart from the inode page alone.
    restart();
    f = fd(1);
    d = &f->inode->ondisk;
    EXPECT_EQ(a, read_all(f, 0, 100));
    EXPECT_EQ(2048u, d->i_size);

    Bytes b = pattern(100, 3);
    ASSERT_EQ(100, pwrite(f, b.data(), 100, 2000));
    EXPECT_FALSE(d->i_type & (TAV_FILE_TYPE_INLINE | TAV_FILE_TYPE_INLINE_DATA));
    EXPECT_NE(0u, d->i_extents[0]);
    EXPECT_EQ(nullptr, f->inode->inline_buffer);
    Bytes want(2100, 0);
    std::copy(a.begin(), a.end(), want.begin());
    std::copy(b.begin(), b.end(), want.begin() + 2000);
    EXPECT_EQ(want, read_all(f, 0, 2100)) << "first 100 bytes kept, 100..1999 zeros";
    restart();
    EXPECT_EQ(want, read_all(fd(1), 0, 2100));
    check_references();
}

// Padding reaches only pages that hold no data: around a written page the
// device bytes are the file's, and the engine merges the partial sector
// (512 bytes on a file, 4096 on a volume).
TEST_P(WriteTest, PaddingOnlyIntoUnwrittenPages) {
    const uint64_t sector = ioengine_get_blksz(ioengine_get_default());
    auto down = [&](uint64_t v) { return v / sector * sector; };
    auto up = [&](uint64_t v) { return (v + sector - 1) / sector * sector; };
    struct Case {
        const char *what;
        uint64_t pre_off, pre_len; // written first (0 length: nothing)
        uint64_t off, len;
        uint64_t device_bytes; // bytes the data write puts on the device
        bool bounced;          // the engine had to merge a partial sector
    } cases[] = {
        {"10 bytes at 5, page unwritten", 0, 0, 5, 10, 4096, true},
        {"10 bytes at 5, page written", 0, 4096, 5, 10, up(15) - down(5), true},
        // The written head page is merged by the engine from the sector
        // holding byte 4000, the unwritten tail page is padded to 8192.
        {"head page written, tail page not", 0, 4096, 4000, 200, 8192 - down(4000), true},
        {"aligned page", 0, 0, 8192, 4096, 4096, false},
        {"aligned, crossing pages", 4096, 4096, 4096, 12288, 12288, false},
    };
    unsigned char tag = 1;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        tav_fd *f = create(tag++);
        // Make it an extent file with its first block mapped far from page 0.
        Buf big(4096, 0x11);
        ASSERT_EQ(4096, pwrite(f, big.data(), 4096, 3 * MiB));
        if (c.pre_len) {
            Buf pre(c.pre_len, 0x22);
            ASSERT_EQ((int64_t)c.pre_len, pwrite(f, pre.data(), c.pre_len, c.pre_off));
        }
        Buf data(c.len, 0x33);
        uint64_t b0 = bounces();
        size_t mark = io_mark();
        ASSERT_EQ((int64_t)c.len, pwrite(f, data.data(), c.len, c.off));
        Io io = io_since(mark);
        EXPECT_EQ(c.bounced, bounces() > b0);
        EXPECT_EQ(c.device_bytes, io.data_write_bytes);
        // Whatever was padded reads as zeros, the rest as written.
        Bytes want(16384, 0);
        if (c.pre_len)
            std::fill(want.begin() + static_cast<long>(c.pre_off),
                      want.begin() + static_cast<long>(c.pre_off + c.pre_len), 0x22);
        std::fill(want.begin() + static_cast<long>(c.off), want.begin() + static_cast<long>(c.off + c.len),
                  0x33);
        EXPECT_EQ(want, read_all(f, 0, 16384));
    }
}

// A write crossing a block boundary is two segment writes; when the second
// fails the request reports the bytes of the first.
TEST_P(WriteTest, CrossingWriteFailingHalfWayReportsTheFirstPart) {
    for (Kind k : {Kind::Plain, Kind::Compressible}) {
        SCOPED_TRACE(kind_name(k));
        tav_fd *f = create(k == Kind::Plain ? 1 : 2, k);
        const uint64_t seg = k == Kind::Plain ? MiB : 128 * KiB;
        ASSERT_EQ(0, fallocate(f, TAV_FALLOC_DEFAULT, 0, 2 * seg));
        int64_t second = paddr(f, seg);
        ASSERT_GT(second, 0);
        fault_engine().fail_writes(static_cast<uint64_t>(second), seg, 1);
        Buf data(8192, 0x5a);
        EXPECT_EQ(4096, pwrite(f, data.data(), 8192, seg - 4096));
        fault_engine().faults.clear();
        Bytes got = read_all(f, seg - 4096, 8192);
        EXPECT_EQ(Bytes(4096, 0x5a), Bytes(got.begin(), got.begin() + 4096));
        EXPECT_EQ(Bytes(4096, 0), Bytes(got.begin() + 4096, got.end())) << "the failed part reads as zeros";
        // A failure of the first segment fails the request.
        int64_t first = paddr(f, 0);
        fault_engine().fail_writes(static_cast<uint64_t>(first), seg, 1);
        EXPECT_EQ(-EIO, pwrite(f, data.data(), 8192, seg - 4096));
        fault_engine().faults.clear();
    }
}

TEST_P(WriteTest, SizeLimits) {
    constexpr uint64_t kMax = TAV_MAX_FILE_SIZE;
    tav_fd *plain = create(1);
    tav_fd *comp = create(2, Kind::Compressible);
    struct Case {
        const char *what;
        tav_fd *f;
        uint64_t off;
        size_t len;
        int64_t expect;
    } cases[] = {
        {"ends at 256 GiB", plain, kMax - 4096, 4096, 4096},
        {"one byte beyond", plain, kMax - 4096, 4097, -EFBIG},
        {"starts at 256 GiB", plain, kMax, 1, -EFBIG},
        {"compressible ends at 128 GiB", comp, TAV_COMPRESSIBLE_MAX - 4096, 4096, 4096},
        {"compressible beyond 128 GiB", comp, TAV_COMPRESSIBLE_MAX, 4096, -EFBIG},
    };
    for (const Case &c : cases) {
        Buf data(c.len, 0x7e);
        EXPECT_EQ(c.expect, pwrite(c.f, data.data(), c.len, c.off)) << c.what;
    }
    EXPECT_EQ(kMax, plain->inode->ondisk.i_size);
    EXPECT_EQ(Bytes(4096, 0x7e), read_all(plain, kMax - 4096, 4096));
    EXPECT_NE(0u, plain->inode->ondisk.i_extents[15]);
    EXPECT_EQ(0u, plain->inode->ondisk.i_extents[1]) << "only the extent blocks that are needed";
    EXPECT_TRUE(log_contains("is too large"));
}

// The first write through each handle and every growing write put the inode
// on the device before the request completes; other writes only mark it.
TEST_P(WriteTest, InodeIsWrittenOnFirstWritePerHandleAndOnGrowth) {
    tav_fd *f = create(1);
    Buf b(4096, 1);
    ASSERT_EQ(4096, pwrite(f, b.data(), 4096, 8192)); // transform and growth
    quiet_timers();
    struct Step {
        const char *what;
        bool new_handle;
        uint64_t off;
        bool inode_written;
    } steps[] = {
        {"overwrite, second write of the handle", false, 8192, false},
        {"overwrite inside the file", false, 0, false},
        {"growth", false, 12288, true},
        {"first write through a new handle", true, 0, true},
        {"second write through it", false, 4096, false},
    };
    for (const Step &s : steps) {
        if (s.new_handle) {
            close(1);
            f = open(1);
            ASSERT_NE(nullptr, f);
        }
        size_t mark = io_mark();
        ASSERT_EQ(4096, pwrite(f, b.data(), 4096, s.off)) << s.what;
        Io io = io_since(mark);
        EXPECT_EQ(s.inode_written ? 1 : 0, io.inode_writes) << s.what;
        EXPECT_EQ(!s.inode_written, f->inode->dirty_flag != 0) << s.what;
    }
}

// Counters, not times.
TEST_P(WriteTest, OverwriteOfWrittenPagesCostsOneDeviceWritePerSegment) {
    for (Kind k : {Kind::Plain, Kind::Compressible}) {
        SCOPED_TRACE(kind_name(k));
        tav_fd *f = create(k == Kind::Plain ? 1 : 2, k);
        Buf b(3 * MiB, 0x42);
        ASSERT_EQ((int64_t)b.size(), pwrite(f, b.data(), b.size(), 0));
        quiet_timers();
        size_t mark = io_mark();
        // 2 MiB from 512 KiB: three blocks, or sixteen slices.
        ASSERT_EQ((int64_t)(2 * MiB), pwrite(f, b.data(), 2 * MiB, 512 * KiB));
        Io io = io_since(mark);
        EXPECT_EQ(k == Kind::Plain ? 3 : 16, io.data_writes);
        EXPECT_EQ(0, io.inode_writes + io.zmap_writes + io.extent_writes + io.extent_reads);
        EXPECT_EQ(0, io.data_reads);
    }
}

// Concurrent first writes into one extent page share its writes: exactly
// one page write per batch pass, and far fewer passes than requests.
TEST_P(WriteTest, ConcurrentFirstWritesShareExtentPageWrites) {
    for (Kind k : {Kind::Plain, Kind::Compressible}) {
        SCOPED_TRACE(kind_name(k));
        tav_fd *f = create(k == Kind::Plain ? 1 : 2, k);
        const uint64_t seg = k == Kind::Plain ? MiB : 128 * KiB;
        Buf one(4096, 1);
        ASSERT_EQ(4096, pwrite(f, one.data(), 4096, 64 * MiB)); // extent block in place
        quiet_timers();
        // Pinned, so that its runner (and the pass count) stays the same
        // record throughout.
        ext_page_t *page = nullptr;
        co([&] { page = ext_page_get(&f->inode->extent_cache, 0); });
        ASSERT_NE(nullptr, page);
        constexpr int kN = 16;
        std::vector<std::unique_ptr<Buf>> bufs;
        std::vector<CbkResult> res(kN);
        std::vector<struct iovec> iov(kN);
        const uint64_t passes = page->runner.passes;
        size_t mark = io_mark();
        for (int i = 0; i < kN; i++) {
            bufs.push_back(std::make_unique<Buf>(4096, static_cast<uint8_t>(i + 1)));
            iov[i] = {bufs.back()->data(), 4096};
            ASSERT_EQ(
                0, tav_pwritev_async(f, &iov[i], 1, (off_t)(i * seg), nullptr, nullptr, common_cbk, &res[i]));
        }
        ASSERT_TRUE(tavtest::run_until([&] {
            return std::all_of(res.begin(), res.end(), [](const CbkResult &r) { return r.called; });
        }));
        for (auto &r : res)
            EXPECT_EQ(4096, r.ret);
        Io io = io_since(mark);
        const int ran = static_cast<int>(page->runner.passes - passes);
        co([&] { ext_page_put(page); });
        EXPECT_EQ(ran, io.extent_writes) << "one extent-page write per batch pass";
        // Each request needs an allocation and a bit update: unbatched,
        // 2 x kN passes.  Every block or slice queued when a pass starts is
        // allocated in it, and the bit updates of one completion pass share
        // a pass, so far fewer passes serve every request.
        int bound = k == Kind::Plain ? kN + 2 : kN / 4;
        EXPECT_LE(ran, bound) << "batch passes for " << kN << " first writes";
        EXPECT_GE(ran, 1);
        for (int i = 0; i < kN; i++)
            EXPECT_EQ(Bytes(4096, (uint8_t)(i + 1)), read_all(f, i * seg, 4096)) << i;
    }
}

// A steady stream of aligned reads and overwrites allocates nothing and
// copies nothing.
TEST_P(WriteTest, SteadyAlignedStreamAllocatesNothingAndCopiesNothing) {
    tav_acct_toggle(1);
    tav_fd *f = create(1);
    Buf data(64 * KiB, 0x3c), back(64 * KiB, 0);
    ASSERT_EQ(0, fallocate(f, TAV_FALLOC_DEFAULT, 0, 4 * MiB));
    for (uint64_t off = 0; off < 4 * MiB; off += data.size())
        ASSERT_EQ((int64_t)data.size(), pwrite(f, data.data(), data.size(), off));
    quiet_timers();
    auto allocs = [] {
        uint64_t n = 0;
        tav_mem_info_foreach(
            [](const tav_mem_info *m, void *p) {
                *static_cast<uint64_t *>(p) += m->total_alloc_count;
                return 0;
            },
            &n);
        return n;
    };
    // Warm up the stub cache and the coroutine pool.
    for (int i = 0; i < 8; i++) {
        ASSERT_EQ((int64_t)data.size(), pwrite(f, data.data(), data.size(), (uint64_t)i * data.size()));
        ASSERT_EQ((int64_t)back.size(), pread(f, back.data(), back.size(), (uint64_t)i * back.size()));
    }
    uint64_t a0 = allocs(), b0 = bounces();
    for (int i = 0; i < 200; i++) {
        uint64_t off = static_cast<uint64_t>(i * 37 % 64) * data.size();
        ASSERT_EQ((int64_t)data.size(), pwrite(f, data.data(), data.size(), off));
        ASSERT_EQ((int64_t)back.size(), pread(f, back.data(), back.size(), off));
    }
    EXPECT_EQ(a0, allocs()) << "allocations in the steady state";
    EXPECT_EQ(b0, bounces()) << "bounced (copied) requests in the steady state";
    EXPECT_EQ(data.bytes(), back.bytes());
}

// A failed write ending unaligned exactly at end of file is retried once as
// a padded write; any other failed write stays failed.
TEST_P(WriteTest, FailedUnalignedWriteAtEndOfFileIsRetriedPadded) {
    tav_fd *f = create(1);
    Buf b(8192, 0x61);
    ASSERT_EQ(8192, pwrite(f, b.data(), 8192, 0));
    ASSERT_EQ(0, ftruncate(f, 4096 + 1000));
    int64_t pba = paddr(f, 0);
    ASSERT_GT(pba, 0);
    // Fails the write of the unaligned tail once; the padded retry goes
    // through whole.
    fault_engine().fail_writes(static_cast<uint64_t>(pba) + 4096, 1000, 1);
    Buf tail(1000, 0x62);
    EXPECT_EQ(1000, pwrite(f, tail.data(), 1000, 4096));
    EXPECT_TRUE(log_contains("Failed to write non aligned block at the end of the file"));
    EXPECT_EQ(Bytes(1000, 0x62), read_all(f, 4096, 1000));
    // Not at end of file: no retry.
    fault_engine().fail_writes(static_cast<uint64_t>(pba), 100, 1);
    EXPECT_EQ(-EIO, pwrite(f, tail.data(), 100, 0));
    fault_engine().faults.clear();
}

TAV_DATA_ENGINES(WriteTest);

} // namespace
} // namespace datatest
