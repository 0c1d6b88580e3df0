// The "libaio" engine: a raw block device or a regular file served with Linux
// native AIO.  One vectored request per transfer; completions arrive on an
// eventfd watched by the caller's loop and every completion of a wake-up is
// harvested in one handler call.  A transfer started outside that handler is
// submitted at once; transfers started by the coroutines the handler resumes
// are held until the last of them has run and then go to the kernel in one
// io_submit, so a loop pass costs one submission call, not one per transfer.
#include <assert.h>
#include <errno.h>
#include <fcntl.h>
#include <libaio.h>
#include <linux/fs.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>

#include "ioengine.h"
#include "logger.h"
#include "memory.h"

namespace {

constexpr int kMaxEvents = 32768;
// Transfers held for one submission call; more in one pass go out in several.
constexpr int kMaxHeld = 256;

struct libaio_ctx {
    int fd;
    int evfd;
    int idx;
    io_context_t ioctx;
    ev_driver *driver;
    // Non-zero while the handler resumes coroutines: their transfers are
    // held in `held` and submitted together when the last of them has run.
    int in_handler;
    bool closing; // closed by a coroutine the handler resumed: released by the handler
    int nheld;
    struct iocb *held[kMaxHeld];
};

// One in-flight transfer, on the submitting coroutine's stack.
struct libaio_io {
    Coroutine *co;
    int64_t ret;
    libaio_io *next; // link in the handler's list of completed transfers
};

// Harvest buffer shared by every engine of the thread: 32768 events do not
// belong on a coroutine stack, and the handler runs outside coroutines, one
// call at a time.
thread_local struct io_event *t_events;

void libaio_release(ioengine *engine, libaio_ctx *ctx) {
    if (engine != nullptr)
        ioengine_set_priv(engine, nullptr);
    if (ctx->fd >= 0)
        close(ctx->fd);
    if (ctx->evfd >= 0) {
        if (ctx->driver)
            ctx->driver->ev_unregister(ctx->driver->handle, ctx->evfd, ctx->idx);
        close(ctx->evfd);
    }
    if (ctx->ioctx)
        io_destroy(ctx->ioctx);
    tav_free(ctx);
}

// Submits the held transfers, as many per call as the kernel takes.  A
// transfer the kernel refuses completes at once with the error (logged as a
// failed io_submit), as it would have when submitted alone.  Resumed
// coroutines may hold new transfers; they go out in the same loop.
void libaio_submit_held(libaio_ctx *ctx) {
    while (ctx->nheld > 0) {
        // Once closed, nothing more reaches the kernel.
        int r = ctx->closing ? -EBADF : io_submit(ctx->ioctx, ctx->nheld, ctx->held);
        if (r == -EINTR)
            continue;
        if (r > 0) {
            ctx->nheld -= r;
            memmove(ctx->held, ctx->held + r, sizeof(ctx->held[0]) * static_cast<size_t>(ctx->nheld));
            continue;
        }
        // The first held transfer is refused; the ones after it are tried
        // again in the next round.
        int err = r < 0 ? -r : EAGAIN;
        log_error("io_submit: %s", strerror(err));
        libaio_io *io = static_cast<libaio_io *>(ctx->held[0]->data);
        ctx->nheld--;
        memmove(ctx->held, ctx->held + 1, sizeof(ctx->held[0]) * static_cast<size_t>(ctx->nheld));
        io->ret = -err;
        coroutine_enter(io->co);
    }
}

int libaio_event_handler(int evfd, int idx, void *data, int poll_in, int poll_out, int poll_err) {
    libaio_ctx *ctx = static_cast<libaio_ctx *>(data);
    assert(poll_out == 0 && poll_err == 0);
    (void)poll_in;
    ctx->idx = idx;
    uint64_t n = 0;
    ssize_t r = read(evfd, &n, sizeof(n));
    if (r != static_cast<ssize_t>(sizeof(n))) {
        if (r < 0 && errno == EAGAIN)
            return 0; // spurious wake-up: nothing completed
        log_error("read evfd failed: %s", strerror(errno));
        abort();
    }
    if (t_events == nullptr) {
        t_events = static_cast<struct io_event *>(calloc(kMaxEvents, sizeof(struct io_event)));
        if (t_events == nullptr)
            abort();
    }
    // Every completion of this wake-up is harvested before any coroutine
    // runs.  A woken coroutine may end the instance and close this engine:
    // the close then leaves the context to this handler, which releases it
    // once the coroutines have run.
    libaio_io *done = nullptr, **tail = &done;
    while (n > 0) {
        long want = static_cast<long>(std::min<uint64_t>(n, kMaxEvents));
        int got = io_getevents(ctx->ioctx, 1, want, t_events, nullptr);
        if (got == -EINTR)
            continue;
        assert(got > 0);
        for (int i = 0; i < got; i++) {
            libaio_io *io = static_cast<libaio_io *>(t_events[i].data);
            io->ret = static_cast<int64_t>(static_cast<long>(t_events[i].res));
            io->next = nullptr;
            *tail = io;
            tail = &io->next;
        }
        n -= static_cast<uint64_t>(got);
    }
    // A resumed coroutine that runs the loop itself may bring this handler
    // back; each call submits what its own coroutines held before it returns,
    // and only the outermost one releases a closed context.
    ctx->in_handler++;
    ioengine_pass_begin();
    while (done != nullptr) {
        libaio_io *next = done->next; // done lives on the stack of the coroutine entered now
        coroutine_enter(done->co);
        done = next;
    }
    ioengine_pass_end();
    libaio_submit_held(ctx);
    if (--ctx->in_handler == 0 && ctx->closing)
        libaio_release(nullptr, ctx);
    return 0;
}

int libaio_open(ioengine *engine, ev_driver *driver, const char *path, int oflag) {
    libaio_ctx *ctx = static_cast<libaio_ctx *>(tav_calloc(1, sizeof(libaio_ctx), TAV_MEM_IOENGINE));
    if (ctx == nullptr) {
        log_error("calloc: %s", strerror(ENOMEM));
        return -ENOMEM;
    }
    ctx->fd = -1;
    ctx->evfd = -1;

    int flags = oflag;
    ctx->fd = open(path, flags, 0666);
    if (ctx->fd < 0 && errno == EINVAL && (flags & O_DIRECT)) {
        log_warn("ignoring O_DIRECT flag");
        flags &= ~O_DIRECT;
        ctx->fd = open(path, flags, 0666);
    }
    if (ctx->fd < 0) {
        int err = errno;
        log_error("open %s: %s", path, strerror(err));
        tav_free(ctx);
        return -err;
    }

    ioengine_set_phyblksz(engine, IOENGINE_BLKSZ_512);
    int ssz = 0;
    if (ioctl(ctx->fd, BLKSSZGET, &ssz) == 0)
        ioengine_set_phyblksz(engine, static_cast<size_t>(ssz));

    int err = 0;
    ctx->evfd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (ctx->evfd < 0) {
        err = errno;
        log_error("eventfd: %s", strerror(err));
    } else if ((err = -io_setup(kMaxEvents, &ctx->ioctx)) != 0) {
        ctx->ioctx = nullptr;
        log_error("io_setup: %s", strerror(err));
    } else {
        int r = driver->ev_register(driver->handle, ctx->evfd, libaio_event_handler, ctx, 1, 0);
        if (r < 0) {
            err = r < -1 ? -r : (errno ? errno : EIO);
            log_error("ev_register: %s", strerror(err));
        }
    }
    if (err != 0) {
        libaio_release(engine, ctx);
        return -err;
    }
    ctx->driver = driver;
    ioengine_set_priv(engine, ctx);
    return 0;
}

void libaio_close(ioengine *engine) {
    libaio_ctx *ctx = static_cast<libaio_ctx *>(ioengine_get_priv(engine));
    if (ctx == nullptr)
        return;
    if (ctx->in_handler > 0) {
        // The handler that resumed the closing coroutine still walks its
        // list; it releases the context when it is done.
        ioengine_set_priv(engine, nullptr);
        ctx->closing = true;
        return;
    }
    libaio_release(engine, ctx);
}

TAV_COROUTINE_FN ssize_t libaio_co_rw(ioengine *engine, int is_write, const struct iovec *iov, int iovcnt,
                                      off_t offset) {
    assert(in_coroutine());
    assert(iovcnt > 0);
    libaio_ctx *ctx = static_cast<libaio_ctx *>(ioengine_get_priv(engine));
    libaio_io io = {coroutine_self(), 0, nullptr};
    struct iocb cb;
    struct iocb *cbs[1] = {&cb};
    if (is_write)
        io_prep_pwritev(&cb, ctx->fd, iov, iovcnt, offset);
    else
        io_prep_preadv(&cb, ctx->fd, iov, iovcnt, offset);
    io_set_eventfd(&cb, ctx->evfd);
    cb.data = &io;
    if (ctx->in_handler > 0) {
        // Held for the handler's submission call; the request record and
        // the iocb stay on this stack until the completion resumes it.
        if (ctx->nheld == kMaxHeld)
            libaio_submit_held(ctx);
        ctx->held[ctx->nheld++] = &cb;
        coroutine_yield();
        return static_cast<ssize_t>(io.ret);
    }
    int r = io_submit(ctx->ioctx, 1, cbs);
    if (r != 1) {
        int err = r < 0 ? -r : EAGAIN;
        log_error("io_submit: %s", strerror(err));
        return -err;
    }
    coroutine_yield();
    return static_cast<ssize_t>(io.ret);
}

TAV_COROUTINE_FN ssize_t libaio_co_preadv(ioengine *engine, const struct iovec *iov, int iovcnt,
                                          off_t offset) {
    return libaio_co_rw(engine, 0, iov, iovcnt, offset);
}

TAV_COROUTINE_FN ssize_t libaio_co_pwritev(ioengine *engine, const struct iovec *iov, int iovcnt,
                                           off_t offset) {
    return libaio_co_rw(engine, 1, iov, iovcnt, offset);
}

int libaio_statdev(ioengine *engine, ioengine_statdev *stat) {
    libaio_ctx *ctx = static_cast<libaio_ctx *>(ioengine_get_priv(engine));
    off_t size = lseek(ctx->fd, 0, SEEK_END);
    if (size < 0) {
        int err = errno;
        log_error("lseek %s: %ld(%s)", ioengine_get_path(engine), static_cast<long>(size), strerror(err));
        return -err;
    }
    stat->phy_length = stat->phy_avail_length = static_cast<uint64_t>(size);
    return 0;
}

int libaio_truncate(ioengine *engine, uint64_t length) {
    libaio_ctx *ctx = static_cast<libaio_ctx *>(ioengine_get_priv(engine));
    int r = ftruncate(ctx->fd, static_cast<off_t>(length));
    if (r < 0) {
        int err = errno;
        log_error("ftruncate %s: %d(%s)", ioengine_get_path(engine), r, strerror(err));
        return -err;
    }
    return 0;
}

} // namespace

ioengine_plugin ioengine_libaio_plugin = {
    .entry = {nullptr, nullptr},
    .name = "libaio",
    .open = libaio_open,
    .close = libaio_close,
    .truncate = libaio_truncate,
    .co_preadv = libaio_co_preadv,
    .co_pwritev = libaio_co_pwritev,
    .statdev = libaio_statdev,
    .unmap = nullptr,
    .discard = nullptr,
    .test_badtrack = nullptr,
    .mark_badtrack = nullptr,
    .clear_badtrack = nullptr,
};
