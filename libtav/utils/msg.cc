// Message buffers: length-prefixed, zero-terminated text frames.
//
// Fatal assertions stay active in every build type (reference counting and
// construction arguments are programming errors, not input).
#include <assert.h>

#include "msg.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "memory.h"

namespace {

constexpr size_t kMsgHead = sizeof(uint32_t);
constexpr size_t kMsgChunk = 4096;

/* The stored length: text length + 1. */
uint32_t stored_len(const char *buf) {
    uint32_t len;
    memcpy(&len, buf, sizeof(len));
    return len;
}

void set_stored_len(char *buf, uint32_t len) {
    memcpy(buf, &len, sizeof(len));
    buf[kMsgHead + len - 1] = '\0';
}

/* Makes room for `extra` more text bytes; 0, -ENOMEM or -EOVERFLOW (the
 * length field would wrap).  On failure the message is unchanged. */
int reserve(msg *m, size_t extra) {
    size_t len = stored_len(m->buf);
    if (extra > UINT32_MAX - len)
        return -EOVERFLOW;
    size_t need = len + extra + kMsgHead;
    if (m->buflen >= need)
        return 0;
    size_t newlen = (need + kMsgChunk - 1) / kMsgChunk * kMsgChunk;
    /* A fresh block rather than realloc: a failed realloc would leave the
     * old block valid but unaccounted. */
    char *nbuf = static_cast<char *>(tav_malloc(newlen, TAV_MEM_OTHER));
    if (nbuf == nullptr)
        return -ENOMEM;
    memcpy(nbuf, m->buf, kMsgHead + len);
    tav_free(m->buf);
    m->buf = nbuf;
    m->buflen = newlen;
    return 0;
}

} // namespace

msg *msg_new(int fd, msg_sendn_fn sendn, msg_recvn_fn recvn) {
    assert(fd >= 0 && sendn != nullptr && recvn != nullptr);
    msg *m = static_cast<msg *>(tav_calloc(1, sizeof(msg), TAV_MEM_OTHER));
    if (m == nullptr)
        return nullptr;
    m->buf = static_cast<char *>(tav_malloc(kMsgChunk, TAV_MEM_OTHER));
    if (m->buf == nullptr) {
        tav_free(m);
        return nullptr;
    }
    m->fd = fd;
    m->ref = 1;
    m->sendn = sendn;
    m->recvn = recvn;
    m->buflen = kMsgChunk;
    msg_reset(m);
    return m;
}

msg *msg_ref(msg *m) {
    assert(m->ref > 0);
    m->ref++;
    return m;
}

void msg_unref(msg *m) {
    assert(m->ref > 0);
    if (--m->ref == 0)
        msg_free(m);
}

void msg_free(msg *m) {
    assert(m->ref == 0);
    tav_free(m->buf_orig);
    tav_free(m->buf);
    tav_free(m);
}

void msg_reset(msg *m) {
    set_stored_len(m->buf, 1);
}

void msg_truncate(msg *m) {
    char *fresh = static_cast<char *>(tav_malloc(m->buflen, TAV_MEM_OTHER));
    if (fresh != nullptr) {
        tav_free(m->buf_orig);
        m->buf_orig = m->buf;
        m->buf = fresh;
    }
    msg_reset(m);
}

int msg_append(msg *m, const void *buffer, size_t length) {
    if (length == 0)
        return 0;
    int ret = reserve(m, length);
    if (ret < 0)
        return ret;
    uint32_t len = stored_len(m->buf);
    memcpy(m->buf + kMsgHead + len - 1, buffer, length);
    set_stored_len(m->buf, len + static_cast<uint32_t>(length));
    return 0;
}

int msg_appendf(msg *m, const char *fmt, ...) {
    char *text = nullptr;
    va_list ap;
    va_start(ap, fmt);
    int n = vasprintf(&text, fmt, ap);
    va_end(ap);
    if (n < 0)
        return -ENOMEM;
    int ret = msg_append(m, text, static_cast<size_t>(n));
    free(text);
    return ret;
}

int msg_backspace(msg *m, size_t length) {
    uint32_t len = stored_len(m->buf);
    if (length > len - 1)
        return -EINVAL;
    set_stored_len(m->buf, len - static_cast<uint32_t>(length));
    return 0;
}

char *msg_buffer(msg *m) {
    return m->buf + kMsgHead;
}

size_t msg_textlen(const msg *m) {
    return stored_len(m->buf) - 1;
}

char msg_lastchar(const msg *m) {
    uint32_t len = stored_len(m->buf);
    return len > 1 ? m->buf[kMsgHead + len - 2] : '\0';
}

int msg_send(msg *m) {
    uint32_t len = stored_len(m->buf);
    if (len == 0 || len > MSG_MAX_LEN)
        return -EMSGSIZE;
    return static_cast<int>(m->sendn(m->fd, m->buf, kMsgHead + len));
}

int msg_recv(msg *m) {
    uint32_t flen = 0;
    ssize_t r = m->recvn(m->fd, &flen, sizeof(flen));
    if (r != static_cast<ssize_t>(sizeof(flen)))
        return r <= 0 ? static_cast<int>(r) : -EIO;
    if (flen == 0 || flen > MSG_MAX_LEN)
        return -EFAULT;
    /* The frame's text lands over the current terminator and its own last
     * byte where the new terminator goes. */
    int ret = reserve(m, flen - 1);
    if (ret < 0)
        return ret;
    uint32_t len = stored_len(m->buf);
    r = m->recvn(m->fd, m->buf + kMsgHead + len - 1, flen);
    if (r != static_cast<ssize_t>(flen)) {
        set_stored_len(m->buf, len); /* restore the old terminator */
        return r <= 0 ? static_cast<int>(r) : -EIO;
    }
    set_stored_len(m->buf, len + flen - 1);
    return static_cast<int>(r);
}
