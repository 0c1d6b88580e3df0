// Open handles.  A handle holds a reference on its instance and its inode;
// tav_close drops the caller's reference, and a request still running on the
// handle keeps it alive until that request finishes.
#ifndef TAV_FD_H
#define TAV_FD_H

#include <stdint.h>

#include "tav.h"
#include "list.h"

struct tav_inode_info;

struct tav_fd {
    list_head entry;              /* link in the inode's handle list */
    tav *fs;                      /* the instance (referenced) */
    struct tav_inode_info *inode; /* the file (referenced) */
    uint32_t ref;
    int flags;     /* open flags, low 28 bits */
    uint64_t wcnt; /* writes issued through the handle */
};

/* A new handle on `inode` (flags kept to their low 28 bits), counted in the
 * inode's and the instance's open handles; null when out of memory. */
tav_fd *tav_fd_create(struct tav_inode_info *inode, int flags);
void tav_fd_destroy(tav_fd *fd);
void tav_fd_ref(tav_fd *fd);
void tav_fd_unref(tav_fd *fd);

#endif
