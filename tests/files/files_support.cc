#include "files_support.h"

#include "support/loop.h"
#include "coroutine.h"

namespace filestest {

bool run_charged(std::function<void()> body, tav_charge *charge) {
    tav_charge local = {};
    tav_charge *c = charge ? charge : &local;
    return tavtest::run_coroutine([&] {
        Coroutine *self = coroutine_self();
        tav_charge *prev = coroutine_charge();
        coroutine_set_charge(self, c);
        body();
        coroutine_set_charge(self, prev);
    });
}

} // namespace filestest
