// Device I/O of hx_tier: whole-length positional reads and writes on the
// device descriptor (opened with O_DIRECT, so buffers, offsets and lengths
// must be multiples of 4096), and aligned block allocation.
//
// hxtr_pread/hxtr_pwrite retry short transfers and EINTR and return the bytes
// transferred (fewer than asked only at the end of the device) or a negative
// errno.  Offsets above INT64_MAX fail with -EINVAL instead of wrapping.
#ifndef HXTR_IO_H
#define HXTR_IO_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

ssize_t hxtr_pread(int fd, void *buf, size_t len, uint64_t offset);
ssize_t hxtr_pwrite(int fd, const void *buf, size_t len, uint64_t offset);

/* Zero-filled buffer of `len` bytes aligned to 4096, or null; free() it. */
void *hxtr_alloc_block(size_t len, int *err);

#endif
