// Memory accounting: the switch, per-tag totals and peaks, tag names, the walk
// and allocation failures.
#include "memory.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "support/log_capture.h"

#if defined(__SANITIZE_ADDRESS__)
// Impossible allocations must return null here, as they do without ASan.
extern "C" const char *__asan_default_options() {
    return "allocator_may_return_null=1";
}
#endif

namespace {

std::vector<tav_mem_info> snapshot() {
    std::vector<tav_mem_info> out;
    int ret = tav_mem_info_foreach(
        [](const tav_mem_info *info, void *priv) {
            static_cast<std::vector<tav_mem_info> *>(priv)->push_back(*info);
            return 0;
        },
        &out);
    EXPECT_EQ(0, ret);
    EXPECT_EQ((size_t)TAV_MEM_TYPE_COUNT, out.size());
    out.resize(TAV_MEM_TYPE_COUNT);
    return out;
}

// Runs in a fresh process (see AccountingOff): returns 0 when every check
// holds, else the number of the failed check, named on stderr.
int accounting_off_checks() {
    int step = 0;
#define CHECK(cond)                                                                                          \
    do {                                                                                                     \
        step++;                                                                                              \
        if (!(cond)) {                                                                                       \
            fprintf(stderr, "check %d failed: %s\n", step, #cond);                                           \
            return step;                                                                                     \
        }                                                                                                    \
    } while (0)
    CHECK(!tav_acct_enabled());
    int calls = 0;
    int ret = tav_mem_info_foreach(
        [](const tav_mem_info *, void *priv) { return ++*static_cast<int *>(priv), 0; }, &calls);
    CHECK(ret == -ENODATA);
    CHECK(calls == 0);
    void *early = tav_malloc(100, TAV_MEM_STUB);
    CHECK(early != nullptr);
    tav_acct_toggle(1);
    tav_acct_toggle(0); /* never switched off again */
    CHECK(tav_acct_enabled());
    std::vector<tav_mem_info> before = snapshot();
    tav_free(early); /* recorded nowhere: must not be subtracted */
    std::vector<tav_mem_info> after = snapshot();
    CHECK(after[TAV_MEM_STUB].total_alloc_size == before[TAV_MEM_STUB].total_alloc_size);
    CHECK(after[TAV_MEM_STUB].total_free_count == before[TAV_MEM_STUB].total_free_count);
    CHECK(after[TAV_MEM_STUB].total_alloc_size == 0);
#undef CHECK
    return 0;
}

TEST(MemAcct, AccountingOff) {
    // The switch is process-wide and never goes off; the threadsafe style
    // re-executes this test alone, so the checks see a process where nothing
    // switched accounting on yet.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(_exit(accounting_off_checks()), ::testing::ExitedWithCode(0), "");
}

TEST(MemAcct, NamesAreEnumeratorNamesAndWalkStops) {
    tav_acct_toggle(1);
    static const char *const names[] = {"TAV_MEM_IOBUF_POOL",
                                        "TAV_MEM_MBUF_ALIGNED_BUFFER",
                                        "TAV_MEM_IO_ALIGNED_BUFFER",
                                        "TAV_MEM_IOENGINE_ALIGNED_BUFFER",
                                        "TAV_MEM_IOENGINE",
                                        "TAV_MEM_ZMAP_PAGE",
                                        "TAV_MEM_EXTENT_PAGE",
                                        "TAV_MEM_IMAP_BUFFER",
                                        "TAV_MEM_TAV",
                                        "TAV_MEM_TIMER",
                                        "TAV_MEM_INODE",
                                        "TAV_MEM_INODE_INLINE_BUFFER",
                                        "TAV_MEM_FD",
                                        "TAV_MEM_STUB",
                                        "TAV_MEM_IOVEC",
                                        "TAV_MEM_OTHER",
                                        "TAV_MEM_IOLOG"};
    std::vector<tav_mem_info> all = snapshot();
    for (int t = 0; t < TAV_MEM_TYPE_COUNT; t++)
        EXPECT_STREQ(names[t], all[t].name) << t;

    std::vector<std::string> seen;
    int ret = tav_mem_info_foreach(
        [](const tav_mem_info *info, void *priv) {
            auto *v = static_cast<std::vector<std::string> *>(priv);
            v->push_back(info->name);
            return v->size() == 3 ? 7 : 0;
        },
        &seen);
    EXPECT_EQ(7, ret);
    EXPECT_EQ((std::vector<std::string>{names[0], names[1], names[2]}), seen);
}

TEST(MemAcct, WrappersKeepPerTagTotalsPeaksAndCounts) {
    tav_acct_toggle(1);
    const std::vector<tav_mem_info> base = snapshot();
    const tav_mem_info &b_in = base[TAV_MEM_INODE], &b_tm = base[TAV_MEM_TIMER];

    char *a = static_cast<char *>(tav_malloc(100, TAV_MEM_INODE));
    char *c = static_cast<char *>(tav_calloc(3, 50, TAV_MEM_INODE));
    ASSERT_TRUE(a && c);
    for (int i = 0; i < 150; i++)
        ASSERT_EQ(0, c[i]) << "calloc must zero-fill";
    std::vector<tav_mem_info> s = snapshot();
    EXPECT_EQ(b_in.total_alloc_size + 250, s[TAV_MEM_INODE].total_alloc_size);
    EXPECT_EQ(b_in.total_alloc_count + 2, s[TAV_MEM_INODE].total_alloc_count);

    // realloc forgets the old block and records the new one under its tag.
    a = static_cast<char *>(tav_realloc(a, 300, TAV_MEM_TIMER));
    ASSERT_NE(nullptr, a);
    void *al = nullptr;
    ASSERT_EQ(0, tav_memalign(&al, 4096, 8192, TAV_MEM_TIMER));
    EXPECT_EQ(0u, (uintptr_t)al % 4096);
    s = snapshot();
    EXPECT_EQ(b_in.total_alloc_size + 150, s[TAV_MEM_INODE].total_alloc_size);
    EXPECT_EQ(b_in.total_free_count + 1, s[TAV_MEM_INODE].total_free_count);
    EXPECT_EQ(std::max(b_in.max_alloc_size, b_in.total_alloc_size + 250), s[TAV_MEM_INODE].max_alloc_size);
    EXPECT_EQ(b_tm.total_alloc_size + 8492, s[TAV_MEM_TIMER].total_alloc_size);
    EXPECT_EQ(b_tm.total_alloc_count + 2, s[TAV_MEM_TIMER].total_alloc_count);

    tav_free(a);
    tav_free(c);
    tav_free(al);
    tav_free(nullptr);
    s = snapshot();
    EXPECT_EQ(b_in.total_alloc_size, s[TAV_MEM_INODE].total_alloc_size);
    EXPECT_EQ(b_tm.total_alloc_size, s[TAV_MEM_TIMER].total_alloc_size);
    EXPECT_EQ(b_in.total_free_count + 2, s[TAV_MEM_INODE].total_free_count);
    EXPECT_EQ(b_tm.total_free_count + 2, s[TAV_MEM_TIMER].total_free_count);
    EXPECT_EQ(std::max(b_tm.max_alloc_size, b_tm.total_alloc_size + 8492), s[TAV_MEM_TIMER].max_alloc_size);

    // A size of 0 releases the block.
    void *z = tav_malloc(64, TAV_MEM_FD);
    ASSERT_NE(nullptr, z);
    EXPECT_EQ(nullptr, tav_realloc(z, 0, TAV_MEM_FD));
    EXPECT_EQ(base[TAV_MEM_FD].total_alloc_size, snapshot()[TAV_MEM_FD].total_alloc_size);
}

TEST(MemAcct, FailuresLogTheTagAndKeepTheOldBlock) {
    tav_acct_toggle(1);
    tavtest::LogCapture log;
    const size_t huge = static_cast<size_t>(1) << 62;
    const std::string huge_s = std::to_string(huge);

    EXPECT_EQ(nullptr, tav_malloc(huge, TAV_MEM_OTHER));
    EXPECT_TRUE(log.contains("failed to allocate " + huge_s + " bytes for TAV_MEM_OTHER: Out of memory"));
    // calloc reports the bytes asked for in all, and a product that does not
    // fit as the largest size.
    EXPECT_EQ(nullptr, tav_calloc(3, huge, TAV_MEM_FD));
    EXPECT_TRUE(log.contains("failed to allocate " + std::to_string(3 * huge) +
                             " bytes for TAV_MEM_FD: Out of memory"));
    EXPECT_EQ(nullptr, tav_calloc(5, huge, TAV_MEM_FD));
    EXPECT_TRUE(log.contains("failed to allocate " + std::to_string(SIZE_MAX) +
                             " bytes for TAV_MEM_FD: Out of memory"));
    void *p = &p;
    EXPECT_EQ(-ENOMEM, tav_memalign(&p, 4096, huge, TAV_MEM_IOLOG));
    EXPECT_EQ(nullptr, p);
    EXPECT_TRUE(log.contains("bytes for TAV_MEM_IOLOG: Out of memory"));

    std::vector<tav_mem_info> base = snapshot();
    char *old = static_cast<char *>(tav_malloc(32, TAV_MEM_IOLOG));
    ASSERT_NE(nullptr, old);
    memset(old, 'x', 32);
    EXPECT_EQ(nullptr, tav_realloc(old, huge, TAV_MEM_IOLOG));
    EXPECT_EQ('x', old[31]); // still valid
    std::vector<tav_mem_info> s = snapshot();
    EXPECT_EQ(base[TAV_MEM_IOLOG].total_alloc_size, s[TAV_MEM_IOLOG].total_alloc_size);
    tav_free(old); // unaccounted now: no second free counted
    EXPECT_EQ(s[TAV_MEM_IOLOG].total_free_count, snapshot()[TAV_MEM_IOLOG].total_free_count);
}

} // namespace
