// The consistency check at instance start, on real files through libaio:
// inodes, extent blocks and zone maps are laid out by hand from the format
// tables, an instance is started, and the zone map and superblock the check
// leaves are read back from the file.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "instance.h"
#include "load.h"
#include "fsck.h"
#include "progress.h"
#include "ondisk_util.h"
#include "support/bytes.h"
#include "support/device.h"
#include "support/fault_engine.h"
#include "support/instance.h"
#include "support/log_capture.h"
#include "support/loop.h"
#include "memory.h"
#include "paths.h"

namespace {

using ondisk::MiB;
using tavtest::CbkResult;
using tavtest::get64;

constexpr uint64_t kBlocks = 200; // one inode group: data blocks 162..199
constexpr uint8_t kUsed = 0xFF;

std::array<uint8_t, 16> gfid_of(uint64_t n) {
    std::array<uint8_t, 16> g{};
    tavtest::put64(g.data(), n + 1);
    g[15] = 0x5A;
    return g;
}

// The power-loss marker of a device file: present until removed, as from
// one start to the next without a restart of the machine.
void set_marker(const std::string &dev, bool present) {
    key_t key = ftok(dev.c_str(), 2);
    ASSERT_NE(-1, key);
    int id = semget(key, 1, present ? IPC_CREAT | 0666 : 0);
    if (present)
        ASSERT_GE(id, 0);
    else if (id >= 0)
        semctl(id, 0, IPC_RMID);
}

class FsckTest : public tavtest::InstanceTest {
public:
    void SetUp() override {
        InstanceTest::SetUp();
        layout_ = ondisk::layout_of(kBlocks, 1);
        cfg_ = dir_.path() + "/cfg";
        zmap_.assign(kBlocks, 0);
    }
    void TearDown() override {
        set_marker(dev_, false);
        tav_progress_set_interval_ms(TAV_PROGRESS_INTERVAL_MS);
        InstanceTest::TearDown();
    }

    void flag(const char *name, bool on) {
        std::string p = cfg_ + "/" + name;
        if (on)
            tavtest::make_file(p, 0);
        else
            unlink(p.c_str());
    }
    // A file of BLOCK maps (logical block -> physical block) in extent block
    // `ext`, or of SLICE_V2 maps ((iblock * 8 + islice) -> (block, slice)).
    void block_file(uint64_t ino, uint64_t ext, const std::map<uint64_t, uint64_t> &maps,
                    uint64_t state = 2) {
        auto img = ondisk::block_extent_image(maps);
        tavtest::write_file_bytes(dev_, ext * MiB, img.data(), img.size());
        inode(ino, ext, state, 0, 0);
    }
    void slice_file(uint64_t ino, uint64_t ext, const std::map<uint64_t, std::pair<uint64_t, int>> &maps) {
        auto img = ondisk::slice_v2_extent_image(maps);
        tavtest::write_file_bytes(dev_, ext * MiB, img.data(), img.size());
        inode(ino, ext, 2, 0x20, 2);
    }
    // A file of the older SLICE maps (64-byte entries, 16 logical blocks
    // per extent page).
    void slice_v1_file(uint64_t ino, uint64_t ext, const std::map<uint64_t, std::pair<uint64_t, int>> &maps) {
        auto img = ondisk::slice_v1_extent_image(maps);
        tavtest::write_file_bytes(dev_, ext * MiB, img.data(), img.size());
        inode(ino, ext, 2, 0x20, 0);
    }
    void inode(uint64_t ino, uint64_t ext, uint64_t state, uint64_t type, uint64_t blkmap_type) {
        ondisk::InodeFields f;
        f.ino = ino;
        f.state = state;
        f.generation = 1;
        f.type = type;
        f.blkmap_type = blkmap_type;
        f.mode = 0100644;
        f.gfid = gfid_of(ino);
        f.extents[0] = ext;
        ondisk::write_inode(dev_, f);
    }
    void write_zmap() {
        auto img = ondisk::v2_zmap_image(layout_.bitmap_blocks, zmap_);
        tavtest::write_file_bytes(dev_, layout_.first_bitmap * MiB, img.data(), img.size());
    }
    // The map bytes of zone-map page 0 on the device.
    std::vector<uint8_t> zmap_on_disk() const {
        auto p = tavtest::read_file_bytes(dev_, layout_.first_bitmap * MiB + 16, kBlocks);
        return p;
    }
    uint64_t sb_field(size_t off) const {
        // The copy with the larger generation is the current one.
        auto a = tavtest::read_file_bytes(dev_, 0x10000, 4096),
             b = tavtest::read_file_bytes(dev_, 0x12000, 4096);
        return get64(get64(b, 24) > get64(a, 24) ? b : a, off);
    }
    // Two files and their blocks: a BLOCK file (extent block 163, data 165
    // and 166) and a SLICE_V2 file (extent block 164, slices 0 and 3 of 171).
    void two_files() {
        block_file(1, 163, {{0, 165}, {1, 166}});
        slice_file(2, 164, {{0, {171, 0}}, {1, {171, 3}}});
        for (uint64_t b : {163, 164, 165, 166})
            zmap_[b] = kUsed;
        zmap_[171] = 0x09;
    }
    // The two files afresh, and block 170 in use without an owner: a leak
    // that must stay wherever the check fails.
    void two_files_and_a_leak() {
        zmap_.assign(kBlocks, 0);
        two_files();
        zmap_[170] = kUsed;
    }
    CbkResult start(bool expect_ok = true) {
        CbkResult r;
        EXPECT_EQ(0, init(dev_, O_RDWR, &r, expect_ok));
        return r;
    }
    size_t log_count(const std::string &needle) const {
        return tavtest::count_lines_with(log_lines(), needle);
    }
    const std::string &device() const { return dev_; }
    void flip(uint64_t off) const {
        auto b = tavtest::read_file_bytes(dev_, off, 1);
        b[0] ^= 1;
        tavtest::write_file_bytes(dev_, off, b.data(), 1);
    }

    ondisk::Layout layout_;
    std::string cfg_;
    std::vector<uint8_t> zmap_;
};

TEST_F(FsckTest, LeaksOfWholeBlocksAndSingleSlicesAreFreed) {
    two_files();
    zmap_[170] = kUsed; // no owner: the whole block leaks
    zmap_[171] = 0x29;  // slices 0, 3 and 5 in use; 5 has no owner
    zmap_[172] = 0x04;  // a slice block none of whose slices has an owner
    // A file of SLICE maps: slice 1 of block 173 in logical block 0, slice 6
    // in logical block 75 (extent page 4); slice 0 of 173 has no owner.
    slice_v1_file(3, 168, {{1, {173, 1}}, {600, {173, 6}}});
    zmap_[168] = kUsed;
    zmap_[173] = 0x43;
    write_zmap();
    ondisk::SbFields f;
    f.blocks = kBlocks;
    f.groups = 1;
    f.path = dev_;
    f.crash = 7;
    f.ts_fsck = 1000000000ULL;
    ondisk::write_sb_copies(dev_, f);
    flag(TAV_FSCK_FORCE_FLAG, true);

    const uint64_t t0 = tavtest::now_ns();
    CbkResult r = start();
    ASSERT_EQ(0, r.ret);
    EXPECT_TRUE(log_contains("fsck triggered due to flag file " + cfg_ + "/tav_fsck_force"));
    EXPECT_TRUE(
        log_contains("checking inode gfid:02000000-0000-0000-0000-00000000005a, ino:1, compressible:false"));
    EXPECT_TRUE(
        log_contains("checking inode gfid:03000000-0000-0000-0000-00000000005a, ino:2, compressible:true"));
    EXPECT_TRUE(
        log_contains("checking inode gfid:04000000-0000-0000-0000-00000000005a, ino:3, compressible:true"));
    EXPECT_TRUE(log_contains("slice leakage count: 11."));
    EXPECT_TRUE(log_contains("fsck succeed, blocks released: 2, time consumed: "));
    fini(r.instance);

    std::vector<uint8_t> want = zmap_;
    want[170] = 0;
    want[171] = 0x09;
    want[172] = 0;
    want[173] = 0x42;
    EXPECT_EQ(want, zmap_on_disk());
    EXPECT_EQ(0u, sb_field(200)) << "s_crash_count";
    EXPECT_GE(sb_field(176), t0) << "s_ts_fsck";
}

TEST_F(FsckTest, UsedBlocksMarkedFreeRefuseTheStartAndChangeNothing) {
    struct Case {
        const char *name;
        std::function<void(FsckTest *)> damage;
        const char *message;
    } cases[] = {
        {"data block", [](FsckTest *t) { t->zmap_[165] = 0; },
         "fatel error: data block:165 used, but zmap marked unused."},
        {"extent block", [](FsckTest *t) { t->zmap_[163] = 0; },
         "fatel error: data block:163 used, but zmap marked unused."},
        {"slice", [](FsckTest *t) { t->zmap_[171] = 0x01; },
         "fatel error: data block:171 used, but zmap marked unused."},
        {"block in the inode table",
         [](FsckTest *t) {
             t->block_file(1, 163, {{0, 165}, {1, 100}});
         },
         "fatel error: data block:100 used by ino:1, but outside the data area [162-199]."},
        {"block beyond the device",
         [](FsckTest *t) {
             t->block_file(1, 163, {{0, 165}, {1, 5000}});
         },
         "fatel error: data block:5000 used by ino:1, but outside the data area [162-199]."},
    };
    flag(TAV_FSCK_FORCE_FLAG, true);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        two_files_and_a_leak();
        c.damage(this);
        write_zmap();
        const uint64_t ts_fsck = sb_field(176);
        CbkResult r = start(false);
        EXPECT_EQ(-1, r.ret);
        EXPECT_EQ((uint32_t)EFAULT, r.err);
        EXPECT_TRUE(log_contains(c.message));
        EXPECT_EQ(zmap_, zmap_on_disk()) << "nothing freed";
        EXPECT_EQ(ts_fsck, sb_field(176)) << "not stamped";
    }
}

TEST_F(FsckTest, BlockClaimedTwiceRefusesTheStartAndChangesNothing) {
    // The process lives on (it may serve other devices); the start is
    // refused at the first second owner, before the leak of block 170 is
    // freed or the superblock stamped.
    struct Case {
        const char *name;
        std::function<void(FsckTest *)> second_owner;
        std::string message;
    } cases[] = {
        {"extent block", [](FsckTest *t) { t->block_file(3, 163, {}); },
         "fatel error: pblock reuse, ino:3, i_extents[0], pblock:163"},
        {"extent block used as data",
         [](FsckTest *t) {
             t->block_file(3, 167, {{4, 164}});
         },
         "fatel error: pblock reuse, ino:3, index:0, iblock:4, pblock:164"},
        {"data block",
         [](FsckTest *t) {
             t->block_file(3, 167, {{9, 166}});
         },
         "fatel error: pblock reuse, ino:3, index:0, iblock:9, pblock:166"},
        {"slice",
         [](FsckTest *t) {
             t->slice_file(3, 167, {{600, {171, 3}}});
         },
         "fatel error: pslice reuse, ino:3, index:1, iblock:75, islice:0, pblock:171, pslice:3"},
        {"slice of an older slice map",
         [](FsckTest *t) {
             t->slice_v1_file(3, 167, {{603, {171, 0}}});
         },
         "fatel error: pslice reuse, ino:3, index:4, iblock:75, islice:3, pblock:171, pslice:0"},
    };
    flag(TAV_FSCK_FORCE_FLAG, true);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        two_files_and_a_leak();
        zmap_[167] = kUsed;
        c.second_owner(this);
        write_zmap();
        const uint64_t ts_fsck = sb_field(176);
        const size_t before = log_lines().size();
        CbkResult r = start(false);
        EXPECT_EQ(-1, r.ret);
        EXPECT_EQ((uint32_t)EFAULT, r.err);
        auto lines = log_lines();
        lines.erase(lines.begin(), lines.begin() + std::min(before, lines.size()));
        EXPECT_EQ(1u, tavtest::count_lines_with(lines, "reuse, ino:")) << "stops at the first";
        EXPECT_EQ(1u, tavtest::count_lines_with(lines, c.message));
        EXPECT_EQ(1u, tavtest::count_lines_with(lines, "fsck failed: -14("));
        EXPECT_EQ(0u, tavtest::count_lines_with(lines, "slice leakage count"));
        EXPECT_EQ(zmap_, zmap_on_disk()) << "nothing freed";
        EXPECT_EQ(ts_fsck, sb_field(176)) << "not stamped";
    }
}

TEST_F(FsckTest, FirstStartAfterARestartChecksAndTheSecondDoesNot) {
    two_files();
    write_zmap();
    set_marker(dev_, false); // the machine restarted
    CbkResult a = start();
    ASSERT_EQ(0, a.ret);
    fini(a.instance);
    EXPECT_EQ(1u, log_count("fsck triggered because of the recent power loss"));
    EXPECT_EQ(1u, log_count("fsck succeed, blocks released: 0"));
    CbkResult b = start();
    ASSERT_EQ(0, b.ret);
    fini(b.instance);
    EXPECT_EQ(1u, log_count("fsck succeed")) << "the marker outlives the instance";
}

TEST_F(FsckTest, DecisionRules) {
    flag(TAV_FSCK_DISABLE_FLAG, true);
    CbkResult r = start();
    ASSERT_EQ(0, r.ret);
    tav *inst = r.instance;
    const uint64_t now = tavtest::now_ns(), day = 86400ULL * 1000000000ULL;
    struct Case {
        const char *name;
        int flags;
        bool disable, force;
        uint32_t error_inodes;
        bool marker;
        uint64_t fsck_age, interval, crash, limit;
        int want;
        const char *message;
    } cases[] = {
        {"read-only", O_RDONLY, false, true, 0, false, 0, 0, 0, 0, 0, nullptr},
        {"disabled", O_RDWR, true, true, 0, false, 40 * day, 0, 500, 0, 0,
         "fsck is disabled due to flag file "},
        {"forced", O_RDWR, false, true, 3, true, 0, 0, 0, 0, 1, "fsck triggered due to flag file "},
        {"error inodes", O_RDWR, false, false, 2, false, 40 * day, 0, 0, 0, 0,
         "fsck is rejected because itable has 2 error inodes"},
        {"power loss", O_RDWR, false, false, 0, false, 0, 0, 0, 0, 1,
         "fsck triggered because of the recent power loss"},
        {"default interval passed", O_RDWR, false, false, 0, true, 31 * day, 0, 0, 0, 1,
         " seconds (31 days) ago, and limit interval is 2592000 seconds (30 days)"},
        {"default interval not passed", O_RDWR, false, false, 0, true, 29 * day, 0, 0, 0, 0, nullptr},
        {"own interval passed", O_RDWR, false, false, 0, true, 2 * day, 86400, 0, 0, 1,
         "and limit interval is 86400 seconds (1 days)"},
        {"default crash limit passed", O_RDWR, false, false, 0, true, 0, 0, 101, 0, 1,
         "fsck triggered because crash count since last fsck is 101, and limit value is 100"},
        {"default crash limit reached", O_RDWR, false, false, 0, true, 0, 0, 100, 0, 0, nullptr},
        {"own crash limit passed", O_RDWR, false, false, 0, true, 0, 0, 6, 5, 1,
         "crash count since last fsck is 6, and limit value is 5"},
        {"nothing due", O_RDWR, false, false, 0, true, 0, 0, 0, 0, 0, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        flag(TAV_FSCK_DISABLE_FLAG, c.disable);
        flag(TAV_FSCK_FORCE_FLAG, c.force);
        set_marker(dev_, c.marker);
        inst->flags = c.flags;
        inst->itable.error_inode_count = c.error_inodes;
        int got = -1;
        const size_t before = log_lines().size();
        tavtest::run_coroutine([&] {
            ASSERT_EQ(0, tav_sb_read(&inst->sb));
            tav_sb_ondisk *d = &inst->sb.tav_disk_sb;
            d->s_ts_fsck = now - c.fsck_age;
            d->s_fsck_interval = c.interval;
            d->s_crash_count = c.crash;
            d->s_crash_limit = c.limit;
            ASSERT_EQ(0, tav_sb_write(&inst->sb));
            got = tav_need_fsck(inst);
        });
        EXPECT_EQ(c.want, got);
        auto lines = log_lines();
        lines.erase(lines.begin(), lines.begin() + std::min(before, lines.size()));
        if (c.message) {
            EXPECT_EQ(1u, tavtest::count_lines_with(lines, c.message));
        }
    }
    inst->flags = O_RDWR;
    inst->itable.error_inode_count = 0;

    // Without the configuration directory the flags are simply absent.
    flag(TAV_FSCK_DISABLE_FLAG, false);
    flag(TAV_FSCK_FORCE_FLAG, false);
    tav_paths_override(nullptr, (dir_.path() + "/no-such-dir").c_str(), nullptr);
    int got = -1;
    tavtest::run_coroutine([&] { got = tav_need_fsck(inst); });
    EXPECT_EQ(0, got);
    tav_paths_override(nullptr, cfg_.c_str(), nullptr);
    fini(inst);
}

TEST_F(FsckTest, UnreadableSuperblockDecidesAgainstTheCheck) {
    setenv("TAV_IOENGINE", tavtest::kFaultEngine, 1);
    tavtest::fault_engine().reset();
    flag(TAV_FSCK_DISABLE_FLAG, true);
    CbkResult r = start();
    ASSERT_EQ(0, r.ret);
    flag(TAV_FSCK_DISABLE_FLAG, false);
    tavtest::fault_engine().fail_reads(0, MiB);
    r.instance->sb.mbuf.state = MBUF_STATE_STALE; // the next read goes to the device
    int got = -1;
    tavtest::run_coroutine([&] { got = tav_need_fsck(r.instance); });
    EXPECT_EQ(0, got);
    EXPECT_TRUE(log_contains("read super block failed: -5("));
    tavtest::fault_engine().reset();
    fini(r.instance);
}

TEST_F(FsckTest, FilesBeingDestroyedKeepTheirBlocksAndLoseTheirLeftoverExtentBlocks) {
    // An unlinked file whose data is still mapped: its blocks belong to it
    // until the unlink timer releases them.  A file whose data was released
    // and whose state says so (PBLOCK_FREE): its destruction resumes at the
    // last step and never frees its extent block, which only the check
    // reclaims.
    block_file(1, 175, {{0, 176}}, 0 /* UNLINK */);
    block_file(2, 177, {}, 5 /* PBLOCK_FREE */);
    for (uint64_t b : {175, 176, 177})
        zmap_[b] = kUsed;
    write_zmap();
    flag(TAV_FSCK_FORCE_FLAG, true);
    CbkResult r = start();
    ASSERT_EQ(0, r.ret);
    EXPECT_TRUE(log_contains("fsck succeed, blocks released: 1,"));
    const uint8_t *map = r.instance->zmap.pages[0].bitmaps;
    EXPECT_EQ(kUsed, map[175]);
    EXPECT_EQ(kUsed, map[176]);
    EXPECT_EQ(0, map[177]);
    // The unlink timer destroys both files and frees each block once.
    EXPECT_TRUE(tavtest::run_until([&] { return log_count("inode destroy succeed") == 2; }));
    EXPECT_EQ(0, map[175]);
    EXPECT_EQ(0, map[176]);
    EXPECT_FALSE(log_contains("free inode extent:"));
    EXPECT_FALSE(log_contains("not in use"));
    fini(r.instance);
}

TEST_F(FsckTest, DamageMetDuringTheCheckEndsItWithoutChanges) {
    struct Case {
        const char *name;
        std::function<void(FsckTest *)> damage;
        const char *message;
        const char *result;
    } cases[] = {
        {"extent page",
         [](FsckTest *t) {
             // One entry of extent page 5 with a bad checksum.
             t->flip(163 * MiB + 5 * 8192 + 3 * 64 + 20);
         },
         "get extent page failed, ino:1, index:5", "fsck failed: -5("},
        {"extent block unreadable",
         [](FsckTest *) {
             // File 1's extent block cannot be read at all: the check must
             // not take the unread entries for empty ones.
             setenv("TAV_IOENGINE", tavtest::kFaultEngine, 1);
             tavtest::fault_engine().reset();
             tavtest::fault_engine().fail_reads(163 * MiB, MiB);
         },
         "get extent page failed, ino:1, index:0", "fsck failed: -5("},
        {"inode copy",
         [](FsckTest *t) {
             // Copy B of file 2's slot is garbage: the inode loads in error.
             std::vector<uint8_t> junk(4096, 0xA5);
             tavtest::write_file_bytes(t->device(), MiB + 2 * 8192 + 4096, junk.data(), junk.size());
         },
         "INO: 2 A/B is ok", "fsck failed: -305"},
    };
    flag(TAV_FSCK_FORCE_FLAG, true);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        two_files_and_a_leak();
        write_zmap();
        c.damage(this);
        const uint64_t ts_fsck = sb_field(176);
        CbkResult r = start();
        ASSERT_EQ(0, r.ret) << "the start goes on";
        EXPECT_TRUE(log_contains(c.message));
        EXPECT_TRUE(log_contains(c.result));
        fini(r.instance);
        setenv("TAV_IOENGINE", "libaio", 1);
        EXPECT_EQ(zmap_, zmap_on_disk()) << "nothing freed";
        EXPECT_EQ(ts_fsck, sb_field(176)) << "not stamped";
    }
}

TEST_F(FsckTest, LargeDeviceIsCheckedInBoundedMemoryWithProgress) {
    // 3 TiB, 16384 files; 64 of them with an extent block and 16 data blocks
    // spread over the device, the others empty; a leaked block every 100000.
    const uint64_t blocks = 3ULL << 20;
    dev_ = dir_.path() + "/large.img";
    tavtest::format_device(dev_, blocks, 1);
    layout_ = ondisk::layout_of(blocks, 1);
    zmap_.assign(blocks, 0);
    const uint64_t files = 16384, with_data = 64;
    for (uint64_t blk = 0; blk < files / 128; blk++) {
        auto buf = tavtest::read_file_bytes(dev_, (1 + blk) * MiB, MiB);
        for (uint64_t j = 0; j < 128; j++) {
            const uint64_t ino = blk * 128 + j;
            ondisk::InodeFields f;
            f.ino = ino;
            f.state = 2;
            f.generation = 1;
            f.mode = 0100644;
            f.gfid = gfid_of(ino);
            if (ino < with_data) {
                const uint64_t ext = 1000 + ino * 40000;
                f.extents[0] = ext;
                std::map<uint64_t, uint64_t> maps;
                for (uint64_t k = 0; k < 16; k++)
                    maps[k * 1000] = ext + 1 + k * 7;
                auto img = ondisk::block_extent_image(maps);
                tavtest::write_file_bytes(dev_, ext * MiB, img.data(), img.size());
                zmap_[ext] = kUsed;
                for (const auto &m : maps)
                    zmap_[m.second] = kUsed;
            }
            auto page = ondisk::expected_inode_page(f);
            std::copy(page.begin(), page.end(), buf.begin() + j * 8192);
        }
        tavtest::write_file_bytes(dev_, (1 + blk) * MiB, buf.data(), buf.size());
    }
    uint32_t leaks = 0;
    for (uint64_t b = 100000 + 3; b < blocks; b += 100000, leaks++)
        zmap_[b] = kUsed;
    write_zmap();

    flag(TAV_FSCK_FORCE_FLAG, true);
    setenv("TAV_LOG_LEVEL", "INFO", 1);
    setenv("TAV_ACCT", "1", 1);
    tav_progress_set_interval_ms(0);
    CbkResult r = start();
    unsetenv("TAV_ACCT");
    ASSERT_EQ(0, r.ret);
    EXPECT_TRUE(log_contains("fsck succeed, blocks released: " + std::to_string(leaks) + ","));
    EXPECT_EQ(files, log_count("checking inode gfid:"));
    // With reports unthrottled, one per file visited and one at the end.
    EXPECT_GE(log_count("fsck inodes progress: "), files);
    EXPECT_TRUE(log_contains("fsck inodes progress: 16384/16384 (100%)"));
    EXPECT_TRUE(log_contains("fsck zmap pages progress: 772/772 (100%)"));
    // The check holds at most one extent block of entries at a time, and a
    // reference map of one byte per block of the device (3 MiB here), not
    // one per block the zone map's 32 blocks of pages could describe
    // (32 MiB).  Its buffers are gone after the start: what the peak of
    // their tag exceeds the live bytes by is what the check (and the other
    // passing work of the start) needed at most.
    struct Peaks {
        uint64_t extent = 0, other = 0, other_live = 0;
    } peaks;
    ASSERT_EQ(0, tav_mem_info_foreach(
                     [](const tav_mem_info *info, void *p) {
                         Peaks *k = static_cast<Peaks *>(p);
                         if (strcmp(info->name, "TAV_MEM_EXTENT_PAGE") == 0)
                             k->extent = info->max_alloc_size;
                         if (strcmp(info->name, "TAV_MEM_OTHER") == 0) {
                             k->other = info->max_alloc_size;
                             k->other_live = info->total_alloc_size;
                         }
                         return 0;
                     },
                     &peaks));
    EXPECT_GT(peaks.extent, 0u);
    EXPECT_LT(peaks.extent, 2 * MiB);
    EXPECT_GE(peaks.other - peaks.other_live, blocks);
    EXPECT_LT(peaks.other - peaks.other_live, blocks + MiB);
    EXPECT_EQ(0u, r.instance->etable.count);
    fini(r.instance);
}

} // namespace
