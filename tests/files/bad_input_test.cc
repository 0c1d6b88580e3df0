// Bad input to the data path: every data entry point's argument errors with
// their log lines, requests on missing and damaged files, and a damaged
// extent page on the device, which fails the requests that need it and
// nothing else.
#include <errno.h>
#include <gtest/gtest.h>
#include <linux/fiemap.h>

#include <functional>

#include "data.h"
#include "data_support.h"
#include "zmap.h"

namespace datatest {
namespace {

using tavtest::CbkResult;
using tavtest::common_cbk;

class BadInputTest : public EngineDataTest {};

TEST_P(BadInputTest, EntryPointArgumentErrors) {
    tav_fd *f = create(1);
    tav_fd noinode = *f;
    noinode.inode = nullptr;
    char buf[4096];
    struct iovec iov = {buf, sizeof(buf)}, empty = {buf, 0};
    Fiemap fm(4);
    unsigned char name[16], null[16] = {};
    gfid_of(1, name);
    const uint64_t kMax = TAV_MAX_FILE_SIZE;
    struct Case {
        const char *what;
        int expect;
        const char *log;
        std::function<int(CbkResult *)> call;
    } cases[] = {
        {"write, no handle", -EINVAL, "invaid arguments: fd:(nil), iovec:",
         [&](CbkResult *r) {
             return tav_pwritev_async(nullptr, &iov, 1, 0, nullptr, nullptr, common_cbk, r);
         }},
        {"write, handle without inode", -EINVAL, "invaid arguments: fd:",
         [&](CbkResult *r) {
             return tav_pwritev_async(&noinode, &iov, 1, 0, nullptr, nullptr, common_cbk, r);
         }},
        {"write, no vector", -EINVAL, "iovec:(nil), count:1",
         [&](CbkResult *r) { return tav_pwritev_async(f, nullptr, 1, 0, nullptr, nullptr, common_cbk, r); }},
        {"write, count 0", -EINVAL, "count:0, offset:0",
         [&](CbkResult *r) { return tav_pwritev_async(f, &iov, 0, 0, nullptr, nullptr, common_cbk, r); }},
        {"read, negative offset", -EINVAL, "offset:-1",
         [&](CbkResult *r) { return tav_preadv_async(f, &iov, 1, -1, nullptr, nullptr, common_cbk, r); }},
        {"read, no callback", -EINVAL, "cbk:(nil)",
         [&](CbkResult *r) { return tav_preadv_async(f, &iov, 1, 0, nullptr, nullptr, nullptr, r); }},
        {"write, size 0", -EINVAL, "size is zero, iovec[0].iov_len: 0",
         [&](CbkResult *r) { return tav_pwritev_async(f, &empty, 1, 0, nullptr, nullptr, common_cbk, r); }},
        {"read beyond 256 GiB", -EFBIG, "exceeds max file size(274877906944)",
         [&](CbkResult *r) {
             return tav_preadv_async(f, &iov, 1, static_cast<off_t>(kMax) - 4095, nullptr, nullptr,
                                     common_cbk, r);
         }},
        {"truncate, null uuid", -EINVAL, "name uuid is null",
         [&](CbkResult *r) { return tav_truncate_async(inst_, null, 0, nullptr, nullptr, common_cbk, r); }},
        {"truncate, negative length", -EINVAL, "invaid arguments: tav:",
         [&](CbkResult *r) { return tav_truncate_async(inst_, name, -1, nullptr, nullptr, common_cbk, r); }},
        {"ftruncate beyond 256 GiB", -EFBIG, "length(274877906945) exceeds max file size(274877906944)",
         [&](CbkResult *r) {
             return tav_ftruncate_async(f, static_cast<off_t>(kMax) + 1, nullptr, nullptr, common_cbk, r);
         }},
        {"ftruncate, handle without inode", -EINVAL, "invaid arguments: fd:",
         [&](CbkResult *r) { return tav_ftruncate_async(&noinode, 0, nullptr, nullptr, common_cbk, r); }},
        {"fallocate, length 0", -EINVAL, "mode:0, offset:0, length:0",
         [&](CbkResult *r) { return tav_fallocate_async(f, 0, 0, 0, nullptr, nullptr, common_cbk, r); }},
        {"fallocate beyond 256 GiB", -EFBIG, "offset(274877906943) + length(2) = 274877906945 exceeds",
         [&](CbkResult *r) {
             return tav_fallocate_async(f, 0, static_cast<off_t>(kMax) - 1, 2, nullptr, nullptr, common_cbk,
                                        r);
         }},
        {"discard unaligned", -EINVAL, "offset(100) or length(4096) unaligned to 4096",
         [&](CbkResult *r) { return tav_discard_async(f, 100, 4096, nullptr, nullptr, common_cbk, r); }},
        {"discard, negative offset", -EINVAL, "invaid arguments: fd:",
         [&](CbkResult *r) { return tav_discard_async(f, -4096, 4096, nullptr, nullptr, common_cbk, r); }},
        {"zerofill, no callback", -EINVAL, "invaid arguments: fd:",
         [&](CbkResult *r) { return tav_zerofill_async(f, 0, 0, 10, nullptr, nullptr, nullptr, r); }},
        {"fiemap, no record", -EINVAL, "fieinfo:(nil)",
         [&](CbkResult *r) { return tav_fiemap_async(f, nullptr, nullptr, nullptr, common_cbk, r); }},
        {"fiemap, handle without inode", -EINVAL, "invaid arguments: fd:",
         [&](CbkResult *r) { return tav_fiemap_async(&noinode, fm.fm(), nullptr, nullptr, common_cbk, r); }},
    };
    for (const Case &c : cases) {
        CbkResult r;
        EXPECT_EQ(c.expect, c.call(&r)) << c.what;
        EXPECT_FALSE(r.called) << c.what;
        EXPECT_TRUE(log_contains(c.log)) << c.what << ": no log line with \"" << c.log << "\"";
    }
    // Accepted requests with arguments the handlers refuse.
    EXPECT_EQ(-EINVAL, zerofill(f, 1, 0, 10)) << "zero-fill mode 1 is neither mode";
    EXPECT_EQ(-EINVAL, fallocate(f, 2, 0, 10));
}

TEST_P(BadInputTest, MissingAndDamagedFiles) {
    // A name the table does not hold.
    unsigned char unknown[16] = {0xde, 0xad};
    CbkResult r;
    ASSERT_EQ(0, tav_truncate_async(inst_, unknown, 0, nullptr, nullptr, common_cbk, &r));
    ASSERT_TRUE(wait(&r));
    EXPECT_EQ(-1, r.ret);
    EXPECT_EQ((uint32_t)ENOENT, r.err);

    // A file whose current inode copy is damaged comes up with only its
    // other copy: requests on it fail, other files are untouched.
    tav_fd *f = create(1), *g = create(2);
    Buf b(8192, 0x21);
    ASSERT_EQ(8192, pwrite(f, b.data(), 8192, 0));
    ASSERT_EQ(8192, pwrite(g, b.data(), 8192, 0));
    const tav_disk_inode *d = &f->inode->ondisk;
    uint64_t current = tav_inode_slot_offset(d->i_no) + (d->i_header.generation % 2 ? 0 : TAV_INODE_PAGESIZE);
    close(1);
    stop();
    Bytes page = raw_read(current, TAV_INODE_PAGESIZE);
    page[200] ^= 0xff; // inside the record: the checksum no longer matches
    raw_write(current, page);
    start();
    EXPECT_EQ(nullptr, open(1)) << "a damaged file is not opened";
    unsigned char name[16];
    gfid_of(1, name);
    CbkResult t;
    ASSERT_EQ(0, tav_truncate_async(inst_, name, 0, nullptr, nullptr, common_cbk, &t));
    ASSERT_TRUE(wait(&t));
    EXPECT_EQ(-1, t.ret);
    EXPECT_EQ((uint32_t)EIO, t.err);
    EXPECT_EQ(Bytes(8192, 0x21), read_all(fd(2), 0, 8192));
}

// An unlinked file: requests by its name find nothing; a handle opened
// before the unlink still serves that file's own data and never a file made
// later under the same name; its blocks come back once the last handle is
// closed.
TEST_P(BadInputTest, UnlinkedFileIsReachedOnlyThroughItsOpenHandles) {
    tav_fd *old = create(1);
    Buf a(2 * MiB, 0x31);
    ASSERT_EQ((int64_t)a.size(), pwrite(old, a.data(), a.size(), 0));
    unsigned char name[16];
    gfid_of(1, name);
    CbkResult r;
    ASSERT_TRUE(call(&r, [&](CbkResult *c) { return tav_unlink_async(inst_, name, common_cbk, c); }));
    ASSERT_EQ(0, r.ret);
    fds_.erase(1); // the fixture no longer owns the old handle
    struct Case {
        const char *what;
        std::function<int(CbkResult *)> call;
    } by_name[] = {
        {"unlink again", [&](CbkResult *c) { return tav_unlink_async(inst_, name, common_cbk, c); }},
        {"truncate",
         [&](CbkResult *c) { return tav_truncate_async(inst_, name, 0, nullptr, nullptr, common_cbk, c); }},
        {"getxattr",
         [&](CbkResult *c) { return tav_getxattr_async(inst_, name, "user.a", nullptr, 0, common_cbk, c); }},
    };
    for (const Case &c : by_name) {
        ASSERT_TRUE(call(&r, c.call)) << c.what;
        EXPECT_EQ(-1, r.ret) << c.what;
        EXPECT_EQ((uint32_t)ENOENT, r.err) << c.what;
    }
    EXPECT_EQ(nullptr, open(1)) << "the name is free";

    // The handle still works on the unlinked file.
    EXPECT_EQ(a.bytes(), read_all(old, 0, a.size()));
    Buf b(4096, 0x32);
    ASSERT_EQ(4096, pwrite(old, b.data(), 4096, MiB));
    // A new file under the same name is another file.
    tav_fd *now = create(1);
    ASSERT_NE(nullptr, now);
    EXPECT_EQ(0u, now->inode->ondisk.i_size);
    Buf c(4096, 0x33);
    ASSERT_EQ(4096, pwrite(now, c.data(), 4096, MiB));
    EXPECT_EQ(Bytes(4096, 0x32), read_all(old, MiB, 4096));
    EXPECT_EQ(Bytes(4096, 0x33), read_all(now, MiB, 4096));
    EXPECT_EQ(Bytes(4096, 0), read_all(now, 0, 4096));

    // Closing the last handle hands the old file to the unlink timer, which
    // returns its two data blocks and its extent block.
    const uint64_t used = zmap_blocks_allocated(&inst_->zmap);
    EXPECT_EQ(0, tav_close(old));
    EXPECT_TRUE(tavtest::run_until([&] { return zmap_blocks_allocated(&inst_->zmap) == used - 3; }))
        << zmap_blocks_allocated(&inst_->zmap) << " blocks in use, " << used << " before the close";
    EXPECT_EQ(Bytes(4096, 0x33), read_all(now, MiB, 4096));
    restart();
    EXPECT_EQ(Bytes(4096, 0x33), read_all(fd(1), MiB, 4096));
    check_references();
}

// A damaged extent page fails the requests that need its maps with EIO and
// nothing else: the file's other pages and other files keep working.
TEST_P(BadInputTest, DamagedExtentPageFailsOnlyTheRequestsThatNeedIt) {
    tav_fd *f = create(1), *g = create(2);
    Buf b(MiB, 0x42);
    const uint64_t far = 128 * MiB; // the maps of extent page 1
    ASSERT_EQ((int64_t)MiB, pwrite(f, b.data(), MiB, 0));
    ASSERT_EQ((int64_t)MiB, pwrite(f, b.data(), MiB, far));
    ASSERT_EQ((int64_t)MiB, pwrite(g, b.data(), MiB, 0));
    uint64_t page1 = f->inode->ondisk.i_extents[0] * MiB + TAV_EXTENT_PAGE_SIZE;
    stop();
    Bytes raw = raw_read(page1, 64);
    raw[20] ^= 0x01; // the first entry's block number: its checksum fails
    raw_write(page1, raw);
    start();
    f = fd(1);
    Buf out(MiB);
    EXPECT_EQ(-EIO, pread(f, out.data(), MiB, far));
    EXPECT_EQ(-EIO, pwrite(f, b.data(), 4096, far + 4096));
    EXPECT_EQ(-EIO, discard(f, far, MiB));
    Fiemap fm(8);
    EXPECT_EQ(-EIO, fiemap(f, fm.fm()));
    // What does not need that page still works.
    EXPECT_EQ(Bytes(MiB, 0x42), read_all(f, 0, MiB));
    ASSERT_EQ(4096, pwrite(f, b.data(), 4096, 2 * MiB));
    EXPECT_EQ(Bytes(MiB, 0x42), read_all(fd(2), 0, MiB));
    EXPECT_TRUE(log_contains("illegal blkmap"));
}

TAV_DATA_ENGINES(BadInputTest);

} // namespace
} // namespace datatest
