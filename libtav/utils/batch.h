// Request batching: concurrent requests against one shared object (an extent
// page) are served in groups by whichever coroutine gets there first.
//
// A caller embeds a req_t at the start of its own request record and calls
// batch_request_run.  The request is queued; when no batch is running, the
// caller becomes the runner and calls `batch_process` with every request
// queued so far.  The process takes one or more of them, serves them together
// (it may yield, e.g. on device I/O), moves them to `out` and returns how many
// it moved; requests that arrive meanwhile wait for the next batch.  A caller
// returns once its own request has been served, by itself or by another
// runner; results travel in the caller's own request record.
//
// Guarantees:
//   - only one coroutine at a time runs `batch_process` for a runner;
//   - requests are offered to the process in arrival order;
//   - every request is served by exactly one batch;
//   - a process that moves no request, or another number than it returns, is
//     a programming error (assertion).
//
// Threading: one thread; batch_request_run must run in a coroutine.
#ifndef TAV_UTILS_BATCH_H
#define TAV_UTILS_BATCH_H

#include <stdint.h>

#include "co_lock.h"
#include "coroutine.h"
#include "list.h"

/* A request of the batch runner; callers embed it at the start of their own
 * request record. */
typedef struct io_request {
    list_head list;
    int done;
} req_t;

typedef struct request_batch_runner {
    CoQueue queue_co;     /* coroutines waiting for their request */
    list_head queue_wait; /* requests not yet processed */
    list_head queue_done; /* processed requests not yet collected */
    int running;          /* a batch is being processed */
    uint64_t passes;      /* batches processed so far (for statistics and tests) */
} batch_t;

/* Takes one or more requests from `wait`, processes them together and moves
 * them to `out`; returns how many it moved (at least 1).  May yield. */
typedef TAV_COROUTINE_FN int (*batch_process_fn)(batch_t *runner, list_head *wait, list_head *out,
                                                 void *data);

void batch_runner_init(batch_t *runner);
/* Queues `req` and returns once a batch has processed it.  Only one
 * coroutine at a time runs `batch_process` for a runner. */
TAV_COROUTINE_FN void batch_request_run(batch_t *runner, req_t *req, batch_process_fn batch_process,
                                        void *data);

#endif
