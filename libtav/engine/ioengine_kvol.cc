// The "kvol" engine: the file system on a volume of the volume manager.
// Transfers are the volume's asynchronous requests; their completions are
// signalled on an eventfd owned by this engine and watched by the caller's
// loop.  The volume also gives bad-track queries, unmap and discard.
#include <assert.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "ioengine.h"
#include "kvol.h"
#include "logger.h"
#include "memory.h"

namespace {

struct vol_ctx {
    kvol_t *kvol;
    int ownership; // 1 when this engine opened the volume and closes it
    int evfd;
    int idx;
    ev_driver *driver;
    struct vol_io *done; // completed transfers, woken after the volume's handler
    struct vol_io **done_tail;
};

// One in-flight transfer, on the submitting coroutine's stack.
struct vol_io {
    Coroutine *co;
    ssize_t ret;
    vol_ctx *ctx;
    vol_io *next;
};

vol_ctx *ctx_of(ioengine *engine) {
    return static_cast<vol_ctx *>(ioengine_get_priv(engine));
}

void vol_release(ioengine *engine, vol_ctx *ctx) {
    ioengine_set_priv(engine, nullptr);
    if (ctx->evfd >= 0) {
        if (ctx->driver)
            ctx->driver->ev_unregister(ctx->driver->handle, ctx->evfd, ctx->idx);
        log_info("KVOL evfd: %d close", ctx->evfd);
        close(ctx->evfd);
    }
    if (ctx->kvol && ctx->ownership)
        kvol_fini(ctx->kvol);
    tav_free(ctx);
}

// The volume calls completion functions from inside its handler, and a woken
// coroutine may end the instance (closing this engine and the volume it
// owns).  So completions are only collected while the volume works; the
// coroutines run after it has returned, and neither the context nor the
// volume is touched once the first of them has been entered.
int ioengine_kvol_event_handler(int, int idx, void *data, int, int poll_out, int poll_err) {
    vol_ctx *ctx = static_cast<vol_ctx *>(data);
    assert(poll_out == 0 && poll_err == 0);
    ctx->idx = idx;
    kvol_event_handler(ctx->kvol);
    vol_io *io = ctx->done;
    ctx->done = nullptr;
    ctx->done_tail = &ctx->done;
    ioengine_pass_begin();
    while (io != nullptr) {
        vol_io *next = io->next; // io lives on the stack of the coroutine entered next
        coroutine_enter(io->co);
        io = next;
    }
    ioengine_pass_end();
    return 0;
}

void vol_cbk(kvol_t *, ssize_t ret, void *data) {
    vol_io *io = static_cast<vol_io *>(data);
    io->ret = ret;
    io->next = nullptr;
    *io->ctx->done_tail = io;
    io->ctx->done_tail = &io->next;
}

int vol_open(ioengine *engine, ev_driver *driver, const char *path, int oflag) {
    vol_ctx *ctx = static_cast<vol_ctx *>(tav_calloc(1, sizeof(vol_ctx), TAV_MEM_IOENGINE));
    if (ctx == nullptr) {
        log_error("calloc: %s", strerror(ENOMEM));
        return -ENOMEM;
    }
    ctx->evfd = -1;
    ctx->done_tail = &ctx->done;
    if (driver->priv != nullptr) {
        ctx->kvol = static_cast<kvol_t *>(driver->priv);
        ctx->ownership = 0;
    } else {
        ctx->kvol = kvol_init(path, oflag & ~O_DIRECT);
        if (ctx->kvol == nullptr) {
            // The volume's own log has the details; the caller gets the cause.
            int err = errno != 0 ? errno : EIO;
            log_error("kvol init failed, path: %s: %d(%s)", path, -err, strerror(err));
            vol_release(engine, ctx);
            return -err;
        }
        ctx->ownership = 1;
    }
    kvol_stat_t st;
    int ret = kvol_stat(ctx->kvol, &st);
    if (ret < 0) {
        log_error("kvol_stat: %d(%s)", ret, strerror(-ret));
        vol_release(engine, ctx);
        return ret;
    }
    // The block size comes from the volume's superblock: one this engine
    // cannot serve is a volume it cannot use, an I/O error for the caller.
    if (st.phy_blksz != IOENGINE_BLKSZ_512 && st.phy_blksz != IOENGINE_BLKSZ_4096) {
        log_error("invalid phy_blksz: %lu", static_cast<unsigned long>(st.phy_blksz));
        vol_release(engine, ctx);
        return -EIO;
    }
    // The volume moves the caller's buffers in place with direct I/O and
    // takes only whole 4096-byte units, so that is the unit the engine layer
    // must align (or bounce) to, also on a volume made on a 512-byte device:
    // a 512-byte unit would hand the volume requests it cannot take.
    ioengine_set_phyblksz(engine, IOENGINE_BLKSZ_4096);
    ctx->evfd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (ctx->evfd < 0) {
        int err = errno;
        log_error("eventfd: %s", strerror(err));
        vol_release(engine, ctx);
        return -err;
    }
    log_info("KVOL evfd: %d open", ctx->evfd);
    kvol_set_eventfd(ctx->kvol, ctx->evfd);
    ctx->driver = driver;
    if (driver->ev_register(driver->handle, ctx->evfd, ioengine_kvol_event_handler, ctx, 1, 0) < 0) {
        int err = errno ? errno : EIO;
        log_error("ev_register: %s", strerror(err));
        ctx->driver = nullptr;
        vol_release(engine, ctx);
        return -err;
    }
    ioengine_set_priv(engine, ctx);
    return 0;
}

void vol_close(ioengine *engine) {
    vol_ctx *ctx = ctx_of(engine);
    if (ctx)
        vol_release(engine, ctx);
}

TAV_COROUTINE_FN ssize_t vol_co_rw(ioengine *engine, bool is_write, const struct iovec *iov, int iovcnt,
                                   off_t offset) {
    assert(in_coroutine());
    assert(iovcnt >= 1);
    vol_ctx *ctx = ctx_of(engine);
    // The volume uses the buffers in place; it only takes whole 4096-byte
    // units at 4096-byte addresses.  An engine opened without O_DIRECT
    // passes unaligned requests through unchanged: they are refused here.
    for (int i = 0; i < iovcnt; i++) {
        if (reinterpret_cast<uintptr_t>(iov[i].iov_base) % IOENGINE_BLKSZ_4096 != 0 ||
            iov[i].iov_len % IOENGINE_BLKSZ_4096 != 0) {
            log_error("kvol transfer not aligned to %d bytes: offset %ld, segment %d base %p length %zu",
                      IOENGINE_BLKSZ_4096, static_cast<long>(offset), i, iov[i].iov_base, iov[i].iov_len);
            return -EINVAL;
        }
    }
    vol_io io = {coroutine_self(), 0, ctx, nullptr};
    int ret = is_write ? kvol_aio_prep_pwritev(ctx->kvol, iov, iovcnt, offset, vol_cbk, &io)
                       : kvol_aio_prep_preadv(ctx->kvol, iov, iovcnt, offset, vol_cbk, &io);
    if (ret < 0) {
        log_error(is_write ? "kvol_aio_prep_pwritev failed: %d(%s)" : "kvol_aio_prep_preadv failed: %d(%s)",
                  ret, strerror(-ret));
        return ret;
    }
    ret = kvol_aio_submit(ctx->kvol, nullptr);
    if (ret < 0) {
        log_error("kvol_aio_submit failed: %d(%s)", ret, strerror(-ret));
        return ret;
    }
    coroutine_yield();
    return io.ret;
}

TAV_COROUTINE_FN ssize_t vol_co_preadv(ioengine *engine, const struct iovec *iov, int iovcnt, off_t offset) {
    return vol_co_rw(engine, false, iov, iovcnt, offset);
}

TAV_COROUTINE_FN ssize_t vol_co_pwritev(ioengine *engine, const struct iovec *iov, int iovcnt, off_t offset) {
    return vol_co_rw(engine, true, iov, iovcnt, offset);
}

int vol_statdev(ioengine *engine, ioengine_statdev *stat) {
    kvol_stat_t st;
    int ret = kvol_stat(ctx_of(engine)->kvol, &st);
    if (ret < 0) {
        log_error("kvol_stat: %d(%s)", ret, strerror(-ret));
        return ret;
    }
    stat->phy_length = st.va_total;
    stat->phy_avail_length = st.va_avail;
    return 0;
}

int vol_do_unmap(ioengine *engine, uint64_t offset, uint64_t size) {
    return kvol_unmap(ctx_of(engine)->kvol, offset, size);
}

int vol_do_discard(ioengine *engine, uint64_t offset, uint64_t size) {
    return kvol_discard(ctx_of(engine)->kvol, offset, size);
}

int vol_do_test_badtrack(ioengine *engine, uint64_t offset, uint64_t size, ioengine_range *ranges,
                         int maxcnt) {
    static_assert(sizeof(ioengine_range) == sizeof(kvol_range_t));
    return kvol_test_badtrack(ctx_of(engine)->kvol, offset, size, reinterpret_cast<kvol_range_t *>(ranges),
                              maxcnt);
}

int vol_do_mark_badtrack(ioengine *engine, uint64_t offset, uint64_t size) {
    return kvol_mark_badtrack(ctx_of(engine)->kvol, offset, size);
}

int vol_do_clear_badtrack(ioengine *engine, uint64_t offset, uint64_t size) {
    return kvol_clear_badtrack(ctx_of(engine)->kvol, offset, size);
}

} // namespace

ioengine_plugin ioengine_kvol_plugin = {
    .entry = {nullptr, nullptr},
    .name = "kvol",
    .open = vol_open,
    .close = vol_close,
    .truncate = nullptr,
    .co_preadv = vol_co_preadv,
    .co_pwritev = vol_co_pwritev,
    .statdev = vol_statdev,
    .unmap = vol_do_unmap,
    .discard = vol_do_discard,
    .test_badtrack = vol_do_test_badtrack,
    .mark_badtrack = vol_do_mark_badtrack,
    .clear_badtrack = vol_do_clear_badtrack,
};
