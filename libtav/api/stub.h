// Request stubs: one per asynchronous request, holding its arguments, its
// callback and its identity for log prefixes and statistics.
//
// A stub is made by a builder (tav_stub_for_*), launched (a coroutine running
// tav_common_wrapper is created and entered at once) and freed after its
// handler has called the caller's callback exactly once.  The stub holds a
// reference on the instance, and while its handler runs, on its handle or
// inode.  Freed stubs go to a per-thread cache of at most 32, so the steady
// state costs no allocation.  I/O thread only.
#ifndef TAV_STUB_H
#define TAV_STUB_H

#include <stdint.h>
#include <sys/uio.h>
#include <time.h>

#include "tav.h"
#include "coroutine.h"
#include "list.h"
#include "status.h"

#define TAV_STUB_MAGIC     0x1234abcddeadbeafULL
#define TAV_STUB_CACHE_MAX 32

struct tav_inode_info;

typedef struct tav_stub tav_stub;
typedef struct tav tav_instance_t;
typedef TAV_COROUTINE_FN void (*tav_stub_handler_fn)(tav_stub *stub);

typedef struct tav_stub_args {
    tav_fd *fd;
    unsigned char name[16];
    int64_t offset;
    uint32_t mode;
    struct iovec *iovec;
    struct iovec iovec_static;
    int iovcnt;
    size_t size;
    int flags;
    struct stat *stat;
    struct stat *prestat;
    struct stat *poststat;
    struct statvfs *statvfs;
    int valid;
    const char *key;
    void *value;
    void *other;
} tav_stub_args;

struct tav_stub {
    list_head list;
    uint64_t magic;
    uint64_t id;
    tav_op_t op;
    tav_instance_t *tav;
    struct tav_inode_info *inode;
    tav_stub_handler_fn handler;
    void *cbk;
    void *data;
    tav_stub_args args;
    tav_charge charge; /* blocks its work newly mapped */
    int priv_iolog;
    struct timespec ts_begin, ts_end;
};

tav_stub *tav_stub_new(tav *instance, tav_op_t op, void *cbk, void *data);
void tav_stub_free(tav_stub *stub);
/* Creates the request's coroutine and enters it; 0, or -ENOMEM when no
 * coroutine can be made (the caller then frees the stub). */
int tav_stub_launch(tav_stub *stub, tav_stub_handler_fn handler);
/* Coroutine entry of every request. */
TAV_COROUTINE_FN void tav_common_wrapper(void *stub);

/* Calls the stub's callback with the common signature. */
void tav_stub_complete(tav_stub *stub, int64_t op_ret, uint32_t op_errno);
/* Calls an open-type callback. */
void tav_stub_complete_open(tav_stub *stub, int64_t op_ret, uint32_t op_errno, tav_fd *fd);

/* Statistics. */
void tav_stub_latnecy_begin(tav_stub *stub);
void tav_stub_latnecy_end(tav_stub *stub);
void tav_stub_status_begin(tav_stub *stub);
void tav_stub_status_end(tav_stub *stub);
void tav_stub_bsrange_update(tav_stub *stub);

/* Per-thread stub cache size (tests and the debug service). */
unsigned tav_stub_cache_size(void);
/* The id the next stub will get. */
uint64_t tav_stub_next_id(void);

/* The running coroutine's request stub, or null. */
tav_stub *tav_stub_current(void);

#endif
