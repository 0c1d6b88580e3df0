// Extent pages on a real file through libaio: entry formats built byte by
// byte from the format tables, numbering, the checks and the ERROR state,
// mapping updates and written bits, the cache with its LRU, flush, bulk
// pages and the batch runner.
#include "extent.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>

#include <array>
#include <random>
#include <vector>

#include "ioengine.h"
#include "support/bytes.h"
#include "support/device.h"
#include "support/log_capture.h"
#include "support/loop.h"
#include "coroutine.h"
#include "memory.h"

namespace {

constexpr uint64_t MiB = 1048576;

// ---- expected on-disk entries, from the format tables ---------------------

using tavtest::Bytes;
using tavtest::fault_engine;
using tavtest::put16;
using tavtest::put32;
using tavtest::put64;
using tavtest::xxh64_1011;

// Version 1: magic 0, checksum 8 (low 32 bits of XXH64 seed 1011 over
// 12..63), state 12, block 16, slice 24, type 26, reserved 28, bitmaps 32.
Bytes v1_entry(uint32_t state, uint64_t block, uint16_t slice, uint16_t type,
               const Bytes &bits = Bytes(32, 0)) {
    Bytes e(64, 0);
    memcpy(e.data(), "_blkmap_", 8);
    put32(&e[12], state);
    put64(&e[16], block);
    put16(&e[24], slice);
    put16(&e[26], type);
    memcpy(&e[32], bits.data(), bits.size());
    put32(&e[8], static_cast<uint32_t>(xxh64_1011(&e[12], 52)));
    return e;
}

// Version 2: checksum 0 (over 4..15), state 4, slice 5, reserved 6, block 8,
// bitmaps 12.
Bytes v2_entry(uint8_t state, uint8_t slice, uint32_t block, const Bytes &bits = Bytes(4, 0)) {
    Bytes e(16, 0);
    e[4] = state;
    e[5] = slice;
    put32(&e[8], block);
    memcpy(&e[12], bits.data(), 4);
    put32(&e[0], static_cast<uint32_t>(xxh64_1011(&e[4], 12)));
    return e;
}

Bytes empty_entry(ext_type_t type) {
    switch (type) {
    case TAV_BLKMAP_TYPE_BLOCK: return v1_entry(1, 0, 0xFFFF, 0);
    case TAV_BLKMAP_TYPE_SLICE: return v1_entry(1, 0, 0xFFFF, 1);
    default: return v2_entry(1, 0xFF, 0);
    }
}

size_t entry_size(ext_type_t type) {
    return type == TAV_BLKMAP_TYPE_SLICE_V2 ? 16 : 64;
}

// ---- the instance side of the extent layer ---------------------------------

struct Host {
    uint64_t extent_blocks[16] = {2, 3};
    ext_type_t type = TAV_BLKMAP_TYPE_BLOCK;
    int blkno_error = 0;
    int maps = 0, unmaps = 0;
    uint64_t last_hook_pblock = 0;
} g_host;

int host_blkno(ext_cache_t *, uint32_t n, uint64_t *pblk) {
    if (g_host.blkno_error)
        return g_host.blkno_error;
    *pblk = g_host.extent_blocks[n];
    return 0;
}
ext_type_t host_type(ext_cache_t *) {
    return g_host.type;
}
void host_map(ext_cache_t *, blkmap_t *m) {
    g_host.maps++;
    g_host.last_hook_pblock = ext_blkmap_get_pblock(m);
}
void host_unmap(ext_cache_t *, blkmap_t *m) {
    g_host.unmaps++;
    g_host.last_hook_pblock = ext_blkmap_get_pblock(m); // still mapped here
}
const tav_extent_fops kFops = {host_blkno, host_type, host_map, host_unmap};

class ExtentTest : public tavtest::DeviceTest {
protected:
    void SetUp() override {
        g_host = Host{};
        open_device(8 * MiB, tavtest::kFaultEngine);
        ext_table_init(&table_, &kFops, TAV_EXTENT_TABLE_MAX);
        ext_cache_init(&cache_, &table_);
    }
    void TearDown() override {
        ext_cache_cleanup(&cache_);
        ext_table_destroy(&table_);
        DeviceTest::TearDown();
    }
    void format(ext_type_t type) {
        g_host.type = type;
        int r1 = -1, r2 = -1;
        ASSERT_TRUE(tavtest::run_coroutine([&] {
            r1 = ext_block_format(2, type);
            r2 = ext_block_format(3, type);
        }));
        ASSERT_EQ(0, r1);
        ASSERT_EQ(0, r2);
    }
    // Byte offset of entry `i` of 8 KiB page `index` (extent blocks 2, 3).
    uint64_t entry_offset(ext_type_t type, uint32_t index, uint32_t i) {
        return g_host.extent_blocks[index / 128] * MiB + (index % 128) * 8192ull + i * entry_size(type);
    }
    ext_page_t *get(uint32_t index) {
        ext_page_t *p = nullptr;
        int err = 0;
        EXPECT_TRUE(tavtest::run_coroutine([&] {
            p = ext_page_get(&cache_, index);
            err = errno;
        }));
        errno = err;
        return p;
    }
    int write(ext_page_t *p) {
        int r = -1;
        EXPECT_TRUE(tavtest::run_coroutine([&] { r = ext_page_write(p); }));
        return r;
    }
    tavtest::LogCapture log_;
    ext_table_t table_;
    ext_cache_t cache_;
};

const ext_type_t kTypes[] = {TAV_BLKMAP_TYPE_BLOCK, TAV_BLKMAP_TYPE_SLICE, TAV_BLKMAP_TYPE_SLICE_V2};

TEST_F(ExtentTest, FormatFillsTheExtentBlockWithEmptyEntries) {
    for (ext_type_t type : kTypes) {
        SCOPED_TRACE(type);
        format(type);
        Bytes expect = empty_entry(type);
        Bytes one(entry_size(type));
        ext_blkmap_ondisk_format(type, one.data());
        EXPECT_EQ(expect, one);
        auto raw = read_bytes(2 * MiB, MiB);
        for (size_t off = 0; off < MiB; off += expect.size())
            ASSERT_EQ(0, memcmp(raw.data() + off, expect.data(), expect.size())) << off;
        EXPECT_EQ(expect.size(), ext_blkmap_ondisk_size(type));
    }
    EXPECT_EQ(64u, ext_blkmap_size(TAV_BLKMAP_TYPE_BLOCK));
    EXPECT_EQ(36u, ext_blkmap_size(TAV_BLKMAP_TYPE_SLICE));
    EXPECT_EQ(36u, ext_blkmap_size(TAV_BLKMAP_TYPE_SLICE_V2));
    EXPECT_EQ(128u, ext_blkmaps_per_page(TAV_BLKMAP_TYPE_BLOCK, 8192));
    EXPECT_EQ(128u, ext_blkmaps_per_page(TAV_BLKMAP_TYPE_SLICE, 8192));
    EXPECT_EQ(512u, ext_blkmaps_per_page(TAV_BLKMAP_TYPE_SLICE_V2, 8192));
    EXPECT_EQ(16384u, ext_blkmaps_per_page(TAV_BLKMAP_TYPE_BLOCK, MiB));
}

// Logical block 300 (slice 3 for slice maps): where its entry lives, and
// that a hand-built mapped entry there decodes to the right mapping.
TEST_F(ExtentTest, NumberingAndLoadOfAHandBuiltMappedEntry) {
    struct Case {
        ext_type_t type;
        uint32_t page, entry;
    } cases[] = {
        {TAV_BLKMAP_TYPE_BLOCK, 2, 44},     // 300 = 2 * 128 + 44
        {TAV_BLKMAP_TYPE_SLICE, 18, 99},    // 2403 = 18 * 128 + 99
        {TAV_BLKMAP_TYPE_SLICE_V2, 4, 355}, // 2403 - 4 * 512 = 355
    };
    Bytes bits32(32, 0), bits4(4, 0);
    bits32[0] = 0x81;
    bits32[31] = 0x80; // units 0, 7 and 255
    bits4[0] = 0x05;
    bits4[3] = 0x80; // units 0, 2 and 31
    for (const Case &c : cases) {
        SCOPED_TRACE(c.type);
        format(c.type);
        bool slices = c.type != TAV_BLKMAP_TYPE_BLOCK;
        Bytes e = c.type == TAV_BLKMAP_TYPE_BLOCK   ? v1_entry(2, 9000, 0xFFFF, 0, bits32)
                  : c.type == TAV_BLKMAP_TYPE_SLICE ? v1_entry(2, 9000, 5, 1, bits4)
                                                    : v2_entry(2, 5, 9000, bits4);
        write_bytes(entry_offset(c.type, c.page, c.entry), e.data(), e.size());
        ext_page_t *page = nullptr;
        blkmap_t *m = nullptr;
        ASSERT_TRUE(
            tavtest::run_coroutine([&] { m = ext_blkmap_get(&cache_, 300, slices ? 3 : -1, &page); }));
        ASSERT_NE(nullptr, m);
        EXPECT_EQ(c.page, page->index);
        EXPECT_EQ(m, ext_page_blkmap_get_index(page, c.entry));
        EXPECT_EQ(300u, ext_blkmap_get_iblock(m));
        EXPECT_EQ(slices ? 3 : -1, ext_blkmap_get_islice(m));
        EXPECT_EQ(9000u, ext_blkmap_get_pblock(m));
        EXPECT_EQ(slices ? 5 : -1, ext_blkmap_get_pslice(m));
        EXPECT_EQ(300 * MiB + (slices ? 3 * 131072 : 0), ext_blkmap_get_lba(m));
        EXPECT_EQ((int64_t)(9000 * MiB + (slices ? 5 * 131072 : 0)), ext_blkmap_get_pba(m));
        uint32_t nbits = slices ? 32 : 256;
        EXPECT_TRUE(ext_blkmap_is_bits_set(m, 0, 1));
        EXPECT_TRUE(ext_blkmap_is_bits_clr(m, 1, 1));
        EXPECT_TRUE(ext_blkmap_is_bits_set(m, nbits - 1, 1));
        if (slices) {
            EXPECT_TRUE(ext_blkmap_is_bits_set(m, 2, 1));
            EXPECT_EQ(ext_blkmap_to_blkmaps(m), ext_page_blkmaps_get(page, 300));
            EXPECT_EQ(1, ext_blkmaps_pslice_count(ext_blkmap_to_blkmaps(m)));
            EXPECT_EQ(9000u, ext_blkmaps_first_pblock(ext_blkmap_to_blkmaps(m)));
            EXPECT_EQ(-1, ext_blkmaps_get_pslice(ext_blkmap_to_blkmaps(m), 2));
        } else {
            EXPECT_TRUE(ext_blkmap_is_bits_set(m, 7, 1));
            EXPECT_EQ(8, ext_blkmaps_pslice_count(m));
        }
        // The neighbours are empty.
        blkmap_t *next = ext_page_blkmap_get_index(page, c.entry + 1);
        EXPECT_EQ(TAV_BLKMAP_STATE_INIT, next->state);
        EXPECT_EQ(0u, ext_blkmap_get_pblock(next));
        EXPECT_EQ(-1, ext_blkmap_get_pba(next));
        ext_page_put(page);
        ext_cache_cleanup(&cache_);
    }
}

// What a page write puts on the device after SET, bit updates, DELETE and
// UNMAP, compared with entries built from the tables.
TEST_F(ExtentTest, WrittenEntriesMatchTheFormatTables) {
    for (ext_type_t type : kTypes) {
        SCOPED_TRACE(type);
        format(type);
        bool slices = type != TAV_BLKMAP_TYPE_BLOCK;
        g_host.maps = g_host.unmaps = 0;
        ext_page_t *page = get(0);
        ASSERT_NE(nullptr, page);
        // Block 1 (slice 6) maps to 777 (slice 2) with units 0..2 written;
        // block 2 is mapped then deleted; block 3 mapped then unmapped.
        blkmap_t *m1 = ext_page_blkmap_get(page, 1, slices ? 6 : -1);
        blkmap_t *m2 = ext_page_blkmap_get(page, 2, slices ? 0 : -1);
        blkmap_t *m3 = ext_page_blkmap_get(page, 3, slices ? 0 : -1);
        int ps = slices ? 2 : -1;
        uint32_t dirty0 = page->dirty;
        ext_blkmap_set_pblock(m1, 777, ps);
        ext_blkmap_set_bits(m1, 0, 3);
        ext_blkmap_set_pblock(m2, 778, ps);
        ext_blkmap_set_bits(m2, 1, 1);
        ext_blkmap_delete_pblock(m2, 778, ps);
        ext_blkmap_set_pblock(m3, 779, ps);
        ext_blkmap_set_bits(m3, 4, 1);
        ext_blkmap_unmap_pblock(m3, 779, ps);
        EXPECT_EQ(3, g_host.maps);
        EXPECT_EQ(2, g_host.unmaps);
        EXPECT_GT(page->dirty, dirty0);
        ASSERT_EQ(0, write(page));
        EXPECT_EQ(0u, page->dirty);

        uint32_t i1 = slices ? 1 * 8 + 6 : 1, i2 = slices ? 16 : 2, i3 = slices ? 24 : 3;
        Bytes got1 = read_bytes(entry_offset(type, 0, i1), entry_size(type));
        Bytes got2 = read_bytes(entry_offset(type, 0, i2), entry_size(type));
        Bytes got3 = read_bytes(entry_offset(type, 0, i3), entry_size(type));
        Bytes w1(slices ? 4 : 32, 0), w3(slices ? 4 : 32, 0);
        w1[0] = 0x07;
        w3[0] = 0x10;
        Bytes w1_32 = w1, w3_32 = w3;
        w1_32.resize(32, 0);
        w3_32.resize(32, 0);
        if (type == TAV_BLKMAP_TYPE_SLICE_V2) {
            EXPECT_EQ(v2_entry(2, 2, 777, w1), got1);
            EXPECT_EQ(v2_entry(3, 0xFF, 0), got2);
            EXPECT_EQ(v2_entry(3, 2, 779, w3), got3);
        } else {
            uint16_t t = slices ? 1 : 0, s = slices ? 2 : 0xFFFF;
            EXPECT_EQ(v1_entry(2, 777, s, t, w1_32), got1);
            EXPECT_EQ(v1_entry(3, 0, 0xFFFF, t), got2);
            EXPECT_EQ(v1_entry(3, 779, s, t, w3_32), got3);
        }
        // Untouched entries are still the formatted ones.
        EXPECT_EQ(empty_entry(type), read_bytes(entry_offset(type, 0, i3 + 1), entry_size(type)));
        ext_page_put(page);
        ext_cache_cleanup(&cache_);
    }
}

// Each illegal entry fails the page load with -EACCES and its own message;
// the page stays stale, so a repaired device page loads at the next access.
TEST_F(ExtentTest, IllegalEntriesFailTheLoadWithTheirMessage) {
    struct Case {
        ext_type_t type;
        Bytes entry;
        const char *message;
    } cases[] = {
        {TAV_BLKMAP_TYPE_BLOCK,
         [] {
             auto e = v1_entry(1, 0, 0xFFFF, 0);
             e[0] = 'X';
             return e;
         }(),
         "blkmap: invalid magic 0x"},
        {TAV_BLKMAP_TYPE_BLOCK,
         [] {
             auto e = v1_entry(1, 0, 0xFFFF, 0);
             e[40] ^= 1;
             return e;
         }(),
         "blkmap: checksum failed 0x"},
        {TAV_BLKMAP_TYPE_BLOCK, v1_entry(0, 0, 0xFFFF, 0), "blkmap: invalid state: 0"},
        {TAV_BLKMAP_TYPE_BLOCK, v1_entry(5, 0, 0xFFFF, 0), "blkmap: invalid state: 5"},
        {TAV_BLKMAP_TYPE_BLOCK, v1_entry(1, 0, 0xFFFF, 1), "blkmap: invalid type: 1 (expected: 0)"},
        {TAV_BLKMAP_TYPE_SLICE, v1_entry(2, 50, 8, 1), "blkmap: invalid slice: 8"},
        {TAV_BLKMAP_TYPE_SLICE_V2,
         [] {
             auto e = v2_entry(1, 0xFF, 0);
             e[9] ^= 1;
             return e;
         }(),
         "blkmap: checksum failed 0x"},
        {TAV_BLKMAP_TYPE_SLICE_V2, v2_entry(7, 0xFF, 0), "blkmap: invalid state: 7"},
        {TAV_BLKMAP_TYPE_SLICE_V2, v2_entry(2, 9, 50), "blkmap: invalid slice: 9"},
        {TAV_BLKMAP_TYPE_SLICE_V2, v2_entry(2, 1, 0), "blkmap: invalid block: 0"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.message);
        format(c.type);
        log_.clear();
        write_bytes(entry_offset(c.type, 0, 7), c.entry.data(), c.entry.size());
        EXPECT_EQ(nullptr, get(0));
        EXPECT_EQ(EACCES, errno);
        EXPECT_TRUE(log_.contains(c.message));
        EXPECT_TRUE(log_.contains("illegal blkmap, page index: 0, phy_addr: 2097152, "
                                  "blkmap index: 7"));
        EXPECT_TRUE(log_.contains("ext_page_access failed: (-13)"));
        Bytes good = empty_entry(c.type);
        write_bytes(entry_offset(c.type, 0, 7), good.data(), good.size());
        ext_page_t *page = get(0);
        ASSERT_NE(nullptr, page) << "a failed load is retried at the next access";
        ext_page_put(page);
        ext_cache_cleanup(&cache_);
    }
}

// The bad entry is kept as ERROR while the others are filled.
TEST_F(ExtentTest, BadEntryIsErrorWhileTheOthersAreFilled) {
    format(TAV_BLKMAP_TYPE_BLOCK);
    ext_page_t *page = get(0);
    ASSERT_NE(nullptr, page);
    Bytes img(8192);
    for (int i = 0; i < 128; i++) {
        Bytes e = i == 8 ? v1_entry(2, 4242, 0xFFFF, 0) : empty_entry(TAV_BLKMAP_TYPE_BLOCK);
        memcpy(&img[i * 64], e.data(), 64);
    }
    img[7 * 64 + 20] ^= 0x40; // entry 7: block field damaged, checksum no longer matches
    EXPECT_EQ(-EACCES,
              ext_mbuf_fops(TAV_BLKMAP_TYPE_BLOCK)->unserialize(&page->mbuf, img.data(), img.size()));
    blkmap_t *bad = ext_page_blkmap_get_index(page, 7);
    EXPECT_EQ(TAV_BLKMAP_STATE_ERROR, bad->state);
    EXPECT_EQ(0u, ext_blkmap_get_pblock(bad));
    EXPECT_EQ(7u, ext_blkmap_get_iblock(bad));
    blkmap_t *after = ext_page_blkmap_get_index(page, 8);
    EXPECT_EQ(TAV_BLKMAP_STATE_MAPPED, after->state);
    EXPECT_EQ(4242u, ext_blkmap_get_pblock(after));
    EXPECT_EQ(TAV_BLKMAP_STATE_INIT, ext_page_blkmap_get_index(page, 127)->state);
    ext_page_put(page);
}

TEST_F(ExtentTest, ReadFailureOfAPageIsReported) {
    format(TAV_BLKMAP_TYPE_BLOCK);
    fault_engine().fail_reads(2 * MiB + 8192, 8192, 1);
    EXPECT_EQ(nullptr, get(1));
    EXPECT_EQ(EIO, errno);
    EXPECT_TRUE(log_.contains("ext_page_access failed: (-5)"));
    ext_page_t *page = get(1);
    ASSERT_NE(nullptr, page);
    ext_page_put(page);
}

TEST_F(ExtentTest, MissingExtentBlockAndAddressability) {
    format(TAV_BLKMAP_TYPE_BLOCK);
    int a0 = -1, a1 = -1, a2 = -1, aerr = 0;
    ext_page_t *missing = nullptr;
    int missing_errno = 0;
    ASSERT_TRUE(tavtest::run_coroutine([&] {
        a0 = ext_page_addressable(&cache_, 8192, 127);
        a1 = ext_page_addressable(&cache_, 8192, 128); // extent block 1
        a2 = ext_page_addressable(&cache_, 8192, 256); // extent block 2: none
        missing = ext_page_get(&cache_, 256);
        missing_errno = errno;
        g_host.blkno_error = -EIO;
        aerr = ext_page_addressable(&cache_, MiB, 0);
    }));
    EXPECT_EQ(1, a0);
    EXPECT_EQ(1, a1);
    EXPECT_EQ(0, a2);
    EXPECT_EQ(nullptr, missing);
    EXPECT_EQ(ENOENT, missing_errno);
    EXPECT_TRUE(log_.contains("get_extent_blkno failed"));
    EXPECT_EQ(-EIO, aerr);
    EXPECT_EQ(0u, table_.count);
}

TEST_F(ExtentTest, FindGoalFollowsThePreviousBlock) {
    for (ext_type_t type : {TAV_BLKMAP_TYPE_BLOCK, TAV_BLKMAP_TYPE_SLICE_V2}) {
        SCOPED_TRACE(type);
        format(type);
        bool slices = type != TAV_BLKMAP_TYPE_BLOCK;
        ext_page_t *page = get(0);
        ASSERT_NE(nullptr, page);
        EXPECT_EQ(0u, ext_page_find_goal(page, 0));
        EXPECT_EQ(0u, ext_page_find_goal(page, 5));
        blkmap_t *b4 = ext_page_blkmaps_get(page, 4);
        ext_blkmaps_set_pblock(b4, slices ? 2 : -1, 9000, slices ? 2 : -1);
        EXPECT_EQ(9001u, ext_page_find_goal(page, 5));
        EXPECT_EQ(0u, ext_page_find_goal(page, 6));
        uint32_t per_page = ext_iblocks_per_page(type, 8192);
        EXPECT_TRUE(ext_page_has_iblock(page, per_page - 1));
        EXPECT_FALSE(ext_page_has_iblock(page, per_page));
        EXPECT_EQ(0u, ext_page_find_goal(page, per_page + 1)) << "previous block not in page";
        ext_page_put(page);
        ext_cache_cleanup(&cache_);
    }
}

TEST_F(ExtentTest, MappingUpdatesAndWrittenBits) {
    format(TAV_BLKMAP_TYPE_BLOCK);
    ext_page_t *page = get(0);
    ASSERT_NE(nullptr, page);
    blkmap_t *m = ext_page_blkmaps_get(page, 10);
    ext_blkmap_set_pblock(m, 500, -1);
    EXPECT_EQ(1, g_host.maps);
    EXPECT_EQ(500u, g_host.last_hook_pblock);
    ext_blkmap_replace_pblock(m, 600, -1);
    EXPECT_EQ(1, g_host.maps) << "REPLACE calls no hook";
    EXPECT_EQ(600u, ext_blkmap_get_pblock(m));
    EXPECT_TRUE(ext_blkmaps_all_bits_clr(m, -1));

    uint32_t d = page->dirty;
    ext_blkmap_set_bits(m, 250, 6);
    EXPECT_EQ(d + 1, page->dirty);
    ext_blkmap_set_bits(m, 252, 4);
    EXPECT_EQ(d + 1, page->dirty) << "bits already set leave the page clean";
    EXPECT_TRUE(ext_blkmap_is_bits_set(m, 250, 6));
    EXPECT_FALSE(ext_blkmap_is_bits_set(m, 249, 2));
    EXPECT_FALSE(ext_blkmaps_all_bits_clr(m, -1));
    ext_blkmap_clr_bits(m, 0, 250);
    EXPECT_EQ(d + 1, page->dirty) << "clearing clear bits changes nothing";
    ext_blkmap_clr_bits(m, 250, 6);
    EXPECT_EQ(d + 2, page->dirty);
    EXPECT_TRUE(ext_blkmap_is_bits_clr(m, 0, 256));

    ext_blkmap_set_bits(m, 0, 1);
    ext_blkmap_unmap_pblock(m, 600, -1);
    EXPECT_EQ(600u, g_host.last_hook_pblock) << "the unmap hook sees the mapping";
    EXPECT_EQ(TAV_BLKMAP_STATE_DELETED, m->state);
    EXPECT_EQ(0u, ext_blkmap_get_pblock(m));
    // A block mapped again over an unmapped entry starts with no unit written.
    ext_blkmap_set_pblock(m, 601, -1);
    EXPECT_TRUE(ext_blkmap_is_bits_clr(m, 0, 256));
    ext_page_put(page);
}

using ExtentDeathTest = ExtentTest;

TEST_F(ExtentDeathTest, BrokenStateRulesAbort) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    format(TAV_BLKMAP_TYPE_BLOCK);
    ext_page_t *page = get(0);
    ASSERT_NE(nullptr, page);
    blkmap_t *m = ext_page_blkmaps_get(page, 1);
    ext_blkmap_set_pblock(m, 500, -1);
    EXPECT_DEATH(ext_blkmap_set_pblock(m, 501, -1), "MAPPED");
    EXPECT_DEATH(ext_blkmap_delete_pblock(m, 502, -1), "pblock");
    EXPECT_DEATH(ext_blkmap_set_pblock(ext_page_blkmaps_get(page, 2), 503, 1), "pslice");
    ext_page_put(page);
}

// With max 2 and three unpinned clean pages, a put evicts the least recent;
// a dirty or pinned least-recent page is skipped.
TEST_F(ExtentTest, LruEvictsTheLeastRecentCleanUnpinnedPage) {
    format(TAV_BLKMAP_TYPE_BLOCK);
    ext_table_set_lru(&table_, 2);
    auto touch = [&](uint32_t i) {
        ext_page_t *p = get(i);
        EXPECT_NE(nullptr, p);
        return p;
    };
    auto cached = [&](uint32_t i) {
        uint64_t hits = cache_.status.hit;
        ext_page_put(touch(i));
        return cache_.status.hit > hits;
    };
    ext_page_put(touch(0));
    ext_page_put(touch(1));
    ext_page_put(touch(2));
    EXPECT_EQ(2u, table_.count);
    EXPECT_EQ(2u, cache_.status.count);
    EXPECT_EQ(0, ext_cache_verify(&cache_));
    EXPECT_TRUE(cached(1));  // now 1 is the most recent, 2 the least
    EXPECT_FALSE(cached(0)); // reloaded; evicts 2

    // Page 1 is least recent but dirty: page 0 goes instead when 3 arrives.
    ext_page_t *p1 = touch(1);
    ext_blkmap_set_pblock(ext_page_blkmaps_get(p1, 128 + 5), 700, -1);
    ext_page_put(p1);
    ext_page_put(touch(0));
    ext_page_put(touch(3)); // order (most recent first): 3 0 1 -> 0 is the clean victim
    EXPECT_EQ(2u, table_.count);
    EXPECT_TRUE(cached(1)) << "dirty page kept";
    EXPECT_TRUE(cached(3));
    EXPECT_EQ(2u, table_.count);

    // A pinned page is never evicted, even above max.
    ext_page_t *pinned = touch(1);
    ext_table_set_lru(&table_, 0);
    EXPECT_EQ(1u, table_.count) << "only the clean unpinned page 3 could go";
    ext_page_put(pinned);
    EXPECT_EQ(1u, table_.count) << "page 1 is still dirty";
    ext_page_t *p = touch(1);
    ASSERT_EQ(0, write(p));
    ext_page_put(p);
    EXPECT_EQ(0u, table_.count);
    EXPECT_EQ(0, ext_cache_verify(&cache_));
}

TEST_F(ExtentTest, CacheTreeStaysBalancedUnderRandomUse) {
    format(TAV_BLKMAP_TYPE_BLOCK);
    unsigned seed = static_cast<unsigned>(::testing::UnitTest::GetInstance()->random_seed());
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    ASSERT_TRUE(tavtest::run_coroutine([&] {
        for (int op = 0; op < 600; op++) {
            if (rng() % 8 == 0) {
                ext_table_set_lru(&table_, rng() % 64);
            } else {
                ext_page_t *p = ext_page_get(&cache_, rng() % 256);
                ASSERT_NE(nullptr, p);
                ext_page_put(p);
                ext_table_set_lru(&table_, 200);
            }
            ASSERT_EQ(0, ext_cache_verify(&cache_)) << "op " << op;
            ASSERT_EQ(table_.count, cache_.status.count);
        }
    }));
    // Flush walks the tree in index order: every cached page, none twice.
    uint32_t n = cache_.status.count;
    ext_table_set_lru(&table_, TAV_EXTENT_TABLE_MAX); // no eviction from here on
    std::vector<ext_page_t *> pages;
    ASSERT_TRUE(tavtest::run_coroutine([&] {
        for (uint32_t i = 0; i < 256; i++) {
            uint64_t hit = cache_.status.hit;
            ext_page_t *p = ext_page_get(&cache_, i);
            if (cache_.status.hit > hit) {
                ext_page_mark_dirty(p);
                pages.push_back(p);
            } else {
                ext_page_put(p);
            }
        }
    }));
    for (ext_page_t *p : pages)
        ext_page_put(p);
    EXPECT_EQ(n, pages.size());
    int flushed = -1;
    fault_engine().transfers.clear();
    ASSERT_TRUE(tavtest::run_coroutine([&] { flushed = ext_cache_flush(&cache_); }));
    EXPECT_EQ((int)pages.size(), flushed);
    const auto writes = fault_engine().forwarded_writes();
    ASSERT_EQ(pages.size(), writes.size());
    for (size_t i = 1; i < writes.size(); i++)
        EXPECT_LT(writes[i - 1].off, writes[i].off);
}

TEST_F(ExtentTest, CacheFlushWritesDirtyPagesAndStopsAtTheFirstFailure) {
    format(TAV_BLKMAP_TYPE_BLOCK);
    ext_page_t *p3 = get(3), *p1 = get(1), *p5 = get(5);
    ASSERT_TRUE(p3 && p1 && p5);
    ext_blkmap_set_pblock(ext_page_blkmaps_get(p3, 3 * 128), 801, -1);
    ext_blkmap_set_pblock(ext_page_blkmaps_get(p1, 1 * 128), 802, -1);
    ext_blkmap_set_pblock(ext_page_blkmaps_get(p5, 5 * 128), 803, -1);
    ext_page_put(p3);
    ext_page_put(p1);
    ext_page_put(p5);
    fault_engine().fail_writes(2 * MiB + 3 * 8192, 8192, 1);
    fault_engine().transfers.clear();
    int r = 0;
    ASSERT_TRUE(tavtest::run_coroutine([&] { r = ext_cache_flush(&cache_); }));
    EXPECT_EQ(-EIO, r);
    const auto writes = fault_engine().forwarded_writes();
    ASSERT_EQ(1u, writes.size()) << "page 1 written, page 3 failed, page 5 not tried";
    EXPECT_EQ(2 * MiB + 8192, writes[0].off);
    EXPECT_EQ(0u, p1->dirty);
    EXPECT_NE(0u, p3->dirty) << "a page whose write failed is still dirty";
    EXPECT_NE(0u, p5->dirty);
    EXPECT_EQ(0u, p1->in_use + p3->in_use + p5->in_use);
    ASSERT_TRUE(tavtest::run_coroutine([&] { r = ext_cache_flush(&cache_); }));
    EXPECT_EQ(2, r);
    Bytes e = read_bytes(entry_offset(TAV_BLKMAP_TYPE_BLOCK, 5, 0), 64);
    EXPECT_EQ(v1_entry(2, 803, 0xFFFF, 0), e);
}

TEST_F(ExtentTest, UncachedAndBulkPages) {
    format(TAV_BLKMAP_TYPE_BLOCK);
    Bytes e = v1_entry(2, 1234, 0xFFFF, 0);
    write_bytes(entry_offset(TAV_BLKMAP_TYPE_BLOCK, 130, 4), e.data(), e.size()); // block 16644

    ext_page_t *bulk = nullptr;
    ASSERT_TRUE(tavtest::run_coroutine([&] { bulk = ext_page_get_nostd(&cache_, MiB, 1); }));
    ASSERT_NE(nullptr, bulk);
    EXPECT_EQ(16384u, bulk->count);
    EXPECT_EQ(3 * MiB, bulk->phy_addr);
    blkmap_t *m = ext_page_blkmaps_get(bulk, 16384 + 2 * 128 + 4);
    EXPECT_EQ(1234u, ext_blkmap_get_pblock(m));
    EXPECT_EQ(0u, table_.count) << "bulk pages are never cached";
    ext_page_put(bulk);

    ext_page_t *cached = get(7);
    ext_page_t *nc = nullptr, *nc2 = nullptr;
    ASSERT_TRUE(tavtest::run_coroutine([&] {
        nc = ext_page_get_nocache(&cache_, 7);
        nc2 = ext_page_get_nocache(&cache_, 9);
    }));
    EXPECT_EQ(cached, nc) << "a cached page is shared";
    ASSERT_NE(nullptr, nc2);
    EXPECT_EQ(1u, table_.count);
    EXPECT_EQ(1u, cache_.status.count);
    ext_page_put(nc2);
    ext_page_put(nc);
    ext_page_put(cached);
    EXPECT_EQ(1u, table_.count);
}

TEST_F(ExtentTest, PagesNeededForAFileSize) {
    struct Case {
        ext_type_t type;
        uint64_t size;
        uint32_t pages;
    } cases[] = {
        {TAV_BLKMAP_TYPE_BLOCK, 0, 0},
        {TAV_BLKMAP_TYPE_BLOCK, 128 * MiB, 1},
        {TAV_BLKMAP_TYPE_BLOCK, 128 * MiB + 1, 2},
        {TAV_BLKMAP_TYPE_BLOCK, 256ull << 30, 2048},
        {TAV_BLKMAP_TYPE_SLICE, 16 * MiB, 1},
        {TAV_BLKMAP_TYPE_SLICE, 16 * MiB + 1, 2},
        {TAV_BLKMAP_TYPE_SLICE_V2, 64 * MiB, 1},
        {TAV_BLKMAP_TYPE_SLICE_V2, 1, 1},
        // Sizes no file can have (read from a damaged inode) stay bounded.
        {TAV_BLKMAP_TYPE_BLOCK, ~0ull, 2048},
        {TAV_BLKMAP_TYPE_SLICE_V2, ~0ull, 2048},
    };
    for (const Case &c : cases) {
        g_host.type = c.type;
        EXPECT_EQ(c.pages, ext_cache_max_count(&cache_, c.size)) << c.type << " " << c.size;
    }
}

// Requests queued while a batch runs are served together by the next runner.
TEST_F(ExtentTest, BatchRunnerServesWaitingRequestsTogether) {
    format(TAV_BLKMAP_TYPE_BLOCK);
    ext_page_t *page = get(0);
    ASSERT_NE(nullptr, page);
    struct Ctx {
        ext_page_t *page;
        std::vector<int> groups;
        int processed = 0;
        bool owner_ok = true;
    } ctx{page};
    auto process = [](batch_t *runner, list_head *wait, list_head *out, void *data) -> int {
        Ctx *c = static_cast<Ctx *>(data);
        c->owner_ok &= ext_page_from_batch(runner) == c->page;
        int n = 0;
        while (!list_empty(wait)) {
            list_move_tail(wait->next, out);
            n++;
        }
        c->groups.push_back(n);
        c->processed += n;
        // Yield on device I/O, as a real batch does.
        char *buf = static_cast<char *>(tav_iobuf_get(4096, TAV_MEM_OTHER));
        ioengine_co_preadn(ioengine_get_default(), buf, 4096, 0);
        tav_iobuf_put(buf);
        return n;
    };
    constexpr int kReqs = 5;
    req_t reqs[kReqs];
    int finished = 0;
    struct Arg {
        ext_page_t *page;
        req_t *req;
        batch_process_fn fn;
        Ctx *ctx;
        int *finished;
    } args[kReqs];
    for (int i = 0; i < kReqs; i++) {
        args[i] = {page, &reqs[i], process, &ctx, &finished};
        Coroutine *co = coroutine_create(
            [](void *p) {
                Arg *a = static_cast<Arg *>(p);
                ext_page_batch_run(a->page, a->req, a->fn, a->ctx);
                EXPECT_TRUE(a->req->done);
                (*a->finished)++;
            },
            &args[i]);
        coroutine_enter(co);
    }
    ASSERT_TRUE(tavtest::run_until([&] { return finished == kReqs; }));
    EXPECT_EQ(kReqs, ctx.processed);
    EXPECT_EQ((std::vector<int>{1, kReqs - 1}), ctx.groups);
    EXPECT_TRUE(ctx.owner_ok);
    EXPECT_TRUE(list_empty(&page->runner.queue_done));
    EXPECT_TRUE(list_empty(&page->runner.queue_wait));
    ext_page_put(page);
}

} // namespace
