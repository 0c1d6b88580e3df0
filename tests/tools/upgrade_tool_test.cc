// tav_upgrade as a process on real files: its usage and argument errors, the
// version report, upgrade and restore with their backups, the statuses of
// refused backups, the lock it shares with writable instances, and an
// upgrade interrupted after the -1 mark that the tool rolls back and the next
// instance start completes.
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "instance.h"
#include "ioengine.h"
#include "upgrade.h"
#include "ondisk_util.h"
#include "super.h"
#include "support/bytes.h"
#include "support/device.h"
#include "support/fault_engine.h"
#include "support/instance.h"
#include "support/loop.h"
#include "support/process.h"
#include "memory.h"

namespace {

using ondisk::MiB;
using tavtest::CbkResult;
using tavtest::get64;
using tavtest::ProcessResult;

constexpr uint64_t kBlocks = 200, kGroups = 1; // the fixture's device: data blocks 162..199

const ondisk::Runs kUsed = {{162, 3}, {170, 20}, {199, 1}};

std::string usage_of(const std::string &prog) {
    return "usage: " + prog +
           " -i <ioengine> -p <path> -a <upgrade|restore> -b <backup>\n\nOptions:\n"
           "  -i, --ioengine=NAME    tav ioengine: libaio or kvol\n"
           "  -p, --path=NAME        tav device path\n"
           "  -a, --action=NAME      action: upgrade or restore or get_version\n"
           "  -b, --backup=NAME      zmap backup path\n"
           "  -d, --debug            show debug message\n"
           "  -h, --help             show this message\n";
}

class UpgradeToolTest : public tavtest::InstanceTest {
protected:
    void SetUp() override {
        InstanceTest::SetUp();
        layout_ = ondisk::layout_of(kBlocks, kGroups);
        // The fixtures' maps name blocks no file owns: a consistency check
        // would rightly free them all.
        tavtest::make_file(dir_.path() + "/cfg/tav_fsck_disable", 0);
    }

    // The program with its log on standard error, its system directories
    // those of the fixture (`run_dir` overrides the lock directory).
    ProcessResult tool(const std::string &args, const std::string &run_dir = "") {
        std::string env =
            "env TAV_LOG_TARGET=STDERR TAV_LOG_LEVEL=INFO KVOL_LOG_LEVEL=NONE TAVTEST_PROGRESS_MS=" +
            progress_ms_ + " TAVTEST_RUN_DIR=" + (run_dir.empty() ? run_dir_ : run_dir) +
            " TAVTEST_CFG_DIR=" + dir_.path() + "/cfg TAVTEST_LOG_DIR=" + dir_.path() + "/log ";
        return tavtest::run_command(dir_.path(), env + TAV_UPGRADE_TEST_BUILD + " " + args);
    }
    // The program as installed, for what takes no lock.
    ProcessResult installed(const std::string &args) {
        return tavtest::run_command(dir_.path(),
                                    std::string("env TAV_LOG_TARGET=STDERR KVOL_LOG_LEVEL=NONE ") +
                                        TAV_UPGRADE_PATH + " " + args);
    }
    std::string dev_args() const { return "-i libaio -p " + dev_; }

    std::vector<uint8_t> zmap() const {
        return tavtest::read_file_bytes(dev_, layout_.first_bitmap * MiB, layout_.bitmap_blocks * MiB);
    }
    using Versions = std::pair<uint64_t, uint64_t>; // copy A, copy B
    Versions versions() const {
        return {get64(tavtest::read_file_bytes(dev_, 0x10000, 4096), 16),
                get64(tavtest::read_file_bytes(dev_, 0x12000, 4096), 16)};
    }
    std::string library_backup() const {
        tav_sb_ondisk d = {};
        auto page = tavtest::read_file_bytes(dev_, 0x10000, 4096);
        memcpy(&d, page.data(), sizeof(d));
        char *p = tav_upgrade_get_backup_path((dir_.path() + "/log/tav_upgrade").c_str(), d.s_uuid);
        std::string s(p);
        free(p);
        return s;
    }

    // The library's upgrade of the device, in this process, with the format
    // of the second zone-map block failing: the device stays at -1.
    void interrupted_upgrade() {
        tav_iobuf_pool_init();
        tavtest::fault_engine().reset();
        ASSERT_EQ(0, ioengine_default_init(tavtest::driver(), tavtest::kFaultEngine, dev_.c_str(), O_RDWR));
        tavtest::fault_engine().fail_writes((layout_.first_bitmap + 1) * MiB, MiB);
        int ret = 0;
        tavtest::run_coroutine([&] {
            tav_sb_info sb = {};
            ASSERT_EQ(0, tav_sb_load(&sb));
            ret = tav_upgrade(tavtest::driver(), &sb, (dir_.path() + "/log/tav_upgrade").c_str());
            tav_sb_destroy(&sb);
        });
        ioengine_default_fini();
        tavtest::fault_engine().reset();
        EXPECT_EQ(-EIO, ret);
        EXPECT_EQ(Versions(~0ULL, ~0ULL), versions());
    }

    ondisk::Layout layout_;
    std::string progress_ms_ = "2000";
};

TEST_F(UpgradeToolTest, UsageAndArgumentErrors) {
    const std::string prog = TAV_UPGRADE_PATH, usage = usage_of(prog);
    struct Case {
        std::string args;
        int status;
        std::string err; // the whole of standard error, or its start
        bool whole;
    } cases[] = {
        {"-h", 0, usage, true},
        {"--help", 0, usage, true},
        {"-a foo", 234, "invalid action: foo\n", true},
        {"-p x -a upgrade -b y", 234, "invalid argument: ioengine not provided\n" + usage, true},
        {"-i libaio -a upgrade -b y", 234, "invalid argument: path not provided\n" + usage, true},
        {"-i libaio -p x -a upgrade", 234, "invalid argument: backup path not provided\n" + usage, true},
        {"-i libaio -p x -a restore", 234, "invalid argument: backup path not provided\n" + usage, true},
        {"-i libaio -p x -b y", 234, "invalid action: 0\n", true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args);
        ProcessResult r = installed(c.args);
        EXPECT_EQ(c.status, r.status);
        EXPECT_EQ(c.err, r.err);
        EXPECT_EQ("", r.out);
    }
    // An unknown option prints getopt's complaint, then the usage.
    ProcessResult r = installed("--bogus");
    EXPECT_EQ(0, r.status);
    EXPECT_NE(std::string::npos, r.err.find("bogus"));
    EXPECT_NE(std::string::npos, r.err.find(usage));
    // get_version needs no backup; a device that cannot be opened.
    r = installed("-i libaio -p " + dir_.path() + "/none -a get_version");
    EXPECT_EQ(234, r.status);
    EXPECT_NE(std::string::npos, r.err.find("invalid source path: " + dir_.path() + "/none")) << r.err;
}

TEST_F(UpgradeToolTest, GetVersionPrintsTheVersion) {
    ProcessResult r = installed("-ioengine libaio -path " + dev_ + " -action get_version");
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("2", r.out) << "long options with one dash, no newline";
    EXPECT_NE(std::string::npos, r.err.find("tav has been upgraded, do nothing"));

    ondisk::make_v1_instance(dev_, kBlocks, kGroups, kUsed);
    r = installed(dev_args() + " -a get_version");
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("1", r.out);

    ondisk::SbFields f;
    f.version = ~0ULL;
    f.blocks = kBlocks;
    f.groups = kGroups;
    f.path = dev_;
    ondisk::write_sb_copies(dev_, f);
    r = installed(dev_args() + " -a get_version");
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("18446744073709551615", r.out);

    // An instance on a volume, through the volume engine.
    const std::string vol = dir_.path() + "/vol.img";
    tavtest::format_volume(vol);
    r = installed("-i kvol -p " + vol + " -a get_version");
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("2", r.out);
}

TEST_F(UpgradeToolTest, UpgradeAndRestoreWithAnExplicitBackup) {
    const auto old_map = ondisk::make_v1_instance(dev_, kBlocks, kGroups, kUsed);
    const std::string backup = dir_.path() + "/zmap.backup";
    progress_ms_ = "0";
    ProcessResult r = tool(dev_args() + " -a upgrade -b " + backup);
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ(ondisk::upgraded_zmap_image(kBlocks, kGroups, kUsed), zmap());
    EXPECT_EQ(Versions(2, 2), versions());
    EXPECT_NE(std::string::npos,
              r.err.find("backup zmap(pblock start: 129, count: 32) to " + backup + " succeed"));
    EXPECT_NE(std::string::npos, r.err.find("allocate pblocks done, range count: 3"));
    EXPECT_NE(std::string::npos, r.err.find("tav upgrade succeed"));
    // Progress, logged and on the terminal.
    EXPECT_NE(std::string::npos, r.err.find("upgrade scan progress: "));
    EXPECT_NE(std::string::npos, r.err.find("tav_upgrade: upgrade scan 8192/8192 (100%)\n"));
    EXPECT_NE(std::string::npos, r.err.find("tav_upgrade: upgrade backup 32/32 (100%)\n"));
    auto file = tavtest::read_file_bytes(backup, MiB, old_map.size());
    EXPECT_EQ(old_map, file) << "the backup holds the old map";

    r = tool(dev_args() + " -a upgrade -b " + backup);
    EXPECT_EQ(0, r.status);
    EXPECT_NE(std::string::npos, r.err.find("tav has been upgraded, do nothing"));

    // A restore always ends at version 1 with the saved map.
    r = tool(dev_args() + " -a restore -b " + backup);
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("tav restore succeed"));
    EXPECT_EQ(old_map, zmap());
    EXPECT_EQ(Versions(1, 1), versions());
}

TEST_F(UpgradeToolTest, RestoreRefusesWrongDeviceAndAlteredBackups) {
    // A backup of another device.
    const std::string other = dir_.path() + "/other.img";
    tavtest::format_device(other, kBlocks, kGroups);
    ondisk::make_v1_instance(other, kBlocks, kGroups, {{180, 2}});
    const std::string foreign = dir_.path() + "/other.backup";
    ASSERT_EQ(0, tool("-i libaio -p " + other + " -a upgrade -b " + foreign).status);

    const auto old_map = ondisk::make_v1_instance(dev_, kBlocks, kGroups, kUsed);
    const std::string backup = dir_.path() + "/zmap.backup";
    ASSERT_EQ(0, tool(dev_args() + " -a upgrade -b " + backup).status);
    const auto upgraded = zmap();
    const std::string altered = dir_.path() + "/altered.backup";
    auto bytes = tavtest::read_file_bytes(backup, 0, 33 * MiB);
    bytes[MiB + 4096 + 100] ^= 0x10;
    tavtest::make_file(altered, 0);
    tavtest::write_file_bytes(altered, 0, bytes.data(), bytes.size());

    ProcessResult r = tool(dev_args() + " -a restore -b " + foreign);
    EXPECT_EQ(242, r.status);
    EXPECT_NE(std::string::npos, r.err.find("invalid backup file: tav uuid not matched, tav path: " + dev_ +
                                            ", expected: " + other))
        << r.err;
    EXPECT_NE(std::string::npos, r.err.find("restore zmap from " + foreign + " failed: -14"));
    r = tool(dev_args() + " -a restore -b " + altered);
    EXPECT_EQ(242, r.status);
    EXPECT_NE(std::string::npos, r.err.find("invalid backup file: data checksum(")) << r.err;
    r = tool(dev_args() + " -a restore -b " + dir_.path() + "/missing.backup");
    EXPECT_EQ(234, r.status);
    EXPECT_NE(std::string::npos, r.err.find("invalid source path: " + dir_.path() + "/missing.backup"));
    EXPECT_EQ(upgraded, zmap()) << "the device is unchanged";
    EXPECT_EQ(Versions(2, 2), versions());
}

TEST_F(UpgradeToolTest, ToolAndWritableInstanceExcludeEachOther) {
    ondisk::make_v1_instance(dev_, kBlocks, kGroups, kUsed);
    // A read-only instance leaves an old device alone.
    CbkResult ro;
    ASSERT_EQ(0, init(dev_, O_RDONLY, &ro));
    ASSERT_EQ(0, ro.ret);
    EXPECT_EQ(1u, ro.instance->sb.tav_disk_sb.s_header.version);
    fini(ro.instance);

    // Hold the lock the way a writable instance does.
    int fd = -1;
    ASSERT_EQ(0, tav_device_lock(dev_.c_str(), &fd));
    ASSERT_GE(fd, 0);
    const std::string backup = dir_.path() + "/zmap.backup";
    for (const char *action : {"upgrade", "restore"}) {
        ProcessResult r = tool(dev_args() + " -a " + action + " -b " + backup);
        EXPECT_EQ(256 - EWOULDBLOCK, r.status) << action;
        EXPECT_NE(std::string::npos, r.err.find("try lock " + run_dir_ + "/tav_")) << r.err;
    }
    EXPECT_EQ(0, tool(dev_args() + " -a get_version").status) << "get_version takes no lock";
    close(fd);
    EXPECT_EQ(Versions(1, 1), versions()) << "nothing changed";

    // A writable start upgrades the device itself, holding the lock.
    CbkResult w;
    ASSERT_EQ(0, init(dev_, O_RDWR, &w));
    ASSERT_EQ(0, w.ret);
    EXPECT_EQ(2u, w.instance->sb.tav_disk_sb.s_header.version);
    EXPECT_TRUE(log_contains("tav upgrade succeed, time consumed: "));
    ProcessResult r = tool(dev_args() + " -a restore -b " + library_backup());
    EXPECT_EQ(256 - EWOULDBLOCK, r.status);
    fini(w.instance);
    EXPECT_EQ(ondisk::upgraded_zmap_image(kBlocks, kGroups, kUsed), zmap());

    // Without the lock directory the tool warns and goes on.
    r = tool(dev_args() + " -a upgrade -b " + backup, dir_.path() + "/no-run-dir");
    EXPECT_EQ(0, r.status);
    EXPECT_NE(std::string::npos,
              r.err.find("tav lock root path(" + dir_.path() + "/no-run-dir) is not exit"));
}

TEST_F(UpgradeToolTest, InterruptedUpgradeIsRolledBackByTheToolAndCompletedByTheNextStart) {
    const auto old_map = ondisk::make_v1_instance(dev_, kBlocks, kGroups, kUsed);
    interrupted_upgrade();
    const std::string backup = library_backup();

    ProcessResult r = tool(dev_args() + " -a upgrade -b " + dir_.path() + "/new.backup");
    EXPECT_EQ(256 - EAGAIN, r.status);
    EXPECT_NE(std::string::npos, r.err.find("last upgrade was interrupted, run resotre first"));

    r = tool(dev_args() + " -a restore -b " + backup);
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ(old_map, zmap());
    EXPECT_EQ(Versions(1, 1), versions());

    // Interrupted again; a writable instance start rolls back and upgrades.
    interrupted_upgrade();
    CbkResult w;
    ASSERT_EQ(0, init(dev_, O_RDWR, &w));
    ASSERT_EQ(0, w.ret);
    EXPECT_TRUE(log_contains("last upgrade was interrupted, run resotre first"));
    EXPECT_TRUE(log_contains("restore zmap(pblock start: 129, count: 32) from " + backup + " succeed"));
    EXPECT_TRUE(log_contains("tav upgrade succeed, time consumed: "));
    fini(w.instance);
    EXPECT_EQ(ondisk::upgraded_zmap_image(kBlocks, kGroups, kUsed), zmap());
    EXPECT_EQ(Versions(2, 2), versions());
}

TEST_F(UpgradeToolTest, StartAtAnInterruptedUpgradeRefusesABadBackupAndChangesNothing) {
    ondisk::make_v1_instance(dev_, kBlocks, kGroups, kUsed);
    interrupted_upgrade();
    const std::string backup = library_backup();
    const auto intact = tavtest::read_file_bytes(backup, 0, (layout_.bitmap_blocks + 1) * MiB);
    const auto partial = zmap();
    struct Case {
        const char *name;
        std::function<void()> damage;
        uint32_t err;
        std::string message;
    } cases[] = {
        {"data altered",
         [&] {
             auto b = intact;
             b[MiB + 4096] ^= 0x10;
             tavtest::write_file_bytes(backup, 0, b.data(), b.size());
         },
         EFAULT, "invalid backup file: data checksum("},
        {"header altered",
         [&] {
             auto b = intact;
             b[4200] ^= 0x10;
             tavtest::write_file_bytes(backup, 0, b.data(), b.size());
         },
         EFAULT, "invalid backup file: header checksum("},
        {"cut short", [&] { ASSERT_EQ(0, truncate(backup.c_str(), 5 * MiB)); }, EIO,
         "failed to read pblock "},
        {"missing", [&] { unlink(backup.c_str()); }, EINVAL, "invalid source path: " + backup},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        c.damage();
        CbkResult w;
        ASSERT_EQ(0, init(dev_, O_RDWR, &w, false));
        EXPECT_EQ(-1, w.ret);
        EXPECT_EQ(c.err, w.err);
        EXPECT_TRUE(log_contains(c.message));
        EXPECT_EQ(Versions(~0ULL, ~0ULL), versions()) << "still interrupted";
        EXPECT_EQ(partial, zmap()) << "the device is not made worse";
        tavtest::make_file(backup, 0);
        tavtest::write_file_bytes(backup, 0, intact.data(), intact.size());
    }
    // The intact backup again: the start rolls back and completes.
    CbkResult w;
    ASSERT_EQ(0, init(dev_, O_RDWR, &w));
    ASSERT_EQ(0, w.ret);
    fini(w.instance);
    EXPECT_EQ(ondisk::upgraded_zmap_image(kBlocks, kGroups, kUsed), zmap());
    EXPECT_EQ(Versions(2, 2), versions());
}

} // namespace
