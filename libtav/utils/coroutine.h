// Stackful coroutines, strictly per thread.
//
// A coroutine is created, entered, suspended and finished on one thread and
// never migrates.  Switches are explicit (enter, yield), so code between two
// yields runs atomically with respect to every other coroutine of the thread;
// the library relies on this instead of thread locks.
//
// Finished coroutines go to a per-thread pool whose capacity adapts: it grows
// by one for every coroutine that had to be made fresh (up to POOL_MAX_SIZE)
// and shrinks by one per POOL_ADJUST_INTERVAL allocations served while more
// than POOL_MIN_SIZE coroutines stay pooled.  A pooled coroutine keeps its
// 256 KiB stack, so a request normally costs no allocation and a switch one
// setjmp/longjmp pair.
//
// Wake-ups are deferred: a coroutine that wakes another (through CoQueue,
// CoMutex, CoRwlock) only queues it; the woken coroutines run, in wake-up
// order, when the waking coroutine yields or terminates.
//
// Functions marked TAV_COROUTINE_FN may suspend the calling coroutine and may
// only be called from inside one.  After such a call, re-check any state that
// another coroutine may have changed, and keep no raw pointer across it unless
// a reference keeps the object alive.
#ifndef TAV_UTILS_COROUTINE_H
#define TAV_UTILS_COROUTINE_H

#include <assert.h>
#include <setjmp.h>
#include <stddef.h>
#include <stdint.h>

#include "stats.h"

/* TAV_COROUTINE_FN marks a function, function pointer or function type that
 * may suspend the calling coroutine: it yields itself, or calls (directly,
 * through a plug-in table or a handler pointer) something that may.  The
 * promise runs both ways: every such function carries the mark on its
 * declaration and its definition, and a function without the mark never
 * suspends, so a reader can see every point where a request may be
 * interleaved with others.  A marked function must be called from inside a
 * coroutine, and only by marked functions or by coroutine entries (which are
 * marked too).  The mark expands to nothing; an audit build may define it
 * beforehand as an annotation that a checker follows through the calls. */
#ifndef TAV_COROUTINE_FN
#define TAV_COROUTINE_FN
#endif

#define COROUTINE_CRED_MAX   64
#define COROUTINE_STACK_SIZE 262144

enum { POOL_MIN_SIZE = 32, POOL_MAX_SIZE = 1024, POOL_ADJUST_INTERVAL = 10000 };

typedef enum CoroutineAction {
    COROUTINE_YIELD = 1,
    COROUTINE_TERMINATE = 2,
    COROUTINE_ENTER = 3,
} CoroutineAction;

typedef void (*CoroutineEntry)(void *opaque);

typedef struct Coroutine Coroutine;

/* Tail queue of coroutines linked through co_queue_next. */
typedef struct CoroutineTailq {
    Coroutine *first;
    Coroutine **last; /* address of the last link (of `first` when empty) */
} CoroutineTailq;

struct Coroutine {
    CoroutineEntry entry;
    void *entry_arg;
    Coroutine *caller;              /* non-null exactly while the coroutine is entered */
    Coroutine *pool_next;           /* link in the per-thread free pool */
    size_t locks_held;              /* CoMutex/CoRwlock acquisitions held; 0 at return */
    CoroutineTailq co_queue_wakeup; /* woken coroutines, entered at our next switch */
    Coroutine *co_queue_next;       /* link in a CoQueue or a wake-up queue */
    unsigned long creds[COROUTINE_CRED_MAX];
    uint32_t cred_head, cred_tail;
    tav_charge *charge; /* accounting record of the work it runs, or null */
};

/* Platform part; `base` first so that both share one address. */
typedef struct CoroutineUContext {
    Coroutine base;
    void *stack;
    size_t stack_size;
    jmp_buf env;
#ifdef TAV_ASAN
    void *fake_stack; /* sanitizer bookkeeping of the suspended side */
#endif
} CoroutineUContext;

/* Returns a fresh or pooled coroutine, not started; null when out of memory. */
Coroutine *coroutine_create(CoroutineEntry entry, void *opaque);
/* Switches into `co` now; returns when it yields or terminates.  Entering a
 * coroutine that is already entered aborts. */
void coroutine_enter(Coroutine *co);
/* Suspends the running coroutine and returns to whoever entered it; aborts
 * outside a coroutine. */
TAV_COROUTINE_FN void coroutine_yield(void);
/* The running coroutine of this thread; null until the thread's first
 * switch.  Read by the inline functions below, which sit on every request's
 * path; written only by the switch. */
extern __thread Coroutine *coroutine_tls_current;
/* The thread's own context as a coroutine, made current on first use. */
Coroutine *coroutine_self_leader(void);
/* The running coroutine, or the thread's own context outside coroutines. */
static inline Coroutine *coroutine_self(void) {
    Coroutine *co = coroutine_tls_current;
    return co != nullptr ? co : coroutine_self_leader();
}
/* True inside a coroutine (one that some other context entered). */
static inline bool in_coroutine(void) {
    Coroutine *co = coroutine_tls_current;
    return co != nullptr && co->caller != nullptr;
}
bool coroutine_entered(Coroutine *co);
void *coroutine_get_argument(Coroutine *co);
void coroutine_set_argument(Coroutine *co, void *arg);
/* The accounting record of the work `co` runs (null: none).  A fresh or
 * pooled coroutine starts without one. */
void coroutine_set_charge(Coroutine *co, tav_charge *charge);
/* The running coroutine's record; null outside a coroutine or when none. */
tav_charge *coroutine_charge(void);

/* Credential ring: a coroutine proves it loaded a metadata buffer since it was
 * last entered.  Only the 63 most recent registrations are remembered; the
 * ring is cleared on every enter. */
static inline void coroutine_cred_register(Coroutine *co, unsigned long cred) {
    assert(co && cred);
    co->creds[co->cred_tail] = cred;
    co->cred_tail = (co->cred_tail + 1) % COROUTINE_CRED_MAX;
    if (co->cred_tail == co->cred_head)
        co->cred_head = (co->cred_head + 1) % COROUTINE_CRED_MAX;
}
bool coroutine_cred_verify(Coroutine *co, unsigned long cred);
void coroutine_cred_cleanup(Coroutine *co);

/* Pool observation, for tests and the debug service. */
uint32_t coroutine_pool_size(void);
uint32_t coroutine_pool_capacity(void);

/* Platform layer, used by the core only. */
Coroutine *coroutine_new(void);
void coroutine_delete(Coroutine *co);
CoroutineAction coroutine_switch(Coroutine *from, Coroutine *to, CoroutineAction action);

#endif
