// Side F: the file API.  An instance formatted at the front of the target,
// started on the default loop with the "libaio" engine, and files created in
// it through the public entry points; requests go through
// tav_preadv_async/tav_pwritev_async, `depth` of them kept in flight from
// their callbacks.
#include <errno.h>
#include <ev.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/uio.h>

#include "bench.h"
#include "evdriver.h"
#include "inode.h"
#include "ioengine.h"
#include "super.h"
#include "coroutine.h"
#include "memory.h"

namespace bench {

namespace {

constexpr uint64_t kMiB = 1ull << 20;

struct ApiResult {
    bool done = false;
    int64_t ret = 0;
    uint32_t err = 0;
    tav *fs = nullptr;
    tav_fd *fd = nullptr;
};

void result_cbk(int64_t ret, uint32_t err, void *data) {
    ApiResult *r = static_cast<ApiResult *>(data);
    r->done = true;
    r->ret = ret;
    r->err = err;
}

struct ev_loop *default_loop() {
    return static_cast<struct ev_loop *>(evdriver_env()->handle);
}

// Runs the loop until the request's callback came.  A request whose entry
// point refused it has no callback: its error is the result.
int wait_result(int launched, ApiResult *r) {
    if (launched != 0)
        return launched;
    while (!r->done)
        ev_run(default_loop(), EVRUN_ONCE);
    return r->ret < 0 ? -(int)r->err : 0;
}

void file_name(int k, unsigned char name[16]) {
    // A fixed, valid (version 4) UUID per file index: never the null UUID.
    memset(name, 0, 16);
    memcpy(name, "tav_bench", 9);
    name[6] = 0x40;
    name[8] = 0x80;
    name[12] = (unsigned char)(k >> 24);
    name[13] = (unsigned char)(k >> 16);
    name[14] = (unsigned char)(k >> 8);
    name[15] = (unsigned char)(k + 1);
}

struct FormatJob {
    tav_sb_format_args args;
    int ret = -1;
    bool done = false;
};

int format_instance(const std::string &path, uint64_t blocks) {
    int r = ioengine_default_init(evdriver_env(), "libaio", path.c_str(), O_RDWR);
    if (r < 0)
        return r;
    FormatJob job;
    job.args = {blocks, 1, path.c_str()};
    Coroutine *co = coroutine_create(
        [](void *p) {
            FormatJob *j = static_cast<FormatJob *>(p);
            j->ret = tav_sb_format_instance(
                &j->args, [](void *, blkno_t b, uint64_t n) { return tav_inode_format(b, n); }, nullptr);
            j->done = true;
        },
        &job);
    if (co == nullptr) {
        ioengine_default_fini();
        return -ENOMEM;
    }
    coroutine_enter(co);
    while (!job.done)
        ev_run(default_loop(), EVRUN_ONCE);
    ioengine_default_fini();
    return job.ret;
}

// One request in flight: its slot's buffer, vector and start time.
struct FileSlot {
    struct FileRun *run;
    int index;
    bool write;
    uint64_t offset; // in the run's region
    uint64_t started;
    struct iovec iov;
};

struct FileRun {
    FileSide *f;
    const Workload *w;
    Issuer is;
    RunStats *st;
    bool timed;
    int inflight;
    // Slots whose request completed and that wait for their next one.  A
    // callback may run before its entry point returns; requests then go out
    // from the outermost call instead of nesting ever deeper.
    std::vector<int> idle;
    bool issuing;
    std::vector<FileSlot> slots;
};

void issue(FileRun *run);

void file_cbk(int64_t ret, uint32_t err, void *data) {
    FileSlot *s = static_cast<FileSlot *>(data);
    FileRun *run = s->run;
    run->inflight--;
    if (ret != (int64_t)run->w->bs) {
        if (run->st->err == 0) {
            run->st->err = ret < 0 ? (int)err : EIO;
            run->st->err_offset = s->offset;
            run->st->err_result = (long)(ret < 0 ? -(int64_t)err : ret);
        }
        run->is.failed = true;
    } else {
        if (run->timed)
            run->st->lat.add(now_ns() - s->started);
        run->st->requests++;
        run->st->bytes += run->w->bs;
    }
    run->idle.push_back(s->index);
    issue(run);
}

void issue(FileRun *run) {
    if (run->issuing)
        return;
    run->issuing = true;
    while (!run->idle.empty()) {
        FileSlot *s = &run->slots[(size_t)run->idle.back()];
        run->idle.pop_back();
        uint64_t off;
        bool write;
        if (!issuer_next(&run->is, &off, &write))
            continue;
        const uint64_t fsize = run->f->file_size;
        tav_fd *fd = run->f->fds[(size_t)(off / fsize)];
        s->write = write;
        s->offset = off;
        s->started = run->timed ? now_ns() : 0;
        run->inflight++;
        int r = write ? tav_pwritev_async(fd, &s->iov, 1, (off_t)(off % fsize), nullptr, nullptr, file_cbk, s)
                      : tav_preadv_async(fd, &s->iov, 1, (off_t)(off % fsize), nullptr, nullptr, file_cbk, s);
        if (r != 0) {
            run->inflight--;
            if (run->st->err == 0) {
                run->st->err = -r;
                run->st->err_offset = off;
                run->st->err_result = r;
            }
            run->is.failed = true;
        }
    }
    run->issuing = false;
}

uint64_t bounced_now() {
    const ioengine_status *s = ioengine_status_get(ioengine_get_default());
    return s->unaligned_read_count + s->unaligned_write_count;
}

} // namespace

uint64_t files_instance_blocks(uint64_t data_bytes) {
    tav_sb_ondisk dsb = {};
    uint64_t data_blocks = (data_bytes + kMiB - 1) / kMiB;
    // Extent pages and the files' other metadata come out of data blocks:
    // one block in 16 and a fixed reserve is ample room for them.
    dsb.s_blocks_count = data_blocks + data_blocks / 16 + 64;
    dsb.s_inode_max_group = 1;
    tav_sb_fill_default(&dsb);
    return dsb.s_first_data_block + data_blocks + data_blocks / 16 + 64;
}

int files_open(FileSide *f, const std::string &path, uint64_t blocks, int nfiles, uint64_t file_size,
               bool compressible) {
    f->path = path;
    f->blocks = blocks;
    f->nfiles = nfiles;
    f->file_size = file_size;
    f->compressible = compressible;
    int r = format_instance(path, blocks);
    if (r < 0) {
        fprintf(stderr, "tav_bench: formatting an instance of %llu MiB on %s failed: %s\n",
                (unsigned long long)blocks, path.c_str(), strerror(-r));
        return r;
    }
    // The instance's own engine is the thread's default one, over the same
    // path as the raw sides, so every side meets the same device.
    setenv("TAV_IOENGINE", "libaio", 1);
    ApiResult init;
    r = tav_init_async(
        evdriver_env(), path.c_str(), 3 /* writable, no lock file */,
        [](ssize_t ret, uint32_t err, void *data, tav *fs) {
            result_cbk(ret, err, data);
            static_cast<ApiResult *>(data)->fs = fs;
        },
        &init);
    r = wait_result(r, &init);
    if (r < 0) {
        fprintf(stderr, "tav_bench: starting the instance on %s failed: %s\n", path.c_str(), strerror(-r));
        return r;
    }
    f->fs = init.fs;
    const int flags = O_RDWR | (compressible ? 0 : TAV_FLAG_UNCOMPRESSIBLE);
    for (int k = 0; k < nfiles; k++) {
        unsigned char name[16];
        file_name(k, name);
        ApiResult cr;
        r = tav_create_async(
            f->fs, name, flags, 0644,
            [](int64_t ret, uint32_t err, void *data, tav_fd *fd) {
                result_cbk(ret, err, data);
                static_cast<ApiResult *>(data)->fd = fd;
            },
            &cr);
        r = wait_result(r, &cr);
        if (r < 0) {
            fprintf(stderr, "tav_bench: creating file %d in the instance failed: %s\n", k, strerror(-r));
            return r;
        }
        f->fds.push_back(cr.fd);
    }
    return 0;
}

int files_empty(FileSide *f) {
    for (size_t k = 0; k < f->fds.size(); k++) {
        ApiResult tr;
        int r = wait_result(tav_ftruncate_async(f->fds[k], 0, nullptr, nullptr, result_cbk, &tr), &tr);
        if (r < 0) {
            fprintf(stderr, "tav_bench: emptying file %zu failed: %s\n", k, strerror(-r));
            return r;
        }
    }
    f->written = false;
    return 0;
}

int files_run(FileSide *f, const Workload &w, const Limits &lim, uint64_t seed, const Buffers &bufs,
              RunStats *st) {
    *st = RunStats();
    if (w.alloc) {
        int r = files_empty(f);
        if (r < 0)
            return r;
    }
    FileRun run;
    run.f = f;
    run.w = &w;
    run.st = st;
    run.timed = lim.count == 0;
    run.inflight = 0;
    run.issuing = false;
    issuer_init(&run.is, w, 0, (uint64_t)f->nfiles * f->file_size, lim, seed);
    run.slots.resize((size_t)w.depth);
    for (int i = 0; i < w.depth; i++) {
        run.slots[(size_t)i] = {&run, i, false, 0, 0, {bufs.slot[(size_t)i], w.bs}};
        run.idle.push_back(w.depth - 1 - i); // slot 0 goes out first
    }
    const uint64_t bounced0 = bounced_now();

    const double cpu0 = cpu_seconds();
    const uint64_t t0 = now_ns();
    issuer_start(&run.is);
    issue(&run);
    while (run.inflight > 0)
        ev_run(default_loop(), EVRUN_ONCE);
    st->wall_s = (double)(now_ns() - t0) / 1e9;
    st->cpu_s = cpu_seconds() - cpu0;
    st->bounced = bounced_now() - bounced0;
    return 0;
}

int files_fill(FileSide *f, uint64_t seed) {
    Workload w = {"fill", kMiB, 4, true, false};
    Buffers bufs;
    if (buffers_alloc(&bufs, w.depth, w.bs) < 0)
        return -ENOMEM;
    const Limits lim = {0, (uint64_t)f->nfiles * f->file_size / kMiB};
    RunStats st;
    int r = files_run(f, w, lim, seed, bufs, &st);
    if (r == 0 && st.err != 0)
        r = -st.err;
    if (r < 0) {
        fprintf(stderr, "tav_bench: filling the files of the instance failed: %s\n", strerror(-r));
        return r;
    }
    f->written = true;
    return 0;
}

void files_close(FileSide *f) {
    for (tav_fd *fd : f->fds)
        tav_close(fd);
    f->fds.clear();
    if (f->fs != nullptr) {
        ApiResult fr;
        int r = wait_result(tav_fini(f->fs, result_cbk, &fr), &fr);
        if (r < 0)
            fprintf(stderr, "tav_bench: finishing the instance failed: %s\n", strerror(-r));
        f->fs = nullptr;
    }
}

} // namespace bench
