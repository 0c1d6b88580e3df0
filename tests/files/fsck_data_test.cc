// The consistency check at start on a device the data path wrote: files of
// every kind written, truncated, punched, zero-filled, preallocated and
// unlinked through the asynchronous API, then the instance stopped and the
// check forced at the next start by a flag file or by the interval.  The
// check must find the space accounting the data path left exact (nothing
// leaked, nothing used but free, nothing used twice), must find and free a
// block and a slice whose reference was cleared, and every file must read
// back as it did before the check.
#include <errno.h>
#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "data.h"
#include "data_support.h"
#include "fsck.h"
#include "support/bytes.h"
#include "support/log_capture.h"
#include "zmap.h"

namespace {

using namespace datatest;
using tavtest::CbkResult;

constexpr uint64_t GiB = 1024 * MiB;

// A region of a file whose bytes must survive every check.
struct Region {
    unsigned char tag;
    uint64_t off, len;
};

// On a file through libaio, and on a volume through the volume engine.
class FsckDataTest : public DataTest, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override {
        volume_ = GetParam();
        blocks_ = 1200; // a file: data blocks 162..1199
        DataTest::SetUp();
    }
    void TearDown() override {
        DataTest::TearDown();
        // The power-loss marker of this device file: gone with the test.
        key_t key = tav_fsck_marker_key(dev_.c_str(), 2);
        int id = key == -1 ? -1 : semget(key, 1, 0);
        if (id >= 0)
            semctl(id, 0, IPC_RMID);
    }

    void flag(const char *name, bool on) {
        std::string p = dir_.path() + "/cfg/" + name;
        if (on)
            tavtest::make_file(p, 0);
        else
            unlink(p.c_str());
    }
    // A pattern that differs at every 4 KiB page and per file.
    static void pattern(Buf &b, unsigned char tag, uint64_t off) {
        for (size_t i = 0; i < b.size(); i++)
            b.data()[i] = static_cast<uint8_t>(tag * 31 + (off + i) / 4096 * 7 + (off + i) % 251);
    }
    void write(unsigned char tag, uint64_t off, size_t len) {
        Buf b(len);
        pattern(b, tag, off);
        ASSERT_EQ((int64_t)len, pwrite(fd(tag), b.data(), len, off))
            << "file " << static_cast<int>(tag) << " at " << off;
        regions_.push_back({tag, off, len});
    }
    int64_t unlink_file(unsigned char tag) {
        unsigned char g[16];
        gfid_of(tag, g);
        CbkResult r;
        if (!call(&r, [&](CbkResult *res) { return tav_unlink_async(inst_, g, tavtest::common_cbk, res); }))
            return -EIO;
        return r.ret < 0 ? -static_cast<int64_t>(r.err) : r.ret;
    }
    // What the regions read now, clipped to each file's size.
    std::vector<Bytes> snapshot() {
        std::vector<Bytes> out;
        for (const Region &g : regions_) {
            struct stat st;
            co([&] { tav_inode_get_stat(inode(g.tag), &st); });
            uint64_t end = std::min<uint64_t>(g.off + g.len, static_cast<uint64_t>(st.st_size));
            out.push_back(end > g.off ? read_all(fd(g.tag), g.off, end - g.off) : Bytes{});
        }
        return out;
    }
    // Whether the regions read as in `want`; names the first that does not
    // (the bytes themselves are too many to print).
    ::testing::AssertionResult reads_as(const std::vector<Bytes> &want) {
        const auto got = snapshot();
        for (size_t i = 0; i < regions_.size() && i < want.size(); i++) {
            if (got[i] == want[i])
                continue;
            size_t at = 0;
            while (at < got[i].size() && at < want[i].size() && got[i][at] == want[i][at])
                at++;
            return ::testing::AssertionFailure()
                   << "file " << static_cast<int>(regions_[i].tag) << ": region at " << regions_[i].off
                   << " differs at +" << at << " (" << got[i].size() << " bytes read, " << want[i].size()
                   << " expected)";
        }
        if (got.size() != want.size())
            return ::testing::AssertionFailure() << got.size() << " regions, " << want.size() << " expected";
        return ::testing::AssertionSuccess();
    }
    // Log lines written since `mark` lines.
    std::vector<std::string> lines_since(size_t mark) const {
        auto l = log_lines();
        l.erase(l.begin(), l.begin() + std::min(mark, l.size()));
        return l;
    }
    size_t count(const std::vector<std::string> &lines, const std::string &needle) const {
        return tavtest::count_lines_with(lines, needle);
    }
    // Restarts with the check forced by the flag file; the lines of the
    // start.
    std::vector<std::string> restart_checked() {
        stop();
        flag(TAV_FSCK_FORCE_FLAG, true);
        const size_t mark = log_lines().size();
        start();
        flag(TAV_FSCK_FORCE_FLAG, false);
        auto lines = lines_since(mark);
        EXPECT_EQ(1u, count(lines, "fsck triggered due to flag file"));
        return lines;
    }
    // The verdict of a check that found the accounting exact.
    void expect_clean(const std::vector<std::string> &lines) {
        EXPECT_EQ(1u, count(lines, "slice leakage count: 0."));
        EXPECT_EQ(1u, count(lines, "fsck succeed, blocks released: 0,"));
        EXPECT_EQ(0u, count(lines, "fatel error"));
        EXPECT_EQ(0u, count(lines, "fsck failed"));
    }
    // The zone map's view of one block (0 free, 0xFF whole, slice bits).
    uint8_t zmap_byte(uint64_t pb) {
        zmap_page_t *page = nullptr;
        uint8_t v = 0xEE;
        co([&] {
            ASSERT_EQ(0, zmap_page_from_pblock(&inst_->zmap, pb, &page));
            v = page->bitmaps[pb % TAV_ZMAP_PAGE_BITMAP_SIZE];
            zmap_page_put(page);
        });
        return v;
    }
    // Clears the reference of segment `seg` of a file as a crash between
    // the extent-page write and the zone-map release leaves it: the entry
    // is deleted and written, the block or slice stays in use.  Returns
    // (physical block, slice or -1).
    std::pair<uint64_t, int> clear_reference(unsigned char tag, uint64_t seg) {
        std::pair<uint64_t, int> at{0, -1};
        co([&] {
            ext_page_t *page = nullptr;
            blkmap_t *m = tav_segment_map(inode(tag), seg, &page);
            ASSERT_NE(nullptr, m);
            at = {ext_blkmap_get_pblock(m), ext_blkmap_get_pslice(m)};
            ASSERT_NE(0u, at.first);
            ext_blkmap_delete_pblock(m, at.first, at.second);
            EXPECT_EQ(0, ext_page_write(page));
            ext_page_put(page);
        });
        return at;
    }

    // Files of every kind and layout, in the state a busy run leaves them.
    void populate() {
        // Inline: stays in the inode page.
        create(1, Kind::Plain);
        write(1, 0, 100);
        // Whole blocks: blocks 0-2, an extent-page span (logical blocks 127
        // and 128), an extent-block span (16 GiB), then a truncate inside
        // the last write and a punched block.
        create(2, Kind::Plain);
        write(2, 0, 3 * MiB);
        write(2, 127 * MiB, 2 * MiB);
        write(2, 16 * GiB - MiB, 2 * MiB);
        ASSERT_EQ(0, ftruncate(fd(2), 16 * GiB + 512 * KiB));
        ASSERT_EQ(0, discard(fd(2), MiB, MiB));
        // Slices: partial slices, an extent-page span (logical blocks 63 and
        // 64), an extent-block span (8 GiB), a punched slice, a zero-fill
        // and a truncate that drops slices.
        create(3, Kind::Compressible);
        write(3, 0, 300 * KiB);
        write(3, 64 * MiB - 200 * KiB, 400 * KiB);
        write(3, 8 * GiB - 128 * KiB, 256 * KiB);
        write(3, 20 * MiB, MiB);
        ASSERT_EQ(0, discard(fd(3), 128 * KiB, 128 * KiB));
        ASSERT_EQ(0, zerofill(fd(3), TAV_ZEROFILL_DEFAULT, 20 * MiB + 4 * KiB, 200 * KiB));
        ASSERT_EQ(0, ftruncate(fd(3), 8 * GiB));
        // A block-device file: a truncate never shrinks it; a punch inside.
        create(4, Kind::Bd);
        write(4, 0, 4 * MiB);
        ASSERT_EQ(0, ftruncate(fd(4), MiB));
        ASSERT_EQ(0, discard(fd(4), 2 * MiB, MiB));
        // Preallocated space: default, hard, and hard with its metadata left
        // for the next sync.
        create(5, Kind::Plain);
        ASSERT_EQ(0, fallocate(fd(5), TAV_FALLOC_DEFAULT, 0, 3 * MiB));
        ASSERT_EQ(0, fallocate(fd(5), TAV_FALLOC_HARD_CACHED, 10 * MiB, 2 * MiB));
        write(5, MiB, 8 * KiB);
        create(6, Kind::Compressible);
        ASSERT_EQ(0, fallocate(fd(6), TAV_FALLOC_HARD, 0, MiB + 128 * KiB));
        write(6, 256 * KiB, 4 * KiB);
        // Laid over a device range the caller owned (blocks 1000-1003).
        {
            unsigned char g[16];
            gfid_of(13, g);
            CbkResult r;
            ASSERT_TRUE(call(&r, [&](CbkResult *res) {
                return tav_create_ex(inst_, g, 1000 * MiB, 4 * MiB, 4 * MiB, O_RDWR, 0644, 0,
                                     tavtest::open_cbk, res);
            }));
            ASSERT_EQ(0, r.ret);
            ASSERT_NE(nullptr, r.fd);
            fds_[13] = r.fd;
            regions_.push_back({13, 0, 4 * MiB});
            write(13, MiB, 8 * KiB);
        }
        // Unlinked and destroyed by the unlink timer.
        create(7, Kind::Plain);
        write(7, 0, 5 * MiB);
        create(8, Kind::Compressible);
        write(8, MiB, 700 * KiB);
        close(7);
        close(8);
        drop_regions(7);
        drop_regions(8);
        const size_t mark = log_lines().size();
        ASSERT_EQ(0, unlink_file(7));
        ASSERT_EQ(0, unlink_file(8));
        ASSERT_TRUE(
            tavtest::run_until([&] { return count(lines_since(mark), "inode destroy succeed") == 2; }));
        // Unlinked while its destruction is held back: still owns its blocks
        // at the stop.
        create(9, Kind::Compressible);
        write(9, 0, 2 * MiB);
        create(10, Kind::Plain);
        write(10, 0, 2 * MiB);
        close(9);
        close(10);
        drop_regions(9);
        drop_regions(10);
        tav_timer_stop(inst_->unlink_timer);
        ASSERT_EQ(0, unlink_file(9));
        ASSERT_EQ(0, unlink_file(10));
        check_references();
    }
    void drop_regions(unsigned char tag) {
        std::erase_if(regions_, [tag](const Region &g) { return g.tag == tag; });
    }

    std::vector<Region> regions_;
};

TEST_P(FsckDataTest, AccountingTheDataPathLeavesIsExact) {
    ASSERT_NO_FATAL_FAILURE(populate());
    const auto before = snapshot();

    // Forced by the flag file.
    auto lines = restart_checked();
    expect_clean(lines);
    // Open: 1 to 6 and 13; unlinked and pending: 9 and 10.
    EXPECT_EQ(3u, count(lines, "compressible:true"));
    EXPECT_EQ(6u, count(lines, "compressible:false"));
    EXPECT_TRUE(reads_as(before));
    check_references();
    // The files held back are destroyed now, each block freed once.
    EXPECT_TRUE(tavtest::run_until([&] { return count(log_lines(), "inode destroy succeed") == 4; }));
    EXPECT_EQ(0u, count(log_lines(), "not in use"));

    // Due by the interval: the last check 31 days ago.
    co([&] {
        ASSERT_EQ(0, tav_sb_read(&inst_->sb));
        inst_->sb.tav_disk_sb.s_ts_fsck -= 31ULL * 86400 * 1000000000ULL;
        ASSERT_EQ(0, tav_sb_write(&inst_->sb));
    });
    stop();
    size_t mark = log_lines().size();
    start();
    lines = lines_since(mark);
    EXPECT_EQ(1u, count(lines, "fsck triggered because last fsck is "));
    expect_clean(lines);
    EXPECT_TRUE(reads_as(before));

    // Neither due: no check.
    stop();
    mark = log_lines().size();
    start();
    EXPECT_EQ(0u, count(lines_since(mark), "fsck succeed"));
    EXPECT_TRUE(reads_as(before));
}

TEST_P(FsckDataTest, ClearedReferencesAreFoundAndFreed) {
    ASSERT_NO_FATAL_FAILURE(populate());
    // Block 0 of file 2 and slice 2 of file 3 (logical block 0): the file
    // forgets them, the zone map still has them in use.
    const auto block = clear_reference(2, 0);
    const auto slice = clear_reference(3, 2);
    ASSERT_EQ(-1, block.second);
    ASSERT_GE(slice.second, 0);
    const uint8_t slice_byte = zmap_byte(slice.first);
    ASSERT_EQ(0xFF, zmap_byte(block.first));
    ASSERT_TRUE(slice_byte & (1u << slice.second));
    // What the files read now is what they must read after the check.
    const auto before = snapshot();
    EXPECT_TRUE(Bytes(MiB, 0) == read_all(fd(2), 0, MiB)) << "the cleared block reads as zeros";

    auto lines = restart_checked();
    EXPECT_EQ(1u, count(lines, "slice leakage count: 9."));
    // The slice's block becomes free only if the slice was its last one.
    const int released = 1 + (slice_byte == (1u << slice.second));
    EXPECT_EQ(1u, count(lines, "fsck succeed, blocks released: " + std::to_string(released) + ","));
    EXPECT_EQ(0, zmap_byte(block.first));
    EXPECT_EQ(slice_byte & ~(1u << slice.second), zmap_byte(slice.first));
    EXPECT_TRUE(reads_as(before));
    check_references();

    // The freed space is handed out again without a second owner.
    create(11, Kind::Plain);
    write(11, 0, 40 * MiB);
    create(12, Kind::Compressible);
    write(12, 0, 2 * MiB);
    const auto after = snapshot();
    lines = restart_checked();
    expect_clean(lines);
    EXPECT_TRUE(reads_as(after));
    check_references();
}

TEST_P(FsckDataTest, CrashLeavesNothingTheCheckCannotMend) {
    ASSERT_NO_FATAL_FAILURE(populate());
    const auto before = snapshot();
    // A child writes more to every open file and to two new ones, syncs the
    // new files' first writes, writes again without a sync and ends without
    // finishing anything.
    stop();
    const std::vector<unsigned char> open_tags = {1, 2, 3, 4, 5, 6, 13};
    int status = run_crashing_child([&] {
        start();
        for (unsigned char tag : open_tags) {
            Buf b(3 * MiB, static_cast<uint8_t>(tag));
            if (pwrite(fd(tag), b.data(), b.size(), 100 * MiB) != static_cast<int64_t>(b.size()))
                return false;
        }
        create(20, Kind::Plain);
        create(21, Kind::Compressible);
        for (unsigned char tag : {20, 21}) {
            Buf b(3 * MiB);
            pattern(b, tag, 0);
            if (pwrite(fd(tag), b.data(), b.size(), 0) != static_cast<int64_t>(b.size()) ||
                fsync(fd(tag)) != 0)
                return false;
            Buf more(5 * MiB, 0x77);
            if (pwrite(fd(tag), more.data(), more.size(), 30 * MiB) != static_cast<int64_t>(more.size()))
                return false;
        }
        return true;
    });
    ASSERT_EQ(0, status);
    flag(TAV_FSCK_FORCE_FLAG, true);
    size_t mark = log_lines().size();
    start();
    auto lines = lines_since(mark);
    EXPECT_EQ(1u, count(lines, "fsck succeed, blocks released: "));
    EXPECT_EQ(0u, count(lines, "fatel error"));
    check_references();
    // Synced data reads back; the older regions are untouched by the crash.
    for (unsigned char tag : {20, 21}) {
        ASSERT_NE(nullptr, open(tag)) << static_cast<int>(tag);
        Buf b(3 * MiB);
        pattern(b, tag, 0);
        EXPECT_TRUE(b.bytes() == read_all(fd(tag), 0, 3 * MiB)) << "file " << static_cast<int>(tag);
    }
    EXPECT_TRUE(reads_as(before));
    // What the check left is exact: a second check has nothing to do.
    lines = restart_checked();
    expect_clean(lines);
    check_references();
}

INSTANTIATE_TEST_SUITE_P(Engines, FsckDataTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &i) { return i.param ? "kvol" : "libaio"; });

} // namespace
