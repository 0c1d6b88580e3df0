// Zone map on real files through the libaio engine and a fault-injecting
// plug-in that forwards to it (failing chosen transfers, reporting bad
// tracks).  The layout is the standard one of a 2,000,000-block instance:
// zone map from block 1025, data from block 1058.  Pages on disk are compared
// with images laid out by hand (magic, XXH64 with seed 1011 of the map).
#include "zmap.h"

#include <errno.h>

#include <map>
#include <string>
#include <vector>

#include "ondisk_util.h"
#include "support/device.h"
#include "support/log_capture.h"
#include "support/loop.h"
#include "logger.h"

namespace {

using ondisk::MiB;
using tavtest::fault_engine;

constexpr blkno_t kZmapBlock = 1025;
constexpr uint32_t kPages = 512; // two zone-map blocks
constexpr blkno_t kMin = 1058, kMax = 1999999;

class ZmapTest : public tavtest::DeviceTest {
protected:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        open_device(2100 * MiB, tavtest::kFaultEngine);
        format_map();
    }
    void TearDown() override {
        zmap_destroy(&zmap_);
        DeviceTest::TearDown();
    }

    void format_map(uint64_t blocks = 2) {
        int ret = 1;
        co([&] { ret = zmap_blocks_format(kZmapBlock, blocks); });
        ASSERT_EQ(0, ret);
    }
    int load(uint32_t pages = kPages) {
        zmap_destroy(&zmap_);
        zmap_init(&zmap_, &kFops, kZmapBlock);
        zmap_.priv = this;
        int ret = 1;
        co([&] { ret = zmap_load(&zmap_, pages); });
        return ret;
    }

    static int limit(zmap_t *z, blkno_t *min, blkno_t *max) {
        auto *t = static_cast<ZmapTest *>(z->priv);
        *min = t->min_;
        *max = t->max_;
        return 0;
    }
    static void alloc_hook(zmap_t *z, blkno_t pblock, uint64_t count) {
        static_cast<ZmapTest *>(z->priv)->hooked_ += static_cast<int64_t>(count);
        (void)pblock;
    }
    static void free_hook(zmap_t *z, blkno_t pblock, uint64_t count) {
        static_cast<ZmapTest *>(z->priv)->hooked_ -= static_cast<int64_t>(count);
        (void)pblock;
    }
    static int version(zmap_t *z, uint64_t *v) {
        *v = static_cast<ZmapTest *>(z->priv)->version_;
        return 0;
    }
    static const tav_zmap_fops kFops;

    struct Alloc {
        int ret;
        blkno_t pblock;
        uint32_t count;
    };
    Alloc alloc(blkno_t goal, uint32_t want, uint32_t window = 0) {
        Alloc a = {1, 0, want};
        co([&] { a.ret = zmap_alloc_blocks(&zmap_, goal, window, &a.pblock, &a.count); });
        return a;
    }
    int run(std::function<int()> fn) {
        int ret = 1;
        co([&] { ret = fn(); });
        return ret;
    }
    int manual(blkno_t b, uint64_t n) {
        return run([&] { return zmap_alloc_blocks_manual(&zmap_, b, n); });
    }
    int batch(std::vector<pblock_range_t> rs) {
        pblock_ranges_t r = {rs.data(), static_cast<uint32_t>(rs.size()), static_cast<uint32_t>(rs.size())};
        return run([&] { return zmap_alloc_blocks_manual_batch(&zmap_, &r); });
    }
    uint8_t byte(blkno_t b) const { return zmap_.pages[b / 4080].bitmaps[b % 4080]; }
    uint64_t page_off(uint32_t idx) const { return (kZmapBlock * 256 + idx) * 4096; }
    std::vector<uint8_t> disk_page(uint32_t idx) const { return read_bytes(page_off(idx), 4096); }

    // Every page: counters match its bytes, the map's counter is their sum,
    // and a clean page's disk image is what the table says for its map.
    void check_consistent() {
        uint64_t total = 0;
        for (uint32_t i = 0; i < zmap_.page_count; i++) {
            const zmap_page_t &p = zmap_.pages[i];
            uint32_t blocks = 0, slices = 0;
            for (uint8_t b : p.bitmaps) {
                blocks += b != 0;
                slices += __builtin_popcount(b);
            }
            ASSERT_EQ(blocks, p.alloc_blocks) << "page " << i;
            ASSERT_EQ(slices, p.alloc_slices) << "page " << i;
            total += blocks;
            if (!p.dirty && blocks) {
                ASSERT_EQ(ondisk::expected_zmap_page(p.bitmaps), disk_page(i)) << "page " << i;
            }
        }
        ASSERT_EQ(total, zmap_.alloc_blocks);
        ASSERT_EQ(static_cast<int64_t>(total) - bad_marked_, hooked_);
    }

    zmap_t zmap_ = {};
    blkno_t min_ = kMin, max_ = kMax;
    uint64_t version_ = 2;
    int64_t hooked_ = 0;     // blocks reported by the hooks
    int64_t bad_marked_ = 0; // blocks marked at load (no hook)
};

const tav_zmap_fops ZmapTest::kFops = {limit, alloc_hook, free_hook, version};

TEST_F(ZmapTest, FormatWritesEmptyPages) {
    const auto empty = ondisk::expected_zmap_page();
    auto img = read_bytes(kZmapBlock * MiB, 2 * MiB);
    for (uint32_t i = 0; i < kPages; i++)
        ASSERT_TRUE(std::equal(empty.begin(), empty.end(), img.begin() + i * 4096)) << "page " << i;

    fault_engine().fail_writes(kZmapBlock * MiB + MiB, MiB);
    tavtest::LogCapture log;
    EXPECT_EQ(-EIO, run([] { return zmap_blocks_format(kZmapBlock, 2); }));
    EXPECT_TRUE(log.contains("co_pwritevn offset(1075838976) failed: -5")) << log.text();
}

TEST_F(ZmapTest, LoadDecodesHandBuiltPagesOfBothVersions) {
    std::vector<uint8_t> map(4080, 0);
    map[0] = 0xFF; // whole block
    map[1] = 0x03; // slices 0 and 1
    map[2] = 0x80; // slice 7
    for (int i = 100; i < 110; i++)
        map[i] = 0xFF;
    auto pg = ondisk::expected_zmap_page(map.data());
    write_bytes(page_off(1), pg.data(), pg.size());

    ASSERT_EQ(0, load());
    EXPECT_EQ(13u, zmap_.pages[1].alloc_blocks);
    EXPECT_EQ(8u + 2 + 1 + 80, zmap_.pages[1].alloc_slices);
    EXPECT_EQ(13u, zmap_blocks_allocated(&zmap_));
    const zmap_page_t *p = &zmap_.pages[1];
    EXPECT_EQ(1, zmap_page_slice_allocated(p, 4081, 1));
    EXPECT_EQ(0, zmap_page_slice_allocated(p, 4081, 2));
    EXPECT_EQ(6, zmap_page_slice_avail(p, 4081));
    EXPECT_EQ(1, zmap_page_test_pblock(p, 4082, 7));
    EXPECT_EQ(0, zmap_page_test_pblock(p, 4083, -1));
    EXPECT_EQ(1, zmap_page_test_pblock(p, 4180, -1));

    // Version 1 reads the same bytes as bits, one block each, and walks the
    // runs of set bits.
    version_ = 1;
    ASSERT_EQ(0, load());
    EXPECT_EQ(91u, zmap_.pages[1].alloc_blocks);
    std::vector<std::pair<uint32_t, uint32_t>> runs;
    int visited = zmap_page_bitmaps_traversal(
        &zmap_.pages[1],
        [](uint32_t index, uint32_t start, uint32_t len, void *priv) {
            EXPECT_EQ(1u, index);
            static_cast<std::vector<std::pair<uint32_t, uint32_t>> *>(priv)->push_back({start, len});
            return 0;
        },
        &runs);
    EXPECT_EQ(32640, visited);
    const std::vector<std::pair<uint32_t, uint32_t>> expect = {{0, 10}, {23, 1}, {800, 80}};
    EXPECT_EQ(expect, runs);
    // A negative result stops the walk and is returned.
    EXPECT_EQ(-7, zmap_page_bitmaps_traversal(
                      &zmap_.pages[1], [](uint32_t, uint32_t, uint32_t, void *) { return -7; }, nullptr));
    // Nothing allocates from or releases into a version-1 map.
    EXPECT_EQ(-EROFS, alloc(0, 1).ret);
    EXPECT_EQ(-EROFS, manual(5000, 1));
}

TEST_F(ZmapTest, IllegalOrUnreadablePagesFailTheLoad) {
    struct Case {
        const char *message;
        int expect;
        uint32_t pages;
        uint64_t corrupt;   // byte to flip (0: none)
        uint64_t fail_read; // a read overlapping this byte fails (0: none)
    };
    const Case cases[] = {
        {"zmap_page: invalid magic 0x5f706d626b6c635f", -EACCES, kPages, page_off(300) + 1, 0},
        {"zmap_page: checksum failed 0x", -EACCES, kPages, page_off(300) + 2000, 0},
        {"co_preadn offset(1075838976) failed: -5", -EIO, kPages, 0, page_off(300)},
        {"co_preadn offset(1075838976) size(180224) failed: -5", -EIO, 300, 0, page_off(280)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.message);
        format_map();
        fault_engine().reset();
        if (c.corrupt)
            flip_bits(c.corrupt, 0x01);
        if (c.fail_read)
            fault_engine().fail_reads(c.fail_read, 1);
        tavtest::LogCapture log;
        EXPECT_EQ(c.expect, load(c.pages));
        EXPECT_TRUE(log.contains(c.message)) << log.text();
        if (c.corrupt) {
            EXPECT_TRUE(
                log.contains("illegal zmap page, index: 300, phyaddr: " + std::to_string(page_off(300))));
        }
        EXPECT_EQ(nullptr, zmap_.pages);
        EXPECT_EQ(0u, zmap_.page_count);
    }
}

TEST_F(ZmapTest, UsableRangeOfA2MBlockDevice) {
    ASSERT_EQ(0, load());
    zmap_page_t *p = nullptr;
    ASSERT_EQ(0, run([&] { return zmap_page_from_index(&zmap_, 0, &p); }));
    EXPECT_EQ(1058u, p->boff_min);
    EXPECT_EQ(4079u, p->boff_max);
    EXPECT_EQ(3022u, p->capacity);
    ASSERT_EQ(0, run([&] { return zmap_page_from_index(&zmap_, 490, &p); }));
    EXPECT_EQ(0u, p->boff_min);
    EXPECT_EQ(799u, p->boff_max); // block 1,999,999
    EXPECT_TRUE(zmap_page_has_pblock(p, 1999999));
    EXPECT_FALSE(zmap_page_has_pblock(p, 2000000));
    ASSERT_EQ(0, run([&] { return zmap_page_from_index(&zmap_, 491, &p); }));
    EXPECT_EQ(0u, p->capacity); // loaded, never chosen
    EXPECT_EQ(-EINVAL, run([&] { return zmap_page_from_pblock(&zmap_, 2000000, &p); }));
    EXPECT_EQ(-EINVAL, run([&] { return zmap_page_from_pblock(&zmap_, 1057, &p); }));
    EXPECT_EQ(-EINVAL, run([&] { return zmap_page_from_index(&zmap_, kPages, &p); }));

    // A goal past the end is ignored; the last page hands out up to 799.
    Alloc a = alloc(2000500, 1);
    EXPECT_EQ(0, a.ret);
    EXPECT_EQ(1064u, a.pblock);
    a = alloc(1999998, 4);
    EXPECT_EQ(0, a.ret);
    EXPECT_EQ(1999998u, a.pblock);
    EXPECT_EQ(2u, a.count);
    check_consistent();
}

TEST_F(ZmapTest, GoalAndWindowStrategies) {
    ASSERT_EQ(0, load());
    struct Step {
        blkno_t goal;
        uint32_t want, window;
        blkno_t pblock;
        uint32_t count;
    };
    const Step steps[] = {
        {0, 3, 0, 1064, 3},    // no usable goal: first multiple of 8 at or above 1058
        {5000, 4, 0, 5000, 4}, // a free goal is taken first
        {4999, 4, 0, 4999, 1}, // goal followed by a block in use: one block
        {0, 3, 0, 1072, 3},    // next empty window
        {0, 2, 16, 1088, 2},   // window 16: 1072..1087 is not empty
        {1067, 2, 0, 1067, 2}, // goal right after an allocation
        {1069, 8, 0, 1069, 3}, // stops at 1072, which is in use
        {4079, 3, 0, 4079, 1}, // a goal never crosses the page end
    };
    uint64_t by_goal = 0, by_window = 0;
    for (const Step &s : steps) {
        SCOPED_TRACE(testing::Message() << "goal " << s.goal << " want " << s.want);
        Alloc a = alloc(s.goal, s.want, s.window);
        ASSERT_EQ(0, a.ret);
        EXPECT_EQ(s.pblock, a.pblock);
        EXPECT_EQ(s.count, a.count);
        for (blkno_t b = a.pblock; b < a.pblock + a.count; b++)
            EXPECT_EQ(0xFF, byte(b));
        (s.goal == s.pblock ? by_goal : by_window) += s.count;
    }
    EXPECT_EQ(by_goal, zmap_.status.alloc_by_goal);
    EXPECT_EQ(by_window, zmap_.status.alloc_by_window);
    check_consistent(); // every allocation was written before returning
}

TEST_F(ZmapTest, WindowFallsBackToSingleBlocksFromTheRangeStart) {
    ASSERT_EQ(0, load());
    // One block in use in every window of 8 of page 0.
    std::vector<pblock_range_t> rs;
    for (blkno_t b = 1064; b < 4080; b += 8)
        rs.push_back({b, 1});
    ASSERT_EQ(0, batch(rs));
    Alloc a = alloc(0, 2);
    ASSERT_EQ(0, a.ret);
    EXPECT_EQ(1058u, a.pblock);
    EXPECT_EQ(2u, a.count);
    a = alloc(0, 20);
    ASSERT_EQ(0, a.ret);
    EXPECT_EQ(1060u, a.pblock); // 1060..1063, then 1064 is in use
    EXPECT_EQ(4u, a.count);
    check_consistent();
}

TEST_F(ZmapTest, PageChoice) {
    ASSERT_EQ(0, load());
    // Page 3 full: a goal there moves to the first page from the goal's page
    // on with enough free blocks (page 4), not to page 0.
    ASSERT_EQ(0, manual(3 * 4080, 4080));
    Alloc a = alloc(3 * 4080 + 17, 5);
    ASSERT_EQ(0, a.ret);
    EXPECT_EQ(4u * 4080, a.pblock);
    EXPECT_EQ(5u, a.count);
    check_consistent();

    // A small range fills up: then no space, and *count is 0.
    min_ = 1058;
    max_ = 1065;
    zmap_destroy(&zmap_);
    format_map();
    hooked_ = 0;
    ASSERT_EQ(0, load());
    a = alloc(0, 8);
    ASSERT_EQ(0, a.ret);
    EXPECT_EQ(1064u, a.pblock); // the window at 1064, clipped to the range end
    EXPECT_EQ(2u, a.count);
    a = alloc(0, 8);
    ASSERT_EQ(0, a.ret);
    EXPECT_EQ(1058u, a.pblock); // no empty window left: single blocks from 1058
    EXPECT_EQ(6u, a.count);
    a = alloc(1060, 1);
    EXPECT_EQ(-ENOSPC, a.ret);
    EXPECT_EQ(0u, a.count);
    check_consistent();
}

TEST_F(ZmapTest, SetWindow) {
    const std::pair<uint32_t, uint32_t> cases[] = {{13, 8}, {5000, 8}, {100, 96},    {0, 8},
                                                   {7, 8},  {8, 8},    {4080, 4080}, {4081, 8}};
    for (auto [in, out] : cases) {
        zmap_set_window(&zmap_, in);
        EXPECT_EQ(out, zmap_.window) << in;
    }
}

TEST_F(ZmapTest, ManualAllocation) {
    ASSERT_EQ(0, load());
    {
        tavtest::LogCapture log;
        EXPECT_EQ(-EINVAL, manual(1050, 10));
        EXPECT_TRUE(log.contains("target pblocks(1050-1059) is beyond range, bmin: 1058, bmax: 1999999"));
        EXPECT_EQ(-EINVAL, manual(1999999, 2));
        EXPECT_EQ(-EINVAL, manual(5000, 0));
    }
    // Across a page boundary: both pages written.
    ASSERT_EQ(0, manual(4075, 10));
    for (blkno_t b = 4075; b < 4085; b++)
        EXPECT_EQ(0xFF, byte(b));
    check_consistent();

    // Partly in use: refused, nothing changes.
    {
        tavtest::LogCapture log;
        EXPECT_EQ(-EFAULT, manual(4084, 3));
        EXPECT_TRUE(log.contains("some blocks in [4-6] of zmap page 1 are already allocated"));
        EXPECT_EQ(0, byte(4085));
    }
    // A failure on a later page rolls back the earlier pages.
    ASSERT_EQ(0, manual(9000, 1));
    auto before = disk_page(1);
    EXPECT_EQ(-EFAULT, manual(8150, 900));
    for (blkno_t b = 8150; b < 8160; b++)
        EXPECT_EQ(0, byte(b)) << b;
    EXPECT_EQ(before, disk_page(1));
    check_consistent();

    // With a bad track in the part, blocks in use are accepted and only the
    // newly used ones are counted.
    fault_engine().add_badtrack(9002 * MiB, MiB);
    uint64_t used = zmap_blocks_allocated(&zmap_);
    ASSERT_EQ(0, manual(8999, 5));
    EXPECT_EQ(used + 4, zmap_blocks_allocated(&zmap_));
    check_consistent();
}

TEST_F(ZmapTest, BatchManualAllocationWritesEachPageOnce) {
    ASSERT_EQ(0, load());
    {
        tavtest::LogCapture log;
        EXPECT_EQ(0, batch({}));
        EXPECT_TRUE(log.contains("ranges is empty"));
        EXPECT_EQ(-EINVAL, batch({{5000, 2}, {1999999, 2}}));
        EXPECT_EQ(0, byte(5000)); // checked before anything changes
    }
    fault_engine().transfers.clear();
    ASSERT_EQ(0, batch({{2000, 5}, {2003, 4}, {4079, 2}, {3000, 1}}));
    EXPECT_EQ(2u, fault_engine().writes().size());
    EXPECT_EQ(7u + 2 + 1, zmap_blocks_allocated(&zmap_));
    check_consistent();

    // A failed write is returned; memory keeps the allocation and the page
    // stays dirty, so the next flush writes it.
    fault_engine().fail_writes(page_off(5), 4096, 1);
    EXPECT_EQ(-EIO, batch({{5 * 4080 + 1, 3}}));
    EXPECT_EQ(0xFF, byte(5 * 4080 + 2));
    EXPECT_EQ(1, zmap_.pages[5].dirty);
    EXPECT_EQ(1, run([&] { return zmap_flush(&zmap_, 0); }));
    check_consistent();
}

TEST_F(ZmapTest, FreeBlocksKeepsBadTracks) {
    ASSERT_EQ(0, load());
    ASSERT_EQ(0, manual(2000, 10));
    fault_engine().add_badtrack(2004 * MiB, MiB);
    {
        tavtest::LogCapture log;
        ASSERT_EQ(0, run([&] { return zmap_free_blocks(&zmap_, 2000, 10); }));
        EXPECT_TRUE(log.contains("skip badtrack block, page index: 0, pblk: 2004"));
    }
    for (blkno_t b = 2000; b < 2010; b++)
        EXPECT_EQ(b == 2004 ? 0xFF : 0, byte(b)) << b;
    EXPECT_EQ(1u, zmap_blocks_allocated(&zmap_));
    check_consistent();

    // Releasing a free block is refused rather than skewing the counters.
    tavtest::LogCapture log;
    EXPECT_EQ(-EINVAL, run([&] { return zmap_free_blocks(&zmap_, 2003, 2); }));
    EXPECT_TRUE(log.contains("pblk 2003 is not in use"));
    check_consistent();

    // A range from a damaged block map, outside what the map describes, is
    // refused and frees nothing.
    const uint8_t before = byte(100);
    EXPECT_EQ(-EINVAL, run([&] { return zmap_free_blocks(&zmap_, 100, 1); }));
    EXPECT_EQ(-EINVAL, run([&] { return zmap_free_blocks(&zmap_, uint64_t(zmap_.page_count) * 4080, 2); }));
    EXPECT_TRUE(log.contains("free blocks [100-100]: outside ["));
    EXPECT_EQ(before, byte(100));
    check_consistent();
}

TEST_F(ZmapTest, SlicesAndBatchRelease) {
    ASSERT_EQ(0, load());
    Alloc a = alloc(6000, 2);
    ASSERT_EQ(2u, a.count);
    const blkno_t blk = a.pblock;
    zmap_page_t *p = nullptr;
    int s = -1;
    ASSERT_EQ(0, run([&] {
                  int ret = zmap_page_from_pblock(&zmap_, blk, &p);
                  if (ret)
                      return ret;
                  zmap_page_slice_init(p, blk);
                  EXPECT_EQ(0, zmap_page_alloc_slice(p, blk, 3, &s));
                  EXPECT_EQ(3, s);
                  EXPECT_EQ(0, zmap_page_alloc_slice(p, blk, 3, &s)); // taken: lowest free
                  EXPECT_EQ(0, s);
                  EXPECT_EQ(0, zmap_page_alloc_slice(p, blk, 7, &s));
                  return zmap_page_put(p);
              }));
    EXPECT_EQ(0x89, byte(blk));
    EXPECT_EQ(2u, zmap_blocks_allocated(&zmap_));
    check_consistent();

    // Fill the block: the ninth slice has no room.
    ASSERT_EQ(0, run([&] {
                  EXPECT_EQ(0, zmap_page_from_pblock(&zmap_, blk, &p));
                  for (int i = 0; i < 5; i++)
                      EXPECT_EQ(0, zmap_page_alloc_slice(p, blk, -1, &s));
                  EXPECT_EQ(-ENOSPC, zmap_page_alloc_slice(p, blk, -1, &s));
                  return zmap_page_put(p);
              }));
    EXPECT_EQ(0xFF, byte(blk));

    // Batch release: the block's eight slices (given unsorted, one repeated),
    // the second block whole, and a block outside the range that is skipped.
    std::vector<pslice_t> items = {{blk, 5}, {blk + 1, -1}, {blk, 0}, {blk, 1}, {blk, 2}, {blk, 3},
                                   {blk, 4}, {blk, 6},      {blk, 7}, {blk, 7}, {100, -1}};
    tavtest::LogCapture log;
    int freed = run(
        [&] { return zmap_batch_free_blocks(&zmap_, items.data(), static_cast<uint32_t>(items.size())); });
    EXPECT_EQ(2, freed); // the last slice freed the first block
    EXPECT_TRUE(log.contains("tofree count: 11"));
    EXPECT_TRUE(log.contains("slices released: 16, blocks released: 2"));
    EXPECT_TRUE(log.contains("repeated release of pblk"));
    EXPECT_TRUE(log.contains("get zmap page from pblock(100) failed"));
    EXPECT_EQ(0, byte(blk));
    EXPECT_EQ(0, byte(blk + 1));
    EXPECT_EQ(0u, zmap_blocks_allocated(&zmap_));
    check_consistent();
}

TEST_F(ZmapTest, BadTracksAreMarkedAtLoadAndNeverHandedOut) {
    for (blkno_t b : {1000, 1500, 2050, 2099, 2100, 3000000})
        fault_engine().add_badtrack(b * MiB, MiB);
    tavtest::LogCapture log;
    ASSERT_EQ(0, load());
    // Blocks up to 1057 and beyond the device (2100 MiB) are not asked about.
    EXPECT_EQ(0, byte(1000));
    EXPECT_EQ(0xFF, byte(1500));
    EXPECT_EQ(0xFF, byte(2050));
    EXPECT_EQ(0xFF, byte(2099));
    EXPECT_EQ(0, byte(2100));
    EXPECT_EQ(3u, zmap_blocks_allocated(&zmap_));
    bad_marked_ = 3;

    // A bad track that appears later: neither the goal nor a window start is
    // taken there.
    fault_engine().add_badtrack(1064 * MiB, MiB);
    fault_engine().add_badtrack(1075 * MiB, MiB);
    Alloc a = alloc(1064, 1);
    ASSERT_EQ(0, a.ret);
    EXPECT_EQ(1072u, a.pblock); // window 1064 starts on a bad block
    EXPECT_EQ(1u, a.count);
    a = alloc(1073, 4);
    EXPECT_EQ(1073u, a.pblock);
    EXPECT_EQ(2u, a.count); // stops before 1075
    EXPECT_EQ(-EACCES, zmap_page_test_pblock(&zmap_.pages[0], 1064, -1));
    check_consistent();
}

TEST_F(ZmapTest, MarkBadTrack) {
    ASSERT_EQ(0, load());
    ASSERT_EQ(0, manual(3001, 1));
    zmap_page_t *p = nullptr;
    ASSERT_EQ(0, run([&] {
                  EXPECT_EQ(0, zmap_page_from_pblock(&zmap_, 3001, &p));
                  zmap_page_slice_init(p, 3001);
                  int s;
                  EXPECT_EQ(0, zmap_page_alloc_slice(p, 3001, 2, &s));
                  return zmap_page_put(p);
              }));
    tavtest::LogCapture log;
    ASSERT_EQ(0, run([&] { return zmap_mark_badtrack(&zmap_, 3000, 3, 0); }));
    EXPECT_TRUE(log.contains("pblk:3000, cnt:3, clear:0"));
    EXPECT_TRUE(log.contains("alloc pblk:3000"));
    EXPECT_TRUE(log.contains("alloc 7 slices in pblk:3001"));
    EXPECT_TRUE(log.contains("alloc pblk:3002"));
    for (blkno_t b = 3000; b < 3003; b++)
        EXPECT_EQ(0xFF, byte(b));
    ASSERT_EQ(1u, fault_engine().marked.size());
    EXPECT_EQ(3000 * MiB, fault_engine().marked[0].first);
    EXPECT_EQ(3 * MiB, fault_engine().marked[0].second);
    check_consistent();

    // Clearing only touches the device's record.
    ASSERT_EQ(0, run([&] { return zmap_mark_badtrack(&zmap_, 3000, 3, 1); }));
    ASSERT_EQ(1u, fault_engine().cleared.size());
    EXPECT_EQ(0xFF, byte(3000));
}

TEST_F(ZmapTest, ForcedFlushReportsWriteFailuresAndKeepsMemory) {
    ASSERT_EQ(0, load());
    ASSERT_EQ(0, batch({{1200, 4}}));
    fault_engine().fail_writes(page_off(0), 4096, 1);
    tavtest::LogCapture log;
    EXPECT_EQ(-EIO, run([&] { return zmap_flush(&zmap_, 1); }));
    EXPECT_TRUE(log.contains("zmap page 0 set failed, exit"));
    EXPECT_EQ(1, zmap_.pages[0].dirty);
    EXPECT_EQ(0xFF, byte(1201)); // not re-read from the older disk image
    Alloc a = alloc(1201, 1);    // and not handed out again
    EXPECT_NE(1201u, a.pblock);
    EXPECT_EQ(static_cast<int>(kPages), run([&] { return zmap_flush(&zmap_, 1); }));
    check_consistent();
}

TEST_F(ZmapTest, StateSurvivesReload) {
    ASSERT_EQ(0, load());
    ASSERT_EQ(0, alloc(0, 5).ret);
    ASSERT_EQ(0, manual(40000, 7000));
    ASSERT_EQ(0, run([&] { return zmap_free_blocks(&zmap_, 41000, 10); }));
    std::vector<uint8_t> maps;
    for (uint32_t i = 0; i < kPages; i++)
        maps.insert(maps.end(), zmap_.pages[i].bitmaps, zmap_.pages[i].bitmaps + 4080);
    const uint64_t used = zmap_blocks_allocated(&zmap_);
    EXPECT_EQ(5u + 7000 - 10, used);

    hooked_ = 0;
    ASSERT_EQ(0, load());
    EXPECT_EQ(used, zmap_blocks_allocated(&zmap_));
    for (uint32_t i = 0; i < kPages; i++)
        ASSERT_TRUE(
            std::equal(maps.begin() + i * 4080, maps.begin() + (i + 1) * 4080, zmap_.pages[i].bitmaps))
            << "page " << i;
}

/* A zone-map write that fails where nobody can be told ends the process with
 * the write's status, before memory and disk can disagree any further. */
TEST_F(ZmapTest, UnreportableWriteFailuresAreFatal) {
    ASSERT_EQ(0, load());
    ASSERT_EQ(0, manual(7000, 2));
    const int status = static_cast<uint8_t>(-EIO);
    struct Case {
        const char *name;
        std::function<void()> act;
        const char *message;
    };
    const Case cases[] = {
        {"alloc", [this] { alloc(0, 1); }, "write zmap page 0 failed: -5"},
        {"free", [this] { run([this] { return zmap_free_blocks(&zmap_, 7000, 1); }); },
         "write zmap page 1 failed: -5"},
        {"manual", [this] { manual(5000, 1); }, "write zmap page 1 failed: -5"},
        {"flush",
         [this] {
             zmap_.pages[3].dirty = 1;
             run([this] { return zmap_flush(&zmap_, 0); });
         },
         "zmap page flush fail, index = 3, exit"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EXIT(
            {
                logger_set_target(LOG_TARGET_STDERR, nullptr);
                fault_engine().fail_writes(page_off(0), 4 * 4096);
                c.act();
            },
            testing::ExitedWithCode(status), c.message);
    }
}

} // namespace
