// Instance start and stop on a formatted device, on both engines: the
// loading steps, the running/stopped marks, statfs, sync, failed loads.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include "instance.h"
#include "ioengine.h"
#include "super.h"
#include "support/instance.h"

namespace {

using tavtest::CbkResult;

// Runs on "libaio" (an instance on a file) and "kvol" (on a volume).
class Load : public tavtest::InstanceTest, public ::testing::WithParamInterface<const char *> {
protected:
    void SetUp() override {
        InstanceTest::SetUp();
        use_engine(GetParam());
    }
    tav *start(int flags) {
        CbkResult r;
        EXPECT_EQ(0, init(dev_, flags, &r));
        EXPECT_EQ(0, r.ret);
        return r.instance;
    }
};

TEST_P(Load, WritableStartMarksRunningAndStopMarksStopped) {
    tav *inst = start(O_RDWR);
    ASSERT_NE(nullptr, inst);
    EXPECT_EQ((uint64_t)TAV_STAT_RUNNING, inst->sb.tav_disk_sb.s_state);
    EXPECT_EQ(0u, inst->sb.tav_disk_sb.s_crash_count);
    EXPECT_NE(nullptr, inst->dirty_timer);
    EXPECT_NE(nullptr, inst->unlink_timer);
    EXPECT_NE(nullptr, inst->compress_timer);
    EXPECT_EQ(inst->sb.tav_disk_sb.s_inode_max_count, inst->imap_bits);
    EXPECT_STREQ(GetParam(), ioengine_actived_backend(ioengine_get_default()));
    fini(inst);

    // A read-only start sees the stop mark and changes nothing.
    tav *ro = start(O_RDONLY);
    ASSERT_NE(nullptr, ro);
    EXPECT_EQ((uint64_t)TAV_STAT_STOPPED, ro->sb.tav_disk_sb.s_state);
    EXPECT_EQ(0u, ro->sb.tav_disk_sb.s_crash_count) << "a clean stop is not a crash";
    EXPECT_EQ(nullptr, ro->dirty_timer) << "read-only instances run no timers";
    uint64_t gen = ro->sb.tav_disk_sb.s_header.generation;
    fini(ro);
    tav *again = start(O_RDONLY);
    EXPECT_EQ(gen, again->sb.tav_disk_sb.s_header.generation) << "read-only never writes";
    fini(again);
}

TEST_P(Load, StatfsAnswersFromSuperblockAndZoneMap) {
    tav *inst = start(O_RDWR);
    ASSERT_NE(nullptr, inst);
    struct statvfs st;
    CbkResult r;
    ASSERT_EQ(0, tav_statfs_async(inst, &st, tavtest::common_cbk, &r));
    ASSERT_TRUE(wait(&r));
    EXPECT_EQ(0, r.ret);
    const tav_sb_ondisk &d = inst->sb.tav_disk_sb;
    EXPECT_EQ(1048576u, st.f_bsize);
    EXPECT_EQ(d.s_blocks_count - d.s_first_data_block, st.f_bfree) << "nothing allocated yet";
    EXPECT_EQ(d.s_inode_max_count, st.f_files);
    EXPECT_EQ(d.s_inode_max_count, st.f_ffree);
    fini(inst);
}

TEST_P(Load, DumpWritesSuperblockAndInodes) {
    tav *inst = start(O_RDONLY);
    ASSERT_NE(nullptr, inst);
    tav_dump("t", inst, -1);
    tav_dump("t", inst, 4095);
    EXPECT_TRUE(log_contains("s_blocks_count"));
    fini(inst);
}

INSTANTIATE_TEST_SUITE_P(Engines, Load, ::testing::Values("libaio", "kvol"),
                         [](const auto &info) { return std::string(info.param); });

class LoadFailure : public tavtest::InstanceTest {};

TEST_F(LoadFailure, GarbageDeviceCallsBackOnceAndLeavesNoLock) {
    std::string junk = dir_.path() + "/junk.img";
    tavtest::make_file(junk, 200 << 20);
    CbkResult r;
    ASSERT_EQ(0, init(junk, O_RDWR, &r, false));
    tavtest::run_until([] { return false; }, 0.05);
    EXPECT_EQ(1, r.calls);
    EXPECT_EQ(-1, r.ret);
    EXPECT_NE(0u, r.err);
    EXPECT_EQ(nullptr, r.instance);
    EXPECT_TRUE(log_contains("tav init failed: -1("));
    EXPECT_EQ(nullptr, ioengine_get_default()) << "the engine is closed";
    char lock[4096];
    ASSERT_EQ(0, tav_lock_path(junk.c_str(), lock, sizeof(lock)));
    int fd = open(lock, O_RDONLY);
    if (fd >= 0) {
        EXPECT_EQ(0, flock(fd, LOCK_EX | LOCK_NB)) << "the lock was released";
        close(fd);
    }
    // The device is good for a formatted instance afterwards.
    tavtest::format_device(junk, 200);
    CbkResult ok;
    ASSERT_EQ(0, init(junk, O_RDWR, &ok));
    EXPECT_EQ(0, ok.ret);
    fini(ok.instance);
}

TEST_F(LoadFailure, CrashIsCountedAtTheNextStart) {
    // A writable instance whose process died leaves its superblock RUNNING.
    CbkResult a;
    ASSERT_EQ(0, init(dev_, O_RDWR, &a));
    std::vector<unsigned char> running(TAV_SB_PAGE_SIZE);
    {
        int fd = open(dev_.c_str(), O_RDONLY);
        // Copy the RUNNING superblock pages as the crash left them.
        ASSERT_EQ((ssize_t)running.size(), pread(fd, running.data(), running.size(), TAV_SB_COPY_A_OFFSET));
        std::vector<unsigned char> b(TAV_SB_PAGE_SIZE);
        ASSERT_EQ((ssize_t)b.size(), pread(fd, b.data(), b.size(), TAV_SB_COPY_B_OFFSET));
        close(fd);
        fini(a.instance);
        fd = open(dev_.c_str(), O_WRONLY);
        ASSERT_EQ((ssize_t)running.size(), pwrite(fd, running.data(), running.size(), TAV_SB_COPY_A_OFFSET));
        ASSERT_EQ((ssize_t)b.size(), pwrite(fd, b.data(), b.size(), TAV_SB_COPY_B_OFFSET));
        close(fd);
    }
    CbkResult r;
    ASSERT_EQ(0, init(dev_, O_RDWR, &r));
    ASSERT_EQ(0, r.ret);
    EXPECT_EQ(1u, r.instance->sb.tav_disk_sb.s_crash_count);
    fini(r.instance);
}

TEST_F(LoadFailure, SyncOfUnknownFileIsEnoent) {
    CbkResult a;
    ASSERT_EQ(0, init(dev_, O_RDWR, &a));
    const unsigned char name[16] = {9, 9, 9};
    CbkResult r;
    ASSERT_EQ(0, tav_sync_async(a.instance, name, 0, tavtest::common_cbk, &r));
    ASSERT_TRUE(wait(&r));
    EXPECT_EQ(-1, r.ret);
    EXPECT_EQ((uint32_t)ENOENT, r.err);
    fini(a.instance);
}

} // namespace

namespace {

// Inode groups are formatted when the numbers of the formatted ones run out;
// a later start scans exactly the formatted groups.
TEST_F(LoadFailure, StartAfterGroupGrowthScansOnlyFormattedGroups) {
    std::string dev = dir_.path() + "/three-groups.img";
    tavtest::format_device(dev, 600, 3);
    CbkResult a;
    ASSERT_EQ(0, init(dev, O_RDWR, &a));
    tav *inst = a.instance;
    ASSERT_EQ(1u, inst->sb.tav_disk_sb.s_inode_active_group);
    const uint64_t per_group = inst->sb.tav_disk_sb.s_inode_per_group;
    uint64_t last = 0;
    int ret = 0;
    tavtest::run_coroutine([&] {
        for (uint64_t i = 0; i <= per_group && ret == 0; i++)
            ret = tav_super_get_ino(inst, &last);
    });
    ASSERT_EQ(0, ret);
    EXPECT_EQ(per_group, last) << "the first number of group 1";
    EXPECT_EQ(2u, inst->sb.tav_disk_sb.s_inode_active_group);
    const uint64_t group2 = inst->sb.tav_disk_sb.s_first_inode_block + 2 * per_group / 128;
    fini(inst);

    // Garbage where group 2 would be: never formatted, so never scanned.
    std::vector<unsigned char> junk(1 << 20, 0xA5);
    int fd = open(dev.c_str(), O_WRONLY);
    ASSERT_EQ((ssize_t)junk.size(), pwrite(fd, junk.data(), junk.size(), (off_t)(group2 << 20)));
    close(fd);

    CbkResult b;
    ASSERT_EQ(0, init(dev, O_RDWR, &b));
    ASSERT_EQ(0, b.ret);
    EXPECT_EQ(2u, b.instance->sb.tav_disk_sb.s_inode_active_group);
    EXPECT_EQ(0u, b.instance->itable.error_inode_count) << "group 2 must not be scanned";
    // Numbers handed out without files are free again after the scan.
    uint64_t again = ~0ULL;
    tavtest::run_coroutine([&] { ret = tav_super_get_ino(b.instance, &again); });
    EXPECT_EQ(0, ret);
    EXPECT_LT(again, 2 * per_group);
    fini(b.instance);
}

} // namespace
