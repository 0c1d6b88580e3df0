#include "kvol_test_util.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <linux/loop.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <zlib.h>

#include <gtest/gtest.h>

namespace kvoltest {

namespace {

// Every test process logs the volume's lines to standard output, at DEBUG,
// so tests can look for the documented messages.
struct LogSetup {
    LogSetup() {
        setenv("KVOL_LOG_TARGET", "stdout", 1);
        setenv("KVOL_LOG_LEVEL", "debug", 1);
        kvol_logging_init();
    }
} g_log_setup;

void seal(Bytes &b, size_t record_len) {
    put32(b, 0, ref_crc32(b.data() + 4, record_len - 4));
}

} // namespace

uint32_t ref_crc32(const void *data, size_t len) {
    return static_cast<uint32_t>(crc32(0L, static_cast<const Bytef *>(data), static_cast<uInt>(len)));
}

Bytes expect_sb_slot(const SbFields &f) {
    Bytes b(4096, 0);
    put32(b, 4, 0x10000);
    put64(b, 8, 0x0011223344556677ULL);
    put64(b, 16, f.generation);
    memcpy(&b[24], f.uuid, 16);
    put64(b, 40, 0x800000);
    put64(b, 48, f.entry_num);
    put64(b, 56, f.entry_max);
    put64(b, 64, 512);
    put64(b, 72, 0x2000);
    put64(b, 80, 4096);
    put64(b, 88, 0x1000000);
    put64(b, 96, 0x13000000);
    put64(b, 104, f.va_total);
    put64(b, 112, f.va_avail);
    put32(b, 120, f.phy_blksz);
    put32(b, 124, f.ts_format);
    put32(b, 128, f.ts_expand);
    seal(b, 512);
    return b;
}

Bytes expect_bt_slot(const BtFields &f) {
    Bytes b(4096, 0);
    put32(b, 4, 0x10000);
    put64(b, 8, 0x1122334455667788ULL);
    put64(b, 16, f.generation);
    put16(b, 24, f.state);
    put16(b, 26, f.valid_len);
    put32(b, 28, f.mtime);
    for (uint64_t g : f.bad_bits)
        b[32 + g / 8] |= static_cast<unsigned char>(1u << (g % 8));
    seal(b, 4096);
    return b;
}

Bytes expect_am_slot(const AmFields &f) {
    Bytes b(4096, 0);
    put32(b, 4, 0x10000);
    put64(b, 8, 0x2233445566778899ULL);
    put64(b, 16, f.generation);
    memcpy(&b[24], f.owner, 16);
    put32(b, 40, f.attribute);
    put32(b, 44, f.state);
    put64(b, 48, f.va_start);
    put64(b, 56, f.length);
    memcpy(&b[64], f.path.data(), f.path.size());
    put64(b, 320, f.pa_offset);
    put64(b, 328, f.phy_blksz);
    put32(b, 384, f.ts_create);
    put32(b, 388, f.ts_modify);
    memcpy(&b[392], f.gfid, 16);
    put32(b, 408, f.shard_no);
    put32(b, 412, f.ts_failed);
    seal(b, 512);
    return b;
}

std::string make_sparse(const std::string &dir, const std::string &name, uint64_t size) {
    std::string path = dir + "/" + name;
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    EXPECT_GE(fd, 0) << path << ": " << strerror(errno);
    if (fd >= 0) {
        EXPECT_EQ(ftruncate(fd, static_cast<off_t>(size)), 0);
        close(fd);
    }
    return path;
}

Bytes read_at(const std::string &path, uint64_t off, size_t len) {
    Bytes b(len, 0);
    int fd = open(path.c_str(), O_RDONLY);
    EXPECT_GE(fd, 0) << path;
    if (fd >= 0) {
        EXPECT_EQ(pread(fd, b.data(), len, static_cast<off_t>(off)), static_cast<ssize_t>(len));
        close(fd);
    }
    return b;
}

void write_at(const std::string &path, uint64_t off, const Bytes &data) {
    int fd = open(path.c_str(), O_RDWR);
    ASSERT_GE(fd, 0) << path;
    EXPECT_EQ(pwrite(fd, data.data(), data.size(), static_cast<off_t>(off)),
              static_cast<ssize_t>(data.size()));
    fsync(fd);
    close(fd);
}

void flip_byte(const std::string &path, uint64_t off) {
    Bytes b = read_at(path, off, 1);
    b[0] ^= 0xFF;
    write_at(path, off, b);
}

AlignedBuf::AlignedBuf(size_t len, int seed) : len_(len) {
    void *p = nullptr;
    if (posix_memalign(&p, 4096, len) != 0)
        abort();
    p_ = static_cast<unsigned char *>(p);
    for (size_t i = 0; i < len; i++)
        p_[i] = seed < 0 ? 0 : static_cast<unsigned char>((i / 4096 * 131 + i + seed * 7) & 0xFF);
}

AlignedBuf::~AlignedBuf() {
    free(p_);
}

LoopDevice::LoopDevice(const std::string &file) {
    int ctl = open("/dev/loop-control", O_RDWR | O_CLOEXEC);
    if (ctl < 0)
        return;
    int backing = open(file.c_str(), O_RDWR | O_CLOEXEC);
    for (int attempt = 0; backing >= 0 && attempt < 20 && path_.empty(); attempt++) {
        int n = ioctl(ctl, LOOP_CTL_GET_FREE);
        if (n < 0)
            break;
        std::string dev = "/dev/loop" + std::to_string(n);
        int fd = open(dev.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0) {
            usleep(10000);
            continue;
        }
        struct loop_config cfg = {};
        cfg.fd = static_cast<__u32>(backing);
        cfg.info.lo_flags = LO_FLAGS_AUTOCLEAR;
        if (ioctl(fd, LOOP_CONFIGURE, &cfg) == 0) {
            path_ = dev;
            fd_ = fd;
        } else {
            close(fd); // another process took it first
        }
    }
    if (backing >= 0)
        close(backing);
    close(ctl);
}

LoopDevice::~LoopDevice() {
    if (fd_ >= 0) {
        ioctl(fd_, LOOP_CLR_FD, 0);
        close(fd_);
    }
}

bool LoopDevice::set_readonly(bool ro) {
    int v = ro ? 1 : 0;
    return fd_ >= 0 && ioctl(fd_, BLKROSET, &v) == 0;
}

VolumeFile::VolumeFile(uint64_t size, uint32_t max_mapping) {
    path = make_sparse(dir.path(), "vol.img", size);
    kvol_mkfs_param_t p = {0, max_mapping, path.c_str()};
    mkfs_ret = kvol_mkfs(&p);
}

LoopVolume::LoopVolume(uint64_t size) : file(make_sparse(dir.path(), "dev.img", size)), loop(file) {
    if (loop.path().empty())
        return;
    kvol_mkfs_param_t p = {0, 0, loop.path().c_str()};
    mkfs_ret = kvol_mkfs(&p);
}

std::string capture_log(const std::function<void()> &body) {
    testing::internal::CaptureStdout();
    body();
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

std::string dump(kvol_t *kv, int cls) {
    std::string out(1 << 20, '\0');
    int n = kvol_dump(kv, cls, out.data(), static_cast<int>(out.size()));
    EXPECT_GE(n, 0);
    out.resize(n < 0 ? 0 : n);
    return out;
}

bool pump(kvol_t *kvol, int evfd, const std::function<bool()> &done) {
    for (int waited_ms = 0; !done();) {
        struct pollfd p = {evfd, POLLIN, 0};
        int r = poll(&p, 1, 100);
        if (r < 0 && errno != EINTR)
            return false;
        if (r > 0) {
            kvol_event_handler(kvol);
        } else if ((waited_ms += 100) > 30000) {
            return false;
        }
    }
    return true;
}

void Completion::cbk(kvol_t *, ssize_t result, void *data) {
    auto *c = static_cast<Completion *>(data);
    c->called = true;
    c->calls++;
    c->result = result;
}

} // namespace kvoltest
