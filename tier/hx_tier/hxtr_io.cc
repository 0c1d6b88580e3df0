#include "hxtr_io.h"

#include <errno.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "hxtr_format.h"

namespace {

bool offset_ok(size_t len, uint64_t offset) {
    return offset <= static_cast<uint64_t>(INT64_MAX) - len;
}

// Moves `len` bytes at `offset` through `op(done)`, which transfers the part
// from byte `done` on and returns what pread/pwrite return: short transfers
// and EINTR are retried, and the bytes moved are returned.
template <typename Op> ssize_t transfer_whole(size_t len, uint64_t offset, Op op) {
    if (!offset_ok(len, offset))
        return -EINVAL;
    size_t done = 0;
    while (done < len) {
        ssize_t n = op(done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            // A transfer cut at the end of the device ends in an error on
            // the unaligned remainder: report the bytes that did move.
            return done > 0 ? static_cast<ssize_t>(done) : -errno;
        }
        if (n == 0)
            break;
        done += n;
    }
    return static_cast<ssize_t>(done);
}

} // namespace

ssize_t hxtr_pread(int fd, void *buf, size_t len, uint64_t offset) {
    return transfer_whole(len, offset, [&](size_t done) {
        return pread(fd, static_cast<uint8_t *>(buf) + done, len - done, static_cast<off_t>(offset + done));
    });
}

ssize_t hxtr_pwrite(int fd, const void *buf, size_t len, uint64_t offset) {
    return transfer_whole(len, offset, [&](size_t done) {
        return pwrite(fd, static_cast<const uint8_t *>(buf) + done, len - done,
                      static_cast<off_t>(offset + done));
    });
}

void *hxtr_alloc_block(size_t len, int *err) {
    void *buf = nullptr;
    int ret = posix_memalign(&buf, HXTR_BLOCK_SIZE, len);
    if (err != nullptr)
        *err = ret;
    if (ret != 0)
        return nullptr;
    memset(buf, 0, len);
    return buf;
}
