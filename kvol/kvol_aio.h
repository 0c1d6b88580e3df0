// Volume I/O: requests in volume addresses, split along the mappings into
// per-device pieces and carried out with Linux AIO (vectored commands that
// signal the owner's eventfd) or synchronously with preadv/pwritev.
//
// Life of a request: prepared (pending_io) -> submitted (running_io), or
// waiting for room in the queue (blocking_io) first -> completed and freed.
// The volume owns each request from preparation until its completion
// function returns; the caller owns the buffers until then.  Buffers are
// used in place, so every piece's buffers must be aligned to 4096 bytes in
// address and length (a precondition).
//
// Completion functions run inside kvol_event_handler() on the owner's
// thread; they may prepare and submit new requests, but must not call
// kvol_fini().  At most aio_max (16384) pieces are in flight per volume.
//
// A backing device that cannot be opened fails the request (only the pieces
// before it are carried out); the process is never ended from here.
#ifndef KVOL_AIO_H
#define KVOL_AIO_H

#include <libaio.h>

#include "kvol_volume.h"

struct kvol_io_t;
struct kvol_iocbs_t;

struct kvol_split_t {
    kvol_io_t *io;
    int index;
    struct iovec *iovec; // the part of the caller's buffers this piece covers
    int iovcnt;
    struct iovec iov_one; // used when the piece needs a single entry
    uint64_t va_start;
    uint64_t pa_start; // va_start - mapping va_start + mapping pa_offset
    uint64_t pa_len;
    int64_t ret;
    kvol_mapping_t *mapping;
    int complete;
};

struct kvol_io_t {
    kvol_list link;
    int type; // KVOL_OP_WRITE or KVOL_OP_READ
    const struct iovec *iovec;
    int iovcnt;
    uint64_t va_start;
    uint64_t va_len;
    kvol_cbk_fn cbk;
    void *data;
    int64_t ret;
    kvol_split_t *splits;
    int split_count;
    int ready_count;
    int submitted;          // pieces accepted by the kernel
    kvol_split_t split_one; // a request within one mapping
};

struct kvol_iocb_data_t {
    kvol_split_t *split;
    kvol_iocbs_t *batch;
};

struct kvol_iocbs_t {
    struct iocb *iocbs;
    struct iocb **iocbspp;
    kvol_iocb_data_t *iocb_datas;
    uint32_t iocbcnt;     // pieces of the batch not yet completed
    struct iocb iocb_one; // a batch of one piece uses these
    struct iocb *iocbp_one;
    kvol_iocb_data_t data_one;
};

/* Test seam: replaces the kernel's result of each completed piece (for
 * device errors that real files cannot produce on demand).  Null: off. */
typedef long (*kvol_test_result_fn)(const kvol_split_t *split, long res);
void kvol_test_set_result_hook(kvol_test_result_fn fn);

#endif
