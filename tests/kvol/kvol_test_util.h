// Helpers for the volume manager tests: expected on-disk bytes built from the
// format tables (independently of the library), sparse backing files, loop
// devices, log capture and an eventfd pump for asynchronous requests.
#ifndef KVOL_TEST_UTIL_H
#define KVOL_TEST_UTIL_H

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

#include "kvol.h"
#include "support/bytes.h"
#include "support/tmpdir.h"

namespace kvoltest {

constexpr uint64_t MiB = 1ULL << 20;
constexpr uint64_t GiB = 1ULL << 30;
constexpr uint64_t GRAN = 16 * MiB;
constexpr uint64_t DATA_START = 0x13000000; // data area of the volume device

using tavtest::Bytes;
using tavtest::get32;
using tavtest::get64;
using tavtest::put16;
using tavtest::put32;
using tavtest::put64;

// zlib's CRC-32 (the test's reference, independent of the library's).
uint32_t ref_crc32(const void *data, size_t len);

// Fields of a superblock record; the rest follows the format table.
struct SbFields {
    uint64_t generation = 0;
    unsigned char uuid[16] = {};
    uint64_t entry_num = 0;
    uint64_t entry_max = 65536;
    uint64_t va_total = 0;
    uint64_t va_avail = 0;
    uint32_t phy_blksz = 4096;
    uint32_t ts_format = 0;
    uint32_t ts_expand = 0;
};
// A 4096-byte slot holding the 512-byte record, checksum over bytes 4..511.
Bytes expect_sb_slot(const SbFields &f);

struct BtFields {
    uint64_t generation = 0;
    uint16_t state = 1;
    uint16_t valid_len = 4064;
    uint32_t mtime = 0;
    std::vector<uint64_t> bad_bits; // granule numbers within the block
};
Bytes expect_bt_slot(const BtFields &f);

struct AmFields {
    uint64_t generation = 0;
    unsigned char owner[16] = {};
    uint32_t attribute = 0;
    uint32_t state = 0;
    uint64_t va_start = 0;
    uint64_t length = 0;
    std::string path;
    uint64_t pa_offset = 0;
    uint64_t phy_blksz = 0;
    uint32_t ts_create = 0;
    uint32_t ts_modify = 0;
    unsigned char gfid[16] = {};
    uint32_t shard_no = 0;
    uint32_t ts_failed = 0;
};
Bytes expect_am_slot(const AmFields &f);

// Slot offsets from the layout table.
inline uint64_t sb_slot(unsigned copy) {
    return copy * 0x1000ULL;
}
inline uint64_t bt_slot(uint64_t n, unsigned copy) {
    return 0x2000 + n * 0x2000 + copy * 0x1000;
}
inline uint64_t am_slot(uint64_t j, unsigned copy) {
    return 0x800000 + j * 0x2000 + copy * 0x1000;
}

// Files.
std::string make_sparse(const std::string &dir, const std::string &name, uint64_t size);
Bytes read_at(const std::string &path, uint64_t off, size_t len);
void write_at(const std::string &path, uint64_t off, const Bytes &data);
// Corrupts one byte of a record (flips it) so its checksum no longer matches.
void flip_byte(const std::string &path, uint64_t off);

// A 4096-aligned buffer filled with a pattern derived from `seed`.
struct AlignedBuf {
    explicit AlignedBuf(size_t len, int seed = -1);
    ~AlignedBuf();
    AlignedBuf(const AlignedBuf &) = delete;
    AlignedBuf &operator=(const AlignedBuf &) = delete;
    unsigned char *data() { return p_; }
    size_t size() const { return len_; }
    struct iovec iov() {
        return {p_, len_};
    }
    Bytes bytes() const { return Bytes(p_, p_ + len_); }

private:
    unsigned char *p_;
    size_t len_;
};

// A loop device over a file, detached when the object goes away.  path()
// is empty when no loop device could be set up.
class LoopDevice {
public:
    explicit LoopDevice(const std::string &file);
    ~LoopDevice();
    const std::string &path() const { return path_; }
    // Sets or clears the device's read-only flag.
    bool set_readonly(bool ro);

private:
    std::string path_;
    int fd_ = -1;
};

// A volume created by kvol_mkfs on a sparse file under a temporary directory.
struct VolumeFile {
    explicit VolumeFile(uint64_t size = 2 * GiB, uint32_t max_mapping = 0);
    tavtest::TempDir dir;
    std::string path;
    int mkfs_ret;
};

// A volume created by kvol_mkfs on a loop device over a sparse file of
// `size` bytes, for what needs a block device.  When no loop device can be
// set up, loop.path() is empty and nothing is formatted: the test skips with
// kNoLoopDevice.
struct LoopVolume {
    explicit LoopVolume(uint64_t size = 2 * GiB);
    tavtest::TempDir dir;
    std::string file;
    LoopDevice loop;
    int mkfs_ret = -1;
};
constexpr const char *kNoLoopDevice = "no loop device could be set up (needs /dev/loop-control and root)";

// A fixture holding a VolumeFile opened read-write as kv_ (closed at the end
// unless the test took it down itself and left kv_ null).
class OpenVolumeTest : public ::testing::Test {
protected:
    explicit OpenVolumeTest(uint64_t size = 2 * GiB, uint32_t max_mapping = 0) : vol_(size, max_mapping) {}
    void SetUp() override {
        ASSERT_EQ(vol_.mkfs_ret, 0);
        kv_ = kvol_init(vol_.path.c_str(), O_RDWR);
        ASSERT_NE(kv_, nullptr);
    }
    void TearDown() override {
        if (kv_ != nullptr)
            kvol_fini(kv_);
    }

    VolumeFile vol_;
    kvol_t *kv_ = nullptr;
};

// Runs `body` with standard output captured; returns what was printed.
std::string capture_log(const std::function<void()> &body);

// What kvol_dump writes for class `cls` (a failure fails the test and gives
// an empty text).
std::string dump(kvol_t *kv, int cls);

// Polls the eventfd and runs kvol_event_handler until `done` holds; false
// after a generous timeout (the test then fails instead of hanging).
bool pump(kvol_t *kvol, int evfd, const std::function<bool()> &done);

// Records one completion.
struct Completion {
    bool called = false;
    int calls = 0;
    ssize_t result = 0;
    static void cbk(kvol_t *, ssize_t result, void *data);
};

} // namespace kvoltest

#endif
