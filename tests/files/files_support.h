// Shared pieces of the extent, inode and inode-table tests: a device file
// opened as the thread's default engine through a fault-injecting plug-in
// that forwards to libaio, captured log lines, raw access to the file, and
// coroutines that run under a request stub.
#ifndef TAV_TEST_FILES_SUPPORT_H
#define TAV_TEST_FILES_SUPPORT_H

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "stub.h"
#include "support/loop.h"
#include "support/tmpdir.h"

namespace filestest {

// Failures and bad tracks of the "files-faulty" plug-in.  A fault fails every
// transfer of its direction that overlaps [start, start + len), `times` times
// (-1: always), with -err.
struct Fault {
    bool write;
    uint64_t start, len;
    int err;
    int times;
};
void add_fault(const Fault &f);
void clear_faults();
// Byte ranges reported as bad tracks by test_badtrack.
void add_badtrack(uint64_t start, uint64_t len);
// Unmap calls seen (offset, size).
const std::vector<std::pair<uint64_t, uint64_t>> &unmaps();
// Writes that reached the device (offset, length).
const std::vector<std::pair<uint64_t, uint64_t>> &writes();
void clear_writes();

// Log lines captured from the library's logger.
void log_capture_start();
void log_capture_stop();
bool log_has(const std::string &text);
int log_count(const std::string &text);
void log_clear();

// Runs `body` in a coroutine whose argument is a live request stub (the
// space-accounting hooks charge blocks to it).
bool run_in_stub(std::function<void()> body, tav_stub *stub = nullptr);

// A sparse device file of `size` bytes, opened as this thread's default
// engine through "files-faulty" with O_DIRECT; the I/O buffer pools are set
// up; log lines are captured.
class DeviceTest : public ::testing::Test {
protected:
    void open_device(uint64_t size);
    void TearDown() override;
    std::vector<unsigned char> read_raw(uint64_t off, size_t len) const;
    void write_raw(uint64_t off, const void *data, size_t len) const;

    tavtest::TempDir dir_;
    std::string path_;
    bool open_ = false;
};

}  // namespace filestest

#endif
