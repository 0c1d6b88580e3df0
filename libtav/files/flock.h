// Byte-range locks for coroutines, and the inode range locks built on them.
//
// A CoFlock is a table of exclusive locks on ranges of units (the caller's
// choice; the inode range locks use 4 KiB pages).  Overlapping ranges exclude
// each other, disjoint ones are held at once.  Waiters are granted strictly
// oldest first among those that overlap: a request never overtakes an older
// waiter it overlaps, even when the granted ranges would let it in, so a
// stream of small requests cannot starve a large one.
//
// Granted handles sit in a red-black tree ordered by position (they never
// overlap); waiters sit in an interval tree (a red-black tree keyed by start,
// each node augmented with the largest end of its subtree), so that all
// waiters overlapping a range are found without a scan.  The caller supplies
// the handle, usually on its own stack; nothing here allocates.
//
// Wake-up is deferred like every coroutine lock's: an unlock grants the
// waiters it can and queues their coroutines on the unlocking coroutine's
// wake-up queue; they run when it next yields or ends, already holding their
// ranges.
//
// Threading: one I/O thread; every function must be called inside a
// coroutine of that thread.  co_flock_lock and tav_inode_range_lock may
// yield.
#ifndef TAV_FILES_FLOCK_H
#define TAV_FILES_FLOCK_H

#include <stdint.h>

#include "coroutine.h"
#include "list.h"
#include "rbtree.h"

/* Unit of the inode range locks, of the written bits and of alignment. */
#define TAV_FLOCK_GRAN 4096

typedef struct CoFlock {
    rb_root granted; /* granted handles by position; never overlapping */
    rb_root waiting; /* waiting handles: interval tree keyed by start */
    uint32_t granted_count;
    uint32_t waiting_count;
    int64_t tick; /* arrival counter of waiters */
} CoFlock;

typedef struct CoFlockHandle {
    rb_node node;           /* in `granted` or `waiting`; empty when in no tree */
    list_head wakeup_entry; /* collection of waiters during an unlock */
    CoFlock *lock;
    Coroutine *holder;
    int64_t start;      /* first unit, inclusive */
    int64_t end;        /* last unit, inclusive */
    int64_t max;        /* largest `end` in the node's waiting subtree */
    int64_t block_time; /* arrival tick of a waiter (1, 2, 3, ...) */
    bool granted;
} CoFlockHandle;

void co_flock_init(CoFlock *lock);
/* Returns once units [start, start + len) are granted to `handle`.
 * REQUIRES: len > 0, in a coroutine. */
TAV_COROUTINE_FN void co_flock_lock(CoFlock *lock, int64_t start, int64_t len, CoFlockHandle *handle);
/* 0 when granted at once, -EAGAIN otherwise (the handle is then in no tree). */
int co_flock_trylock(CoFlock *lock, int64_t start, int64_t len, CoFlockHandle *handle);
/* Releases a granted handle and grants the waiters it unblocks. */
void co_flock_unlock(CoFlockHandle *handle);
/* Prints both trees to standard output, in order, indented by depth. */
void co_flock_dump(CoFlock *lock);
/* Checks both trees (shape, order, no granted overlap, waiting maxima,
 * counts): 0 or -1.  For tests and the debug service. */
int co_flock_verify(CoFlock *lock);

struct tav_inode_info;

/* Locks the 4 KiB pages holding bytes [offset, offset + size) of the inode:
 * two ranges that share a page exclude each other.  REQUIRES: size > 0. */
TAV_COROUTINE_FN void tav_inode_range_lock(struct tav_inode_info *inode, uint64_t offset, uint64_t size,
                                           CoFlockHandle *handle);
/* 0, or -EAGAIN when some page is busy. */
int tav_inode_range_trylock(struct tav_inode_info *inode, uint64_t offset, uint64_t size,
                            CoFlockHandle *handle);
void tav_inode_range_unlock(CoFlockHandle *handle);

#ifdef __cplusplus
/* Scoped inode range lock (locks in the constructor: may yield). */
class InodeRangeGuard {
public:
    TAV_COROUTINE_FN InodeRangeGuard(struct tav_inode_info *inode, uint64_t offset, uint64_t size) {
        tav_inode_range_lock(inode, offset, size, &handle_);
    }
    ~InodeRangeGuard() { tav_inode_range_unlock(&handle_); }
    InodeRangeGuard(const InodeRangeGuard &) = delete;
    InodeRangeGuard &operator=(const InodeRangeGuard &) = delete;

private:
    CoFlockHandle handle_ = {};
};
#endif

#endif
