// Range sets: cutting on add, refusals, the merge's canonical form (checked
// by hand-picked cases and against a per-byte model with random ranges and
// attributes), slices, overlap tests and searching.
#include "range_merge.h"

#include <errno.h>
#include <gtest/gtest.h>

#include <random>
#include <tuple>
#include <vector>

namespace {

using R = std::tuple<uint64_t, uint64_t, int>; // offset, length, mask

std::vector<R> contents(const range_set &s) {
    std::vector<R> v;
    for (uint32_t i = 0; i < s.cur_cnt; i++)
        v.emplace_back(s.ranges[i].offset, s.ranges[i].length, s.ranges[i].bitmask);
    return v;
}

std::vector<R> merged(const std::vector<R> &in, const range_set_attr *attr = nullptr) {
    range_set s;
    range_set_init(&s, nullptr);
    for (auto [o, l, m] : in)
        EXPECT_EQ(0, range_set_add(&s, o, l, (uint8_t)m));
    EXPECT_EQ(0, range_set_merge(&s, attr));
    EXPECT_EQ(1, s.is_merged);
    auto v = contents(s);
    range_set_fini(&s);
    return v;
}

TEST(RangeSet, MergeCases) {
    struct Case {
        const char *what;
        std::vector<R> in, out;
    } cases[] = {
        {"overlap, different masks", {{0, 10, 1}, {5, 10, 2}}, {{0, 5, 1}, {5, 5, 3}, {10, 5, 2}}},
        {"touching, same mask", {{0, 10, 1}, {10, 10, 1}}, {{0, 20, 1}}},
        {"touching, different masks", {{0, 10, 1}, {10, 10, 2}}, {{0, 10, 1}, {10, 10, 2}}},
        {"gap kept", {{20, 5, 1}, {0, 10, 1}}, {{0, 10, 1}, {20, 5, 1}}},
        {"nested", {{0, 100, 1}, {10, 10, 2}}, {{0, 10, 1}, {10, 10, 3}, {20, 80, 1}}},
        {"nested, mask contained", {{0, 100, 3}, {10, 10, 1}}, {{0, 100, 3}}},
        {"same start, shorter", {{0, 10, 4}, {0, 4, 1}}, {{0, 4, 5}, {4, 6, 4}}},
        {"identical", {{7, 3, 1}, {7, 3, 2}, {7, 3, 1}}, {{7, 3, 3}}},
        {"three-way",
         {{0, 30, 1}, {10, 30, 2}, {20, 30, 4}},
         {{0, 10, 1}, {10, 10, 3}, {20, 10, 7}, {30, 10, 6}, {40, 10, 4}}},
        {"equal masks re-joined", {{0, 10, 1}, {5, 2, 1}, {10, 5, 1}}, {{0, 15, 1}}},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.out, merged(c.in)) << c.what;
}

TEST(RangeSet, AddCutsAtSlicesAndMaxLength) {
    range_set_attr attr = {};
    attr.slice_size = 128;
    range_set s;
    range_set_init(&s, &attr);
    EXPECT_EQ(1024u, s.attr.base_cnt);
    ASSERT_EQ(0, range_set_add(&s, 100, 200, 1));
    EXPECT_EQ((std::vector<R>{{100, 28, 1}, {128, 128, 1}, {256, 44, 1}}), contents(s));
    range_set_fini(&s);

    attr.max_length = 50;
    range_set_init(&s, &attr);
    ASSERT_EQ(0, range_set_add(&s, 100, 200, 1));
    EXPECT_EQ((std::vector<R>{{100, 28, 1}, {128, 50, 1}, {178, 50, 1}, {228, 28, 1}, {256, 44, 1}}),
              contents(s));
    // Merging joins the equal masks and cuts again.
    ASSERT_EQ(0, range_set_merge(&s, nullptr));
    EXPECT_EQ((std::vector<R>{{100, 28, 1}, {128, 50, 1}, {178, 50, 1}, {228, 28, 1}, {256, 44, 1}}),
              contents(s));
    range_set_fini(&s);
}

TEST(RangeSet, RefusalsAndGrowth) {
    range_set_attr attr = {};
    attr.base_cnt = 2;
    attr.max_offset = 1000;
    attr.max_bitmask = 3;
    range_set s;
    range_set_init(&s, &attr);
    EXPECT_EQ(-EINVAL, range_set_add(&s, 0, 0, 1));
    EXPECT_EQ(-EINVAL, range_set_add(&s, 0, 1, 0));
    EXPECT_EQ(-EINVAL, range_set_add(&s, 1001, 1, 1));
    EXPECT_EQ(-EINVAL, range_set_add(&s, 0, 1, 4));
    EXPECT_EQ(-EINVAL, range_set_add(&s, UINT64_MAX - 1, 5, 1)) << "wraps around";
    EXPECT_EQ(0u, s.cur_cnt);
    for (int i = 0; i < 5; i++)
        ASSERT_EQ(0, range_set_add(&s, (uint64_t)i * 10, 5, 1));
    EXPECT_EQ(6u, s.max_cnt) << "grows by base_cnt";
    EXPECT_EQ(0, range_update_bitmask(&s, 0, 3));
    EXPECT_EQ(-EINVAL, range_update_bitmask(&s, 0, 4));

    // A merge whose union exceeds the mask limit fails and changes nothing.
    ASSERT_EQ(0, range_set_add(&s, 0, 5, 2));
    ASSERT_EQ(0, range_set_merge(&s, nullptr)); // 3 is allowed
    range_set_clear(&s);
    ASSERT_EQ(0, range_set_add(&s, 0, 5, 2));
    ASSERT_EQ(0, range_set_add(&s, 0, 5, 1));
    range_set_attr tight = attr;
    tight.max_bitmask = 2;
    EXPECT_EQ(-EINVAL, range_set_merge(&s, &tight));
    EXPECT_EQ((std::vector<R>{{0, 5, 2}, {0, 5, 1}}), contents(s));
    EXPECT_EQ(3, s.attr.max_bitmask);
    range_set_fini(&s);
}

// Random ranges and attributes against a model of every byte's mask.
TEST(RangeSet, MergeMatchesPerByteModel) {
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE(::testing::Message() << "seed " << seed);
    std::mt19937 rng(seed);
    constexpr uint64_t kSpan = 400;
    for (int round = 0; round < 300; round++) {
        std::vector<uint8_t> model(kSpan, 0);
        range_set_attr attr = {};
        attr.base_cnt = 1 + rng() % 5;
        if (rng() % 2)
            attr.max_length = 1 + rng() % 40;
        if (rng() % 2)
            attr.slice_size = std::max<uint64_t>(attr.max_length, 1 + rng() % 64);
        range_set s;
        range_set_init(&s, nullptr);
        for (int n = rng() % 20; n >= 0; n--) {
            uint64_t o = rng() % (kSpan - 1), l = 1 + rng() % std::min<uint64_t>(80, kSpan - o);
            uint8_t m = static_cast<uint8_t>(1u << (rng() % 8));
            if (rng() % 4 == 0)
                m |= static_cast<uint8_t>(1u << (rng() % 8));
            ASSERT_EQ(0, range_set_add(&s, o, l, m));
            for (uint64_t b = o; b < o + l; b++)
                model[b] |= m;
        }
        ASSERT_EQ(0, range_set_merge(&s, &attr));
        // Disjoint, in order, non-empty, within the cuts, each byte's mask as
        // the model says, equal neighbours joined unless a cut separates them.
        std::vector<uint8_t> got(kSpan, 0);
        for (uint32_t i = 0; i < s.cur_cnt; i++) {
            const range &r = s.ranges[i];
            ASSERT_GT(r.length, 0u);
            if (i > 0) {
                const range &p = s.ranges[i - 1];
                ASSERT_LE(p.offset + p.length, r.offset);
                if (p.offset + p.length == r.offset && p.bitmask == r.bitmask) {
                    bool cut = (attr.max_length && p.length == attr.max_length) ||
                               (attr.slice_size && r.offset % attr.slice_size == 0);
                    ASSERT_TRUE(cut) << "unjoined neighbours at " << r.offset;
                }
            }
            if (attr.max_length) {
                ASSERT_LE(r.length, attr.max_length);
            }
            if (attr.slice_size) {
                ASSERT_EQ(r.offset / attr.slice_size, (r.offset + r.length - 1) / attr.slice_size);
            }
            for (uint64_t b = r.offset; b < r.offset + r.length; b++)
                got[b] = r.bitmask;
        }
        ASSERT_EQ(model, got) << "round " << round;

        // Queries against the model.
        for (int q = 0; q < 20; q++) {
            uint64_t o = rng() % kSpan, l = 1 + rng() % 50;
            uint8_t m = static_cast<uint8_t>(rng() % 255 + 1);
            int expect = 0;
            for (uint64_t b = o; b < std::min(o + l, kSpan); b++)
                expect |= (model[b] & m) != 0;
            ASSERT_EQ(expect, range_set_test_overlap(&s, o, l, m))
                << o << "+" << l << " mask " << static_cast<int>(m);
            uint32_t idx = range_set_search(&s, o);
            for (uint32_t k = 0; k < idx; k++)
                ASSERT_LE(s.ranges[k].offset + s.ranges[k].length, o) << "search skipped an overlap";

            uint64_t slice = 1 + rng() % 100, si = rng() % (kSpan / slice + 1);
            range_set out;
            range_set_init(&out, nullptr);
            ASSERT_EQ(0, range_set_get_slice(&s, slice, si, m, &out));
            std::vector<uint8_t> want(kSpan, 0), have(kSpan, 0);
            for (uint64_t b = si * slice; b < std::min((si + 1) * slice, kSpan); b++)
                want[b] = model[b] & m;
            for (uint32_t k = 0; k < out.cur_cnt; k++)
                for (uint64_t b = out.ranges[k].offset; b < out.ranges[k].offset + out.ranges[k].length; b++)
                    have[b] = out.ranges[k].bitmask;
            ASSERT_EQ(want, have) << "slice " << si << " of " << slice;
            range_set_fini(&out);
        }
        range_set_fini(&s);
    }
}

TEST(RangeSet, EmptySetQueries) {
    range_set s, out;
    range_set_init(&s, nullptr);
    range_set_init(&out, nullptr);
    EXPECT_EQ(0, range_set_merge(&s, nullptr));
    EXPECT_EQ(0, range_set_get_slice(&s, 128, 0, 0xff, &out));
    EXPECT_EQ(0u, out.cur_cnt);
    EXPECT_EQ(0, range_set_test_overlap(&s, 0, 100, 0xff));
    EXPECT_EQ(0u, range_set_search(&s, 12345));
    range_set_fini(&s);
    range_set_fini(&out);
}

TEST(RangeSetDeathTest, QueryingAnUnmergedSetAborts) {
    range_set s;
    range_set_init(&s, nullptr);
    ASSERT_EQ(0, range_set_add(&s, 0, 10, 1));
    EXPECT_DEATH(range_set_test_overlap(&s, 0, 1, 1), "");
    range_set_fini(&s);
}

} // namespace
