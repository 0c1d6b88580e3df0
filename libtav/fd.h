/*
 * Open handles.  A handle holds a reference on its instance and its inode;
 * tav_close drops the caller's reference, and a request still running on the
 * handle keeps it alive until that request finishes.
 */
#ifndef TAV_FD_H
#define TAV_FD_H

#include <stdint.h>

#include "tav.h"
#include "utils/list.h"

struct tav_inode_info;

struct tav_fd {
    list_head entry;               /* link in the inode's handle list */
    tav *fs;                       /* the instance (referenced) */
    struct tav_inode_info *inode;  /* the file (referenced) */
    uint32_t ref;
    int flags;                     /* open flags, low 28 bits */
    uint64_t wcnt;                 /* writes issued through the handle */
};

void tav_fd_ref(tav_fd *fd);
void tav_fd_unref(tav_fd *fd);

#endif
