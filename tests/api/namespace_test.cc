// Files by name on a running instance, on both engines: open and create,
// handles, unlink, attributes, the listing, the borrow query, inode
// information, expansion, and what survives a restart.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <array>
#include <set>

#include "file_api.h"
#include "fd.h"
#include "instance.h"
#include "ioengine.h"
#include "support/bytes.h"
#include "support/fault_engine.h"
#include "bitarray.h"
#include "xattr.h"

namespace {

// A file name as a set key.
std::array<unsigned char, 16> uuid_key(const unsigned char *name) {
    std::array<unsigned char, 16> k;
    memcpy(k.data(), name, k.size());
    return k;
}

using filetest::FileApi;
using filetest::gfid;
using filetest::Gfid;
using tavtest::CbkResult;
using tavtest::common_cbk;
using tavtest::open_cbk;

// The copy of a slot a load would use: the larger generation, B on a tie.
const uint8_t *newest(const std::vector<uint8_t> &slot) {
    const uint8_t *a = slot.data(), *b = a + 4096;
    return tavtest::get64(a + 24) > tavtest::get64(b + 24) ? a : b;
}

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

TEST_P(Namespace, UnlinkLeavesOpenHandlesWorkingUntilClosed) {
    Gfid g = gfid(20);
    tav_fd *fd = create(g);
    ASSERT_NE(nullptr, fd);
    tav_inode_info *old = fd->inode;
    uint64_t ino = old->ondisk.i_no;
    struct statvfs before;
    ASSERT_EQ(0, statfs(&before).ret);

    EXPECT_EQ((uint32_t)ENOENT, unlink(gfid(21)).err) << "unknown name";
    CbkResult r = unlink(g);
    ASSERT_EQ(0, r.ret) << "a file with open handles can be unlinked";
    EXPECT_TRUE(log_contains("unlink: 0(Success)"));
    EXPECT_EQ((uint64_t)TAV_I_UNLINK, old->ondisk.i_state);
    EXPECT_EQ(1u, inst_->itable.vacant_inode_count);
    EXPECT_EQ((uint64_t)TAV_I_UNLINK, tavtest::get64(newest(raw_slot(ino)) + 56)) << "on the device";

    // The name is gone ...
    struct stat st;
    EXPECT_EQ((uint32_t)ENOENT, unlink(g).err);
    EXPECT_EQ((uint32_t)ENOENT, getattr(g, &st).err);
    EXPECT_EQ((uint32_t)ENOENT, open(g, O_RDWR).err);
    // ... the handle still works ...
    CbkResult fa;
    ASSERT_TRUE(call(&fa, [&](CbkResult *res) { return tav_fgetattr_async(fd, &st, common_cbk, res); }));
    EXPECT_EQ(0, fa.ret);
    EXPECT_EQ(ino, (uint64_t)st.st_ino);
    CbkResult fx;
    ASSERT_TRUE(call(&fx, [&](CbkResult *res) {
        return tav_fsetxattr_async(fd, "user.a", "v", 1, 0, nullptr, nullptr, common_cbk, res);
    }));
    EXPECT_EQ(0, fx.ret);
    // ... and the name can be taken by a new file meanwhile.
    tav_fd *again = create(g);
    ASSERT_NE(nullptr, again);
    EXPECT_NE(old, again->inode);
    EXPECT_NE(ino, again->inode->ondisk.i_no);
    tav_close(again);
    ASSERT_EQ(0, unlink(g).ret);

    // Nothing is released while the handle is open; closing hands the file
    // to the unlink timer, whose pass frees its number.
    unlink_pass();
    EXPECT_TRUE(bmap_is_bit_set(inst_->imap, ino));
    EXPECT_EQ(0, tav_close(fd));
    EXPECT_EQ(0u, inst_->itable.vacant_inode_count);
    unlink_pass();
    EXPECT_FALSE(bmap_is_bit_set(inst_->imap, ino));
    EXPECT_EQ((uint64_t)TAV_I_FREE, tavtest::get64(newest(raw_slot(ino)) + 56));
    struct statvfs after;
    ASSERT_EQ(0, statfs(&after).ret);
    EXPECT_EQ(before.f_ffree + 1, after.f_ffree);
    EXPECT_EQ(before.f_bfree, after.f_bfree);
}

TEST_P(Namespace, AFileBeingUnlinkedIsRefused) {
    Gfid g = gfid(22);
    make(g);
    CbkResult u, attr, op;
    struct stat st;
    ASSERT_EQ(0, tav_unlink_async(inst_, g.b, common_cbk, &u));
    ASSERT_FALSE(u.called) << "the unlink waits for its inode write";
    ASSERT_EQ(0, tav_getattr_async(inst_, g.b, &st, common_cbk, &attr));
    ASSERT_EQ(0, tav_open_async(inst_, g.b, O_RDWR | O_CREAT, 0644, open_cbk, &op));
    ASSERT_TRUE(tavtest::run_until([&] { return u.called && attr.called && op.called; }));
    EXPECT_EQ(0, u.ret);
    EXPECT_EQ((uint32_t)EACCES, attr.err);
    EXPECT_TRUE(log_contains("inode state(0) is not NORMAL"));
    EXPECT_EQ((uint32_t)ENOENT, op.err) << "the open waited for the unlink";
    EXPECT_EQ((uint32_t)ENOENT, getattr(g, &st).err);
}

TEST_P(Namespace, SetAttributesByMask) {
    Gfid g = gfid(23);
    tav_fd *fd = create(g, O_RDWR, 0640);
    ASSERT_NE(nullptr, fd);
    struct Case {
        const char *what;
        int valid;
        struct stat in;
        bool by_handle;
    };
    auto with = [](void (*fill)(struct stat *)) {
        struct stat s = {};
        fill(&s);
        return s;
    };
    const Case cases[] = {
        {"uid", TAV_SET_ATTR_UID, with([](struct stat *s) { s->st_uid = 1234; }), false},
        {"mode, made regular", TAV_SET_ATTR_MODE, with([](struct stat *s) { s->st_mode = S_IFDIR | 0700; }),
         true},
        {"gid", TAV_SET_ATTR_GID, with([](struct stat *s) { s->st_gid = 99; }), false},
        {"atime", TAV_SET_ATTR_ATIME, with([](struct stat *s) {
             s->st_atim = {100, 5};
         }),
         true},
        {"mtime", TAV_SET_ATTR_MTIME, with([](struct stat *s) {
             s->st_mtim = {200, 7};
         }),
         false},
        {"ctime given", TAV_SET_ATTR_CTIME | TAV_SET_ATTR_GID, with([](struct stat *s) {
             s->st_ctim = {300, 0}, s->st_gid = 7;
         }),
         true},
        {"unknown bits only", 0x8 | 0x80, with([](struct stat *s) { s->st_uid = 1; }), false},
        {"a time before the epoch", TAV_SET_ATTR_ATIME, with([](struct stat *s) {
             s->st_atim = {-5, 0};
         }),
         true},
    };
    for (const auto &c : cases) {
        struct stat was, pre, post, now;
        ASSERT_EQ(0, getattr(g, &was).ret);
        struct stat in = c.in;
        uint64_t t0 = tavtest::now_ns();
        CbkResult r;
        ASSERT_TRUE(call(&r, [&](CbkResult *res) {
            return c.by_handle ? tav_fsetattr_async(fd, &in, c.valid, &pre, &post, common_cbk, res)
                               : tav_setattr_async(inst_, g.b, &in, c.valid, &pre, &post, common_cbk, res);
        }));
        ASSERT_EQ(0, r.ret) << c.what;
        ASSERT_EQ(0, getattr(g, &now).ret);
        EXPECT_EQ(0, memcmp(&was, &pre, sizeof(was))) << c.what;
        EXPECT_EQ(0, memcmp(&now, &post, sizeof(now))) << c.what;
        struct stat want = was;
        if (c.valid & TAV_SET_ATTR_UID)
            want.st_uid = in.st_uid;
        if (c.valid & TAV_SET_ATTR_GID)
            want.st_gid = in.st_gid;
        if (c.valid & TAV_SET_ATTR_MODE)
            want.st_mode = S_IFREG | (in.st_mode & 07777);
        if (c.valid & TAV_SET_ATTR_ATIME)
            want.st_atim = in.st_atim.tv_sec < 0 ? timespec{0, 0} : in.st_atim;
        if (c.valid & TAV_SET_ATTR_MTIME)
            want.st_mtim = in.st_mtim;
        EXPECT_EQ(want.st_uid, now.st_uid) << c.what;
        EXPECT_EQ(want.st_gid, now.st_gid) << c.what;
        EXPECT_EQ(want.st_mode, now.st_mode) << c.what;
        EXPECT_EQ(want.st_atim.tv_sec, now.st_atim.tv_sec) << c.what;
        EXPECT_EQ(want.st_atim.tv_nsec, now.st_atim.tv_nsec) << c.what;
        EXPECT_EQ(want.st_mtim.tv_sec, now.st_mtim.tv_sec) << c.what;
        EXPECT_EQ(want.st_mtim.tv_nsec, now.st_mtim.tv_nsec) << c.what;
        uint64_t ctime = static_cast<uint64_t>(now.st_ctim.tv_sec) * 1000000000ull +
                         static_cast<uint64_t>(now.st_ctim.tv_nsec);
        if (c.valid & TAV_SET_ATTR_CTIME) {
            EXPECT_EQ(300000000000ull, ctime) << c.what;
        } else {
            EXPECT_GE(ctime, t0) << c.what << ": ctime becomes now";
        }
    }
    struct stat last;
    ASSERT_EQ(0, getattr(g, &last).ret);
    tav_close(fd);
    restart();
    struct stat back;
    ASSERT_EQ(0, getattr(g, &back).ret);
    EXPECT_EQ(0, memcmp(&last, &back, sizeof(last))) << "the attributes reach the device";
}

TEST_P(Namespace, GetAttributesRepairsTheBlockDeviceKind) {
    Gfid g = gfid(24);
    make(g);
    // A dictionary set carries the key without the repair a single set does.
    xdict *d = xdict_new();
    xdict_set(d, TAV_XATTR_BD_KEY, "1", 1);
    CbkResult r;
    ASSERT_TRUE(call(&r, [&](CbkResult *res) {
        return tav_setxattr_with_dict_async(inst_, g.b, d, 0, nullptr, nullptr, common_cbk, res);
    }));
    xdict_destroy(d);
    ASSERT_EQ(0, r.ret);
    EXPECT_FALSE(inode(g)->ondisk.i_type & TAV_FILE_TYPE_BD);
    struct stat st;
    ASSERT_EQ(0, getattr(g, &st).ret);
    EXPECT_TRUE(inode(g)->ondisk.i_type & TAV_FILE_TYPE_BD);
    EXPECT_TRUE(log_contains("fix inode bd type"));
    restart();
    EXPECT_TRUE(inode(g)->ondisk.i_type & TAV_FILE_TYPE_BD) << "the repair was written";
}

TEST_P(Namespace, CompressionStateQuery) {
    Gfid g = gfid(25);
    make(g, O_RDWR | TAV_FLAG_COMPRESSED);
    tav_statex sx = {};
    CbkResult r;
    ASSERT_TRUE(call(&r, [&](CbkResult *res) { return tav_statex_async(inst_, g.b, &sx, common_cbk, res); }));
    ASSERT_EQ(0, r.ret);
    EXPECT_EQ(0u, sx.slices);
    EXPECT_EQ(131072u, sx.slice_size);
    EXPECT_EQ((uint32_t)(TAV_FILE_TYPE_INLINE | TAV_FILE_TYPE_COMPRESSIBLE), sx.type);
    EXPECT_EQ((uint32_t)TAV_STATEX_COMPRESSED, sx.statex);
    tav_statex sync = {};
    int ret = -1;
    in_coroutine([&] { ret = tav_statex_get(inst_, g.b, &sync); });
    EXPECT_EQ(0, ret);
    EXPECT_EQ(0, memcmp(&sx, &sync, sizeof(sx)));
    CbkResult missing;
    ASSERT_TRUE(call(
        &missing, [&](CbkResult *res) { return tav_statex_async(inst_, gfid(26).b, &sx, common_cbk, res); }));
    EXPECT_EQ((uint32_t)ENOENT, missing.err);
}

struct Listing {
    std::set<std::array<unsigned char, 16>> names;
    int calls = 0;
    int result = 0;                                  // what the filter returns
    std::function<int(tav *, unsigned char *)> also; // extra work inside the filter
};

int list_filter(tav *inst, unsigned char *name, void *data) {
    Listing *l = static_cast<Listing *>(data);
    l->calls++;
    l->names.insert(uuid_key(name));
    int r = l->also ? l->also(inst, name) : 0;
    return r < 0 ? r : l->result;
}

void listing_cbk(int64_t op_ret, uint32_t op_errno, void *data) {
    Listing *l = static_cast<Listing *>(data);
    l->result = op_ret < 0 ? -static_cast<int>(op_errno) : 0;
    l->calls = -l->calls - 1; // marks the callback; -1 - calls
}

TEST_P(Namespace, ListingWithFilterAndFlags) {
    auto list = [&](int flag, Listing *l) {
        ASSERT_EQ(0, tav_list_file(inst_, list_filter, listing_cbk, flag, l));
        ASSERT_TRUE(tavtest::run_until([&] { return l->calls < 0; }));
        l->calls = -l->calls - 1;
    };
    Listing empty;
    list(TAV_LIST_ALL_FILE, &empty);
    EXPECT_EQ(0, empty.calls);
    EXPECT_EQ(0, empty.result);

    std::set<std::array<unsigned char, 16>> all, closed;
    std::vector<tav_fd *> open_fds;
    for (uint32_t i = 0; i < 5; i++) {
        Gfid g = gfid(30 + i);
        all.insert(uuid_key(g.b));
        tav_fd *fd = create(g);
        if (i < 2) {
            open_fds.push_back(fd);
        } else {
            closed.insert(uuid_key(g.b));
            tav_close(fd);
        }
    }
    struct Case {
        const char *what;
        int flag;
        int filter_result;
        std::set<std::array<unsigned char, 16>> *want; // null: only the count
        int calls;
        int result;
    } cases[] = {
        {"all files", TAV_LIST_ALL_FILE, 0, &all, 5, 0},
        {"files without handles", TAV_LIST_UNOPEN, 0, &closed, 3, 0},
        {"a failing filter stops the walk", TAV_LIST_ALL_FILE, -EIO, nullptr, 1, -EIO},
    };
    for (const auto &c : cases) {
        Listing l;
        l.result = c.filter_result;
        list(c.flag, &l);
        EXPECT_EQ(c.calls, l.calls) << c.what;
        EXPECT_EQ(c.result, l.result) << c.what;
        if (c.want) {
            EXPECT_EQ(*c.want, l.names) << c.what;
        }
    }
    EXPECT_TRUE(log_contains("listfile: -1(Input/output error)"));

    // The filter runs in the request's coroutine: the synchronous helpers
    // work there, and what it does to its name does not rename the file.
    Listing l;
    std::set<uint64_t> inos;
    l.also = [&](tav *inst, unsigned char *name) {
        struct stat st;
        int r = tav_getattr(inst, name, &st);
        inos.insert(st.st_ino);
        memset(name, 0xee, 16);
        return r;
    };
    list(TAV_LIST_ALL_FILE, &l);
    EXPECT_EQ(0, l.result);
    EXPECT_EQ(5u, inos.size());
    for (const auto &n : all) {
        Gfid g;
        memcpy(g.b, n.data(), 16);
        EXPECT_NE(nullptr, inode(g)) << "names unchanged";
    }
    for (tav_fd *fd : open_fds)
        tav_close(fd);
    EXPECT_EQ(-EINVAL, tav_list_file(inst_, nullptr, listing_cbk, 0, &l)) << "no filter";
}

TEST_P(Namespace, ListingSurvivesFilesUnlinkedWhileTheFilterWaits) {
    // Names that share a hash bucket, so that the walk's next inode is one
    // the filter removes; and a few elsewhere.
    std::vector<Gfid> names;
    uint32_t bucket = tav_gfid_hash(gfid(1000).b) % INODE_HASHTABLE_LEN;
    for (uint32_t n = 1000; names.size() < 4; n++)
        if (tav_gfid_hash(gfid(n).b) % INODE_HASHTABLE_LEN == bucket)
            names.push_back(gfid(n));
    for (uint32_t n = 40; n < 43; n++)
        names.push_back(gfid(n));
    for (const Gfid &g : names)
        make(g);
    // The first call unlinks every other file and waits for those unlinks
    // (a helper reading an inode whose write is in flight yields); the walk
    // must then skip what is gone.
    std::vector<CbkResult> unlinks(names.size());
    Listing l;
    l.also = [&](tav *inst, unsigned char *name) {
        if (l.calls != 1)
            return 0;
        for (size_t i = 0; i < names.size(); i++)
            if (memcmp(names[i].b, name, 16) != 0) {
                EXPECT_EQ(0, tav_unlink_async(inst, names[i].b, common_cbk, &unlinks[i]));
            }
        for (size_t i = 0; i < names.size(); i++) {
            struct stat st;
            if (memcmp(names[i].b, name, 16) != 0)
                tav_getattr(inst, names[i].b, &st);
        }
        return 0;
    };
    ASSERT_EQ(0, tav_list_file(inst_, list_filter, listing_cbk, TAV_LIST_ALL_FILE, &l));
    ASSERT_TRUE(tavtest::run_until([&] { return l.calls < 0; }));
    l.calls = -l.calls - 1;
    EXPECT_EQ(0, l.result);
    EXPECT_EQ(1, l.calls) << "files unlinked before their turn are not listed";
    EXPECT_EQ(1u, inst_->itable.inode_count);
}

TEST_P(Namespace, BorrowQueryOfOrdinaryAndUnknownFiles) {
    Gfid g = gfid(50);
    make(g);
    const struct {
        Gfid name;
        int64_t ret;
        uint32_t err;
    } cases[] = {{g, -1, 0}, {gfid(51), -1, ENOENT}};
    for (const auto &c : cases) {
        CbkResult r;
        ASSERT_TRUE(
            call(&r, [&](CbkResult *res) { return tav_file_is_borrow(inst_, c.name.b, common_cbk, res); }));
        EXPECT_EQ(c.ret, r.ret);
        EXPECT_EQ(c.err, r.err);
    }
}

TEST_P(Namespace, InodeInformationByKey) {
    Gfid g = gfid(52);
    make(g, O_RDWR | TAV_FLAG_BD);
    struct stat in = {};
    in.st_uid = 4321;
    ASSERT_EQ(0, setattr(g, &in, TAV_SET_ATTR_UID).ret);
    const tav_disk_inode &d = inode(g)->ondisk;
    struct Case {
        const char *key;
        size_t size;
        Gfid name;
        uint32_t err;
        uint64_t want;
    } cases[] = {
        {"i_uid", 8, g, 0, 4321},
        {"i_type", 8, g, 0, d.i_type},
        {"i_state", 8, g, 0, TAV_I_NORMAL},
        {"i_size", 8, g, 0, 0},
        {"i_no", 16, g, 0, d.i_no},
        {"i_mode", 8, g, 0, d.i_mode},
        {"i_gid", 8, g, 0, 0},
        {"i_blocks", 8, g, 0, 0},
        {"i_flags", 8, g, 0, d.i_flags},
        {"lba_start", 8, g, 0, 0},
        {"lba_len", 8, g, 0, 0},
        {"i_size", 4, g, EINVAL, 0},
        {"i_nope", 8, g, ENODATA, 0},
        {"i_size", 8, gfid(53), ENOENT, 0},
    };
    for (const auto &c : cases) {
        uint8_t buf[16];
        memset(buf, 0xab, sizeof(buf));
        CbkResult r;
        ASSERT_TRUE(call(&r, [&](CbkResult *res) {
            return tav_get_inode_info(inst_, c.name.b, c.key, buf, c.size, common_cbk, res);
        }));
        EXPECT_EQ(c.err ? -1 : 0, r.ret) << c.key;
        EXPECT_EQ(c.err, r.err) << c.key;
        if (!c.err) {
            EXPECT_EQ(c.want, tavtest::get64(buf)) << c.key;
            EXPECT_EQ(0xab, buf[8]) << c.key << ": 8 bytes copied";
        }
    }
    EXPECT_TRUE(log_contains("buffer(4) is smaller than needed(8)"));
}

TEST_P(Namespace, ManyFilesCreatedListedAndUnlinkedWithRequestsInFlight) {
    constexpr uint32_t kFiles = 64;
    struct statvfs fresh;
    ASSERT_EQ(0, statfs(&fresh).ret);
    std::vector<CbkResult> made(kFiles);
    for (uint32_t i = 0; i < kFiles; i++)
        ASSERT_EQ(0, tav_create_async(inst_, gfid(100 + i).b, O_RDWR, 0600, open_cbk, &made[i]));
    ASSERT_TRUE(tavtest::run_until([&] {
        for (auto &m : made)
            if (!m.called)
                return false;
        return true;
    }));
    std::set<uint64_t> inos;
    for (auto &m : made) {
        ASSERT_EQ(0, m.ret);
        inos.insert(m.fd->inode->ondisk.i_no);
        tav_close(m.fd);
    }
    EXPECT_EQ(kFiles, inos.size()) << "every file has its own number";

    // A listing, a getattr and an unlink of every file, all at once.
    Listing l;
    std::vector<CbkResult> attrs(kFiles), gone(kFiles);
    std::vector<struct stat> st(kFiles);
    ASSERT_EQ(0, tav_list_file(inst_, list_filter, listing_cbk, TAV_LIST_ALL_FILE, &l));
    for (uint32_t i = 0; i < kFiles; i++) {
        ASSERT_EQ(0, tav_getattr_async(inst_, gfid(100 + i).b, &st[i], common_cbk, &attrs[i]));
        ASSERT_EQ(0, tav_unlink_async(inst_, gfid(100 + i).b, common_cbk, &gone[i]));
    }
    ASSERT_TRUE(tavtest::run_until([&] {
        for (uint32_t i = 0; i < kFiles; i++)
            if (!attrs[i].called || !gone[i].called)
                return false;
        return l.calls < 0;
    }));
    for (uint32_t i = 0; i < kFiles; i++) {
        EXPECT_EQ(0, gone[i].ret) << i;
        if (attrs[i].ret == 0) {
            EXPECT_TRUE(inos.count(st[i].st_ino)) << i;
        } else {
            EXPECT_EQ((uint32_t)EACCES, attrs[i].err) << "only an unlink in progress refuses: " << i;
        }
    }
    EXPECT_EQ(0u, inst_->itable.inode_count);
    EXPECT_TRUE(tav_running_io_empty(inst_));
    unlink_pass();
    restart();
    struct statvfs end;
    ASSERT_EQ(0, statfs(&end).ret);
    EXPECT_EQ(fresh.f_ffree, end.f_ffree);
    EXPECT_EQ(fresh.f_bfree, end.f_bfree);
    EXPECT_EQ(0u, inst_->itable.inode_count);
    for (uint64_t ino : inos)
        EXPECT_FALSE(bmap_is_bit_set(inst_->imap, ino)) << ino;
}

TEST_P(Namespace, ADamagedFileIsRefusedUntilCreatedAgain) {
    Gfid g = gfid(60);
    make(g);
    uint64_t ino = inode(g)->ondisk.i_no;
    fini(inst_);
    inst_ = nullptr;
    // Copy B (the formatted default page) loses its checksum: one good copy
    // is left, and the file comes up damaged.
    {
        int fd = ::open(dev_.c_str(), O_RDWR);
        ASSERT_GE(fd, 0);
        uint8_t byte = 0x55;
        ASSERT_EQ(1, pwrite(fd, &byte, 1, (off_t)(raw_base_ + 1048576 + ino * 8192 + 4096 + 600)));
        ::close(fd);
    }
    start();
    ASSERT_NE(nullptr, inode(g));
    ASSERT_EQ((uint64_t)TAV_I_ERROR, inode(g)->ondisk.i_state);
    EXPECT_EQ(1u, inst_->itable.error_inode_count);

    struct stat st;
    uint8_t buf[8];
    const struct {
        const char *what;
        std::function<int(CbkResult *)> call;
        uint32_t err;
    } cases[] = {
        {"open", [&](CbkResult *r) { return tav_open_async(inst_, g.b, O_RDWR, 0, open_cbk, r); }, ENOENT},
        {"getattr", [&](CbkResult *r) { return tav_getattr_async(inst_, g.b, &st, common_cbk, r); }, EIO},
        {"setxattr",
         [&](CbkResult *r) {
             return tav_setxattr_async(inst_, g.b, "user.k", "v", 1, 0, nullptr, nullptr, common_cbk, r);
         },
         EIO},
        {"unlink", [&](CbkResult *r) { return tav_unlink_async(inst_, g.b, common_cbk, r); }, EIO},
        {"borrow query", [&](CbkResult *r) { return tav_file_is_borrow(inst_, g.b, common_cbk, r); }, EIO},
        {"inode information",
         [&](CbkResult *r) { return tav_get_inode_info(inst_, g.b, "i_no", buf, 8, common_cbk, r); }, EIO},
    };
    for (const auto &c : cases) {
        CbkResult r;
        ASSERT_TRUE(call(&r, c.call)) << c.what;
        EXPECT_EQ(-1, r.ret) << c.what;
        EXPECT_EQ(c.err, r.err) << c.what;
    }
    Listing l;
    ASSERT_EQ(0, tav_list_file(inst_, list_filter, listing_cbk, TAV_LIST_ALL_FILE, &l));
    ASSERT_TRUE(tavtest::run_until([&] { return l.calls < 0; }));
    EXPECT_EQ(-1, l.calls) << "the damaged file is not listed";

    // Creating the name again replaces the damaged file.
    tav_fd *fd = create(g);
    ASSERT_NE(nullptr, fd);
    EXPECT_EQ((uint64_t)TAV_I_NORMAL, fd->inode->ondisk.i_state);
    EXPECT_EQ(0u, inst_->itable.error_inode_count);
    tav_close(fd);
    restart();
    EXPECT_EQ((uint64_t)TAV_I_NORMAL, inode(g)->ondisk.i_state);
    EXPECT_EQ(0u, inst_->itable.error_inode_count);
    EXPECT_EQ(1u, inst_->itable.inode_count);
}

TEST_P(Namespace, PreMappedCreateArgumentsAreCheckedBeforeLaunch) {
    const uint64_t MiB = 1048576, first = inst_->sb.tav_disk_sb.s_first_data_block;
    const off_t ok_off = static_cast<off_t>((first + 1) * MiB);
    const struct {
        const char *what;
        off_t phyoff;
        size_t phylen, realsize;
        bool cbk;
    } cases[] = {
        {"offset not a multiple of 1 MiB", ok_off + 4096, MiB, MiB, true},
        {"length not a multiple of 1 MiB", ok_off, MiB + 512, MiB, true},
        {"no length", ok_off, 0, MiB, true},
        {"no size", ok_off, MiB, 0, true},
        {"no callback", ok_off, MiB, MiB, false},
        {"negative offset", -static_cast<off_t>(MiB), MiB, MiB, true},
        {"below the data area", static_cast<off_t>((first - 1) * MiB), MiB, MiB, true},
        {"longer than a file can be", ok_off, TAV_MAX_FILE_SIZE + MiB, MiB, true},
        {"larger than a file can be", ok_off, MiB, TAV_MAX_FILE_SIZE + 1, true},
    };
    for (const auto &c : cases) {
        CbkResult r;
        EXPECT_EQ(-EINVAL, tav_create_ex(inst_, gfid(70).b, c.phyoff, c.phylen, c.realsize, O_RDWR, 0644, 0,
                                         c.cbk ? open_cbk : nullptr, &r))
            << c.what;
        EXPECT_FALSE(r.called) << c.what;
    }
    EXPECT_EQ(nullptr, inode(gfid(70)));
    EXPECT_EQ(-EINVAL, tav_create_ex(inst_, Gfid{}.b, ok_off, MiB, MiB, O_RDWR, 0644, 0, open_cbk, nullptr));
}

TEST_P(Namespace, PreMappedCreateLaysTheFileOverItsRange) {
    const uint64_t MiB = 1048576;
    const uint64_t pblock = first_granule(), count = 16, size = count * MiB - 5;
    struct statvfs fresh;
    ASSERT_EQ(0, statfs(&fresh).ret);
    Gfid g = gfid(71);
    CbkResult r = create_ex(g, pblock, count, size, TAV_FILE_TYPE_BORROW);
    ASSERT_EQ(0, r.ret) << r.err;
    ASSERT_NE(nullptr, r.fd);
    EXPECT_TRUE(log_contains("file create_ex: 0(Success) ino:"));
    const tav_disk_inode &d = r.fd->inode->ondisk;
    EXPECT_EQ((uint64_t)(TAV_FILE_TYPE_LEGACY | TAV_FILE_TYPE_BD | TAV_FILE_TYPE_BORROW), d.i_type);
    EXPECT_EQ(pblock, d.i_legacy.lba_start);
    EXPECT_EQ(count, d.i_legacy.lba_len);
    EXPECT_EQ(size, d.i_size);
    EXPECT_EQ(count, d.i_blocks);
    ASSERT_NE(0u, d.i_extents[0]);
    EXPECT_EQ(nullptr, r.fd->inode->inline_buffer);
    uint64_t extent = d.i_extents[0];
    tav_close(r.fd);

    // The block maps on the device: block i maps pblock + i, every unit written.
    {
        int fd = ::open(dev_.c_str(), O_RDONLY);
        std::vector<uint8_t> page(8192);
        ASSERT_EQ(8192, pread(fd, page.data(), page.size(), (off_t)(raw_base_ + extent * MiB)));
        ::close(fd);
        for (uint64_t i = 0; i < count + 1; i++) {
            const uint8_t *e = page.data() + i * 64;
            EXPECT_EQ(0, memcmp(e, "_blkmap_", 8)) << i;
            EXPECT_EQ((uint32_t)tavtest::xxh64_1011(e + 12, 52), tavtest::get32(e + 8)) << i;
            if (i == count) {
                EXPECT_EQ((uint32_t)TAV_BLKMAP_STATE_INIT, tavtest::get32(e + 12)) << "past the range";
                continue;
            }
            EXPECT_EQ((uint32_t)TAV_BLKMAP_STATE_MAPPED, tavtest::get32(e + 12)) << i;
            EXPECT_EQ(pblock + i, tavtest::get64(e + 16)) << i;
            EXPECT_EQ(std::vector<uint8_t>(32, 0xff), std::vector<uint8_t>(e + 32, e + 64)) << i;
        }
    }
    struct statvfs used;
    ASSERT_EQ(0, statfs(&used).ret);
    EXPECT_EQ(fresh.f_bfree - count - 1, used.f_bfree) << "the range and one extent block";

    CbkResult borrow;
    ASSERT_TRUE(
        call(&borrow, [&](CbkResult *res) { return tav_file_is_borrow(inst_, g.b, common_cbk, res); }));
    EXPECT_EQ(0, borrow.ret);
    EXPECT_EQ(0u, borrow.err);

    // A range already in use: the file is made, the layout fails, the
    // caller gets the handle to close.
    CbkResult clash = create_ex(gfid(72), pblock + 1, count, size);
    EXPECT_EQ(-1, clash.ret);
    EXPECT_EQ((uint32_t)EFAULT, clash.err);
    EXPECT_TRUE(log_contains("alloc blocks manual failed pblock:"));
    ASSERT_NE(nullptr, clash.fd);
    tav_close(clash.fd);
    EXPECT_EQ((uint32_t)EEXIST, create_ex(g, pblock + 10, count, size).err);

    restart();
    struct stat st;
    ASSERT_EQ(0, getattr(g, &st).ret);
    EXPECT_EQ((off_t)size, st.st_size);
    EXPECT_EQ((blkcnt_t)(count * 2048), st.st_blocks);
    EXPECT_EQ(pblock, inode(g)->ondisk.i_legacy.lba_start);

    // Unlinking both files and the unlink timer's pass give every block back.
    EXPECT_EQ(0, unlink(g).ret);
    EXPECT_EQ(0, unlink(gfid(72)).ret);
    EXPECT_EQ(count + 1, unlink_pass());
    struct statvfs end;
    ASSERT_EQ(0, statfs(&end).ret);
    EXPECT_EQ(fresh.f_bfree, end.f_bfree);
    EXPECT_EQ(fresh.f_ffree, end.f_ffree);
}

TEST_P(Namespace, EverythingSurvivesRestartsAndUnlinkingGivesEveryBlockBack) {
    const uint64_t MiB = 1048576;
    // Not kept across restarts: each start has its own superblock record.
    auto data_blocks = [&] {
        return inst_->sb.tav_disk_sb.s_blocks_count - inst_->sb.tav_disk_sb.s_first_data_block;
    };
    Gfid a = gfid(90), b = gfid(91), c = gfid(92), d = gfid(93), e = gfid(94);
    make(a, O_RDWR | TAV_FLAG_BD);
    make(b, O_RDWR | TAV_FLAG_UNCOMPRESSIBLE);
    struct stat in = {};
    in.st_uid = 7;
    ASSERT_EQ(0, setattr(b, &in, TAV_SET_ATTR_UID).ret);
    CbkResult r = create_ex(c, first_granule(), 16, 16 * MiB);
    ASSERT_EQ(0, r.ret);
    tav_close(r.fd);
    make(d);
    for (int flag : {0, TAV_XATTR_SYNC_DELAYED}) {
        std::string key = "user.k" + std::to_string(flag);
        ASSERT_TRUE(call(&r, [&](CbkResult *res) {
            return tav_setxattr_async(inst_, d.b, key.c_str(), "v", 1, flag, nullptr, nullptr, common_cbk,
                                      res);
        }));
        ASSERT_EQ(0, r.ret);
    }
    make(e);
    ASSERT_EQ(0, unlink(e).ret);
    restart();
    struct stat st;
    ASSERT_EQ(0, getattr(a, &st).ret);
    EXPECT_TRUE(inode(a)->ondisk.i_type & TAV_FILE_TYPE_BD);
    ASSERT_EQ(0, getattr(b, &st).ret);
    EXPECT_EQ(7u, st.st_uid);
    ASSERT_EQ(0, getattr(c, &st).ret);
    EXPECT_EQ(16 * 2048, st.st_blocks);
    ssize_t got[2] = {-1, -1};
    in_coroutine([&] {
        got[0] = tav_getxattr(inst_, d.b, "user.k0", nullptr, 0);
        got[1] = tav_getxattr(inst_, d.b, "user.k3", nullptr, 0);
    });
    EXPECT_EQ(1, got[0]);
    EXPECT_EQ(1, got[1]) << "the delayed set was written at the stop";
    EXPECT_EQ((uint32_t)ENOENT, getattr(e, &st).err);
    EXPECT_EQ(4u, inst_->itable.inode_count);

    for (const Gfid &g : {a, b, c, d})
        ASSERT_EQ(0, unlink(g).ret);
    // The unlink timer's own pass, within a few of its 1-second ticks.
    ASSERT_TRUE(tavtest::run_until([&] { return list_empty(&inst_->itable.unlink_list); }, 10));
    struct statvfs end;
    ASSERT_EQ(0, statfs(&end).ret);
    EXPECT_EQ(data_blocks(), end.f_bfree) << "every block is free";
    EXPECT_EQ(end.f_files, end.f_ffree);
    restart();
    ASSERT_EQ(0, statfs(&end).ret);
    EXPECT_EQ(data_blocks(), end.f_bfree);
    EXPECT_EQ(end.f_files, end.f_ffree);
    EXPECT_EQ(0u, inst_->itable.inode_count);
}

INSTANTIATE_TEST_SUITE_P(Engines, Namespace, ::testing::Values("libaio", "kvol"),
                         [](const auto &info) { return std::string(info.param); });

// Expansion over a device that has grown: the file is made larger, the
// volume was formatted over part of its space.
class Expand : public FileApi {
protected:
    void SetUp() override {
        volume_blocks_ = 1024;
        FileApi::SetUp();
        if (std::string(GetParam()) == "libaio") {
            ASSERT_EQ(0, truncate(dev_.c_str(), 300 << 20));
        }
    }
    CbkResult expand(uint64_t length) {
        CbkResult r;
        call(&r, [&](CbkResult *res) { return tav_expand_async(inst_, length, common_cbk, res); });
        return r;
    }
};

TEST_P(Expand, UpToTheDeviceAndNeverDown) {
    const uint64_t MiB = 1048576;
    tav_sb_ondisk &sb = inst_->sb.tav_disk_sb;
    const uint64_t blocks = sb.s_blocks_count;
    ioengine_statdev dev;
    ASSERT_EQ(0, ioengine_statdev_get(ioengine_get_default(), &dev));
    const uint64_t device_blocks = dev.phy_length / MiB;
    ASSERT_GT(device_blocks, blocks + 1);
    struct statvfs before;
    ASSERT_EQ(0, statfs(&before).ret);
    uint64_t generation = sb.s_header.generation;

    const struct {
        const char *what;
        uint64_t length;
        uint32_t err;
        uint64_t blocks;
        const char *log;
    } cases[] = {
        {"to the current size", blocks * MiB, 0, blocks, "is equal to original blocks"},
        {"down", (blocks - 1) * MiB, EINVAL, blocks, "is smaller than original blocks"},
        {"past the device", (device_blocks + 1) * MiB, EINVAL, blocks, "is larger than physical disk size"},
        {"up, to whole blocks", (blocks + 1) * MiB + 4095, 0, blocks + 1, "expand: 0(Success)"},
        {"to the device (length 0)", 0, 0, device_blocks, "target size set to"},
    };
    for (const auto &c : cases) {
        CbkResult r = expand(c.length);
        EXPECT_EQ(c.err ? -1 : 0, r.ret) << c.what;
        EXPECT_EQ(c.err, r.err) << c.what;
        EXPECT_EQ(c.blocks, sb.s_blocks_count) << c.what;
        EXPECT_TRUE(log_contains(c.log)) << c.what;
        if (c.blocks == blocks) {
            EXPECT_EQ(generation, sb.s_header.generation) << c.what << ": nothing written";
        }
    }
    struct statvfs after;
    ASSERT_EQ(0, statfs(&after).ret);
    EXPECT_EQ(before.f_bfree + (device_blocks - blocks), after.f_bfree);
    restart();
    EXPECT_EQ(device_blocks, inst_->sb.tav_disk_sb.s_blocks_count);
    // The new blocks can be handed out.
    CbkResult r = create_ex(gfid(80), (device_blocks - 16) / 16 * 16, 16, MiB);
    EXPECT_EQ(0, r.ret) << r.err;
    if (r.fd) {
        tav_close(r.fd);
    }
}

TEST_P(Expand, NeverPastWhatTheZoneMapDescribes) {
    // The zone map of this format describes far more blocks than a test
    // device holds; one that describes only 4080 blocks cannot take more.
    if (std::string(GetParam()) == "kvol")
        GTEST_SKIP() << "needs a device of more than 4080 MiB; the test volume has 2048";
    const uint64_t MiB = 1048576;
    ASSERT_EQ(0, truncate(dev_.c_str(), 5ll << 30));
    uint32_t pages = inst_->zmap.page_count;
    inst_->zmap.page_count = 1;
    CbkResult past = expand(4081 * MiB), all = expand(4080 * MiB);
    inst_->zmap.page_count = pages;
    EXPECT_EQ((uint32_t)EINVAL, past.err);
    EXPECT_TRUE(log_contains("target blocks(4081) is more than the zone map describes(4080)"));
    EXPECT_EQ(0, all.ret) << "as much as it describes";
}

INSTANTIATE_TEST_SUITE_P(Engines, Expand, ::testing::Values("libaio", "kvol"),
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
