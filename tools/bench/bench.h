/*
 * tav_bench: the I/O engine layer measured against the device's own limit.
 *
 * A workload (block size, queue depth, direction, sequential or random
 * offsets over a region of the target) is run by up to three sides:
 *   A  raw libaio: the requests go straight to the file with io_submit (one
 *      request per call) and io_getevents; no library, the physical limit;
 *   B  the "libaio" engine: `depth` coroutines on one libev loop, each issuing
 *      ioengine_co_pread/pwrite in a loop;
 *   C  the "kvol" engine, the same coroutines over a volume on a second file.
 * Runs are interleaved (A B C A B C ...) so that the machine's noise falls on
 * every side alike; results are medians and ratios to A.
 *
 * Every side draws the same offsets for the same seed and keeps exactly
 * `depth` requests in flight until its run ends.  A request that moves fewer
 * bytes than asked fails the run: a benchmark that skipped errors would
 * report speed for work it did not do.
 *
 * Threading: everything runs on the main thread; sides B and C drive libev's
 * default loop (evdriver_env) and return with no request in flight.
 */
#ifndef TAV_TOOLS_BENCH_H
#define TAV_TOOLS_BENCH_H

#include <signal.h>
#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

typedef struct ioengine ioengine;

namespace bench {

struct Workload {
    std::string name;
    size_t bs; // bytes per request, a multiple of 4096
    int depth; // requests kept in flight
    bool write;
    bool random; // uniform block-aligned offsets; else sequential, wrapping
};

// A run lasts `count` requests when count > 0, else `seconds` of wall time
// (requests in flight at the deadline still complete and count).
struct Limits {
    double seconds;
    uint64_t count;
};

struct RunStats {
    uint64_t requests = 0;
    uint64_t bytes = 0;
    double wall_s = 0;
    double cpu_s = 0; // user + system time of the process during the run
    int err = 0;      // first failure as a positive errno; EIO for a short transfer
    uint64_t err_offset = 0;
    long err_result = 0;  // what the failed request returned
    uint64_t bounced = 0; // engine sides: requests that took the bounce path
};

// Decides, in submission order, whether another request goes out and at
// which offset.  Both the raw loop and the coroutines of the engine sides
// take their offsets here, so a given seed gives every side the same
// sequence.
struct Issuer {
    uint64_t slots; // region / bs
    size_t bs;
    bool random;
    uint64_t next_slot; // sequential cursor
    uint64_t rng;       // xorshift64* state
    uint64_t count;     // 0: time-limited
    uint64_t issued;
    uint64_t deadline_ns;
    double seconds;
    bool failed; // a request failed: issue nothing more
};

void issuer_init(Issuer *is, const Workload &w, uint64_t region, const Limits &lim, uint64_t seed);
// Starts the clock of a time-limited run.
void issuer_start(Issuer *is);
// True and the next offset when another request should go out.
bool issuer_next(Issuer *is, uint64_t *offset);

uint64_t now_ns();
double cpu_seconds();

// Set by SIGINT/SIGTERM: runs stop issuing, the program cleans up.
extern volatile sig_atomic_t g_interrupted;

// Per-slot transfer buffers, 4096-aligned, written with a non-zero pattern.
struct Buffers {
    std::vector<void *> slot;
    ~Buffers();
};
int buffers_alloc(Buffers *b, int depth, size_t bs);

// Side A.  `fd` is open with O_DIRECT.  0, or a negative errno when the AIO
// context cannot be set up; request failures are reported in `st`.
int raw_run(int fd, const Workload &w, uint64_t region, const Limits &lim, uint64_t seed, const Buffers &bufs,
            RunStats *st);
// Sides B and C: `depth` coroutines on the default loop through `engine`.
// 0, or a negative errno when a coroutine cannot be made; request failures
// and requests that left the aligned path are reported in `st`.
int engine_run(ioengine *engine, const Workload &w, uint64_t region, const Limits &lim, uint64_t seed,
               const Buffers &bufs, RunStats *st);

// What the sides run on.  Sides A and B share `path` (a test file made here,
// or the caller's file or block device); side C runs on a volume over a file
// made here.  Files made here are removed by target_close.
struct Target {
    std::string path;
    bool owned = false;    // made here
    bool writable = false; // write workloads and the fill may run
    bool is_blockdev = false;
    uint64_t region = 0; // bytes used, from offset 0
    int fd = -1;         // side A, O_DIRECT
    ioengine *libaio = nullptr;
    std::string vol_path;
    bool vol_owned = false;
    ioengine *kvol = nullptr;
};

// Makes "<dir>/tav_bench.<pid>.img": sparse, then preallocated to `size`.
// 0 or a negative errno (reported on stderr).
int target_create_file(Target *t, const std::string &dir, uint64_t size);
// Uses an existing file or block device; `size` 0 means its length, at most
// `cap`.  The region is rounded down to whole MiB.  0 or a negative errno.
int target_use_path(Target *t, const std::string &path, uint64_t size, uint64_t cap, bool writable);
// Opens side A's descriptor and side B's engine on the target.
int target_open(Target *t);
// Makes "<dir>/tav_bench.<pid>.vol" (2 GiB, sparse), a volume on it and side
// C's engine over it; the volume must hold the region.
int target_make_volume(Target *t, const std::string &dir);
// Closes everything opened and removes the files made here.
void target_close(Target *t);

} // namespace bench

#endif
