// Helpers on arrays of struct iovec: size, copies to and from flat buffers,
// filling, sub-range vectors, trimming from either end and hex dumps.
//
// Offsets count bytes from the start of the vector.  For the copying, filling
// and sub-range helpers an offset must lie within the vector (an offset equal
// to its size is allowed and handles nothing); one beyond it is a fatal
// assertion ("offset == 0").  Copies stop at the end of the vector, so the
// result may be smaller than `bytes`.  No helper allocates except iov_dup
// (plain allocation, released with free()) and none yields.
#ifndef TAV_UTILS_IOVEC_H
#define TAV_UTILS_IOVEC_H

#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <sys/uio.h>

size_t iov_size(const struct iovec *iov, unsigned int iov_cnt);

/* Copies up to `bytes` bytes starting `offset` bytes into the vector to
 * `buf`; returns the bytes copied. */
size_t iov_to_buf_full(const struct iovec *iov, unsigned int iov_cnt, size_t offset, void *buf, size_t bytes);
/* The reverse copy: up to `bytes` bytes of `buf` into the vector. */
size_t iov_from_buf_full(const struct iovec *iov, unsigned int iov_cnt, size_t offset, const void *buf,
                         size_t bytes);

/* As the _full variants, copying directly when the range sits in the first
 * element (the common single-buffer request). */
static inline size_t iov_to_buf(const struct iovec *iov, unsigned int iov_cnt, size_t offset, void *buf,
                                size_t bytes) {
    if (iov_cnt > 0 && offset <= iov[0].iov_len && bytes <= iov[0].iov_len - offset) {
        memcpy(buf, static_cast<const char *>(iov[0].iov_base) + offset, bytes);
        return bytes;
    }
    return iov_to_buf_full(iov, iov_cnt, offset, buf, bytes);
}
static inline size_t iov_from_buf(const struct iovec *iov, unsigned int iov_cnt, size_t offset,
                                  const void *buf, size_t bytes) {
    if (iov_cnt > 0 && offset <= iov[0].iov_len && bytes <= iov[0].iov_len - offset) {
        memcpy(static_cast<char *>(iov[0].iov_base) + offset, buf, bytes);
        return bytes;
    }
    return iov_from_buf_full(iov, iov_cnt, offset, buf, bytes);
}

/* Fills up to `bytes` bytes from `offset` with `fillc`; returns bytes filled. */
size_t iov_memset(const struct iovec *iov, unsigned int iov_cnt, size_t offset, int fillc, size_t bytes);

/* Builds in `dst_iov` (at most `dst_iov_cnt` elements) a vector pointing to
 * the sub-range [offset, offset + bytes) of `iov`; returns elements used.
 * Empty source elements are skipped. */
unsigned int iov_copy(struct iovec *dst_iov, unsigned int dst_iov_cnt, const struct iovec *iov,
                      unsigned int iov_cnt, size_t offset, size_t bytes);

/* A new array holding a copy of the elements (not of the data), or null. */
struct iovec *iov_dup(const struct iovec *iov, unsigned int iov_cnt);

/* Drops `bytes` from the front: advances *iov past whole elements,
 * decrements *iov_cnt and shortens the first kept element.  Returns the bytes
 * dropped (less than `bytes` when the vector is shorter). */
size_t iov_discard_front(struct iovec **iov, unsigned int *iov_cnt, size_t bytes);
/* Drops `bytes` from the end likewise; returns the bytes dropped. */
size_t iov_discard_back(struct iovec *iov, unsigned int *iov_cnt, size_t bytes);

/* Prints up to `limit` bytes of the vector, or `size` bytes of `buf`, as
 * lines "<prefix>: <offset>:" with 16 bytes in hex in four groups of four,
 * then the bytes as text ('.' outside ' '..'~'). */
void iov_hexdump(const struct iovec *iov, unsigned int iov_cnt, FILE *fp, const char *prefix, size_t limit);
void hexdump(const void *buf, FILE *fp, const char *prefix, size_t size);

#endif
