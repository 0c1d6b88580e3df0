// Bit arrays against a plain reference model (std::vector<bool>) on seeded
// random maps, over runs that start and end inside bytes, on byte and word
// boundaries, and across several words.
#include "bitarray.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace {

constexpr uint64_t kBits = 1000;

struct Model {
    std::vector<uint8_t> map = std::vector<uint8_t>(kBits / 8 + 8, 0);
    std::vector<bool> ref = std::vector<bool>(kBits, false);
    void check() const {
        for (uint64_t i = 0; i < kBits; i++)
            ASSERT_EQ(ref[i], ((map[i / 8] >> (i % 8)) & 1) != 0) << "bit " << i;
    }
};

// (start, count) runs that exercise each phase of the run handling.
const std::vector<std::pair<uint64_t, uint64_t>> kRuns = {
    {0, 1},   {3, 2},    {7, 1},    {7, 2},   {8, 8},   {5, 11},    {0, 64},    {1, 64},
    {63, 66}, {64, 128}, {13, 500}, {100, 0}, {992, 8}, {0, kBits}, {500, 499},
};

TEST(BitArray, LsbFirstLayout) {
    uint8_t map[4] = {};
    bmap_bit_set(map, 0);
    bmap_bit_set(map, 9);
    bmap_bit_set(map, 31);
    EXPECT_EQ(0x01, map[0]);
    EXPECT_EQ(0x02, map[1]);
    EXPECT_EQ(0x80, map[3]);
    EXPECT_TRUE(bmap_is_bit_set(map, 9));
    EXPECT_TRUE(bmap_is_bit_clr(map, 8));
    bmap_bit_clr(map, 9);
    EXPECT_EQ(0x00, map[1]);
}

TEST(BitArray, RunsMatchModel) {
    std::mt19937_64 rng(20240611);
    for (int round = 0; round < 40; round++) {
        Model m;
        for (uint64_t i = 0; i < kBits; i++)
            if (rng() % 3 == 0) {
                m.ref[i] = true;
                bmap_bit_set(m.map.data(), i);
            }
        for (auto [s, n] : kRuns) {
            SCOPED_TRACE(testing::Message() << "round " << round << " run " << s << "+" << n);
            uint64_t set = 0;
            for (uint64_t i = s; i < s + n; i++)
                set += m.ref[i];
            EXPECT_EQ(set, bmap_set_bits_num(m.map.data(), s, n));
            EXPECT_EQ(n - set, bmap_clr_bits_num(m.map.data(), s, n));
            EXPECT_EQ(set == n, bmap_is_bits_set(m.map.data(), s, n));
            EXPECT_EQ(set == 0, bmap_is_bits_clr(m.map.data(), s, n));

            for (bool want : {true, false}) {
                uint64_t expect = s + n, got = ~0ull;
                for (uint64_t i = s; i < s + n; i++)
                    if (m.ref[i] == want) {
                        expect = i;
                        break;
                    }
                int ret = want ? bmap_bit_find_set(m.map.data(), s, s + n, &got)
                               : bmap_bit_find_clr(m.map.data(), s, s + n, &got);
                if (expect == s + n) {
                    EXPECT_EQ(-ENOSPC, ret);
                } else {
                    EXPECT_EQ(0, ret);
                    EXPECT_EQ(expect, got);
                }
            }
        }
        // Changing runs touches exactly the run.
        auto [s, n] = kRuns[round % kRuns.size()];
        bool set = round % 2;
        if (set)
            bmap_bits_set(m.map.data(), s, n);
        else
            bmap_bits_free(m.map.data(), s, n);
        for (uint64_t i = s; i < s + n; i++)
            m.ref[i] = set;
        m.check();
        for (size_t i = kBits / 8; i < m.map.size(); i++)
            EXPECT_EQ(0, m.map[i]) << "byte past the array changed";
    }
}

} // namespace
