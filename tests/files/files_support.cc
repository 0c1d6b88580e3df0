#include "files_support.h"

#include <string.h>

#include "support/loop.h"
#include "coroutine.h"

namespace filestest {

bool run_in_stub(std::function<void()> body, tav_stub *stub) {
    tav_stub local;
    memset(&local, 0, sizeof(local));
    local.magic = TAV_STUB_MAGIC;
    local.op = TAV_OP_WRITE;
    tav_stub *s = stub ? stub : &local;
    return tavtest::run_coroutine([&] {
        Coroutine *self = coroutine_self();
        void *prev = coroutine_get_argument(self);
        coroutine_set_argument(self, s);
        body();
        coroutine_set_argument(self, prev);
    });
}

} // namespace filestest
