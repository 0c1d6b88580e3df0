// Coroutine-aware wait queue, mutex and reader/writer lock.
//
// None of them blocks the thread: they suspend the calling coroutine.  All
// objects belong to one thread.  Waking is deferred (see coroutine.h): an
// unlock queues the next waiter, which runs when the unlocking coroutine next
// yields or finishes and then re-checks the lock itself, so there is no
// hand-over and no fairness beyond FIFO wake-up order.
//
// A coroutine must not finish while it holds a CoMutex or CoRwlock (fatal).
// Lock and wait operations may only be called from inside a coroutine;
// co_enter_next may be called from outside one.
#ifndef TAV_UTILS_CO_LOCK_H
#define TAV_UTILS_CO_LOCK_H

#include "coroutine.h"

typedef struct CoQueue {
    CoroutineTailq entries;
} CoQueue;

typedef struct CoMutex {
    bool locked;
    Coroutine *holder;
    CoQueue queue;
} CoMutex;

typedef struct CoRwlock {
    bool writer;
    int reader;
    CoQueue queue;
} CoRwlock;

void co_queue_init(CoQueue *queue);
TAV_COROUTINE_FN void co_queue_wait(CoQueue *queue);
/* Moves the head waiter to the running coroutine's wake-up queue; false when
 * nobody waits. */
bool co_queue_next(CoQueue *queue);
void co_queue_restart_all(CoQueue *queue);
/* Removes the head waiter and enters it at once; false when nobody waits. */
bool co_enter_next(CoQueue *queue);
bool co_queue_empty(const CoQueue *queue);
/* Queues `co` (suspended, in no CoQueue) on the running coroutine's wake-up
 * queue: it is entered when the running coroutine next yields or ends. */
void co_queue_wakeup_add(Coroutine *co);
/* Enters, in FIFO order, every coroutine that `co` woke. */
void co_queue_run_restart(Coroutine *co);

void co_mutex_init(CoMutex *mutex);
TAV_COROUTINE_FN void co_mutex_lock(CoMutex *mutex);
void co_mutex_unlock(CoMutex *mutex);

void co_rwlock_init(CoRwlock *lock);
TAV_COROUTINE_FN void co_rwlock_rdlock(CoRwlock *lock);
TAV_COROUTINE_FN void co_rwlock_wrlock(CoRwlock *lock);
void co_rwlock_unlock(CoRwlock *lock);

#ifdef __cplusplus
/* Scoped holder of a CoMutex (locks in the constructor: may yield). */
class CoMutexGuard {
public:
    TAV_COROUTINE_FN explicit CoMutexGuard(CoMutex *m) : m_(m) { co_mutex_lock(m_); }
    ~CoMutexGuard() {
        if (m_)
            co_mutex_unlock(m_);
    }
    void unlock() {
        co_mutex_unlock(m_);
        m_ = nullptr;
    }
    CoMutexGuard(const CoMutexGuard &) = delete;
    CoMutexGuard &operator=(const CoMutexGuard &) = delete;

private:
    CoMutex *m_;
};
#endif

#endif
