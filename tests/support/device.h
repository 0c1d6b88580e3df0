// A device file for tests of the code that runs over this thread's default
// I/O engine: a sparse file under a temporary directory, opened as the
// default engine (O_DIRECT) through a chosen plug-in, usually "libaio" or the
// fault engine, with the I/O buffer pools set up; raw access to the file
// around the engine; a runner for coroutine bodies.
//
// With volume_ set before the first open, the file is a volume instead
// (kvol_mkfs) and the data moves through the "kvol" engine (the fault
// engine's backend becomes "kvol" too); engine offsets are then volume
// addresses, and the raw accessors translate them to the file, where volume
// address 0 lies at kVolumeDataStart.  Suites that must hold on both run
// parameterised by Backend.
//
// open_device() resets the fault engine's state, creates the file when the
// fixture has none yet (a test may set path_ first, or reopen the same file
// with another engine), and may be called again after close_device().
// TearDown() closes the engine and releases the pools.
#ifndef TAV_TEST_DEVICE_H
#define TAV_TEST_DEVICE_H

#include <gtest/gtest.h>
#include <stdint.h>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "support/fault_engine.h"
#include "support/tmpdir.h"

namespace tavtest {

// Where a volume made by kvol_mkfs keeps volume address 0 (the start of its
// data area, after the superblock, bitmap and address-map copies).
constexpr uint64_t kVolumeDataStart = 0x13000000;

enum class Backend { File, Volume };
const char *backend_name(Backend b); // "libaio" or "kvol", for test names
inline void PrintTo(Backend b, std::ostream *os) {
    *os << backend_name(b);
}

// Bytes of a file at `off`, read and written with plain system calls (a
// failed transfer fails the test).
std::vector<uint8_t> read_file_bytes(const std::string &path, uint64_t off, size_t len);
void write_file_bytes(const std::string &path, uint64_t off, const void *buf, size_t len);

class DeviceTest : public ::testing::Test {
protected:
    // Creates path_ as a sparse file of `size` bytes (a volume offering at
    // least `size` bytes when volume_) unless path_ is set.
    void create_device(uint64_t size);
    void open_device(uint64_t size, const char *engine = "libaio");
    void close_device();
    void TearDown() override;

    // Runs `body` in a coroutine on the test loop; fails the test on timeout.
    void co(std::function<void()> body);

    // The file's bytes, read and written past the engine (and its cache).
    std::vector<uint8_t> read_bytes(uint64_t off, size_t len) const;
    void write_bytes(uint64_t off, const void *buf, size_t len) const;
    // Flips the bits of `mask` in the byte at `off`.
    void flip_bits(uint64_t off, uint8_t mask) const;

    TempDir dir_;
    std::string path_;
    bool open_ = false;
    bool volume_ = false;
    uint64_t raw_base_ = 0; // file offset of engine offset 0
};

} // namespace tavtest

#endif
