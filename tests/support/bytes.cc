#include "support/bytes.h"

#include <xxhash.h>

#include "clock.h"

namespace tavtest {

uint64_t xxh64_1011(const void *p, size_t len) {
    return XXH64(p, len, 1011);
}

uint64_t now_ns() {
    return tav_realtime_ns();
}

} // namespace tavtest
