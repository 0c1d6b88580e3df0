// Metadata buffer state machine: load on demand, share, write back.
#include "mbuf.h"

#include <assert.h>
#include <errno.h>
#include <string.h>

#include "ioengine.h"
#include "logger.h"
#include "memory.h"

namespace {

// Waits out a transfer in flight on the buffer.
TAV_COROUTINE_FN void wait_syncing(mbuf *mb) {
    while (mb->state == MBUF_STATE_SYNCING)
        co_queue_wait(&mb->waitq);
}

// Common exit: release the transfer buffer and let the next waiter in.
void finish(mbuf *mb, void *iobuf) {
    if (iobuf)
        tav_iobuf_put(iobuf);
    co_queue_next(&mb->waitq);
}

} // namespace

int mbuf_init(mbuf *mb, const void *srcbuf, size_t size, const mbuf_fops_t *fops) {
    assert(size != 0 && size % 4096 == 0);
    assert(fops && fops->get_offset && fops->serialize && fops->unserialize);
    mb->fops = fops;
    mb->size = size;
    co_queue_init(&mb->waitq);
    if (srcbuf == nullptr) {
        mb->state = MBUF_STATE_STALE;
        return 0;
    }
    int ret = fops->unserialize(mb, srcbuf, size);
    mb->state = ret < 0 ? MBUF_STATE_NULL : MBUF_STATE_UPTODAY;
    return ret < 0 ? ret : 0;
}

void mbuf_fini(mbuf *mb) {
    mb->state = MBUF_STATE_NULL;
}

TAV_COROUTINE_FN int mbuf_get_slow(mbuf *mb) {
    assert(mb->state != MBUF_STATE_NULL);
    wait_syncing(mb);
    void *buf = nullptr;
    int ret = 0;
    if (mb->state == MBUF_STATE_STALE) {
        buf = tav_iobuf_get(mb->size, TAV_MEM_MBUF_ALIGNED_BUFFER);
        if (buf == nullptr) {
            log_error("tav_iobuf_get: %s", strerror(ENOMEM));
            finish(mb, nullptr);
            return -ENOMEM;
        }
        mb->state = MBUF_STATE_SYNCING;
        off_t off = mb->fops->get_offset(mb, 0);
        if (ioengine_co_preadn(ioengine_get_default(), buf, mb->size, off) < 0) {
            mb->state = MBUF_STATE_STALE;
            ret = -EIO;
        } else {
            ret = mb->fops->unserialize(mb, buf, mb->size);
            mb->state = ret < 0 ? MBUF_STATE_STALE : MBUF_STATE_UPTODAY;
        }
    }
    if (mb->state == MBUF_STATE_UPTODAY)
        coroutine_cred_register(coroutine_self(), reinterpret_cast<unsigned long>(mb));
    finish(mb, buf);
    return ret;
}

TAV_COROUTINE_FN int mbuf_set_unsafe(mbuf *mb) {
    assert(mb->state != MBUF_STATE_NULL);
    wait_syncing(mb);
    void *buf = tav_iobuf_get(mb->size, TAV_MEM_MBUF_ALIGNED_BUFFER);
    if (buf == nullptr) {
        log_error("tav_iobuf_get: %s", strerror(ENOMEM));
        finish(mb, nullptr);
        return -ENOMEM;
    }
    mb->state = MBUF_STATE_SYNCING;
    off_t off = mb->fops->get_offset(mb, 1);
    int ret = mb->fops->serialize(mb, buf, mb->size);
    if (ret < 0) {
        mb->state = MBUF_STATE_STALE;
    } else if (ioengine_co_pwriten(ioengine_get_default(), buf, mb->size, off) < 0) {
        mb->state = MBUF_STATE_STALE;
        ret = -EIO;
    } else {
        mb->state = MBUF_STATE_UPTODAY;
        ret = 0;
    }
    finish(mb, buf);
    return ret;
}

TAV_COROUTINE_FN int mbuf_set(mbuf *mb) {
    assert(mb->state != MBUF_STATE_STALE);
    assert(coroutine_cred_verify(coroutine_self(), (unsigned long)mb));
    return mbuf_set_unsafe(mb);
}
