#include "support/fault_engine.h"

#include <algorithm>

#include "ioengine.h"

namespace tavtest {

const char *const kFaultEngine = "test-fault";

namespace {

FaultEngine g_state;
// The backend of the open engine.
const ioengine_plugin *g_backend = &ioengine_libaio_plugin;

size_t total(const struct iovec *iov, int n) {
    size_t t = 0;
    for (int i = 0; i < n; i++)
        t += iov[i].iov_len;
    return t;
}

bool overlaps(uint64_t a, uint64_t alen, uint64_t b, uint64_t blen) {
    return a < b + blen && b < a + alen;
}

// Whether the transfer is answered here (from the script or by a fault)
// instead of reaching the device; *result is then its result.
bool answered(bool write, uint64_t off, uint64_t len, ssize_t *result) {
    if (!g_state.script.empty()) {
        *result = g_state.script.front();
        g_state.script.pop_front();
        return true;
    }
    for (auto &f : g_state.faults) {
        if (f.write != write || f.remaining == 0 || !overlaps(off, len, f.off, f.len))
            continue;
        if (f.skip > 0) {
            f.skip--;
            continue;
        }
        if (f.remaining > 0)
            f.remaining--;
        *result = -f.err;
        return true;
    }
    return false;
}

// Records the transfer, then answers it or hands it to the backend.
TAV_COROUTINE_FN ssize_t transfer(bool write, ioengine *e, const struct iovec *iov, int n, off_t off) {
    const uint64_t len = total(iov, n);
    ssize_t r = 0;
    const bool forward = !answered(write, static_cast<uint64_t>(off), len, &r);
    g_state.transfers.push_back({write, static_cast<uint64_t>(off), len, forward});
    if (!forward)
        return r;
    return write ? g_backend->co_pwritev(e, iov, n, off) : g_backend->co_preadv(e, iov, n, off);
}

ssize_t fault_preadv(ioengine *e, const struct iovec *iov, int n, off_t off) {
    return transfer(false, e, iov, n, off);
}

ssize_t fault_pwritev(ioengine *e, const struct iovec *iov, int n, off_t off) {
    return transfer(true, e, iov, n, off);
}

ioengine_plugin g_plugin;

// The engine's context is the backend's, so every operation that is not
// faked here is the backend's own.
int fault_open(ioengine *e, ev_driver *driver, const char *path, int oflag) {
    const ioengine_plugin *b = ioengine_plugin_find(g_state.backend);
    if (b == nullptr || b == &g_plugin)
        return -EINVAL;
    g_backend = b;
    g_plugin.close = b->close;
    g_plugin.truncate = b->truncate;
    g_plugin.statdev = b->statdev;
    g_plugin.discard = b->discard;
    int r = b->open(e, driver, path, oflag);
    if (r == 0 && g_state.phy_blksz != 0)
        ioengine_set_phyblksz(e, g_state.phy_blksz);
    return r;
}

int fault_unmap(ioengine *, uint64_t offset, uint64_t size) {
    g_state.unmaps.push_back({offset, size});
    return 0;
}

// The number of bad-track ranges overlapping the query; the first `maxcnt`
// are returned clipped to it.
int fault_test_badtrack(ioengine *, uint64_t offset, uint64_t size, ioengine_range *ranges, int maxcnt) {
    int n = 0;
    for (const auto &b : g_state.badtracks) {
        if (!overlaps(offset, size, b.first, b.second))
            continue;
        if (ranges != nullptr && n < maxcnt) {
            uint64_t start = std::max(offset, b.first);
            uint64_t end = std::min(offset + size, b.first + b.second);
            ranges[n] = {start, end - start};
        }
        n++;
    }
    return n;
}

int fault_mark_badtrack(ioengine *, uint64_t offset, uint64_t size) {
    g_state.marked.push_back({offset, size});
    return 0;
}

int fault_clear_badtrack(ioengine *, uint64_t offset, uint64_t size) {
    g_state.cleared.push_back({offset, size});
    return 0;
}

ioengine_plugin make_plugin() {
    ioengine_plugin p = ioengine_libaio_plugin;
    p.name = kFaultEngine;
    p.open = fault_open;
    p.co_preadv = fault_preadv;
    p.co_pwritev = fault_pwritev;
    p.unmap = fault_unmap;
    p.test_badtrack = fault_test_badtrack;
    p.mark_badtrack = fault_mark_badtrack;
    p.clear_badtrack = fault_clear_badtrack;
    return p;
}

} // namespace

std::vector<FaultEngine::Transfer> FaultEngine::select(bool write, bool forwarded_only) const {
    std::vector<Transfer> out;
    for (const auto &t : transfers)
        if (t.write == write && (t.forwarded || !forwarded_only))
            out.push_back(t);
    return out;
}

FaultEngine &fault_engine() {
    static bool registered = [] {
        g_plugin = make_plugin();
        ioengine_plugin_register(&g_plugin);
        return true;
    }();
    (void)registered;
    return g_state;
}

} // namespace tavtest
