// Test support for the on-disk modules: a device file opened as the thread's
// default engine (real libaio, or a plug-in that forwards to libaio but can
// fail chosen transfers and report bad tracks), a log capture, and helpers
// that lay out expected bytes by hand.
#ifndef TAV_TEST_ONDISK_UTIL_H
#define TAV_TEST_ONDISK_UTIL_H

#include <gtest/gtest.h>
#include <stdint.h>
#include <string.h>
#include <sys/types.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "support/tmpdir.h"

namespace ondisk {

constexpr uint64_t MiB = 1048576;

// Name of the fault-injecting plug-in (registered on first use).
extern const char *const kFakeEngine;

// What the fault-injecting plug-in does; reset by every DeviceTest.
struct FakeState {
    // A transfer that overlaps [off, off + len) fails with -EIO while
    // `remaining` is non-zero (each failure decrements it; -1: always).
    struct Fault {
        bool write;
        uint64_t off, len;
        int remaining;
    };
    std::vector<Fault> faults;
    std::set<uint64_t> bad_blocks;         // 1 MiB blocks reported as bad tracks
    std::vector<std::pair<uint64_t, uint64_t>> marked, cleared;  // byte ranges
    std::vector<uint64_t> reads, writes;   // offsets of every transfer
    void fail_writes(uint64_t off, uint64_t len, int times = -1) { faults.push_back({true, off, len, times}); }
    void fail_reads(uint64_t off, uint64_t len, int times = -1) { faults.push_back({false, off, len, times}); }
};
FakeState &fake();

// Captures every log line while alive.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    bool contains(const std::string &needle) const;
    size_t count(const std::string &needle) const;
    std::string text() const;
    std::vector<std::string> lines;
};

// A device file of `size` bytes opened as this thread's default engine.
class DeviceTest : public ::testing::Test {
protected:
    void open_device(uint64_t size, const char *engine = "libaio");
    void close_device();
    void TearDown() override;
    // Runs `body` in a coroutine on the test loop.
    void co(std::function<void()> body);
    std::vector<uint8_t> read_bytes(uint64_t off, size_t len) const;
    void write_bytes(uint64_t off, const void *buf, size_t len) const;

    tavtest::TempDir dir_;
    std::string path_;
    bool open_ = false;
};

// Little-endian field writers for expected images.
inline void put64(uint8_t *p, size_t off, uint64_t v) {
    for (int i = 0; i < 8; i++)
        p[off + i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void put32(uint8_t *p, size_t off, uint32_t v) {
    for (int i = 0; i < 4; i++)
        p[off + i] = static_cast<uint8_t>(v >> (8 * i));
}
inline uint64_t get64(const uint8_t *p, size_t off) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; i--)
        v = (v << 8) | p[off + i];
    return v;
}
// XXH64 with seed 1011, called directly on the bytes.
uint64_t xxh64_1011(const void *p, size_t len);

// The 4096-byte superblock page the format tables describe.
struct SbFields {
    uint64_t version = 2, generation = 0, blocks = 0, groups = 8, state = 0;
    uint64_t active = 1, crash = 0, ts_modify = 0, ts_fsck = 0, ts_format = 0;
    std::string path;
};
std::vector<uint8_t> expected_sb_page(const SbFields &f);
// An empty zone-map page: magic, checksum of 4080 zero bytes, zero map.
std::vector<uint8_t> expected_zmap_page(const uint8_t *map4080 = nullptr);

}  // namespace ondisk

#endif
