// tav_mkfs as a process on real files.  Its image is compared with one laid
// out by hand from the format tables (superblock, zone map, inode pages), then
// opened through the library as an instance start does; its refusals leave
// the file as it was.
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "kvol.h"
#include "ondisk_util.h"
#include "super.h"
#include "support/bytes.h"
#include "support/device.h"
#include "support/loop.h"
#include "memory.h"
#include "support/process.h"
#include "zmap.h"

namespace {

using ondisk::MiB;
using tavtest::get64;
using tavtest::now_ns;
using tavtest::put32;
using tavtest::put64;
using tavtest::xxh64_1011;

using Result = tavtest::ProcessResult;

// The default page of a never-used inode slot, from the inode tables.
std::vector<uint8_t> expected_inode_page(uint64_t t) {
    ondisk::InodeFields f;
    f.time = t;
    return ondisk::expected_inode_page(f);
}

class MkfsTest : public tavtest::DeviceTest {
protected:
    void SetUp() override { path_ = dir_.path() + "/dev.img"; }

    Result mkfs(const std::string &args) {
        return tavtest::run_command(dir_.path(),
                                    std::string("env -u TAV_IOENGINE ") + TAV_MKFS_PATH + " " + args);
    }
    bool exists() const {
        struct stat st;
        return stat(path_.c_str(), &st) == 0;
    }
    uint64_t file_size() const {
        struct stat st;
        return stat(path_.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
    }
    // Compares every 4096-byte page of blocks [first, first + n) with `page`.
    void expect_pages(uint64_t first, uint64_t n, const std::vector<uint8_t> &page, const char *what) {
        for (uint64_t b = first; b < first + n; b++) {
            auto blk = read_bytes(b * MiB, MiB);
            for (size_t off = 0; off < MiB; off += 4096)
                ASSERT_TRUE(std::equal(page.begin(), page.end(), blk.begin() + off))
                    << what << ": block " << b << " page " << off / 4096;
        }
    }
};

TEST_F(MkfsTest, Help) {
    Result r = mkfs("--help");
    EXPECT_EQ(0, r.status);
    EXPECT_NE(std::string::npos,
              r.out.find("usage: tav_mkfs [-i libaio|kvol] [-s SIZE] [-g INODE_GROUPS] [-f] PATH"));
    EXPECT_NE(std::string::npos, r.out.find("--inode-groups"));
    r = mkfs("");
    EXPECT_EQ(2, r.status);
    EXPECT_NE(std::string::npos, r.err.find("usage:"));
}

TEST_F(MkfsTest, ImageMatchesTheFormatTablesAndLoads) {
    uint64_t before = now_ns();
    Result r = mkfs("-i libaio -s 1100M " + path_);
    uint64_t after = now_ns();
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("zone map:         blocks 1025-1056 (8192 pages)")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("data blocks:      1058-1099 (42 blocks)")) << r.out;
    EXPECT_EQ(1100 * MiB, file_size());

    // Block 0: both copies, the rest zero; the backup in block 1057.
    auto blk0 = read_bytes(0, MiB);
    ondisk::SbFields f;
    f.blocks = 1100;
    f.groups = 8;
    f.path = path_;
    f.ts_format = get64(blk0, 0x10000 + 184);
    f.ts_fsck = f.ts_modify = f.ts_format;
    EXPECT_GE(f.ts_format, before);
    EXPECT_LE(f.ts_format, after);
    auto sb = ondisk::expected_sb_page(f);
    std::vector<uint8_t> expect(MiB, 0);
    std::copy(sb.begin(), sb.end(), expect.begin() + 0x10000);
    std::copy(sb.begin(), sb.end(), expect.begin() + 0x12000);
    EXPECT_TRUE(expect == blk0) << "block 0";
    EXPECT_TRUE(expect == read_bytes(1057 * MiB, MiB)) << "backup block";

    // Inode group 0: blocks 1..128, every copy of every slot a fresh page.
    uint64_t t = get64(read_bytes(MiB, 4096), 136);
    EXPECT_GE(t, before);
    EXPECT_LE(t, after);
    expect_pages(1, 128, expected_inode_page(t), "inode group 0");
    EXPECT_EQ(std::vector<uint8_t>(MiB, 0), read_bytes(129 * MiB, MiB)) << "group 1 is formatted lazily";
    // Zone map: 32 blocks of empty pages.
    expect_pages(1025, 32, ondisk::expected_zmap_page(), "zone map");
    EXPECT_EQ(std::vector<uint8_t>(MiB, 0), read_bytes(1058 * MiB, MiB)) << "data area";

    // What an instance start reads.
    open_device(0);
    tav_sb_info sbi = {};
    zmap_t zmap = {};
    static const tav_zmap_fops fops = {[](zmap_t *z, blkno_t *min, blkno_t *max) {
                                           return tav_sb_blkno_limit(static_cast<tav_sb_info *>(z->priv), min,
                                                                     max);
                                       },
                                       nullptr, nullptr, nullptr};
    co([&] {
        ASSERT_EQ(0, tav_sb_load(&sbi));
        EXPECT_EQ(0, tav_sb_mark_running(&sbi));
        zmap_init(&zmap, &fops, sbi.tav_disk_sb.s_first_bitmap_block);
        zmap.priv = &sbi;
        ASSERT_EQ(0, zmap_load(&zmap, static_cast<uint32_t>(sbi.tav_disk_sb.s_bitmap_blocks * 256)));
        EXPECT_EQ(0u, zmap_blocks_allocated(&zmap));
        blkno_t pblock = 0;
        uint32_t count = 50;
        EXPECT_EQ(0, zmap_alloc_blocks(&zmap, 0, 0, &pblock, &count));
        EXPECT_EQ(1064u, pblock);
        EXPECT_EQ(36u, count); // 1064..1099, the end of the device
    });
    zmap_destroy(&zmap);
    tav_sb_destroy(&sbi);
}

TEST_F(MkfsTest, RefusalsLeaveTheDeviceAlone) {
    struct Case {
        std::string args;
        const char *message;
        int status;
    };
    // Nothing exists yet: none of these may create the file.
    const Case fresh[] = {
        {"-i libaio " + path_, "does not exist: give -s SIZE to create it", 1},
        {"-i libaio -s 1000M " + path_, "is too small: 1000 MiB, but 8 inode groups need at least 1059 MiB",
         1},
        {"-i libaio -g 1 -s 162M " + path_, "is too small: 162 MiB, but 1 inode group needs at least 163 MiB",
         1},
        {"-i libaio -g 9 -s 2G " + path_, "invalid inode group count '9': it must be between 1 and 8", 1},
        {"-i libaio -g 0 -s 2G " + path_, "invalid inode group count '0'", 1},
        {"-i libaio -s 12Q " + path_, "invalid size '12Q'", 1},
        {"-i libaio -s 100 " + path_, "invalid size '100'", 1},
        {"-i kvol -s 1000M " + path_, "is too small for a volume: 1048576000 bytes, at least 1 GiB", 1},
        {"-i kvol -s 1200M " + path_, "is too small: 896 MiB, but 8 inode groups need at least 1059 MiB", 1},
        {"-i nope -s 2G " + path_, "unknown ioengine \"nope\"", 1},
        {"-i libaio -s 2G " + dir_.path(), "is neither a regular file nor a block device", 1},
    };
    for (const Case &c : fresh) {
        SCOPED_TRACE(c.args);
        Result r = mkfs(c.args);
        EXPECT_EQ(c.status, r.status);
        EXPECT_NE(std::string::npos, r.err.find(c.message)) << r.err;
        EXPECT_FALSE(exists());
    }

    // An instance is there: kept without -f, replaced with it.
    ASSERT_EQ(0, mkfs("-i libaio -g 1 -s 200M " + path_).status);
    const auto blk0 = read_bytes(0, MiB);
    Result r = mkfs("-i libaio -g 1 -s 200M " + path_);
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("already holds a tav instance; use -f to overwrite it")) << r.err;
    EXPECT_EQ(blk0, read_bytes(0, MiB));
    // Copy A damaged, copy B still legal: still an instance.
    uint8_t junk = 0x5a;
    write_bytes(0x10000 + 90, &junk, 1);
    EXPECT_EQ(1, mkfs("-i libaio -g 1 " + path_).status);
    r = mkfs("-f -i libaio -g 1 " + path_); // size taken from the file
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ(200u, get64(read_bytes(0x10000, 4096), 80));
    EXPECT_EQ(0u, get64(read_bytes(0x10000, 4096), 24));
    r = mkfs("-f -i libaio -g 2 -s 300M " + path_);
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ(2u, get64(read_bytes(0x10000, 4096), 160));
    EXPECT_EQ(300u, get64(read_bytes(0x10000, 4096), 80));
}

TEST_F(MkfsTest, GrowsAShorterFile) {
    tavtest::make_file(path_, 10 * MiB);
    Result r = mkfs("-i libaio -g 1 -s 300M " + path_);
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ(300 * MiB, file_size());
    EXPECT_EQ(300u, get64(read_bytes(0x12000, 4096), 80));
}

// The library's format routine and the tool write the same instance: equal
// bytes everywhere except the time stamps and the checksums that cover them.
TEST_F(MkfsTest, ToolAndLibraryAgree) {
    const uint64_t size = 200 * MiB; // 1 group: data from block 162
    ASSERT_EQ(0, mkfs("-i libaio -g 1 -s 200M " + path_).status);
    auto tool = read_bytes(0, 162 * MiB);

    std::string lib_path = dir_.path() + "/lib.img";
    tavtest::make_file(lib_path, static_cast<off_t>(size));
    std::swap(path_, lib_path);
    open_device(0);
    static uint64_t t;
    t = now_ns();
    tav_sb_format_args args = {200, 1, lib_path.c_str()}; // the tool's path names the instance
    int ret = 1;
    co([&] {
        ret = tav_sb_format_instance(
            &args,
            [](void *, blkno_t ibegin, uint64_t count) {
                auto page = expected_inode_page(t);
                void *buf = tav_iobuf_get(4096, TAV_MEM_OTHER);
                memcpy(buf, page.data(), 4096);
                int r = 0;
                for (uint64_t b = ibegin; b < ibegin + count && r == 0; b++) {
                    struct iovec iov[256];
                    for (auto &v : iov)
                        v = {buf, 4096};
                    r = ioengine_co_pwritevn(ioengine_get_default(), iov, 256, static_cast<off_t>(b * MiB));
                }
                tav_iobuf_put(buf);
                if (r < 0)
                    return r;
                return 0;
            },
            nullptr);
    });
    ASSERT_EQ(0, ret);
    auto lib = read_bytes(0, 162 * MiB);
    ASSERT_EQ(tool.size(), lib.size());

    auto mask = [](std::vector<uint8_t> &img) {
        for (size_t copy : {0x10000, 0x12000, 161 * 0x100000 + 0x10000, 161 * 0x100000 + 0x12000})
            for (size_t off : {0, 168, 176, 184})
                put64(img, copy + off, 0);
        for (size_t pg = MiB; pg < 129 * MiB; pg += 4096)
            for (size_t off : {0, 136, 144, 152})
                put64(img, pg + off, 0);
    };
    mask(tool);
    mask(lib);
    for (size_t off = 0; off < tool.size(); off += MiB)
        ASSERT_TRUE(std::equal(tool.begin() + off, tool.begin() + off + MiB, lib.begin() + off))
            << "block " << off / MiB;
}

} // namespace

namespace {

// With the volume engine the tool first makes a volume, then formats the
// instance on the volume's address space, which starts after the volume's
// metadata (304 MiB into the device).
TEST_F(MkfsTest, OnAVolumeTheInstanceFillsTheAddressSpace) {
    Result r = mkfs("-i kvol -g 1 -s 2G " + path_);
    ASSERT_EQ(0, r.status) << r.err;
    const uint64_t data_start = 304 * MiB;
    const uint64_t va = 2048 * MiB - data_start;

    kvol_t *vol = kvol_init(path_.c_str(), O_RDONLY);
    ASSERT_NE(nullptr, vol);
    kvol_stat_t st;
    ASSERT_EQ(0, kvol_stat(vol, &st));
    EXPECT_EQ(va, st.va_total);
    kvol_fini(vol);

    auto blk0 = read_bytes(data_start, MiB);
    ondisk::SbFields f;
    f.blocks = va / MiB;
    f.groups = 1;
    f.path = path_;
    f.ts_format = get64(blk0, 0x10000 + 184);
    f.ts_fsck = f.ts_modify = f.ts_format;
    auto sb = ondisk::expected_sb_page(f);
    EXPECT_TRUE(std::equal(sb.begin(), sb.end(), blk0.begin() + 0x10000)) << "superblock copy A";
    EXPECT_TRUE(std::equal(sb.begin(), sb.end(), blk0.begin() + 0x12000)) << "superblock copy B";

    r = mkfs("-i kvol -g 1 -s 2G " + path_);
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("already holds a volume; use -f to overwrite it")) << r.err;
    EXPECT_EQ(blk0, read_bytes(data_start, MiB));
    EXPECT_EQ(0, mkfs("-f -i kvol -g 1 -s 2G " + path_).status);
    // The default engine is the volume engine.
    unsetenv("TAV_IOENGINE");
    EXPECT_EQ(0, mkfs("-f -g 1 " + path_).status);
    EXPECT_NE(blk0, read_bytes(data_start, MiB)) << "a new instance, with new time stamps";
}

TEST_F(MkfsTest, VolumeWithOneGoodSuperblockCopyNeedsForce) {
    ASSERT_EQ(0, mkfs("-i kvol -g 1 -s 2G " + path_).status);
    // Copy 1 damaged (a byte of its reserved area): the volume no longer
    // opens, but copy 0 is still a valid superblock.
    uint8_t junk = 0x5a;
    write_bytes(0x1000 + 200, &junk, 1);
    kvol_logger_level(KVOL_LOG_LEVEL_NONE);
    ASSERT_EQ(nullptr, kvol_init(path_.c_str(), O_RDONLY));
    const auto head = read_bytes(0, 0x2000);
    const auto blk0 = read_bytes(304 * MiB, MiB);

    Result r = mkfs("-i kvol -g 1 " + path_);
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("use -f to overwrite it")) << r.err;
    EXPECT_EQ(head, read_bytes(0, 0x2000));
    EXPECT_EQ(blk0, read_bytes(304 * MiB, MiB));

    ASSERT_EQ(0, mkfs("-f -i kvol -g 1 " + path_).status);
    kvol_t *vol = kvol_init(path_.c_str(), O_RDONLY);
    EXPECT_NE(nullptr, vol);
    kvol_fini(vol);
}

} // namespace
