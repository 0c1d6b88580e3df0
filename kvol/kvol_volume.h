// The in-memory volume (`kvol_t`) and its mappings.
//
// A volume record is owned by the caller of kvol_init() until kvol_fini();
// the record owns its mappings (and their path copies and descriptors), its
// bitmap blocks, its scratch buffer, the AIO context and the requests queued
// on its lists.  Mapping 0 borrows the volume device's descriptor: the volume
// code never closes that descriptor through a mapping, since it carries the
// device lock and serves every metadata write.
//
// Invariants while open:
//   - mappings[j] exists for every j < table_length; an "empty" mapping (a
//     damaged entry) has no path, VA start 0 and length 0.
//   - correct_mappings lists the non-empty mappings in index order, which is
//     also VA order, and neighbouring indexes are contiguous in VA.
//   - bmpblks holds bmpblk_cnt blocks, the newer copy of each.
// Nothing here yields; everything runs on the owner's thread.
#ifndef KVOL_VOLUME_H
#define KVOL_VOLUME_H

#include <libaio.h>
#include <stdint.h>

#include "kvol.h"
#include "kvol_format.h"
#include "kvol_list.h"

constexpr int KVOL_LISTENER_SLOTS = 64;
constexpr uint32_t KVOL_AIO_MAX = 16384; // pieces in flight per volume
constexpr size_t KVOL_SCRATCH_SIZE = 8192;

struct kvol_mapping_t {
    uint64_t va_start;
    uint64_t va_length;
    uint64_t pa_offset;
    uint32_t attribute;
    uint32_t state;
    uint32_t ts_create;
    uint32_t ts_modify;
    uint32_t shard_no;
    uint32_t ts_failed;
    uint64_t psy_blksz;
    uint64_t generation; // as loaded; every write of the entry uses generation + 1
    unsigned char gfid[16];
    int fd;     // -1 until opened
    char *path; // owned copy; null for an empty mapping
    uint32_t io_inflight;
    uint64_t continuous_error;
    uint32_t index;
};

struct kvol_correct_mapping_t {
    uint64_t va_start;
    uint64_t va_length;
    uint32_t mapings_index;
};

struct kvol_listener_t {
    uint32_t events;
    int fd; // -1: slot free
    char *path;
};

/* Memory of finished requests and batches, kept per power-of-two size class
 * (512 bytes to 64 KiB, about 1 MiB per class) so that a volume in steady
 * state takes no allocation per request.  The volume's one thread uses it,
 * so it is not locked. */
enum { KVOL_CACHE_CLASSES = 8, KVOL_CACHE_MIN_SHIFT = 9, KVOL_CACHE_CLASS_BYTES = 1 << 20 };

struct kvol_cache_obj;

struct kvol_obj_cache {
    kvol_cache_obj *free[KVOL_CACHE_CLASSES];
    uint32_t count[KVOL_CACHE_CLASSES];
    uint64_t fresh; // objects taken from malloc
};

struct kvol {
    kvol_super_block_t sb; // the chosen superblock copy
    uint32_t table_length; // sb_amtlb_entry_num / 2
    uint32_t correct_table_length;
    uint32_t bmpblk_cnt;
    kvol_mapping_t **mappings; // table_length entries, by index
    kvol_correct_mapping_t *correct_mappings;
    kvol_btbmp_t *bmpblks; // bmpblk_cnt blocks
    kvol_list pending_io;  // prepared, not submitted
    kvol_list running_io;  // submitted
    kvol_list blocking_io; // waiting for room in the queue
    int fd;                // volume device, holds the lock when writable
    int evfd;
    int openflags;
    uint32_t aio_depth; // pieces submitted and not yet reaped
    uint32_t aio_max;   // bound on aio_depth
    io_context_t aio_ctx;
    kvol_listener_t listeners[KVOL_LISTENER_SLOTS];
    char path[256];
    unsigned char *buff; // 8 KiB scratch, aligned to 4096, for metadata writes
    uint64_t max_continuous_error;
    kvol_obj_cache cache; // recycled request and batch memory
};

/* A damaged entry loads as an empty mapping: no path, no VA. */
inline bool kvol_mapping_empty(const kvol_mapping_t *m) {
    return m->path == nullptr && m->va_length == 0;
}

/* Opens and loads a volume; `with_aio` sets up the AIO context.  NULL on
 * failure (logged), with everything released. */
kvol_t *kvol_open_volume(const char *path, int flags, bool with_aio);

/* Allocation helpers: zero-filled; failures are logged at ALERT level. */
void *kvol_calloc(size_t size);
void *kvol_aligned_alloc(size_t size); // 4096-aligned, zero-filled
char *kvol_strdup(const char *s);

/* Zero-filled memory for a request or batch from the volume's cache (malloc
 * when the class is empty or the size is beyond the classes); NULL (logged)
 * when out of memory.  kvol_cache_free() keeps it while its class has room.
 * kvol_cache_drain() gives every kept object back to malloc. */
void *kvol_cache_alloc(kvol_t *kvol, size_t size);
void kvol_cache_free(kvol_t *kvol, void *p);
void kvol_cache_drain(kvol_t *kvol);

/* Opens a mapping's backing lazily with the flags its attributes call for.
 * Mapping 0 reuses the volume device's descriptor.  0 or a negative errno;
 * a failure records ts_failed.  A foreign mapping whose open failed in the
 * current second is not tried again (-EAGAIN). */
int kvol_mapping_open(kvol_t *kvol, kvol_mapping_t *m);
/* Forgets a mapping's descriptor, closing it unless it is the volume
 * device's own. */
void kvol_mapping_close(kvol_t *kvol, kvol_mapping_t *m);

/* Rebuilds correct_mappings from mappings[]; checks that neighbouring
 * non-empty indexes are contiguous.  0 or -22. */
int kvol_build_correct_mappings(kvol_t *kvol);
/* Index of the mapping that contains `va`, or -1 (also when out of range or
 * when no mapping is non-empty). */
int kvol_find_mapping(const kvol_t *kvol, uint64_t va);

bool kvol_range_valid(const kvol_t *kvol, uint64_t offset, uint64_t size);
uint32_t kvol_now(void);

/* Test seams: the queue bound and AIO context size of volumes opened later
 * (0 restores the default). */
void kvol_test_set_aio_max(uint32_t max);

#endif
