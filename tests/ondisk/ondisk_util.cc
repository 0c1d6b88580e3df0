#include "ondisk_util.h"

#include <errno.h>
#include <fcntl.h>
#include <md5.h>
#include <stdarg.h>
#include <stdio.h>
#include <unistd.h>
#include <xxhash.h>

#include <algorithm>

#include "ioengine.h"
#include "support/loop.h"
#include "utils/logger.h"

namespace ondisk {

const char *const kFakeEngine = "ondisk-fake";

FakeState &fake() {
    static FakeState s;
    return s;
}

namespace {

size_t total(const struct iovec *iov, int n) {
    size_t t = 0;
    for (int i = 0; i < n; i++)
        t += iov[i].iov_len;
    return t;
}

bool inject(bool write, uint64_t off, uint64_t len) {
    for (auto &f : fake().faults) {
        if (f.write != write || f.remaining == 0)
            continue;
        if (off < f.off + f.len && f.off < off + len) {
            if (f.remaining > 0)
                f.remaining--;
            return true;
        }
    }
    return false;
}

ssize_t fake_preadv(ioengine *e, const struct iovec *iov, int n, off_t off) {
    fake().reads.push_back(static_cast<uint64_t>(off));
    if (inject(false, static_cast<uint64_t>(off), total(iov, n)))
        return -EIO;
    return ioengine_libaio_plugin.co_preadv(e, iov, n, off);
}

ssize_t fake_pwritev(ioengine *e, const struct iovec *iov, int n, off_t off) {
    fake().writes.push_back(static_cast<uint64_t>(off));
    if (inject(true, static_cast<uint64_t>(off), total(iov, n)))
        return -EIO;
    return ioengine_libaio_plugin.co_pwritev(e, iov, n, off);
}

int fake_test_badtrack(ioengine *, uint64_t offset, uint64_t size, ioengine_range *, int) {
    auto it = fake().bad_blocks.lower_bound(offset / MiB);
    return it != fake().bad_blocks.end() && *it * MiB < offset + size;
}

int fake_mark_badtrack(ioengine *, uint64_t offset, uint64_t size) {
    fake().marked.push_back({offset, size});
    return 0;
}

int fake_clear_badtrack(ioengine *, uint64_t offset, uint64_t size) {
    fake().cleared.push_back({offset, size});
    return 0;
}

ioengine_plugin g_fake = [] {
    ioengine_plugin p = ioengine_libaio_plugin;
    p.name = kFakeEngine;
    p.co_preadv = fake_preadv;
    p.co_pwritev = fake_pwritev;
    p.test_badtrack = fake_test_badtrack;
    p.mark_badtrack = fake_mark_badtrack;
    p.clear_badtrack = fake_clear_badtrack;
    return p;
}();

void capture_sink(void *ctx, int, const char *fmt, ...) {
    char line[8192];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof(line), fmt, ap);
    va_end(ap);
    static_cast<LogCapture *>(ctx)->lines.push_back(line);
}

}  // namespace

LogCapture::LogCapture() { logger_set_logger(capture_sink, this); }
LogCapture::~LogCapture() { logger_set_target(LOG_TARGET_STDOUT, nullptr); }

bool LogCapture::contains(const std::string &needle) const { return count(needle) > 0; }

size_t LogCapture::count(const std::string &needle) const {
    return std::count_if(lines.begin(), lines.end(),
                         [&](const std::string &l) { return l.find(needle) != std::string::npos; });
}

std::string LogCapture::text() const {
    std::string t;
    for (auto &l : lines)
        t += l + "\n";
    return t;
}

void DeviceTest::open_device(uint64_t size, const char *engine) {
    static bool registered = false;
    if (!registered) {
        ioengine_plugin_register(&g_fake);
        registered = true;
    }
    fake() = FakeState{};
    if (path_.empty()) {
        path_ = dir_.path() + "/dev.img";
        tavtest::make_file(path_, static_cast<off_t>(size));
    }
    ASSERT_EQ(0, ioengine_default_init(tavtest::driver(), engine, path_.c_str(), O_RDWR));
    open_ = true;
}

void DeviceTest::close_device() {
    if (open_)
        ioengine_default_fini();
    open_ = false;
}

void DeviceTest::TearDown() { close_device(); }

void DeviceTest::co(std::function<void()> body) { ASSERT_TRUE(tavtest::run_coroutine(std::move(body))); }

std::vector<uint8_t> DeviceTest::read_bytes(uint64_t off, size_t len) const {
    std::vector<uint8_t> buf(len);
    int fd = open(path_.c_str(), O_RDONLY);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(static_cast<ssize_t>(len), pread(fd, buf.data(), len, static_cast<off_t>(off)));
    close(fd);
    return buf;
}

void DeviceTest::write_bytes(uint64_t off, const void *buf, size_t len) const {
    int fd = open(path_.c_str(), O_WRONLY);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(static_cast<ssize_t>(len), pwrite(fd, buf, len, static_cast<off_t>(off)));
    close(fd);
}

uint64_t xxh64_1011(const void *p, size_t len) { return XXH64(p, len, 1011); }

std::vector<uint8_t> expected_sb_page(const SbFields &f) {
    std::vector<uint8_t> pg(4096, 0);
    uint8_t *p = pg.data();
    memcpy(p + 8, "_TAVSB_", 8);  // with its terminating zero
    put64(p, 16, f.version);
    put64(p, 24, f.generation);
    put64(p, 32, 464);
    put32(p, 40, 1);
    MD5_CTX ctx;
    MD5Init(&ctx);
    MD5Update(&ctx, reinterpret_cast<const uint8_t *>(f.path.data()), f.path.size());
    MD5Final(p + 48, &ctx);
    const uint64_t inode_blocks = f.groups * 16384 * 4096 * 2 / MiB;
    const uint64_t first_bitmap = 1 + inode_blocks;
    const uint64_t pages = (f.blocks + 4079) / 4080;
    const uint64_t bitmap_blocks = std::max<uint64_t>(32, (pages + 255) / 256);
    put64(p, 64, f.state);
    put64(p, 72, MiB);
    put64(p, 80, f.blocks);
    put64(p, 88, 1);
    put64(p, 96, inode_blocks);
    put64(p, 104, first_bitmap);
    put64(p, 112, bitmap_blocks);
    put64(p, 120, first_bitmap + bitmap_blocks + 1);
    put64(p, 128, 16384 * f.groups);
    put64(p, 136, 4096);
    put64(p, 144, 16384);
    put64(p, 152, f.active);
    put64(p, 160, f.groups);
    put64(p, 168, f.ts_modify);
    put64(p, 176, f.ts_fsck);
    put64(p, 184, f.ts_format);
    put64(p, 192, 2592000);
    put64(p, 200, f.crash);
    put64(p, 208, 100);
    put64(p, 0, xxh64_1011(p + 8, 4088));
    return pg;
}

std::vector<uint8_t> expected_zmap_page(const uint8_t *map) {
    std::vector<uint8_t> pg(4096, 0);
    memcpy(pg.data(), "_blkbmp_", 8);
    if (map)
        memcpy(pg.data() + 16, map, 4080);
    put64(pg.data(), 8, xxh64_1011(pg.data() + 16, 4080));
    return pg;
}

}  // namespace ondisk
