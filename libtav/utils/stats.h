// Records shared by every layer that keeps request statistics: latency
// sums, the size class of a transfer, and the space a piece of work charges.
//
// A charge record belongs to one piece of work (a request, or the background
// work of a timer).  Whoever starts the work installs the record on its
// coroutine (coroutine_set_charge); the layers below add the blocks they map
// to it without knowing what kind of work runs.  I/O thread only.
#ifndef TAV_UTILS_STATS_H
#define TAV_UTILS_STATS_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Number of size classes: 0 up to 512 bytes, then one per power of two, the
 * last one for everything above 1 MiB. */
#define TAV_BSRANGE_COUNT 13

typedef struct tav_latency {
    uint64_t count;
    uint64_t total_usec;
    uint64_t max_usec;
} tav_latency;

/* Size class of a transfer of `n` bytes, 0 .. TAV_BSRANGE_COUNT - 1. */
static inline unsigned tav_size_class(uint64_t n) {
    if (n <= 512)
        return 0;
    unsigned k = 64 - (unsigned)__builtin_clzll(n - 1); /* log2 of the next power of two */
    unsigned c = k - 9;
    return c > TAV_BSRANGE_COUNT - 1 ? TAV_BSRANGE_COUNT - 1 : c;
}

/* Space charged to one piece of work. */
typedef struct tav_charge {
    uint32_t blocks; /* 1 MiB blocks newly mapped for it */
} tav_charge;

#ifdef __cplusplus
}
#endif

#endif
