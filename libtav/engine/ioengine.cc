// I/O engine layer: plug-in registry, engine records, the per-thread default
// engine, alignment handling with bounce buffers, counters and histograms.
#include "ioengine.h"

#include <assert.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>

#include "clock.h"
#include "co_lock.h"
#include "iovec.h"
#include "logger.h"
#include "memory.h"

namespace {

list_head g_registry = LIST_HEAD_INIT(g_registry);
bool g_builtin_registered;
thread_local ioengine *s_default_ioengine;

// The built-in plug-ins are registered before the first lookup, the volume
// engine first so that it wins for the default name.
void register_builtins() {
    if (g_builtin_registered)
        return;
    g_builtin_registered = true;
    list_add_tail(&ioengine_kvol_plugin.entry, &g_registry);
    list_add_tail(&ioengine_libaio_plugin.entry, &g_registry);
}

size_t iov_total(const struct iovec *iov, int iovcnt) {
    size_t n = 0;
    for (int i = 0; i < iovcnt; i++)
        n += iov[i].iov_len;
    return n;
}

uint64_t latency_begin(ioengine *e) {
    if (!e->measure_latency)
        return 0;
    return tav_monotonic_ns() / 1000;
}

void latency_end(ioengine *e, uint64_t start, int is_write) {
    if (start == 0)
        return;
    uint64_t delta = tav_monotonic_ns() / 1000 - start;
    tav_latency *l = &e->status.latency[is_write];
    l->count++;
    l->total_usec += delta;
    l->max_usec = std::max(l->max_usec, delta);
}

void bsrange_update(ioengine *e, size_t size, int is_write) {
    if (!e->measure_bsrange)
        return;
    e->status.bsrange_count[is_write][tav_size_class(size)]++;
}

bool io_is_aligned(ioengine *e, const struct iovec *iov, int iovcnt, off_t offset) {
    if (static_cast<uint64_t>(offset) % e->phy_blksz != 0) {
        e->status.unaligned_offset_count++;
        return false;
    }
    for (int i = 0; i < iovcnt; i++) {
        if (reinterpret_cast<uintptr_t>(iov[i].iov_base) % 4096 != 0) {
            e->status.unaligned_buffer_count++;
            return false;
        }
        if (iov[i].iov_len % e->phy_blksz != 0) {
            e->status.unaligned_length_count++;
            return false;
        }
    }
    return true;
}

int access_mode(ioengine *e) {
    return e->oflag & O_ACCMODE;
}

// Aligned cover of [offset, offset + len).
void aligned_cover(ioengine *e, off_t offset, size_t len, off_t *aoff, size_t *asize) {
    *aoff = offset - static_cast<off_t>(static_cast<uint64_t>(offset) % e->phy_blksz);
    size_t span = static_cast<size_t>(offset - *aoff) + len;
    *asize = (span + e->phy_blksz - 1) / e->phy_blksz * e->phy_blksz;
}

} // namespace

void ioengine_plugin_register(ioengine_plugin *plugin) {
    register_builtins();
    list_add_tail(&plugin->entry, &g_registry);
}

const ioengine_plugin *ioengine_plugin_find(const char *name) {
    assert(name && name[0]);
    register_builtins();
    list_head *pos;
    list_for_each(pos, &g_registry) {
        ioengine_plugin *p = list_entry(pos, ioengine_plugin, entry);
        if (strcmp(p->name, name) == 0) {
            assert(p->open && p->statdev && p->co_preadv && p->co_pwritev);
            return p;
        }
    }
    return nullptr;
}

ioengine *ioengine_init(ev_driver *driver, const char *backend, const char *path, int oflag) {
    const ioengine_plugin *plugin = ioengine_plugin_find(backend);
    if (plugin == nullptr) {
        log_error("ioengine plugin %s no found", backend);
        errno = EINVAL;
        return nullptr;
    }
    ioengine *e = static_cast<ioengine *>(tav_calloc(1, sizeof(ioengine), TAV_MEM_IOENGINE));
    if (e == nullptr) {
        log_error("allocate ioengine for %s failed", path);
        errno = ENOMEM;
        return nullptr;
    }
    int ret = plugin->open(e, driver, path, oflag);
    if (ret < 0) {
        log_error("open %s with ioengine plugin %s failed: %d(%s)", path, backend, ret, strerror(-ret));
        tav_free(e);
        errno = ret == -1 ? EIO : -ret;
        return nullptr;
    }
    if (e->phy_blksz != IOENGINE_BLKSZ_512 && e->phy_blksz != IOENGINE_BLKSZ_4096) {
        log_error("block size %lu of %s for ioengine %s not supported", e->phy_blksz, path, backend);
        if (plugin->close)
            plugin->close(e);
        tav_free(e);
        errno = EINVAL;
        return nullptr;
    }
    e->oflag = oflag;
    size_t plen = strlen(path) + 1;
    e->path = static_cast<char *>(tav_malloc(plen, TAV_MEM_IOENGINE));
    if (e->path == nullptr) {
        log_error("allocate ioengine->path for %s failed", path);
        if (plugin->close)
            plugin->close(e);
        tav_free(e);
        errno = ENOMEM;
        return nullptr;
    }
    memcpy(e->path, path, plen);
    e->plugin = plugin;
    e->measure_latency = 0;
    log_info("ioengine [%s] loaded, path: [%s], phy_blksz: [%lu]", backend, path, e->phy_blksz);
    return e;
}

void ioengine_fini(ioengine *engine) {
    assert(engine && engine->plugin);
    if (engine->plugin->close)
        engine->plugin->close(engine);
    tav_free(engine->path);
    tav_free(engine);
}

int ioengine_default_init(ev_driver *driver, const char *backend, const char *path, int oflag) {
    assert(s_default_ioengine == nullptr);
    s_default_ioengine = ioengine_init(driver, backend, path, oflag | O_DIRECT);
    return s_default_ioengine ? 0 : -errno;
}

void ioengine_default_fini(void) {
    assert(s_default_ioengine != nullptr);
    ioengine *e = s_default_ioengine;
    s_default_ioengine = nullptr;
    ioengine_fini(e);
}

ioengine *ioengine_get_default(void) {
    return s_default_ioengine;
}

const char *ioengine_get_path(ioengine *engine) {
    return engine->path;
}
int ioengine_get_oflag(ioengine *engine) {
    return engine->oflag;
}
size_t ioengine_get_blksz(ioengine *engine) {
    return engine->phy_blksz;
}
void ioengine_set_phyblksz(ioengine *engine, size_t blksz) {
    engine->phy_blksz = blksz;
}
void ioengine_set_priv(ioengine *engine, void *priv) {
    engine->priv = priv;
}
void *ioengine_get_priv(ioengine *engine) {
    return engine->priv;
}
const char *ioengine_actived_backend(ioengine *engine) {
    return engine->plugin->name;
}
ioengine_status *ioengine_status_get(ioengine *engine) {
    return &engine->status;
}
void ioengine_status_reset(ioengine *engine) {
    memset(&engine->status, 0, sizeof(engine->status));
}
void ioengine_latency_toggle(ioengine *engine, int onoff) {
    engine->measure_latency = onoff ? 1 : 0;
}
int ioengine_latency_enabled(ioengine *engine) {
    return engine->measure_latency;
}
void ioengine_latency_reset(ioengine *engine) {
    memset(engine->status.latency, 0, sizeof(engine->status.latency));
}
void ioengine_bsrange_toggle(ioengine *engine, int onoff) {
    engine->measure_bsrange = onoff ? 1 : 0;
}
int ioengine_bsrange_enabled(ioengine *engine) {
    return engine->measure_bsrange;
}
void ioengine_bsrange_reset(ioengine *engine) {
    memset(engine->status.bsrange_count, 0, sizeof(engine->status.bsrange_count));
}

int ioengine_statdev_get(ioengine *engine, ioengine_statdev *stat) {
    return engine->plugin->statdev(engine, stat);
}

void ioengine_dump(ioengine *engine) {
    const ioengine_status *s = &engine->status;
    log_trace("total_read_count: %lu", s->total_read_count);
    log_trace("total_write_count: %lu", s->total_write_count);
    log_trace("unaligned_read_count: %lu", s->unaligned_read_count);
    log_trace("unaligned_write_count: %lu", s->unaligned_write_count);
    log_trace("unaligned_offset_count: %lu", s->unaligned_offset_count);
    log_trace("unaligned_length_count: %lu", s->unaligned_length_count);
    log_trace("unaligned_buffer_count: %lu", s->unaligned_buffer_count);
}

namespace {

// The unaligned O_DIRECT path: the covering blocks go through a bounce
// buffer; a write reads them first and writes them back whole.  Returns the
// caller's bytes moved or a negative errno.
TAV_COROUTINE_FN ssize_t bounce_rw(ioengine *engine, bool is_write, const struct iovec *iov, int iovcnt,
                                   off_t offset, size_t total) {
    off_t aoff;
    size_t asize;
    aligned_cover(engine, offset, total, &aoff, &asize);
    void *bounce = tav_iobuf_get(asize, TAV_MEM_IOENGINE_ALIGNED_BUFFER);
    if (bounce == nullptr)
        return -ENOMEM;
    const size_t skip = static_cast<size_t>(offset - aoff);
    struct iovec one = {bounce, asize};
    // A write that covers its blocks whole has nothing to merge: no read.
    const bool whole = is_write && skip == 0 && asize == total;
    ssize_t ret = whole ? static_cast<ssize_t>(asize) : engine->plugin->co_preadv(engine, &one, 1, aoff);
    if (is_write) {
        if (ret != static_cast<ssize_t>(asize)) {
            log_error("co_preadv offset(%ld) return: %ld (expected: %lu)", static_cast<long>(aoff),
                      static_cast<long>(ret), asize);
            ret = -EIO;
        } else {
            iov_to_buf_full(iov, iovcnt, 0, static_cast<char *>(bounce) + skip, total);
            one = {bounce, asize};
            ret = engine->plugin->co_pwritev(engine, &one, 1, aoff);
        }
    }
    if (ret > 0) {
        // A transfer that ended before the caller's first byte moved none of it.
        size_t moved =
            static_cast<size_t>(ret) <= skip ? 0 : std::min(static_cast<size_t>(ret) - skip, total);
        if (!is_write && moved > 0)
            moved = iov_from_buf_full(iov, iovcnt, 0, static_cast<char *>(bounce) + skip, moved);
        ret = static_cast<ssize_t>(moved);
    }
    tav_iobuf_put(bounce);
    return ret;
}

// Both directions: access mode, statistics, then the aligned fast path (the
// request goes to the backend as it is, no copy) or the bounce path.
TAV_COROUTINE_FN ssize_t co_rw(ioengine *engine, bool is_write, const struct iovec *iov, int iovcnt,
                               off_t offset) {
    assert(engine && engine->plugin && iov && iovcnt >= 1);
    if (access_mode(engine) == (is_write ? O_RDONLY : O_WRONLY)) {
        log_error(is_write ? "ioengine %s is read only" : "ioengine %s is write only", engine->plugin->name);
        return -EBADF;
    }
    size_t total = iov_total(iov, iovcnt);
    bsrange_update(engine, total, is_write);
    uint64_t start = latency_begin(engine);
    if (is_write)
        engine->status.total_write_count++;
    else
        engine->status.total_read_count++;

    ssize_t ret;
    if (io_is_aligned(engine, iov, iovcnt, offset) || !(engine->oflag & O_DIRECT)) {
        ret = is_write ? engine->plugin->co_pwritev(engine, iov, iovcnt, offset)
                       : engine->plugin->co_preadv(engine, iov, iovcnt, offset);
    } else {
        if (is_write)
            engine->status.unaligned_write_count++;
        else
            engine->status.unaligned_read_count++;
        ret = bounce_rw(engine, is_write, iov, iovcnt, offset, total);
    }
    // Media errors of reads reach callers as plain I/O errors.
    if (!is_write && (ret == -ENODATA || ret == -EREMOTEIO))
        ret = -EIO;
    latency_end(engine, start, is_write);
    return ret;
}

} // namespace

namespace {

// Completion passes of this thread: their nesting depth and the coroutines
// waiting for the end of the current one.
thread_local int t_pass_depth;
thread_local CoQueue t_pass_waiters; // initialised by the thread's first pass

} // namespace

void ioengine_pass_begin(void) {
    if (t_pass_waiters.entries.last == nullptr)
        co_queue_init(&t_pass_waiters);
    t_pass_depth++;
}

void ioengine_pass_end(void) {
    assert(t_pass_depth > 0);
    // A resumed waiter may wait again (and run a nested pass): it goes to
    // the back and is resumed in this same loop.
    while (co_enter_next(&t_pass_waiters)) {
    }
    t_pass_depth--;
}

TAV_COROUTINE_FN void ioengine_co_pass_yield(void) {
    assert(in_coroutine());
    if (t_pass_depth > 0)
        co_queue_wait(&t_pass_waiters);
}

TAV_COROUTINE_FN ssize_t ioengine_co_preadv(ioengine *engine, const struct iovec *iov, int iovcnt,
                                            off_t offset) {
    return co_rw(engine, false, iov, iovcnt, offset);
}

TAV_COROUTINE_FN ssize_t ioengine_co_pwritev(ioengine *engine, const struct iovec *iov, int iovcnt,
                                             off_t offset) {
    return co_rw(engine, true, iov, iovcnt, offset);
}

namespace {

template <bool IsWrite>
TAV_COROUTINE_FN int co_rwvn(ioengine *engine, struct iovec *iov, int iovcnt, off_t offset) {
    if (IsWrite)
        engine->status.batch_write_count++;
    else
        engine->status.batch_read_count++;
    size_t total = iov_total(iov, iovcnt);
    size_t done = 0;
    while (done < total) {
        ssize_t r = IsWrite ? ioengine_co_pwritev(engine, iov, iovcnt, offset + static_cast<off_t>(done))
                            : ioengine_co_preadv(engine, iov, iovcnt, offset + static_cast<off_t>(done));
        if (r < 0)
            return static_cast<int>(r);
        if (r == 0)
            return -EIO;
        assert(static_cast<size_t>(r) <= total - done);
        done += static_cast<size_t>(r);
        // Consume the transferred bytes from the front of the caller's vector.
        size_t left = static_cast<size_t>(r);
        while (iovcnt > 0 && left >= iov->iov_len) {
            left -= iov->iov_len;
            iov++;
            iovcnt--;
        }
        if (left > 0) {
            iov->iov_base = static_cast<char *>(iov->iov_base) + left;
            iov->iov_len -= left;
        }
    }
    return 0;
}

} // namespace

TAV_COROUTINE_FN int ioengine_co_preadvn(ioengine *engine, struct iovec *iov, int iovcnt, off_t offset) {
    return co_rwvn<false>(engine, iov, iovcnt, offset);
}

TAV_COROUTINE_FN int ioengine_co_pwritevn(ioengine *engine, struct iovec *iov, int iovcnt, off_t offset) {
    return co_rwvn<true>(engine, iov, iovcnt, offset);
}

TAV_COROUTINE_FN ssize_t ioengine_co_pread(ioengine *engine, void *buf, size_t len, off_t offset) {
    assert(buf && len > 0);
    struct iovec one = {buf, len};
    return ioengine_co_preadv(engine, &one, 1, offset);
}

TAV_COROUTINE_FN ssize_t ioengine_co_pwrite(ioengine *engine, const void *buf, size_t len, off_t offset) {
    assert(buf && len > 0);
    struct iovec one = {const_cast<void *>(buf), len};
    return ioengine_co_pwritev(engine, &one, 1, offset);
}

TAV_COROUTINE_FN int ioengine_co_preadn(ioengine *engine, void *buf, size_t len, off_t offset) {
    assert(buf && len > 0);
    struct iovec one = {buf, len};
    return ioengine_co_preadvn(engine, &one, 1, offset);
}

TAV_COROUTINE_FN int ioengine_co_pwriten(ioengine *engine, const void *buf, size_t len, off_t offset) {
    assert(buf && len > 0);
    struct iovec one = {const_cast<void *>(buf), len};
    return ioengine_co_pwritevn(engine, &one, 1, offset);
}

int ioengine_truncate(ioengine *engine, uint64_t length) {
    return engine->plugin->truncate ? engine->plugin->truncate(engine, length) : 0;
}

int ioengine_unmap(ioengine *engine, uint64_t offset, uint64_t size) {
    assert(size > 0);
    return engine->plugin->unmap ? engine->plugin->unmap(engine, offset, size) : 0;
}

int ioengine_discard(ioengine *engine, uint64_t offset, uint64_t size) {
    assert(size > 0);
    return engine->plugin->discard ? engine->plugin->discard(engine, offset, size) : 0;
}

int ioengine_test_badtrack(ioengine *engine, uint64_t offset, uint64_t size, ioengine_range *badtracks,
                           int maxcnt) {
    assert(size > 0);
    return engine->plugin->test_badtrack
               ? engine->plugin->test_badtrack(engine, offset, size, badtracks, maxcnt)
               : 0;
}

int ioengine_mark_badtrack(ioengine *engine, uint64_t offset, uint64_t size) {
    assert(size > 0);
    return engine->plugin->mark_badtrack ? engine->plugin->mark_badtrack(engine, offset, size) : 0;
}

int ioengine_clear_badtrack(ioengine *engine, uint64_t offset, uint64_t size) {
    assert(size > 0);
    return engine->plugin->clear_badtrack ? engine->plugin->clear_badtrack(engine, offset, size) : 0;
}
