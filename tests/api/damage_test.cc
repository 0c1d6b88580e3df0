// Instances started through the public API on damaged images.  Every byte an
// instance reads is untrusted: each case either refuses the start with its
// errno and log line, or starts, serves (statfs, the file table, the block
// maps and contents of the files) and finishes cleanly, and a file that was
// intact before the damage reads back the same.  Nothing may crash, hang or
// touch another file.
//
// The cases here: superblock fields out of range (checksum recomputed, a
// table, alone and with other damage); unlinked inodes and fini at every
// moment of the reclaim; an unlinked inode that names another file's blocks;
// devices cut short at points across the layout and a device of random
// bytes; volume superblocks whose lengths are wrong or reach beyond the
// address map.  The layout sweep and the
// random flips are damage_sweep_test.
#include "damage_fixture.h"

namespace {

using damagetest::Damage;
using namespace damagetest;

// A sound image starts, reclaims U and P, and starts again: nothing in the
// checks refuses what the format and the reclaim make.
TEST_P(Damage, PopulatedImageStartsAndReclaimsItsUnlinkedFiles) {
    tav *inst = start_ok();
    ASSERT_NE(nullptr, inst);
    EXPECT_EQ(2u, inst->itable.inode_count);
    use(inst, {&f1_, &f2_});
    EXPECT_TRUE(reach(inst, FiniAt::After));
    fini(inst);
    EXPECT_EQ(kStateFree, state_on_disk(p_.ino));
    expect_reclaimed_and_intact();
}

// Each field out of range in copy A, its checksum recomputed: the start is
// refused with EIO, the log names the field, its value and the expected
// value, and copy B, the good one, is never written.
TEST_P(Damage, SuperblockFieldsOutOfRangeAreRefused) {
    const uint64_t device = GetParam() == Backend::Volume ? blocks_ : kFileBlocks;
    const uint64_t huge = ~0ULL;
    struct Case {
        const char *field;
        size_t off;
        uint64_t value;
    } cases[] = {
        {"s_block_size", 72, 0},
        {"s_block_size", 72, 4096},
        {"s_block_size", 72, huge},
        {"s_blocks_count", 80, 0},
        {"s_blocks_count", 80, 100}, // below the first data block
        {"s_blocks_count", 80, device + 1},
        {"s_blocks_count", 80, huge},
        {"s_first_inode_block", 88, 0},
        {"s_first_inode_block", 88, 2},
        {"s_inode_blocks", 96, 0},
        {"s_first_bitmap_block", 104, 0},
        {"s_bitmap_blocks", 112, 1},
        {"s_bitmap_blocks", 112, 40}, // a larger map that runs into the data area
        {"s_bitmap_blocks", 112, huge},
        {"s_first_data_block", 120, 0},
        {"s_first_data_block", 120, 289},
        {"s_inode_max_count", 128, huge},
        {"s_inode_size", 136, 0},
        {"s_inode_per_group", 144, 0},
        {"s_inode_per_group", 144, 127},
        {"s_inode_active_group", 152, 0},
        {"s_inode_active_group", 152, 3}, // beyond s_inode_max_group
        {"s_inode_active_group", 152, 9},
        {"s_inode_max_group", 160, 0},
        {"s_inode_max_group", 160, 9},
    };
    auto expect_refused = [&](const std::string &field, uint64_t value, const Bytes &good_b) {
        Start s = start(false);
        ASSERT_EQ(0, s.launched);
        EXPECT_EQ(-1, s.res.ret);
        EXPECT_EQ((uint32_t)EIO, s.res.err);
        EXPECT_TRUE(
            log_contains("tav_sb: invalid geometry: " + field + "=" + std::to_string(value) + ", expected "));
        EXPECT_TRUE(log_contains("init super block A failed"));
        EXPECT_TRUE(log_contains("tav init failed: -1(Input/output error)"));
        EXPECT_TRUE(fs(kSbB, 4096) == good_b) << "copy B was written";
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.field) + "=" + std::to_string(c.value));
        restore();
        clear_log();
        patch_sb(c.off, c.value);
        expect_refused(c.field, c.value, fs(kSbB, 4096));
    }

    // The combinations that crashed or hung a start, or brought up a page of
    // the data area as a file, when such a superblock was trusted: refused
    // the same way, whatever else is damaged.
    const uint64_t planted_block = first_data_ + 100; // inside the area nine groups would claim
    const uint64_t planted_ino = (planted_block - 1) * 128;
    struct Combo {
        const char *what;
        std::function<void()> damage;
        const char *field;
        uint64_t value;
    } combos[] = {
        {"a huge s_inode_max_count and a damaged inode slot",
         [&] {
             patch_sb(128, huge);
             Bytes b = fs(current_copy(f1_.ino) + 300, 1);
             b[0] ^= 0x10;
             put_fs(current_copy(f1_.ino) + 300, b);
         },
         "s_inode_max_count", huge},
        {"nine active groups and a huge s_inode_max_count",
         [&] {
             Bytes page = fs(kSbA, 4096);
             put64(page, 152, 9);
             put64(page, 128, huge);
             seal_page(page);
             put_fs(kSbA, page);
         },
         "s_inode_active_group", 9},
        {"nine active groups and an inode page planted in the data area",
         [&] {
             Bytes page = fs(current_copy(f1_.ino), 4096);
             put64(page, 48, planted_ino);
             page[64] = 0xbb; // another name
             seal_page(page);
             put_fs(planted_block * MiB, page);
             put_fs(planted_block * MiB + 4096, page);
             patch_sb(152, 9);
         },
         "s_inode_active_group", 9},
    };
    for (const Combo &c : combos) {
        SCOPED_TRACE(c.what);
        restore();
        clear_log();
        c.damage();
        expect_refused(c.field, c.value, fs(kSbB, 4096));
    }

    // A zone map moved past the device by two fields at once.
    restore();
    Bytes page = fs(kSbA, 4096);
    put64(page, kSbBitmapBlocks, device);
    put64(page, kSbFirstData, get64(page, kSbFirstBitmap) + device + 1);
    seal_page(page);
    put_fs(kSbA, page);
    Start s = start(false);
    EXPECT_EQ(-1, s.res.ret);
    EXPECT_TRUE(log_contains("tav_sb: invalid geometry: s_bitmap_blocks=" + std::to_string(device)));

    // A zone map larger than the format makes, with the data area moved
    // behind it (both copies): its size alone is not refused, and the start
    // reads and sizes the map within the metadata area it names.
    restore();
    clear_log();
    const uint64_t extra = 8, moved_data = first_data_ + extra;
    for (uint64_t copy : {kSbA, kSbB}) {
        Bytes p = fs(copy, 4096);
        put64(p, kSbBitmapBlocks, get64(p, kSbBitmapBlocks) + extra);
        put64(p, kSbFirstData, moved_data);
        seal_page(p);
        put_fs(copy, p);
    }
    // The blocks it gains hold what they held: the backup superblock first,
    // which fails as a zone-map page.
    Start big = start(false);
    ASSERT_EQ(0, big.launched);
    EXPECT_EQ(-1, big.res.ret);
    EXPECT_EQ((uint32_t)EACCES, big.res.err);
    EXPECT_TRUE(log_contains("illegal zmap page, index: " + std::to_string(32 * 256) +
                             ", phyaddr: " + std::to_string((first_data_ - 1) * MiB)));
    EXPECT_TRUE(log_contains("tav init failed: -1(Permission denied)"));
    // Empty zone-map pages there: it starts, sized by the larger map, never
    // counts the blocks it gained as free, and serves the file that lies
    // behind the moved data area (F1's extent block is among those gained).
    clear_log();
    const Bytes empty_page = fs((first_data_ - 1) * MiB - 4096, 4096); // the last page of the map
    Bytes gained;
    for (uint64_t i = 0; i < extra * 256; i++)
        gained.insert(gained.end(), empty_page.begin(), empty_page.end());
    put_fs((first_data_ - 1) * MiB, gained);
    ASSERT_GE(f2_.extent_block, moved_data);
    tav *larger = start_ok();
    ASSERT_NE(nullptr, larger);
    EXPECT_EQ((32 + extra) * 256, larger->zmap.page_count);
    EXPECT_LE(statfs_of(larger).f_bfree, blocks_ - moved_data);
    use(larger, {&f2_});
    poke(larger, &f1_);
    fini(larger);
    check_on_disk({&f2_});

    // A smaller instance on the same device is sound (as before an
    // expansion): it starts, and statfs counts its blocks only.
    restore();
    patch_sb(kSbBlocksCount, 380);
    Bytes b = fs(kSbB, 4096);
    put64(b, kSbBlocksCount, 380);
    seal_page(b);
    put_fs(kSbB, b);
    tav *inst = start_ok();
    ASSERT_NE(nullptr, inst);
    EXPECT_LE(statfs_of(inst).f_bfree, 380 - first_data_);
    use(inst, {&f1_, &f2_});
    fini(inst);
}

// U and P wait for the unlink timer.  Finishing before, during or after its
// pass never asserts, and what was not reclaimed is reclaimed by the next
// start.
TEST_P(Damage, UnlinkedFilesSurviveFiniAtAnyMoment) {
    for (FiniAt when : {FiniAt::Before, FiniAt::During, FiniAt::After}) {
        SCOPED_TRACE("fini " +
                     std::string(when == FiniAt::Before   ? "before"
                                 : when == FiniAt::During ? "during"
                                                          : "after") +
                     " the unlink pass");
        restore();
        tav *inst = start_ok();
        ASSERT_NE(nullptr, inst);
        ASSERT_EQ(2u, unlink_queue_of(inst));
        EXPECT_TRUE(reach(inst, when));
        fini(inst);
        uint64_t su = state_on_disk(u_.ino), sp = state_on_disk(p_.ino);
        EXPECT_TRUE(su == kStateUnlink || su == kStatePblockFree || su == kStateFree) << su;
        EXPECT_TRUE(sp == kStatePblockFree || sp == kStateFree) << sp;
        if (when == FiniAt::Before) {
            EXPECT_EQ(kStateUnlink, su);
            EXPECT_EQ(kStatePblockFree, sp);
        }
        if (when == FiniAt::After) {
            EXPECT_EQ(kStateFree, su);
            EXPECT_EQ(kStateFree, sp);
        }
        // The next start finishes the work.
        tav *next = start_ok();
        ASSERT_NE(nullptr, next);
        EXPECT_TRUE(reach(next, FiniAt::After));
        use(next, {&f1_, &f2_});
        fini(next);
        EXPECT_EQ(kStateFree, state_on_disk(p_.ino));
        expect_reclaimed_and_intact();
    }
}

// An unlinked inode whose record names F1's extent block and F2's data
// block as its own extent blocks: the reclaim frees its own blocks and
// nothing of F1's or F2's.
TEST_P(Damage, UnlinkedInodeNamingOtherFilesBlocksFreesNothingOfThem) {
    patch_inode(u_.ino, [&](Bytes &p) {
        put64(p, kInoExtents + 8, f1_.extent_block);
        put64(p, kInoExtents + 16, f2_.blocks[0]);
    });
    tav *inst = start_ok();
    ASSERT_NE(nullptr, inst);
    EXPECT_TRUE(reach(inst, FiniAt::After));
    use(inst, {&f1_, &f2_});
    fini(inst);
    EXPECT_TRUE(log_contains("extent block " + std::to_string(f1_.extent_block) +
                             " of unlinked inode:" + std::to_string(u_.ino) +
                             " is also named by inode:" + std::to_string(f1_.ino) + ", not freed"));
    EXPECT_TRUE(log_contains("extent block " + std::to_string(f2_.blocks[0]) + " of inode:" +
                             std::to_string(u_.ino) + " does not read as extent pages, not freed"));
    expect_reclaimed_and_intact();
}

// A block map that names a block outside the data area (an inode-table block
// and a zone-map block that this case leaves alone otherwise, a block beyond
// the device) is never used, whether or not a check runs:
// reads and writes of that block get EIO, a punch over it and the reclaim of
// the file free nothing there, and the metadata and the other file stay as
// they were.
TEST_P(Damage, BlockMapOutsideTheDataAreaIsNeverUsed) {
    const uint64_t targets[] = {2, first_bitmap_ + 1, blocks_ + 5};
    for (uint64_t target : targets) {
        SCOPED_TRACE("block map names block " + std::to_string(target));
        restore();
        clear_log();
        // Entry 1 of F1's first extent page (64-byte version-1 entries,
        // block at 16, checksum at 8 over bytes 12..63).
        Bytes entry = fs(f1_.extent_block * MiB + 64, 64);
        put64(entry, 16, target);
        const uint64_t sum = tavtest::xxh64_1011(entry.data() + 12, 64 - 12);
        for (int k = 0; k < 4; k++)
            entry[8 + k] = static_cast<uint8_t>(sum >> (8 * k));
        put_fs(f1_.extent_block * MiB + 64, entry);
        const bool on_device = target < blocks_;
        const Bytes meta = on_device ? fs(target * MiB, MiB) : Bytes();
        const uint8_t zbyte = on_device ? zmap_byte(target) : 0;

        tav *inst = start_ok();
        ASSERT_NE(nullptr, inst);
        CbkResult o;
        ASSERT_TRUE(call(&o, [&](CbkResult *res) {
            return tav_open_async(inst, f1_.gfid, O_RDWR, 0, tavtest::open_cbk, res);
        }));
        ASSERT_EQ(0, o.ret);
        Bytes got;
        EXPECT_TRUE(read_block(o.fd, 0, &got).ret > 0 && got == pattern(f1_, 0)) << "block 0 is sound";
        CbkResult r = read_block(o.fd, 1, &got);
        EXPECT_EQ(-1, r.ret);
        EXPECT_EQ((uint32_t)EIO, r.err);
        void *buf = nullptr;
        ASSERT_EQ(0, posix_memalign(&buf, 4096, 4096));
        memset(buf, 0x5A, 4096);
        struct iovec iov = {buf, 4096};
        CbkResult w;
        ASSERT_TRUE(call(&w, [&](CbkResult *res) {
            return tav_pwritev_async(o.fd, &iov, 1, (off_t)MiB, nullptr, nullptr, tavtest::common_cbk, res);
        }));
        free(buf);
        EXPECT_EQ(-1, w.ret);
        EXPECT_EQ((uint32_t)EIO, w.err);
        CbkResult d;
        ASSERT_TRUE(call(&d, [&](CbkResult *res) {
            return tav_discard_async(o.fd, 0, 2 * MiB, nullptr, nullptr, tavtest::common_cbk, res);
        }));
        EXPECT_EQ(-1, d.ret) << "the discard reports the damaged map";
        EXPECT_EQ(0, tav_close(o.fd));
        CbkResult u;
        ASSERT_TRUE(call(
            &u, [&](CbkResult *res) { return tav_unlink_async(inst, f1_.gfid, tavtest::common_cbk, res); }));
        EXPECT_EQ(0, u.ret);
        reach(inst, FiniAt::After);
        use(inst, {&f2_});
        fini(inst);

        EXPECT_TRUE(
            log_contains("block map names block " + std::to_string(target) + " outside the data area"));
        if (on_device) {
            EXPECT_TRUE(fs(target * MiB, MiB) == meta) << "the metadata block is untouched";
            EXPECT_EQ(zbyte, zmap_byte(target)) << "and its zone-map byte too";
        }
        check_on_disk({&f2_});
    }
}

// A device cut short anywhere in its layout is refused with EIO and writes
// nothing: on a file through the callback, after the superblock's check or a
// failed read; on a volume before any callback, by the volume's own checks.
// The cuts run from the longest to the shortest, so each image is the
// previous one cut further.
TEST_P(Damage, TruncatedImagesAreRefused) {
    const bool volume = GetParam() == Backend::Volume;
    std::vector<uint64_t> cuts; // file sizes
    if (volume) {
        cuts = {base_ + blocks_ * MiB - 4096,
                base_ + (first_data_ + 10) * MiB,
                base_ + 161 * MiB,
                base_ + MiB,
                0x900000,
                0x5000,
                0x1800,
                0};
    } else {
        cuts = {blocks_ * MiB - 4096,
                (blocks_ - 1) * MiB,
                (first_data_ + 10) * MiB,
                (first_data_ - 1) * MiB,
                (first_bitmap_ + 4) * MiB,
                200 * MiB,
                161 * MiB,
                100 * MiB,
                MiB,
                kSbA + 2048,
                0};
    }
    Bytes head = raw(0, 0x13000);
    for (uint64_t cut : cuts) {
        SCOPED_TRACE("device cut to " + std::to_string(cut) + " bytes");
        ASSERT_EQ(0, truncate(dev_.c_str(), (off_t)cut));
        clear_log();
        Start s = start(false);
        if (volume) {
            EXPECT_EQ(-EIO, s.launched);
            EXPECT_TRUE(log_contains("kvol init failed, path: " + dev_ + ": -5(Input/output error)"));
        } else {
            ASSERT_EQ(0, s.launched);
            EXPECT_EQ(-1, s.res.ret);
            EXPECT_EQ((uint32_t)EIO, s.res.err);
            EXPECT_TRUE(log_contains("tav init failed: -1(Input/output error)"));
            if (cut >= kSbB + 4096) {
                EXPECT_TRUE(log_contains(
                    "tav_sb: invalid geometry: s_blocks_count=" + std::to_string(blocks_) + ", expected "));
            }
        }
        struct stat st;
        ASSERT_EQ(0, stat(dev_.c_str(), &st));
        EXPECT_EQ((off_t)cut, st.st_size) << "the refused start wrote past the end";
        size_t kept = static_cast<size_t>(std::min<uint64_t>(cut, head.size()));
        EXPECT_TRUE(raw(0, kept) == Bytes(head.begin(), head.begin() + kept)) << "the refused start wrote";
        if (HasFailure())
            break;
    }
}

// A device of random bytes: refused with EIO, whatever its size.
TEST_P(Damage, RandomBytesDeviceIsRefused) {
    const uint64_t seed = damage_seed();
    SCOPED_TRACE("TAV_DAMAGE_SEED=" + std::to_string(seed));
    std::mt19937_64 rng(seed);
    struct stat st;
    ASSERT_EQ(0, stat(dev_.c_str(), &st));
    // All of a file; the metadata area of a volume (its superblocks, bitmap
    // and address map, and the instance's first blocks).
    const uint64_t len = GetParam() == Backend::Volume ? 16 * MiB : static_cast<uint64_t>(st.st_size);
    Bytes chunk(16 * MiB);
    for (uint64_t off = 0; off < len; off += chunk.size()) {
        for (size_t i = 0; i < chunk.size(); i += 8) {
            uint64_t v = rng();
            memcpy(&chunk[i], &v, 8);
        }
        put_raw(off, Bytes(chunk.begin(), chunk.begin() + std::min<uint64_t>(chunk.size(), len - off)));
    }
    Bytes head = raw(0, 0x13000);
    Start s = start(false);
    if (GetParam() == Backend::Volume) {
        EXPECT_EQ(-EIO, s.launched);
        EXPECT_TRUE(log_contains("kvol init failed, path: " + dev_ + ": -5(Input/output error)"));
    } else {
        ASSERT_EQ(0, s.launched);
        EXPECT_EQ(-1, s.res.ret);
        EXPECT_EQ((uint32_t)EIO, s.res.err);
        EXPECT_TRUE(log_contains("tav_sb: invalid magic"));
        EXPECT_TRUE(log_contains("tav init failed: -1(Input/output error)"));
    }
    EXPECT_TRUE(raw(0, head.size()) == head) << "the refused start wrote";
}

INSTANTIATE_TEST_SUITE_P(Backends, Damage, ::testing::Values(Backend::File, Backend::Volume),
                         [](const auto &info) { return std::string(tavtest::backend_name(info.param)); });

// A volume whose superblock says nothing is available (a crash between a
// bitmap write and the superblock's) starts with the length its bitmap
// gives, and statfs shows the blocks.
class DamageVolume : public Damage {};

TEST_P(DamageVolume, AvailableLengthFollowsTheBitmap) {
    uint64_t total = 0;
    patch_volume_sb([&](Bytes &page) {
        total = get64(page, 104);
        put64(page, 112, 0);
    });
    tav *inst = start_ok();
    ASSERT_NE(nullptr, inst);
    struct statvfs st = statfs_of(inst);
    EXPECT_EQ(total / MiB, st.f_blocks);
    EXPECT_LE(st.f_bfree, st.f_blocks);
    use(inst, {&f1_, &f2_});
    fini(inst);
}

// A volume superblock whose block size no engine serves (checksum
// recomputed): refused before any callback, with the reason and the errno
// the caller gets in the library's log.
TEST_P(DamageVolume, UnservableBlockSizeIsRefusedWithEio) {
    patch_volume_sb([](Bytes &page) { tavtest::put32(page, 120, 0); }); // sb_phy_blksz
    Start s = start(false);
    EXPECT_EQ(-EIO, s.launched);
    EXPECT_FALSE(s.res.called);
    EXPECT_TRUE(log_contains("invalid phy_blksz: 0"));
    EXPECT_TRUE(log_contains("open " + dev_ + " with ioengine plugin kvol failed: -5(Input/output error)"));
    if (HasFailure()) {
        for (const auto &l : errors_logged())
            ADD_FAILURE() << l;
    }
}

// Volume superblock lengths beyond what the address map describes (checksum
// recomputed): the open is refused before any callback, the caller gets EIO
// and the library's log the reason, and neither superblock copy is written,
// so a later start on a repaired copy finds the good one.  Trusted, such a
// volume started an instance whose statfs counted blocks the volume does not
// hold.
TEST_P(DamageVolume, LengthsBeyondTheAddressMapAreRefused) {
    const uint64_t gran = 16 * MiB;
    struct Case {
        const char *what;
        uint64_t total_delta, avail_delta; // added to sb_va_len_total, sb_va_len_avail
        bool total_doubled = false;        // and the total doubled
    } cases[] = {
        {"sb_va_len_total one granule beyond mapping 0", gran, 0},
        {"both lengths one granule beyond mapping 0", gran, gran},
        {"both lengths twice mapping 0", 0, 0, true},
        {"sb_va_len_avail beyond sb_va_len_total", 0, gran},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        restore();
        clear_log();
        const uint64_t copy = patch_volume_sb([&](Bytes &page) {
            const uint64_t total = get64(page, 104), avail = get64(page, 112);
            put64(page, 104, (c.total_doubled ? 2 * total : total) + c.total_delta);
            put64(page, 112, (c.total_doubled ? avail + total : avail) + c.avail_delta);
        });
        const Bytes both = raw(0, 0x2000);
        Start s = start(false);
        EXPECT_EQ(-EIO, s.launched);
        EXPECT_FALSE(s.res.called);
        EXPECT_TRUE(log_contains("kvol init failed, path: " + dev_ + ": -5(Input/output error)"));
        EXPECT_TRUE(raw(0, 0x2000) == both)
            << "a superblock copy was written (the damaged one at " << copy << ")";
        if (s.ok())
            fini(s.res.instance);
        if (HasFailure()) {
            for (const auto &l : errors_logged())
                ADD_FAILURE() << l;
            break;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Volume, DamageVolume, ::testing::Values(Backend::Volume),
                         [](const auto &info) { return std::string(tavtest::backend_name(info.param)); });

} // namespace
