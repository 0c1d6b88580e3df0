// I/O vector helpers on a multi-segment vector (with an empty element),
// checked against a flat model of the same bytes; exact hexdump lines.
#include "iovec.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace {

// Five elements of 3, 0, 5, 1 and 7 bytes (16 in all), each in its own
// allocation so that a copy crossing a boundary cannot pass by accident.
class Iovec : public ::testing::Test {
protected:
    static constexpr size_t kLens[] = {3, 0, 5, 1, 7};
    static constexpr unsigned kCnt = 5;
    static constexpr size_t kTotal = 16;

    void SetUp() override {
        for (unsigned i = 0; i < kCnt; i++) {
            seg_[i].assign(kLens[i] + 1, '#'); // '#' guards the element's end
            iov_[i] = {seg_[i].data(), kLens[i]};
        }
        model_ = "abcdefghijklmnop";
        ASSERT_EQ(kTotal, iov_from_buf_full(iov_, kCnt, 0, model_.data(), kTotal));
    }

    std::string flat(const struct iovec *iov, unsigned cnt) const {
        std::string s;
        for (unsigned i = 0; i < cnt; i++)
            s.append(static_cast<const char *>(iov[i].iov_base), iov[i].iov_len);
        return s;
    }
    void expect_guards_intact() const {
        for (unsigned i = 0; i < kCnt; i++)
            EXPECT_EQ('#', seg_[i][kLens[i]]) << "element " << i << " overrun";
    }
    // Position (element, byte inside it) of a pointer into the vector.
    std::pair<int, long> where(const void *p) const {
        for (unsigned i = 0; i < kCnt; i++) {
            const char *b = seg_[i].data();
            if (p >= b && p < b + seg_[i].size())
                return {static_cast<int>(i), static_cast<const char *>(p) - b};
        }
        return {-1, 0};
    }

    std::vector<char> seg_[kCnt];
    struct iovec iov_[kCnt];
    std::string model_;
};

struct RangeCase {
    size_t offset, bytes, handled;
};
// Offsets at element starts, inside later elements, across the empty
// element, at the very end; byte counts running past the end.
const RangeCase kRanges[] = {
    {0, 16, 16}, {0, 100, 16}, {2, 2, 2},  {3, 5, 5},  {4, 6, 6},
    {8, 8, 8},   {10, 3, 3},   {15, 5, 1}, {16, 4, 0}, {7, 0, 0},
};

TEST_F(Iovec, CopiesAndFillMatchFlatModel) {
    EXPECT_EQ(kTotal, iov_size(iov_, kCnt));
    for (const RangeCase &c : kRanges) {
        SCOPED_TRACE("offset " + std::to_string(c.offset) + " bytes " + std::to_string(c.bytes));
        std::string got(c.bytes, '\0');
        EXPECT_EQ(c.handled, iov_to_buf_full(iov_, kCnt, c.offset, got.data(), c.bytes));
        EXPECT_EQ(model_.substr(c.offset, c.handled), got.substr(0, c.handled));
        std::string got2(c.bytes, '\0');
        EXPECT_EQ(c.handled, iov_to_buf(iov_, kCnt, c.offset, got2.data(), c.bytes));
        EXPECT_EQ(got, got2);

        std::string in(c.bytes, 'X');
        for (size_t i = 0; i < c.bytes; i++)
            in[i] = 'A' + i % 26;
        std::string want = model_;
        want.replace(c.offset, c.handled, in.substr(0, c.handled));
        EXPECT_EQ(c.handled, iov_from_buf_full(iov_, kCnt, c.offset, in.data(), c.bytes));
        EXPECT_EQ(want, flat(iov_, kCnt));

        want.replace(c.offset, c.handled, std::string(c.handled, '*'));
        EXPECT_EQ(c.handled, iov_memset(iov_, kCnt, c.offset, '*', c.bytes));
        EXPECT_EQ(want, flat(iov_, kCnt));

        iov_from_buf(iov_, kCnt, 0, model_.data(), kTotal); // restore
        expect_guards_intact();
    }
}

TEST_F(Iovec, CopyBuildsSubRangeVector) {
    struct Piece {
        int elem;
        long at;
        size_t len;
    };
    struct {
        size_t offset, bytes;
        unsigned dst_cnt;
        std::vector<Piece> want;
    } cases[] = {
        {0, 16, 8, {{0, 0, 3}, {2, 0, 5}, {3, 0, 1}, {4, 0, 7}}}, // empty element skipped
        {4, 6, 8, {{2, 1, 4}, {3, 0, 1}, {4, 0, 1}}},
        {10, 100, 8, {{4, 1, 6}}},
        {3, 5, 8, {{2, 0, 5}}},
        {0, 16, 2, {{0, 0, 3}, {2, 0, 5}}}, // limited by the destination
        {16, 5, 8, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE("offset " + std::to_string(c.offset) + " bytes " + std::to_string(c.bytes));
        struct iovec dst[8];
        unsigned n = iov_copy(dst, c.dst_cnt, iov_, kCnt, c.offset, c.bytes);
        ASSERT_EQ(c.want.size(), n);
        for (unsigned j = 0; j < n; j++) {
            auto [elem, at] = where(dst[j].iov_base);
            EXPECT_EQ(c.want[j].elem, elem) << j;
            EXPECT_EQ(c.want[j].at, at) << j;
            EXPECT_EQ(c.want[j].len, dst[j].iov_len) << j;
        }
    }
}

TEST_F(Iovec, DiscardFrontAndBack) {
    struct {
        size_t bytes, dropped;
        unsigned cnt_front, cnt_back;
    } cases[] = {
        {0, 0, 5, 5}, {2, 2, 5, 5}, {3, 3, 3, 5}, // front: the empty element goes too
        {4, 4, 3, 5}, {7, 7, 3, 4}, {8, 8, 2, 3}, {10, 10, 1, 3}, {16, 16, 0, 0}, {20, 16, 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE("bytes " + std::to_string(c.bytes));
        SetUp();
        struct iovec *front = iov_;
        unsigned cnt = kCnt;
        EXPECT_EQ(c.dropped, iov_discard_front(&front, &cnt, c.bytes));
        EXPECT_EQ(c.cnt_front, cnt);
        EXPECT_EQ(iov_ + (kCnt - cnt), front);
        EXPECT_EQ(model_.substr(c.dropped), flat(front, cnt));

        SetUp();
        cnt = kCnt;
        EXPECT_EQ(c.dropped, iov_discard_back(iov_, &cnt, c.bytes));
        EXPECT_EQ(c.cnt_back, cnt);
        EXPECT_EQ(model_.substr(0, kTotal - c.dropped), flat(iov_, cnt));
    }
}

TEST_F(Iovec, DupCopiesTheElements) {
    struct iovec *dup = iov_dup(iov_, kCnt);
    ASSERT_NE(nullptr, dup);
    EXPECT_NE(iov_, dup);
    for (unsigned i = 0; i < kCnt; i++) {
        EXPECT_EQ(iov_[i].iov_base, dup[i].iov_base);
        EXPECT_EQ(iov_[i].iov_len, dup[i].iov_len);
    }
    free(dup);
}

TEST_F(Iovec, OffsetBeyondTheVectorIsFatal) {
    char buf[4];
    struct iovec dst[2];
    EXPECT_DEATH(iov_to_buf(iov_, kCnt, kTotal + 1, buf, 1), "offset == 0");
    EXPECT_DEATH(iov_from_buf(iov_, kCnt, kTotal + 1, buf, 1), "offset == 0");
    EXPECT_DEATH(iov_memset(iov_, kCnt, kTotal + 1, 0, 1), "offset == 0");
    EXPECT_DEATH(iov_copy(dst, 2, iov_, kCnt, kTotal + 1, 1), "offset == 0");
}

std::string dump_to_string(const std::function<void(FILE *)> &fn) {
    char *buf = nullptr;
    size_t len = 0;
    FILE *fp = open_memstream(&buf, &len);
    fn(fp);
    fclose(fp);
    std::string s(buf, len);
    free(buf);
    return s;
}

// 20 bytes: text, a zero, DEL, a high byte, '~', ' ', a control byte, 'z'.
const unsigned char kDumpBytes[20] = {'H', 'e', 'l', 'l', 'o',  ',',  ' ', 'w', 'o',  'r',
                                      'l', 'd', '!', 0,   0x7f, 0x80, '~', ' ', 0x1f, 'z'};

TEST(Hexdump, ExactLines) {
    const std::string full_line =
        "pfx: 0000:  48 65 6c 6c  6f 2c 20 77  6f 72 6c 64  21 00 7f 80 Hello, world!...\n";
    // A short last line pads each missing byte with three blanks.
    const std::string pad = std::string(1 + 12, ' ');
    EXPECT_EQ(full_line + "pfx: 0010:  7e 20 1f 7a" + pad + pad + pad + " ~ .z\n",
              dump_to_string([](FILE *fp) { hexdump(kDumpBytes, fp, "pfx", 20); }));
    EXPECT_EQ("", dump_to_string([](FILE *fp) { hexdump(kDumpBytes, fp, "pfx", 0); }));

    // The same bytes spread over elements, cut at the limit.
    struct iovec iov[3] = {
        {(void *)kDumpBytes, 5}, {(void *)(kDumpBytes + 5), 10}, {(void *)(kDumpBytes + 15), 5}};
    EXPECT_EQ(full_line + "pfx: 0010:  7e 20" + std::string(6, ' ') + pad + pad + pad + " ~ \n",
              dump_to_string([&](FILE *fp) { iov_hexdump(iov, 3, fp, "pfx", 18); }));
    EXPECT_EQ(full_line + "pfx: 0010:  7e 20 1f 7a" + pad + pad + pad + " ~ .z\n",
              dump_to_string([&](FILE *fp) { iov_hexdump(iov, 3, fp, "pfx", 1000); }));
}

} // namespace
