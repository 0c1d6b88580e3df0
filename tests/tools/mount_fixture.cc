#include "mount_fixture.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <uuid/uuid.h>

#include <vector>

namespace tavtest {

namespace {

constexpr long kFuseSuperMagic = 0x65735546;

// Generous: the daemon may be built with the sanitizers and the machine busy.
constexpr int kStartSeconds = 120;
constexpr int kExitSeconds = 120;

void sleep_ms(int ms) {
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
}

bool fuse_mounted_at(const std::string &path) {
    struct statfs sf;
    return statfs(path.c_str(), &sf) == 0 && sf.f_type == kFuseSuperMagic;
}

} // namespace

std::string new_uuid() {
    uuid_t u;
    uuid_generate_random(u);
    char text[37];
    uuid_unparse(u, text);
    return text;
}

void MountTest::SetUp() {
    if (access("/dev/fuse", R_OK | W_OK) != 0)
        GTEST_SKIP() << "/dev/fuse is missing or not accessible: FUSE mount tests need it";
    if (access("/usr/bin/fusermount3", X_OK) != 0 && access("/bin/fusermount3", X_OK) != 0)
        GTEST_SKIP() << "fusermount3 is missing: FUSE mount tests need it (package fuse3)";
    img_ = dir_.path() + "/dev.img";
    mnt_ = dir_.path() + "/mnt";
    run_ = dir_.path() + "/run";
    cfg_ = dir_.path() + "/cfg";
    log_ = dir_.path() + "/log";
    err_path_ = dir_.path() + "/daemon.err";
    for (const std::string &d : {mnt_, run_, cfg_, log_})
        ASSERT_EQ(0, mkdir(d.c_str(), 0755)) << d;
    format(img_);
}

void MountTest::TearDown() {
    if (pid_ > 0) {
        // Whatever state the test left: detach the mount, then end the
        // daemon, politely first.
        umount2(mnt_.c_str(), MNT_DETACH);
        kill(pid_, SIGTERM);
        for (int i = 0; i < 100 && waitpid(pid_, nullptr, WNOHANG) == 0; i++)
            sleep_ms(100);
        if (waitpid(pid_, nullptr, WNOHANG) == 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        pid_ = -1;
    }
    if (!mnt_.empty() && mounted())
        umount2(mnt_.c_str(), MNT_DETACH);
}

void MountTest::format(const std::string &path, const std::string &size) {
    std::string cmd = std::string(TAV_MKFS_PATH) + " -f -g 1 -i " + engine() + " -s " +
                      (GetParam() == Backend::Volume ? std::string("2G") : size) + " " + path;
    ProcessResult r = sh(cmd);
    ASSERT_EQ(0, r.status) << cmd << "\n" << r.err;
}

bool MountTest::mounted() const {
    return fuse_mounted_at(mnt_);
}

namespace {

pid_t spawn_daemon(const std::string &args, const std::string &run, const std::string &cfg,
                   const std::string &log, const std::string &err_path) {
    std::string cmd = std::string("exec ") + TAV_STANDALONE_TEST_BUILD + " " + args;
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    int out = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out >= 0) {
        dup2(out, 1);
        dup2(out, 2);
        close(out);
    }
    setenv("TAVTEST_RUN_DIR", run.c_str(), 1);
    setenv("TAVTEST_CFG_DIR", cfg.c_str(), 1);
    setenv("TAVTEST_LOG_DIR", log.c_str(), 1);
    setenv("TAV_LOG_LEVEL", "WARNING", 1);
    execl("/bin/sh", "sh", "-c", cmd.c_str(), (char *)nullptr);
    _exit(127);
}

DaemonExit reap(pid_t pid, const std::string &err_path, int seconds) {
    DaemonExit e;
    int st = 0;
    pid_t r = 0;
    for (int i = 0; i < seconds * 20 && (r = waitpid(pid, &st, WNOHANG)) == 0; i++)
        sleep_ms(50);
    if (r == pid && WIFEXITED(st))
        e.status = WEXITSTATUS(st);
    else if (r == pid)
        e.status = -1;
    else
        e.status = -2; // still running
    e.err = read_text(err_path);
    return e;
}

} // namespace

bool MountTest::start(const std::string &extra) {
    if (mounted()) {
        ADD_FAILURE() << "something is already mounted at " << mnt_;
        return false;
    }
    std::string args = std::string("-f -o debug -i ") + engine() + " -p " + img_ + " " + extra + " " + mnt_;
    pid_ = spawn_daemon(args, run_, cfg_, log_, err_path_);
    if (pid_ < 0) {
        ADD_FAILURE() << "fork failed: " << strerror(errno);
        return false;
    }
    for (int i = 0; i < kStartSeconds * 20; i++) {
        int st = 0;
        if (waitpid(pid_, &st, WNOHANG) == pid_) {
            pid_ = -1;
            ADD_FAILURE() << "the daemon exited before serving (status "
                          << (WIFEXITED(st) ? WEXITSTATUS(st) : -1) << "):\n"
                          << read_text(err_path_);
            return false;
        }
        // Until the instance has started, requests are refused: statfs
        // succeeds only once the mount serves.
        struct statfs sf;
        if (statfs(mnt_.c_str(), &sf) == 0 && sf.f_type == kFuseSuperMagic)
            return true;
        sleep_ms(50);
    }
    ADD_FAILURE() << "the daemon never served the mount:\n" << read_text(err_path_);
    return false;
}

DaemonExit MountTest::run_to_exit(const std::string &args) {
    pid_t pid = spawn_daemon(args, run_, cfg_, log_, err_path_);
    DaemonExit e = reap(pid, err_path_, kExitSeconds);
    if (e.status == -2) {
        ADD_FAILURE() << "the daemon did not exit: " << args << "\n" << e.err;
        umount2(mnt_.c_str(), MNT_DETACH);
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    return e;
}

DaemonExit MountTest::wait_exit() {
    DaemonExit e = reap(pid_, err_path_, kExitSeconds);
    if (e.status != -2)
        pid_ = -1;
    return e;
}

void MountTest::expect_clean(const DaemonExit &e) {
    EXPECT_EQ(0, e.status) << e.err;
    for (const char *bad : {"AddressSanitizer", "LeakSanitizer", "runtime error:", "Assertion"})
        EXPECT_EQ(std::string::npos, e.err.find(bad)) << e.err;
}

void MountTest::stop() {
    ASSERT_GT(pid_, 0);
    ProcessResult r = sh("fusermount3 -u " + mnt_);
    EXPECT_EQ(0, r.status) << r.err;
    expect_clean(wait_exit());
    EXPECT_FALSE(mounted());
}

void MountTest::stop_by_signal(int sig) {
    ASSERT_GT(pid_, 0);
    ASSERT_EQ(0, kill(pid_, sig));
    expect_clean(wait_exit());
    EXPECT_FALSE(mounted());
}

uint64_t MountTest::sb_state() const {
    const uint64_t base = GetParam() == Backend::Volume ? kVolumeDataStart : 0;
    uint64_t best_gen = 0, state = ~0ull;
    bool found = false;
    for (uint64_t copy : {0x10000ull, 0x12000ull}) {
        std::vector<uint8_t> page = read_file_bytes(img_, base + copy, 4096);
        uint64_t gen, st;
        memcpy(&gen, page.data() + 24, 8);
        memcpy(&st, page.data() + 64, 8);
        if (!found || gen > best_gen) {
            best_gen = gen;
            state = st;
            found = true;
        }
    }
    return state;
}

} // namespace tavtest
