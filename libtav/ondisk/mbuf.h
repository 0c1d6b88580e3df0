// Metadata buffers: the load/share/write-back state machine of one on-disk
// metadata record (superblock, zone-map page, inode page, extent page).
//
// An mbuf is embedded in the record it manages; the owner supplies the device
// offset (it may choose between copies), the serialiser and the checking
// unserialiser.  Only one read or write is in flight per buffer; other
// coroutines wait and are woken one at a time.
//
// Write discipline: a coroutine that changes a record calls mbuf_get, changes
// the in-memory record and calls mbuf_set without yielding in between.  Any
// yield (waiting for a lock, I/O) requires a fresh mbuf_get first; mbuf_set
// checks this through the coroutine's credential ring and aborts otherwise.
// Device errors give -EIO and leave the buffer STALE so the next get reads it
// again.
#ifndef TAV_UTILS_MBUF_H
#define TAV_UTILS_MBUF_H

#include <stddef.h>
#include <sys/types.h>

#include "co_lock.h"

typedef enum mbuf_state_t {
    MBUF_STATE_NULL = 0,
    MBUF_STATE_STALE = 1,
    MBUF_STATE_SYNCING = 2,
    MBUF_STATE_UPTODAY = 3,
} mbuf_state_t;

typedef struct mbuf mbuf;

typedef struct mbuf_fops_t {
    /* Device byte offset to read from (is_write 0) or write to (1). */
    off_t (*get_offset)(mbuf *mb, int is_write);
    /* Fill the on-disk image; 0 or negative errno. */
    int (*serialize)(mbuf *mb, void *buffer, size_t size);
    /* Check and load the on-disk image; 0 or negative errno. */
    int (*unserialize)(mbuf *mb, const void *buffer, size_t size);
} mbuf_fops_t;

struct mbuf {
    mbuf_state_t state;
    const mbuf_fops_t *fops;
    CoQueue waitq;
    size_t size; /* bytes of the on-disk image, a multiple of 4096 */
};

/* With `srcbuf` the image is unserialised at once (UPTODAY, or NULL and the
 * error); without it the buffer is STALE and read on first use. */
int mbuf_init(mbuf *mb, const void *srcbuf, size_t size, const mbuf_fops_t *fops);
void mbuf_fini(mbuf *mb);
/* mbuf_get's general case: waits out a transfer, loads a STALE record. */
TAV_COROUTINE_FN int mbuf_get_slow(mbuf *mb);
/* Loads the record if STALE; 0 or negative errno.  A loaded record that no
 * coroutine waits on is the common case: it only registers the credential,
 * exactly what the general case does then. */
TAV_COROUTINE_FN static inline int mbuf_get(mbuf *mb) {
    if (mb->state == MBUF_STATE_UPTODAY && mb->waitq.entries.first == nullptr) {
        coroutine_cred_register(coroutine_self(), reinterpret_cast<unsigned long>(mb));
        return 0;
    }
    return mbuf_get_slow(mb);
}
/* Writes the record; requires a mbuf_get in the current run (fatal otherwise). */
TAV_COROUTINE_FN int mbuf_set(mbuf *mb);
/* Writes the record without the credential check. */
TAV_COROUTINE_FN int mbuf_set_unsafe(mbuf *mb);

#endif
