// Clock readings in integer units: wall-clock time for on-disk time stamps,
// the monotonic clock for intervals and latencies.
#ifndef TAV_UTILS_CLOCK_H
#define TAV_UTILS_CLOCK_H

#include <stdint.h>
#include <time.h>

/* Nanoseconds since the epoch (CLOCK_REALTIME). */
static inline uint64_t tav_realtime_ns(void) {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

/* Nanoseconds of CLOCK_MONOTONIC. */
static inline uint64_t tav_monotonic_ns(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

#endif
