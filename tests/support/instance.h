// Instance fixture: private system directories, a device file, the libaio
// engine, log lines captured in a file, and helpers that start an
// asynchronous call and run the loop until its callback fires.
#ifndef TAV_TEST_INSTANCE_H
#define TAV_TEST_INSTANCE_H

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "support/loop.h"
#include "support/tmpdir.h"
#include "tav.h"

namespace tavtest {

struct CbkResult {
    bool called = false;
    int calls = 0;
    int64_t ret = 0;
    uint32_t err = 0;
    tav *instance = nullptr;
    tav_fd *fd = nullptr;
};

// Callbacks that record into a CbkResult passed as `data`.
void common_cbk(int64_t op_ret, uint32_t op_errno, void *data);
void open_cbk(int64_t op_ret, uint32_t op_errno, void *data, tav_fd *fd);
void init_cbk(ssize_t op_ret, uint32_t op_errno, void *data, tav *instance);

// Formats `path` (created sparse when missing) as a fresh instance of
// `blocks` MiB with `groups` inode groups, through the library's own format.
void format_device(const std::string &path, uint64_t blocks, uint64_t groups = 1);
// Makes a volume on a sparse 2 GiB file at `path` and formats an instance
// with `groups` inode groups over `blocks` MiB of the volume's address space
// (0: all of it).
void format_volume(const std::string &path, uint64_t blocks = 0, uint64_t groups = 1);

class InstanceTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Serves the device through `engine`: "libaio" keeps the formatted file
    // dev_, "kvol" makes dev_ a formatted volume (2 GiB, `volume_blocks` MiB
    // of it formatted, 0: all).  With `faults` the instance's engine is the
    // fault engine over that backend, reset here.
    void use_engine(const std::string &engine, bool faults = false, uint64_t volume_blocks = 0);
    // Runs an asynchronous call that reports into `res` (cleared first) and
    // waits for its callback; false (with a test failure) when the call returned non-zero
    // or the callback never came.
    bool call(CbkResult *res, const std::function<int(CbkResult *)> &start);

    // Starts an init and runs the loop until it reports; returns the init
    // call's own result (negative: nothing was launched).  A load expected to
    // succeed that fails reports the instance's error lines.
    int init(const std::string &path, int flags, CbkResult *res, bool expect_ok = true);
    // Finishes `instance` and waits for its callback.
    void fini(tav *instance);
    // Waits until `res` has been called back.
    bool wait(CbkResult *res) {
        return run_until([res] { return res->called; });
    }
    // Log lines written so far.
    std::vector<std::string> log_lines() const;
    bool log_contains(const std::string &text) const;

    TempDir dir_;
    std::string dev_;     // a formatted 200 MiB device file
    std::string run_dir_; // stands for the lock directory
    std::string log_path_;
    uint64_t raw_base_ = 0; // file offset of engine offset 0 (the volume's data area for kvol)
};

} // namespace tavtest

#endif
