#include "files_support.h"

#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "ioengine.h"
#include "utils/coroutine.h"
#include "utils/logger.h"
#include "utils/memory.h"

namespace filestest {

namespace {

std::vector<Fault> g_faults;
std::vector<std::pair<uint64_t, uint64_t>> g_badtracks, g_unmaps, g_writes;
std::vector<std::string> g_log;

size_t total(const struct iovec *iov, int n) {
    size_t t = 0;
    for (int i = 0; i < n; i++)
        t += iov[i].iov_len;
    return t;
}

int injected(bool write, uint64_t off, uint64_t len) {
    for (auto &f : g_faults) {
        if (f.write != write || f.times == 0)
            continue;
        if (off < f.start + f.len && f.start < off + len) {
            if (f.times > 0)
                f.times--;
            return f.err;
        }
    }
    return 0;
}

ssize_t faulty_preadv(ioengine *e, const struct iovec *iov, int n, off_t off) {
    if (int err = injected(false, (uint64_t)off, total(iov, n)))
        return -err;
    return ioengine_libaio_plugin.co_preadv(e, iov, n, off);
}

ssize_t faulty_pwritev(ioengine *e, const struct iovec *iov, int n, off_t off) {
    if (int err = injected(true, (uint64_t)off, total(iov, n)))
        return -err;
    g_writes.push_back({(uint64_t)off, total(iov, n)});
    return ioengine_libaio_plugin.co_pwritev(e, iov, n, off);
}

int faulty_unmap(ioengine *, uint64_t offset, uint64_t size) {
    g_unmaps.push_back({offset, size});
    return 0;
}

int faulty_test_badtrack(ioengine *, uint64_t offset, uint64_t size, ioengine_range *, int) {
    for (auto &b : g_badtracks)
        if (offset < b.first + b.second && b.first < offset + size)
            return 1;
    return 0;
}

ioengine_plugin g_faulty = [] {
    ioengine_plugin p = ioengine_libaio_plugin;
    p.name = "files-faulty";
    p.co_preadv = faulty_preadv;
    p.co_pwritev = faulty_pwritev;
    p.unmap = faulty_unmap;
    p.test_badtrack = faulty_test_badtrack;
    return p;
}();

void capture(void *, int, const char *fmt, ...) {
    char line[8192];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof(line), fmt, ap);
    va_end(ap);
    g_log.emplace_back(line);
}

}  // namespace

void add_fault(const Fault &f) { g_faults.push_back(f); }
void clear_faults() { g_faults.clear(); }
void add_badtrack(uint64_t start, uint64_t len) { g_badtracks.push_back({start, len}); }
const std::vector<std::pair<uint64_t, uint64_t>> &unmaps() { return g_unmaps; }
const std::vector<std::pair<uint64_t, uint64_t>> &writes() { return g_writes; }
void clear_writes() { g_writes.clear(); }

void log_capture_start() {
    g_log.clear();
    logger_set_logger(capture, nullptr);
    logger_set_loglevel(LOG_LEVEL_TRACE);
}

void log_capture_stop() { logger_set_target(LOG_TARGET_STDOUT, nullptr); }

bool log_has(const std::string &text) { return log_count(text) > 0; }

int log_count(const std::string &text) {
    int n = 0;
    for (const auto &l : g_log)
        n += l.find(text) != std::string::npos;
    return n;
}

void log_clear() { g_log.clear(); }

bool run_in_stub(std::function<void()> body, tav_stub *stub) {
    tav_stub local;
    memset(&local, 0, sizeof(local));
    local.magic = TAV_STUB_MAGIC;
    local.op = TAV_OP_WRITE;
    tav_stub *s = stub ? stub : &local;
    return tavtest::run_coroutine([&] {
        Coroutine *self = coroutine_self();
        void *prev = coroutine_get_argument(self);
        coroutine_set_argument(self, s);
        body();
        coroutine_set_argument(self, prev);
    });
}

void DeviceTest::open_device(uint64_t size) {
    static bool registered = false;
    if (!registered) {
        ioengine_plugin_register(&g_faulty);
        registered = true;
    }
    clear_faults();
    g_badtracks.clear();
    g_unmaps.clear();
    g_writes.clear();
    tav_iobuf_pool_init();
    path_ = dir_.path() + "/dev.img";
    tavtest::make_file(path_, (off_t)size);
    ASSERT_EQ(0, ioengine_default_init(tavtest::driver(), "files-faulty", path_.c_str(), O_RDWR));
    open_ = true;
    log_capture_start();
}

void DeviceTest::TearDown() {
    log_capture_stop();
    if (open_)
        ioengine_default_fini();
    open_ = false;
    clear_faults();
    tav_iobuf_pool_fini();
}

std::vector<unsigned char> DeviceTest::read_raw(uint64_t off, size_t len) const {
    std::vector<unsigned char> out(len);
    int fd = open(path_.c_str(), O_RDONLY);
    EXPECT_GE(fd, 0);
    EXPECT_EQ((ssize_t)len, pread(fd, out.data(), len, (off_t)off));
    close(fd);
    return out;
}

void DeviceTest::write_raw(uint64_t off, const void *data, size_t len) const {
    int fd = open(path_.c_str(), O_WRONLY);
    EXPECT_GE(fd, 0);
    EXPECT_EQ((ssize_t)len, pwrite(fd, data, len, (off_t)off));
    fsync(fd);
    close(fd);
}

}  // namespace filestest
