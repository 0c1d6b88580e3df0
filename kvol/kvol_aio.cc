// Volume I/O: mapping requests to pieces, AIO submission and completion,
// closing of failing backing devices, synchronous I/O.
#include "kvol_aio.h"

#include <assert.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "kvol_badtrack.h"
#include "kvol_log.h"

namespace {

kvol_test_result_fn g_result_hook = nullptr;

constexpr int kReapChunk = 128;

bool is_aligned(const struct iovec &v) {
    return reinterpret_cast<uintptr_t>(v.iov_base) % 4096 == 0 && v.iov_len % 4096 == 0;
}

// Cuts [skip, skip + len) of the caller's buffers into `out`; returns the
// number of entries.
int cut_iovec(const struct iovec *iov, int iovcnt, uint64_t skip, uint64_t len, struct iovec *out) {
    int n = 0;
    for (int i = 0; i < iovcnt && len > 0; i++) {
        uint64_t l = iov[i].iov_len;
        if (skip >= l) {
            skip -= l;
            continue;
        }
        uint64_t take = l - skip < len ? l - skip : len;
        out[n].iov_base = static_cast<char *>(iov[i].iov_base) + skip;
        out[n].iov_len = take;
        assert(is_aligned(out[n]));
        n++;
        len -= take;
        skip = 0;
    }
    return n;
}

// Allocates a request with room for `pieces` pieces and their buffer arrays
// (from the volume's cache: nothing reaches malloc in steady state).
kvol_io_t *io_alloc(kvol_t *kvol, int pieces, int iovcnt) {
    size_t size = sizeof(kvol_io_t);
    if (pieces > 1)
        size += pieces * sizeof(kvol_split_t);
    if (iovcnt > 1)
        size += size_t(pieces) * iovcnt * sizeof(struct iovec);
    auto *io = static_cast<kvol_io_t *>(kvol_cache_alloc(kvol, size));
    if (io == nullptr)
        return nullptr;
    kvol_list_init(&io->link);
    char *tail = reinterpret_cast<char *>(io + 1);
    if (pieces > 1) {
        io->splits = reinterpret_cast<kvol_split_t *>(tail);
        tail += pieces * sizeof(kvol_split_t);
    } else {
        io->splits = &io->split_one;
    }
    if (iovcnt > 1)
        for (int i = 0; i < pieces; i++)
            io->splits[i].iovec = reinterpret_cast<struct iovec *>(tail) + size_t(i) * iovcnt;
    return io;
}

// Maps a request onto pieces.  0, or -1 when no byte can be mapped.
int kvol_io_map(kvol_t *kvol, kvol_io_t *io, int first, int last) {
    uint64_t done = 0, cur = io->va_start;
    int n = 0;
    for (int j = first; j <= last && done < io->va_len; j++) {
        kvol_mapping_t *m = kvol->mappings[j];
        if (m->state == KVOL_ST_UNAVAILABLE || m->state == KVOL_ST_RECYCLED || kvol_mapping_empty(m)) {
            kvol_log_error("device/file  %s has bad track, va_start %lu, len %ld",
                           m->path ? m->path : "(null)", cur, long(io->va_len - done));
            break;
        }
        uint64_t mend = m->va_start + m->va_length;
        uint64_t plen = mend - cur < io->va_len - done ? mend - cur : io->va_len - done;
        bool last_piece = false;
        if (m->state == KVOL_ST_BADTRACK) {
            kvol_range_t run;
            int r = kvol_bt_first_run(kvol, cur, plen, &run);
            if (r < 0) {
                kvol_log_error("kvol_test_badtracnk failed, va_start %ld, len %ld", long(cur), long(plen));
                break;
            }
            if (r == 1) {
                kvol_log_warn("find bad track: device/file %s, va_start %lu, len %ld.", m->path, run.start,
                              long(run.length));
                if (run.start > cur) {
                    plen = run.start - cur;
                    last_piece = true;
                }
            }
        }
        if (m->fd < 0 && kvol_mapping_open(kvol, m) < 0) {
            kvol_log_error("open device/file %s failed.\n", m->path ? m->path : "(null)");
            break;
        }
        kvol_split_t *s = &io->splits[n];
        s->io = io;
        s->index = n;
        if (io->iovcnt == 1) {
            s->iovec = &s->iov_one;
            s->iovcnt = cut_iovec(io->iovec, 1, done, plen, s->iovec);
        } else {
            s->iovcnt = cut_iovec(io->iovec, io->iovcnt, done, plen, s->iovec);
        }
        s->va_start = cur;
        s->pa_start = cur - m->va_start + m->pa_offset;
        s->pa_len = plen;
        s->mapping = m;
        s->ret = 0;
        n++;
        done += plen;
        cur += plen;
        if (last_piece)
            break;
    }
    if (done == 0)
        return -1;
    io->split_count = n;
    return 0;
}

bool args_ok(kvol_t *kvol, const struct iovec *iovec, int count, off_t offset, uint64_t *len) {
    if (kvol == nullptr || iovec == nullptr || count <= 0 || offset < 0)
        return false;
    uint64_t total = 0;
    for (int i = 0; i < count; i++) {
        if (iovec[i].iov_len > UINT64_MAX - total)
            return false;
        total += iovec[i].iov_len;
    }
    *len = total;
    return kvol_range_valid(kvol, static_cast<uint64_t>(offset), total);
}

// Builds and maps a request; null (logged) when it cannot be mapped.
// *err receives -22 for bad arguments, -1 for a mapping failure.
kvol_io_t *io_create(kvol_t *kvol, int type, const struct iovec *iovec, int count, off_t offset, int *err) {
    uint64_t len = 0;
    *err = -EINVAL;
    if (!args_ok(kvol, iovec, count, offset, &len)) {
        kvol_log_error("kvol io invalid argument, optype: %d, iovcnt %d, va_start %ld, va_len %lu", type,
                       count, long(offset), len);
        return nullptr;
    }
    uint64_t va = static_cast<uint64_t>(offset);
    int first = kvol_find_mapping(kvol, va);
    int last = kvol_find_mapping(kvol, va + len - 1);
    *err = -1;
    if (first < 0 || last < 0) {
        kvol_log_error("lookup mapping failed, va_start %ld, va_len %lu, first %d, last %d", long(offset),
                       len, first, last);
        return nullptr;
    }
    int pieces = last - first + 1;
    if (static_cast<uint32_t>(pieces) > kvol->aio_max) {
        kvol_log_error("request of %d pieces exceeds the queue bound %u", pieces, kvol->aio_max);
        *err = -EINVAL;
        return nullptr;
    }
    kvol_io_t *io = io_alloc(kvol, pieces, count);
    if (io == nullptr)
        return nullptr;
    io->type = type;
    io->iovec = iovec;
    io->iovcnt = count;
    io->va_start = va;
    io->va_len = len;
    if (kvol_io_map(kvol, io, first, last) < 0) {
        kvol_log_error("kvol_io_map failed, optype: %d, iovcnt %u, va_start %ld, va_len %lu, split_count %u",
                       type, unsigned(count), long(offset), len, unsigned(pieces));
        kvol_cache_free(kvol, io);
        return nullptr;
    }
    return io;
}

// Gives up on a backing device that keeps failing; the next request to the
// mapping opens it again.
void close_check(kvol_t *kvol, const kvol_split_t *s) {
    kvol_mapping_t *m = s->mapping;
    if (m->io_inflight > 0 || m->continuous_error <= kvol->max_continuous_error)
        return;
    kvol_log_warn("try to close depend device/file %s, fd: %d, split->ret(errno): %u, continuous_error: %lu",
                  m->path, m->fd, unsigned(-s->ret), m->continuous_error);
    if (s->ret == -EBADF) {
        m->fd = -1;
        return;
    }
    kvol_mapping_close(kvol, m);
    if (s->ret == -EIO) {
        m->ts_failed = kvol_now();
        kvol_log_warn("can not access device/file %s, close it.", m->path);
    }
}

void note_result(kvol_split_t *s, long res) {
    s->ret = res > static_cast<long>(s->pa_len) ? static_cast<long>(s->pa_len) : res;
    s->complete = 1;
    if (s->ret == -EIO)
        s->mapping->continuous_error++;
    else
        s->mapping->continuous_error = 0;
}

int64_t combine(const kvol_io_t *io) {
    if (io->splits[0].ret < 0)
        return io->splits[0].ret;
    int64_t sum = 0;
    for (int i = 0; i < io->split_count; i++) {
        const kvol_split_t &s = io->splits[i];
        if (s.ret > 0)
            sum += s.ret;
        if (s.ret < static_cast<int64_t>(s.pa_len))
            break;
    }
    return sum;
}

void finish(kvol_t *kvol, kvol_io_t *io) {
    int64_t result = combine(io);
    if (result < static_cast<int64_t>(io->va_len))
        for (int i = 0; i < io->split_count; i++)
            if (io->splits[i].ret <= 0)
                close_check(kvol, &io->splits[i]);
    kvol_list_del(&io->link);
    kvol_cbk_fn cbk = io->cbk;
    void *data = io->data;
    kvol_cache_free(kvol, io);
    cbk(kvol, static_cast<ssize_t>(result), data);
}

kvol_iocbs_t *batch_alloc(kvol_t *kvol, uint32_t cnt) {
    if (cnt == 1) {
        auto *b = static_cast<kvol_iocbs_t *>(kvol_cache_alloc(kvol, sizeof(kvol_iocbs_t)));
        if (b != nullptr) {
            b->iocbs = &b->iocb_one;
            b->iocbspp = &b->iocbp_one;
            b->iocb_datas = &b->data_one;
        }
        return b;
    }
    size_t size =
        sizeof(kvol_iocbs_t) + cnt * (sizeof(struct iocb) + sizeof(struct iocb *) + sizeof(kvol_iocb_data_t));
    auto *b = static_cast<kvol_iocbs_t *>(kvol_cache_alloc(kvol, size));
    if (b == nullptr)
        return nullptr;
    char *tail = reinterpret_cast<char *>(b + 1);
    b->iocbs = reinterpret_cast<struct iocb *>(tail);
    tail += cnt * sizeof(struct iocb);
    b->iocbspp = reinterpret_cast<struct iocb **>(tail);
    tail += cnt * sizeof(struct iocb *);
    b->iocb_datas = reinterpret_cast<kvol_iocb_data_t *>(tail);
    return b;
}

// Submits every request of `list` as one batch; the requests move to
// running_io.  Requests of which the kernel accepted no piece are moved to
// `dropped` (no completion will come for them); a request with some pieces
// accepted completes later, its other pieces failed with the submit error.
// Returns the number of pieces accepted, and the error through *err.
int submit_list(kvol_t *kvol, kvol_list *list, kvol_list *dropped, int *err) {
    *err = 0;
    uint32_t cnt = 0;
    for (kvol_list *p = list->next; p != list; p = p->next)
        cnt += kvol_container_of(p, kvol_io_t, link)->split_count;
    kvol_iocbs_t *batch = batch_alloc(kvol, cnt);
    if (batch == nullptr) {
        kvol_log_error("new_kvol_iocbs failed, cnt %u", cnt);
        *err = -ENOMEM;
        kvol_list_splice_tail(list, dropped);
        return 0;
    }
    uint32_t k = 0;
    for (kvol_list *p = list->next; p != list; p = p->next) {
        kvol_io_t *io = kvol_container_of(p, kvol_io_t, link);
        for (int i = 0; i < io->split_count; i++, k++) {
            kvol_split_t *s = &io->splits[i];
            struct iocb *cb = &batch->iocbs[k];
            if (io->type == KVOL_OP_READ)
                io_prep_preadv(cb, s->mapping->fd, s->iovec, s->iovcnt, static_cast<long long>(s->pa_start));
            else
                io_prep_pwritev(cb, s->mapping->fd, s->iovec, s->iovcnt, static_cast<long long>(s->pa_start));
            io_set_eventfd(cb, kvol->evfd);
            batch->iocb_datas[k] = {s, batch};
            cb->data = &batch->iocb_datas[k];
            batch->iocbspp[k] = cb;
        }
    }
    kvol_list_splice_tail(list, &kvol->running_io);
    uint32_t accepted = 0;
    while (accepted < cnt) {
        int r = io_submit(kvol->aio_ctx, cnt - accepted, batch->iocbspp + accepted);
        if (r == -EINTR)
            continue;
        if (r <= 0) {
            kvol_log_error(
                "io_submit failed, currnet_aio_depth %u, %d submitted, cnt %u, ret %d, errno .%d \n",
                kvol->aio_depth, int(accepted), cnt, r, -r);
            *err = r < 0 ? r : -EAGAIN;
            break;
        }
        for (int i = 0; i < r; i++) {
            kvol_split_t *s = batch->iocb_datas[accepted + i].split;
            s->mapping->io_inflight++;
            s->io->submitted++;
        }
        accepted += r;
    }
    kvol->aio_depth += accepted;
    batch->iocbcnt = accepted;
    if (accepted < cnt) {
        // Pieces the kernel did not take complete now with the error.
        for (uint32_t i = accepted; i < cnt; i++) {
            kvol_split_t *s = batch->iocb_datas[i].split;
            note_result(s, *err);
            s->io->ready_count++;
        }
        for (uint32_t i = accepted; i < cnt; i++) {
            kvol_io_t *io = batch->iocb_datas[i].split->io;
            if (io->submitted == 0 && io->ready_count == io->split_count) {
                io->ready_count = -1; // moved once
                kvol_list_del(&io->link);
                kvol_list_add_tail(&io->link, dropped);
            }
        }
        if (accepted == 0)
            kvol_cache_free(kvol, batch);
    }
    return static_cast<int>(accepted);
}

void free_list(kvol_t *kvol, kvol_list *list) {
    while (!kvol_list_empty(list)) {
        kvol_io_t *io = kvol_container_of(list->next, kvol_io_t, link);
        kvol_list_del(&io->link);
        kvol_cache_free(kvol, io);
    }
}

// Moves blocked requests, in order, into the queue while there is room.
// A request that the kernel refuses completes at once with the error.
void resubmit_blocked(kvol_t *kvol) {
    while (!kvol_list_empty(&kvol->blocking_io)) {
        kvol_io_t *io = kvol_container_of(kvol->blocking_io.next, kvol_io_t, link);
        if (kvol->aio_depth + io->split_count > kvol->aio_max)
            break;
        kvol_list one, dropped;
        kvol_list_init(&one);
        kvol_list_init(&dropped);
        kvol_list_del(&io->link);
        kvol_list_add_tail(&io->link, &one);
        int err;
        submit_list(kvol, &one, &dropped, &err);
        if (!kvol_list_empty(&dropped)) {
            kvol_list_del(&io->link);
            kvol_cbk_fn cbk = io->cbk;
            void *data = io->data;
            kvol_cache_free(kvol, io);
            cbk(kvol, err, data);
        }
    }
}

int prep(kvol_t *kvol, int type, const struct iovec *iovec, int count, off_t offset, kvol_cbk_fn cbk,
         void *data) {
    if (cbk == nullptr) {
        kvol_log_error("kvol aio prep without callback, optype: %d", type);
        return -EINVAL;
    }
    int err;
    kvol_io_t *io = io_create(kvol, type, iovec, count, offset, &err);
    if (io == nullptr)
        return err;
    io->cbk = cbk;
    io->data = data;
    kvol_list_add_tail(&io->link, &kvol->pending_io);
    return 0;
}

ssize_t sync_io(kvol_t *kvol, int type, const struct iovec *iovec, int count, off_t offset) {
    int err;
    kvol_io_t *io = io_create(kvol, type, iovec, count, offset, &err);
    if (io == nullptr)
        return err;
    ssize_t result = 0;
    for (int i = 0; i < io->split_count; i++) {
        kvol_split_t *s = &io->splits[i];
        int fd = s->mapping->fd;
        ssize_t r;
        do {
            r = type == KVOL_OP_READ ? preadv(fd, s->iovec, s->iovcnt, static_cast<off_t>(s->pa_start))
                                     : pwritev(fd, s->iovec, s->iovcnt, static_cast<off_t>(s->pa_start));
        } while (r < 0 && errno == EINTR);
        if (r < 0) {
            r = -errno; // taken before logging, which may change errno
            result = r;
            kvol_log_error("sync io error, optype: %d, iovcnt %u, va_start %ld, va_len %lu, split_count %u",
                           type, unsigned(count), long(offset), io->va_len, unsigned(io->split_count));
        } else if (result >= 0) {
            result += r;
        }
        note_result(s, r);
        if (s->ret <= 0)
            close_check(kvol, s);
        if (s->ret < static_cast<int64_t>(s->pa_len))
            break;
    }
    kvol_cache_free(kvol, io);
    return result;
}

} // namespace

void kvol_test_set_result_hook(kvol_test_result_fn fn) {
    g_result_hook = fn;
}

extern "C" {

KVOL_API void kvol_set_eventfd(kvol_t *kvol, int fd) {
    if (kvol != nullptr && fd >= 0)
        kvol->evfd = fd;
}

KVOL_API int kvol_aio_prep_preadv(kvol_t *kvol, const struct iovec *iovec, int count, off_t offset,
                                  kvol_cbk_fn cbk, void *data) {
    return prep(kvol, KVOL_OP_READ, iovec, count, offset, cbk, data);
}

KVOL_API int kvol_aio_prep_pwritev(kvol_t *kvol, const struct iovec *iovec, int count, off_t offset,
                                   kvol_cbk_fn cbk, void *data) {
    return prep(kvol, KVOL_OP_WRITE, iovec, count, offset, cbk, data);
}

KVOL_API int kvol_aio_submit(kvol_t *kvol, int *sub_cnt) {
    if (sub_cnt != nullptr)
        *sub_cnt = 0;
    if (kvol == nullptr || kvol_list_empty(&kvol->pending_io))
        return -EINVAL;
    kvol_list dropped;
    kvol_list_init(&dropped);
    if (kvol->evfd < 0 || kvol->aio_ctx == nullptr) {
        kvol_log_error("kvol aio submit without eventfd or aio context, path %s", kvol->path);
        free_list(kvol, &kvol->pending_io);
        return -1;
    }
    uint32_t cnt = 0;
    for (kvol_list *p = kvol->pending_io.next; p != &kvol->pending_io; p = p->next)
        cnt += kvol_container_of(p, kvol_io_t, link)->split_count;
    // Requests wait behind blocked ones, and while the queue is too full;
    // completions submit them in order (kvol_event_handler).
    if (!kvol_list_empty(&kvol->blocking_io) ||
        (cnt + kvol->aio_depth > kvol->aio_max && kvol->aio_depth > 0)) {
        kvol_list_splice_tail(&kvol->pending_io, &kvol->blocking_io);
        return 0;
    }
    int accepted = 0, err = 0;
    if (cnt + kvol->aio_depth <= kvol->aio_max) {
        accepted = submit_list(kvol, &kvol->pending_io, &dropped, &err);
    } else {
        // Nothing in flight, and the prepared requests do not fit together:
        // submit them one by one, the rest wait for room.
        while (!kvol_list_empty(&kvol->pending_io)) {
            kvol_io_t *io = kvol_container_of(kvol->pending_io.next, kvol_io_t, link);
            if (kvol->aio_depth + io->split_count > kvol->aio_max) {
                kvol_list_splice_tail(&kvol->pending_io, &kvol->blocking_io);
                break;
            }
            kvol_list one;
            kvol_list_init(&one);
            kvol_list_del(&io->link);
            kvol_list_add_tail(&io->link, &one);
            int e;
            accepted += submit_list(kvol, &one, &dropped, &e);
            err = e != 0 ? e : err;
        }
    }
    if (sub_cnt != nullptr)
        *sub_cnt = accepted;
    if (kvol_list_empty(&dropped))
        return 0;
    free_list(kvol, &dropped);
    return -1;
}

KVOL_API void kvol_event_handler(kvol_t *kvol) {
    uint64_t counter = 0;
    ssize_t n;
    do {
        n = read(kvol->evfd, &counter, sizeof(counter));
    } while (n < 0 && errno == EINTR);
    if (n != sizeof(counter)) {
        kvol_log_error("ready_aio_cnt failed.");
        return;
    }
    if (counter > kvol->aio_depth) {
        kvol_log_error("ready_aio_cnt %lu above aio depth %u", counter, kvol->aio_depth);
        counter = kvol->aio_depth;
    }
    kvol->aio_depth -= static_cast<uint32_t>(counter);
    struct io_event events[kReapChunk];
    uint64_t remaining = counter;
    while (remaining > 0) {
        long nr = remaining < kReapChunk ? long(remaining) : kReapChunk;
        struct timespec timeout = {1, 0};
        int r = io_getevents(kvol->aio_ctx, 1, nr, events, &timeout);
        if (r < 0) {
            kvol_log_error("io_getevents failed, nr(cnt) = %lu, ret %ld", remaining, long(r));
            if (r == -EINTR)
                continue;
            break;
        }
        for (int i = 0; i < r; i++) {
            auto *d = static_cast<kvol_iocb_data_t *>(events[i].data);
            kvol_split_t *s = d->split;
            kvol_iocbs_t *batch = d->batch;
            kvol_io_t *io = s->io;
            long res = static_cast<long>(events[i].res);
            if (g_result_hook != nullptr)
                res = g_result_hook(s, res);
            note_result(s, res);
            s->mapping->io_inflight--;
            io->ready_count++;
            if (--batch->iocbcnt == 0)
                kvol_cache_free(kvol, batch);
            if (io->ready_count == io->split_count)
                finish(kvol, io);
        }
        remaining -= r;
    }
    resubmit_blocked(kvol);
}

KVOL_API ssize_t kvol_preadv(kvol_t *kvol, const struct iovec *iovec, int count, off_t offset) {
    return sync_io(kvol, KVOL_OP_READ, iovec, count, offset);
}

KVOL_API ssize_t kvol_writev(kvol_t *kvol, const struct iovec *iovec, int count, off_t offset) {
    return sync_io(kvol, KVOL_OP_WRITE, iovec, count, offset);
}

} // extern "C"
