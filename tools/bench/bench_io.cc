// The request loops of the raw sides (A batched, R one request per call) and
// of the engine sides (B, C), with the offset source and the latency record
// every side shares.
#include <errno.h>
#include <ev.h>
#include <libaio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <time.h>

#include <algorithm>

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

uint64_t gcd(uint64_t a, uint64_t b) {
    while (b != 0) {
        uint64_t t = a % b;
        a = b;
        b = t;
    }
    return a;
}

uint64_t xorshift(uint64_t *state) {
    uint64_t x = *state;
    x ^= x >> 12;
    x ^= x << 25;
    x ^= x >> 27;
    *state = x;
    return x * 0x2545f4914f6cdd1dull;
}

} // namespace

void issuer_init(Issuer *is, const Workload &w, uint64_t base, uint64_t region, const Limits &lim,
                 uint64_t seed) {
    memset(is, 0, sizeof(*is));
    is->slots = region / w.bs;
    is->bs = w.bs;
    is->base = base;
    is->random = w.random;
    is->unique = w.alloc;
    is->write = w.write;
    is->read_pct = w.read_pct;
    is->rng = splitmix64(seed) | 1; // xorshift state must not be 0
    is->mix_rng = splitmix64(seed ^ 0x5bd1e995u) | 1;
    is->count = lim.count;
    is->seconds = lim.seconds;
    if (is->unique && is->random && is->slots > 1) {
        // A multiplier prime to the slot count makes i -> i * m + a a
        // permutation of the slots: every first write lands on a new one.
        uint64_t m = (splitmix64(seed + 1) % is->slots) | 1;
        while (gcd(m, is->slots) != 1)
            m = (m + 2) % is->slots;
        is->perm_mult = m;
        is->perm_add = splitmix64(seed + 2) % is->slots;
    }
}

void issuer_start(Issuer *is) {
    is->deadline_ns = now_ns() + (uint64_t)(is->seconds * 1e9);
}

bool issuer_next(Issuer *is, uint64_t *offset, bool *write) {
    if (g_interrupted || is->failed)
        return false;
    if (is->unique && is->issued >= is->slots)
        return false;
    if (is->count != 0) {
        if (is->issued >= is->count)
            return false;
    } else if (now_ns() >= is->deadline_ns) {
        return false;
    }
    uint64_t slot;
    if (is->unique && is->random) {
        slot = (unsigned __int128)is->issued * is->perm_mult % is->slots;
        slot = (slot + is->perm_add) % is->slots;
    } else if (is->random) {
        slot = xorshift(&is->rng) % is->slots;
    } else {
        slot = is->next_slot;
        is->next_slot = slot + 1 == is->slots ? 0 : slot + 1;
    }
    is->issued++;
    *offset = is->base + slot * is->bs;
    *write = is->read_pct < 0 ? is->write : (int)(xorshift(&is->mix_rng) % 100) >= is->read_pct;
    return true;
}

void LatencyHist::add(uint64_t ns) {
    count++;
    sum_ns += ns;
    int idx;
    if (ns < (uint64_t)kSub) {
        idx = (int)ns;
    } else {
        int msb = 63 - __builtin_clzll(ns);
        idx = (msb - 3) * kSub + (int)((ns >> (msb - 4)) & (kSub - 1));
    }
    bucket[(size_t)std::min(idx, kBuckets - 1)]++;
}

double LatencyHist::mean_us() const {
    return count ? (double)sum_ns / (double)count / 1e3 : 0;
}

double LatencyHist::quantile_us(double q) const {
    if (count == 0)
        return 0;
    uint64_t want = (uint64_t)(q * (double)count + 0.999999);
    if (want == 0)
        want = 1;
    uint64_t seen = 0;
    for (int i = 0; i < kBuckets; i++) {
        seen += bucket[(size_t)i];
        if (seen >= want) {
            // Upper edge of bucket i.
            if (i < kSub)
                return (double)(i + 1) / 1e3;
            int msb = i / kSub + 3;
            uint64_t lo = (1ull << msb) + ((uint64_t)(i % kSub) << (msb - 4));
            return (double)(lo + (1ull << (msb - 4))) / 1e3;
        }
    }
    return 0;
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

int raw_run(int fd, bool batched, const Workload &w, uint64_t base, uint64_t region, const Limits &lim,
            uint64_t seed, const Buffers &bufs, RunStats *st) {
    *st = RunStats();
    io_context_t ctx = nullptr;
    int r = io_setup(w.depth, &ctx);
    if (r < 0)
        return r;
    const size_t depth = (size_t)w.depth;
    std::vector<struct iocb> cbs(depth);
    std::vector<struct iocb *> ready(depth); // prepared, not yet submitted
    std::vector<uint64_t> started(depth);
    std::vector<struct io_event> events(depth);
    Issuer is;
    issuer_init(&is, w, base, region, lim, seed);
    const bool timed = lim.count == 0;
    size_t nready = 0;
    int inflight = 0;

    auto prepare = [&](int slot) {
        uint64_t off;
        bool write;
        if (!issuer_next(&is, &off, &write))
            return;
        struct iocb *cb = &cbs[(size_t)slot];
        if (write)
            io_prep_pwrite(cb, fd, bufs.slot[(size_t)slot], w.bs, (long long)off);
        else
            io_prep_pread(cb, fd, bufs.slot[(size_t)slot], w.bs, (long long)off);
        cb->data = reinterpret_cast<void *>((uintptr_t)slot);
        ready[nready++] = cb;
    };
    // Sends the prepared requests: all in one call when batched, else one
    // call each.  A request the kernel refuses fails the run.
    auto submit = [&]() {
        size_t done = 0;
        const uint64_t t = timed ? now_ns() : 0;
        while (done < nready) {
            long n = batched ? (long)(nready - done) : 1;
            int s = io_submit(ctx, n, &ready[done]);
            if (s == -EINTR)
                continue;
            if (s <= 0) {
                record_failure(st, s < 0 ? -s : EAGAIN, (uint64_t)ready[done]->u.c.offset, s);
                is.failed = true;
                break;
            }
            for (int i = 0; i < s; i++)
                started[(uintptr_t)ready[done + (size_t)i]->data] = t;
            done += (size_t)s;
            inflight += s;
        }
        nready = 0;
    };

    const double cpu0 = cpu_seconds();
    const uint64_t t0 = now_ns();
    issuer_start(&is);
    for (int i = 0; i < w.depth; i++)
        prepare(i);
    submit();
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
        const uint64_t t = timed ? now_ns() : 0;
        for (int i = 0; i < n; i++) {
            int slot = (int)(uintptr_t)events[(size_t)i].data;
            long res = (long)events[(size_t)i].res;
            inflight--;
            if (res != (long)w.bs) {
                record_failure(st, res < 0 ? (int)-res : EIO, (uint64_t)cbs[(size_t)slot].u.c.offset, res);
                is.failed = true;
                continue;
            }
            if (timed)
                st->lat.add(t - started[(size_t)slot]);
            st->requests++;
            st->bytes += w.bs;
            prepare(slot);
        }
        submit();
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
    const bool timed = run->is.count == 0;
    uint64_t off;
    bool write;
    while (issuer_next(&run->is, &off, &write)) {
        const uint64_t t = timed ? now_ns() : 0;
        ssize_t r = write ? ioengine_co_pwrite(run->engine, buf, bs, (off_t)off)
                          : ioengine_co_pread(run->engine, buf, bs, (off_t)off);
        if (r != (ssize_t)bs) {
            record_failure(run->st, r < 0 ? (int)-r : EIO, off, (long)r);
            run->is.failed = true;
            break;
        }
        if (timed)
            run->st->lat.add(now_ns() - t);
        run->st->requests++;
        run->st->bytes += bs;
    }
    run->active--;
}

} // namespace

int engine_run(ioengine *engine, const Workload &w, uint64_t base, uint64_t region, const Limits &lim,
               uint64_t seed, const Buffers &bufs, RunStats *st) {
    *st = RunStats();
    struct ev_loop *loop = static_cast<struct ev_loop *>(evdriver_env()->handle);
    EngineRun run = {};
    run.engine = engine;
    run.w = &w;
    run.bufs = &bufs;
    run.st = st;
    issuer_init(&run.is, w, base, region, lim, seed);
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
