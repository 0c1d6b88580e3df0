// I/O buffer pools: exact-size service, exhaustion fall-back under the
// caller's tag, sizes without a pool, fini keeping a pool in use, misuse.
//
// Where a buffer came from is observed through accounting: pool buffers count
// under TAV_MEM_IOBUF_POOL, fall-back allocations under the caller's tag.
#include "memory.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <vector>

namespace {

tav_mem_info info(tav_mem_type_t type) {
    struct ctx_t {
        tav_mem_type_t want;
        int i;
        tav_mem_info out;
    } ctx{type, 0, {}};
    EXPECT_EQ(0, tav_mem_info_foreach(
                     [](const tav_mem_info *in, void *priv) {
                         auto *c = static_cast<ctx_t *>(priv);
                         if (c->i++ == c->want)
                             c->out = *in;
                         return 0;
                     },
                     &ctx));
    return ctx.out;
}

class IobufPool : public ::testing::Test {
protected:
    void SetUp() override {
        tav_acct_toggle(1);
        tav_iobuf_pool_init();
    }
    void TearDown() override { tav_iobuf_pool_fini(); }

    // Takes a buffer and tells whether the pool served it.
    void *get(size_t size, tav_mem_type_t type, bool *from_pool) {
        uint64_t pool_before = info(TAV_MEM_IOBUF_POOL).total_alloc_count;
        uint64_t tag_before = info(type).total_alloc_size;
        void *p = tav_iobuf_get(size, type);
        EXPECT_NE(nullptr, p);
        EXPECT_EQ(0u, (uintptr_t)p % 4096);
        memset(p, 0xa5, size); // the whole buffer must be ours
        bool pool = info(TAV_MEM_IOBUF_POOL).total_alloc_count == pool_before + 1;
        bool tagged = info(type).total_alloc_size == tag_before + size;
        EXPECT_NE(pool, tagged) << "served by exactly one of pool and allocation";
        *from_pool = pool;
        return p;
    }
};

TEST_F(IobufPool, SmallPoolExhaustionFallsBackUnderCallersTag) {
    const uint64_t pool_size0 = info(TAV_MEM_IOBUF_POOL).total_alloc_size;
    std::vector<void *> bufs;
    std::set<void *> distinct;
    bool pool = false;
    for (int i = 0; i < 128; i++) {
        bufs.push_back(get(4096, TAV_MEM_IO_ALIGNED_BUFFER, &pool));
        ASSERT_TRUE(pool) << i;
        distinct.insert(bufs.back());
    }
    EXPECT_EQ(128u, distinct.size());
    EXPECT_EQ(pool_size0 + 128 * 4096, info(TAV_MEM_IOBUF_POOL).total_alloc_size);

    const tav_mem_info tag0 = info(TAV_MEM_IO_ALIGNED_BUFFER);
    void *extra = get(4096, TAV_MEM_IO_ALIGNED_BUFFER, &pool);
    EXPECT_FALSE(pool);
    EXPECT_EQ(0u, distinct.count(extra));
    tav_iobuf_put(extra); // freed, not added to the pool
    EXPECT_EQ(tag0.total_alloc_size, info(TAV_MEM_IO_ALIGNED_BUFFER).total_alloc_size);
    EXPECT_EQ(tag0.total_free_count + 1, info(TAV_MEM_IO_ALIGNED_BUFFER).total_free_count);

    // A returned pool buffer is the one handed out next.
    tav_iobuf_put(bufs[17]);
    EXPECT_EQ(bufs[17], get(4096, TAV_MEM_IO_ALIGNED_BUFFER, &pool));
    EXPECT_TRUE(pool);

    const uint64_t frees = info(TAV_MEM_IOBUF_POOL).total_free_count;
    for (void *b : bufs)
        tav_iobuf_put(b);
    EXPECT_EQ(pool_size0, info(TAV_MEM_IOBUF_POOL).total_alloc_size);
    EXPECT_EQ(frees + 128, info(TAV_MEM_IOBUF_POOL).total_free_count);
}

TEST_F(IobufPool, OnlyExactPoolSizesUseAPool) {
    struct {
        size_t size;
        bool first_from_pool, second_from_pool;
    } cases[] = {
        {12288, false, false}, // no pool of that size
        {4095, false, false},  // sizes must match exactly
        {8192, true, true},
        {1048576, true, false}, // a single 1 MiB buffer
    };
    for (const auto &c : cases) {
        bool p1 = false, p2 = false;
        void *a = get(c.size, TAV_MEM_MBUF_ALIGNED_BUFFER, &p1);
        void *b = get(c.size, TAV_MEM_MBUF_ALIGNED_BUFFER, &p2);
        EXPECT_EQ(c.first_from_pool, p1) << c.size;
        EXPECT_EQ(c.second_from_pool, p2) << c.size;
        tav_iobuf_put(a);
        tav_iobuf_put(b);
    }
}

TEST_F(IobufPool, FiniKeepsOnlyThePoolWithABufferInUse) {
    bool pool = false;
    void *held = get(8192, TAV_MEM_EXTENT_PAGE, &pool);
    ASSERT_TRUE(pool);
    tav_iobuf_pool_fini();

    void *small = get(4096, TAV_MEM_EXTENT_PAGE, &pool);
    EXPECT_FALSE(pool) << "pool 0 released";
    tav_iobuf_put(small);
    void *big = get(1048576, TAV_MEM_EXTENT_PAGE, &pool);
    EXPECT_FALSE(pool) << "pool 2 released";
    tav_iobuf_put(big);
    void *other = get(8192, TAV_MEM_EXTENT_PAGE, &pool);
    EXPECT_TRUE(pool) << "pool 1 kept";
    tav_iobuf_put(other);
    tav_iobuf_put(held); // still a pool buffer: goes back to its pool

    tav_iobuf_pool_fini();
    void *after = get(8192, TAV_MEM_EXTENT_PAGE, &pool);
    EXPECT_FALSE(pool) << "pool 1 released once unused";
    tav_iobuf_put(after);

    tav_iobuf_pool_init();
    tav_iobuf_put(get(4096, TAV_MEM_EXTENT_PAGE, &pool));
    EXPECT_TRUE(pool) << "init sets the pools up again";
}

TEST_F(IobufPool, MisusedPoolPointersAreFatal) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            void *p = tav_iobuf_get(8192, TAV_MEM_OTHER);
            tav_iobuf_put(p);
            tav_iobuf_put(p);
        },
        "in_use");
    EXPECT_DEATH(
        {
            char *p = static_cast<char *>(tav_iobuf_get(8192, TAV_MEM_OTHER));
            tav_iobuf_put(p + 4096);
        },
        "off % pool.size == 0");
}

TEST_F(IobufPool, UseAfterPutIsReportedUnderAddressSanitizer) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            auto *p = static_cast<volatile char *>(tav_iobuf_get(4096, TAV_MEM_OTHER));
            tav_iobuf_put((void *)p);
            p[100] = 1;
        },
        "use-after-poison");
#else
    GTEST_SKIP() << "free pool buffers are poisoned only in AddressSanitizer builds";
#endif
}

} // namespace
