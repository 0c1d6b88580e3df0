// The read path through the API under the fault engine: zeros without
// device I/O wherever nothing was written, reads at and across the end of
// file, one aligned device read per segment with unwritten pages zeroed
// whatever the device holds, inline reads, the BD flag, atime in memory
// only, and address translation both ways.
#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>

#include "data_support.h"
#include "data.h"
#include "ioengine.h"

namespace datatest {
namespace {

using tavtest::fault_engine;

class ReadTest : public EngineDataTest {
protected:
    ReadTest() { faulty_ = true; }
};

// Holes of every kind read as zeros and cost no device read.
TEST_P(ReadTest, UnwrittenRangesReadAsZerosWithoutDeviceIo) {
    for (Kind k : {Kind::Plain, Kind::Compressible}) {
        SCOPED_TRACE(kind_name(k));
        tav_fd *f = create(k == Kind::Plain ? 1 : 2, k);
        Buf b(4096, 0x77);
        ASSERT_EQ(4096, pwrite(f, b.data(), 4096, 0));                    // extent block 0, segment 0
        ASSERT_EQ(0, fallocate(f, TAV_FALLOC_DEFAULT, 8 * MiB, 2 * MiB)); // mapped, unwritten
        ASSERT_EQ(0, ftruncate(f, 40ull << 30));                          // beyond extent block 0 of
                                                                          // every map type
        struct Case {
            const char *what;
            uint64_t off, len;
        } cases[] = {
            {"unwritten pages of a written segment", 8192, 64 * KiB},
            {"unmapped segment", 4 * MiB, MiB},
            {"mapped, never written", 8 * MiB, 2 * MiB},
            {"extent page not addressable", 36ull << 30, 3 * MiB},
        };
        for (const Case &c : cases) {
            size_t mark = io_mark();
            EXPECT_EQ(Bytes(c.len, 0), read_all(f, c.off, c.len)) << c.what;
            Io io = io_since(mark);
            EXPECT_EQ(0, io.data_reads) << c.what;
            EXPECT_EQ(0, io.extent_reads) << c.what;
        }
    }
}

TEST_P(ReadTest, EndOfFile) {
    tav_fd *f = create(1);
    Buf b(10000, 0x31);
    ASSERT_EQ(10000, pwrite(f, b.data(), 10000, 0));
    Buf out(8192, 0xee);
    EXPECT_EQ(0, pread(f, out.data(), 100, 10000)) << "a read starting at i_size";
    EXPECT_EQ(0, pread(f, out.data(), 100, 20000)) << "a read beyond i_size";
    EXPECT_EQ(2000, pread(f, out.data(), 8192, 8000)) << "a read crossing i_size";
    EXPECT_EQ(Bytes(2000, 0x31), Bytes(out.p, out.p + 2000));
    EXPECT_EQ(0xee, out.p[2000]) << "nothing is written past the bytes read";
}

// One aligned device read per segment; pages never written are zeroed in
// memory afterwards, whatever the device holds there.
TEST_P(ReadTest, PartlyWrittenSegmentIsOneDeviceReadWithUnwrittenPagesZeroed) {
    tav_fd *f = create(1);
    Buf p0(4096, 0xa0), p2(4096, 0xa2);
    ASSERT_EQ(4096, pwrite(f, p0.data(), 4096, 0));
    ASSERT_EQ(4096, pwrite(f, p2.data(), 4096, 8192));
    // Stale bytes on the device where page 1 would be.
    int64_t pba = paddr(f, 0);
    ASSERT_GT(pba, 0);
    raw_write(static_cast<uint64_t>(pba) + 4096, Bytes(4096, 0x5e));
    size_t mark = io_mark();
    Bytes got = read_all(f, 0, 12288);
    Io io = io_since(mark);
    EXPECT_EQ(1, io.data_reads);
    EXPECT_EQ(12288u, io.data_read_bytes);
    Bytes want(12288, 0);
    std::fill(want.begin(), want.begin() + 4096, 0xa0);
    std::fill(want.begin() + 8192, want.end(), 0xa2);
    EXPECT_EQ(want, got);

    // A 10-byte read inside a written page reads that page, aligned.
    mark = io_mark();
    EXPECT_EQ(Bytes(10, 0xa0), read_all(f, 5, 10));
    io = io_since(mark);
    EXPECT_EQ(1, io.data_reads);
    EXPECT_EQ(4096u, io.data_read_bytes);

    // Across a segment boundary: one read per segment.
    Buf big(2 * MiB, 0x44);
    ASSERT_EQ((int64_t)big.size(), pwrite(f, big.data(), big.size(), MiB));
    mark = io_mark();
    EXPECT_EQ(Bytes(MiB, 0x44), read_all(f, MiB + MiB / 2, MiB));
    EXPECT_EQ(2, io_since(mark).data_reads);
}

TEST_P(ReadTest, BdFlagReportsReadsThatTouchedNoDeviceData) {
    tav_fd *f = create(1, Kind::Bd);
    ASSERT_EQ(0, fallocate(f, TAV_FALLOC_DEFAULT, 0, 2 * MiB));
    Buf b(4096, 1);
    ASSERT_EQ(4096, pwrite(f, b.data(), 4096, MiB));
    struct Case {
        const char *what;
        uint64_t off;
        int flags;
        bool zero_blocks;
    } cases[] = {
        {"fallocated, never written, BD flag", 0, TAV_FLAG_BD, true},
        {"written, BD flag", MiB, TAV_FLAG_BD, false},
        {"fallocated, never written, no flag", 0, 0, false},
    };
    for (const Case &c : cases) {
        Buf out(4096);
        struct stat st = {};
        ASSERT_EQ(4096, pread(f, out.data(), 4096, c.off, c.flags, &st)) << c.what;
        EXPECT_EQ(c.zero_blocks, st.st_blocks == 0) << c.what;
    }
}

// A file may be larger than its inline data after a truncate that grows it.
TEST_P(ReadTest, InlineFileBeyond2048ReadsZeros) {
    tav_fd *f = create(1);
    Buf b(1000, 0x19);
    ASSERT_EQ(1000, pwrite(f, b.data(), 1000, 1000));
    ASSERT_EQ(0, ftruncate(f, 3000));
    EXPECT_TRUE(f->inode->ondisk.i_type & TAV_FILE_TYPE_INLINE);
    Bytes want(3000, 0);
    std::fill(want.begin() + 1000, want.begin() + 2000, 0x19);
    size_t mark = io_mark();
    EXPECT_EQ(want, read_all(f, 0, 3000));
    EXPECT_EQ(0, io_since(mark).data_reads);
    restart();
    EXPECT_EQ(want, read_all(fd(1), 0, 3000));
}

TEST_P(ReadTest, ReadsUpdateAtimeInMemoryOnly) {
    tav_fd *f = create(1);
    Buf b(4096, 1);
    ASSERT_EQ(4096, pwrite(f, b.data(), 4096, 0));
    quiet_timers();
    uint64_t before = f->inode->ondisk.i_atime;
    size_t mark = io_mark();
    read_all(f, 0, 4096);
    EXPECT_GE(f->inode->ondisk.i_atime, before);
    EXPECT_EQ(0, io_since(mark).inode_writes);
    EXPECT_FALSE(f->inode->dirty_flag) << "a read alone does not dirty the inode";
}

TEST_P(ReadTest, AddressTranslationBothWays) {
    tav_fd *plain = create(1), *comp = create(2, Kind::Compressible), *inl = create(3), *empty = create(4);
    Buf b(3 * MiB, 0x2f);
    ASSERT_EQ((int64_t)b.size(), pwrite(plain, b.data(), b.size(), 0));
    ASSERT_EQ((int64_t)b.size(), pwrite(comp, b.data(), b.size(), 0));
    ASSERT_EQ(100, pwrite(inl, b.data(), 100, 0));
    auto from_device = [&](tav_fd *f, int64_t addr) {
        int64_t r = 0;
        co([&] { r = tav_inode_paddr(f->inode, addr); });
        return r;
    };
    for (tav_fd *f : {plain, comp}) {
        for (uint64_t off : {uint64_t(0), uint64_t(5), MiB + 4097, 3 * MiB - 1}) {
            int64_t d = paddr(f, off);
            ASSERT_GT(d, 0) << off;
            EXPECT_EQ((int64_t)off, from_device(f, d)) << off;
            // The device holds the file's byte there.
            EXPECT_EQ(0x2f, raw_read((uint64_t)d, 1)[0]) << off;
        }
        EXPECT_EQ(-1, paddr(f, 3 * MiB)) << "at i_size";
    }
    // Inline data lives in the current copy of the inode page.
    int64_t d = paddr(inl, 10);
    ASSERT_GT(d, 0);
    EXPECT_EQ(0x2f, raw_read((uint64_t)d, 1)[0]);
    EXPECT_EQ(10, from_device(inl, d));
    EXPECT_EQ(-1, paddr(inl, 100));
    // A file of size 0 has no device addresses.
    EXPECT_EQ(-1, paddr(empty, 0));
    EXPECT_EQ(-1, from_device(empty, d));
}

TEST_P(ReadTest, DeviceReadErrorsReachTheCaller) {
    tav_fd *f = create(1);
    Buf b(2 * MiB, 0x10);
    ASSERT_EQ((int64_t)b.size(), pwrite(f, b.data(), b.size(), 0));
    int64_t second = paddr(f, MiB);
    fault_engine().fail_reads(static_cast<uint64_t>(second), MiB, 1);
    Buf out(2 * MiB);
    EXPECT_EQ((int64_t)MiB, pread(f, out.data(), out.size(), 0)) << "the first segment's bytes";
    fault_engine().fail_reads(static_cast<uint64_t>(paddr(f, 0)), MiB, 1);
    EXPECT_EQ(-EIO, pread(f, out.data(), out.size(), 0));
}

TAV_DATA_ENGINES(ReadTest);

} // namespace
} // namespace datatest
