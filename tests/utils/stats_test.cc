// Size classes of transfers, shared by the engines' and the requests'
// histograms: 0 up to 512 bytes, one class per power of two, the last one
// for everything above 1 MiB (sizes beyond 32 bits included).
#include "stats.h"

#include <gtest/gtest.h>

namespace {

TEST(SizeClass, Boundaries) {
    const struct {
        uint64_t n;
        unsigned cls;
    } cases[] = {{0, 0},
                 {1, 0},
                 {512, 0},
                 {513, 1},
                 {1024, 1},
                 {1025, 2},
                 {4096, 3},
                 {4097, 4},
                 {1 << 20, 11},
                 {(1 << 20) + 1, 12},
                 {8 << 20, 12},
                 {1ull << 32, 12},
                 {(1ull << 32) + 1, 12}};
    for (const auto &c : cases)
        EXPECT_EQ(c.cls, tav_size_class(c.n)) << c.n;
}

} // namespace
