// Instances started through the public API on damaged images.  Every byte an
// instance reads is untrusted: each case either refuses the start with its
// errno and log line, or starts, serves (statfs, the file table, the block
// maps of the files) and finishes cleanly, and a file that was intact before
// the damage reads back the same.  Nothing may crash, hang or touch another
// file.
//
// The image holds two live files (F1, F2: pre-mapped creates, one extent
// block each, data in their blocks), one unlinked file that the instance
// stopped before reclaiming (U, left UNLINK) and one left PBLOCK_FREE (P) as
// a crash during its destruction leaves it.  The cases:
//   - superblock fields out of range, checksum recomputed (a table);
//   - unlinked inodes and fini at every moment of the reclaim;
//   - an unlinked inode that names another file's blocks;
//   - a truncated device, a volume whose available length is wrong;
//   - seeded random bit flips in every metadata region, on a file through
//     libaio and on a volume through kvol.  TAV_DAMAGE_TRIALS sets the number
//     of random trials (16 by default, for CI), TAV_DAMAGE_SEED the seed; a
//     failure prints the seed and the trial.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <random>
#include <set>
#include <string>
#include <vector>

#include "fd.h"
#include "instance.h"
#include "ioengine.h"
#include "itable.h"
#include "kvol_test_util.h"
#include "super.h"
#include "support/bytes.h"
#include "support/device.h"
#include "support/instance.h"
#include "support/loop.h"

namespace {

using tavtest::Backend;
using tavtest::Bytes;
using tavtest::CbkResult;
using tavtest::get64;
using tavtest::put64;

constexpr uint64_t MiB = 1048576;
constexpr uint64_t kFileBlocks = 300; // the file image: one inode group, data blocks 162..299

// The superblock format table: copy A at 0x10000, copy B at 0x12000; the page
// checksum is XXH64 (seed 1011) of bytes 8..4095.
constexpr uint64_t kSbA = 0x10000, kSbB = 0x12000;
constexpr size_t kSbBlocksCount = 80, kSbFirstBitmap = 104, kSbBitmapBlocks = 112, kSbFirstData = 120;
// The inode page: i_state at 56, i_extents at 208; slot of number n at
// 1 MiB + n * 8192, copy A first.
constexpr size_t kInoGeneration = 24, kInoState = 56, kInoExtents = 208;
constexpr uint64_t kStateUnlink = 0, kStateFree = 1, kStatePblockFree = 5;

uint64_t slot_of(uint64_t ino) {
    return MiB + ino * 8192;
}

void seal_page(Bytes &page) {
    put64(page, 0, tavtest::xxh64_1011(page.data() + 8, 4096 - 8));
}

struct File {
    unsigned char gfid[16];
    uint64_t ino = 0;
    uint64_t extent_block = 0;
    std::vector<uint64_t> blocks; // data block of logical block i
};

// A byte range of the backing file, saved from the pristine image.
struct Saved {
    uint64_t off;
    Bytes bytes;
};

class Damage : public tavtest::InstanceTest, public ::testing::WithParamInterface<Backend> {
protected:
    void SetUp() override {
        InstanceTest::SetUp();
        setenv("TAV_LOG_LEVEL", "INFO", 1);
        if (GetParam() == Backend::Volume) {
            setenv("TAV_IOENGINE", "kvol", 1);
            dev_ = dir_.path() + "/vol.img";
            tavtest::format_volume(dev_);
            base_ = tavtest::kVolumeDataStart;
        } else {
            dev_ = dir_.path() + "/damage.img";
            tavtest::format_device(dev_, kFileBlocks, 1);
        }
        populate();
        snapshot();
    }

    // ---- the raw image ----------------------------------------------------

    Bytes raw(uint64_t off, size_t len) const { return kvoltest::read_at(dev_, off, len); }
    void put_raw(uint64_t off, const Bytes &b) const { kvoltest::write_at(dev_, off, b); }
    // Instance addresses (volume addresses on a volume) in the backing file.
    Bytes fs(uint64_t off, size_t len) const { return raw(base_ + off, len); }
    void put_fs(uint64_t off, const Bytes &b) const { put_raw(base_ + off, b); }

    // The newer copy of an inode slot, by generation, and its offset.
    uint64_t current_copy(uint64_t ino) const {
        Bytes a = fs(slot_of(ino), 4096), b = fs(slot_of(ino) + 4096, 4096);
        return get64(b, kInoGeneration) >= get64(a, kInoGeneration) ? slot_of(ino) + 4096 : slot_of(ino);
    }
    uint64_t state_on_disk(uint64_t ino) const { return get64(fs(current_copy(ino), 4096), kInoState); }
    // Rewrites the current copy of an inode with `change` applied, sealed.
    template <typename F> void patch_inode(uint64_t ino, F change) const {
        uint64_t off = current_copy(ino);
        Bytes page = fs(off, 4096);
        change(page);
        seal_page(page);
        put_fs(off, page);
    }
    // Rewrites superblock copy A with one field changed, sealed.
    void patch_sb(size_t field, uint64_t value) const {
        Bytes page = fs(kSbA, 4096);
        put64(page, field, value);
        seal_page(page);
        put_fs(kSbA, page);
    }
    // The zone-map byte of block `b` (page b / 4080 at byte 16 + b % 4080).
    uint8_t zmap_byte(uint64_t b) const {
        return fs((first_bitmap_ * 256 + b / 4080) * 4096 + 16 + b % 4080, 1)[0];
    }
    Bytes pattern(const File &f, size_t i) const { return Bytes(MiB, static_cast<uint8_t>(f.gfid[15] * 16 + i)); }

    // ---- instances ----------------------------------------------------------

    struct Start {
        int launched = 0; // tav_init_async's own result
        CbkResult res;
        bool ok() const { return launched == 0 && res.ret == 0; }
    };
    Start start(bool expect_ok) {
        Start s;
        s.launched = init(dev_, O_RDWR, &s.res, expect_ok);
        return s;
    }
    tav *start_ok() {
        Start s = start(true);
        EXPECT_TRUE(s.ok());
        return s.res.instance;
    }

    // Makes a file with the pre-mapped create over `n` blocks from `pblock`
    // (an extent block and whole-block maps), with its pattern written in
    // them.
    void make_file(tav *inst, unsigned char tag, uint64_t pblock, size_t n, File *f) {
        memset(f->gfid, 0, 16);
        f->gfid[0] = 0xda;
        f->gfid[15] = tag;
        CbkResult r;
        ASSERT_TRUE(call(&r, [&](CbkResult *res) {
            return tav_create_ex(inst, f->gfid, (off_t)(pblock * MiB), n * MiB, n * MiB, O_RDWR, 0600, 0,
                                 tavtest::open_cbk, res);
        }));
        ASSERT_EQ(0, r.ret) << r.err;
        f->ino = r.fd->inode->ondisk.i_no;
        f->extent_block = r.fd->inode->ondisk.i_extents[0];
        ASSERT_NE(0u, f->extent_block);
        ASSERT_EQ(0, tav_close(r.fd));
        for (size_t i = 0; i < n; i++) {
            f->blocks.push_back(pblock + i);
            put_fs((pblock + i) * MiB, pattern(*f, i));
        }
    }

    void populate() {
        tav *inst = start_ok();
        ASSERT_NE(nullptr, inst);
        // U must still be waiting for the reclaim when the instance stops.
        tav_timer_stop(inst->unlink_timer);
        const tav_sb_ondisk &d = inst->sb.tav_disk_sb;
        first_bitmap_ = d.s_first_bitmap_block;
        first_data_ = d.s_first_data_block;
        blocks_ = d.s_blocks_count;
        // Ranges on 16-block boundaries, as a volume lends them.
        const uint64_t at = (first_data_ + 15) / 16 * 16;
        make_file(inst, 1, at, 3, &f1_);
        make_file(inst, 2, at + 16, 2, &f2_);
        make_file(inst, 3, at + 32, 2, &u_);
        make_file(inst, 4, at + 48, 1, &p_);
        CbkResult r;
        ASSERT_TRUE(call(&r, [&](CbkResult *res) {
            return tav_unlink_async(inst, u_.gfid, tavtest::common_cbk, res);
        }));
        ASSERT_EQ(0, r.ret);
        fini(inst);
        // U as an unlink leaves it for the timer, P as a crash in the middle
        // of its destruction does.
        ASSERT_EQ(kStateUnlink, state_on_disk(u_.ino));
        patch_inode(p_.ino, [](Bytes &p) { put64(p, kInoState, kStatePblockFree); });
    }

    // Everything a trial may damage or a start may write.
    void snapshot() {
        auto keep = [&](uint64_t off, size_t len) { saved_.push_back({off, raw(off, len)}); };
        for (uint64_t blk : {uint64_t(0), uint64_t(1), first_bitmap_, first_data_ - 1})
            keep(base_ + blk * MiB, MiB);
        for (const File *f : {&f1_, &f2_, &u_, &p_}) {
            keep(base_ + f->extent_block * MiB, MiB);
            for (uint64_t b : f->blocks)
                keep(base_ + b * MiB, MiB);
        }
        if (GetParam() == Backend::Volume) {
            keep(0, 0x4000);      // superblock and bitmap block 0, both copies
            keep(0x800000, 0x2000); // address-map entry 0, both copies
        }
    }
    void restore() const {
        for (const Saved &s : saved_)
            put_raw(s.off, s.bytes);
    }

    // ---- using an instance --------------------------------------------------

    // statfs agrees with the device and the table; the intact files have
    // their record and maps.
    struct statvfs statfs_of(tav *inst) {
        struct statvfs st = {};
        CbkResult r;
        EXPECT_EQ(0, tav_statfs_async(inst, &st, tavtest::common_cbk, &r));
        EXPECT_TRUE(wait(&r));
        EXPECT_EQ(0, r.ret);
        return st;
    }
    void use(tav *inst, const std::vector<const File *> &intact) {
        struct statvfs st = statfs_of(inst);
        ioengine_statdev dev = {};
        ASSERT_EQ(0, ioengine_statdev_get(ioengine_get_default(), &dev));
        EXPECT_LE(st.f_blocks, dev.phy_length / MiB);
        EXPECT_LE(st.f_bfree, st.f_blocks);
        EXPECT_LE(st.f_bfree, blocks_ - first_data_);
        EXPECT_LE(st.f_files - st.f_ffree, (uint64_t)inst->itable.inode_count);

        // The listing holds every intact file.
        struct Listing {
            std::set<std::vector<unsigned char>> names;
            bool done = false;
            int64_t ret = 0;
        } l;
        ASSERT_EQ(0, tav_list_file(
                         inst,
                         [](tav *, unsigned char *name, void *p) {
                             static_cast<Listing *>(p)->names.insert(std::vector<unsigned char>(name, name + 16));
                             return 0;
                         },
                         [](int64_t ret, uint32_t, void *p) {
                             static_cast<Listing *>(p)->ret = ret;
                             static_cast<Listing *>(p)->done = true;
                         },
                         TAV_LIST_ALL_FILE, &l));
        ASSERT_TRUE(tavtest::run_until([&] { return l.done; }));
        EXPECT_EQ(0, l.ret);
        for (const File *f : intact)
            EXPECT_EQ(1u, l.names.count(std::vector<unsigned char>(f->gfid, f->gfid + 16)));

        for (const File *f : intact) {
            SCOPED_TRACE("intact file " + std::to_string(f->gfid[15]));
            CbkResult o;
            ASSERT_TRUE(call(&o, [&](CbkResult *res) {
                return tav_open_async(inst, f->gfid, O_RDWR, 0, tavtest::open_cbk, res);
            }));
            ASSERT_EQ(0, o.ret) << o.err;
            struct stat st;
            CbkResult a;
            ASSERT_TRUE(call(&a, [&](CbkResult *res) {
                return tav_fgetattr_async(o.fd, &st, tavtest::common_cbk, res);
            }));
            EXPECT_EQ(0, a.ret);
            EXPECT_EQ((off_t)(f->blocks.size() * MiB), st.st_size);
            EXPECT_EQ(0, tav_close(o.fd));
            tav_inode_info *inode = tav_inode_find_get(&inst->itable, f->gfid, 0);
            ASSERT_NE(nullptr, inode);
            EXPECT_EQ((uint64_t)TAV_I_NORMAL, inode->ondisk.i_state);
            EXPECT_EQ(f->extent_block, inode->ondisk.i_extents[0]);
            EXPECT_EQ(f->blocks.size() * MiB, inode->ondisk.i_size);
            ASSERT_TRUE(tavtest::run_coroutine([&] {
                for (size_t i = 0; i < f->blocks.size(); i++) {
                    ext_page_t *page = nullptr;
                    blkmap_t *map = ext_blkmaps_get(&inode->extent_cache, i, &page);
                    ASSERT_NE(nullptr, map);
                    EXPECT_EQ(f->blocks[i], ext_blkmap_get_pblock(map));
                    ext_page_put(page);
                }
            }));
            tav_inode_unref(inode, "test");
        }
    }
    // After fini: the intact files' blocks are in use and hold their data.
    void check_on_disk(const std::vector<const File *> &intact) {
        for (const File *f : intact) {
            SCOPED_TRACE("intact file " + std::to_string(f->gfid[15]));
            EXPECT_EQ(0xFF, zmap_byte(f->extent_block));
            for (size_t i = 0; i < f->blocks.size(); i++) {
                EXPECT_EQ(0xFF, zmap_byte(f->blocks[i]));
                EXPECT_TRUE(fs(f->blocks[i] * MiB, MiB) == pattern(*f, i)) << "block " << i;
            }
        }
    }

    // U is gone and its own blocks are free; F1 and F2 are whole on disk and
    // in another start.
    void expect_reclaimed_and_intact() {
        EXPECT_EQ(kStateFree, state_on_disk(u_.ino));
        EXPECT_EQ(0, zmap_byte(u_.extent_block)) << "U's own blocks are freed";
        for (uint64_t b : u_.blocks)
            EXPECT_EQ(0, zmap_byte(b));
        expect_restart_intact({&f1_, &f2_});
    }
    void expect_restart_intact(const std::vector<const File *> &intact) {
        check_on_disk(intact);
        tav *again = start_ok();
        ASSERT_NE(nullptr, again);
        use(again, intact);
        fini(again);
        check_on_disk(intact);
    }

    static size_t unlink_queue_of(tav *inst) {
        size_t n = 0;
        list_head *p;
        list_for_each(p, &inst->itable.unlink_list) n++;
        return n;
    }
    // When to finish relative to the unlink timer's reclaim of U and P.
    enum class FiniAt { Before, During, After };
    // Runs the loop to that moment; false when it did not come (a reclaim
    // that fails keeps its inode queued for an hour).
    bool reach(tav *inst, FiniAt when) {
        size_t queued = unlink_queue_of(inst);
        if (when == FiniAt::During && queued > 0)
            return tavtest::run_until([&] { return unlink_queue_of(inst) < queued; }, 10);
        if (when == FiniAt::After)
            return tavtest::run_until(
                [&] { return unlink_queue_of(inst) == 0 && !inst->itable.background.locked; }, 10);
        return true;
    }

    std::vector<std::string> errors_logged() const {
        std::vector<std::string> out;
        for (const auto &l : log_lines())
            if (l.find("] E ") != std::string::npos)
                out.push_back(l);
        return out;
    }
    void clear_log() const { truncate(log_path_.c_str(), 0); }

    uint64_t base_ = 0;
    uint64_t first_bitmap_ = 0, first_data_ = 0, blocks_ = 0;
    File f1_, f2_, u_, p_;
    std::vector<Saved> saved_;
};

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
        {"s_bitmap_blocks", 112, huge},
        {"s_first_data_block", 120, 0},
        {"s_first_data_block", 120, 161},
        {"s_inode_max_count", 128, huge},
        {"s_inode_size", 136, 0},
        {"s_inode_per_group", 144, 0},
        {"s_inode_per_group", 144, 127},
        {"s_inode_active_group", 152, 0},
        {"s_inode_active_group", 152, 2}, // beyond s_inode_max_group
        {"s_inode_active_group", 152, 9},
        {"s_inode_max_group", 160, 0},
        {"s_inode_max_group", 160, 9},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.field) + "=" + std::to_string(c.value));
        restore();
        clear_log();
        patch_sb(c.off, c.value);
        Bytes good_b = fs(kSbB, 4096);
        Start s = start(false);
        ASSERT_EQ(0, s.launched);
        EXPECT_EQ(-1, s.res.ret);
        EXPECT_EQ((uint32_t)EIO, s.res.err);
        EXPECT_TRUE(log_contains("tav_sb: invalid geometry: " + std::string(c.field) + "=" +
                                 std::to_string(c.value) + ", expected "));
        EXPECT_TRUE(log_contains("init super block A failed"));
        EXPECT_TRUE(fs(kSbB, 4096) == good_b) << "copy B was written";
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

    // A smaller instance on the same device is sound (as before an
    // expansion): it starts, and statfs counts its blocks only.
    restore();
    patch_sb(kSbBlocksCount, 250);
    Bytes b = fs(kSbB, 4096);
    put64(b, kSbBlocksCount, 250);
    seal_page(b);
    put_fs(kSbB, b);
    tav *inst = start_ok();
    ASSERT_NE(nullptr, inst);
    EXPECT_LE(statfs_of(inst).f_bfree, 250 - first_data_);
    fini(inst);
}

// U and P wait for the unlink timer.  Finishing before, during or after its
// pass never asserts, and what was not reclaimed is reclaimed by the next
// start.
TEST_P(Damage, UnlinkedFilesSurviveFiniAtAnyMoment) {
    for (FiniAt when : {FiniAt::Before, FiniAt::During, FiniAt::After}) {
        SCOPED_TRACE("fini " + std::string(when == FiniAt::Before ? "before" : when == FiniAt::During ? "during"
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
    EXPECT_TRUE(log_contains("extent block " + std::to_string(f1_.extent_block) + " of unlinked inode:" +
                             std::to_string(u_.ino) + " is also named by inode:" + std::to_string(f1_.ino) +
                             ", not freed"));
    EXPECT_TRUE(log_contains("extent block " + std::to_string(f2_.blocks[0]) + " of inode:" +
                             std::to_string(u_.ino) + " does not read as extent pages, not freed"));
    expect_reclaimed_and_intact();
}

// A device cut short of what the superblock describes is refused with EIO
// (a volume device with the volume's own check, before any callback).
TEST_P(Damage, TruncatedDeviceIsRefused) {
    uint64_t keep = base_ + 200 * MiB;
    ASSERT_EQ(0, truncate(dev_.c_str(), (off_t)keep));
    Start s = start(false);
    if (GetParam() == Backend::Volume) {
        EXPECT_EQ(-EIO, s.launched);
        EXPECT_TRUE(log_contains("kvol init failed, path: " + dev_ + ": -5(Input/output error)"));
    } else {
        ASSERT_EQ(0, s.launched);
        EXPECT_EQ(-1, s.res.ret);
        EXPECT_EQ((uint32_t)EIO, s.res.err);
        EXPECT_TRUE(log_contains("tav_sb: invalid geometry: s_blocks_count=300, expected 163..200"));
    }
}

// Random flips over every metadata region of the populated image.
TEST_P(Damage, RandomFlipsOfEveryMetadataRegion) {
    const char *env_trials = getenv("TAV_DAMAGE_TRIALS"), *env_seed = getenv("TAV_DAMAGE_SEED");
    const int trials = env_trials ? atoi(env_trials) : 16;
    const uint64_t seed = env_seed ? strtoull(env_seed, nullptr, 0) : tavtest::now_ns();
    SCOPED_TRACE("TAV_DAMAGE_SEED=" + std::to_string(seed));
    std::mt19937_64 rng(seed);

    struct Region {
        std::string name;
        uint64_t off, len; // in the backing file
        const File *owner; // the file whose metadata it is, if any
    };
    std::vector<Region> regions = {
        {"superblock copy A", base_ + kSbA, 4096, nullptr},
        {"superblock copy B", base_ + kSbB, 4096, nullptr},
        {"backup superblock", base_ + (first_data_ - 1) * MiB + kSbA, 0x3000, nullptr},
        {"unused inode slot", base_ + slot_of(100), 8192, nullptr},
        {"zone-map page 0", base_ + first_bitmap_ * MiB, 4096, nullptr},
        {"a later zone-map page", base_ + first_bitmap_ * MiB + 4096, 255 * 4096, nullptr},
    };
    for (const File *f : {&f1_, &f2_, &u_, &p_}) {
        std::string n = "file " + std::to_string(f->gfid[15]);
        regions.push_back({"inode slot of " + n, base_ + slot_of(f->ino), 8192, f});
        regions.push_back({"extent block of " + n, base_ + f->extent_block * MiB, MiB, f});
    }
    if (GetParam() == Backend::Volume) {
        regions.push_back({"volume superblock", 0, 512, nullptr});
        regions.push_back({"volume superblock copy 1", 0x1000, 512, nullptr});
        regions.push_back({"bad-track bitmap block 0", 0x2000, 0x2000, nullptr});
        regions.push_back({"address-map entry 0", 0x800000, 512, nullptr});
        regions.push_back({"address-map entry 0 copy 1", 0x801000, 512, nullptr});
    }

    for (int t = 0; t < trials; t++) {
        // One region, or two at once (one trial in four).
        std::vector<const Region *> hit = {&regions[rng() % regions.size()]};
        if (rng() % 4 == 0)
            hit.push_back(&regions[rng() % regions.size()]);
        const FiniAt when = static_cast<FiniAt>(rng() % 3);
        std::string what;
        restore();
        clear_log();
        for (const Region *reg : hit) {
            const int flips = 1 + (int)(rng() % 4);
            what += (what.empty() ? "" : " and ") + std::to_string(flips) + " flips in " + reg->name;
            for (int i = 0; i < flips; i++) {
                uint64_t off = reg->off + rng() % reg->len;
                Bytes b = raw(off, 1);
                b[0] ^= static_cast<uint8_t>(1u << (rng() % 8));
                put_raw(off, b);
            }
        }
        SCOPED_TRACE("trial " + std::to_string(t) + ": " + what);
        std::vector<const File *> intact;
        for (const File *f : {&f1_, &f2_})
            if (hit[0]->owner != f && hit.back()->owner != f)
                intact.push_back(f);
        // A superblock copy that was not damaged is never written from the
        // damaged one.
        auto sb_hit = [&](uint64_t copy) {
            for (const Region *reg : hit)
                if (reg->off == base_ + copy)
                    return true;
            return false;
        };
        const bool one_sb_copy = sb_hit(kSbA) != sb_hit(kSbB);
        const uint64_t other = sb_hit(kSbA) ? kSbB : kSbA;
        Bytes other_sb = fs(other, 4096);

        Start s = start(false);
        if (!s.ok()) {
            // Refused: with its errno and its log line, before or through the
            // one callback.
            if (s.launched != 0) {
                EXPECT_EQ(-EIO, s.launched);
            } else {
                EXPECT_EQ(1, s.res.calls);
                EXPECT_TRUE(s.res.err == EIO || s.res.err == EACCES) << s.res.err;
                EXPECT_TRUE(log_contains("tav init failed: -1(" + std::string(strerror((int)s.res.err)) + ")"));
            }
            if (one_sb_copy) {
                EXPECT_TRUE(fs(other, 4096) == other_sb) << "the good superblock copy was written";
            }
            continue;
        }
        tav *inst = s.res.instance;
        use(inst, intact);
        reach(inst, when);
        fini(inst);
        // What the first start left starts again, as cleanly.
        expect_restart_intact(intact);
        if (HasFailure()) {
            for (const auto &l : errors_logged())
                ADD_FAILURE() << l;
            break;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Backends, Damage, ::testing::Values(Backend::File, Backend::Volume),
                         [](const auto &info) { return std::string(tavtest::backend_name(info.param)); });

// A volume whose superblock says nothing is available (a crash between a
// bitmap write and the superblock's) starts with the length its bitmap
// gives, and statfs shows the blocks.
class DamageVolume : public Damage {};

TEST_P(DamageVolume, AvailableLengthFollowsTheBitmap) {
    Bytes sb = raw(0, 4096), sb1 = raw(0x1000, 4096);
    size_t newer = get64(sb1, 16) > get64(sb, 16) ? 0x1000 : 0;
    Bytes page = raw(newer, 4096);
    const uint64_t total = get64(page, 104);
    put64(page, 112, 0);
    tavtest::put32(page, 0, kvoltest::ref_crc32(page.data() + 4, 508));
    put_raw(newer, page);
    tav *inst = start_ok();
    ASSERT_NE(nullptr, inst);
    struct statvfs st = statfs_of(inst);
    EXPECT_EQ(total / MiB, st.f_blocks);
    EXPECT_LE(st.f_bfree, st.f_blocks);
    use(inst, {&f1_, &f2_});
    fini(inst);
}

INSTANTIATE_TEST_SUITE_P(Volume, DamageVolume, ::testing::Values(Backend::Volume),
                         [](const auto &info) { return std::string(tavtest::backend_name(info.param)); });

} // namespace
