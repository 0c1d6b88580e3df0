// tav_bench: the I/O engine layer and the file API measured against the
// device's own limit.
//
// A workload (block size, queue depth, direction or mix, sequential or random
// offsets over a region of the target) is run by up to five sides:
//   A  raw libaio, batched: every request ready in one pass of the loop goes
//      to the kernel in one io_submit, completions are harvested in batches;
//      no library, the physical limit and the reference of every ratio;
//   R  raw libaio, one request per io_submit;
//   B  the "libaio" engine: `depth` coroutines on one libev loop, each issuing
//      ioengine_co_preadv/pwritev in a loop;
//   C  the "kvol" engine, the same coroutines over a volume on a second file;
//   F  the file API: tav_preadv_async/tav_pwritev_async on files of an
//      instance formatted at the front of the target, `depth` requests kept
//      in flight from their callbacks on the same libev loop.
// Runs are interleaved (A B C A B C ...) so that the machine's noise falls on
// every side alike; results are medians and ratios to A.
//
// Every side draws the same offsets for the same seed and keeps exactly
// `depth` requests in flight until its run ends.  A request that moves fewer
// bytes than asked fails the run: a benchmark that skipped errors would
// report speed for work it did not do.
//
// Threading: everything runs on the main thread; sides B and C drive libev's
// default loop (evdriver_env) and return with no request in flight.
#ifndef TAV_TOOLS_BENCH_H
#define TAV_TOOLS_BENCH_H

#include <signal.h>
#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "tav.h"

typedef struct ioengine ioengine;

namespace bench {

struct Workload {
    std::string name;
    size_t bs; // bytes per request, a multiple of 4096
    int depth; // requests kept in flight
    bool write;
    bool random;       // uniform block-aligned offsets; else sequential, wrapping
    int read_pct = -1; // mixed: percentage of reads, 0..100; -1: all `write`
    // First writes: on side F every run writes files emptied just before, so
    // that each request allocates; offsets never repeat within a run (random
    // ones are a permutation of the slots) and a run ends when the slots are
    // used up.  The other sides do the same writes over written space.
    bool alloc = false;
};

// A run lasts `count` requests when count > 0, else `seconds` of wall time
// (requests in flight at the deadline still complete and count).
struct Limits {
    double seconds;
    uint64_t count;
};

// Request latencies in buckets of 1/16 of a power of two of nanoseconds: a
// quantile is within about 6% of the true value, and recording costs a few
// instructions and no allocation.
struct LatencyHist {
    static constexpr int kSub = 16;
    static constexpr int kBuckets = 64 * kSub;
    uint64_t count = 0;
    uint64_t sum_ns = 0;
    std::vector<uint64_t> bucket = std::vector<uint64_t>(kBuckets, 0);
    void add(uint64_t ns);
    double mean_us() const;
    double quantile_us(double q) const; // upper edge of the bucket holding it
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
    LatencyHist lat;      // empty for runs limited by count (no clock per request)
};

// Decides, in submission order, whether another request goes out and at
// which offset.  Both the raw loop and the coroutines of the engine sides
// take their offsets here, so a given seed gives every side the same
// sequence.
struct Issuer {
    uint64_t slots; // region / bs
    size_t bs;
    uint64_t base; // byte offset of slot 0 on the target
    bool random;
    bool unique;        // each slot at most once (first writes)
    uint64_t perm_mult; // unique random: slot i is (i * perm_mult + perm_add) % slots
    uint64_t perm_add;
    bool write;
    int read_pct;       // mixed when >= 0
    uint64_t mix_rng;   // xorshift64* state of the direction draw
    uint64_t next_slot; // sequential cursor
    uint64_t rng;       // xorshift64* state
    uint64_t count;     // 0: time-limited
    uint64_t issued;
    uint64_t deadline_ns;
    double seconds;
    bool failed; // a request failed: issue nothing more
};

void issuer_init(Issuer *is, const Workload &w, uint64_t base, uint64_t region, const Limits &lim,
                 uint64_t seed);
// Starts the clock of a time-limited run.
void issuer_start(Issuer *is);
// True, the next offset (from `base`) and the direction when another request
// should go out.
bool issuer_next(Issuer *is, uint64_t *offset, bool *write);

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

// Sides A (batched) and R (one request per io_submit).  `fd` is open with
// O_DIRECT.  0, or a negative errno when the AIO context cannot be set up;
// request failures are reported in `st`.
int raw_run(int fd, bool batched, const Workload &w, uint64_t base, uint64_t region, const Limits &lim,
            uint64_t seed, const Buffers &bufs, RunStats *st);
// Sides B and C: `depth` coroutines on the default loop through `engine`.
// 0, or a negative errno when a coroutine cannot be made; request failures
// and requests that left the aligned path are reported in `st`.
int engine_run(ioengine *engine, const Workload &w, uint64_t base, uint64_t region, const Limits &lim,
               uint64_t seed, const Buffers &bufs, RunStats *st);

// Side F: an instance at the front of the target, `nfiles` files of
// `file_size` bytes each.  The region of a run is nfiles * file_size, file
// k holding offsets [k * file_size, (k + 1) * file_size).
struct FileSide {
    std::string path;
    uint64_t blocks = 0; // of the instance
    int nfiles = 0;
    uint64_t file_size = 0;
    bool compressible = false;
    bool written = false; // the files hold data over their whole size
    tav *fs = nullptr;
    std::vector<tav_fd *> fds;
};
// The instance's size in blocks for files of `data_bytes` in all: its
// metadata, the data and room for extent pages.
uint64_t files_instance_blocks(uint64_t data_bytes);
// Formats the instance over [0, blocks MiB) of `path`, starts it on the
// default loop with the "libaio" engine, creates the files.  0 or a negative
// errno (reported on stderr).
int files_open(FileSide *f, const std::string &path, uint64_t blocks, int nfiles, uint64_t file_size,
               bool compressible);
// Writes every file in full (before overwrite and read workloads).
int files_fill(FileSide *f, uint64_t seed);
// Empties every file, so that the next writes allocate.
int files_empty(FileSide *f);
int files_run(FileSide *f, const Workload &w, const Limits &lim, uint64_t seed, const Buffers &bufs,
              RunStats *st);
// Closes the files and finishes the instance.
void files_close(FileSide *f);

// What the sides run on.  Sides A and B share `path` (a test file made here,
// or the caller's file or block device); side C runs on a volume over a file
// made here.  Files made here are removed by target_close.
struct Target {
    std::string path;
    bool owned = false;    // made here
    bool writable = false; // write workloads and the fill may run
    bool is_blockdev = false;
    uint64_t region = 0; // bytes used by sides A, R and B, from `base`
    uint64_t base = 0;   // side F's instance lies below, when it runs
    int fd = -1;         // sides A and R, O_DIRECT
    ioengine *libaio = nullptr;
    std::string vol_path;
    bool vol_owned = false;
    ioengine *kvol = nullptr;
};

// Makes "<dir>/tav_bench.<pid>.img": sparse, then preallocated to `size`
// (the instance of side F, if any, included).
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
