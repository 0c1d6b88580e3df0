// Extended-attribute handlers: get, set, remove and list one key, get and set
// a whole dictionary, by name or by handle.  The stub's wrapper has found the
// file and checked it NORMAL (or the handle names it); each handler loads the
// inode again before it touches the dictionary.
#include "xattr.h"

#include <errno.h>
#include <stdint.h>
#include <string.h>

#include "handlers.h"
#include "instance.h"
#include "logger.h"

namespace {

const char *const kNamespaces[] = {"security.", "system.", "trusted.", "user."};

// Loads the inode: 0 or -EIO (logged).
TAV_COROUTINE_FN int load(tav_inode_info *inode) {
    if (tav_inode_read(inode) < 0) {
        log_error("inode access failed, return -EIO");
        return -EIO;
    }
    return 0;
}

// Loads the inode before a change and fills prestat: 0 or -EIO.
TAV_COROUTINE_FN int begin_change(tav_inode_info *inode, struct stat *prestat) {
    int ret = load(inode);
    if (ret == 0 && prestat)
        tav_inode_get_stat(inode, prestat);
    return ret;
}

// Stamps ctime and fills poststat after a change.
void changed(tav_inode_info *inode, struct stat *poststat) {
    tav_inode_update_amctime(inode, TAV_INODE_CTIME, nullptr);
    if (poststat)
        tav_inode_get_stat(inode, poststat);
}

// Takes a change to the device as `syncflag` says: 3 at the next dirty
// flush, 4 (when `may_hold`) held in memory until a sync with 5, any other
// value at once.  0 or -EIO.  REQUIRES: the inode was loaded in this run of
// the coroutine.
TAV_COROUTINE_FN int commit(tav_inode_info *inode, int syncflag, bool may_hold) {
    if (syncflag == TAV_XATTR_SYNC_DELAYED) {
        tav_inode_mark_dirty(inode);
        return 0;
    }
    if (syncflag == TAV_XATTR_SYNC_HOLD && may_hold) {
        inode->dirty_hold = 1;
        tav_inode_mark_dirty(inode);
        return 0;
    }
    if (tav_inode_write(inode) < 0) {
        log_error("inode write failed, return -EIO");
        return -EIO;
    }
    return 0;
}

// Refuses a change that would take the serialised dictionary past what the
// inode page holds: the dictionary stays as it was.
bool within_limit(const tav_inode_info *inode, size_t length) {
    size_t limit = tav_inode_xattr_limit(inode);
    if (length > limit) {
        log_error("serialized size(%lu) exceed limit(%lu)", (unsigned long)length, (unsigned long)limit);
        return false;
    }
    return true;
}

void complete(tav_stub *stub, int ret) {
    tav_stub_complete(stub, ret < 0 ? -1 : ret, ret < 0 ? static_cast<uint32_t>(-ret) : 0);
}

} // namespace

int tav_check_namespace(const char *key, const void *, size_t, void *) {
    for (const char *ns : kNamespaces)
        if (strncmp(key, ns, strlen(ns)) == 0)
            return 0;
    log_error("namespace for key[%s] not supported", key);
    return -EOPNOTSUPP;
}

int tav_check_xattr(const xdict *xattr) {
    if (xattr == nullptr)
        return 0;
    return xdict_for_each(xattr, tav_check_namespace, nullptr);
}

TAV_COROUTINE_FN void tav_getxattr_handler(tav_stub *stub) {
    tav_inode_info *inode = stub->inode;
    const char *key = stub->args.key;
    int ret = load(inode);
    if (ret == 0) {
        size_t vsize = 0;
        const void *value = xdict_get_data(inode->xattr, key, &vsize);
        if (value == nullptr) {
            log_debug("the attribute for %s not exist", key);
            ret = -ENODATA;
        } else if (stub->args.value != nullptr && stub->args.size < vsize) {
            log_error("buffer(%lu) is smaller than needed(%lu)", (unsigned long)stub->args.size,
                      (unsigned long)vsize);
            ret = -ERANGE;
        } else {
            if (stub->args.value != nullptr)
                memcpy(stub->args.value, value, vsize);
            ret = static_cast<int>(vsize);
        }
    }
    log_debug("getxattr: %d(%s)", ret < 0 ? -1 : ret, strerror(ret < 0 ? -ret : 0));
    complete(stub, ret);
}

// Sets one attribute.  0 or negative errno; a refusal leaves the dictionary
// and the inode as they were.
TAV_COROUTINE_FN int tav_setxattr_update_inode(tav_inode_info *inode, const char *key, const void *value,
                                               size_t size, int syncflag, struct stat *prestat,
                                               struct stat *poststat) {
    int ret = begin_change(inode, prestat);
    if (ret < 0)
        return ret;
    // The length the dictionary would have is known before the change, so a
    // refused set never has to be undone.  (Values above 65535 bytes are
    // refused by the dictionary itself.)
    if (size <= UINT16_MAX && !within_limit(inode, tav_inode_xattr_length_with(inode, key, size)))
        return -ENOSPC;
    ret = xdict_set(inode->xattr, key, value, size);
    if (ret < 0) {
        log_error("xdict_set failed: %d(%s)", ret, strerror(-ret));
        return ret;
    }
    bool added = ret == 1;
    if (strcmp(key, TAV_XATTR_BD_KEY) == 0 && tav_inode_bd_repair(inode))
        log_info("fix inode bd type");
    changed(inode, poststat);
    ret = commit(inode, syncflag, true);
    if (ret == 0 && added)
        log_debug("add xattr: %s", key);
    return ret;
}

TAV_COROUTINE_FN void tav_setxattr_handler(tav_stub *stub) {
    int ret;
    if (tav_check_namespace(stub->args.key, nullptr, 0, nullptr) < 0) {
        log_error("namespace for key[%s] not supported", stub->args.key);
        ret = -EOPNOTSUPP;
    } else {
        ret = tav_setxattr_update_inode(stub->inode, stub->args.key, stub->args.value, stub->args.size,
                                        stub->args.flags, stub->args.prestat, stub->args.poststat);
    }
    if (ret < 0)
        log_error("setxattr: %d(%s)", -1, strerror(-ret));
    else
        log_trace("setxattr: %d(%s)", 0, strerror(0));
    complete(stub, ret);
}

// Sets every item of `xattr`.  0 or negative errno.
TAV_COROUTINE_FN int tav_setxattr_with_dict_update_inode(tav_inode_info *inode, const xdict *xattr,
                                                         int syncflag, struct stat *prestat,
                                                         struct stat *poststat) {
    int ret = begin_change(inode, prestat);
    if (ret < 0)
        return ret;
    // A dictionary the page cannot hold would make every later write of the
    // inode fail and, at the next reload, silently drop the file's unwritten
    // changes: it is refused before anything changes.
    if (!within_limit(inode, tav_inode_xattr_length_with_dict(inode, xattr)))
        return -ENOSPC;
    ret = xdict_copy(xattr, inode->xattr);
    if (ret < 0) {
        log_error("xdict_set failed: %d(%s)", ret, strerror(-ret));
        return ret;
    }
    changed(inode, poststat);
    return commit(inode, syncflag, true);
}

TAV_COROUTINE_FN void tav_setxattr_with_dict_handler(tav_stub *stub) {
    const xdict *xattr = static_cast<const xdict *>(stub->args.other);
    int ret = tav_check_xattr(xattr);
    if (ret == 0)
        ret = tav_setxattr_with_dict_update_inode(stub->inode, xattr, stub->args.flags, stub->args.prestat,
                                                  stub->args.poststat);
    if (ret < 0)
        log_error("setxattr: %d(%s)", -1, strerror(-ret));
    else
        log_trace("setxattr: %d(%s)", 0, strerror(0));
    complete(stub, ret);
}

TAV_COROUTINE_FN void tav_getxattr_with_dict_handler(tav_stub *stub) {
    tav_inode_info *inode = stub->inode;
    int ret = load(inode);
    if (ret == 0) {
        ret = xdict_copy(inode->xattr, static_cast<xdict *>(stub->args.other));
        if (ret < 0)
            log_error("dict_copy failed: %d", ret);
    }
    if (ret < 0)
        log_error("getxattr: %d(%s)", -1, strerror(-ret));
    else
        log_trace("getxattr: %d(%s)", 0, strerror(0));
    complete(stub, ret);
}

// Removes one attribute.  0 or negative errno (-ENODATA when absent).
TAV_COROUTINE_FN int tav_removexattr_update_inode(tav_inode_info *inode, const char *key, int syncflag,
                                                  struct stat *prestat, struct stat *poststat) {
    int ret = begin_change(inode, prestat);
    if (ret < 0)
        return ret;
    ret = xdict_del(inode->xattr, key);
    if (ret < 0) {
        if (ret == -ENODATA)
            log_trace("xdict_del failed: %d(%s)", ret, strerror(-ret));
        else
            log_error("xdict_del failed: %d(%s)", ret, strerror(-ret));
        return ret;
    }
    changed(inode, poststat);
    ret = commit(inode, syncflag, false);
    if (ret == 0)
        log_debug("delete xattr: %s", key);
    return ret;
}

TAV_COROUTINE_FN void tav_removexattr_handler(tav_stub *stub) {
    int ret = tav_removexattr_update_inode(stub->inode, stub->args.key, stub->args.flags, stub->args.prestat,
                                           stub->args.poststat);
    if (ret < 0 && ret != -ENODATA)
        log_error("removexattr: %d(%s)", -1, strerror(-ret));
    else
        log_trace("removexattr: %d(%s)", ret < 0 ? -1 : 0, strerror(-ret));
    complete(stub, ret);
}

TAV_COROUTINE_FN void tav_listxattr_handler(tav_stub *stub) {
    tav_inode_info *inode = stub->inode;
    int ret = load(inode);
    if (ret == 0) {
        ssize_t len =
            xdict_serialize_keys(inode->xattr, static_cast<char *>(stub->args.value), stub->args.size);
        if (len < 0)
            log_error("xattr unserialize failed: %d(%s)", (int)len, strerror((int)-len));
        ret = static_cast<int>(len);
    }
    if (ret < 0)
        log_error("listxattr: %d(%s)", -1, strerror(-ret));
    else
        log_trace("listxattr: %d(%s)", ret, strerror(0));
    complete(stub, ret);
}
