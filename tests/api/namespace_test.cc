// Files by name on a running instance, on both engines: open and create,
// handles, unlink, attributes, the listing, the borrow query, inode
// information, expansion, and what survives a restart.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <set>

#include "file_api.h"
#include "fd.h"
#include "instance.h"
#include "support/bytes.h"
#include "support/fault_engine.h"

namespace {

using filetest::FileApi;
using filetest::gfid;
using filetest::Gfid;
using tavtest::CbkResult;
using tavtest::common_cbk;
using tavtest::open_cbk;

class Namespace : public FileApi {};

TEST_P(Namespace, OpenAndCreateByName) {
    Gfid a = gfid(1), b = gfid(2);
    struct Case {
        const char *what;
        Gfid name;
        int flags;
        uint32_t err; // 0: a handle
    } cases[] = {
        {"open of an unknown name", a, O_RDWR, ENOENT},
        {"create", a, O_RDWR | O_CREAT | O_EXCL, 0},
        {"exclusive create of an existing name", a, O_RDWR | O_CREAT | O_EXCL, EEXIST},
        {"open with O_CREAT of an existing name", a, O_RDWR | O_CREAT, 0},
        {"plain open", a, O_RDONLY, 0},
        {"open with O_CREAT of a new name creates it", b, O_RDWR | O_CREAT, 0},
    };
    for (const auto &c : cases) {
        CbkResult r = open(c.name, c.flags);
        EXPECT_EQ(1, r.calls) << c.what;
        if (c.err) {
            EXPECT_EQ(-1, r.ret) << c.what;
            EXPECT_EQ(c.err, r.err) << c.what;
            EXPECT_EQ(nullptr, r.fd) << c.what;
            continue;
        }
        ASSERT_EQ(0, r.ret) << c.what << ": " << r.err;
        ASSERT_NE(nullptr, r.fd) << c.what;
        EXPECT_EQ(inode(c.name), r.fd->inode) << c.what;
        EXPECT_EQ(c.flags & TAV_OPEN_FLAGS_MASK, r.fd->flags) << c.what;
        EXPECT_EQ(0, tav_close(r.fd));
    }
    EXPECT_TRUE(log_contains("inode not found"));
    EXPECT_TRUE(log_contains("file create: 0(Success) ino:"));
    EXPECT_EQ(2u, inst_->itable.inode_count);
    EXPECT_EQ(0u, inst_->status.fd_cnt);
    EXPECT_EQ(-EINVAL, tav_close(nullptr));
}

TEST_P(Namespace, CreationFlagsGiveTheFileKind) {
    struct Case {
        int flags;
        mode_t mode;
        uint64_t type;
        uint64_t statex;
    } cases[] = {
        {O_RDWR, 0644, TAV_FILE_TYPE_INLINE | TAV_FILE_TYPE_COMPRESSIBLE, TAV_STATEX_UNCOMPRESSED},
        {O_RDWR | TAV_FLAG_BD, 0600, TAV_FILE_TYPE_INLINE | TAV_FILE_TYPE_BD | TAV_FILE_TYPE_COMPRESSIBLE,
         TAV_STATEX_UNCOMPRESSED},
        {O_RDWR | TAV_FLAG_UNCOMPRESSIBLE, S_IFDIR | 0755, TAV_FILE_TYPE_INLINE, TAV_STATEX_UNCOMPRESSED},
        {O_WRONLY | TAV_FLAG_COMPRESSED, 04711, TAV_FILE_TYPE_INLINE | TAV_FILE_TYPE_COMPRESSIBLE,
         TAV_STATEX_COMPRESSED},
    };
    uint32_t n = 10;
    for (const auto &c : cases) {
        Gfid g = gfid(n++);
        tav_fd *fd = create(g, c.flags, c.mode);
        ASSERT_NE(nullptr, fd);
        const tav_disk_inode &d = fd->inode->ondisk;
        EXPECT_EQ(c.type, d.i_type) << std::hex << c.flags;
        EXPECT_EQ(c.statex, d.i_statex);
        EXPECT_EQ(c.statex == TAV_STATEX_COMPRESSED ? TAV_BLKMAP_MODE_COMPACT : TAV_BLKMAP_MODE_NORMAL,
                  fd->inode->blkmap_mode);
        EXPECT_EQ((uint64_t)((c.flags | O_CREAT | O_EXCL) & 0x0fffffff), d.i_flags);
        EXPECT_EQ(0, fd->flags & ~0x0fffffff) << "the handle keeps no file-kind bits";
        EXPECT_EQ((uint64_t)((c.mode & 07777) | S_IFREG), d.i_mode);
        EXPECT_EQ(2u, d.i_blkmap_type);

        // On the device: copy A holds the record (generation 1, NORMAL, the
        // name), copy B the default page of a formatted slot.
        std::vector<uint8_t> slot = raw_slot(d.i_no);
        const uint8_t *a = slot.data(), *b = slot.data() + 4096;
        EXPECT_EQ(0, memcmp(a + 8, "_TAVINO_", 8));
        EXPECT_EQ(tavtest::xxh64_1011(a + 8, 4088), tavtest::get64(a));
        EXPECT_EQ(1u, tavtest::get64(a + 24)) << "generation";
        EXPECT_EQ(d.i_no, tavtest::get64(a + 48));
        EXPECT_EQ((uint64_t)TAV_I_NORMAL, tavtest::get64(a + 56));
        EXPECT_EQ(0, memcmp(a + 64, g.b, 16));
        EXPECT_EQ(c.type, tavtest::get64(a + 80));
        EXPECT_EQ((uint64_t)TAV_I_INIT, tavtest::get64(b + 56));
        EXPECT_EQ(tavtest::xxh64_1011(b + 8, 4088), tavtest::get64(b));
        EXPECT_EQ(0, tav_close(fd));
    }
}

TEST_P(Namespace, CreateAndOpenWithCreatRacingOnOneName) {
    Gfid g = gfid(3);
    uint32_t files = inst_->itable.inode_count;
    CbkResult c, o, x;
    // Launched back to back: the create yields while it takes a number and
    // writes the inode; the open finds the file being created and waits.
    ASSERT_EQ(0, tav_create_async(inst_, g.b, O_RDWR, 0644, open_cbk, &c));
    ASSERT_EQ(0, tav_open_async(inst_, g.b, O_RDWR | O_CREAT, 0644, open_cbk, &o));
    ASSERT_EQ(0, tav_create_async(inst_, g.b, O_RDWR, 0644, open_cbk, &x));
    ASSERT_TRUE(tavtest::run_until([&] { return c.called && o.called && x.called; }));
    ASSERT_EQ(0, c.ret);
    ASSERT_EQ(0, o.ret) << o.err;
    EXPECT_EQ(-1, x.ret);
    EXPECT_EQ((uint32_t)EEXIST, x.err);
    EXPECT_EQ(c.fd->inode, o.fd->inode) << "one file, both callers see it";
    EXPECT_EQ(files + 1, inst_->itable.inode_count);
    int count = -1;
    in_coroutine([&] { count = tav_get_open_count(inst_, g.b); });
    EXPECT_EQ(2, count);
    tav_close(c.fd);
    tav_close(o.fd);
}

TEST_P(Namespace, AFileBeingCreatedIsNotSeenByOtherRequests) {
    Gfid g = gfid(4);
    CbkResult c, plain, attr;
    struct stat st;
    ASSERT_EQ(0, tav_create_async(inst_, g.b, O_RDWR, 0644, open_cbk, &c));
    ASSERT_FALSE(c.called) << "the create waits for its write";
    ASSERT_EQ(0, tav_open_async(inst_, g.b, O_RDWR, 0, open_cbk, &plain));
    ASSERT_EQ(0, tav_getattr_async(inst_, g.b, &st, common_cbk, &attr));
    ASSERT_TRUE(tavtest::run_until([&] { return c.called && plain.called && attr.called; }));
    EXPECT_EQ(0, c.ret);
    EXPECT_EQ((uint32_t)ENOENT, plain.err);
    EXPECT_EQ((uint32_t)ENOENT, attr.err);
    tav_close(c.fd);
}

TEST_P(Namespace, RunningRequestKeepsItsHandleAlive) {
    Gfid g = gfid(5);
    tav_fd *fd = create(g);
    ASSERT_NE(nullptr, fd);
    CbkResult r;
    struct stat st;
    const char v[] = "value";
    ASSERT_EQ(0, tav_fsetxattr_async(fd, "user.k", v, sizeof(v), 0, nullptr, &st, common_cbk, &r));
    ASSERT_FALSE(r.called) << "the set waits for its inode write";
    EXPECT_EQ(0, tav_close(fd)) << "close while the request runs";
    EXPECT_EQ(1u, inst_->status.fd_cnt);
    ASSERT_TRUE(wait(&r));
    EXPECT_EQ(0, r.ret);
    EXPECT_EQ(0u, inst_->status.fd_cnt) << "the request's reference was the last";
    EXPECT_EQ(0u, inode(g)->fd_cnt);
}

TEST_P(Namespace, FilesSurviveARestart) {
    Gfid a = gfid(6), b = gfid(7);
    make(a, O_RDWR | TAV_FLAG_BD);
    make(b, O_RDWR | TAV_FLAG_UNCOMPRESSIBLE);
    uint64_t ino_a = inode(a)->ondisk.i_no, ino_b = inode(b)->ondisk.i_no;
    EXPECT_NE(ino_a, ino_b);
    restart();
    ASSERT_NE(nullptr, inode(a));
    EXPECT_EQ(ino_a, inode(a)->ondisk.i_no);
    EXPECT_EQ(ino_b, inode(b)->ondisk.i_no);
    EXPECT_TRUE(inode(a)->ondisk.i_type & TAV_FILE_TYPE_BD);
    EXPECT_FALSE(inode(b)->ondisk.i_type & TAV_FILE_TYPE_COMPRESSIBLE);
    CbkResult r = open(a, O_RDWR);
    ASSERT_EQ(0, r.ret);
    tav_close(r.fd);
    // Numbers in use are not handed out again.
    tav_fd *c = create(gfid(8));
    ASSERT_NE(nullptr, c);
    EXPECT_NE(ino_a, c->inode->ondisk.i_no);
    EXPECT_NE(ino_b, c->inode->ondisk.i_no);
    tav_close(c);
}

INSTANTIATE_TEST_SUITE_P(Engines, Namespace, ::testing::Values("libaio", "kvol"),
                         [](const auto &info) { return std::string(info.param); });

// A create whose inode write fails leaves nothing behind, and an open that
// waited for it reports the name as absent.
class NamespaceFaults : public FileApi {
protected:
    void SetUp() override {
        faults_ = true;
        FileApi::SetUp();
    }
};

TEST_P(NamespaceFaults, FailedCreateLeavesNoFileAndFreesItsNumber) {
    Gfid g = gfid(9);
    uint32_t files = inst_->itable.inode_count;
    // The create formats the new slot (and yields meanwhile), then writes
    // the record: that second write to the inode area fails.
    tavtest::fault_engine().fail_writes(1048576, 1024ull * 1048576, 1, EIO, 1);
    CbkResult c, o;
    ASSERT_EQ(0, tav_create_async(inst_, g.b, O_RDWR, 0644, open_cbk, &c));
    ASSERT_EQ(0, tav_open_async(inst_, g.b, O_RDWR | O_CREAT, 0644, open_cbk, &o));
    ASSERT_TRUE(tavtest::run_until([&] { return c.called && o.called; }));
    EXPECT_EQ(-1, c.ret);
    EXPECT_EQ((uint32_t)EIO, c.err);
    EXPECT_EQ(nullptr, c.fd);
    EXPECT_EQ(-1, o.ret);
    EXPECT_EQ((uint32_t)ENOENT, o.err) << "the waiting open sees the failed create";
    EXPECT_TRUE(log_contains("inode write failed"));
    EXPECT_TRUE(log_contains("file create: -1(Input/output error)"));
    EXPECT_EQ(files, inst_->itable.inode_count);
    EXPECT_EQ(nullptr, inode(g));
    EXPECT_EQ(0u, inst_->itable.vacant_inode_count);
    EXPECT_EQ(0u, inst_->status.fd_cnt);
    // The name and the number are free again.
    tav_fd *fd = create(g);
    ASSERT_NE(nullptr, fd);
    uint64_t ino = fd->inode->ondisk.i_no;
    tav_close(fd);
    CbkResult r = unlink(g);
    EXPECT_EQ(0, r.ret);
    unlink_pass();
    fd = create(gfid(10));
    ASSERT_NE(nullptr, fd);
    EXPECT_EQ(ino, fd->inode->ondisk.i_no) << "only one number was ever taken";
    tav_close(fd);
}

INSTANTIATE_TEST_SUITE_P(Engines, NamespaceFaults, ::testing::Values("libaio", "kvol"),
                         [](const auto &info) { return std::string(info.param); });

} // namespace
