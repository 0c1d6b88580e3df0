// The inode side of requests: lookup and load before a name-based handler,
// the handle's inode for handle-based ones, and the synchronous helpers that
// run inline in a coroutine of the I/O thread.
#include "request.h"

#include <assert.h>
#include <errno.h>
#include <string.h>

#include "instance.h"
#include "logger.h"
#include "xdict.h"

TAV_COROUTINE_FN int tav_request_find_inode(tav_stub *stub) {
    tav_inode_info *inode = tav_inode_find_get(&stub->tav->itable, stub->args.name, 0);
    if (inode == nullptr) {
        log_debug("inode not found");
        return ENOENT;
    }
    stub->inode = inode;
    co_mutex_lock(&inode->lock);
    int err = 0;
    int ret = tav_inode_read(inode);
    if (ret < 0) {
        log_error("read inode failed. ret: %d", ret);
        err = ret == -TAV_INODE_EREAD ? EIO : -ret;
    } else if (inode->ondisk.i_state != TAV_I_NORMAL) {
        log_error("inode state(%ld) is not NORMAL", static_cast<long>(inode->ondisk.i_state));
        err = EACCES;
    }
    co_mutex_unlock(&inode->lock);
    if (err != 0) {
        stub->inode = nullptr;
        tav_inode_unref(inode, __func__);
    }
    return err;
}

void tav_request_put_inode(tav_stub *stub) {
    tav_inode_info *inode = stub->inode;
    stub->inode = nullptr;
    if (inode)
        tav_inode_unref(inode, __func__);
}

tav_status *tav_request_inode_status(struct tav_inode_info *inode) {
    return &inode->status;
}

void tav_request_inode_ident(struct tav_inode_info *inode, unsigned char *gfid, int64_t *ino) {
    memcpy(gfid, inode->ondisk.i_uuid, 16);
    *ino = static_cast<int64_t>(inode->ondisk.i_no);
}

namespace {

// Looks up and loads a file for a synchronous helper; the caller drops the
// reference.  0, -ENOENT or -EIO (each logged).
TAV_COROUTINE_FN int sync_lookup(tav *instance, const unsigned char *name, bool load, tav_inode_info **out) {
    assert(in_coroutine());
    tav_inode_info *inode = tav_inode_find_get(&instance->itable, name, 0);
    if (inode == nullptr) {
        log_error("inode not found");
        return -ENOENT;
    }
    if (load && tav_inode_read(inode) < 0) {
        log_error("inode access failed, return -EIO");
        tav_inode_unref(inode, __func__);
        return -EIO;
    }
    *out = inode;
    return 0;
}

} // namespace

extern "C" {

TAV_COROUTINE_FN int tav_getattr(tav *instance, const unsigned char *name, struct stat *stbuf) {
    tav_inode_info *inode;
    int ret = sync_lookup(instance, name, true, &inode);
    if (ret < 0)
        return ret;
    tav_inode_get_stat(inode, stbuf);
    tav_inode_unref(inode, __func__);
    return 0;
}

TAV_COROUTINE_FN int tav_statex_get(tav *instance, const unsigned char *name, tav_statex *statex) {
    tav_inode_info *inode;
    int ret = sync_lookup(instance, name, true, &inode);
    if (ret < 0)
        return ret;
    tav_inode_get_statex(inode, statex);
    tav_inode_unref(inode, __func__);
    return 0;
}

TAV_COROUTINE_FN ssize_t tav_getxattr(tav *instance, const unsigned char *name, const char *key, void *buf,
                                      size_t size) {
    if (!instance || !name || !key || !key[0])
        return -EINVAL;
    tav_inode_info *inode;
    int ret = sync_lookup(instance, name, true, &inode);
    if (ret < 0)
        return ret;
    size_t vsize = 0;
    void *value = xdict_get_data(inode->xattr, key, &vsize);
    ssize_t result = 0;
    if (value != nullptr) {
        if (buf != nullptr && size < vsize) {
            log_error("buffer(%lu) is smaller than needed(%lu)", static_cast<unsigned long>(size),
                      static_cast<unsigned long>(vsize));
            result = -EINVAL;
        } else {
            if (buf != nullptr)
                memcpy(buf, value, vsize);
            result = static_cast<ssize_t>(vsize);
        }
    }
    tav_inode_unref(inode, __func__);
    return result;
}

TAV_COROUTINE_FN int tav_get_open_count(tav *instance, const unsigned char *name) {
    tav_inode_info *inode;
    int ret = sync_lookup(instance, name, false, &inode);
    if (ret < 0)
        return ret;
    int count = static_cast<int>(inode->fd_cnt);
    tav_inode_unref(inode, __func__);
    return count;
}

TAV_COROUTINE_FN ssize_t tav_get_all_keys(tav *instance, const unsigned char *name, char *buf, size_t size) {
    assert(in_coroutine());
    // A buffer comes with its size, or neither is given.
    if (!instance || !name || (buf == nullptr) != (size == 0))
        return -EINVAL;
    tav_inode_info *inode = tav_inode_find_get(&instance->itable, name, 0);
    if (inode == nullptr)
        return -EINVAL;
    ssize_t ret;
    if (tav_inode_read(inode) < 0) {
        log_error("inode access failed, return -EIO");
        ret = -EIO;
    } else {
        ret = xdict_serialize_keys(inode->xattr, buf, size);
    }
    tav_inode_unref(inode, __func__);
    return ret;
}

} // extern "C"
