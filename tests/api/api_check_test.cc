// The asynchronous API's argument checks: every entry point refuses bad
// arguments with -EINVAL (and no callback), ranges beyond 256 GiB with -EFBIG;
// accepted requests call back exactly once.  Also stub ids, size classes and
// the stub cache bound.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fiemap.h>

#include <functional>
#include <string>

#include "fd.h"
#include "instance.h"
#include "stub.h"
#include "support/instance.h"

namespace {

using tavtest::CbkResult;
using tavtest::common_cbk;
using tavtest::open_cbk;

constexpr uint64_t kMax = TAV_MAX_FILE_SIZE;

class ApiCheck : public tavtest::InstanceTest {
protected:
    void SetUp() override {
        InstanceTest::SetUp();
        CbkResult r;
        ASSERT_EQ(0, init(dev_, O_RDWR, &r));
        inst_ = r.instance;
        ASSERT_NE(nullptr, inst_);
        // A handle on a file made as creation makes it (number, table,
        // fresh write), so that accepted data requests run for real.
        ASSERT_TRUE(tavtest::run_coroutine([&] {
            uint64_t ino;
            ASSERT_EQ(0, tav_super_get_ino(inst_, &ino));
            tav_inode_info *inode = tav_inode_create(&inst_->itable, name_, nullptr, nullptr);
            ASSERT_NE(nullptr, inode);
            tav_inode_bind(inode, ino);
            inode->ondisk.i_mode = 0100644;
            ASSERT_EQ(inode, tav_inode_link_ex(&inst_->itable, inode));
            ASSERT_EQ(0, tav_inode_fresh_write(inode));
            fdp_ = tav_fd_create(inode, O_RDWR);
            tav_inode_unref(inode, "test");
        }));
        ASSERT_NE(nullptr, fdp_);
    }
    void TearDown() override {
        CbkResult r;
        EXPECT_EQ(0, tav_fsync_async(fdp_, 0, common_cbk, &r));
        EXPECT_TRUE(wait(&r));
        EXPECT_EQ(0, tav_close(fdp_));
        fini(inst_);
        InstanceTest::TearDown();
    }
    tav *inst_ = nullptr;
    tav_fd *fdp_ = nullptr;

    unsigned char name_[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    unsigned char null_[16] = {};
};

struct Case {
    const char *what;
    int expect;
    std::function<int(CbkResult *)> call;
};

TEST_F(ApiCheck, RejectionsReturnWithoutCallback) {
    struct stat st;
    struct statvfs sv;
    tav_statex sx;
    char buf[64];
    struct fiemap fm = {};
    struct iovec iov = {buf, sizeof(buf)};
    struct iovec zero = {buf, 0};
    tav_fd nofd_inode = *fdp_;
    nofd_inode.inode = nullptr;
    tav *I = inst_;
    const unsigned char *N = name_, *Z = null_;
    tav_fd *F = fdp_;
    xdict *D = reinterpret_cast<xdict *>(buf);
    const Case cases[] = {
        {"statfs null stat", -EINVAL,
         [&](CbkResult *r) { return tav_statfs_async(I, nullptr, common_cbk, r); }},
        {"statfs null cbk", -EINVAL, [&](CbkResult *r) { return tav_statfs_async(I, &sv, nullptr, r); }},
        {"statfs null tav", -EINVAL,
         [&](CbkResult *r) { return tav_statfs_async(nullptr, &sv, common_cbk, r); }},
        {"open null uuid", -EINVAL,
         [&](CbkResult *r) { return tav_open_async(I, Z, O_RDWR, 0644, open_cbk, r); }},
        {"open null name", -EINVAL,
         [&](CbkResult *r) { return tav_open_async(I, nullptr, O_RDWR, 0644, open_cbk, r); }},
        {"create null uuid", -EINVAL,
         [&](CbkResult *r) { return tav_create_async(I, Z, O_RDWR, 0644, open_cbk, r); }},
        {"open dict null cbk", -EINVAL,
         [&](CbkResult *r) { return tav_open_with_dict_async(I, N, 0, 0, D, nullptr, r); }},
        {"create_ex unaligned phyoff", -EINVAL,
         [&](CbkResult *r) { return tav_create_ex(I, N, 4096, 1 << 20, 1, 0, 0644, 0, open_cbk, r); }},
        {"create_ex phylen 0", -EINVAL,
         [&](CbkResult *r) { return tav_create_ex(I, N, 1 << 20, 0, 1, 0, 0644, 0, open_cbk, r); }},
        {"create_ex realsize 0", -EINVAL,
         [&](CbkResult *r) { return tav_create_ex(I, N, 1 << 20, 1 << 20, 0, 0, 0644, 0, open_cbk, r); }},
        {"unlink null uuid", -EINVAL, [&](CbkResult *r) { return tav_unlink_async(I, Z, common_cbk, r); }},
        {"getattr null uuid", -EINVAL,
         [&](CbkResult *r) { return tav_getattr_async(I, Z, &st, common_cbk, r); }},
        {"getattr null stat", -EINVAL,
         [&](CbkResult *r) { return tav_getattr_async(I, N, nullptr, common_cbk, r); }},
        {"fgetattr null fd", -EINVAL,
         [&](CbkResult *r) { return tav_fgetattr_async(nullptr, &st, common_cbk, r); }},
        {"setattr valid 0", -EINVAL,
         [&](CbkResult *r) { return tav_setattr_async(I, N, &st, 0, nullptr, nullptr, common_cbk, r); }},
        {"fsetattr valid 0", -EINVAL,
         [&](CbkResult *r) { return tav_fsetattr_async(F, &st, 0, nullptr, nullptr, common_cbk, r); }},
        {"getxattr empty key", -EINVAL,
         [&](CbkResult *r) { return tav_getxattr_async(I, N, "", buf, 4, common_cbk, r); }},
        {"getxattr value w/o size", -EINVAL,
         [&](CbkResult *r) { return tav_getxattr_async(I, N, "user.a", buf, 0, common_cbk, r); }},
        {"fgetxattr size w/o value", -EINVAL,
         [&](CbkResult *r) { return tav_fgetxattr_async(F, "user.a", nullptr, 4, common_cbk, r); }},
        {"setxattr no value", -EINVAL,
         [&](CbkResult *r) {
             return tav_setxattr_async(I, N, "user.a", nullptr, 0, 0, nullptr, nullptr, common_cbk, r);
         }},
        {"fsetxattr null key", -EINVAL,
         [&](CbkResult *r) {
             return tav_fsetxattr_async(F, nullptr, buf, 1, 0, nullptr, nullptr, common_cbk, r);
         }},
        {"setxattr dict null", -EINVAL,
         [&](CbkResult *r) {
             return tav_setxattr_with_dict_async(I, N, nullptr, 0, nullptr, nullptr, common_cbk, r);
         }},
        {"fsetxattr dict null", -EINVAL,
         [&](CbkResult *r) {
             return tav_fsetxattr_with_dict_async(F, nullptr, 0, nullptr, nullptr, common_cbk, r);
         }},
        {"getxattr dict null uuid", -EINVAL,
         [&](CbkResult *r) { return tav_getxattr_with_dict_async(I, Z, D, common_cbk, r); }},
        {"fgetxattr dict null", -EINVAL,
         [&](CbkResult *r) { return tav_fgetxattr_with_dict_async(F, nullptr, common_cbk, r); }},
        {"removexattr empty key", -EINVAL,
         [&](CbkResult *r) { return tav_removexattr_async(I, N, "", 0, nullptr, nullptr, common_cbk, r); }},
        {"fremovexattr null cbk", -EINVAL,
         [&](CbkResult *r) { return tav_fremovexattr_async(F, "user.a", 0, nullptr, nullptr, nullptr, r); }},
        {"listxattr value w/o size", -EINVAL,
         [&](CbkResult *r) { return tav_listxattr_async(I, N, buf, 0, common_cbk, r); }},
        {"flistxattr size w/o value", -EINVAL,
         [&](CbkResult *r) { return tav_flistxattr_async(F, nullptr, 8, common_cbk, r); }},
        {"list_file null cbk", -EINVAL,
         [&](CbkResult *r) { return tav_list_file(I, nullptr, nullptr, 0, r); }},
        {"set_iolog null tav", -EINVAL,
         [&](CbkResult *r) { return tav_set_iolog(nullptr, 1, common_cbk, r); }},
        {"is_borrow null uuid", -EINVAL,
         [&](CbkResult *r) { return tav_file_is_borrow(I, Z, common_cbk, r); }},
        {"inode_info null key", -EINVAL,
         [&](CbkResult *r) { return tav_get_inode_info(I, N, nullptr, buf, 8, common_cbk, r); }},
        {"inode_info null value", -EINVAL,
         [&](CbkResult *r) { return tav_get_inode_info(I, N, "i_size", nullptr, 8, common_cbk, r); }},
        {"read fd without inode", -EINVAL,
         [&](CbkResult *r) {
             return tav_preadv_async(&nofd_inode, &iov, 1, 0, nullptr, nullptr, common_cbk, r);
         }},
        {"read count 0", -EINVAL,
         [&](CbkResult *r) { return tav_preadv_async(F, &iov, 0, 0, nullptr, nullptr, common_cbk, r); }},
        {"read negative offset", -EINVAL,
         [&](CbkResult *r) { return tav_preadv_async(F, &iov, 1, -1, nullptr, nullptr, common_cbk, r); }},
        {"read size zero", -EINVAL,
         [&](CbkResult *r) { return tav_preadv_async(F, &zero, 1, 0, nullptr, nullptr, common_cbk, r); }},
        {"read past max", -EFBIG,
         [&](CbkResult *r) {
             return tav_preadv_async(F, &iov, 1, (off_t)(kMax - sizeof(buf) + 1), nullptr, nullptr,
                                     common_cbk, r);
         }},
        {"write past max", -EFBIG,
         [&](CbkResult *r) {
             return tav_pwritev_async(F, &iov, 1, (off_t)kMax, nullptr, nullptr, common_cbk, r);
         }},
        {"write null iov", -EINVAL,
         [&](CbkResult *r) { return tav_pwritev_async(F, nullptr, 1, 0, nullptr, nullptr, common_cbk, r); }},
        {"truncate negative", -EINVAL,
         [&](CbkResult *r) { return tav_truncate_async(I, N, -1, nullptr, nullptr, common_cbk, r); }},
        {"truncate past max", -EFBIG,
         [&](CbkResult *r) {
             return tav_truncate_async(I, N, (off_t)kMax + 1, nullptr, nullptr, common_cbk, r);
         }},
        {"truncate null uuid", -EINVAL,
         [&](CbkResult *r) { return tav_truncate_async(I, Z, 0, nullptr, nullptr, common_cbk, r); }},
        {"ftruncate past max", -EFBIG,
         [&](CbkResult *r) {
             return tav_ftruncate_async(F, (off_t)kMax + 1, nullptr, nullptr, common_cbk, r);
         }},
        {"fallocate length 0", -EINVAL,
         [&](CbkResult *r) { return tav_fallocate_async(F, 0, 0, 0, nullptr, nullptr, common_cbk, r); }},
        {"fallocate negative", -EINVAL,
         [&](CbkResult *r) {
             return tav_fallocate_async(F, 0, -4096, 4096, nullptr, nullptr, common_cbk, r);
         }},
        {"fallocate past max", -EFBIG,
         [&](CbkResult *r) {
             return tav_fallocate_async(F, 0, (off_t)kMax, 1, nullptr, nullptr, common_cbk, r);
         }},
        {"discard offset 100", -EINVAL,
         [&](CbkResult *r) { return tav_discard_async(F, 100, 8192, nullptr, nullptr, common_cbk, r); }},
        {"discard length 100", -EINVAL,
         [&](CbkResult *r) { return tav_discard_async(F, 4096, 100, nullptr, nullptr, common_cbk, r); }},
        {"discard past max", -EFBIG,
         [&](CbkResult *r) {
             return tav_discard_async(F, (off_t)kMax, 4096, nullptr, nullptr, common_cbk, r);
         }},
        {"zerofill length 0", -EINVAL,
         [&](CbkResult *r) { return tav_zerofill_async(F, 0, 0, 0, nullptr, nullptr, common_cbk, r); }},
        {"fiemap null info", -EINVAL,
         [&](CbkResult *r) { return tav_fiemap_async(F, nullptr, nullptr, nullptr, common_cbk, r); }},
        {"fiemap null fd", -EINVAL,
         [&](CbkResult *r) { return tav_fiemap_async(nullptr, &fm, nullptr, nullptr, common_cbk, r); }},
        {"sync null uuid", -EINVAL, [&](CbkResult *r) { return tav_sync_async(I, Z, 0, common_cbk, r); }},
        {"fsync null cbk", -EINVAL, [&](CbkResult *r) { return tav_fsync_async(F, 0, nullptr, r); }},
        {"compress null uuid", -EINVAL,
         [&](CbkResult *r) { return tav_compress_async(I, Z, common_cbk, r); }},
        {"statex null record", -EINVAL,
         [&](CbkResult *r) { return tav_statex_async(I, N, nullptr, common_cbk, r); }},
        {"statex null uuid", -EINVAL,
         [&](CbkResult *r) { return tav_statex_async(I, Z, &sx, common_cbk, r); }},
        {"expand null cbk", -EINVAL, [&](CbkResult *r) { return tav_expand_async(I, 0, nullptr, r); }},
    };
    uint64_t id0 = tav_stub_next_id();
    for (const auto &c : cases) {
        CbkResult r;
        EXPECT_EQ(c.expect, c.call(&r)) << c.what;
        EXPECT_FALSE(r.called) << c.what;
    }
    EXPECT_EQ(id0, tav_stub_next_id()) << "rejected requests take no id";
    EXPECT_TRUE(log_contains("name uuid is null"));
    EXPECT_TRUE(log_contains("offset(100) or length(8192) unaligned to 4096"));
    EXPECT_TRUE(log_contains("exceeds max file size(274877906944)"));
    EXPECT_TRUE(log_contains("size is zero, iovec[0].iov_len: 0"));
    EXPECT_TRUE(log_contains("length(274877906945) exceeds max file size(274877906944)"));
    EXPECT_EQ(1u, fdp_->ref);
}

TEST_F(ApiCheck, AcceptedRequestsCallBackExactlyOnceWithIncreasingIds) {
    char buf[4096];
    struct iovec iov = {buf, sizeof(buf)};
    struct iovec two[2] = {{buf, 2048}, {buf + 2048, 2048}};
    const Case cases[] = {
        {"read ending at max (beyond end of file)", 0,
         [&](CbkResult *r) {
             return tav_preadv_async(fdp_, &iov, 1, (off_t)(kMax - 4096), nullptr, nullptr, common_cbk, r);
         }},
        {"write two segments", 4096,
         [&](CbkResult *r) { return tav_pwritev_async(fdp_, two, 2, 0, nullptr, nullptr, common_cbk, r); }},
        {"truncate to max", 0,
         [&](CbkResult *r) {
             return tav_truncate_async(inst_, name_, (off_t)kMax, nullptr, nullptr, common_cbk, r);
         }},
        {"discard aligned", 0,
         [&](CbkResult *r) { return tav_discard_async(fdp_, 4096, 8192, nullptr, nullptr, common_cbk, r); }},
        {"fallocate to max", 0,
         [&](CbkResult *r) {
             return tav_fallocate_async(fdp_, 0, (off_t)kMax - 1, 1, nullptr, nullptr, common_cbk, r);
         }},
    };
    for (const auto &c : cases) {
        CbkResult r;
        uint64_t id = tav_stub_next_id();
        ASSERT_EQ(0, c.call(&r)) << c.what;
        EXPECT_EQ(id + 1, tav_stub_next_id()) << c.what;
        EXPECT_TRUE(wait(&r)) << c.what;
        EXPECT_EQ(1, r.calls) << c.what;
        EXPECT_EQ(c.expect, r.ret < 0 ? -(int)r.err : (int)r.ret) << c.what;
    }
    // A handler that does not wait calls back before the entry point returns.
    CbkResult r;
    ASSERT_EQ(0, tav_compress_async(inst_, name_, common_cbk, &r));
    EXPECT_TRUE(r.called);
    EXPECT_EQ(1u, fdp_->ref) << "the request's handle reference is dropped";
    EXPECT_TRUE(tav_running_io_empty(inst_));
}

TEST_F(ApiCheck, NameBasedRequestForUnknownFileIsEnoentWithoutHandler) {
    struct stat st;
    CbkResult r;
    unsigned char unknown[16] = {9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9};
    ASSERT_EQ(0, tav_getattr_async(inst_, unknown, &st, common_cbk, &r));
    EXPECT_TRUE(r.called);
    EXPECT_EQ(-1, r.ret);
    EXPECT_EQ((uint32_t)ENOENT, r.err);
    EXPECT_EQ(0u, inst_->status.fops[TAV_OP_GETATTR].received_count)
        << "requests rejected before the handler are not counted";
}

TEST_F(ApiCheck, StatisticsCountRequestsAndSizeClasses) {
    inst_->measure_bsrange = 1;
    static char big[(8 << 20)];
    const struct {
        size_t size;
        unsigned cls;
    } sizes[] = {{1, 0}, {4096, 3}, {1 << 20, 11}, {(1 << 20) + 1, 12}, {8 << 20, 12}};
    for (const auto &s : sizes) {
        struct iovec iov = {big, s.size};
        CbkResult r;
        uint64_t before = inst_->status.bsrange[1][s.cls];
        ASSERT_EQ(0, tav_pwritev_async(fdp_, &iov, 1, 0, nullptr, nullptr, common_cbk, &r));
        EXPECT_EQ(before + 1, inst_->status.bsrange[1][s.cls]) << s.size;
        ASSERT_TRUE(wait(&r));
        EXPECT_EQ((int64_t)s.size, r.ret);
    }
    const fop_status &w = inst_->status.fops[TAV_OP_WRITE];
    EXPECT_EQ(5u, w.received_count);
    EXPECT_EQ(5u, w.finished_count);
    EXPECT_EQ(1u, w.max_depth);
}

TEST_F(ApiCheck, LatencyCountsOnlyRequestsMadeWhileMeasuring) {
    char buf[512];
    struct iovec iov = {buf, sizeof(buf)};
    CbkResult r, r2;
    ASSERT_EQ(0, tav_preadv_async(fdp_, &iov, 1, 0, nullptr, nullptr, common_cbk, &r));
    ASSERT_TRUE(wait(&r));
    EXPECT_EQ(0u, inst_->status.fops[TAV_OP_READ].latency.count);
    inst_->measure_latency = 1;
    ASSERT_EQ(0, tav_preadv_async(fdp_, &iov, 1, 0, nullptr, nullptr, common_cbk, &r2));
    ASSERT_TRUE(wait(&r2));
    EXPECT_EQ(1u, inst_->status.fops[TAV_OP_READ].latency.count);
}

TEST_F(ApiCheck, StubCacheKeepsAtMost32) {
    std::vector<tav_stub *> stubs;
    for (int i = 0; i < TAV_STUB_CACHE_MAX + 1; i++)
        stubs.push_back(tav_stub_new(inst_, TAV_OP_STATFS, (void *)common_cbk, nullptr));
    EXPECT_EQ(0u, tav_stub_cache_size());
    for (tav_stub *s : stubs)
        tav_stub_free(s);
    EXPECT_EQ((unsigned)TAV_STUB_CACHE_MAX, tav_stub_cache_size());
    // The next stub comes from the cache, zero-filled and live again.
    tav_stub *again = tav_stub_new(inst_, TAV_OP_STATFS, (void *)common_cbk, nullptr);
    EXPECT_EQ(stubs.front(), again);
    EXPECT_EQ((unsigned)TAV_STUB_CACHE_MAX - 1, tav_stub_cache_size());
    tav_stub_free(again);
}

} // namespace
