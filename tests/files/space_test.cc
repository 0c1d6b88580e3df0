// Space operations through the API under the fault engine: truncate (grow,
// shrink, BD files), discard (whole and partial blocks, end of file, legacy
// files), fallocate in every mode (with the cached mode and the enlarged
// pages of a whole-file allocation), zero-fill in both modes, fiemap.
#include <errno.h>
#include <gtest/gtest.h>
#include <linux/fiemap.h>
#include <string.h>

#include "data.h"
#include "data_support.h"
#include "ioengine.h"
#include "zmap.h"

namespace datatest {
namespace {

using tavtest::fault_engine;

class SpaceTest : public EngineDataTest {
protected:
    SpaceTest() {
        faulty_ = true;
        blocks_ = 400;
    }
    uint64_t zmap_used() { return zmap_blocks_allocated(&inst_->zmap); }
    uint64_t free_blocks() {
        const tav_sb_ondisk *s = &inst_->sb.tav_disk_sb;
        return s->s_blocks_count - s->s_first_data_block - zmap_used();
    }
    // Writes `len` bytes of `v` at `off` and expects them all written.
    void put(tav_fd *f, uint64_t off, size_t len, uint8_t v) {
        Buf b(len, v);
        ASSERT_EQ((int64_t)len, pwrite(f, b.data(), len, off)) << off;
    }
    Bytes filled(size_t len, uint8_t v) { return Bytes(len, v); }
};

TEST_P(SpaceTest, TruncateShrinkAndGrow) {
    // 5000 -> 100 on an extent file: page 1 is discarded, [100, 4096) zeroed,
    // so growing again shows zeros.
    tav_fd *f = create(1);
    put(f, 0, 5000, 0x11);
    ASSERT_EQ(0, ftruncate(f, 100));
    EXPECT_EQ(100u, f->inode->ondisk.i_size);
    std::vector<bool> bits = this->bits(f, 0);
    EXPECT_TRUE(bits[0]);
    EXPECT_FALSE(bits[1]) << "[4096, 8192) discarded";
    ASSERT_EQ(0, ftruncate(f, 5000));
    Bytes want(5000, 0);
    std::fill(want.begin(), want.begin() + 100, 0x11);
    EXPECT_EQ(want, read_all(f, 0, 5000));

    // A BD file never shrinks, and the call succeeds.
    tav_fd *bd = create(2, Kind::Bd);
    put(bd, 0, 8192, 0x22);
    struct stat pre = {}, post = {};
    ASSERT_EQ(0, ftruncate(bd, 100, &pre, &post));
    EXPECT_EQ(8192, post.st_size);
    EXPECT_EQ(filled(8192, 0x22), read_all(bd, 0, 8192));
    EXPECT_TRUE(log_contains("length(100) is smaller than filesize(8192)"));

    // An inline file: the tail of the inline data is zeroed.
    tav_fd *in = create(3);
    put(in, 0, 2000, 0x33);
    ASSERT_EQ(0, ftruncate(in, 10));
    ASSERT_EQ(0, ftruncate(in, 2000));
    Bytes w2(2000, 0);
    std::fill(w2.begin(), w2.begin() + 10, 0x33);
    EXPECT_EQ(w2, read_all(in, 0, 2000));

    // Shrinking to 0 returns every block and notifies the host's count.
    tav_fd *big = create(4);
    put(big, 0, 3 * MiB, 0x44);
    uint64_t used = zmap_used();
    ASSERT_EQ(0, ftruncate(big, 0));
    EXPECT_EQ(used - 3, zmap_used());
    EXPECT_EQ(0u, big->inode->ondisk.i_blocks);
    EXPECT_EQ(0u, big->inode->ondisk.i_size);
    restart();
    EXPECT_EQ(0u, fd(4)->inode->ondisk.i_size);
    EXPECT_EQ(want, read_all(fd(1), 0, 5000));
    check_references();
}

TEST_P(SpaceTest, DiscardReleasesWholeBlocksAndZeroesPartialPages) {
    struct Case {
        const char *what;
        uint64_t size;                                      // written from 0
        std::vector<std::pair<uint64_t, uint64_t>> written; // ranges written (on top of nothing)
        uint64_t off, len;
        int released; // blocks returned to the zone map
    } cases[] = {
        {"whole file of three blocks", 3 * MiB, {{0, 3 * MiB}}, 0, 3 * MiB, 3},
        {"partial first block, page 0 written", MiB, {{0, MiB}}, 4096, MiB - 4096, 0},
        {"partial first block, only the discarded pages written",
         MiB,
         {{4096, MiB - 4096}},
         4096,
         MiB - 4096,
         1},
        {"page beyond a partial last page", 5000, {{0, 5000}}, 4096, 4096, 0},
        {"beyond the end of file", MiB, {{0, MiB}}, 2 * MiB, MiB, 0},
        {"crossing the end of file", 2 * MiB + 100, {{0, 2 * MiB + 100}}, MiB, 4 * MiB, 1},
    };
    unsigned char tag = 1;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        tav_fd *f = create(tag++);
        Bytes model(c.size, 0);
        for (auto [o, l] : c.written) {
            put(f, o, l, 0x5d);
            std::fill(model.begin() + static_cast<long>(o), model.begin() + static_cast<long>(o + l), 0x5d);
        }
        if (f->inode->ondisk.i_size < c.size) {
            ASSERT_EQ(0, ftruncate(f, c.size));
        }
        uint64_t used = zmap_used();
        ASSERT_EQ(0, discard(f, c.off, c.len));
        EXPECT_EQ(used - (uint64_t)c.released, zmap_used());
        for (uint64_t b = c.off; b < std::min(c.off + c.len, c.size); b++)
            model[b] = 0;
        EXPECT_EQ(model, read_all(f, 0, c.size));
        EXPECT_EQ(c.size, f->inode->ondisk.i_size) << "discard keeps the size";
    }
    restart();
    check_references();
}

TEST_P(SpaceTest, DiscardOfSlicesAndOfInlineAndLegacyFiles) {
    tav_fd *c = create(1, Kind::Compressible);
    put(c, 0, MiB, 0x61);
    uint64_t used = zmap_used();
    // Slices 1..6 go, slices 0 and 7 stay: the block stays allocated.
    ASSERT_EQ(0, discard(c, 128 * KiB, 6 * 128 * KiB));
    EXPECT_EQ(used, zmap_used());
    EXPECT_LT(paddr(c, 128 * KiB), 0);
    EXPECT_GT(paddr(c, 0), 0);
    // The last two: the block becomes free.
    ASSERT_EQ(0, discard(c, 0, MiB));
    EXPECT_EQ(used - 1, zmap_used());
    EXPECT_EQ(Bytes(MiB, 0), read_all(c, 0, MiB));

    tav_fd *in = create(2);
    put(in, 0, 1000, 0x62);
    ASSERT_EQ(0, discard(in, 0, 4096));
    EXPECT_EQ(Bytes(1000, 0), read_all(in, 0, 1000));
    EXPECT_FALSE(in->inode->ondisk.i_type & TAV_FILE_TYPE_INLINE_DATA);

    tav_fd *legacy = create(3);
    put(legacy, 0, 2 * MiB, 0x63);
    legacy->inode->ondisk.i_type |= TAV_FILE_TYPE_LEGACY;
    used = zmap_used();
    ASSERT_EQ(0, discard(legacy, 0, MiB));
    EXPECT_EQ(used, zmap_used()) << "a legacy file keeps its blocks";
    EXPECT_EQ(Bytes(MiB, 0), read_all(legacy, 0, MiB)) << "zeros written instead";
    EXPECT_TRUE(log_contains("discard for legacy file, do zerofill instead"));
}

TEST_P(SpaceTest, FallocateModes) {
    // DEFAULT: mapped, reads zeros, the size grows, st_blocks before/after.
    tav_fd *f = create(1);
    struct stat pre = {}, post = {};
    ASSERT_EQ(0, fallocate(f, TAV_FALLOC_DEFAULT, 0, 3 * MiB, &pre, &post));
    EXPECT_EQ(3u * MiB, f->inode->ondisk.i_size);
    EXPECT_EQ(3u, f->inode->ondisk.i_blocks);
    EXPECT_EQ(3 * 2048, post.st_blocks - pre.st_blocks);
    EXPECT_GT(paddr(f, 2 * MiB), 0);
    EXPECT_EQ(Bytes(3 * MiB, 0), read_all(f, 0, 3 * MiB));

    // HARD marks the whole 4 KiB pages inside the range written, nothing
    // else: [1000, 9000) marks page 1 only.
    tav_fd *h = create(2);
    ASSERT_EQ(0, fallocate(h, TAV_FALLOC_HARD, 1000, 8000));
    std::vector<bool> bits = this->bits(h, 0);
    EXPECT_FALSE(bits[0]);
    EXPECT_TRUE(bits[1]);
    EXPECT_FALSE(bits[2]);
    // ... and that page reads what the device holds.
    int64_t pba = paddr(h, 4096);
    raw_write(static_cast<uint64_t>(pba), Bytes(4096, 0xd0));
    EXPECT_EQ(Bytes(4096, 0xd0), read_all(h, 4096, 4096));
    EXPECT_EQ(Bytes(4096, 0), read_all(h, 0, 4096));

    // An unknown mode is refused.
    EXPECT_EQ(-EINVAL, fallocate(f, 7, 0, 4096));

    // TEST passes when the coarse count fits and changes nothing.
    tav_fd *t = create(3);
    uint64_t used = zmap_used();
    ASSERT_EQ(0, fallocate(t, TAV_FALLOC_TEST, 0, 4 * MiB));
    EXPECT_EQ(used, zmap_used());
    EXPECT_EQ(0u, t->inode->ondisk.i_size);
    // Larger than the free space: the exact count looks only at what is not
    // mapped yet.
    uint64_t free = free_blocks();
    EXPECT_EQ(-ENOSPC, fallocate(t, TAV_FALLOC_TEST, 0, (free + 1) * MiB));
    ASSERT_EQ(0, fallocate(f, TAV_FALLOC_DEFAULT, 0, (free - 2) * MiB)); // mostly mapped now
    EXPECT_EQ(0, fallocate(f, TAV_FALLOC_TEST, 0, (free + 1) * MiB));
    EXPECT_EQ(-ENOSPC, fallocate(f, TAV_FALLOC_TEST, 0, (free + 8) * MiB));
    // A real allocation beyond the free space fails and keeps what it got.
    EXPECT_EQ(-ENOSPC, fallocate(f, TAV_FALLOC_DEFAULT, 0, (free + 8) * MiB));
    EXPECT_EQ(0u, free_blocks());
    restart();
    check_references();
}

// Cached fallocate defers the extent pages until the next flush; every
// operation that frees or writes flushes them first.
TEST_P(SpaceTest, CachedFallocateDefersMetadataUntilSync) {
    for (Kind k : {Kind::Plain, Kind::Compressible}) {
        SCOPED_TRACE(kind_name(k));
        tav_fd *f = create(k == Kind::Plain ? 1 : 2, k);
        put(f, 0, 4096, 1); // extent file
        size_t mark = io_mark();
        ASSERT_EQ(0, fallocate(f, TAV_FALLOC_HARD_CACHED, 0, 4 * MiB));
        EXPECT_EQ(0, io_since(mark).extent_writes);
        EXPECT_TRUE(f->inode->cacheing);
        EXPECT_TRUE(bits(f, 1)[0]) << "pages marked written in memory";
        mark = io_mark();
        ASSERT_EQ(0, fsync(f));
        EXPECT_GE(io_since(mark).extent_writes, 1);
        EXPECT_FALSE(f->inode->cacheing);
        // A write while cacheing flushes first.
        ASSERT_EQ(0, fallocate(f, TAV_FALLOC_HARD_CACHED, 4 * MiB, MiB));
        mark = io_mark();
        put(f, 4 * MiB, 4096, 2);
        EXPECT_GE(io_since(mark).extent_writes, 1);
        EXPECT_TRUE(f->inode->cacheing) << "flushed, but only a sync ends the cached state";
    }
    restart();
    check_references();
    EXPECT_TRUE(bits(fd(1), 1)[0]);
}

// The first whole-file allocation of a compressible file uses extent pages
// as large as the file needs (at most 64 KiB), and their maps read back
// through the ordinary 8 KiB pages.
TEST_P(SpaceTest, WholeFileFallocateOfACompressibleFileUsesEnlargedPages) {
    tav_fd *f = create(1, Kind::Compressible);
    put(f, 0, 4096, 7);
    ASSERT_EQ(0, ftruncate(f, 100 * MiB)); // more than one 8 KiB page maps (64 MiB)
    co([&] { ext_cache_cleanup(&f->inode->extent_cache); });
    size_t mark = io_mark();
    ASSERT_EQ(0, fallocate(f, TAV_FALLOC_DEFAULT, 0, 100 * MiB));
    Io io = io_since(mark);
    EXPECT_EQ(1, io.extent_writes) << "one enlarged page of 16 KiB";
    EXPECT_TRUE(ext_cache_is_empty(&f->inode->extent_cache));
    EXPECT_EQ(100u, f->inode->ondisk.i_blocks);
    EXPECT_EQ(800u, f->inode->ondisk.i_slices);
    EXPECT_EQ(Bytes(4096, 7), read_all(f, 0, 4096)) << "written data kept";
    EXPECT_GT(paddr(f, 99 * MiB + 5), 0);
    EXPECT_EQ(Bytes(MiB, 0), read_all(f, 99 * MiB, MiB));
    restart();
    check_references();
}

TEST_P(SpaceTest, ZerofillModes) {
    tav_fd *f = create(1);
    put(f, 0, 5 * 4096, 0x70);
    struct Case {
        const char *what;
        int mode;
        uint64_t off, len;
        uint64_t device_zero_bytes; // zeros written to the device
        std::vector<int> cleared;   // pages whose bit the zero-fill clears
    } cases[] = {
        {"inside one written page", TAV_ZEROFILL_DEFAULT, 100, 100, 100, {}},
        {"whole pages", TAV_ZEROFILL_DEFAULT, 4096, 8192, 0, {1, 2}},
        {"partial head and tail", TAV_ZEROFILL_DEFAULT, 3 * 4096 + 10, 4096 + 100, 4086 + 110, {}},
        {"hard", TAV_ZEROFILL_HARD, 100, 4096, 4096, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        put(f, 0, 5 * 4096, 0x70);
        std::vector<bool> before = bits(f, 0);
        size_t mark = io_mark();
        ASSERT_EQ(0, zerofill(f, c.mode, c.off, c.len));
        Io io = io_since(mark);
        if (c.device_zero_bytes == 0) {
            EXPECT_EQ(0, io.data_writes);
        } else {
            EXPECT_GE(io.data_write_bytes, c.device_zero_bytes);
            EXPECT_LT(io.data_write_bytes, c.device_zero_bytes + 2 * 4096);
        }
        std::vector<bool> after = bits(f, 0);
        for (int p = 0; p < 5; p++) {
            bool cleared = std::find(c.cleared.begin(), c.cleared.end(), p) != c.cleared.end();
            EXPECT_EQ(before[(size_t)p] && !cleared, (bool)after[(size_t)p]) << "page " << p;
        }
        Bytes want(5 * 4096, 0x70);
        std::fill(want.begin() + static_cast<long>(c.off), want.begin() + static_cast<long>(c.off + c.len),
                  0);
        EXPECT_EQ(want, read_all(f, 0, want.size()));
    }
    // Beyond the end of file nothing happens; across it the range is cut.
    EXPECT_EQ(0, zerofill(f, TAV_ZEROFILL_DEFAULT, 1 << 30, 4096));
    EXPECT_EQ(0, zerofill(f, TAV_ZEROFILL_DEFAULT, 4 * 4096, MiB));
    EXPECT_EQ(5u * 4096, f->inode->ondisk.i_size);
    EXPECT_EQ(-EINVAL, zerofill(f, 3, 0, 4096)) << "an unknown mode is not taken for either";
    // Inline files: zeros into the inline buffer.
    tav_fd *in = create(2);
    put(in, 0, 1500, 0x71);
    ASSERT_EQ(0, zerofill(in, TAV_ZEROFILL_HARD, 1000, 4096));
    Bytes w(1500, 0x71);
    std::fill(w.begin() + 1000, w.end(), 0);
    EXPECT_EQ(w, read_all(in, 0, 1500));
}

TEST_P(SpaceTest, Fiemap) {
    tav_fd *f = create(1);
    put(f, 0, 2 * MiB, 1);                                        // blocks 0, 1
    ASSERT_EQ(0, fallocate(f, TAV_FALLOC_DEFAULT, 3 * MiB, MiB)); // block 3, unwritten
    put(f, 5 * MiB + 10, 10, 2);                                  // block 5
    const uint64_t size = f->inode->ondisk.i_size;

    // Without room for records only the count comes back.
    Fiemap count(0);
    ASSERT_EQ(0, fiemap(f, count.fm()));
    EXPECT_EQ(3u, count.fm()->fm_mapped_extents);

    Fiemap all(8);
    ASSERT_EQ(0, fiemap(f, all.fm()));
    ASSERT_EQ(3u, all.fm()->fm_mapped_extents);
    const struct fiemap_extent *e = all.fm()->fm_extents;
    EXPECT_EQ(0u, e[0].fe_logical);
    EXPECT_EQ(2 * MiB, e[0].fe_length);
    EXPECT_EQ(3 * MiB, e[1].fe_logical);
    EXPECT_EQ(MiB, e[1].fe_length);
    EXPECT_EQ(5 * MiB, e[2].fe_logical);
    EXPECT_EQ(MiB, e[2].fe_length) << "clipped to i_size raised to 1 MiB";
    EXPECT_EQ((uint32_t)FIEMAP_EXTENT_MERGED, e[0].fe_flags);
    EXPECT_EQ((uint32_t)(FIEMAP_EXTENT_MERGED | FIEMAP_EXTENT_LAST), e[2].fe_flags);
    EXPECT_EQ(4u, f->inode->ondisk.i_blocks) << "an open-ended walk from 0 counts the blocks";
    (void)size;

    // Too small an array.
    Fiemap two(2);
    EXPECT_EQ(-ENOSPC, fiemap(f, two.fm()));

    // A range: widened to whole blocks.
    Fiemap mid(8, 3 * MiB + 5, 10);
    ASSERT_EQ(0, fiemap(f, mid.fm()));
    ASSERT_EQ(1u, mid.fm()->fm_mapped_extents);
    EXPECT_EQ((uint32_t)(FIEMAP_EXTENT_MERGED | FIEMAP_EXTENT_LAST | FIEMAP_EXTENT_UNWRITTEN),
              mid.fm()->fm_extents[0].fe_flags)
        << "nothing written in the range";
    EXPECT_EQ(4u, f->inode->ondisk.i_blocks) << "a partial walk leaves the block count alone";

    // Compressible files: slice granularity, distinct physical blocks.
    tav_fd *c = create(2, Kind::Compressible);
    put(c, 0, 256 * KiB, 3);         // slices 0, 1
    put(c, 512 * KiB, 128 * KiB, 4); // slice 4
    Fiemap cs(8);
    ASSERT_EQ(0, fiemap(c, cs.fm()));
    ASSERT_EQ(2u, cs.fm()->fm_mapped_extents);
    EXPECT_EQ(256 * KiB, cs.fm()->fm_extents[0].fe_length);
    EXPECT_EQ(512 * KiB, cs.fm()->fm_extents[1].fe_logical);
    EXPECT_EQ(128 * KiB, cs.fm()->fm_extents[1].fe_length);
    EXPECT_EQ(1u, c->inode->ondisk.i_blocks);

    // Inline files: one extent of 128 KiB once data was written.
    tav_fd *in = create(3);
    put(in, 0, 10, 5);
    Fiemap is(4);
    ASSERT_EQ(0, fiemap(in, is.fm()));
    ASSERT_EQ(1u, is.fm()->fm_mapped_extents);
    EXPECT_EQ(128 * KiB, is.fm()->fm_extents[0].fe_length);
    EXPECT_EQ(0x1001u, is.fm()->fm_extents[0].fe_flags);
}

TAV_DATA_ENGINES(SpaceTest);

} // namespace
} // namespace datatest
