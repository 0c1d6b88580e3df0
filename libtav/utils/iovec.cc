// I/O vector helpers.
//
// Fatal assertions stay active in every build type: an offset beyond the
// vector means the caller's idea of the request is wrong, and carrying on
// would copy the wrong bytes.
#include <assert.h>

#include "iovec.h"

#include <stdlib.h>

#include <algorithm>

size_t iov_size(const struct iovec *iov, unsigned int iov_cnt) {
    size_t len = 0;
    for (unsigned int i = 0; i < iov_cnt; i++)
        len += iov[i].iov_len;
    return len;
}

namespace {

/* Walks the byte range [offset, offset + bytes) of the vector piece by piece,
 * calling fn(element_ptr, range_pos, len) for each piece; returns the bytes
 * visited.  `offset` must lie within the vector. */
template <typename Fn>
size_t iov_walk(const struct iovec *iov, unsigned int iov_cnt, size_t offset, size_t bytes, Fn fn) {
    size_t done = 0;
    unsigned int i;
    for (i = 0; (offset || done < bytes) && i < iov_cnt; i++) {
        size_t len = iov[i].iov_len;
        if (offset < len) {
            size_t n = std::min(len - offset, bytes - done);
            fn(static_cast<char *>(iov[i].iov_base) + offset, done, n);
            done += n;
            offset = 0;
        } else {
            offset -= len;
        }
    }
    assert(offset == 0);
    return done;
}

} // namespace

size_t iov_to_buf_full(const struct iovec *iov, unsigned int iov_cnt, size_t offset, void *buf,
                       size_t bytes) {
    return iov_walk(iov, iov_cnt, offset, bytes,
                    [buf](char *p, size_t pos, size_t n) { memcpy(static_cast<char *>(buf) + pos, p, n); });
}

size_t iov_from_buf_full(const struct iovec *iov, unsigned int iov_cnt, size_t offset, const void *buf,
                         size_t bytes) {
    return iov_walk(iov, iov_cnt, offset, bytes, [buf](char *p, size_t pos, size_t n) {
        memcpy(p, static_cast<const char *>(buf) + pos, n);
    });
}

size_t iov_memset(const struct iovec *iov, unsigned int iov_cnt, size_t offset, int fillc, size_t bytes) {
    return iov_walk(iov, iov_cnt, offset, bytes, [fillc](char *p, size_t, size_t n) { memset(p, fillc, n); });
}

unsigned int iov_copy(struct iovec *dst_iov, unsigned int dst_iov_cnt, const struct iovec *iov,
                      unsigned int iov_cnt, size_t offset, size_t bytes) {
    unsigned int i = 0, j = 0;
    /* Skip to the element holding `offset` first, so that the check on the
     * offset does not depend on the room in the destination. */
    for (; i < iov_cnt && offset >= iov[i].iov_len; i++)
        offset -= iov[i].iov_len;
    if (i == iov_cnt)
        assert(offset == 0);
    for (; i < iov_cnt && j < dst_iov_cnt && bytes; i++) {
        size_t len = iov[i].iov_len;
        if (len == 0)
            continue;
        size_t n = std::min(len - offset, bytes);
        dst_iov[j].iov_base = static_cast<char *>(iov[i].iov_base) + offset;
        dst_iov[j].iov_len = n;
        j++;
        bytes -= n;
        offset = 0;
    }
    return j;
}

struct iovec *iov_dup(const struct iovec *iov, unsigned int iov_cnt) {
    auto *dup = static_cast<struct iovec *>(malloc(std::max(iov_cnt, 1u) * sizeof(struct iovec)));
    if (dup != nullptr && iov_cnt > 0)
        memcpy(dup, iov, iov_cnt * sizeof(struct iovec));
    return dup;
}

size_t iov_discard_front(struct iovec **iov, unsigned int *iov_cnt, size_t bytes) {
    size_t total = 0;
    struct iovec *cur = *iov;
    while (*iov_cnt > 0) {
        if (cur->iov_len > bytes) {
            cur->iov_base = static_cast<char *>(cur->iov_base) + bytes;
            cur->iov_len -= bytes;
            total += bytes;
            break;
        }
        bytes -= cur->iov_len;
        total += cur->iov_len;
        cur++;
        (*iov_cnt)--;
    }
    *iov = cur;
    return total;
}

size_t iov_discard_back(struct iovec *iov, unsigned int *iov_cnt, size_t bytes) {
    size_t total = 0;
    while (*iov_cnt > 0) {
        struct iovec *cur = &iov[*iov_cnt - 1];
        if (cur->iov_len > bytes) {
            cur->iov_len -= bytes;
            total += bytes;
            break;
        }
        bytes -= cur->iov_len;
        total += cur->iov_len;
        (*iov_cnt)--;
    }
    return total;
}

namespace {

void hexdump_line(FILE *fp, const char *prefix, size_t offset, const unsigned char *line, size_t len) {
    fprintf(fp, "%s: %04zx:", prefix, offset);
    for (size_t i = 0; i < 16; i++) {
        if (i % 4 == 0)
            fputc(' ', fp);
        if (i < len)
            fprintf(fp, " %02x", line[i]);
        else
            fputs("   ", fp);
    }
    fputc(' ', fp);
    for (size_t i = 0; i < len; i++)
        fputc(line[i] < ' ' || line[i] > '~' ? '.' : line[i], fp);
    fputc('\n', fp);
}

} // namespace

void hexdump(const void *buf, FILE *fp, const char *prefix, size_t size) {
    const auto *p = static_cast<const unsigned char *>(buf);
    for (size_t b = 0; b < size; b += 16)
        hexdump_line(fp, prefix, b, p + b, std::min<size_t>(size - b, 16));
}

void iov_hexdump(const struct iovec *iov, unsigned int iov_cnt, FILE *fp, const char *prefix, size_t limit) {
    /* Gathered 16 bytes at a time so that no buffer is allocated. */
    size_t size = std::min(iov_size(iov, iov_cnt), limit);
    unsigned char line[16];
    for (size_t b = 0; b < size; b += 16) {
        size_t len = iov_to_buf_full(iov, iov_cnt, b, line, std::min<size_t>(size - b, 16));
        hexdump_line(fp, prefix, b, line, len);
    }
}
