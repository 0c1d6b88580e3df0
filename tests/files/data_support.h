// Fixture of the data-path tests: a real instance (libev loop, libaio or the
// volume engine, optionally under the fault engine) on a formatted image,
// files made as creation makes them, and synchronous wrappers around the
// asynchronous data requests.
#ifndef TAV_TEST_DATA_SUPPORT_H
#define TAV_TEST_DATA_SUPPORT_H

#include <linux/fiemap.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "fd.h"
#include "inode.h"
#include "instance.h"
#include "support/device.h"
#include "support/fault_engine.h"
#include "support/instance.h"

namespace datatest {

using Bytes = std::vector<uint8_t>;
constexpr uint64_t KiB = 1024, MiB = 1048576;

// Kinds of files, as the creation flags make them.
enum class Kind { Plain, Compressible, Bd };
const char *kind_name(Kind k);

// A 4096-aligned buffer, so that aligned requests reach the device without
// a bounce.
struct Buf {
    explicit Buf(size_t n, uint8_t fill = 0);
    Buf(const Buf &) = delete;
    Buf &operator=(const Buf &) = delete;
    ~Buf();
    uint8_t *data() { return p; }
    size_t size() const { return n; }
    Bytes bytes() const { return Bytes(p, p + n); }
    uint8_t *p;
    size_t n;
};

// A fiemap record with room for `count` extents.
struct Fiemap {
    explicit Fiemap(uint32_t count, uint64_t start = 0, uint64_t length = 0);
    struct fiemap *fm() {
        return reinterpret_cast<struct fiemap *>(mem.data());
    }
    std::vector<uint8_t> mem;
};

class DataTest : public tavtest::InstanceTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // Starts the instance on dev_ (under the fault engine when `faulty`).
    void start();
    // Syncs and closes every open file, then finishes the instance.
    void stop();
    void restart() {
        stop();
        start();
    }

    // A new file (as creation makes it) and a handle on it.
    tav_fd *create(unsigned char tag, Kind kind = Kind::Plain);
    // A handle on an existing file, null when there is none.
    tav_fd *open(unsigned char tag);
    void close(unsigned char tag);
    tav_fd *fd(unsigned char tag) { return fds_.at(tag); }
    tav_inode_info *inode(unsigned char tag) { return fds_.at(tag)->inode; }
    static void gfid_of(unsigned char tag, unsigned char *gfid);

    // Requests, run to their callback: op_ret, or -op_errno, or the entry
    // point's own negative result.
    int64_t pwrite(tav_fd *f, const void *buf, size_t len, uint64_t off, struct stat *pre = nullptr,
                   struct stat *post = nullptr);
    int64_t pwritev(tav_fd *f, const struct iovec *iov, int cnt, uint64_t off);
    int64_t pread(tav_fd *f, void *buf, size_t len, uint64_t off, int flags = 0, struct stat *post = nullptr);
    int64_t ftruncate(tav_fd *f, uint64_t len, struct stat *pre = nullptr, struct stat *post = nullptr);
    int64_t fallocate(tav_fd *f, int mode, uint64_t off, uint64_t len, struct stat *pre = nullptr,
                      struct stat *post = nullptr);
    int64_t discard(tav_fd *f, uint64_t off, uint64_t len);
    int64_t zerofill(tav_fd *f, int mode, uint64_t off, uint64_t len);
    int64_t fiemap(tav_fd *f, struct fiemap *fm);
    int64_t fsync(tav_fd *f);
    int64_t statfs(struct statvfs *sv);
    // Reads `len` bytes (expecting them all) and returns them.
    Bytes read_all(tav_fd *f, uint64_t off, size_t len);

    // Runs `body` in a coroutine of the instance's thread.
    void co(std::function<void()> body) { tavtest::run_coroutine(std::move(body)); }
    // File offset -> device address (negative: none).
    int64_t paddr(tav_fd *f, uint64_t off);
    // The file's written bits of segment `seg` (block or slice maps).
    std::vector<bool> bits(tav_fd *f, uint64_t seg);

    // Every block a file references (extent blocks and data) is in use in
    // the zone map and referenced once; returns the number of data blocks
    // and slices referenced, or fails the test.
    void check_references();

    // Raw access to the image, past the engine, at engine offsets (volume
    // addresses on a volume).
    Bytes raw_read(uint64_t off, size_t len) const;
    void raw_write(uint64_t off, const Bytes &b) const;

    // Stops the dirty timer so that counters see only the request's own I/O.
    void quiet_timers();

    // Transfers the fault engine handed to the device since `mark`, by the
    // area they touched.  Extent blocks are those of the open files.
    struct Io {
        int data_writes = 0, data_reads = 0, inode_writes = 0, zmap_writes = 0, extent_writes = 0,
            extent_reads = 0;
        uint64_t data_write_bytes = 0, data_read_bytes = 0;
    };
    size_t io_mark() const { return tavtest::fault_engine().transfers.size(); }
    Io io_since(size_t mark);
    // The engine's counters of requests it had to bounce.
    uint64_t bounces();

    tav *inst_ = nullptr;
    bool faulty_ = false;                   // run under the fault engine
    uint64_t blocks_ = 200;                 // device size in MiB
    bool volume_ = false;                   // a volume through the "kvol" engine
    std::map<unsigned char, tav_fd *> fds_; // open handles by tag
};

// A data-path suite that runs on both engines: a file through "libaio" and
// a volume through "kvol" (each under the fault engine when `faulty_`).
class EngineDataTest : public DataTest, public ::testing::WithParamInterface<tavtest::Backend> {
protected:
    EngineDataTest() { volume_ = GetParam() == tavtest::Backend::Volume; }
};

std::string engine_test_name(const ::testing::TestParamInfo<tavtest::Backend> &info);

#define TAV_DATA_ENGINES(suite)                                                                              \
    INSTANTIATE_TEST_SUITE_P(Engines, suite,                                                                 \
                             ::testing::Values(tavtest::Backend::File, tavtest::Backend::Volume),            \
                             ::datatest::engine_test_name)

// Runs `body` in a child process that ends without finishing anything (a
// crash at the end of `body`); returns the child's exit status (0 when
// `body` returned true).
int run_crashing_child(const std::function<bool()> &body);

} // namespace datatest

#endif
