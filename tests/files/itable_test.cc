// The inode table on a formatted instance image through libaio: the
// start-up scan with duplicates and damaged slots, persistence across
// restarts, references and the vacant/unlink lists, the dirty timer's
// batching and dirty_hold, sync, destruction with its retry rule, release of
// blocks, space accounting, flush and preload.
#include "itable.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "background.h"
#include "files_support.h"
#include "ioengine.h"
#include "super.h"
#include "support/bytes.h"
#include "support/device.h"
#include "support/log_capture.h"
#include "support/loop.h"
#include "bitarray.h"
#include "coroutine.h"
#include "memory.h"
#include "zmap.h"

namespace {

constexpr uint64_t MiB = 1048576;
constexpr uint64_t kBlocks = 400; // one inode group: data blocks 162..399

using tavtest::fault_engine;
using tavtest::get64;
using tavtest::now_ns;

struct Note {
    uint32_t type;
    int64_t size;
};
std::vector<Note> g_notes;

void record_notify(tav *, const unsigned char *, int64_t size, uint32_t type) {
    g_notes.push_back({type, size});
}

class FsTest;
FsTest *g_fs;

int fmt_inodes(void *, blkno_t ibegin, uint64_t count) {
    return tav_inode_format(ibegin, count);
}

// Runs on a file through "libaio" and on a volume through "kvol".
class FsTest : public tavtest::DeviceTest, public ::testing::WithParamInterface<tavtest::Backend> {
protected:
    void SetUp() override {
        g_fs = this;
        volume_ = GetParam() == tavtest::Backend::Volume;
        g_notes.clear();
        open_device(kBlocks * MiB, tavtest::kFaultEngine);
        tav_sb_format_args args = {kBlocks, 1, path_.c_str()};
        int r = -1;
        ASSERT_TRUE(tavtest::run_coroutine([&] { r = tav_sb_format_instance(&args, fmt_inodes, nullptr); }));
        ASSERT_EQ(0, r);
        load();
    }
    void TearDown() override {
        if (loaded_)
            unload();
        DeviceTest::TearDown();
    }

    static int blkno_limit(zmap_t *z, blkno_t *min, blkno_t *max) {
        return tav_sb_blkno_limit(static_cast<tav_sb_info *>(z->priv), min, max);
    }
    static int put_ino(tav *, uint64_t ino) { return tav_sb_put_ino(&g_fs->ino_ctx_, ino); }

    void load() {
        memset(&sb_, 0, sizeof(sb_));
        memset(&zmap_, 0, sizeof(zmap_));
        last_ino_ = 0;
        static const tav_zmap_fops zfops = {blkno_limit, nullptr, nullptr, nullptr};
        int r = -1;
        ASSERT_TRUE(tavtest::run_coroutine([&] {
            r = tav_sb_load(&sb_);
            if (r < 0)
                return;
            zmap_init(&zmap_, &zfops, sb_.tav_disk_sb.s_first_bitmap_block);
            zmap_.priv = &sb_;
            r = zmap_load(&zmap_, (uint32_t)(sb_.tav_disk_sb.s_bitmap_blocks * 256));
        }));
        ASSERT_EQ(0, r);
        const tav_sb_ondisk *d = &sb_.tav_disk_sb;
        imap_ = tav_imap_init(d->s_inode_max_count);
        ext_table_init(&etable_, &tav_inode_extent_fops, TAV_EXTENT_TABLE_MAX);
        co_mutex_init(&format_lock_);
        ino_ctx_ = {&sb_, imap_, d->s_inode_max_count, &last_ino_, &format_lock_, fmt_inodes, nullptr};
        tav_itable_host host = {nullptr, &etable_, &zmap_, &sb_, record_notify, put_ino};
        itable_ = new tav_inode_table();
        tav_itable_init(itable_, &host);
        uint64_t count = d->s_inode_active_group * d->s_inode_per_group / 128;
        ASSERT_TRUE(tavtest::run_coroutine([&] {
            r = tav_inode_load(itable_, imap_, d->s_inode_max_count, &last_ino_, d->s_first_inode_block,
                               count);
        }));
        ASSERT_EQ(0, r);
        loaded_ = true;
    }
    void unload() {
        tav_itable_fini(itable_);
        delete itable_;
        itable_ = nullptr;
        ext_table_destroy(&etable_);
        zmap_destroy(&zmap_);
        tav_sb_destroy(&sb_);
        tav_imap_destroy(imap_);
        loaded_ = false;
    }
    void restart() {
        unload();
        load();
    }

    // A new file as creation makes it: a number, an INIT inode linked, the
    // fresh write.  Returns it with the creator's reference.
    tav_inode_info *create(unsigned char tag, uint64_t type_bits = 0) {
        unsigned char gfid[16] = {0xab, 0xcd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x77, tag};
        tav_inode_info *inode = nullptr;
        int r = -1;
        EXPECT_TRUE(tavtest::run_coroutine([&] {
            uint64_t ino;
            r = tav_sb_get_ino(&ino_ctx_, &ino);
            if (r < 0)
                return;
            inode = tav_inode_create(itable_, gfid, nullptr, nullptr);
            tav_inode_bind(inode, ino);
            inode->ondisk.i_type = type_bits;
            inode->ondisk.i_blkmap_type = 2;
            EXPECT_EQ(inode, tav_inode_link_ex(itable_, inode));
            r = tav_inode_fresh_write(inode);
        }));
        EXPECT_EQ(0, r);
        return inode;
    }
    tav_inode_info *find(unsigned char tag) {
        unsigned char gfid[16] = {0xab, 0xcd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x77, tag};
        return tav_inode_find_get(itable_, gfid, 0);
    }
    int rw(tav_inode_info *inode) {
        int r = -1;
        EXPECT_TRUE(tavtest::run_coroutine([&] {
            r = tav_inode_read(inode);
            if (r == 0)
                r = tav_inode_write(inode);
        }));
        return r;
    }
    // Gives the file an extent block and maps logical blocks `iblocks` to new
    // data blocks (slice `s` of one block each for slice maps).
    std::vector<uint64_t> map_blocks(tav_inode_info *inode, std::vector<uint64_t> iblocks,
                                     tav_charge *charge = nullptr, int slices_per_block = 1) {
        std::vector<uint64_t> pblks;
        EXPECT_TRUE(filestest::run_charged(
            [&] {
                if (!inode->ondisk.i_extents[0]) {
                    blkno_t eb;
                    uint32_t cnt = 1;
                    ASSERT_EQ(0, zmap_alloc_blocks(&zmap_, 0, 0, &eb, &cnt));
                    ASSERT_EQ(0, ext_block_format(eb, tav_inode_blkmap_type(&inode->ondisk)));
                    ASSERT_EQ(0, tav_inode_read(inode));
                    inode->ondisk.i_extents[0] = eb;
                    ASSERT_EQ(0, tav_inode_write(inode));
                }
                bool slices = inode->ondisk.i_type & TAV_FILE_TYPE_COMPRESSIBLE;
                for (uint64_t ib : iblocks) {
                    ext_page_t *page = nullptr;
                    blkmap_t *first = ext_blkmaps_get(&inode->extent_cache, ib, &page);
                    ASSERT_NE(nullptr, first);
                    blkno_t pb;
                    uint32_t cnt = 1;
                    ASSERT_EQ(0, zmap_alloc_blocks(&zmap_, 0, 0, &pb, &cnt));
                    if (slices) {
                        zmap_page_t *zp;
                        ASSERT_EQ(0, zmap_page_from_pblock(&zmap_, pb, &zp));
                        zmap_page_slice_init(zp, pb);
                        for (int s = 0; s < slices_per_block; s++) {
                            int ps;
                            ASSERT_EQ(0, zmap_page_alloc_slice(zp, pb, s, &ps));
                            ext_blkmaps_set_pblock(first, s, pb, ps);
                        }
                        zmap_page_put(zp);
                    } else {
                        ext_blkmaps_set_pblock(first, -1, pb, -1);
                    }
                    ASSERT_EQ(0, ext_page_write(page));
                    ext_page_put(page);
                    pblks.push_back(pb);
                }
                ASSERT_EQ(0, tav_inode_read(inode));
                ASSERT_EQ(0, tav_inode_write(inode));
            },
            charge));
        return pblks;
    }
    size_t dirty_len() {
        size_t n = 0;
        list_head *p;
        list_for_each(p, &itable_->dirty_list) n++;
        return n;
    }
    size_t inode_writes() {
        size_t n = 0;
        for (auto &w : fault_engine().forwarded_writes())
            n += w.off >= MiB && w.off < 129 * MiB;
        return n;
    }
    uint64_t slot(uint64_t ino) { return MiB + ino * 8192; }
    bool imap_bit(uint64_t ino) { return bmap_is_bit_set(imap_, ino); }

    tavtest::LogCapture log_;
    tav_sb_info sb_;
    zmap_t zmap_;
    ext_table_t etable_;
    uint8_t *imap_ = nullptr;
    uint64_t last_ino_ = 0;
    CoMutex format_lock_;
    tav_ino_ctx ino_ctx_;
    tav_inode_table *itable_ = nullptr;
    bool loaded_ = false;
};

TEST_P(FsTest, FilesAndTheirMappingsSurviveARestart) {
    tav_inode_info *a = create(1);
    tav_inode_info *b = create(2, TAV_FILE_TYPE_INLINE);
    tav_inode_info *c = create(3);
    uint64_t ino_a = a->ondisk.i_no, ino_b = b->ondisk.i_no, ino_c = c->ondisk.i_no;
    a->ondisk.i_size = 3 * MiB;
    ASSERT_EQ(1, xdict_set(a->xattr, "user.k", "v1", 2));
    ASSERT_EQ(0, rw(a));
    std::vector<uint64_t> pblks = map_blocks(a, {0, 2});
    b->inline_buffer = tav_calloc(1, 2048, TAV_MEM_INODE_INLINE_BUFFER);
    memcpy(b->inline_buffer, "tiny", 4);
    b->ondisk.i_size = 4;
    ASSERT_EQ(0, rw(b));
    uint64_t blocks_used = zmap_blocks_allocated(&zmap_);
    for (auto *i : {a, b, c})
        tav_inode_unref(i, "test");
    restart();

    EXPECT_EQ(3u, itable_->inode_count);
    EXPECT_TRUE(imap_bit(ino_a) && imap_bit(ino_b) && imap_bit(ino_c));
    EXPECT_FALSE(imap_bit(ino_c + 1));
    EXPECT_EQ(ino_c, last_ino_) << "the number bound last";
    EXPECT_EQ(blocks_used, zmap_blocks_allocated(&zmap_));
    a = find(1);
    b = find(2);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(3 * MiB, a->ondisk.i_size);
    EXPECT_EQ(2u, a->ondisk.i_blocks);
    EXPECT_EQ(16u, a->ondisk.i_slices);
    size_t len = 0;
    EXPECT_EQ(0, memcmp("v1", xdict_get_data(a->xattr, "user.k", &len), 2));
    EXPECT_EQ(0, memcmp("tiny", b->inline_buffer, 4));
    ASSERT_TRUE(tavtest::run_coroutine([&] {
        ext_page_t *page = nullptr;
        blkmap_t *m = ext_blkmaps_get(&a->extent_cache, 2, &page);
        ASSERT_NE(nullptr, m);
        EXPECT_EQ(pblks[1], ext_blkmap_get_pblock(m));
        EXPECT_EQ(0u, ext_blkmap_get_pblock(ext_page_blkmaps_get(page, 1)));
        ext_page_put(page);
    }));
    tav_inode_unref(a, "test");
    tav_inode_unref(b, "test");
}

// Two slots with one gfid: the NORMAL one stays linked; the other is reset
// to INIT on both copies and its number is free again.
TEST_P(FsTest, DuplicateGfidLoserIsResetOnBothCopies) {
    tav_inode_info *a = create(9);
    uint64_t ino_a = a->ondisk.i_no;
    // A second slot claiming the same file (as left by an interrupted move).
    tav_inode_info *dup = tav_inode_create(itable_, a->ondisk.i_uuid, nullptr, nullptr);
    tav_inode_bind(dup, ino_a + 5);
    int r = -1;
    ASSERT_TRUE(tavtest::run_coroutine([&] { r = tav_inode_fresh_write(dup); }));
    ASSERT_EQ(0, r);
    dup->ref = 0;
    tav_inode_free(dup);
    tav_inode_unref(a, "test");
    restart();

    EXPECT_TRUE(log_.contains("reset inode orig_inode:"));
    EXPECT_TRUE(log_.contains("tav inode reset end."));
    EXPECT_EQ(1u, itable_->inode_count);
    tav_inode_info *won = find(9);
    ASSERT_NE(nullptr, won);
    EXPECT_EQ(ino_a, won->ondisk.i_no);
    tav_inode_unref(won, "test");
    EXPECT_FALSE(imap_bit(ino_a + 5));
    for (int copy = 0; copy < 2; copy++) {
        auto page = read_bytes(slot(ino_a + 5) + copy * 4096, 4096);
        EXPECT_EQ(4u, get64(&page[56])) << "copy " << copy << " is INIT";
        EXPECT_EQ(2, tav_inode_is_legal(page.data()));
    }
    EXPECT_EQ(0u, itable_->error_inode_count);
    restart();
    EXPECT_EQ(1u, itable_->inode_count) << "nothing left to resolve";
}

// A slot whose two copies are damaged keeps its number taken; one good NORMAL
// copy makes an ERROR inode; a damaged linked inode loses to a sound
// duplicate, which is linked while the damaged slot is reset.
TEST_P(FsTest, DamagedSlotsAtStartUp) {
    tav_inode_info *a = create(1);
    tav_inode_info *b = create(2);
    tav_inode_info *c = create(3);
    uint64_t ino_a = a->ondisk.i_no, ino_b = b->ondisk.i_no, ino_c = c->ondisk.i_no;
    // c gets a sound twin in a later slot.
    tav_inode_info *twin = tav_inode_create(itable_, c->ondisk.i_uuid, nullptr, nullptr);
    tav_inode_bind(twin, ino_c + 10);
    twin->ondisk.i_size = 4096;
    int r = -1;
    ASSERT_TRUE(tavtest::run_coroutine([&] { r = tav_inode_fresh_write(twin); }));
    ASSERT_EQ(0, r);
    twin->ref = 0;
    tav_inode_free(twin);
    for (auto *i : {a, b, c})
        tav_inode_unref(i, "test");
    std::vector<uint8_t> junk(4096, 0xee);
    write_bytes(slot(ino_a), junk.data(), 4096);        // a: copy A garbage, B unused
    write_bytes(slot(ino_b) + 4096, junk.data(), 4096); // b: A good, B garbage
    write_bytes(slot(ino_c) + 4096, junk.data(), 4096); // c: A good, B garbage
    restart();

    EXPECT_TRUE(log_.contains("INODE:" + std::to_string(ino_a) + " is ERROR"));
    EXPECT_TRUE(imap_bit(ino_a));
    EXPECT_EQ(nullptr, find(1));
    tav_inode_info *eb = find(2);
    ASSERT_NE(nullptr, eb);
    EXPECT_EQ((uint64_t)TAV_I_ERROR, eb->ondisk.i_state);
    EXPECT_EQ(A_OK, eb->btype);
    EXPECT_TRUE(imap_bit(ino_b));
    int rd = 0;
    ASSERT_TRUE(tavtest::run_coroutine([&] { rd = tav_inode_read(eb); }));
    EXPECT_EQ(-305, rd);
    int bad = 0;
    tav_itable_badinode_foreach(
        itable_, [](tav_inode_info *, void *p) { return ++*static_cast<int *>(p), 0; }, &bad);
    EXPECT_EQ(1, bad);
    tav_inode_unref(eb, "test");
    // Slot a (both copies bad) and inode b are the damaged ones left.
    EXPECT_EQ(2u, itable_->error_inode_count);
    tav_inode_info *tc = find(3);
    ASSERT_NE(nullptr, tc);
    EXPECT_EQ(ino_c + 10, tc->ondisk.i_no) << "the sound twin won";
    EXPECT_EQ((uint64_t)TAV_I_NORMAL, tc->ondisk.i_state);
    tav_inode_unref(tc, "test");
    EXPECT_FALSE(imap_bit(ino_c)) << "the damaged slot was reset and its number freed";
    EXPECT_EQ(4u, get64(&read_bytes(slot(ino_c), 4096)[56]));
}

TEST_P(FsTest, DirtyTimerWritesAtMost32PerTickAndHonoursDirtyHold) {
    std::vector<tav_inode_info *> files;
    for (int i = 0; i < 40; i++) {
        tav_inode_info *f = create(static_cast<unsigned char>(i + 1));
        f->ondisk.i_size = 100 + i;
        tav_inode_mark_dirty(f);
        files.push_back(f);
    }
    files[0]->dirty_hold = 1;
    EXPECT_EQ(40u, dirty_len());
    fault_engine().transfers.clear();
    ASSERT_TRUE(tavtest::run_coroutine([&] { tav_itable_dirty_tick(itable_); }));
    EXPECT_EQ(32u, inode_writes());
    EXPECT_EQ(8u, dirty_len());
    // A failed write keeps the inode dirty, at the tail, for the next tick.
    fault_engine().fail_writes(slot(files[39]->ondisk.i_no), 8192, 1);
    fault_engine().transfers.clear();
    ASSERT_TRUE(tavtest::run_coroutine([&] { tav_itable_dirty_tick(itable_); }));
    EXPECT_EQ(6u, inode_writes());
    EXPECT_TRUE(log_.contains("flush inode:" + std::to_string(files[39]->ondisk.i_no) + " failed"));
    EXPECT_EQ(2u, dirty_len());
    EXPECT_EQ(&files[39]->dirty_entry, itable_->dirty_list.prev);
    for (int tick = 0; tick < 3; tick++)
        ASSERT_TRUE(tavtest::run_coroutine([&] { tav_itable_dirty_tick(itable_); }));
    EXPECT_EQ(1u, dirty_len()) << "the held inode stays through any number of ticks";
    EXPECT_EQ(&files[0]->dirty_entry, itable_->dirty_list.next);
    // After the retry memory and device agree: the record in memory is the
    // newest copy on the device.
    tav_inode_info *f39 = files[39];
    auto s39 = read_bytes(slot(f39->ondisk.i_no), 8192);
    const uint8_t *newest = get64(&s39[24]) > get64(&s39[4096 + 24]) ? &s39[0] : &s39[4096];
    EXPECT_EQ(f39->ondisk.i_header.generation, get64(newest + 24));
    EXPECT_EQ(f39->ondisk.i_size, get64(newest + 120));
    EXPECT_EQ(0, f39->last_errno);

    // A sync with RESUME releases the hold; the next tick writes it.
    int r = -1;
    ASSERT_TRUE(tavtest::run_coroutine([&] { r = tav_inode_sync(files[0], TAV_XATTR_SYNC_RESUME); }));
    EXPECT_EQ(0, r);
    EXPECT_EQ(0, files[0]->dirty_hold);
    fault_engine().transfers.clear();
    ASSERT_TRUE(tavtest::run_coroutine([&] { tav_itable_dirty_tick(itable_); }));
    EXPECT_EQ(1u, inode_writes());
    EXPECT_EQ(0u, dirty_len());
    for (auto *f : files)
        tav_inode_unref(f, "test");
}

TEST_P(FsTest, SyncWritesTheInodeAndTheFilesCachedPages) {
    tav_inode_info *f = create(1);
    map_blocks(f, {0});
    f->ondisk.i_size = 77;
    tav_inode_mark_dirty(f);
    f->cacheing = 1;
    // An extent change left in the cache.
    ASSERT_TRUE(filestest::run_charged([&] {
        ext_page_t *page;
        blkmap_t *m = ext_blkmaps_get(&f->extent_cache, 5, &page);
        ASSERT_NE(nullptr, m);
        ext_blkmaps_set_pblock(m, -1, 390, -1);
        ext_page_put(page);
    }));
    fault_engine().transfers.clear();
    int r = -1;
    ASSERT_TRUE(tavtest::run_coroutine([&] { r = tav_inode_sync(f, 0); }));
    EXPECT_EQ(0, r);
    EXPECT_EQ(0, f->cacheing);
    EXPECT_EQ(0u, dirty_len());
    EXPECT_TRUE(log_.contains("flush 1 extent page to disk"));
    // Not dirty any more: the record is not written again, the cache still is.
    fault_engine().transfers.clear();
    ASSERT_TRUE(tavtest::run_coroutine([&] { r = tav_inode_sync(f, 0); }));
    EXPECT_EQ(0, r);
    EXPECT_EQ(0u, inode_writes());
    // A failed write fails the sync with EIO.
    tav_inode_mark_dirty(f);
    fault_engine().fail_writes(slot(f->ondisk.i_no), 8192, 1);
    ASSERT_TRUE(tavtest::run_coroutine([&] { r = tav_inode_sync(f, 0); }));
    EXPECT_EQ(-EIO, r);
    EXPECT_TRUE(log_.contains("fsync: -5"));
    tav_inode_unref(f, "test");
}

// Unlinked while open: vacant until the last reference, then the unlink
// timer destroys it, returns its blocks and number, and notifies.
TEST_P(FsTest, UnlinkedOpenFileIsDestroyedAfterItsLastClose) {
    uint64_t before = zmap_blocks_allocated(&zmap_);
    tav_inode_info *f = create(1);
    uint64_t ino = f->ondisk.i_no;
    map_blocks(f, {0, 1, 130}); // two extent pages
    EXPECT_EQ(before + 4, zmap_blocks_allocated(&zmap_));
    tav_inode_ref(f, "handle"); // an open handle
    f->ondisk.i_state = TAV_I_UNLINK;
    ASSERT_EQ(0, rw(f));
    tav_inode_unlink(f);
    tav_inode_unref(f, "test"); // the creator's reference
    EXPECT_EQ(1u, itable_->vacant_inode_count);
    EXPECT_EQ(0u, itable_->inode_count);
    EXPECT_EQ(nullptr, find(1));
    ASSERT_TRUE(tavtest::run_coroutine([&] { tav_itable_unlink_tick(itable_, now_ns()); }));
    EXPECT_EQ(1u, itable_->vacant_inode_count) << "still open: not destroyed";
    EXPECT_TRUE(g_notes.empty());

    tav_inode_unref(f, "handle"); // last close
    EXPECT_EQ(0u, itable_->vacant_inode_count);
    EXPECT_FALSE(list_empty(&itable_->unlink_list));
    uint64_t released = 0;
    ASSERT_TRUE(tavtest::run_coroutine([&] { released = tav_itable_unlink_tick(itable_, now_ns()); }));
    EXPECT_EQ(4u, released) << "three data blocks and the extent block";
    EXPECT_TRUE(list_empty(&itable_->unlink_list));
    EXPECT_EQ(before, zmap_blocks_allocated(&zmap_));
    EXPECT_FALSE(imap_bit(ino));
    ASSERT_EQ(1u, g_notes.size());
    EXPECT_EQ((uint32_t)TAV_NOTIFY_FREE_BLOCKS, g_notes[0].type);
    EXPECT_EQ((int64_t)(4 * MiB), g_notes[0].size);
    EXPECT_TRUE(log_.contains("blocks_released: 4"));
    // The slot now decodes as unused.
    restart();
    EXPECT_FALSE(imap_bit(ino));
    EXPECT_EQ(0u, itable_->inode_count);
}

TEST_P(FsTest, FailedDestroyIsRetriedOnlyAfterAnHour) {
    tav_inode_info *f = create(1);
    uint64_t ino = f->ondisk.i_no;
    f->ondisk.i_state = TAV_I_UNLINK;
    ASSERT_EQ(0, rw(f));
    tav_inode_unref(f, "test");
    tav_inode_unlink(f); // last reference: straight to the unlink list
    EXPECT_FALSE(list_empty(&itable_->unlink_list));
    fault_engine().fail_writes(slot(ino), 8192, -1);
    uint64_t t0 = now_ns();
    ASSERT_TRUE(tavtest::run_coroutine([&] { tav_itable_unlink_tick(itable_, t0); }));
    EXPECT_TRUE(log_.contains("free inode:" + std::to_string(ino) + " failed"));
    EXPECT_EQ(t0, f->ondisk.i_dtime);
    EXPECT_FALSE(list_empty(&itable_->unlink_list)) << "kept for a later attempt";
    fault_engine().faults.clear();
    size_t attempts = log_.count("inode destroy begin");
    ASSERT_TRUE(
        tavtest::run_coroutine([&] { tav_itable_unlink_tick(itable_, t0 + 3599ull * 1000000000ull); }));
    EXPECT_EQ(attempts, log_.count("inode destroy begin")) << "not within the hour";
    ASSERT_TRUE(
        tavtest::run_coroutine([&] { tav_itable_unlink_tick(itable_, t0 + 3600ull * 1000000000ull); }));
    EXPECT_EQ(attempts + 1, log_.count("inode destroy begin"));
    EXPECT_TRUE(list_empty(&itable_->unlink_list));
    EXPECT_FALSE(imap_bit(ino));
    EXPECT_TRUE(g_notes.empty()) << "no blocks freed: no notification";
    auto page = read_bytes(slot(ino), 8192);
    uint64_t gen_a = get64(&page[24]), gen_b = get64(&page[4096 + 24]);
    const uint8_t *latest = gen_a > gen_b ? &page[0] : &page[4096];
    EXPECT_EQ((uint64_t)TAV_I_FREE, get64(latest + 56));
    EXPECT_NE(0u, get64(latest + 160)) << "i_dtime stamped with the free time";
}

// A crash between the steps of a destroy leaves UNLINK or PBLOCK_FREE on the
// device; the scan queues such inodes and the next tick finishes them.
TEST_P(FsTest, InterruptedDestroyResumesAfterARestart) {
    tav_inode_info *u = create(1);
    tav_inode_info *p = create(2);
    uint64_t ino_u = u->ondisk.i_no, ino_p = p->ondisk.i_no;
    uint64_t before = zmap_blocks_allocated(&zmap_);
    map_blocks(u, {3});
    u->ondisk.i_state = TAV_I_UNLINK;
    p->ondisk.i_state = TAV_I_PBLOCK_FREE;
    ASSERT_EQ(0, rw(u));
    ASSERT_EQ(0, rw(p));
    for (auto *i : {u, p}) {
        tav_inode_unref(i, "test");
        tav_inode_unlink(i); // to the unlink list, as if the process died here
    }
    EXPECT_EQ(0u, itable_->inode_count);
    restart();
    EXPECT_EQ(0u, itable_->inode_count);
    EXPECT_TRUE(imap_bit(ino_u) && imap_bit(ino_p));
    uint64_t released = 0;
    ASSERT_TRUE(tavtest::run_coroutine([&] { released = tav_itable_unlink_tick(itable_, now_ns()); }));
    EXPECT_EQ(2u, released);
    EXPECT_EQ(before, zmap_blocks_allocated(&zmap_));
    EXPECT_FALSE(imap_bit(ino_u) || imap_bit(ino_p));
}

// The block-map hooks keep i_blocks and i_slices and charge new blocks to
// the running request.
TEST_P(FsTest, SpaceAccountingFollowsMappings) {
    tav_charge charge = {};
    tav_inode_info *blk = create(1);
    map_blocks(blk, {0, 1}, &charge);
    EXPECT_EQ(2u, blk->ondisk.i_blocks);
    EXPECT_EQ(16u, blk->ondisk.i_slices);
    EXPECT_EQ(2u, charge.blocks);

    charge.blocks = 0;
    tav_inode_info *cmp = create(2, TAV_FILE_TYPE_COMPRESSIBLE);
    std::vector<uint64_t> pb = map_blocks(cmp, {0}, &charge, 3);
    EXPECT_EQ(1u, cmp->ondisk.i_blocks) << "three slices of one block";
    EXPECT_EQ(3u, cmp->ondisk.i_slices);
    EXPECT_EQ(1u, charge.blocks);
    cmp->ondisk.i_cur_pblk = pb[0];
    ASSERT_TRUE(filestest::run_charged([&] {
        ext_page_t *page;
        blkmap_t *first = ext_blkmaps_get(&cmp->extent_cache, 0, &page);
        ASSERT_NE(nullptr, first);
        ext_blkmaps_delete_pblock(first, 0, pb[0], 0);
        EXPECT_EQ(0u, cmp->ondisk.i_cur_pblk) << "the block being filled lost a slice";
        EXPECT_EQ(1u, cmp->ondisk.i_blocks);
        ext_blkmaps_delete_pblock(first, 1, pb[0], 1);
        ext_blkmaps_delete_pblock(first, 2, pb[0], 2);
        EXPECT_EQ(0u, cmp->ondisk.i_blocks) << "its last slice went";
        EXPECT_EQ(0u, cmp->ondisk.i_slices);
        ext_page_put(page);
    }));
    EXPECT_FALSE(list_empty(&cmp->dirty_entry));
    tav_inode_unref(blk, "test");
    tav_inode_unref(cmp, "test");
}

// Releasing a file's blocks: a compressible file's slices free their block;
// a borrowed block with a bad track is unmapped but kept in the zone map.
TEST_P(FsTest, ReleaseOfBlocksPerExtentPage) {
    uint64_t before = zmap_blocks_allocated(&zmap_);
    tav_inode_info *cmp = create(1, TAV_FILE_TYPE_COMPRESSIBLE);
    map_blocks(cmp, {0, 600}, nullptr, 2); // pages 0 and 1 of 64 KiB (512 blocks each)
    tav_inode_info *bor = create(2, TAV_FILE_TYPE_BORROW);
    std::vector<uint64_t> pb = map_blocks(bor, {4, 5});
    fault_engine().add_badtrack(pb[1] * MiB + 4096, 4096);
    bor->ondisk.i_legacy.lba_start = 1000;
    bor->ondisk.i_legacy.lba_len = 2;
    ASSERT_EQ(0, rw(bor));
    uint64_t rel_c = 0, rel_b = 0;
    int rc = -1, rb = -1;
    ASSERT_TRUE(filestest::run_charged([&] {
        rc = tav_inode_free_blocks(cmp, &rel_c);
        rb = tav_inode_destroy(bor, &rel_b);
    }));
    EXPECT_EQ(0, rc);
    EXPECT_EQ(2u, rel_c);
    EXPECT_EQ(0u, cmp->ondisk.i_blocks);
    EXPECT_EQ(0u, cmp->ondisk.i_slices);
    EXPECT_EQ(0, rb);
    EXPECT_EQ(2u, rel_b) << "one data block and the extent block; the bad one stays";
    ASSERT_EQ(1u, fault_engine().unmaps.size());
    EXPECT_EQ(1000 * MiB, fault_engine().unmaps[0].first);
    EXPECT_EQ(2 * MiB, fault_engine().unmaps[0].second);
    EXPECT_TRUE(log_.contains("unmap offset:1048576000, size:2097152 succeed"));
    // cmp's extent block and bor's bad block remain allocated.
    EXPECT_EQ(before + 2, zmap_blocks_allocated(&zmap_));
    tav_inode_unref(cmp, "test");
    tav_inode_unlink(bor); // destroyed while linked here: take it out as unlink would
    tav_inode_unref(bor, "test");
}

TEST_P(FsTest, FlushWritesBothCopiesAndFlushByNumberFindsTheInode) {
    tav_inode_info *a = create(1), *b = create(2);
    a->ondisk.i_size = 11;
    b->ondisk.i_size = 22;
    int r = 0;
    ASSERT_TRUE(tavtest::run_coroutine([&] { r = tav_itable_flush_by_ino(itable_, 999); }));
    EXPECT_EQ(-ENOENT, r);
    EXPECT_TRUE(log_.contains("inode ino:999 not found"));
    ASSERT_TRUE(tavtest::run_coroutine([&] { r = tav_itable_flush(itable_); }));
    EXPECT_EQ(0, r);
    for (auto *i : {a, b}) {
        auto s = read_bytes(slot(i->ondisk.i_no), 8192);
        EXPECT_EQ(get64(&s[120]), get64(&s[4096 + 120]));
        EXPECT_EQ(i->ondisk.i_size, get64(&s[120]));
        EXPECT_EQ(1u, get64(&s[24]) > get64(&s[4096 + 24]) ? get64(&s[24]) - get64(&s[4096 + 24])
                                                           : get64(&s[4096 + 24]) - get64(&s[24]));
    }
    a->ondisk.i_size = 33;
    ASSERT_TRUE(tavtest::run_coroutine([&] { r = tav_itable_flush_by_ino(itable_, a->ondisk.i_no); }));
    EXPECT_EQ(0, r);
    fault_engine().fail_writes(slot(b->ondisk.i_no), 8192, 1);
    ASSERT_TRUE(tavtest::run_coroutine([&] { r = tav_itable_flush_by_ino(itable_, b->ondisk.i_no); }));
    EXPECT_EQ(-EIO, r);
    tav_inode_unref(a, "test");
    tav_inode_unref(b, "test");
}

TEST_P(FsTest, PreloadLoadsRecentFilesUntilTheTableIsFull) {
    tav_inode_info *recent = create(1), *old = create(2), *small = create(3, TAV_FILE_TYPE_INLINE);
    map_blocks(recent, {0, 200, 300}); // pages 0, 1 and 2
    recent->ondisk.i_size = 301 * MiB;
    map_blocks(old, {0});
    old->ondisk.i_size = MiB;
    uint64_t two_days = 2 * 86400ull * 1000000000ull;
    old->ondisk.i_atime = old->ondisk.i_mtime = old->ondisk.i_ctime = now_ns() - two_days;
    small->ondisk.i_size = 10;
    for (auto *i : {recent, old, small})
        ext_cache_cleanup(&i->extent_cache);
    ASSERT_EQ(0u, etable_.count);
    ASSERT_TRUE(tavtest::run_coroutine([&] { tav_itable_preload_extent(itable_, &etable_); }));
    EXPECT_EQ(3u, etable_.count);
    EXPECT_EQ(3u, recent->extent_cache.status.count);
    EXPECT_EQ(0u, old->extent_cache.status.count);
    EXPECT_TRUE(log_.contains("preload 3 extent page of 1 inodes done."));
    ext_cache_cleanup(&recent->extent_cache);
    ext_table_set_lru(&etable_, 2);
    ASSERT_TRUE(tavtest::run_coroutine([&] { tav_itable_preload_extent(itable_, &etable_); }));
    EXPECT_EQ(2u, etable_.count) << "stopped at the limit";
    for (auto *i : {recent, old, small})
        tav_inode_unref(i, "test");
}

} // namespace

namespace {

// The periodic timers do the same work on their own: a dirty inode is
// written and an unlinked file destroyed without anyone calling a tick.
TEST_P(FsTest, TimersRunTheirWorkPeriodically) {
    tav_inode_info *d = create(1), *u = create(2);
    uint64_t ino_u = u->ondisk.i_no;
    d->ondisk.i_size = 12345;
    tav_inode_mark_dirty(d);
    u->ondisk.i_state = TAV_I_UNLINK;
    ASSERT_EQ(0, rw(u));
    tav_inode_unref(u, "test");
    tav_inode_unlink(u);
    tav_timer *dt = tav_dirty_timer(itable_, tavtest::driver());
    tav_timer *ut = tav_unlink_timer(itable_, tavtest::driver());
    tav_timer *ct = tav_compress_timer(itable_, tavtest::driver());
    ASSERT_TRUE(dt && ut && ct);
    EXPECT_TRUE(tavtest::run_until(
        [&] { return list_empty(&itable_->dirty_list) && list_empty(&itable_->unlink_list); }, 15.0));
    tav_timer_destroy(dt);
    tav_timer_destroy(ut);
    tav_timer_destroy(ct);
    EXPECT_FALSE(imap_bit(ino_u));
    auto s = read_bytes(slot(d->ondisk.i_no), 8192);
    EXPECT_EQ(12345u, std::max(get64(&s[120]), get64(&s[4096 + 120])));
    tav_inode_unref(d, "test");
}

} // namespace

namespace {

TEST_P(FsTest, WalkersSkipWhatTheyMustAndStopAtANegativeResult) {
    tav_inode_info *a = create(1), *b = create(2), *c = create(3);
    b->fd_cnt = 1;
    c->ondisk.i_state = TAV_I_INIT; // still being created
    struct Seen {
        int n = 0;
        int stop_at = -1;
    };
    auto fn = [](tav *, unsigned char *, void *p) {
        Seen *s = static_cast<Seen *>(p);
        return ++s->n == s->stop_at ? -EINTR : 0;
    };
    Seen all, unopen, stopped;
    stopped.stop_at = 1;
    EXPECT_EQ(0, tav_itable_for_each_opened(itable_, fn, TAV_LIST_ALL_FILE, &all));
    EXPECT_EQ(2, all.n);
    EXPECT_EQ(0, tav_itable_for_each_opened(itable_, fn, TAV_LIST_UNOPEN, &unopen));
    EXPECT_EQ(1, unopen.n);
    EXPECT_EQ(-EINTR, tav_itable_for_each_opened(itable_, fn, TAV_LIST_ALL_FILE, &stopped));
    EXPECT_EQ(1, stopped.n);
    // A callback may take the inode it is given out of the table.
    int visited = tav_itable_hash_foreach(
        itable_,
        [](tav_inode_info *inode, void *) {
            if (inode->ondisk.i_state == TAV_I_INIT)
                __tav_inode_unlink(inode);
            return 0;
        },
        nullptr);
    EXPECT_EQ(0, visited);
    EXPECT_EQ(2u, itable_->inode_count);
    c->ondisk.i_state = TAV_I_FREE;
    tav_inode_unref(c, "test"); // FREE at its last reference: freed
    b->fd_cnt = 0;
    tav_inode_unref(a, "test");
    tav_inode_unref(b, "test");
}

} // namespace

INSTANTIATE_TEST_SUITE_P(Backends, FsTest,
                         ::testing::Values(tavtest::Backend::File, tavtest::Backend::Volume),
                         [](const auto &info) { return std::string(tavtest::backend_name(info.param)); });
