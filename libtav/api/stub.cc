// Request stubs: allocation and per-thread cache, launch, the common coroutine
// entry, statistics.
#include "stub.h"

#include <assert.h>
#include <errno.h>
#include <string.h>
#include <uuid/uuid.h>

#include "fd.h"
#include "instance.h"
#include "request.h"
#include "coroutine.h"
#include "logger.h"
#include "memory.h"

namespace {

thread_local list_head t_stub_cache = {nullptr, nullptr};
thread_local unsigned t_stub_cache_size;
uint64_t g_next_id = 1; // process-wide request counter

list_head *stub_cache() {
    if (t_stub_cache.next == nullptr)
        INIT_LIST_HEAD(&t_stub_cache);
    return &t_stub_cache;
}

uint64_t usec_of(const struct timespec &ts) {
    return static_cast<uint64_t>(ts.tv_sec) * 1000000 + static_cast<uint64_t>(ts.tv_nsec) / 1000;
}

void status_begin(tav_status *st, tav_op_t op) {
    fop_status *f = &st->fops[op];
    f->received_count++;
    uint64_t depth = f->received_count - f->finished_count;
    if (depth > f->max_depth)
        f->max_depth = depth;
}

} // namespace

tav_stub *tav_stub_new(tav *instance, tav_op_t op, void *cbk, void *data) {
    assert(instance && cbk && op >= 1 && op <= 32);
    tav_stub *stub;
    list_head *cache = stub_cache();
    if (!list_empty(cache)) {
        stub = list_entry(cache->next, tav_stub, list);
        list_del_init(&stub->list);
        t_stub_cache_size--;
        memset(stub, 0, sizeof(*stub));
    } else {
        stub = static_cast<tav_stub *>(tav_calloc(1, sizeof(tav_stub), TAV_MEM_STUB));
        if (stub == nullptr) {
            log_error("allocate stub for op:%d failed", op);
            return nullptr;
        }
    }
    stub->magic = TAV_STUB_MAGIC;
    stub->tav = tav_ref(instance);
    stub->op = op;
    stub->cbk = cbk;
    stub->data = data;
    stub->id = g_next_id++;
    INIT_LIST_HEAD(&stub->list);
    tav_stub_latnecy_begin(stub);
    return stub;
}

void tav_stub_free(tav_stub *stub) {
    assert(stub->magic == TAV_STUB_MAGIC);
    assert(stub->inode == nullptr);
    list_del_init(&stub->list);
    if (stub->args.iovec && stub->args.iovec != &stub->args.iovec_static)
        tav_free(stub->args.iovec);
    stub->args.iovec = nullptr;
    tav_stub_latnecy_end(stub);
    stub->magic = 0;
    tav *instance = stub->tav;
    stub->tav = nullptr;
    tav_unref(instance);
    if (t_stub_cache_size < TAV_STUB_CACHE_MAX) {
        list_add_tail(&stub->list, stub_cache());
        t_stub_cache_size++;
    } else {
        tav_free(stub);
    }
}

int tav_stub_launch(tav_stub *stub, tav_stub_handler_fn handler) {
    assert(stub->magic == TAV_STUB_MAGIC && stub->tav && stub->op && stub->cbk && handler);
    stub->handler = handler;
    Coroutine *co = coroutine_create(tav_common_wrapper, stub);
    if (co == nullptr) {
        log_error("create coroutine for op:%d failed", stub->op);
        return -ENOMEM;
    }
    coroutine_set_charge(co, &stub->charge);
    list_add_tail(&stub->list, &stub->tav->running_io);
    coroutine_enter(co);
    return 0;
}

TAV_COROUTINE_FN void tav_common_wrapper(void *arg) {
    tav_stub *stub = static_cast<tav_stub *>(arg);
    tav_fd *fd = stub->args.fd;
    bool by_name = false;
    if (fd != nullptr) {
        tav_fd_ref(fd);
        stub->inode = fd->inode;
    } else if (stub->op != TAV_OP_OPEN && !uuid_is_null(stub->args.name)) {
        by_name = true;
        int err = tav_request_find_inode(stub);
        if (err != 0) {
            tav_stub_complete(stub, -1, static_cast<uint32_t>(err));
            tav_stub_free(stub);
            coroutine_set_argument(coroutine_self(), nullptr);
            coroutine_set_charge(coroutine_self(), nullptr);
            return;
        }
    }

    tav_stub_status_begin(stub);
    stub->handler(stub);
    tav_stub_status_end(stub);

    if (fd != nullptr) {
        stub->inode = nullptr;
        stub->args.fd = nullptr;
        tav_fd_unref(fd);
    } else if (by_name) {
        tav_request_put_inode(stub);
    }
    tav_stub_free(stub);
    coroutine_set_argument(coroutine_self(), nullptr);
    coroutine_set_charge(coroutine_self(), nullptr);
}

void tav_stub_complete(tav_stub *stub, int64_t op_ret, uint32_t op_errno) {
    reinterpret_cast<tav_common_cbk_fn>(stub->cbk)(op_ret, op_errno, stub->data);
}

void tav_stub_complete_open(tav_stub *stub, int64_t op_ret, uint32_t op_errno, tav_fd *fd) {
    reinterpret_cast<tav_open_cbk_fn>(stub->cbk)(op_ret, op_errno, stub->data, fd);
}

void tav_stub_latnecy_begin(tav_stub *stub) {
    if (stub->tav->measure_latency)
        clock_gettime(CLOCK_MONOTONIC, &stub->ts_begin);
}

void tav_stub_latnecy_end(tav_stub *stub) {
    if (stub->ts_begin.tv_sec == 0 && stub->ts_begin.tv_nsec == 0)
        return;
    clock_gettime(CLOCK_MONOTONIC, &stub->ts_end);
    uint64_t delta = usec_of(stub->ts_end) - usec_of(stub->ts_begin);
    tav_latency *l = &stub->tav->status.fops[stub->op].latency;
    l->count++;
    l->total_usec += delta;
    if (delta > l->max_usec)
        l->max_usec = delta;
}

void tav_stub_status_begin(tav_stub *stub) {
    status_begin(&stub->tav->status, stub->op);
    tav_status *st = stub->inode ? tav_request_inode_status(stub->inode) : nullptr;
    if (st)
        status_begin(st, stub->op);
}

void tav_stub_status_end(tav_stub *stub) {
    stub->tav->status.fops[stub->op].finished_count++;
    tav_status *st = stub->inode ? tav_request_inode_status(stub->inode) : nullptr;
    if (st)
        st->fops[stub->op].finished_count++;
}

void tav_stub_bsrange_update(tav_stub *stub) {
    if (!stub->tav->measure_bsrange)
        return;
    if (stub->op != TAV_OP_READ && stub->op != TAV_OP_WRITE)
        return;
    size_t n = 0;
    for (int i = 0; i < stub->args.iovcnt; i++)
        n += stub->args.iovec[i].iov_len;
    stub->tav->status.bsrange[stub->op == TAV_OP_WRITE][tav_size_class(n)]++;
}

unsigned tav_stub_cache_size(void) {
    return t_stub_cache_size;
}
uint64_t tav_stub_next_id(void) {
    return g_next_id;
}

// The running coroutine's argument is a request stub when its magic is live.
// Coroutines whose argument object may die before they finish clear the
// argument first, so the magic is never read from freed memory.
tav_stub *tav_stub_current(void) {
    if (!in_coroutine())
        return nullptr;
    tav_stub *stub = static_cast<tav_stub *>(coroutine_get_argument(coroutine_self()));
    if (stub == nullptr || stub->magic != TAV_STUB_MAGIC)
        return nullptr;
    return stub;
}
