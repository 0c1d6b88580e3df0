#include "support/loop.h"

#include <ev.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "evdriver.h"
#include "coroutine.h"

namespace tavtest {

ev_driver *driver() {
    return evdriver_env();
}

bool run_until(const std::function<bool()> &done, double timeout_s) {
    struct ev_loop *loop = static_cast<struct ev_loop *>(driver()->handle);
    ev_tstamp deadline = ev_time() + timeout_s;
    ev_timer tick;
    // A periodic tick so that the condition is re-checked even when nothing
    // else wakes the loop.
    ev_timer_init(
        &tick, [](struct ev_loop *, ev_timer *, int) {}, 0.01, 0.01);
    ev_timer_start(loop, &tick);
    bool ok = done();
    while (!ok && ev_time() < deadline) {
        ev_run(loop, EVRUN_ONCE);
        ok = done();
    }
    ev_timer_stop(loop, &tick);
    return ok;
}

namespace {
struct CoBody {
    std::function<void()> fn;
    bool finished = false;
};
void co_entry(void *arg) {
    CoBody *b = static_cast<CoBody *>(arg);
    b->fn();
    b->finished = true;
}
} // namespace

bool run_coroutine(std::function<void()> body, double timeout_s) {
    // Heap-allocated: on timeout the coroutine may still refer to it.
    CoBody *b = new CoBody{std::move(body), false};
    Coroutine *co = coroutine_create(co_entry, b);
    EXPECT_NE(nullptr, co);
    if (co == nullptr)
        return false;
    coroutine_enter(co);
    bool ok = run_until([b] { return b->finished; }, timeout_s);
    EXPECT_TRUE(ok) << "coroutine did not finish within " << timeout_s << " s";
    if (ok)
        delete b;
    return ok;
}

void make_file(const std::string &path, off_t size) {
    int fd = open(path.c_str(), O_CREAT | O_TRUNC | O_RDWR, 0644);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(0, ftruncate(fd, size));
    close(fd);
}

} // namespace tavtest
