// Crash ordering: a child process runs an operation on the instance with one
// of its writes failed by the fault engine and then ends without finishing
// anything (as a power cut would); the instance is then started again from
// the image with the start-up consistency check forced.  Whatever the failed
// write, the check accepts the image, no block is referenced twice or
// referenced while free, and a file shows either its old or its new
// contents, never stale device bytes.
#include <errno.h>
#include <gtest/gtest.h>

#include <stdio.h>
#include <unistd.h>

#include "data.h"
#include "data_support.h"
#include "fsck.h"
#include "paths.h"
#include "support/log_capture.h"

namespace datatest {
namespace {

using tavtest::fault_engine;

class CrashTest : public EngineDataTest {
protected:
    CrashTest() { faulty_ = true; }

    // Byte ranges of the image's areas.
    uint64_t data_area() const { return inst_->sb.tav_disk_sb.s_first_data_block * MiB; }
    uint64_t zmap_area() const { return inst_->sb.tav_disk_sb.s_first_bitmap_block * MiB; }
    uint64_t zmap_len() const { return inst_->sb.tav_disk_sb.s_bitmap_blocks * MiB; }
    // The copy of the inode page that the n-th next write goes to.
    uint64_t inode_copy(tav_fd *f, int n) const {
        const tav_disk_inode *d = &f->inode->ondisk;
        uint64_t g = d->i_header.generation + static_cast<uint64_t>(n);
        return tav_inode_slot_offset(d->i_no) + (g % 2 ? 0 : TAV_INODE_PAGESIZE);
    }

    // Fills the data area with a pattern, so that any block handed out holds
    // bytes that are not the file's.
    void stale_device() {
        uint64_t from = data_area(), to = inst_->sb.tav_disk_sb.s_blocks_count * MiB;
        for (uint64_t off = from; off < to; off += MiB)
            raw_write(off, Bytes(MiB, 0xab));
    }

    // Runs `op` in a crashing child after `fail` armed the fault engine;
    // the child succeeds when `op` returns the expected result.
    void crash(const std::function<void()> &fail, const std::function<int64_t()> &op, int64_t expect,
               bool may_die = false) {
        stop();
        int status = run_crashing_child([&] {
            start();
            fail();
            int64_t r = op();
            if (r != expect)
                fprintf(stderr, "child: operation returned %ld, expected %ld\n", static_cast<long>(r),
                        static_cast<long>(expect));
            return r == expect;
        });
        if (!may_die) {
            EXPECT_EQ(0, status) << "the child's operation did not fail as arranged";
        }
        fault_engine().faults.clear();
        // The start after the crash runs the consistency check, which must
        // accept what the crash left.
        const std::string flag = tav_cfg_path(TAV_FSCK_FORCE_FLAG);
        FILE *fp = fopen(flag.c_str(), "w");
        ASSERT_NE(nullptr, fp);
        fclose(fp);
        size_t checked = tavtest::count_lines_with(log_lines(), "fsck succeed");
        start();
        unlink(flag.c_str());
        EXPECT_EQ(checked + 1, tavtest::count_lines_with(log_lines(), "fsck succeed"))
            << "the consistency check did not accept the image";
        EXPECT_EQ(0u, tavtest::count_lines_with(log_lines(), "fatel error"));
        check_references();
    }
};

// The data reaches the device before its written bits: a crash between the
// two leaves the pages reading as zeros.
TEST_P(CrashTest, DataBeforeWrittenBits) {
    stale_device();
    tav_fd *f = create(1);
    Buf b(4096, 0x11);
    ASSERT_EQ(4096, pwrite(f, b.data(), 4096, 0));
    ASSERT_EQ(0, fallocate(f, TAV_FALLOC_DEFAULT, MiB, MiB)); // mapped, bits clear
    int64_t pba = paddr(f, MiB);
    ASSERT_GT(pba, 0);
    uint64_t eb = f->inode->ondisk.i_extents[0] * MiB;
    // The bit update's extent-page write fails after the data write.
    crash([&] { fault_engine().fail_writes(eb, MiB); },
          [&] {
              Buf w(8192, 0x22);
              return pwrite(fd(1), w.data(), 8192, MiB);
          },
          -EIO);
    EXPECT_EQ(Bytes(8192, 0x22), raw_read((uint64_t)pba, 8192)) << "the data did reach the device";
    EXPECT_EQ(Bytes(8192, 0), read_all(fd(1), MiB, 8192)) << "but is not exposed without its bits";
    // The data write itself fails: the stale bytes stay hidden too.
    crash([&] { fault_engine().fail_writes(static_cast<uint64_t>(pba) + 8192, 4096); },
          [&] {
              Buf w(4096, 0x33);
              return pwrite(fd(1), w.data(), 4096, MiB + 8192);
          },
          -EIO);
    EXPECT_EQ(Bytes(4096, 0), read_all(fd(1), MiB + 8192, 4096));
    EXPECT_EQ(Bytes(4096, 0x11), read_all(fd(1), 0, 4096));
}

// A new block is allocated in the zone map on the device before the extent
// page that maps it: a failed zone-map write (fatal by design) leaves no map
// naming a free block.
TEST_P(CrashTest, AllocationBeforeTheMapThatNamesIt) {
    stale_device();
    tav_fd *f = create(1);
    Buf b(4096, 0x11);
    ASSERT_EQ(4096, pwrite(f, b.data(), 4096, 0));
    crash([&] { fault_engine().fail_writes(zmap_area(), zmap_len()); },
          [&] {
              Buf w(4096, 0x44);
              return pwrite(fd(1), w.data(), 4096, 5 * MiB);
          },
          -EIO, true);
    EXPECT_EQ(4096u, fd(1)->inode->ondisk.i_size);
    ASSERT_EQ(0, ftruncate(fd(1), 6 * MiB));
    EXPECT_LT(paddr(fd(1), 5 * MiB), 0) << "no map names the block";
    EXPECT_EQ(Bytes(4096, 0), read_all(fd(1), 5 * MiB, 4096));
}

// An extent block is formatted before the inode names it.
TEST_P(CrashTest, ExtentBlockFormattedBeforeTheInodeNamesIt) {
    tav_fd *f = create(1);
    Buf b(1000, 0x55);
    ASSERT_EQ(1000, pwrite(f, b.data(), 1000, 0));
    crash([&] { fault_engine().fail_writes(data_area(), 1ull << 40); },
          [&] {
              Buf w(4096, 0x66);
              return pwrite(fd(1), w.data(), 4096, 4096);
          },
          -EIO);
    const tav_disk_inode *d = &fd(1)->inode->ondisk;
    EXPECT_EQ(0u, d->i_extents[0]);
    EXPECT_TRUE(d->i_type & TAV_FILE_TYPE_INLINE);
    EXPECT_EQ(Bytes(1000, 0x55), read_all(fd(1), 0, 1000));
}

// Inline data reaches its extent block before the inode stops being INLINE:
// a failed final inode write leaves the old inline file whole.
TEST_P(CrashTest, InlineDataInItsExtentBlockBeforeTheInodeStopsBeingInline) {
    tav_fd *f = create(1);
    Buf b(1500, 0x77);
    ASSERT_EQ(1500, pwrite(f, b.data(), 1500, 0));
    // The transform writes the inode twice: naming the extent block, then
    // clearing INLINE.  The second goes to the other copy; it fails.
    uint64_t second = inode_copy(f, 2);
    crash([&] { fault_engine().fail_writes(second, TAV_INODE_PAGESIZE); },
          [&] {
              Buf w(100, 0x78);
              return pwrite(fd(1), w.data(), 100, 2500);
          },
          -EIO);
    const tav_disk_inode *d = &fd(1)->inode->ondisk;
    EXPECT_TRUE(d->i_type & TAV_FILE_TYPE_INLINE);
    EXPECT_EQ(1500u, d->i_size);
    EXPECT_EQ(Bytes(1500, 0x77), read_all(fd(1), 0, 1500));
    // The file still works and turns into an extent file on the next try.
    Buf w(100, 0x78);
    ASSERT_EQ(100, pwrite(fd(1), w.data(), 100, 2500));
    Bytes want(2600, 0);
    std::fill(want.begin(), want.begin() + 1500, 0x77);
    std::fill(want.begin() + 2500, want.end(), 0x78);
    EXPECT_EQ(want, read_all(fd(1), 0, 2600));
}

// Blocks freed by discard or truncate return to the zone map only after the
// maps that named them are on the device.
TEST_P(CrashTest, BlocksFreedOnlyAfterTheirMapsAreGone) {
    tav_fd *f = create(1);
    Buf b(3 * MiB, 0x44);
    ASSERT_EQ((int64_t)b.size(), pwrite(f, b.data(), b.size(), 0));
    uint64_t eb = f->inode->ondisk.i_extents[0] * MiB;
    // The extent-page write fails: nothing is freed, the file keeps its data.
    crash([&] { fault_engine().fail_writes(eb, MiB); }, [&] { return discard(fd(1), 0, 3 * MiB); }, -EIO);
    EXPECT_EQ(Bytes(3 * MiB, 0x44), read_all(fd(1), 0, 3 * MiB));
    crash([&] { fault_engine().fail_writes(eb, MiB); }, [&] { return ftruncate(fd(1), 0); }, -EIO);
    EXPECT_EQ(Bytes(3 * MiB, 0x44), read_all(fd(1), 0, 3 * MiB));
    // The zone-map write fails after the maps are gone (fatal by design):
    // the blocks leak, no file names a free block.
    crash([&] { fault_engine().fail_writes(zmap_area(), zmap_len()); },
          [&] { return discard(fd(1), 0, 3 * MiB); }, -EIO, true);
    EXPECT_EQ(Bytes(3 * MiB, 0), read_all(fd(1), 0, 3 * MiB));
    EXPECT_LT(paddr(fd(1), 0), 0);
}

TAV_DATA_ENGINES(CrashTest);

} // namespace
} // namespace datatest
