// The inode page: bytes built from the format tables and compared with what
// the code writes, legality of one copy, the copy-choice table, slot
// decoding for every cell of it, A/B alternation across failed writes,
// inline data and attribute limits, stat conversion and time stamps.
#include "inode.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>
#include <uuid/uuid.h>

#include <vector>

#include "files_support.h"
#include "itable.h"
#include "support/bytes.h"
#include "support/device.h"
#include "support/log_capture.h"
#include "support/loop.h"
#include "memory.h"

namespace {

constexpr uint64_t MiB = 1048576;
using tavtest::Bytes;
using tavtest::fault_engine;
using tavtest::get64;
using tavtest::put64;
using tavtest::xxh64_1011;

// What an inode page holds, field by field, at the offsets of the tables.
struct Rec {
    uint64_t generation = 1, version = 1, length = 464, type = 2;
    uint64_t ino = 0, state = 2;
    uint8_t uuid[16] = {};
    uint64_t i_type = 0, mode = 0, flags = 0, uid = 0, gid = 0, size = 0, blocks = 0;
    uint64_t atime = 0, ctime = 0, mtime = 0, dtime = 0, ntime = 0;
    uint64_t lba_start = 0, lba_len = 0, statex = 0, cur_pblk = 0;
    uint64_t extents[16] = {};
    uint64_t blkmap_type = 0, slices = 0;
    Bytes xattr = {0, 0}; // serialised attributes at 512
    Bytes data;           // inline data at 2048
    const char *magic = "_TAVINO_";
};

Bytes page_of(const Rec &r, bool seal = true) {
    Bytes p(4096, 0);
    memcpy(&p[8], r.magic, 8);
    put64(&p[16], r.version);
    put64(&p[24], r.generation);
    put64(&p[32], r.length);
    put64(&p[40], r.type); // u32 type + zero padding
    put64(&p[48], r.ino);
    put64(&p[56], r.state);
    memcpy(&p[64], r.uuid, 16);
    const uint64_t fields[] = {r.i_type,    r.mode,    r.flags,  r.uid,     r.gid,   r.size,
                               r.blocks,    r.atime,   r.ctime,  r.mtime,   r.dtime, r.ntime,
                               r.lba_start, r.lba_len, r.statex, r.cur_pblk};
    for (size_t i = 0; i < sizeof(fields) / 8; i++)
        put64(&p[80 + 8 * i], fields[i]);
    for (int i = 0; i < 16; i++)
        put64(&p[208 + 8 * i], r.extents[i]);
    put64(&p[496], r.blkmap_type);
    put64(&p[504], r.slices);
    memcpy(&p[512], r.xattr.data(), r.xattr.size());
    if (!r.data.empty())
        memcpy(&p[2048], r.data.data(), r.data.size());
    if (seal)
        put64(&p[0], xxh64_1011(&p[8], 4088));
    return p;
}

// A never-used default page whose time stamps are read from `raw`.
Bytes default_page_like(const Bytes &raw) {
    Rec r;
    r.generation = 0;
    r.state = 4;
    r.atime = get64(&raw[136]);
    r.ctime = get64(&raw[144]);
    r.mtime = get64(&raw[152]);
    return page_of(r);
}

// One attribute "user.a" = "xyz" in the serialised dictionary form.
Bytes one_xattr() {
    Bytes x = {1, 0, 7, 0};
    for (char c : std::string("user.a"))
        x.push_back(static_cast<uint8_t>(c));
    x.push_back(0);
    x.push_back(3);
    x.push_back(0);
    for (char c : std::string("xyz"))
        x.push_back(static_cast<uint8_t>(c));
    return x;
}

class InodeTest : public tavtest::DeviceTest {
protected:
    void SetUp() override {
        open_device(16 * MiB, tavtest::kFaultEngine);
        ext_table_init(&etable_, &tav_inode_extent_fops, TAV_EXTENT_TABLE_MAX);
        tav_itable_host host = {};
        host.etable = &etable_;
        itable_ = new tav_inode_table();
        tav_itable_init(itable_, &host);
    }
    void TearDown() override {
        tav_itable_fini(itable_);
        delete itable_;
        ext_table_destroy(&etable_);
        DeviceTest::TearDown();
    }
    tav_inode_info *fresh(uint64_t ino, const unsigned char *gfid) {
        tav_inode_info *inode = tav_inode_create(itable_, gfid, nullptr, nullptr);
        EXPECT_NE(nullptr, inode);
        tav_inode_bind(inode, ino);
        int r = -1;
        EXPECT_TRUE(tavtest::run_coroutine([&] { r = tav_inode_fresh_write(inode); }));
        EXPECT_EQ(0, r);
        return inode;
    }
    void release(tav_inode_info *inode) {
        inode->ref = 0;
        tav_inode_free(inode);
    }
    uint64_t slot(uint64_t ino) { return MiB + ino * 8192; }

    tavtest::LogCapture log_;
    ext_table_t etable_;
    tav_inode_table *itable_ = nullptr;
};

const unsigned char kGfid[16] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88,
                                 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xf0, 0x01};

TEST_F(InodeTest, LegalityOfOneCopy) {
    struct Case {
        const char *what;
        Bytes page;
        int expect;
        const char *message;
    };
    Rec normal;
    memcpy(normal.uuid, kGfid, 16);
    auto with = [&](auto change, bool seal = true) {
        Rec r = normal;
        change(r);
        return page_of(r, seal);
    };
    Bytes bad_sum = page_of(normal);
    bad_sum[3000] ^= 1; // inside the attribute area: covered by the checksum
    std::vector<Case> cases = {
        {"normal", page_of(normal), 0, nullptr},
        {"magic", with([](Rec &r) { r.magic = "_TAVSB_\0"; }), 1, "tav_inode: invalid magic:"},
        {"checksum", bad_sum, 1, "tav_inode: checksum failed , offset"},
        {"version", with([](Rec &r) { r.version = 2; }), 1, "tav_inode: invalid version: 2"},
        {"length", with([](Rec &r) { r.length = 216; }), 1, "tav_inode: invalid length: 216"},
        {"type 0", with([](Rec &r) { r.type = 0; }), 2, "tav_inode: invalid type: 0"},
        {"type 1", with([](Rec &r) { r.type = 1; }), 1, "tav_inode: invalid type: 1"},
        {"error", with([](Rec &r) { r.state = 3; }), 1, "tav_inode: state is unnormal: 3:"},
        {"unknown state", with([](Rec &r) { r.state = 9; }), 1, "tav_inode: state is unnormal: 9:"},
        {"init", with([](Rec &r) { r.state = 4; }), 2, nullptr},
        {"unlink", with([](Rec &r) { r.state = 0; }), 0, nullptr},
        {"pblock free", with([](Rec &r) { r.state = 5; }), 0, nullptr},
        {"zeros", Bytes(4096, 0), 1, "tav_inode: invalid magic:"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        log_.clear();
        EXPECT_EQ(c.expect, tav_inode_is_legal(c.page.data()));
        if (c.message) {
            EXPECT_TRUE(log_.contains(c.message));
        }
    }
}

TEST_F(InodeTest, CopyChoiceTable) {
    const tav_bak_stat_type expect[3][3] = {
        {AB_OK, AB_ERROR, A_OK}, {AB_ERROR, AB_ERROR, AB_ERROR}, {B_OK, AB_ERROR, AB_UNUSED}};
    for (int a = 0; a < 3; a++)
        for (int b = 0; b < 3; b++)
            EXPECT_EQ(expect[a][b], tav_inode_check(a, b)) << a << "," << b;
}

// Every cell of the copy-choice table through slot decoding, plus the
// generation, FREE and damaged-copy rules.
TEST_F(InodeTest, SlotDecoding) {
    Rec live;
    live.ino = 7;
    memcpy(live.uuid, kGfid, 16);
    auto gen = [&](uint64_t g, uint64_t state = 2, uint64_t size = 0) {
        Rec r = live;
        r.generation = g;
        r.state = state;
        r.size = size;
        return page_of(r);
    };
    Rec shm = live;
    memcpy(shm.uuid, tav_shmlog_gfid, 16);
    Rec null_gfid = live;
    memset(null_gfid.uuid, 0, 16);
    Bytes garbage(4096, 0x5a), unused = gen(0, 4), never = [&] {
        Rec r = live;
        r.type = 0;
        return page_of(r);
    }();
    struct Case {
        const char *what;
        Bytes a, b;
        tav_inode_load_ret ret;
        uint64_t size; // identifies the copy used
        uint64_t state;
        int btype;
        uint32_t errors; // error_inode_count afterwards
    } cases[] = {
        {"legal/legal, A newer", gen(3, 2, 3), gen(2, 2, 2), I_OK, 3, 2, AB_OK, 0},
        {"legal/legal, B newer", gen(3, 2, 3), gen(4, 2, 4), I_OK, 4, 2, AB_OK, 0},
        {"legal/legal, equal generations", gen(5, 2, 1), gen(5, 2, 2), I_OK, 2, 2, AB_OK, 0},
        {"legal/legal, newer is FREE", gen(3, 2, 3), gen(4, 1, 4), I_UNUSED, 0, 0, 0, 0},
        {"legal/unused", gen(1, 2, 1), unused, I_OK, 1, 2, A_OK, 0},
        {"unused/legal", never, gen(2, 2, 2), I_OK, 2, 2, B_OK, 0},
        {"unused/unused", unused, never, I_UNUSED, 0, 0, 0, 0},
        {"legal/illegal", gen(1, 2, 1), garbage, I_OK, 1, TAV_I_ERROR, A_OK, 1},
        {"illegal/legal", garbage, gen(2, 2, 2), I_OK, 2, TAV_I_ERROR, B_OK, 1},
        {"legal UNLINK/illegal", gen(1, 0, 1), garbage, I_ERROR, 0, 0, 0, 0},
        {"illegal/illegal", garbage, garbage, I_ERROR, 0, 0, 0, 0},
        {"illegal/unused", garbage, unused, I_ERROR, 0, 0, 0, 0},
        {"unused/illegal", unused, garbage, I_ERROR, 0, 0, 0, 0},
        {"shmlog legal/illegal", page_of(shm), garbage, I_ERROR, 0, 0, 0, 0},
        {"null gfid legal/illegal", page_of(null_gfid), garbage, I_ERROR, 0, 0, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        itable_->error_inode_count = 0;
        Bytes slotbuf = c.a;
        slotbuf.insert(slotbuf.end(), c.b.begin(), c.b.end());
        tav_inode_info *inode = nullptr;
        EXPECT_EQ(c.ret, tav_inode_page_init(&inode, slotbuf.data(), 4096, itable_));
        EXPECT_EQ(c.errors, itable_->error_inode_count);
        if (c.ret != I_OK)
            continue;
        ASSERT_NE(nullptr, inode);
        EXPECT_EQ(c.size, inode->ondisk.i_size);
        EXPECT_EQ(c.state, inode->ondisk.i_state);
        EXPECT_EQ(c.btype, inode->btype);
        EXPECT_EQ(7u, inode->ondisk.i_no);
        EXPECT_EQ(0, memcmp(kGfid, inode->ondisk.i_uuid, 16));
        EXPECT_EQ(1u, inode->ref);
        release(inode);
    }
    EXPECT_TRUE(log_.contains("INO: 7 A/B is ok. bak type: 1"));
    EXPECT_TRUE(log_.contains("inode A and B is illegal"));
}

// The bytes of both copies after a fresh write and after a full record
// write, built from the tables.
TEST_F(InodeTest, PagesOnTheDeviceMatchTheFormatTables) {
    tav_inode_info *inode = fresh(5, kGfid);
    Bytes a = read_bytes(slot(5), 4096), b = read_bytes(slot(5) + 4096, 4096);
    EXPECT_EQ(default_page_like(b), b) << "copy B: a default page, generation 0";
    Rec r;
    r.generation = 1;
    r.ino = 5;
    r.state = TAV_I_NORMAL;
    memcpy(r.uuid, kGfid, 16);
    r.atime = inode->ondisk.i_atime;
    r.ctime = inode->ondisk.i_ctime;
    r.mtime = inode->ondisk.i_mtime;
    r.ntime = inode->ondisk.i_ntime;
    EXPECT_EQ(page_of(r), a) << "copy A: the new record, generation 1";

    // Second write: every field set, one attribute, inline data; copy B.
    tav_disk_inode *d = &inode->ondisk;
    d->i_type = TAV_FILE_TYPE_INLINE | TAV_FILE_TYPE_INLINE_DATA | TAV_FILE_TYPE_COMPRESSIBLE;
    d->i_mode = 0100640;
    d->i_flags = 2;
    d->i_uid = 1001;
    d->i_gid = 1002;
    d->i_size = 11;
    d->i_blocks = 3;
    d->i_dtime = 77;
    d->i_legacy.lba_start = 2000;
    d->i_legacy.lba_len = 8;
    d->i_statex = 2;
    d->i_cur_pblk = 4321;
    d->i_extents[0] = 1500;
    d->i_extents[15] = 1515;
    d->i_blkmap_type = 2;
    d->i_slices = 24;
    ASSERT_EQ(1, xdict_set(inode->xattr, "user.a", "xyz", 3));
    inode->inline_buffer = tav_calloc(1, 2048, TAV_MEM_INODE_INLINE_BUFFER);
    memcpy(inode->inline_buffer, "hello world", 11);
    int rr = -1, rw = -1;
    ASSERT_TRUE(tavtest::run_coroutine([&] {
        rr = tav_inode_read(inode);
        rw = tav_inode_write(inode);
    }));
    ASSERT_EQ(0, rr);
    ASSERT_EQ(0, rw);
    r.generation = 2;
    r.i_type = 0x31;
    r.mode = 0100640;
    r.flags = 2;
    r.uid = 1001;
    r.gid = 1002;
    r.size = 11;
    r.blocks = 3;
    r.dtime = 77;
    r.lba_start = 2000;
    r.lba_len = 8;
    r.statex = 2;
    r.cur_pblk = 4321;
    r.extents[0] = 1500;
    r.extents[15] = 1515;
    r.blkmap_type = 2;
    r.slices = 24;
    r.xattr = one_xattr();
    r.data = Bytes(reinterpret_cast<const uint8_t *>("hello world"),
                   reinterpret_cast<const uint8_t *>("hello world") + 11);
    Bytes expect_b = page_of(r);
    EXPECT_EQ(expect_b, read_bytes(slot(5) + 4096, 4096));
    EXPECT_EQ(a, read_bytes(slot(5), 4096)) << "copy A untouched";
    EXPECT_EQ(get64(&expect_b[0]), inode->ondisk.i_header.checksum);

    // A new in-memory inode decoded from that page has the same content.
    tav_inode_info *copy = tav_inode_create(itable_, kGfid, expect_b.data(), nullptr);
    ASSERT_NE(nullptr, copy);
    EXPECT_EQ(0, memcmp(&copy->ondisk, &inode->ondisk, 512));
    EXPECT_EQ(0, memcmp(copy->inline_buffer, "hello world", 12));
    size_t len = 0;
    EXPECT_EQ(0, memcmp("xyz", xdict_get_data(copy->xattr, "user.a", &len), 3));
    EXPECT_EQ(TAV_BLKMAP_MODE_COMPACT, copy->blkmap_mode) << "COMPRESSED file";
    EXPECT_EQ(TAV_BLKMAP_TYPE_SLICE_V2, tav_inode_blkmap_type(&copy->ondisk));
    release(copy);
    release(inode);
}

TEST_F(InodeTest, FormatWritesDefaultPagesInBothCopiesOfEverySlot) {
    int r = -1;
    ASSERT_TRUE(tavtest::run_coroutine([&] { r = tav_inode_format(1, 2); }));
    ASSERT_EQ(0, r);
    Bytes area = read_bytes(MiB, 2 * MiB);
    Bytes first(area.begin(), area.begin() + 4096);
    EXPECT_EQ(default_page_like(first), first);
    for (size_t off = 0; off < area.size(); off += 4096)
        ASSERT_EQ(0, memcmp(first.data(), &area[off], 4096)) << off;
    EXPECT_EQ(2, tav_inode_is_legal(first.data()));
    EXPECT_EQ(0u, read_bytes(3 * MiB, 4096)[8]) << "nothing beyond the two blocks";
}

// Inline files keep 1536 bytes for attributes, extent files 3584; an
// overflow fails with -EFBIG and writes nothing.
TEST_F(InodeTest, AttributeAllowanceOfInlineAndExtentFiles) {
    tav_inode_info *inode = fresh(9, kGfid);
    auto write_with_value = [&](size_t value_len) {
        xdict_cleanup(inode->xattr);
        std::string v(value_len, 'v');
        EXPECT_EQ(1, xdict_set(inode->xattr, "k", v.data(), v.size()));
        int r = -1;
        fault_engine().transfers.clear();
        EXPECT_TRUE(tavtest::run_coroutine([&] {
            r = tav_inode_read(inode);
            if (r == 0)
                r = tav_inode_write(inode);
        }));
        return r;
    };
    inode->ondisk.i_type = TAV_FILE_TYPE_INLINE;
    inode->inline_buffer = tav_calloc(1, 2048, TAV_MEM_INODE_INLINE_BUFFER);
    EXPECT_EQ(0, write_with_value(1536 - 8)); // 2 + (1 + 1528 + 5) = 1536
    EXPECT_EQ(-EFBIG, write_with_value(1537 - 8));
    EXPECT_TRUE(log_.contains("xattr too large: 1537"));
    EXPECT_TRUE(fault_engine().forwarded_writes().empty());
    inode->ondisk.i_type = 0;
    EXPECT_EQ(0, write_with_value(3584 - 8));
    EXPECT_EQ(-EFBIG, write_with_value(3585 - 8));
    release(inode);
}

// A write after a failed write goes to the same copy; a read after it reads
// the other, last good copy.
TEST_F(InodeTest, FailedWriteRetriesTheSameCopyAndReadsTheOther) {
    tav_inode_info *inode = fresh(3, kGfid); // generation 1 in copy A
    inode->ondisk.i_size = 100;
    tav_inode_mark_dirty(inode);
    inode->dirty_hold = 1;
    fault_engine().fail_writes(slot(3) + 4096, 4096, 1);
    int r1 = 0, r2 = 0, r3 = 0;
    ASSERT_TRUE(tavtest::run_coroutine([&] {
        r1 = tav_inode_read(inode);
        r2 = tav_inode_write(inode);
    }));
    EXPECT_EQ(0, r1);
    EXPECT_EQ(-EIO, r2);
    EXPECT_EQ(-EIO, inode->last_errno);
    EXPECT_EQ(1, inode->dirty_flag);
    EXPECT_EQ(1, inode->dirty_hold);
    EXPECT_FALSE(list_empty(&inode->dirty_entry));

    // The read goes to copy A (generation 1): the change is gone with it.
    ASSERT_TRUE(tavtest::run_coroutine([&] { r3 = tav_inode_read(inode); }));
    EXPECT_EQ(0, r3);
    EXPECT_EQ(0u, inode->ondisk.i_size);
    EXPECT_EQ(1u, inode->ondisk.i_header.generation);

    // A write right after a failure (no read between) keeps the generation.
    inode->last_errno = -EIO;
    inode->ondisk.i_header.generation = 2;
    inode->ondisk.i_size = 200;
    fault_engine().transfers.clear();
    ASSERT_TRUE(tavtest::run_coroutine([&] {
        mbuf_get(&inode->mbuf); // credential only: the buffer is up to date
        r1 = tav_inode_write(inode);
    }));
    EXPECT_EQ(0, r1);
    const auto writes = fault_engine().forwarded_writes();
    ASSERT_EQ(1u, writes.size());
    EXPECT_EQ(slot(3) + 4096, writes[0].off) << "generation 2 again, copy B";
    EXPECT_EQ(0, inode->last_errno);
    EXPECT_TRUE(list_empty(&inode->dirty_entry));
    EXPECT_EQ(0, inode->dirty_hold);
    Bytes b = read_bytes(slot(3) + 4096, 4096);
    EXPECT_EQ(2u, get64(&b[24]));
    EXPECT_EQ(200u, get64(&b[120]));
    release(inode);
}

TEST_F(InodeTest, ErrorInodeIsNotRead) {
    tav_inode_info *inode = tav_inode_create(itable_, kGfid, nullptr, nullptr);
    inode->ondisk.i_state = TAV_I_ERROR;
    int r = 0;
    fault_engine().transfers.clear();
    ASSERT_TRUE(tavtest::run_coroutine([&] { r = tav_inode_read(inode); }));
    EXPECT_EQ(-305, r);
    release(inode);
}

TEST_F(InodeTest, StatConversionAndTimeStamps) {
    tav_inode_info *inode = tav_inode_create(itable_, kGfid, nullptr, nullptr);
    tav_disk_inode *d = &inode->ondisk;
    d->i_no = 42;
    d->i_mode = 0060644; // the file-type bits are always a regular file
    d->i_uid = 7;
    d->i_gid = 8;
    d->i_size = 5 * MiB + 3;
    d->i_blocks = 6;
    d->i_atime = 1500000000123456789ull;
    d->i_mtime = 1600000000000000001ull;
    d->i_ctime = 1700000000999999999ull;
    d->i_slices = 40;
    d->i_type = TAV_FILE_TYPE_COMPRESSIBLE;
    d->i_statex = TAV_STATEX_COMPRESSING;
    struct stat st;
    tav_inode_get_stat(inode, &st);
    EXPECT_EQ((mode_t)0100644, st.st_mode);
    EXPECT_EQ(42u, st.st_ino);
    EXPECT_EQ(1u, st.st_nlink);
    EXPECT_EQ(0u, st.st_dev);
    EXPECT_EQ(7u, st.st_uid);
    EXPECT_EQ(8u, st.st_gid);
    EXPECT_EQ((off_t)(5 * MiB + 3), st.st_size);
    EXPECT_EQ(512, st.st_blksize);
    EXPECT_EQ(6 * 2048, st.st_blocks);
    EXPECT_EQ(1500000000, st.st_atim.tv_sec);
    EXPECT_EQ(123456789, st.st_atim.tv_nsec);
    EXPECT_EQ(1, st.st_mtim.tv_nsec);
    EXPECT_EQ(999999999, st.st_ctim.tv_nsec);
    tav_statex sx;
    tav_inode_get_statex(inode, &sx);
    EXPECT_EQ(40u, sx.slices);
    EXPECT_EQ(131072u, sx.slice_size);
    EXPECT_EQ((uint32_t)TAV_FILE_TYPE_COMPRESSIBLE, sx.type);
    EXPECT_EQ((uint32_t)TAV_STATEX_COMPRESSING, sx.statex);

    // Without a time: never backwards.  A far-future mtime stays; atime moves
    // to now.  With a time: exactly that time.
    d->i_mtime = UINT64_MAX - 1;
    uint64_t before = d->i_atime;
    tav_inode_update_amctime(inode, TAV_INODE_ATIME | TAV_INODE_MTIME, nullptr);
    EXPECT_GT(d->i_atime, before);
    EXPECT_EQ(UINT64_MAX - 1, d->i_mtime);
    uint64_t ts = 1000;
    tav_inode_update_amctime(inode, TAV_INODE_CTIME | TAV_INODE_MTIME, &ts);
    EXPECT_EQ(1000u, d->i_ctime);
    EXPECT_EQ(1000u, d->i_mtime);
    EXPECT_GT(d->i_atime, 1000u);

    log_.clear();
    d->i_extents[3] = 1777;
    tav_inode_dump("dump test", inode);
    EXPECT_TRUE(log_.contains("[==]dump test"));
    EXPECT_TRUE(log_.contains("[====================head====================="));
    EXPECT_TRUE(log_.contains("magic:               _TAVINO_"));
    EXPECT_TRUE(log_.contains("i_no:                42"));
    EXPECT_TRUE(log_.contains("i_extents[3]:        1777"));
    EXPECT_FALSE(log_.contains("i_extents[0]:")) << "only non-zero extents";
    EXPECT_TRUE(log_.contains("[====================end====================="));

    EXPECT_EQ(MiB + 42 * 8192, tav_inode_slot_offset(42));
    EXPECT_EQ(42u, tav_inode_offset_to_ino(MiB + 42 * 8192 + 4096));
    EXPECT_EQ(131071u, tav_inode_offset_to_ino(1025 * MiB - 1));
    release(inode);
}

} // namespace
