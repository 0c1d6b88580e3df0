#include "support/bytes.h"

#include <time.h>
#include <xxhash.h>

namespace tavtest {

uint64_t xxh64_1011(const void *p, size_t len) { return XXH64(p, len, 1011); }

uint64_t now_ns() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000ULL + static_cast<uint64_t>(ts.tv_nsec);
}

}  // namespace tavtest
