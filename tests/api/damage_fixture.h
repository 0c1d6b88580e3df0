// The fixture of the damage tests: a populated instance image on a file
// (through libaio) or on a volume (through kvol), saved so that every case
// starts from the same bytes, with helpers that damage it, start instances
// on it, use them and check what they leave.
//
// The image has two inode groups, both formatted, and holds two live files
// (F1 in group 0, F2 in group 1; pre-mapped creates, one extent block each,
// data in their blocks), one unlinked file that the instance stopped before
// reclaiming (U, left UNLINK) and one left PBLOCK_FREE (P) as a crash during
// its destruction leaves it.
#ifndef TAV_TEST_DAMAGE_FIXTURE_H
#define TAV_TEST_DAMAGE_FIXTURE_H

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <random>
#include <array>
#include <set>
#include <string>
#include <vector>

#include "fd.h"
#include "inode.h"
#include "instance.h"
#include "ioengine.h"
#include "itable.h"
#include "kvol_test_util.h"
#include "super.h"
#include "support/bytes.h"
#include "support/device.h"
#include "support/instance.h"
#include "support/loop.h"

namespace damagetest {

// A file name as a set key.
inline std::array<unsigned char, 16> name_key(const unsigned char *name) {
    std::array<unsigned char, 16> k;
    memcpy(k.data(), name, k.size());
    return k;
}

using tavtest::Backend;
using tavtest::Bytes;
using tavtest::CbkResult;
using tavtest::get64;
using tavtest::put64;

constexpr uint64_t MiB = 1048576;
constexpr uint64_t kFileBlocks = 400; // the file image: two inode groups, data blocks 290..399
constexpr uint64_t kGroups = 2, kInodesPerGroup = 16384;

// The superblock format table: copy A at 0x10000, copy B at 0x12000; the page
// checksum is XXH64 (seed 1011) of bytes 8..4095.
constexpr uint64_t kSbA = 0x10000, kSbB = 0x12000;
constexpr size_t kSbBlocksCount = 80, kSbFirstBitmap = 104, kSbBitmapBlocks = 112, kSbFirstData = 120;
// The inode page: i_state at 56, i_extents at 208; slot of number n at
// 1 MiB + n * 8192, copy A first.
constexpr size_t kInoGeneration = 24, kInoState = 56, kInoExtents = 208;
constexpr uint64_t kStateUnlink = 0, kStateFree = 1, kStatePblockFree = 5;

inline uint64_t slot_of(uint64_t ino) {
    return MiB + ino * 8192;
}

inline void seal_page(Bytes &page) {
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
            tavtest::format_volume(dev_, 0, kGroups);
            base_ = tavtest::kVolumeDataStart;
        } else {
            dev_ = dir_.path() + "/damage.img";
            tavtest::format_device(dev_, kFileBlocks, kGroups);
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
    // Rewrites the newer copy of the volume superblock (by sb_generation at
    // 16; copy 0 on a tie) with `change` applied and its CRC-32 (of bytes
    // 4..511, at 0) recomputed.  Returns the copy's offset.
    template <typename F> uint64_t patch_volume_sb(F change) const {
        const uint64_t newer = get64(raw(0x1000, 4096), 16) > get64(raw(0, 4096), 16) ? 0x1000 : 0;
        Bytes page = raw(newer, 4096);
        change(page);
        tavtest::put32(page, 0, kvoltest::ref_crc32(page.data() + 4, 508));
        put_raw(newer, page);
        return newer;
    }
    // The zone-map byte of block `b` (page b / 4080 at byte 16 + b % 4080).
    uint8_t zmap_byte(uint64_t b) const {
        return fs((first_bitmap_ * 256 + b / 4080) * 4096 + 16 + b % 4080, 1)[0];
    }
    Bytes pattern(const File &f, size_t i) const {
        return Bytes(MiB, static_cast<uint8_t>(f.gfid[15] * 16 + i));
    }

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
        // The second group formatted and counted as the number allocator
        // does once the first is full; F2 takes a number in it.
        ASSERT_TRUE(tavtest::run_coroutine([&] {
            ASSERT_EQ(0,
                      tav_inode_format(d.s_first_inode_block + kInodesPerGroup / 128, kInodesPerGroup / 128));
            ASSERT_EQ(0, tav_sb_read(&inst->sb));
            inst->sb.tav_disk_sb.s_inode_active_group = kGroups;
            ASSERT_EQ(0, tav_sb_write(&inst->sb));
        }));
        inst->last_ino = kInodesPerGroup + 6;
        make_file(inst, 2, at + 16, 2, &f2_);
        ASSERT_LE(kInodesPerGroup, f2_.ino);
        inst->last_ino = 0;
        make_file(inst, 3, at + 32, 2, &u_);
        make_file(inst, 4, at + 48, 1, &p_);
        ASSERT_GT(kInodesPerGroup, u_.ino);
        CbkResult r;
        ASSERT_TRUE(call(
            &r, [&](CbkResult *res) { return tav_unlink_async(inst, u_.gfid, tavtest::common_cbk, res); }));
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
            keep(base_ + slot_of(f->ino) / MiB * MiB, MiB);
            keep(base_ + f->extent_block * MiB, MiB);
            for (uint64_t b : f->blocks)
                keep(base_ + b * MiB, MiB);
        }
        if (GetParam() == Backend::Volume) {
            keep(0, 0x4000);        // superblock and bitmap block 0, both copies
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
        EXPECT_LE(st.f_blocks, backing_blocks());
        EXPECT_LE(st.f_bfree, st.f_blocks);
        EXPECT_LE(st.f_bfree, blocks_ - first_data_);
        EXPECT_LE(st.f_files - st.f_ffree, (uint64_t)inst->itable.inode_count);

        // The listing holds every intact file.
        struct Listing {
            std::set<std::array<unsigned char, 16>> names;
            bool done = false;
            int64_t ret = 0;
        } l;
        ASSERT_EQ(0, tav_list_file(
                         inst,
                         [](tav *, unsigned char *name, void *p) {
                             static_cast<Listing *>(p)->names.insert(name_key(name));
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
            EXPECT_EQ(1u, l.names.count(name_key(f->gfid)));

        for (const File *f : intact) {
            SCOPED_TRACE("intact file " + std::to_string(f->gfid[15]));
            CbkResult o;
            ASSERT_TRUE(call(&o, [&](CbkResult *res) {
                return tav_open_async(inst, f->gfid, O_RDWR, 0, tavtest::open_cbk, res);
            }));
            ASSERT_EQ(0, o.ret) << o.err;
            struct stat st;
            CbkResult a;
            ASSERT_TRUE(call(
                &a, [&](CbkResult *res) { return tav_fgetattr_async(o.fd, &st, tavtest::common_cbk, res); }));
            EXPECT_EQ(0, a.ret);
            EXPECT_EQ((off_t)(f->blocks.size() * MiB), st.st_size);
            // Its contents, through the public read.
            for (size_t i = 0; i < f->blocks.size(); i++) {
                Bytes got;
                CbkResult rd = read_block(o.fd, i, &got);
                EXPECT_EQ((int64_t)MiB, rd.ret) << "read of block " << i << ": " << rd.err;
                EXPECT_TRUE(got == pattern(*f, i)) << "block " << i << " reads back different";
            }
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
    // Reads logical block `i` of an open file with tav_preadv_async into
    // `out` (as much as the read returned).
    CbkResult read_block(tav_fd *fd, size_t i, Bytes *out) {
        void *buf = nullptr;
        EXPECT_EQ(0, posix_memalign(&buf, 4096, MiB));
        memset(buf, 0xEE, MiB);
        struct iovec iov = {buf, MiB};
        CbkResult r;
        call(&r, [&](CbkResult *res) {
            return tav_preadv_async(fd, &iov, 1, static_cast<off_t>(i * MiB), nullptr, nullptr,
                                    tavtest::common_cbk, res);
        });
        const uint8_t *p = static_cast<const uint8_t *>(buf);
        out->assign(p, p + (r.ret > 0 ? static_cast<size_t>(r.ret) : 0));
        free(buf);
        return r;
    }
    // Opens a file whose metadata was damaged and reads all of it: any
    // result will do, as long as the instance survives it.
    void poke(tav *inst, const File *f) {
        CbkResult o;
        call(&o, [&](CbkResult *res) {
            return tav_open_async(inst, f->gfid, O_RDWR, 0, tavtest::open_cbk, res);
        });
        if (o.ret != 0 || o.fd == nullptr)
            return;
        for (size_t i = 0; i < f->blocks.size(); i++) {
            Bytes got;
            read_block(o.fd, i, &got);
        }
        EXPECT_EQ(0, tav_close(o.fd));
    }
    // Whole blocks the backing holds for the instance.
    uint64_t backing_blocks() const {
        struct stat st;
        EXPECT_EQ(0, stat(dev_.c_str(), &st));
        return static_cast<uint64_t>(st.st_size) > base_ ? (static_cast<uint64_t>(st.st_size) - base_) / MiB
                                                         : 0;
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

// The seed of a randomised test: TAV_DAMAGE_SEED, or the clock.
inline uint64_t damage_seed() {
    const char *env = getenv("TAV_DAMAGE_SEED");
    return env ? strtoull(env, nullptr, 0) : tavtest::now_ns();
}

} // namespace damagetest

#endif
