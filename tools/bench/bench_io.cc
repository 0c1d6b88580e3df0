// The request loops of the three sides: the raw libaio loop (A) and the
// coroutine loop through an engine (B, C), with the offset source they share.
#include <errno.h>
#include <ev.h>
#include <libaio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <time.h>

#include "bench.h"
#include "evdriver.h"
#include "ioengine.h"
#include "clock.h"
#include "coroutine.h"

namespace bench {

volatile sig_atomic_t g_interrupted;

uint64_t now_ns() {
    return tav_monotonic_ns();
}

double cpu_seconds() {
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return (double)ru.ru_utime.tv_sec + (double)ru.ru_utime.tv_usec / 1e6 + (double)ru.ru_stime.tv_sec +
           (double)ru.ru_stime.tv_usec / 1e6;
}

namespace {

uint64_t splitmix64(uint64_t x) {
    x += 0x9e3779b97f4a7c15ull;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
    return x ^ (x >> 31);
}

void record_failure(RunStats *st, int err, uint64_t offset, long result) {
    if (st->err != 0)
        return; // keep the first
    st->err = err;
    st->err_offset = offset;
    st->err_result = result;
}

} // namespace

void issuer_init(Issuer *is, const Workload &w, uint64_t region, const Limits &lim, uint64_t seed) {
    memset(is, 0, sizeof(*is));
    is->slots = region / w.bs;
    is->bs = w.bs;
    is->random = w.random;
    is->rng = splitmix64(seed) | 1; // xorshift state must not be 0
    is->count = lim.count;
    is->seconds = lim.seconds;
}

void issuer_start(Issuer *is) {
    is->deadline_ns = now_ns() + (uint64_t)(is->seconds * 1e9);
}

bool issuer_next(Issuer *is, uint64_t *offset) {
    if (g_interrupted || is->failed)
        return false;
    if (is->count != 0) {
        if (is->issued >= is->count)
            return false;
    } else if (now_ns() >= is->deadline_ns) {
        return false;
    }
    is->issued++;
    uint64_t slot;
    if (is->random) {
        uint64_t x = is->rng;
        x ^= x >> 12;
        x ^= x << 25;
        x ^= x >> 27;
        is->rng = x;
        slot = (x * 0x2545f4914f6cdd1dull) % is->slots;
    } else {
        slot = is->next_slot;
        is->next_slot = slot + 1 == is->slots ? 0 : slot + 1;
    }
    *offset = slot * is->bs;
    return true;
}

Buffers::~Buffers() {
    for (void *p : slot)
        free(p);
}

int buffers_alloc(Buffers *b, int depth, size_t bs) {
    for (int i = 0; i < depth; i++) {
        void *p = nullptr;
        if (posix_memalign(&p, 4096, bs) != 0)
            return -ENOMEM;
        b->slot.push_back(p);
        unsigned char *c = static_cast<unsigned char *>(p);
        for (size_t k = 0; k < bs; k++)
            c[k] = (unsigned char)((k * 131 + (size_t)i * 7) | 1);
    }
    return 0;
}

int raw_run(int fd, const Workload &w, uint64_t region, const Limits &lim, uint64_t seed, const Buffers &bufs,
            RunStats *st) {
    *st = RunStats();
    io_context_t ctx = nullptr;
    int r = io_setup(w.depth, &ctx);
    if (r < 0)
        return r;
    std::vector<struct iocb> cbs((size_t)w.depth);
    std::vector<struct io_event> events((size_t)w.depth);
    Issuer is;
    issuer_init(&is, w, region, lim, seed);
    int inflight = 0;

    // One request per io_submit, as the engine does.
    auto submit = [&](int slot) {
        uint64_t off;
        if (!issuer_next(&is, &off))
            return;
        struct iocb *cb = &cbs[(size_t)slot];
        if (w.write)
            io_prep_pwrite(cb, fd, bufs.slot[(size_t)slot], w.bs, (long long)off);
        else
            io_prep_pread(cb, fd, bufs.slot[(size_t)slot], w.bs, (long long)off);
        cb->data = reinterpret_cast<void *>((uintptr_t)slot);
        int s;
        do
            s = io_submit(ctx, 1, &cb);
        while (s == -EINTR);
        if (s != 1) {
            record_failure(st, s < 0 ? -s : EAGAIN, off, s);
            is.failed = true;
            return;
        }
        inflight++;
    };

    const double cpu0 = cpu_seconds();
    const uint64_t t0 = now_ns();
    issuer_start(&is);
    for (int i = 0; i < w.depth; i++)
        submit(i);
    while (inflight > 0) {
        int n = io_getevents(ctx, 1, w.depth, events.data(), nullptr);
        if (n == -EINTR)
            continue;
        if (n <= 0) {
            // Nothing can be reaped any more: io_destroy below waits for the
            // requests still in flight.
            record_failure(st, n < 0 ? -n : EIO, 0, n);
            break;
        }
        for (int i = 0; i < n; i++) {
            int slot = (int)(uintptr_t)events[(size_t)i].data;
            long res = (long)events[(size_t)i].res;
            inflight--;
            if (res != (long)w.bs) {
                record_failure(st, res < 0 ? (int)-res : EIO, (uint64_t)cbs[(size_t)slot].u.c.offset, res);
                is.failed = true;
                continue;
            }
            st->requests++;
            st->bytes += w.bs;
            submit(slot);
        }
    }
    st->wall_s = (double)(now_ns() - t0) / 1e9;
    st->cpu_s = cpu_seconds() - cpu0;
    io_destroy(ctx);
    return 0;
}

namespace {

struct EngineRun {
    ioengine *engine;
    const Workload *w;
    const Buffers *bufs;
    Issuer is;
    RunStats *st;
    int active;
    int next_slot;
};

// One of `depth` workers: a request at a time, each on its own buffer.
void engine_worker(void *arg) {
    EngineRun *run = static_cast<EngineRun *>(arg);
    void *buf = run->bufs->slot[(size_t)run->next_slot++];
    const size_t bs = run->w->bs;
    uint64_t off;
    while (issuer_next(&run->is, &off)) {
        ssize_t r = run->w->write ? ioengine_co_pwrite(run->engine, buf, bs, (off_t)off)
                                  : ioengine_co_pread(run->engine, buf, bs, (off_t)off);
        if (r != (ssize_t)bs) {
            record_failure(run->st, r < 0 ? (int)-r : EIO, off, (long)r);
            run->is.failed = true;
            break;
        }
        run->st->requests++;
        run->st->bytes += bs;
    }
    run->active--;
}

} // namespace

int engine_run(ioengine *engine, const Workload &w, uint64_t region, const Limits &lim, uint64_t seed,
               const Buffers &bufs, RunStats *st) {
    *st = RunStats();
    struct ev_loop *loop = static_cast<struct ev_loop *>(evdriver_env()->handle);
    EngineRun run = {};
    run.engine = engine;
    run.w = &w;
    run.bufs = &bufs;
    run.st = st;
    issuer_init(&run.is, w, region, lim, seed);
    const ioengine_status before = *ioengine_status_get(engine);
    int ret = 0;

    const double cpu0 = cpu_seconds();
    const uint64_t t0 = now_ns();
    issuer_start(&run.is);
    for (int i = 0; i < w.depth; i++) {
        Coroutine *co = coroutine_create(engine_worker, &run);
        if (co == nullptr) {
            ret = -ENOMEM;
            run.is.failed = true; // the workers already running drain and stop
            break;
        }
        run.active++;
        coroutine_enter(co);
    }
    while (run.active > 0)
        ev_run(loop, EVRUN_ONCE);
    st->wall_s = (double)(now_ns() - t0) / 1e9;
    st->cpu_s = cpu_seconds() - cpu0;

    // The caller fails a run with bounced requests: it would have measured a
    // copy the workload does not ask for.
    const ioengine_status *after = ioengine_status_get(engine);
    st->bounced = (after->unaligned_read_count - before.unaligned_read_count) +
                  (after->unaligned_write_count - before.unaligned_write_count);
    return ret;
}

} // namespace bench
