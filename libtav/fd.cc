// Open handles: references and destruction.
#include "fd.h"

#include <assert.h>
#include <errno.h>

#include "instance.h"
#include "utils/memory.h"

void tav_fd_ref(tav_fd *fd) {
    assert(fd->ref > 0);
    fd->ref++;
}

void tav_fd_unref(tav_fd *fd) {
    assert(fd->ref > 0);
    if (--fd->ref > 0)
        return;
    tav *instance = fd->fs;
    instance->status.fd_cnt--;
    tav_free(fd);
    tav_unref(instance);
}

int tav_close(tav_fd *fd) {
    if (fd == nullptr)
        return -EINVAL;
    tav_fd_unref(fd);
    return 0;
}
