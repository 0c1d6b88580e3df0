// On-disk format: the records that creation and metadata writes produce,
// compared byte for byte with records built here from the format tables.
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include <gtest/gtest.h>

#include "kvol_crc.h"
#include "kvol_test_util.h"

using namespace kvoltest;

namespace {

struct Window {
    uint32_t lo, hi;
    bool holds(uint32_t t) const { return t >= lo && t <= hi; }
};

uint32_t now() {
    return static_cast<uint32_t>(time(nullptr));
}

TEST(KvolCrc, MatchesTheStandardCheckValueAndTheReference) {
    const char check[] = "123456789";
    ASSERT_EQ(ref_crc32(check, 9), 0xCBF43926u); // the reference itself
    EXPECT_EQ(tier_crc32(check, 9), 0xCBF43926u);

    AlignedBuf buf(8192, 3);
    EXPECT_EQ(tier_crc32(buf.data(), 8192), ref_crc32(buf.data(), 8192));
    // The raw update chained over pieces is the standard checksum without its
    // final complement; the two-buffer form is the checksum of both as one.
    uint32_t raw = tier_crc32_orig(0xFFFFFFFFu, buf.data(), 100);
    raw = tier_crc32_orig(raw, buf.data() + 100, 8092);
    EXPECT_EQ(~raw, ref_crc32(buf.data(), 8192));
    EXPECT_EQ(tier_crc32_db(buf.data(), 1000, buf.data() + 1000, 7192), ref_crc32(buf.data(), 8192));
}

class KvolFormat : public ::testing::Test {
protected:
    void SetUp() override {
        w_.lo = now();
        vol_ = std::make_unique<VolumeFile>(2 * GiB, 100);
        w_.hi = now();
        ASSERT_EQ(vol_->mkfs_ret, 0);
        struct stat st;
        ASSERT_EQ(stat(vol_->path.c_str(), &st), 0);
        blksz_ = static_cast<uint32_t>(st.st_blksize);
        Bytes sb = read_at(vol_->path, 0, 4096);
        memcpy(uuid_, &sb[24], 16);
        ts_format_ = get32(sb, 124);
        ASSERT_TRUE(w_.holds(ts_format_));
    }

    SbFields sb_fields(uint64_t gen, uint64_t entry_num, uint64_t total, uint64_t avail,
                       uint32_t ts_expand) const {
        SbFields f;
        f.generation = gen;
        memcpy(f.uuid, uuid_, 16);
        f.entry_num = entry_num;
        f.entry_max = 200; // 2 x max_mapping
        f.va_total = total;
        f.va_avail = avail;
        f.phy_blksz = blksz_;
        f.ts_format = ts_format_;
        f.ts_expand = ts_expand;
        return f;
    }

    Bytes mapping0(uint64_t gen, uint32_t state, uint32_t ts_modify) const {
        AmFields f;
        f.generation = gen;
        memcpy(f.owner, uuid_, 16);
        f.attribute = 1 | 2; // regular file: O_DSYNC and O_DIRECT
        f.state = state;
        f.va_start = 0;
        f.length = total();
        f.path = vol_->path;
        f.pa_offset = DATA_START;
        f.phy_blksz = blksz_;
        f.ts_create = ts_format_;
        f.ts_modify = ts_modify;
        return expect_am_slot(f);
    }

    uint64_t total() const { return 2 * GiB - DATA_START; }

    Window w_{};
    std::unique_ptr<VolumeFile> vol_;
    uint32_t blksz_ = 0;
    unsigned char uuid_[16] = {};
    uint32_t ts_format_ = 0;
};

TEST_F(KvolFormat, MkfsWritesTheTablesRecords) {
    // Superblock: copy 1 is the empty generation-1 record, copy 0 the
    // generation-2 record that publishes mapping 0.
    EXPECT_EQ(read_at(vol_->path, sb_slot(0), 4096),
              expect_sb_slot(sb_fields(2, 2, total(), total(), ts_format_)));
    EXPECT_EQ(read_at(vol_->path, sb_slot(1), 4096), expect_sb_slot(sb_fields(1, 0, 0, 0, 0)));

    // Every bitmap block exists in both copies, empty.
    for (uint64_t n : {0ULL, 1ULL, 511ULL, 1022ULL}) {
        for (unsigned copy = 0; copy < 2; copy++) {
            Bytes got = read_at(vol_->path, bt_slot(n, copy), 4096);
            BtFields f;
            f.generation = copy;
            f.mtime = get32(got, 28);
            EXPECT_TRUE(w_.holds(f.mtime));
            EXPECT_EQ(got, expect_bt_slot(f)) << "block " << n << " copy " << copy;
        }
    }

    // Mapping 0, both copies.
    for (unsigned copy = 0; copy < 2; copy++)
        EXPECT_EQ(read_at(vol_->path, am_slot(0, copy), 4096), mapping0(copy, 0, ts_format_))
            << "copy " << copy;
    // Nothing beyond entry 0.
    EXPECT_EQ(read_at(vol_->path, am_slot(1, 0), 8192), Bytes(8192, 0));
}

TEST_F(KvolFormat, MetadataWritesGoToTheSlotOfTheNewGeneration) {
    kvol_t *kv = kvol_init(vol_->path.c_str(), O_RDWR);
    ASSERT_NE(kv, nullptr);
    Window w{now(), 0};
    // Granule 3 bad: bitmap block 0 (loaded generation 1) -> generation 2 in
    // copy 0; mapping 0 (loaded generation 1) becomes BADTRACK -> generation
    // 2 in copy 0; superblock 2 -> 3 in copy 1.
    ASSERT_EQ(kvol_mark_badtrack(kv, 3 * GRAN, GRAN), 0);
    // Granule 5: bitmap 3 -> copy 1; mapping state unchanged, not written;
    // superblock 4 -> copy 0.
    ASSERT_EQ(kvol_mark_badtrack(kv, 5 * GRAN, GRAN), 0);
    w.hi = now();
    kvol_fini(kv);

    Bytes bt0 = read_at(vol_->path, bt_slot(0, 0), 4096);
    Bytes bt1 = read_at(vol_->path, bt_slot(0, 1), 4096);
    BtFields f0, f1;
    f0.generation = 2;
    f0.mtime = get32(bt0, 28);
    f0.bad_bits = {3};
    f1.generation = 3;
    f1.mtime = get32(bt1, 28);
    f1.bad_bits = {3, 5};
    EXPECT_EQ(bt0, expect_bt_slot(f0));
    EXPECT_EQ(bt1, expect_bt_slot(f1));

    Bytes am0 = read_at(vol_->path, am_slot(0, 0), 4096);
    uint32_t ts_modify = get32(am0, 388);
    EXPECT_TRUE(w.holds(ts_modify));
    EXPECT_EQ(am0, mapping0(2, 1 /* BADTRACK */, ts_modify));
    EXPECT_EQ(read_at(vol_->path, am_slot(0, 1), 4096), mapping0(1, 0, ts_format_));

    EXPECT_EQ(read_at(vol_->path, sb_slot(1), 4096),
              expect_sb_slot(sb_fields(3, 2, total(), total() - GRAN, ts_format_)));
    EXPECT_EQ(read_at(vol_->path, sb_slot(0), 4096),
              expect_sb_slot(sb_fields(4, 2, total(), total() - 2 * GRAN, ts_format_)));
}

} // namespace
