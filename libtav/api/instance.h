// The file-system instance: what it owns, how it is referenced, started and
// stopped.
//
// An instance lives on the I/O thread of the caller's loop.  References are
// held by the caller (from the init callback until tav_fini), by every request
// stub and by every open handle; the last reference destroys it, which closes
// the engine, releases the lock file and calls the fini callback.  Teardown is
// deferred to a timer tick so that tav_fini may be called from inside a
// callback.
#ifndef TAV_INSTANCE_H
#define TAV_INSTANCE_H

#include <stdint.h>

#include "extent.h"
#include "itable.h"
#include "stub.h"
#include "super.h"
#include "tav.h"
#include "timer.h"
#include "zmap.h"
#include "co_lock.h"
#include "list.h"

typedef struct tav_file_lock_fops {
    int (*trylock)(tav *instance, const char *path);
    void (*unlock)(tav *instance, const char *uuid_text);
} tav_file_lock_fops;

typedef struct tav_file_lock {
    int file_lock_fd;
    const tav_file_lock_fops *fops;
} tav_file_lock;

struct tav {
    tav_sb_info sb;         /* in-memory superblock */
    tav_inode_table itable; /* inode cache: hash table, unlink, dirty and compress lists */
    uint8_t *imap;          /* inode-number bitmap */
    uint64_t imap_bits;     /* bits in imap (s_inode_max_count) */
    ext_table_t etable;     /* extent-page cache */
    zmap_t zmap;            /* block allocator */
    list_head running_io;   /* stubs whose handler is running */
    tav_stub timer_stub;    /* TIMER stub: the identity of timer work in log lines */
    uint64_t last_ino;
    tav_timer *dirty_timer, *unlink_timer, *compress_timer;
    CoMutex format_lock;
    tav_status status;
    void *iolog;
    int measure_latency, measure_bsrange;
    tav_file_lock file_lock;
    ev_driver *driver;
    int flags;
    uint64_t refcount;
    tav_fini_cbk_fn fini_fn;
    void *fini_data;
    int32_t notify_fd;
    int fini_pending; /* tav_fini accepted (its callback may be null) */
};

/* Writable when the access mode bits are non-zero; the lock file is taken
 * only for modes 1 and 2. */
static inline bool tav_writable(const tav *instance) {
    return (instance->flags & 3) != 0;
}

tav *tav_create(ev_driver *driver, int flags);
void tav_destroy(tav *instance);
/* The exclusive lock of a device path that writable instances and the
 * upgrade tool take: 0 with *fd the descriptor that holds it (-1 when the
 * lock directory does not exist, logged as a warning), or the negative errno
 * (EWOULDBLOCK: held elsewhere). */
int tav_device_lock(const char *path, int *fd);
int tav_trylock(tav *instance, const char *path);
void tav_unlock(tav *instance, const char *uuid_text);
bool tav_running_io_empty(tav *instance);
/* Writes the whole buffer to the notification descriptor; aborts on an error
 * other than EAGAIN/EINTR. */
void tav_notify_send(tav *instance, const void *buffer, size_t length);
/* Sends one notification record when a descriptor is set. */
void tav_notify(tav *instance, const unsigned char *gfid, int64_t size, uint32_t type);

/* Inode-number allocation for new files, under the format lock. */
TAV_COROUTINE_FN int tav_super_get_ino(tav *instance, uint64_t *ino);
int tav_super_put_ino(tav *instance, uint64_t ino);
/* statfs of the instance. */
int tav_super_get_statfs(tav *instance, struct statvfs *st);

/* The lock-file path for a device path: "tav_<md5 as uuid text>.lock" in the
 * run directory. */
int tav_lock_path(const char *device_path, char *out, size_t outlen);

#endif
