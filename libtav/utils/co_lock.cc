// Coroutine wait queue, mutex and reader/writer lock with deferred wake-up.
#include "co_lock.h"

#include <assert.h>
#include <string.h>

namespace {

void tailq_init(CoroutineTailq *q) {
    q->first = nullptr;
    q->last = &q->first;
}

void tailq_push(CoroutineTailq *q, Coroutine *co) {
    co->co_queue_next = nullptr;
    *q->last = co;
    q->last = &co->co_queue_next;
}

Coroutine *tailq_pop(CoroutineTailq *q) {
    Coroutine *co = q->first;
    if (co == nullptr)
        return nullptr;
    q->first = co->co_queue_next;
    if (q->first == nullptr)
        q->last = &q->first;
    co->co_queue_next = nullptr;
    return co;
}

} // namespace

void co_queue_init(CoQueue *queue) {
    tailq_init(&queue->entries);
}

TAV_COROUTINE_FN void co_queue_wait(CoQueue *queue) {
    Coroutine *self = coroutine_self();
    assert(in_coroutine());
    tailq_push(&queue->entries, self);
    coroutine_yield();
    assert(in_coroutine());
}

bool co_queue_next(CoQueue *queue) {
    assert(in_coroutine());
    Coroutine *next = tailq_pop(&queue->entries);
    if (next == nullptr)
        return false;
    tailq_push(&coroutine_self()->co_queue_wakeup, next);
    return true;
}

void co_queue_wakeup_add(Coroutine *co) {
    assert(in_coroutine());
    tailq_push(&coroutine_self()->co_queue_wakeup, co);
}

void co_queue_restart_all(CoQueue *queue) {
    assert(in_coroutine());
    while (co_queue_next(queue)) {
    }
}

bool co_enter_next(CoQueue *queue) {
    Coroutine *next = tailq_pop(&queue->entries);
    if (next == nullptr)
        return false;
    coroutine_enter(next);
    return true;
}

bool co_queue_empty(const CoQueue *queue) {
    return queue->entries.first == nullptr;
}

void co_queue_run_restart(Coroutine *co) {
    Coroutine *next;
    while ((next = tailq_pop(&co->co_queue_wakeup)) != nullptr)
        coroutine_enter(next);
}

void co_mutex_init(CoMutex *mutex) {
    memset(mutex, 0, sizeof(*mutex));
    co_queue_init(&mutex->queue);
}

TAV_COROUTINE_FN void co_mutex_lock(CoMutex *mutex) {
    Coroutine *self = coroutine_self();
    while (mutex->locked)
        co_queue_wait(&mutex->queue);
    mutex->locked = true;
    mutex->holder = self;
    self->locks_held++;
}

void co_mutex_unlock(CoMutex *mutex) {
    Coroutine *self = coroutine_self();
    assert(mutex->locked == true);
    assert(mutex->holder == self);
    assert(in_coroutine());
    mutex->locked = false;
    mutex->holder = nullptr;
    self->locks_held--;
    co_queue_next(&mutex->queue);
}

void co_rwlock_init(CoRwlock *lock) {
    memset(lock, 0, sizeof(*lock));
    co_queue_init(&lock->queue);
}

TAV_COROUTINE_FN void co_rwlock_rdlock(CoRwlock *lock) {
    while (lock->writer)
        co_queue_wait(&lock->queue);
    lock->reader++;
    coroutine_self()->locks_held++;
}

TAV_COROUTINE_FN void co_rwlock_wrlock(CoRwlock *lock) {
    while (lock->writer || lock->reader)
        co_queue_wait(&lock->queue);
    lock->writer = true;
    coroutine_self()->locks_held++;
}

void co_rwlock_unlock(CoRwlock *lock) {
    assert(in_coroutine());
    if (lock->writer) {
        lock->writer = false;
        co_queue_restart_all(&lock->queue);
    } else {
        lock->reader--;
        assert(lock->reader >= 0);
        if (lock->reader == 0)
            co_queue_next(&lock->queue);
    }
    coroutine_self()->locks_held--;
}
