// Superblock on real files through the libaio engine (and a fault-injecting
// plug-in that forwards to it).  Expected pages are laid out by hand from the
// format tables and compared byte for byte with what the code writes; pages
// built by hand are what the code is asked to read.
#include "super.h"

#include <errno.h>

#include <string>
#include <vector>

#include "ondisk_util.h"
#include "support/bytes.h"
#include "support/device.h"
#include "support/log_capture.h"
#include "support/loop.h"
#include "bitarray.h"
#include "xdict.h"

namespace {

using ondisk::MiB;
using tavtest::fault_engine;
using tavtest::get64;
using tavtest::now_ns;
using tavtest::put32;
using tavtest::put64;
using tavtest::xxh64_1011;

constexpr uint64_t kA = 0x10000, kB = 0x12000;
const char kPath[] = "/dev/test-instance";

class SuperTest : public tavtest::DeviceTest {
protected:
    // Sparse: room for the 2,000,000 blocks the tests format.
    void SetUp() override { open_device(2000000 * MiB); }
    void TearDown() override {
        if (loaded_)
            tav_sb_destroy(&sb_);
        DeviceTest::TearDown();
    }

    int format(uint64_t blocks = 2000000, uint64_t groups = 8, const char *path = kPath) {
        tav_sb_format_args a = {blocks, groups, path};
        int ret = 1;
        co([&] { ret = tav_sb_format(&a); });
        return ret;
    }
    int load() {
        if (loaded_)
            tav_sb_destroy(&sb_);
        sb_ = tav_sb_info{};
        int ret = 1;
        co([&] { ret = tav_sb_load(&sb_); });
        loaded_ = ret == 0;
        return ret;
    }
    int read_write() {
        int ret = 1;
        co([&] {
            ret = tav_sb_read(&sb_);
            if (ret == 0)
                ret = tav_sb_write(&sb_);
        });
        return ret;
    }
    std::vector<uint8_t> page(uint64_t off) const { return read_bytes(off, 4096); }
    // The expected page for what is on disk at `off`, with the given
    // generation and the time stamps the write chose.
    ondisk::SbFields fields_on_disk(uint64_t off) const {
        auto p = page(off);
        ondisk::SbFields f;
        f.blocks = 2000000;
        f.path = kPath;
        f.generation = get64(p, 24);
        f.state = get64(p, 64);
        f.active = get64(p, 152);
        f.crash = get64(p, 200);
        f.ts_modify = get64(p, 168);
        f.ts_fsck = get64(p, 176);
        f.ts_format = get64(p, 184);
        return f;
    }

    tav_sb_info sb_ = {};
    bool loaded_ = false;
};

TEST_F(SuperTest, LayoutFollowsTheTable) {
    struct Row {
        uint64_t blocks, groups, inode_blocks, first_bitmap, bitmap_blocks, first_data;
    };
    const Row rows[] = {
        {2000000, 8, 1024, 1025, 32, 1058},
        {33423360, 8, 1024, 1025, 32, 1058}, // 8192 pages: the 32 blocks are full
        {33423361, 8, 1024, 1025, 33, 1059}, // one page more needs a 33rd block
        {10000, 1, 128, 129, 32, 162},
        {1059, 8, 1024, 1025, 32, 1058}, // the smallest instance: one data block
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.blocks);
        tav_sb_ondisk d = {};
        d.s_blocks_count = r.blocks;
        d.s_inode_max_group = r.groups;
        tav_sb_fill_default(&d);
        EXPECT_EQ(r.inode_blocks, d.s_inode_blocks);
        EXPECT_EQ(r.first_bitmap, d.s_first_bitmap_block);
        EXPECT_EQ(r.bitmap_blocks, d.s_bitmap_blocks);
        EXPECT_EQ(r.first_data, d.s_first_data_block);
        EXPECT_EQ(16384 * r.groups, d.s_inode_max_count);
        EXPECT_EQ(0, tav_sb_check_geometry(&d));
    }
}

TEST_F(SuperTest, FormatRefusesLayoutsThatCannotWork) {
    struct Case {
        uint64_t blocks, groups;
        const char *path;
        const char *message;
    };
    const Case cases[] = {
        {2000000, 0, kPath, "inode max group must be between 1 and 8"},
        {2000000, 9, kPath, "inode max group must be between 1 and 8"},
        {1058, 8, kPath, "format file min blocks_count is : 1059. format blocks count:1058"},
        {500, 8, kPath, "format file min blocks_count is : 1059. format blocks count:500"},
        {162, 1, kPath, "format file min blocks_count is : 163. format blocks count:162"},
        {0, 8, kPath, "format arguments incomplete"},
        {2000000, 8, nullptr, "format arguments incomplete"},
        {2000001, 8, kPath, "format blocks count:2000001 exceeds the device: 2000000 blocks"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.message);
        tavtest::LogCapture log;
        EXPECT_EQ(-EINVAL, format(c.blocks, c.groups, c.path));
        EXPECT_TRUE(log.contains(c.message)) << log.text();
    }
    // Nothing was written.
    EXPECT_EQ(std::vector<uint8_t>(MiB, 0), read_bytes(0, MiB));
    EXPECT_EQ(0, format(1059, 8));
}

TEST_F(SuperTest, FormatWritesBlockZeroAndItsBackup) {
    uint64_t before = now_ns();
    ASSERT_EQ(0, format());
    uint64_t after = now_ns();

    ondisk::SbFields f = fields_on_disk(kA);
    EXPECT_GE(f.ts_format, before);
    EXPECT_LE(f.ts_format, after);
    EXPECT_EQ(f.ts_format, f.ts_fsck);
    EXPECT_EQ(f.ts_format, f.ts_modify);
    f.generation = 0;
    f.state = 0;
    f.active = 1;
    f.crash = 0;
    auto sb = ondisk::expected_sb_page(f);

    std::vector<uint8_t> block(MiB, 0);
    std::copy(sb.begin(), sb.end(), block.begin() + kA);
    std::copy(sb.begin(), sb.end(), block.begin() + kB);
    EXPECT_TRUE(block == read_bytes(0, MiB)) << "block 0 differs from the table";
    EXPECT_TRUE(block == read_bytes(1057 * MiB, MiB)) << "backup block 1057 differs";
    EXPECT_EQ(std::vector<uint8_t>(MiB, 0), read_bytes(1058 * MiB, MiB)) << "data area touched";
}

TEST_F(SuperTest, FormatFromAPropertyDictionary) {
    auto dict = [](std::vector<std::pair<const char *, const char *>> items) {
        xdict *d = xdict_new();
        for (auto [k, v] : items)
            xdict_set(d, k, v, strlen(v));
        return d;
    };
    auto format_dict = [&](xdict *d) {
        int ret = 1;
        co([&] { ret = tav_sb_format(static_cast<const xdict *>(d)); });
        xdict_destroy(d);
        return ret;
    };
    tavtest::LogCapture log;
    EXPECT_EQ(-EINVAL, format_dict(dict({{"s_inode_max_group", "8"}, {"path", kPath}})));
    EXPECT_EQ(-EINVAL, format_dict(dict({{"s_blocks_count", "2000000"}, {"path", kPath}})));
    EXPECT_EQ(-EINVAL, format_dict(dict({{"s_blocks_count", "2000000"}, {"s_inode_max_group", "8"}})));
    EXPECT_EQ(-EINVAL,
              format_dict(dict({{"s_blocks_count", "900"}, {"s_inode_max_group", "8"}, {"path", kPath}})));
    EXPECT_EQ(std::vector<uint8_t>(MiB, 0), read_bytes(0, MiB));

    ASSERT_EQ(
        0, format_dict(dict({{"s_blocks_count", "2000000"}, {"s_inode_max_group", "8"}, {"path", kPath}})));
    ondisk::SbFields f = fields_on_disk(kA);
    EXPECT_EQ(ondisk::expected_sb_page(f), page(kA));
    EXPECT_EQ(ondisk::expected_sb_page(f), page(kB));
}

TEST_F(SuperTest, WritesAlternateBetweenCopiesByGeneration) {
    ASSERT_EQ(0, format());
    ASSERT_EQ(0, load());
    EXPECT_EQ(0u, sb_.tav_disk_sb.s_header.generation);
    EXPECT_EQ(2000000u, sb_.tav_disk_sb.s_blocks_count);
    auto a0 = page(kA);

    // First write: generation 1, copy B; A untouched.
    tavtest::LogCapture log;
    ASSERT_EQ(0, read_write());
    EXPECT_TRUE(log.contains("write generation:1, last_errno:0"));
    ondisk::SbFields fb = fields_on_disk(kB);
    EXPECT_EQ(1u, fb.generation);
    EXPECT_EQ(ondisk::expected_sb_page(fb), page(kB));
    EXPECT_EQ(a0, page(kA));

    // Second write: generation 2, copy A; B keeps generation 1.
    ASSERT_EQ(0, read_write());
    ondisk::SbFields fa = fields_on_disk(kA);
    EXPECT_EQ(2u, fa.generation);
    EXPECT_EQ(ondisk::expected_sb_page(fa), page(kA));
    EXPECT_EQ(1u, get64(page(kB), 24));

    // A new load keeps the newer copy.
    ASSERT_EQ(0, load());
    EXPECT_EQ(2u, sb_.tav_disk_sb.s_header.generation);

    // Flush leaves both copies with the current record, consecutive
    // generations.
    int ret = 1;
    co([&] { ret = tav_sb_flush(&sb_); });
    ASSERT_EQ(0, ret);
    auto pa = page(kA), pb = page(kB);
    EXPECT_EQ(3u, get64(pb, 24));
    EXPECT_EQ(4u, get64(pa, 24));
    // Same record apart from checksum, generation and modification time.
    for (auto *p : {&pa, &pb}) {
        put64(*p, 0, 0);
        put64(*p, 24, 0);
        put64(*p, 168, 0);
    }
    EXPECT_EQ(pa, pb);
}

TEST_F(SuperTest, LoadKeepsTheNewerLegalCopyAndAOnATie) {
    ondisk::SbFields f;
    f.blocks = 2000000;
    f.path = kPath;
    struct Case {
        uint64_t gen_a, gen_b, expect_crash;
    };
    // The crash counter tells the copies apart: A holds 11, B holds 22.
    const Case cases[] = {{5, 5, 11}, {5, 6, 22}, {7, 6, 11}, {0, 1, 22}};
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.gen_a << "/" << c.gen_b);
        f.generation = c.gen_a;
        f.crash = 11;
        auto a = ondisk::expected_sb_page(f);
        f.generation = c.gen_b;
        f.crash = 22;
        auto b = ondisk::expected_sb_page(f);
        write_bytes(kA, a.data(), a.size());
        write_bytes(kB, b.data(), b.size());
        ASSERT_EQ(0, load());
        EXPECT_EQ(c.expect_crash, sb_.tav_disk_sb.s_crash_count);
        EXPECT_EQ(std::max(c.gen_a, c.gen_b), sb_.tav_disk_sb.s_header.generation);
    }
}

TEST_F(SuperTest, LegalityChecksInOrderWithTheirMessages) {
    ondisk::SbFields f;
    f.blocks = 2000000;
    f.path = kPath;
    const auto good = ondisk::expected_sb_page(f);
    struct Case {
        const char *message;
        size_t off;
        uint64_t value;    // written as 8 bytes (4 for the type)
        bool fix_checksum; // recompute so that the named check is the one failing
    };
    const Case cases[] = {
        {"tav_sb: invalid magic: _TAVSX_", 8, 0x5f58535641545f, true},
        {"tav_sb: invalid version: 3", 16, 3, true},
        {"tav_sb: invalid version: 0", 16, 0, true},
        {"tav_sb: invalid length: 463", 32, 463, true},
        {"tav_sb: invalid type: 2", 40, 2, true},
        {"tav_sb: state is illegal: 2", 64, 2, true},
        {"tav_sb: checksum failed", 3000, 1, false}, // a byte past the record
        {"tav_sb: checksum failed", 80, 1999999, false},
    };
    EXPECT_EQ(0, tav_sb_is_legal(good.data()));
    for (const Case &c : cases) {
        SCOPED_TRACE(c.message);
        auto p = good;
        if (c.off == 40)
            put32(p, 40, static_cast<uint32_t>(c.value));
        else
            put64(p, c.off, c.value);
        if (c.fix_checksum)
            put64(p, 0, xxh64_1011(p.data() + 8, 4088));
        tavtest::LogCapture log;
        EXPECT_EQ(1, tav_sb_is_legal(p.data()));
        EXPECT_TRUE(log.contains(c.message)) << log.text();
        EXPECT_TRUE(log.contains("tav_sb check failed"));
        EXPECT_EQ(1u, log.count("tav_sb: ")); // only the first failing check
        EXPECT_EQ(1, tav_sb_is_legal_quiet(p.data()));
    }
    // The versions of an old map and of an upgrade in progress are legal.
    for (uint64_t v : {1ull, 0xFFFFFFFFFFFFFFFFull}) {
        auto p = good;
        put64(p, 16, v);
        put64(p, 0, xxh64_1011(p.data() + 8, 4088));
        EXPECT_EQ(0, tav_sb_is_legal(p.data())) << v;
    }
}

TEST_F(SuperTest, LoadFailsOnAnUnreadableOrIllegalCopy) {
    struct Case {
        const char *message;
        int expect;
        uint64_t corrupt;   // byte to flip, 0 for none
        uint64_t fail_read; // offset of a failing read, 0 for none
    };
    const Case cases[] = {
        {"init super block A failed: -1", -1, kA + 100, 0},
        {"init super block B failed: -1", -1, kB + 4000, 0},
        {"read super block A failed: -5", -EIO, 0, kA},
        {"read super block B failed: -5", -EIO, 0, kB},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.message);
        close_device();
        open_device(0, tavtest::kFaultEngine);
        ASSERT_EQ(0, format());
        if (c.corrupt)
            flip_bits(c.corrupt, 0x40);
        if (c.fail_read)
            fault_engine().fail_reads(c.fail_read, 4096);
        tavtest::LogCapture log;
        EXPECT_EQ(c.expect, load());
        EXPECT_TRUE(log.contains(c.message)) << log.text();
    }
    // A device too short to hold block 0.
    close_device();
    path_ = dir_.path() + "/short.img";
    tavtest::make_file(path_, 4096);
    open_device(0);
    tavtest::LogCapture log;
    EXPECT_EQ(-EIO, load());
    EXPECT_TRUE(log.contains("read super block A failed"));
}

TEST_F(SuperTest, FailedWriteRetriesTheSameCopyAndReadsTheOther) {
    close_device();
    open_device(0, tavtest::kFaultEngine);
    ASSERT_EQ(0, format());
    ASSERT_EQ(0, load());
    const auto a0 = page(kA), b0 = page(kB);

    fault_engine().fail_writes(kB, 4096, 1);
    EXPECT_EQ(-EIO, read_write());
    EXPECT_EQ(-EIO, sb_.last_errno);
    EXPECT_EQ(b0, page(kB));
    EXPECT_EQ(a0, page(kA));

    // The next read takes copy A, the last one written successfully; the
    // write that follows retries copy B with the same generation.
    fault_engine().transfers.clear();
    ASSERT_EQ(0, read_write());
    ASSERT_EQ(1u, fault_engine().reads().size());
    EXPECT_EQ(kA, fault_engine().reads()[0].off);
    ASSERT_EQ(1u, fault_engine().writes().size());
    EXPECT_EQ(kB, fault_engine().writes()[0].off);
    EXPECT_EQ(0, sb_.last_errno);
    EXPECT_EQ(1u, get64(page(kB), 24));
    EXPECT_EQ(0, tav_sb_is_legal(page(kB).data()));
}

TEST_F(SuperTest, RunningMarksCountCrashes) {
    ASSERT_EQ(0, format());
    auto mark = [&](bool running) {
        int ret = 1;
        co([&] { ret = running ? tav_sb_mark_running(&sb_) : tav_sb_mark_stopped(&sb_); });
        return ret;
    };
    ASSERT_EQ(0, load());
    ASSERT_EQ(0, mark(true));
    // A start that finds the state RUNNING (the previous process died).
    ASSERT_EQ(0, load());
    EXPECT_EQ(1u, sb_.tav_disk_sb.s_state);
    ASSERT_EQ(0, mark(true));
    EXPECT_EQ(1u, sb_.tav_disk_sb.s_crash_count);
    ASSERT_EQ(0, mark(false));
    // A clean cycle counts nothing more.
    ASSERT_EQ(0, load());
    EXPECT_EQ(0u, sb_.tav_disk_sb.s_state);
    ASSERT_EQ(0, mark(true));
    ASSERT_EQ(0, mark(false));
    ASSERT_EQ(0, load());
    EXPECT_EQ(0u, sb_.tav_disk_sb.s_state);
    EXPECT_EQ(1u, sb_.tav_disk_sb.s_crash_count);
    EXPECT_EQ(5u, sb_.tav_disk_sb.s_header.generation);
}

TEST_F(SuperTest, StatfsReportsBlocksAndInodes) {
    ASSERT_EQ(0, format());
    ASSERT_EQ(0, load());
    struct statvfs st;
    ASSERT_EQ(0, tav_sb_statfs(&sb_, ioengine_get_default(), 10, 3, &st));
    EXPECT_EQ(MiB, st.f_bsize);
    EXPECT_EQ(MiB, st.f_frsize);
    EXPECT_EQ(2000000u, st.f_blocks); // the device file is 2,000,000 MiB
    EXPECT_EQ(2000000u - 1058 - 10, st.f_bfree);
    EXPECT_EQ(st.f_bfree, st.f_bavail);
    EXPECT_EQ(131072u, st.f_files);
    EXPECT_EQ(131069u, st.f_ffree);
    EXPECT_EQ(st.f_ffree, st.f_favail);
    EXPECT_EQ(16u, st.f_namemax);
    // More blocks in use than data blocks (bad tracks) never wraps around.
    ASSERT_EQ(0, tav_sb_statfs(&sb_, ioengine_get_default(), 3000000, 0, &st));
    EXPECT_EQ(0u, st.f_bfree);
    // Nor more free blocks than the device holds.
    sb_.tav_disk_sb.s_blocks_count = 5000000;
    ASSERT_EQ(0, tav_sb_statfs(&sb_, ioengine_get_default(), 10, 0, &st));
    EXPECT_EQ(2000000u, st.f_bfree);
}

TEST_F(SuperTest, DumpLogsEveryField) {
    ASSERT_EQ(0, format());
    ASSERT_EQ(0, load());
    tavtest::LogCapture log;
    tav_sb_dump("unit", &sb_);
    for (const char *s : {"[==]unit", "[====================head=====================",
                          "[====================data=====================",
                          "[====================end=====================", "_TAVSB_"})
        EXPECT_TRUE(log.contains(s)) << s;
    for (const char *field : {"s_uuid:",
                              "s_state:",
                              "s_block_size:",
                              "s_blocks_count:       2000000",
                              "s_first_inode_block:",
                              "s_inode_blocks:       1024",
                              "s_first_bitmap_block: 1025",
                              "s_bitmap_blocks:",
                              "s_first_data_block:   1058",
                              "s_inode_max_count:",
                              "s_inode_size:",
                              "s_inode_per_group:",
                              "s_inode_active_group:",
                              "s_inode_max_group:",
                              "s_ts_modify:",
                              "s_ts_fsck:",
                              "s_ts_format:",
                              "s_fsck_interval:",
                              "s_crash_count:",
                              "s_crash_limit:"})
        EXPECT_EQ(1u, log.count(field)) << field << "\n" << log.text();
}

/* ---- inode numbers ------------------------------------------------------ */

class InoTest : public SuperTest {
protected:
    void SetUp() override {
        SuperTest::SetUp();
        ASSERT_EQ(0, format(2000000, groups_));
        ASSERT_EQ(0, load());
        imap_.assign(16384 * groups_ / 8, 0);
        co_mutex_init(&lock_);
        ctx_ = {&sb_, imap_.data(), 16384 * groups_, &last_ino_, &lock_, &InoTest::format_group, this};
    }
    static int format_group(void *priv, blkno_t ibegin, uint64_t count) {
        auto *self = static_cast<InoTest *>(priv);
        self->formats_.push_back({ibegin, count});
        return self->format_result_;
    }
    int get(uint64_t *ino) {
        int ret = 1;
        co([&] { ret = tav_sb_get_ino(&ctx_, ino); });
        return ret;
    }
    uint64_t active_on_disk() {
        tav_sb_info other = {};
        uint64_t active = 0;
        co([&] {
            ASSERT_EQ(0, tav_sb_load(&other));
            active = other.tav_disk_sb.s_inode_active_group;
        });
        tav_sb_destroy(&other);
        return active;
    }

    uint64_t groups_ = 8;
    std::vector<uint8_t> imap_;
    uint64_t last_ino_ = 0;
    CoMutex lock_;
    tav_ino_ctx ctx_;
    std::vector<std::pair<blkno_t, uint64_t>> formats_;
    int format_result_ = 0;
};

TEST_F(InoTest, NumbersInFormattedGroupsAreNeverFormattedAgain) {
    uint64_t ino = ~0ull;
    // The first number of a fresh instance lies in group 0, which the format
    // already wrote: nothing is formatted and no group is counted.
    ASSERT_EQ(0, get(&ino));
    EXPECT_EQ(0u, ino);
    EXPECT_TRUE(formats_.empty());
    EXPECT_EQ(1u, sb_.tav_disk_sb.s_inode_active_group);

    for (uint64_t i = 1; i < 16384; i++) {
        ASSERT_EQ(0, get(&ino));
        ASSERT_EQ(i, ino);
    }
    EXPECT_TRUE(formats_.empty());

    // Group 0 is full: the next number formats group 1 (blocks 129..256).
    ASSERT_EQ(0, get(&ino));
    EXPECT_EQ(16384u, ino);
    ASSERT_EQ(1u, formats_.size());
    EXPECT_EQ(129u, formats_[0].first);
    EXPECT_EQ(128u, formats_[0].second);
    EXPECT_EQ(2u, active_on_disk());

    // The rest of group 1 is in use; free the two numbers on group
    // boundaries and take them again: no group is formatted over live files.
    bmap_bits_set(imap_.data(), 16385, 16383);
    EXPECT_EQ(0, tav_sb_put_ino(&ctx_, 0));
    EXPECT_EQ(0, tav_sb_put_ino(&ctx_, 16384));
    ASSERT_EQ(0, get(&ino));
    EXPECT_EQ(16384u, ino);
    ASSERT_EQ(0, get(&ino));
    EXPECT_EQ(0u, ino);
    EXPECT_EQ(1u, formats_.size());
    EXPECT_EQ(2u, active_on_disk());

    // Then group 2.
    ASSERT_EQ(0, get(&ino));
    EXPECT_EQ(32768u, ino);
    ASSERT_EQ(2u, formats_.size());
    EXPECT_EQ(257u, formats_[1].first);
    EXPECT_EQ(3u, active_on_disk());
}

TEST_F(InoTest, AllNumbersTakenIsNoSpace) {
    bmap_bits_set(imap_.data(), 0, 16384 * 8);
    tavtest::LogCapture log;
    uint64_t ino;
    EXPECT_EQ(-ENOSPC, get(&ino));
    EXPECT_TRUE(log.contains("can not get inode unmber this is no space for create new file"));
    EXPECT_TRUE(formats_.empty());
}

TEST_F(InoTest, FailedGroupFormatCountsNothing) {
    bmap_bits_set(imap_.data(), 0, 16384);
    format_result_ = -EIO;
    uint64_t ino = ~0ull;
    EXPECT_EQ(-EIO, get(&ino));
    EXPECT_TRUE(bmap_is_bit_clr(imap_.data(), 16384));
    EXPECT_EQ(1u, sb_.tav_disk_sb.s_inode_active_group);
    EXPECT_EQ(1u, active_on_disk());

    format_result_ = 0;
    ASSERT_EQ(0, get(&ino));
    EXPECT_EQ(16384u, ino);
    EXPECT_EQ(2u, formats_.size());
    EXPECT_EQ(2u, active_on_disk());
}

TEST_F(InoTest, FailedSuperblockUpdateRestoresTheCount) {
    close_device();
    open_device(0, tavtest::kFaultEngine);
    bmap_bits_set(imap_.data(), 0, 16384);
    fault_engine().fail_writes(kA, 0x3000, 1); // the next superblock write, either copy
    tavtest::LogCapture log;
    uint64_t ino = ~0ull;
    EXPECT_EQ(-EIO, get(&ino));
    EXPECT_TRUE(log.contains("write super failed"));
    EXPECT_EQ(1u, sb_.tav_disk_sb.s_inode_active_group);
    EXPECT_TRUE(bmap_is_bit_clr(imap_.data(), 16384));
    EXPECT_EQ(1u, active_on_disk());

    ASSERT_EQ(0, get(&ino));
    EXPECT_EQ(16384u, ino);
    EXPECT_EQ(2u, active_on_disk());
}

TEST_F(InoTest, PutRefusesNumbersNotInUse) {
    tavtest::LogCapture log;
    EXPECT_EQ(-EINVAL, tav_sb_put_ino(&ctx_, 5));
    EXPECT_EQ(-EINVAL, tav_sb_put_ino(&ctx_, 16384 * 8));
    EXPECT_EQ(2u, log.count("not in use"));
}

} // namespace
