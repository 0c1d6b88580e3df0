// I/O engines: every byte the file system moves to or from its device.
//
// An engine is bound to one backend plug-in ("kvol" for a volume, "libaio"
// for a raw device or file), found by name in a process-wide registry.  The
// transfer calls block only the calling coroutine and must run in a coroutine
// of the engine's thread.  Requests whose offset, segment lengths (multiples
// of the device block size) and segment addresses (multiples of 4096) are
// aligned go to the backend unchanged, without a copy; other requests on an
// O_DIRECT engine are bounced through an aligned buffer (reads) or done as
// read-modify-write of the covering blocks (writes).
//
// Each thread has its own default engine (ioengine_default_init), always
// opened with O_DIRECT; all metadata and data code uses it.
#ifndef TAV_IOENGINE_H
#define TAV_IOENGINE_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>
#include <sys/uio.h>

#include "tav.h"
#include "coroutine.h"
#include "list.h"

enum supported_blksz { IOENGINE_BLKSZ_512 = 512, IOENGINE_BLKSZ_4096 = 4096 };

typedef struct ioengine_status {
    uint64_t total_read_count;
    uint64_t total_write_count;
    uint64_t batch_read_count;
    uint64_t batch_write_count;
    uint64_t unaligned_read_count;
    uint64_t unaligned_write_count;
    uint64_t unaligned_offset_count;
    uint64_t unaligned_length_count;
    uint64_t unaligned_buffer_count;
    tav_latency latency[2];                       /* 0 read, 1 write */
    uint64_t bsrange_count[2][TAV_BSRANGE_COUNT]; /* 0 read, 1 write */
} ioengine_status;

typedef struct ioengine_statdev {
    uint64_t phy_length;       /* device size in bytes */
    uint64_t phy_avail_length; /* bytes usable */
} ioengine_statdev;

typedef struct ioengine_range {
    uint64_t start;
    uint64_t length;
} ioengine_range;

typedef struct ioengine ioengine;

/* A backend.  One static record per plug-in, registered before the first
 * lookup and never changed afterwards.  Every member is called on the
 * engine's thread only; members marked TAV_COROUTINE_FN are called from a
 * coroutine and may suspend it, the others must not suspend.  Errors are
 * negative errno values.  A null optional member makes the engine's wrapper
 * answer 0 without calling it.
 *
 * What a transfer member is promised: iovcnt >= 1 and a total length > 0.
 * On an engine opened with O_DIRECT (every default engine) also an offset
 * that is a multiple of phy_blksz and segments whose lengths are multiples
 * of phy_blksz and whose addresses are multiples of 4096: the engine bounces
 * every other request through one aligned buffer (a write as read, merge,
 * write of the covering blocks) before it reaches the plug-in.  Without
 * O_DIRECT requests arrive as the caller made them.  Access modes are
 * checked before: no read reaches a write-only engine, no write a read-only
 * one. */
typedef struct ioengine_plugin {
    list_head entry;  /* registry link, owned by the registry */
    const char *name; /* lookup key, compared byte for byte */
    /* Required.  Opens `path` with open(2) flags `oflag` and registers the
     * completion descriptor through `driver`; must set phy_blksz (512 or
     * 4096, else the engine closes it again) and its context with
     * ioengine_set_priv.  0 or negative errno; on failure nothing is left to
     * close (close is not called). */
    int (*open)(ioengine *engine, ev_driver *driver, const char *path, int oflag);
    /* Optional.  Releases what open set up; called once, when no transfer
     * is pending.  It may run inside a coroutine that the plug-in's own
     * completion handler has just entered (the instance may end there): what
     * that handler still uses must outlive the call. */
    void (*close)(ioengine *engine);
    /* Optional.  Sets the device's length; 0 or negative errno. */
    int (*truncate)(ioengine *engine, uint64_t length);
    /* Required.  Submit the transfer, suspend the calling coroutine, and
     * re-enter it from the completion handler that the loop calls on the
     * completion descriptor; return only when the transfer is complete.
     * Bytes moved (may be short; 0 at the end of the device) or negative
     * errno.  On reads the engine turns -ENODATA and -EREMOTEIO into -EIO. */
    TAV_COROUTINE_FN ssize_t (*co_preadv)(ioengine *engine, const struct iovec *iov, int iovcnt,
                                          off_t offset);
    TAV_COROUTINE_FN ssize_t (*co_pwritev)(ioengine *engine, const struct iovec *iov, int iovcnt,
                                           off_t offset);
    /* Required.  Fills the device's size and usable size in bytes; 0 or
     * negative errno.  Synchronous. */
    int (*statdev)(ioengine *engine, ioengine_statdev *stat);
    /* Optional, synchronous, size > 0: give back (unmap) or discard the
     * byte range; 0 or negative errno. */
    int (*unmap)(ioengine *engine, uint64_t offset, uint64_t size);
    int (*discard)(ioengine *engine, uint64_t offset, uint64_t size);
    /* Optional, synchronous, size > 0.  With an output array: the number of
     * bad ranges of [offset, offset + size) written into `ranges` (at most
     * `maxcnt`); with (null, 0): 1 when the range holds a bad track, else 0;
     * negative errno on failure. */
    int (*test_badtrack)(ioengine *engine, uint64_t offset, uint64_t size, ioengine_range *ranges,
                         int maxcnt);
    /* Optional, synchronous, size > 0: mark or clear bad tracks over the
     * range; 0 or negative errno. */
    int (*mark_badtrack)(ioengine *engine, uint64_t offset, uint64_t size);
    int (*clear_badtrack)(ioengine *engine, uint64_t offset, uint64_t size);
} ioengine_plugin;

struct ioengine {
    size_t phy_blksz;
    char *path;
    int oflag;
    const ioengine_plugin *plugin;
    ioengine_status status;
    int measure_latency;
    int measure_bsrange;
    void *priv;
};

/* Registry.  Both built-in plug-ins ("kvol" first, then "libaio") are
 * registered before the first lookup; tests may add their own. */
void ioengine_plugin_register(ioengine_plugin *plugin);
const ioengine_plugin *ioengine_plugin_find(const char *name);

/* The engine, or null with errno set to the cause (the plug-in's open
 * error; EINVAL for an unknown plug-in or block size; ENOMEM). */
ioengine *ioengine_init(ev_driver *driver, const char *backend, const char *path, int oflag);
void ioengine_fini(ioengine *engine);
/* Opens this thread's default engine with oflag | O_DIRECT; 0 or the
 * negative errno of the cause. */
int ioengine_default_init(ev_driver *driver, const char *backend, const char *path, int oflag);
void ioengine_default_fini(void);
ioengine *ioengine_get_default(void);

const char *ioengine_get_path(ioengine *engine);
int ioengine_get_oflag(ioengine *engine);
size_t ioengine_get_blksz(ioengine *engine);
void ioengine_set_phyblksz(ioengine *engine, size_t blksz);
void ioengine_set_priv(ioengine *engine, void *priv);
void *ioengine_get_priv(ioengine *engine);
const char *ioengine_actived_backend(ioengine *engine);
ioengine_status *ioengine_status_get(ioengine *engine);
void ioengine_status_reset(ioengine *engine);
void ioengine_latency_toggle(ioengine *engine, int onoff);
int ioengine_latency_enabled(ioengine *engine);
void ioengine_latency_reset(ioengine *engine);
void ioengine_bsrange_toggle(ioengine *engine, int onoff);
int ioengine_bsrange_enabled(ioengine *engine);
void ioengine_bsrange_reset(ioengine *engine);
int ioengine_statdev_get(ioengine *engine, ioengine_statdev *stat);
void ioengine_dump(ioengine *engine);

/* Transfers: bytes moved (may be short) or negative errno. */
TAV_COROUTINE_FN ssize_t ioengine_co_preadv(ioengine *engine, const struct iovec *iov, int iovcnt,
                                            off_t offset);
TAV_COROUTINE_FN ssize_t ioengine_co_pwritev(ioengine *engine, const struct iovec *iov, int iovcnt,
                                             off_t offset);
/* All-or-error transfers: 0 when every byte moved, else negative errno (-EIO at
 * the end of the device).  They consume the caller's iovec array. */
TAV_COROUTINE_FN int ioengine_co_preadvn(ioengine *engine, struct iovec *iov, int iovcnt, off_t offset);
TAV_COROUTINE_FN int ioengine_co_pwritevn(ioengine *engine, struct iovec *iov, int iovcnt, off_t offset);
TAV_COROUTINE_FN ssize_t ioengine_co_pread(ioengine *engine, void *buf, size_t len, off_t offset);
TAV_COROUTINE_FN ssize_t ioengine_co_pwrite(ioengine *engine, const void *buf, size_t len, off_t offset);
TAV_COROUTINE_FN int ioengine_co_preadn(ioengine *engine, void *buf, size_t len, off_t offset);
TAV_COROUTINE_FN int ioengine_co_pwriten(ioengine *engine, const void *buf, size_t len, off_t offset);

/* Completion passes.  A plug-in's completion handler brackets the coroutines
 * it resumes with ioengine_pass_begin/ioengine_pass_end.  A coroutine that
 * would rather act once every coroutine of the pass has run (to combine
 * their work, such as one metadata write for all of them) calls
 * ioengine_co_pass_yield: inside a pass it is resumed by ioengine_pass_end,
 * after the others and before the plug-in submits what they prepared;
 * outside a pass it returns at once.  Calls nest; the outermost end resumes
 * every coroutine still waiting.  I/O thread only. */
void ioengine_pass_begin(void);
void ioengine_pass_end(void);
TAV_COROUTINE_FN void ioengine_co_pass_yield(void);

/* Device management: 0 when the plug-in lacks the operation. */
int ioengine_truncate(ioengine *engine, uint64_t length);
int ioengine_unmap(ioengine *engine, uint64_t offset, uint64_t size);
int ioengine_discard(ioengine *engine, uint64_t offset, uint64_t size);
int ioengine_test_badtrack(ioengine *engine, uint64_t offset, uint64_t size, ioengine_range *badtracks,
                           int maxcnt);
int ioengine_mark_badtrack(ioengine *engine, uint64_t offset, uint64_t size);
int ioengine_clear_badtrack(ioengine *engine, uint64_t offset, uint64_t size);

/* Built-in plug-ins. */
extern ioengine_plugin ioengine_libaio_plugin;
extern ioengine_plugin ioengine_kvol_plugin;

#endif
