// Request handlers, one per operation.  Each runs in its request's coroutine
// (see stub.h), calls the request's callback exactly once and returns; it may
// yield many times before that.  The set-iolog and compress handlers are not
// implemented yet: they answer ENOSYS at once and never yield.
#ifndef TAV_HANDLERS_H
#define TAV_HANDLERS_H

#include "stub.h"

TAV_COROUTINE_FN void tav_statfs_handler(tav_stub *stub);
TAV_COROUTINE_FN void tav_open_handler(tav_stub *stub);
TAV_COROUTINE_FN void tav_unlink_handler(tav_stub *stub);
TAV_COROUTINE_FN void tav_getattr_handler(tav_stub *stub);
TAV_COROUTINE_FN void tav_setattr_handler(tav_stub *stub);
TAV_COROUTINE_FN void tav_getxattr_handler(tav_stub *stub);
TAV_COROUTINE_FN void tav_setxattr_handler(tav_stub *stub);
TAV_COROUTINE_FN void tav_setxattr_with_dict_handler(tav_stub *stub);
TAV_COROUTINE_FN void tav_getxattr_with_dict_handler(tav_stub *stub);
TAV_COROUTINE_FN void tav_removexattr_handler(tav_stub *stub);
TAV_COROUTINE_FN void tav_listxattr_handler(tav_stub *stub);
TAV_COROUTINE_FN void tav_listfile_handler(tav_stub *stub);
void tav_setiolog_handler(tav_stub *stub);
TAV_COROUTINE_FN void tav_file_is_borrow_handler(tav_stub *stub);
TAV_COROUTINE_FN void tav_get_inode_info_handler(tav_stub *stub);
TAV_COROUTINE_FN void tav_preadv_handler(tav_stub *stub);
TAV_COROUTINE_FN void tav_pwritev_handler(tav_stub *stub);
TAV_COROUTINE_FN void tav_truncate_handler(tav_stub *stub);
TAV_COROUTINE_FN void tav_fallocate_handler(tav_stub *stub);
TAV_COROUTINE_FN void tav_discard_handler(tav_stub *stub);
TAV_COROUTINE_FN void tav_fiemap_handler(tav_stub *stub);
TAV_COROUTINE_FN void tav_zerofill_handler(tav_stub *stub);
TAV_COROUTINE_FN void tav_sync_handler(tav_stub *stub);
void tav_compress_handler(tav_stub *stub);
TAV_COROUTINE_FN void tav_statex_handler(tav_stub *stub);
TAV_COROUTINE_FN void tav_expand_handler(tav_stub *stub);

/* The pre-mapped create: an exclusive create whose callback lays the new
 * file over blocks [pblock, pblock + count) before the caller's callback.
 * The context is allocated by tav_create_ex and freed by the callback. */
typedef struct create_ex_info {
    uint64_t pblock;
    uint32_t count;
    uint64_t realsize;
    uint32_t type;
    struct tav *tav;
    tav_open_cbk_fn cbk;
    void *data;
} create_ex_info;
TAV_COROUTINE_FN void tav_create_ex_cbk(int64_t op_ret, uint32_t op_errno, void *data, tav_fd *fd);

/* Applies the attributes of `st` selected by `valid` (TAV_SET_ATTR_*) to a
 * file already found, stamps ctime (from `st` with TAV_SET_ATTR_CTIME, else
 * now) and marks the inode dirty.  0 or -EIO.  May yield. */
struct tav_inode_info;
TAV_COROUTINE_FN int tav_setattr_update_inode(struct tav_inode_info *inode, const struct stat *st, int valid,
                                              struct stat *prestat, struct stat *poststat);

/* Open-type stub builder, shared by open, create, the borrow query and the
 * inode information query. */
tav_stub *tav_stub_for_open(tav *instance, const unsigned char *name, int flags, mode_t mode, void *cbk,
                            void *data);

#endif
