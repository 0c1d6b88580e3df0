// Stackful coroutines: per-thread pool, ucontext bootstrap, setjmp/longjmp
// switches, credential ring.
#include "coroutine.h"

#include <assert.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include "co_lock.h"

#ifdef TAV_ASAN
#include <sanitizer/common_interface_defs.h>
#endif

__thread Coroutine *coroutine_tls_current;

namespace {

thread_local CoroutineUContext leader;
thread_local Coroutine *alloc_pool;
thread_local uint32_t alloc_pool_size;
thread_local uint32_t alloc_pool_capacity;
thread_local uint32_t alloc_pool_extra_hit;

CoroutineUContext *ucontext_of(Coroutine *co) {
    return reinterpret_cast<CoroutineUContext *>(co);
}

#ifdef TAV_ASAN
// The thread's own stack, so that switches back to the leader can tell the
// sanitizer where they land.
void leader_stack_bounds() {
    if (leader.stack != nullptr)
        return;
    pthread_attr_t attr;
    void *addr = nullptr;
    size_t size = 0;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        pthread_attr_getstack(&attr, &addr, &size);
        pthread_attr_destroy(&attr);
    }
    leader.stack = addr;
    leader.stack_size = size;
}
inline void start_switch(void **fake_save, CoroutineUContext *to) {
    if (to == &leader)
        leader_stack_bounds();
    __sanitizer_start_switch_fiber(fake_save, to->stack, to->stack_size);
}
inline void finish_switch(void *fake, const void **bottom_old, size_t *size_old) {
    __sanitizer_finish_switch_fiber(fake, bottom_old, size_old);
}
#else
inline void start_switch(void **, CoroutineUContext *) {}
inline void finish_switch(void *, const void **, size_t *) {}
#endif

#ifndef TAV_ASAN
// Switches use GCC's own setjmp/longjmp pair: it keeps only the frame and
// stack pointers and the resume address (the compiler saves the callee-saved
// registers of the function that calls it), and skips the C library's signal
// mask and cleanup-handler walk, which cost more than the rest of a switch.
// The action travels beside it, read by the side that lands right after the
// jump.  Its longjmp may not sit in the function that calls its setjmp.
thread_local CoroutineAction t_switch_action;

__attribute__((noinline, noreturn)) void jump_to(CoroutineUContext *to) {
    __builtin_longjmp(reinterpret_cast<void **>(to->env), 1);
}
#endif

void *alloc_stack(size_t *size) {
    long min = sysconf(_SC_THREAD_STACK_MIN);
    size_t want = *size;
    if (min > 0 && static_cast<size_t>(min) > want)
        want = static_cast<size_t>(min);
    size_t page = static_cast<size_t>(getpagesize());
    want = (want + page - 1) / page * page + page;
    void *p = mmap(nullptr, want, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
        abort();
    *size = want;
    return p;
}

void free_stack(void *stack, size_t size) {
    munmap(stack, size);
}

// Start routine on the new stack.  The first arrival only saves a resumable
// context and returns to coroutine_new; every later resume runs entries for
// ever, so a pooled coroutine is re-entered without building a new context.
void coroutine_trampoline(int i0, int i1) {
    uintptr_t ptr = (static_cast<uintptr_t>(static_cast<uint32_t>(i1)) << 32) | static_cast<uint32_t>(i0);
    CoroutineUContext *co = reinterpret_cast<CoroutineUContext *>(ptr);
    Coroutine *self = &co->base;
    jmp_buf *creator = static_cast<jmp_buf *>(self->entry_arg);

    // The creator's stack, to which the bootstrap returns.
    const void *bottom = nullptr;
    size_t size = 0;
    finish_switch(nullptr, &bottom, &size);

#ifdef TAV_ASAN
    if (_setjmp(co->env) == 0) {
        __sanitizer_start_switch_fiber(&co->fake_stack, bottom, size);
        _longjmp(*creator, 1);
    }
#else
    (void)bottom;
    (void)size;
    if (__builtin_setjmp(reinterpret_cast<void **>(co->env)) == 0)
        _longjmp(*creator, 1);
#endif
#ifdef TAV_ASAN
    finish_switch(co->fake_stack, nullptr, nullptr);
#endif
    for (;;) {
        self->entry(self->entry_arg);
        coroutine_switch(self, self->caller, COROUTINE_TERMINATE);
    }
}

void coroutine_release(Coroutine *co) {
    co->caller = nullptr;
    if (alloc_pool_size < alloc_pool_capacity) {
        co->pool_next = alloc_pool;
        alloc_pool = co;
        alloc_pool_size++;
    } else {
        coroutine_delete(co);
    }
}

} // namespace

Coroutine *coroutine_new(void) {
    ucontext_t old_uc, uc;
    jmp_buf old_env;

    if (getcontext(&uc) == -1)
        abort();
    CoroutineUContext *co = static_cast<CoroutineUContext *>(calloc(1, sizeof(*co)));
    if (co == nullptr)
        return nullptr;
    co->stack_size = COROUTINE_STACK_SIZE;
    co->stack = alloc_stack(&co->stack_size);
    co->base.entry_arg = &old_env;

    uc.uc_link = &old_uc;
    uc.uc_stack.ss_sp = co->stack;
    uc.uc_stack.ss_size = co->stack_size;
    uc.uc_stack.ss_flags = 0;
    uintptr_t ptr = reinterpret_cast<uintptr_t>(co);
    makecontext(&uc, reinterpret_cast<void (*)()>(coroutine_trampoline), 2,
                static_cast<int>(ptr & 0xffffffffu), static_cast<int>(ptr >> 32));

    void *fake = nullptr;
    if (_setjmp(old_env) == 0) {
#ifdef TAV_ASAN
        __sanitizer_start_switch_fiber(&fake, co->stack, co->stack_size);
#endif
        swapcontext(&old_uc, &uc);
    }
    finish_switch(fake, nullptr, nullptr);
    return &co->base;
}

void coroutine_delete(Coroutine *co) {
    CoroutineUContext *uc = ucontext_of(co);
    free_stack(uc->stack, uc->stack_size);
    free(uc);
}

CoroutineAction coroutine_switch(Coroutine *from, Coroutine *to, CoroutineAction action) {
    CoroutineUContext *f = ucontext_of(from);
    CoroutineUContext *t = ucontext_of(to);
    coroutine_tls_current = to;
#ifdef TAV_ASAN
    int ret = _setjmp(f->env);
    if (ret == 0) {
        // A finishing coroutine's fake stack is released, not saved.
        if (action == COROUTINE_TERMINATE)
            f->fake_stack = nullptr;
        start_switch(action == COROUTINE_TERMINATE ? nullptr : &f->fake_stack, t);
        _longjmp(t->env, action);
    }
    finish_switch(f->fake_stack, nullptr, nullptr);
    return static_cast<CoroutineAction>(ret);
#else
    if (__builtin_setjmp(reinterpret_cast<void **>(f->env)) == 0) {
        t_switch_action = action;
        jump_to(t);
    }
    return t_switch_action;
#endif
}

Coroutine *coroutine_create(CoroutineEntry entry, void *opaque) {
    Coroutine *co = alloc_pool;
    if (co != nullptr) {
        alloc_pool = co->pool_next;
        co->pool_next = nullptr;
        alloc_pool_size--;
        if (alloc_pool_size > POOL_MIN_SIZE) {
            if (++alloc_pool_extra_hit % POOL_ADJUST_INTERVAL == 0 && alloc_pool_capacity > 0)
                alloc_pool_capacity--;
        } else {
            alloc_pool_extra_hit = 0;
        }
    } else {
        co = coroutine_new();
        if (co == nullptr)
            return nullptr;
        alloc_pool_extra_hit = 0;
        if (alloc_pool_capacity < POOL_MAX_SIZE)
            alloc_pool_capacity++;
    }
    co->entry = entry;
    co->entry_arg = opaque;
    co->charge = nullptr;
    co->co_queue_wakeup.first = nullptr;
    co->co_queue_wakeup.last = &co->co_queue_wakeup.first;
    return co;
}

void coroutine_enter(Coroutine *co) {
    Coroutine *self = coroutine_self();
    if (co->caller != nullptr) {
        fprintf(stderr, "Co-routine re-entered recursively\n");
        abort();
    }
    co->caller = self;
    coroutine_cred_cleanup(co);
    CoroutineAction ret = coroutine_switch(self, co, COROUTINE_ENTER);
    if (co->co_queue_wakeup.first != nullptr)
        co_queue_run_restart(co);
    switch (ret) {
    case COROUTINE_YIELD: return;
    case COROUTINE_TERMINATE:
        assert(!co->locks_held);
        coroutine_release(co);
        return;
    default: abort();
    }
}

TAV_COROUTINE_FN void coroutine_yield(void) {
    Coroutine *self = coroutine_self();
    Coroutine *to = self->caller;
    if (to == nullptr) {
        fprintf(stderr, "Co-routine is yielding to no one\n");
        abort();
    }
    self->caller = nullptr;
    coroutine_switch(self, to, COROUTINE_YIELD);
}

Coroutine *coroutine_self_leader(void) {
    if (coroutine_tls_current == nullptr)
        coroutine_tls_current = &leader.base;
    return coroutine_tls_current;
}
bool coroutine_entered(Coroutine *co) {
    return co->caller != nullptr;
}
void *coroutine_get_argument(Coroutine *co) {
    return co->entry_arg;
}
void coroutine_set_argument(Coroutine *co, void *arg) {
    co->entry_arg = arg;
}
void coroutine_set_charge(Coroutine *co, tav_charge *charge) {
    co->charge = charge;
}
tav_charge *coroutine_charge(void) {
    Coroutine *self = coroutine_self();
    return self ? self->charge : nullptr;
}

bool coroutine_cred_verify(Coroutine *co, unsigned long cred) {
    for (uint32_t idx = co->cred_head; idx != co->cred_tail; idx = (idx + 1) % COROUTINE_CRED_MAX) {
        assert(co->creds[idx]);
        if (co->creds[idx] == cred)
            return true;
    }
    return false;
}

void coroutine_cred_cleanup(Coroutine *co) {
    co->cred_head = co->cred_tail = 0;
}

uint32_t coroutine_pool_size(void) {
    return alloc_pool_size;
}
uint32_t coroutine_pool_capacity(void) {
    return alloc_pool_capacity;
}
