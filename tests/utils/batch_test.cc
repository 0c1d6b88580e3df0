// Request batching: grouping and order of the batches, per-request results,
// and the process contract.
#include "batch.h"

#include <errno.h>
#include <gtest/gtest.h>

#include <vector>

#include "co_lock.h"
#include "coroutine.h"

namespace {

// A request as callers build it: the runner's record first, then their own.
struct Req {
    req_t req;
    int id;
    int result;
};

// What a batch does: takes at most `take` waiting requests in the order the
// runner offers them, fails the request `fail_id`, and yields on `gate`
// before it reports back, as a batch does on device I/O.
struct Host {
    batch_t runner;
    CoQueue gate;
    int take = 1 << 30;
    int fail_id = -1;
    std::vector<std::vector<int>> batches;
    int in_process = 0, overlapped = 0;
    int finished = 0;
};

int process(batch_t *runner, list_head *wait, list_head *out, void *data) {
    Host *h = static_cast<Host *>(data);
    EXPECT_EQ(&h->runner, runner);
    h->overlapped += h->in_process++;
    std::vector<int> ids;
    while (!list_empty(wait) && static_cast<int>(ids.size()) < h->take) {
        Req *r = list_entry(wait->next, Req, req.list);
        r->result = r->id == h->fail_id ? -EIO : 0;
        ids.push_back(r->id);
        list_move_tail(&r->req.list, out);
    }
    h->batches.push_back(ids);
    co_queue_wait(&h->gate);
    h->in_process--;
    return static_cast<int>(ids.size());
}

struct Arg {
    Host *host;
    Req *req;
};

void submit(void *p) {
    Arg *a = static_cast<Arg *>(p);
    batch_request_run(&a->host->runner, &a->req->req, process, a->host);
    EXPECT_TRUE(a->req->req.done);
    EXPECT_TRUE(list_empty(&a->req->req.list)) << "a returned request is on no list";
    a->host->finished++;
}

// Starts `n` requests at once (the first becomes the runner and stops at the
// gate), then opens the gate until every caller has returned.
void run_requests(Host *h, std::vector<Req> &reqs, std::vector<Arg> &args) {
    batch_runner_init(&h->runner);
    co_queue_init(&h->gate);
    for (size_t i = 0; i < reqs.size(); i++) {
        reqs[i] = {{}, static_cast<int>(i), 1};
        args[i] = {h, &reqs[i]};
        coroutine_enter(coroutine_create(submit, &args[i]));
    }
    for (int guard = 0; h->finished < static_cast<int>(reqs.size()) && guard < 100; guard++)
        ASSERT_TRUE(co_enter_next(&h->gate)) << "a caller waits but no batch runs";
    ASSERT_EQ(static_cast<int>(reqs.size()), h->finished);
    EXPECT_FALSE(h->runner.running);
    EXPECT_TRUE(list_empty(&h->runner.queue_wait));
    EXPECT_TRUE(list_empty(&h->runner.queue_done));
    EXPECT_TRUE(co_queue_empty(&h->runner.queue_co));
    EXPECT_EQ(0, h->overlapped) << "two batches ran at once";
}

// The first request runs alone; everything that arrived while it ran is
// offered to the next batch in arrival order, as far as the process takes.
TEST(BatchRunner, BatchesKeepArrivalOrderAndServeEachRequestOnce) {
    struct Case {
        int take;
        std::vector<std::vector<int>> batches;
    } cases[] = {
        {1 << 30, {{0}, {1, 2, 3, 4}}},
        {2, {{0}, {1, 2}, {3, 4}}},
        {1, {{0}, {1}, {2}, {3}, {4}}},
    };
    for (const Case &c : cases) {
        Host h;
        h.take = c.take;
        std::vector<Req> reqs(5);
        std::vector<Arg> args(5);
        run_requests(&h, reqs, args);
        EXPECT_EQ(c.batches, h.batches) << "take " << c.take;
        EXPECT_EQ(c.batches.size(), h.runner.passes) << "take " << c.take;
        for (const Req &r : reqs)
            EXPECT_EQ(0, r.result) << "request " << r.id;
    }
}

// A failed request of a batch is reported to its own caller only; the other
// requests of that batch and the later batches still succeed.
TEST(BatchRunner, FailureOfOneRequestStaysWithItsCaller) {
    Host h;
    h.fail_id = 2;
    std::vector<Req> reqs(4);
    std::vector<Arg> args(4);
    run_requests(&h, reqs, args);
    EXPECT_EQ((std::vector<std::vector<int>>{{0}, {1, 2, 3}}), h.batches);
    for (const Req &r : reqs)
        EXPECT_EQ(r.id == 2 ? -EIO : 0, r.result) << "request " << r.id;
}

// A batch that serves nothing, or reports another count than it moved, would
// leave callers waiting for ever: both are programming errors.
int process_none(batch_t *, list_head *, list_head *, void *) {
    return 0;
}
int process_miscount(batch_t *, list_head *wait, list_head *out, void *) {
    list_move_tail(wait->next, out);
    return 2;
}

void run_one(batch_process_fn fn) {
    static batch_t runner;
    static req_t req;
    static batch_process_fn f;
    f = fn;
    batch_runner_init(&runner);
    coroutine_enter(coroutine_create([](void *) { batch_request_run(&runner, &req, f, nullptr); }, nullptr));
}

TEST(BatchRunnerDeathTest, ProcessMustServeWhatItReports) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(run_one(process_none), "n >= 1");
    EXPECT_DEATH(run_one(process_miscount), "moved == n");
}

} // namespace
