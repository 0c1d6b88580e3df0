// Byte-range lock table: granted tree, interval tree of waiters, oldest-first
// grants with deferred wake-up; the inode range locks on 4 KiB pages.
// Programming errors (misuse of a handle) abort in every build type.
#include <assert.h>

#include "flock.h"

#include <errno.h>
#include <stdio.h>

#include "inode.h"
#include "co_lock.h"
#include "logger.h"

namespace {

inline CoFlockHandle *handle_of(const rb_node *n) {
    return rb_entry(const_cast<rb_node *>(n), CoFlockHandle, node);
}

inline bool overlaps(const CoFlockHandle *h, int64_t start, int64_t end) {
    return h->start <= end && start <= h->end;
}

// ---- the interval tree of waiters --------------------------------------------

int64_t subtree_max(const rb_node *n) {
    int64_t m = handle_of(n)->end;
    if (n->left && handle_of(n->left)->max > m)
        m = handle_of(n->left)->max;
    if (n->right && handle_of(n->right)->max > m)
        m = handle_of(n->right)->max;
    return m;
}

void max_propagate(rb_node *n, rb_node *stop) {
    for (; n != stop; n = n->parent)
        handle_of(n)->max = subtree_max(n);
}

void max_copy(rb_node *old_node, rb_node *new_node) {
    handle_of(new_node)->max = handle_of(old_node)->max;
}

void max_rotate(rb_node *old_node, rb_node *new_node) {
    handle_of(new_node)->max = handle_of(old_node)->max;
    handle_of(old_node)->max = subtree_max(old_node);
}

const rb_augment_callbacks kMaxEnd = {max_propagate, max_copy, max_rotate};

// Waiters are ordered by start, then by arrival.
bool waiter_less(const rb_node *a, const rb_node *b) {
    const CoFlockHandle *x = handle_of(a), *y = handle_of(b);
    return x->start < y->start || (x->start == y->start && x->block_time < y->block_time);
}

void waiting_insert(CoFlock *lock, CoFlockHandle *h) {
    rb_node **link = &lock->waiting.node, *parent = nullptr;
    while (*link) {
        parent = *link;
        link = waiter_less(&h->node, parent) ? &parent->left : &parent->right;
    }
    rb_link_node(&h->node, parent, link);
    h->max = h->end;
    rb_insert_augmented(&h->node, &lock->waiting, &kMaxEnd);
    lock->waiting_count++;
}

void waiting_erase(CoFlock *lock, CoFlockHandle *h) {
    rb_erase_augmented(&h->node, &lock->waiting, &kMaxEnd);
    lock->waiting_count--;
}

// Some waiter overlapping [start, end] that arrived before `before` (any
// waiter when `before` is 0)?
bool older_waiter_overlaps(const rb_node *n, int64_t start, int64_t end, int64_t before) {
    while (n) {
        const CoFlockHandle *h = handle_of(n);
        if (h->max < start)
            return false;
        if (n->left && older_waiter_overlaps(n->left, start, end, before))
            return true;
        if (h->start > end)
            return false;
        if (overlaps(h, start, end) && (before == 0 || h->block_time < before))
            return true;
        n = n->right;
    }
    return false;
}

// Links onto `out` every waiter lying entirely inside [lo, hi].
void collect_inside(const rb_node *n, int64_t lo, int64_t hi, list_head *out) {
    while (n) {
        CoFlockHandle *h = handle_of(n);
        if (h->max < lo)
            return;
        if (n->left)
            collect_inside(n->left, lo, hi, out);
        if (h->start > hi)
            return;
        if (h->start >= lo && h->end <= hi)
            list_add_tail(&h->wakeup_entry, out);
        n = n->right;
    }
}

// Sorts a list of handles by arrival, oldest first (merge sort: stable, no
// allocation, n log n for however many waiters an unlock frees).
void sort_by_arrival(list_head *head) {
    list_head *first = head->next;
    if (first == head || first->next == head)
        return;
    list_head a, b;
    INIT_LIST_HEAD(&a);
    INIT_LIST_HEAD(&b);
    bool to_a = true;
    while (!list_empty(head)) {
        list_move_tail(head->next, to_a ? &a : &b);
        to_a = !to_a;
    }
    sort_by_arrival(&a);
    sort_by_arrival(&b);
    while (!list_empty(&a) && !list_empty(&b)) {
        CoFlockHandle *x = list_entry(a.next, CoFlockHandle, wakeup_entry);
        CoFlockHandle *y = list_entry(b.next, CoFlockHandle, wakeup_entry);
        list_move_tail(x->block_time <= y->block_time ? a.next : b.next, head);
    }
    while (!list_empty(&a))
        list_move_tail(a.next, head);
    while (!list_empty(&b))
        list_move_tail(b.next, head);
}

// ---- the granted tree ---------------------------------------------------------

// Inserts unless some granted handle overlaps; nothing changes on failure.
bool granted_insert(CoFlock *lock, CoFlockHandle *h) {
    rb_node **link = &lock->granted.node, *parent = nullptr;
    while (*link) {
        parent = *link;
        const CoFlockHandle *g = handle_of(parent);
        if (h->end < g->start)
            link = &parent->left;
        else if (g->end < h->start)
            link = &parent->right;
        else
            return false;
    }
    rb_link_node(&h->node, parent, link);
    rb_insert_color(&h->node, &lock->granted);
    lock->granted_count++;
    h->granted = true;
    return true;
}

bool granted_overlaps(const CoFlock *lock, int64_t start, int64_t end) {
    const rb_node *n = lock->granted.node;
    while (n) {
        const CoFlockHandle *g = handle_of(n);
        if (end < g->start)
            n = n->left;
        else if (g->end < start)
            n = n->right;
        else
            return true;
    }
    return false;
}

bool granted_less(const rb_node *a, const rb_node *b) {
    return handle_of(a)->end < handle_of(b)->start;
}

void fill(CoFlock *lock, int64_t start, int64_t len, CoFlockHandle *h) {
    assert(len > 0 && start >= 0);
    assert(in_coroutine());
    rb_clear_node(&h->node);
    INIT_LIST_HEAD(&h->wakeup_entry);
    h->lock = lock;
    h->holder = coroutine_self();
    h->start = start;
    h->end = start + len - 1;
    h->max = h->end;
    h->block_time = 0;
    h->granted = false;
}

// Grants at once unless a waiter or a granted handle overlaps.
bool try_grant(CoFlock *lock, CoFlockHandle *h) {
    if (lock->granted.node == nullptr && lock->waiting.node == nullptr) {
        // An idle lock, the common case: the handle becomes the only node
        // of the granted tree (a root is black).
        rb_link_node(&h->node, nullptr, &lock->granted.node);
        h->node.red = 0;
        lock->granted_count = 1;
        h->granted = true;
        return true;
    }
    if (older_waiter_overlaps(lock->waiting.node, h->start, h->end, 0))
        return false;
    return granted_insert(lock, h);
}

void dump_tree(const rb_node *n, int level) {
    if (!n)
        return;
    dump_tree(n->left, level + 1);
    const CoFlockHandle *h = handle_of(n);
    printf("%*s[%lu-%lu]\n", 2 * level, "", static_cast<unsigned long>(h->start),
           static_cast<unsigned long>(h->end));
    dump_tree(n->right, level + 1);
}

bool waiting_max_exact(const rb_node *n, int64_t *max) {
    if (!n)
        return true;
    int64_t l = INT64_MIN, r = INT64_MIN;
    if (!waiting_max_exact(n->left, &l) || !waiting_max_exact(n->right, &r))
        return false;
    const CoFlockHandle *h = handle_of(n);
    int64_t m = h->end;
    if (l > m)
        m = l;
    if (r > m)
        m = r;
    *max = m;
    return h->max == m && !h->granted;
}

// Page range of bytes [offset, offset + size).
void page_range(uint64_t offset, uint64_t size, int64_t *first, int64_t *len) {
    assert(size > 0);
    uint64_t f = offset / TAV_FLOCK_GRAN;
    uint64_t l = (offset + size - 1) / TAV_FLOCK_GRAN;
    *first = static_cast<int64_t>(f);
    *len = static_cast<int64_t>(l - f + 1);
}

} // namespace

void co_flock_init(CoFlock *lock) {
    lock->granted.node = nullptr;
    lock->waiting.node = nullptr;
    lock->granted_count = 0;
    lock->waiting_count = 0;
    lock->tick = 0;
}

TAV_COROUTINE_FN void co_flock_lock(CoFlock *lock, int64_t start, int64_t len, CoFlockHandle *handle) {
    fill(lock, start, len, handle);
    if (try_grant(lock, handle))
        return;
    handle->block_time = ++lock->tick;
    waiting_insert(lock, handle);
    // Only an unlock grants the handle and then wakes the holder; anything
    // else that enters this coroutine finds it still waiting.
    while (!handle->granted)
        coroutine_yield();
}

int co_flock_trylock(CoFlock *lock, int64_t start, int64_t len, CoFlockHandle *handle) {
    fill(lock, start, len, handle);
    return try_grant(lock, handle) ? 0 : -EAGAIN;
}

void co_flock_unlock(CoFlockHandle *handle) {
    assert(in_coroutine());
    assert(handle->granted && !rb_node_empty(&handle->node));
    CoFlock *lock = handle->lock;
    // The gap the release opens between the granted neighbours.
    int64_t gap_start = 0, gap_end = INT64_MAX;
    if (lock->granted.node == &handle->node && !handle->node.left && !handle->node.right) {
        // The only granted handle: the tree becomes empty.
        lock->granted.node = nullptr;
        rb_clear_node(&handle->node);
    } else {
        const rb_node *prev = rb_prev(&handle->node);
        const rb_node *next = rb_next(&handle->node);
        if (prev)
            gap_start = handle_of(prev)->end + 1;
        if (next)
            gap_end = handle_of(next)->start - 1;
        rb_erase(&handle->node, &lock->granted);
    }
    lock->granted_count--;
    handle->granted = false;
    if (lock->waiting_count == 0)
        return;

    list_head cands;
    INIT_LIST_HEAD(&cands);
    collect_inside(lock->waiting.node, gap_start, gap_end, &cands);
    sort_by_arrival(&cands);
    while (!list_empty(&cands)) {
        CoFlockHandle *w = list_first_entry(&cands, CoFlockHandle, wakeup_entry);
        list_del_init(&w->wakeup_entry);
        if (older_waiter_overlaps(lock->waiting.node, w->start, w->end, w->block_time) ||
            granted_overlaps(lock, w->start, w->end))
            continue;
        waiting_erase(lock, w);
        bool ok = granted_insert(lock, w);
        assert(ok);
        (void)ok;
        co_queue_wakeup_add(w->holder);
    }
}

void co_flock_dump(CoFlock *lock) {
    printf("CoFlock granted(%u):\n", lock->granted_count);
    dump_tree(lock->granted.node, 0);
    printf("CoFlock waiting(%u):\n", lock->waiting_count);
    dump_tree(lock->waiting.node, 0);
    fflush(stdout);
}

int co_flock_verify(CoFlock *lock) {
    if (rb_verify(&lock->granted, granted_less) < 0 || rb_verify(&lock->waiting, waiter_less) < 0)
        return -1;
    uint32_t n = 0;
    for (const rb_node *g = rb_first(&lock->granted); g; g = rb_next(g), n++)
        if (!handle_of(g)->granted)
            return -1;
    if (n != lock->granted_count)
        return -1;
    n = 0;
    for (const rb_node *w = rb_first(&lock->waiting); w; w = rb_next(w))
        n++;
    if (n != lock->waiting_count)
        return -1;
    int64_t max;
    return waiting_max_exact(lock->waiting.node, &max) ? 0 : -1;
}

TAV_COROUTINE_FN void tav_inode_range_lock(tav_inode_info *inode, uint64_t offset, uint64_t size,
                                           CoFlockHandle *handle) {
    int64_t first, len;
    page_range(offset, size, &first, &len);
    log_trace("range_lock %p [%lu, %lu]", (void *)handle, (unsigned long)first,
              (unsigned long)(first + len - 1));
    co_flock_lock(&inode->flock, first, len, handle);
}

int tav_inode_range_trylock(tav_inode_info *inode, uint64_t offset, uint64_t size, CoFlockHandle *handle) {
    int64_t first, len;
    page_range(offset, size, &first, &len);
    log_trace("range_trylock %p [%lu, %lu]", (void *)handle, (unsigned long)first,
              (unsigned long)(first + len - 1));
    return co_flock_trylock(&inode->flock, first, len, handle);
}

void tav_inode_range_unlock(CoFlockHandle *handle) {
    log_trace("range_unlock %p", (void *)handle);
    co_flock_unlock(handle);
}
