// The FUSE daemon as a real process on a real mount: an image formatted by
// tav_mkfs (a plain file served through libaio, or a volume through the
// volume engine), the daemon started in the foreground with private system
// directories, a wait until the mount serves requests, and a teardown that
// always unmounts and reaps the daemon.  Suites run parameterised by
// Backend.  Skips only where /dev/fuse or fusermount3 is missing.
#ifndef TAV_TEST_MOUNT_FIXTURE_H
#define TAV_TEST_MOUNT_FIXTURE_H

#include <gtest/gtest.h>
#include <sys/types.h>

#include <string>

#include "support/device.h"
#include "support/process.h"
#include "support/tmpdir.h"

namespace tavtest {

struct DaemonExit {
    int status = -1; // exit status; -1: killed by a signal or still running at the deadline
    std::string err; // its standard error
};

class MountTest : public ::testing::TestWithParam<Backend> {
protected:
    void SetUp() override;
    void TearDown() override;

    const char *engine() const { return backend_name(GetParam()); }
    // Formats `path` for this backend (`size` as tav_mkfs takes it; the
    // volume is always 2G).
    void format(const std::string &path, const std::string &size = "512M");

    // Starts the daemon on img_ at mnt_ with `extra` options and waits until
    // the mount answers; false (with a test failure) when it exits first or
    // never gets there.
    bool start(const std::string &extra = "");
    // Runs the daemon with `args` (after the test directories' environment)
    // and waits for it to exit by itself.
    DaemonExit run_to_exit(const std::string &args);
    // Unmounts with fusermount3 -u and expects a clean exit (status 0, no
    // sanitizer report).
    void stop();
    // Sends `sig` and expects a clean exit as stop() does.
    void stop_by_signal(int sig);
    // Waits for the running daemon's exit.
    DaemonExit wait_exit();
    // Fails the test unless `e` is a clean exit.
    static void expect_clean(const DaemonExit &e);

    // A shell command run in the test directory.
    ProcessResult sh(const std::string &cmd) { return run_command(dir_.path(), cmd); }
    std::string at(const std::string &name) const { return mnt_ + "/" + name; }
    bool mounted() const;
    // The state field of the current superblock copy of img_ (0 stopped,
    // 1 running).
    uint64_t sb_state() const;

    TempDir dir_;
    std::string img_, mnt_, run_, cfg_, log_;
    pid_t pid_ = -1;
    std::string err_path_;
};

// A new random UUID in text form.
std::string new_uuid();

} // namespace tavtest

#endif
