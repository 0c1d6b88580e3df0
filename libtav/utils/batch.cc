// Request batching.  The checks are programming-error assertions, kept in
// every build type.
#include <assert.h>

#include "batch.h"

void batch_runner_init(batch_t *runner) {
    co_queue_init(&runner->queue_co);
    INIT_LIST_HEAD(&runner->queue_wait);
    INIT_LIST_HEAD(&runner->queue_done);
    runner->running = 0;
    runner->passes = 0;
}

TAV_COROUTINE_FN void batch_request_run(batch_t *runner, req_t *req, batch_process_fn batch_process,
                                        void *data) {
    req->done = 0;
    list_add_tail(&req->list, &runner->queue_wait);
    for (;;) {
        if (req->done) {
            list_del_init(&req->list);
            co_queue_next(&runner->queue_co);
            return;
        }
        if (runner->running) {
            co_queue_wait(&runner->queue_co);
            continue;
        }
        runner->running = 1;
        runner->passes++;
        list_head out;
        INIT_LIST_HEAD(&out);
        int n = batch_process(runner, &runner->queue_wait, &out, data);
        assert(n >= 1);
        int moved = 0;
        while (!list_empty(&out)) {
            req_t *r = list_entry(out.next, req_t, list);
            r->done = 1;
            list_move_tail(&r->list, &runner->queue_done);
            moved++;
        }
        assert(moved == n);
        (void)moved;
        runner->running = 0;
    }
}
