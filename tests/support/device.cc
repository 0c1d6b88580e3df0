#include "support/device.h"

#include <fcntl.h>
#include <unistd.h>

#include <string.h>

#include "ioengine.h"
#include "kvol.h"
#include "support/loop.h"
#include "memory.h"

namespace tavtest {

const char *backend_name(Backend b) {
    return b == Backend::Volume ? "kvol" : "libaio";
}

void DeviceTest::create_device(uint64_t size) {
    if (!path_.empty())
        return;
    path_ = dir_.path() + "/dev.img";
    if (!volume_) {
        make_file(path_, static_cast<off_t>(size));
        return;
    }
    // Volumes take whole 16 MiB granules and at least 1 GiB.
    constexpr uint64_t kGran = 16ull << 20;
    uint64_t file = (kVolumeDataStart + size + kGran - 1) / kGran * kGran;
    if (file < (1ull << 30))
        file = 1ull << 30;
    make_file(path_, static_cast<off_t>(file));
    kvol_mkfs_param_t p = {};
    p.path = path_.c_str();
    ASSERT_EQ(0, kvol_mkfs(&p));
    ASSERT_GE(kvol_mkfs_va_length(file), size);
    raw_base_ = kVolumeDataStart;
}

void DeviceTest::open_device(uint64_t size, const char *engine) {
    fault_engine().reset();
    ASSERT_NO_FATAL_FAILURE(create_device(size));
    if (volume_) {
        if (strcmp(engine, "libaio") == 0)
            engine = "kvol";
        fault_engine().backend = "kvol";
    }
    tav_iobuf_pool_init();
    ASSERT_EQ(0, ioengine_default_init(driver(), engine, path_.c_str(), O_RDWR));
    open_ = true;
}

void DeviceTest::close_device() {
    if (open_)
        ioengine_default_fini();
    open_ = false;
}

void DeviceTest::TearDown() {
    close_device();
    fault_engine().reset();
    tav_iobuf_pool_fini();
}

void DeviceTest::co(std::function<void()> body) {
    ASSERT_TRUE(run_coroutine(std::move(body)));
}

std::vector<uint8_t> read_file_bytes(const std::string &path, uint64_t off, size_t len) {
    std::vector<uint8_t> buf(len);
    int fd = open(path.c_str(), O_RDONLY);
    EXPECT_GE(fd, 0) << path;
    EXPECT_EQ(static_cast<ssize_t>(len), pread(fd, buf.data(), len, static_cast<off_t>(off)));
    close(fd);
    return buf;
}

void write_file_bytes(const std::string &path, uint64_t off, const void *buf, size_t len) {
    int fd = open(path.c_str(), O_WRONLY);
    EXPECT_GE(fd, 0) << path;
    EXPECT_EQ(static_cast<ssize_t>(len), pwrite(fd, buf, len, static_cast<off_t>(off)));
    fsync(fd);
    close(fd);
}

std::vector<uint8_t> DeviceTest::read_bytes(uint64_t off, size_t len) const {
    return read_file_bytes(path_, raw_base_ + off, len);
}

void DeviceTest::write_bytes(uint64_t off, const void *buf, size_t len) const {
    write_file_bytes(path_, raw_base_ + off, buf, len);
}

void DeviceTest::flip_bits(uint64_t off, uint8_t mask) const {
    uint8_t b = static_cast<uint8_t>(read_bytes(off, 1)[0] ^ mask);
    write_bytes(off, &b, 1);
}

} // namespace tavtest
