// Open handles: creation, references and destruction.
#include "fd.h"

#include <assert.h>
#include <errno.h>

#include "instance.h"
#include "memory.h"

tav_fd *tav_fd_create(tav_inode_info *inode, int flags) {
    tav_fd *fd = static_cast<tav_fd *>(tav_calloc(1, sizeof(tav_fd), TAV_MEM_FD));
    if (fd == nullptr)
        return nullptr;
    tav *instance = inode->tav;
    fd->fs = tav_ref(instance);
    fd->inode = tav_inode_ref(inode, __func__);
    fd->ref = 1;
    fd->flags = flags & TAV_OPEN_FLAGS_MASK;
    list_add_tail(&fd->entry, &inode->fd_list);
    inode->fd_cnt++;
    inode->status.fd_cnt++;
    instance->status.fd_cnt++;
    return fd;
}

void tav_fd_destroy(tav_fd *fd) {
    tav_inode_info *inode = fd->inode;
    tav *instance = fd->fs;
    list_del_init(&fd->entry);
    inode->fd_cnt--;
    inode->status.fd_cnt--;
    instance->status.fd_cnt--;
    tav_free(fd);
    tav_inode_unref(inode, __func__);
    tav_unref(instance);
}

void tav_fd_ref(tav_fd *fd) {
    assert(fd->ref > 0);
    fd->ref++;
}

void tav_fd_unref(tav_fd *fd) {
    assert(fd->ref > 0);
    if (--fd->ref == 0)
        tav_fd_destroy(fd);
}

int tav_close(tav_fd *fd) {
    if (fd == nullptr)
        return -EINVAL;
    tav_fd_unref(fd);
    return 0;
}
