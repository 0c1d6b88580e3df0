// Fixture of the file-level API suites: a running writable instance on the
// engine given as the test parameter ("libaio": a file, "kvol": a volume),
// restartable, with helpers that run one request and wait for it.
#ifndef TAV_TEST_FILE_API_H
#define TAV_TEST_FILE_API_H

#include <fcntl.h>
#include <gtest/gtest.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "instance.h"
#include "support/instance.h"
#include "tav.h"

namespace filetest {

using tavtest::CbkResult;

// A file name: 16 bytes built from `n`, never the null UUID.
struct Gfid {
    unsigned char b[16];
};
inline Gfid gfid(uint32_t n) {
    Gfid g = {};
    g.b[0] = 0x7a;
    memcpy(g.b + 4, &n, sizeof(n));
    g.b[15] = 0x5c;
    return g;
}

class FileApi : public tavtest::InstanceTest, public ::testing::WithParamInterface<const char *> {
protected:
    void SetUp() override {
        InstanceTest::SetUp();
        use_engine(GetParam(), faults_, volume_blocks_);
        start();
    }
    void TearDown() override {
        if (inst_)
            fini(inst_);
        InstanceTest::TearDown();
    }
    void start() {
        CbkResult r;
        ASSERT_EQ(0, init(dev_, O_RDWR, &r));
        ASSERT_EQ(0, r.ret);
        inst_ = r.instance;
    }
    // Finishes the instance and starts it again on the same device.
    void restart() {
        fini(inst_);
        inst_ = nullptr;
        start();
    }

    CbkResult open(const Gfid &g, int flags, mode_t mode = 0644) {
        CbkResult r;
        call(&r,
             [&](CbkResult *res) { return tav_open_async(inst_, g.b, flags, mode, tavtest::open_cbk, res); });
        return r;
    }
    // Creates a file and returns its handle (null after a test failure).
    tav_fd *create(const Gfid &g, int flags = O_RDWR, mode_t mode = 0644) {
        CbkResult r;
        call(&r, [&](CbkResult *res) {
            return tav_create_async(inst_, g.b, flags, mode, tavtest::open_cbk, res);
        });
        EXPECT_EQ(0, r.ret) << "create failed: " << r.err;
        return r.fd;
    }
    // Creates a file and closes its handle.
    void make(const Gfid &g, int flags = O_RDWR) {
        tav_fd *fd = create(g, flags);
        if (fd) {
            EXPECT_EQ(0, tav_close(fd));
        }
    }
    CbkResult unlink(const Gfid &g) {
        CbkResult r;
        call(&r, [&](CbkResult *res) { return tav_unlink_async(inst_, g.b, tavtest::common_cbk, res); });
        return r;
    }
    CbkResult getattr(const Gfid &g, struct stat *st) {
        CbkResult r;
        call(&r, [&](CbkResult *res) { return tav_getattr_async(inst_, g.b, st, tavtest::common_cbk, res); });
        return r;
    }
    CbkResult setattr(const Gfid &g, struct stat *st, int valid) {
        CbkResult r;
        call(&r, [&](CbkResult *res) {
            return tav_setattr_async(inst_, g.b, st, valid, nullptr, nullptr, tavtest::common_cbk, res);
        });
        return r;
    }
    // A pre-mapped create over `blocks` MiB from block `pblock`.
    CbkResult create_ex(const Gfid &g, uint64_t pblock, uint64_t blocks, uint64_t size, uint32_t type = 0) {
        CbkResult r;
        call(&r, [&](CbkResult *res) {
            return tav_create_ex(inst_, g.b, static_cast<off_t>(pblock << 20), blocks << 20, size, O_RDWR,
                                 0600, type, tavtest::open_cbk, res);
        });
        return r;
    }
    // The first block of the data area on a 16-block boundary: a borrowed
    // range goes back to a volume in 16 MiB granules.
    uint64_t first_granule() const { return (inst_->sb.tav_disk_sb.s_first_data_block + 15) / 16 * 16; }
    CbkResult statfs(struct statvfs *st) {
        CbkResult r;
        call(&r, [&](CbkResult *res) { return tav_statfs_async(inst_, st, tavtest::common_cbk, res); });
        return r;
    }
    // The cached inode of a file (no reference kept), or null.
    tav_inode_info *inode(const Gfid &g) {
        tav_inode_info *i = tav_inode_find_get(&inst_->itable, g.b, 1);
        if (i)
            tav_inode_unref(i, "test");
        return i;
    }
    // Runs `body` in a coroutine of the test loop (synchronous helpers).
    void in_coroutine(std::function<void()> body) { ASSERT_TRUE(tavtest::run_coroutine(std::move(body))); }
    // Runs the unlink timer's pass now instead of waiting for its tick.
    uint64_t unlink_pass() {
        uint64_t released = 0;
        in_coroutine([&] { released = tav_itable_unlink_tick(&inst_->itable, UINT64_MAX / 2); });
        return released;
    }
    // Both copies of inode `ino`'s slot as the device holds them.
    std::vector<uint8_t> raw_slot(uint64_t ino) const {
        std::vector<uint8_t> buf(8192);
        int fd = ::open(dev_.c_str(), O_RDONLY);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(8192, pread(fd, buf.data(), buf.size(), (off_t)(raw_base_ + 1048576 + ino * 8192)));
        ::close(fd);
        return buf;
    }

    bool faults_ = false;        // run over the fault engine (set before SetUp)
    uint64_t volume_blocks_ = 0; // MiB of a volume to format (0: all of it)
    tav *inst_ = nullptr;
};

} // namespace filetest

#endif
