// Namespace and attribute handlers: statfs, open and create, unlink, get and
// set attributes, the compression state, the file listing, the borrow query,
// inode information and expansion.
//
// Each handler runs in its request's coroutine, reports exactly once through
// the callback and logs its outcome.  Results are positive errno values here
// and become (-1, errno) at the callback.
// Programming errors abort in every build type.
#include <assert.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <uuid/uuid.h>

#include "fd.h"
#include "handlers.h"
#include "instance.h"
#include "logger.h"
#include "memory.h"
#include "premap.h"
#include "xattr.h"

// "<what>: <result>(<errno text>)": ERROR on failure, `ok_level` on success.
#define LOG_OUTCOME(ok_level, fmt, err)                                                                      \
    do {                                                                                                     \
        if (err)                                                                                             \
            log_error(fmt, -1, strerror(err));                                                               \
        else                                                                                                 \
            TAV_LOG(ok_level, fmt, 0, strerror(0));                                                          \
    } while (0)

namespace {

void complete(tav_stub *stub, int err) {
    tav_stub_complete(stub, err ? -1 : 0, static_cast<uint32_t>(err));
}

uint64_t ns_of(const struct timespec &ts) {
    // Times before the epoch cannot be stored: they become the epoch.
    if (ts.tv_sec < 0)
        return 0;
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

// Creates the file named by an open request with O_CREAT: the inode is
// linked in the INIT state with its mutex held until its first write is done,
// so that a concurrent open of the same name waits and then sees the outcome.
TAV_COROUTINE_FN void create_handler(tav_stub *stub) {
    tav *fs = stub->tav;
    const xdict *xattr = static_cast<const xdict *>(stub->args.other);
    int flags = stub->args.flags;
    int err = 0;
    tav_fd *fd = nullptr;
    uint64_t ino = 0;
    tav_inode_info *inode = nullptr;

    if (tav_check_xattr(xattr) < 0) {
        err = EOPNOTSUPP;
    } else if ((inode = tav_inode_create(&fs->itable, stub->args.name, nullptr, xattr)) == nullptr) {
        log_error("inode create failed");
        err = ENOMEM;
    } else if (tav_inode_setup_new(inode, flags, static_cast<mode_t>(stub->args.mode)) < 0) {
        log_error("inode create failed");
        err = ENOMEM;
        inode->ondisk.i_state = TAV_I_FREE; // never linked: the last reference frees it
        tav_inode_unref(inode, __func__);
        inode = nullptr;
    }

    if (inode != nullptr) {
        // Not yet visible: the lock is free, and taking it before the link
        // means no open can reach the inode before its creator holds it.
        co_mutex_lock(&inode->lock);
        tav_inode_info *linked = tav_inode_link_ex(&fs->itable, inode);
        assert(linked == inode);
        (void)linked;
        bool have_ino = false;
        int ret = tav_super_get_ino(fs, &ino);
        if (ret < 0) {
            log_error("inode number allocation failed");
            err = -ret;
        } else {
            have_ino = true;
            tav_inode_bind(inode, ino);
            fd = tav_fd_create(inode, flags);
            if (fd == nullptr) {
                log_error("create fd failed");
                err = ENOMEM;
            } else if (tav_inode_fresh_write(inode) < 0) {
                log_error("inode write failed");
                err = EIO;
                tav_fd_unref(fd);
                fd = nullptr;
            }
        }
        if (err) {
            // The slot holds no record of this file: its number is free again.
            if (have_ino)
                tav_super_put_ino(fs, ino);
            inode->ondisk.i_state = TAV_I_FREE;
            tav_inode_unlink(inode);
        }
        co_mutex_unlock(&inode->lock);
        tav_inode_unref(inode, __func__);
    }

    if (err)
        log_error("file create: %d(%s) ino:%ld", -1, strerror(err), (long)ino);
    else
        log_info("file create: %d(%s) ino:%ld", 0, strerror(0), (long)ino);
    tav_stub_complete_open(stub, err ? -1 : 0, static_cast<uint32_t>(err), fd);
}

// The borrow query and inode information look the file up themselves (they
// travel as open requests): 0 and a loaded inode with a reference, or the
// errno to report.
TAV_COROUTINE_FN int lookup_loaded(tav_stub *stub, tav_inode_info **out) {
    tav_inode_info *inode = tav_inode_find_get(&stub->tav->itable, stub->args.name, 0);
    if (inode == nullptr) {
        log_error("inode not found");
        return ENOENT;
    }
    if (tav_inode_read(inode) < 0) {
        log_error("inode access failed, return -EIO");
        tav_inode_unref(inode, __func__);
        return EIO;
    }
    *out = inode;
    return 0;
}

} // namespace

TAV_COROUTINE_FN void tav_statfs_handler(tav_stub *stub) {
    tav *instance = stub->tav;
    int err = 0;
    if (tav_sb_read(&instance->sb) < 0) {
        log_error("super access failed, return -EIO");
        err = EIO;
    } else {
        int ret = tav_super_get_statfs(instance, stub->args.statvfs);
        if (ret < 0)
            err = -ret;
    }
    LOG_OUTCOME(LOG_LEVEL_TRACE, "statfs: %d(%s)", err);
    complete(stub, err);
}

TAV_COROUTINE_FN void tav_open_handler(tav_stub *stub) {
    int flags = stub->args.flags;
    bool creat = flags & O_CREAT;
    // Files still being created count only for O_CREAT, which waits for them.
    tav_inode_info *inode = tav_inode_find_get(&stub->tav->itable, stub->args.name, creat);
    if (inode != nullptr && inode->ondisk.i_state == TAV_I_ERROR) {
        tav_inode_unref(inode, __func__);
        inode = nullptr;
    }
    if (inode == nullptr && creat) {
        create_handler(stub);
        return;
    }
    int err = 0;
    tav_fd *fd = nullptr;
    if (inode == nullptr) {
        log_error("inode not found");
        err = ENOENT;
    } else if (creat && (flags & O_EXCL)) {
        err = EEXIST;
    } else {
        co_mutex_lock(&inode->lock);
        uint64_t st = inode->ondisk.i_state;
        if (st == TAV_I_FREE || st == TAV_I_INIT) {
            // A creation that failed while this open waited: no record of
            // the file exists to be read.
            err = ENOENT;
        } else if (tav_inode_read(inode) < 0) {
            log_error("read inode failed");
            err = EIO;
        } else if (inode->ondisk.i_state != TAV_I_NORMAL) {
            err = ENOENT;
        } else if ((fd = tav_fd_create(inode, flags)) == nullptr) {
            err = ENOMEM;
        }
        co_mutex_unlock(&inode->lock);
    }
    if (inode != nullptr)
        tav_inode_unref(inode, __func__);
    LOG_OUTCOME(LOG_LEVEL_TRACE, "file open: %d(%s)", err);
    tav_stub_complete_open(stub, err ? -1 : 0, static_cast<uint32_t>(err), fd);
}

TAV_COROUTINE_FN void tav_create_ex_cbk(int64_t op_ret, uint32_t op_errno, void *data, tav_fd *fd) {
    create_ex_info *ctx = static_cast<create_ex_info *>(data);
    int err = op_ret < 0 ? static_cast<int>(op_errno) : 0;
    if (err == 0) {
        int ret = tav_inode_premap(fd->inode, ctx->pblock, ctx->count, ctx->realsize, ctx->type);
        if (ret < 0)
            err = -ret;
    }
    if (err)
        log_error("file create_ex: %d(%s)", -1, strerror(err));
    else
        log_info("file create_ex: %d(%s) ino:%ld", 0, strerror(0), (long)fd->inode->ondisk.i_no);
    // A file that could not be laid out is still open: the caller closes it.
    ctx->cbk(err ? -1 : 0, static_cast<uint32_t>(err), ctx->data, fd);
    tav_free(ctx);
}

TAV_COROUTINE_FN void tav_unlink_handler(tav_stub *stub) {
    tav_inode_info *inode = stub->inode;
    int err = 0;
    {
        CoMutexGuard guard(&inode->lock);
        if (tav_inode_read(inode) < 0) {
            log_error("read inode failed");
            err = EIO;
        } else if (inode->ondisk.i_state != TAV_I_NORMAL) {
            // Unlinked by a request that held the mutex first.
            err = ENOENT;
        } else {
            inode->ondisk.i_state = TAV_I_UNLINK;
            if (tav_inode_write(inode) < 0) {
                log_error("write inode failed");
                inode->ondisk.i_state = TAV_I_NORMAL;
                err = EIO;
            } else {
                // Open handles keep the inode on the vacant list; the last
                // reference moves it to the unlink timer.
                tav_inode_unlink(inode);
            }
        }
    }
    if (err)
        log_error("unlink: %d(%s)", -1, strerror(err));
    else
        log_info("unlink: %d(%s)", 0, strerror(0));
    complete(stub, err);
}

TAV_COROUTINE_FN void tav_getattr_handler(tav_stub *stub) {
    tav_inode_info *inode = stub->inode;
    int err = 0;
    if (tav_inode_read(inode) < 0) {
        log_error("inode access failed, return -EIO");
        err = EIO;
    } else {
        tav_inode_get_stat(inode, stub->args.stat);
        if (tav_inode_bd_repair(inode)) {
            if (tav_inode_write(inode) < 0)
                err = EIO;
            else
                log_info("fix inode bd type");
        }
    }
    LOG_OUTCOME(LOG_LEVEL_TRACE, "getattr: %d(%s)", err);
    complete(stub, err);
}

// Applies the attributes of `st` selected by `valid` and stamps ctime; the
// inode reaches the device with the next dirty flush.  0 or -EIO.
TAV_COROUTINE_FN int tav_setattr_update_inode(tav_inode_info *inode, const struct stat *st, int valid,
                                              struct stat *prestat, struct stat *poststat) {
    if (tav_inode_read(inode) < 0) {
        log_error("inode access failed, return -EIO");
        return -EIO;
    }
    if (prestat)
        tav_inode_get_stat(inode, prestat);
    tav_disk_inode *d = &inode->ondisk;
    if (valid & TAV_SET_ATTR_MODE)
        d->i_mode = (static_cast<uint64_t>(st->st_mode) & ~0xF000ull) | S_IFREG;
    if (valid & TAV_SET_ATTR_UID)
        d->i_uid = st->st_uid;
    if (valid & TAV_SET_ATTR_GID)
        d->i_gid = st->st_gid;
    if (valid & TAV_SET_ATTR_ATIME)
        d->i_atime = ns_of(st->st_atim);
    if (valid & TAV_SET_ATTR_MTIME)
        d->i_mtime = ns_of(st->st_mtim);
    if (valid & TAV_SET_ATTR_CTIME) {
        uint64_t ctime = ns_of(st->st_ctim);
        tav_inode_update_amctime(inode, TAV_INODE_CTIME, &ctime);
    } else {
        tav_inode_update_amctime(inode, TAV_INODE_CTIME, nullptr);
    }
    if (poststat)
        tav_inode_get_stat(inode, poststat);
    tav_inode_mark_dirty(inode);
    return 0;
}

TAV_COROUTINE_FN void tav_setattr_handler(tav_stub *stub) {
    int ret = tav_setattr_update_inode(stub->inode, stub->args.stat, stub->args.valid, stub->args.prestat,
                                       stub->args.poststat);
    int err = ret < 0 ? -ret : 0;
    if (err)
        log_error("update inode failed: %d(%s)", ret, strerror(err));
    LOG_OUTCOME(LOG_LEVEL_TRACE, "setattr: %d(%s)", err);
    complete(stub, err);
}

TAV_COROUTINE_FN void tav_statex_handler(tav_stub *stub) {
    int err = 0;
    if (tav_inode_read(stub->inode) < 0) {
        log_error("inode access failed, return -EIO");
        err = EIO;
    } else {
        tav_inode_get_statex(stub->inode, static_cast<tav_statex *>(stub->args.other));
    }
    LOG_OUTCOME(LOG_LEVEL_TRACE, "statex: %d(%s)", err);
    complete(stub, err);
}

TAV_COROUTINE_FN void tav_listfile_handler(tav_stub *stub) {
    tav *fs = stub->tav;
    int err = 0;
    if (fs->itable.inode_count > 0) {
        auto fn = reinterpret_cast<tav_listfile_filter_fn>(stub->args.other);
        int ret = tav_itable_for_each_opened(&fs->itable, fn, stub->args.flags, stub->data);
        if (ret < 0)
            err = -ret;
    }
    LOG_OUTCOME(LOG_LEVEL_TRACE, "listfile: %d(%s)", err);
    complete(stub, err);
}

TAV_COROUTINE_FN void tav_file_is_borrow_handler(tav_stub *stub) {
    tav_inode_info *inode;
    int err = lookup_loaded(stub, &inode);
    bool borrowed = false;
    if (err == 0) {
        borrowed = inode->ondisk.i_type & TAV_FILE_TYPE_BORROW;
        tav_inode_unref(inode, __func__);
    }
    // Not borrowed is the answer (-1, 0), not a failure.
    if (borrowed)
        log_trace("file open: %d(%s)", 0, strerror(0));
    else
        log_error("file open: %d(%s)", -1, strerror(err));
    tav_stub_complete(stub, borrowed ? 0 : -1, static_cast<uint32_t>(err));
}

TAV_COROUTINE_FN void tav_get_inode_info_handler(tav_stub *stub) {
    tav_inode_info *inode;
    int err = lookup_loaded(stub, &inode);
    if (err == 0) {
        xdict *dict = tav_inode_info2dict(inode);
        tav_inode_unref(inode, __func__);
        size_t vsize = 0;
        const void *value = dict ? xdict_get_data(dict, stub->args.key, &vsize) : nullptr;
        if (dict == nullptr) {
            log_error("calloc dict failed");
            err = ENOMEM;
        } else if (value == nullptr) {
            err = ENODATA;
        } else if (stub->args.size < vsize) {
            log_error("buffer(%lu) is smaller than needed(%lu)", (unsigned long)stub->args.size,
                      (unsigned long)vsize);
            err = EINVAL;
        } else {
            memcpy(stub->args.value, value, vsize);
        }
        if (dict)
            xdict_destroy(dict);
    }
    complete(stub, err);
}

TAV_COROUTINE_FN void tav_expand_handler(tav_stub *stub) {
    tav *fs = stub->tav;
    tav_sb_info *sb = &fs->sb;
    int err = 0;
    ioengine_statdev dev = {};
    int ret;
    if (tav_sb_read(sb) < 0) {
        log_error("super access failed, return -EIO");
        err = EIO;
    } else if ((ret = ioengine_statdev_get(ioengine_get_default(), &dev)) < 0) {
        err = -ret;
    } else {
        uint64_t length = stub->args.size ? stub->args.size : dev.phy_length;
        uint64_t target = length / TAV_BLOCK_SIZE;
        uint64_t blocks = sb->tav_disk_sb.s_blocks_count;
        // The zone map was sized at format time: blocks beyond what its
        // pages describe could never be handed out.
        uint64_t zmap_blocks = static_cast<uint64_t>(fs->zmap.page_count) * TAV_ZMAP_PAGE_BITMAP_SIZE;
        log_info("target size set to %lu(blocks: %lu -> %lu)", (unsigned long)length, (unsigned long)blocks,
                 (unsigned long)target);
        if (target == blocks) {
            log_trace("target blocks(%lu) is equal to original blocks(%lu), do nothing",
                      (unsigned long)target, (unsigned long)blocks);
        } else if (target < blocks) {
            log_error("target blocks(%lu) is smaller than original blocks(%lu)", (unsigned long)target,
                      (unsigned long)blocks);
            err = EINVAL;
        } else if (target * TAV_BLOCK_SIZE > dev.phy_length) {
            log_error("target size(%lu) is larger than physical disk size(%lu)",
                      (unsigned long)(target * TAV_BLOCK_SIZE), (unsigned long)dev.phy_length);
            err = EINVAL;
        } else if (target > zmap_blocks) {
            log_error("target blocks(%lu) is more than the zone map describes(%lu)", (unsigned long)target,
                      (unsigned long)zmap_blocks);
            err = EINVAL;
        } else {
            sb->tav_disk_sb.s_blocks_count = target;
            if (tav_sb_write(sb) < 0) {
                log_error("super write failed, return -EIO");
                sb->tav_disk_sb.s_blocks_count = blocks;
                err = EIO;
            }
        }
    }
    LOG_OUTCOME(LOG_LEVEL_INFO, "expand: %d(%s)", err);
    complete(stub, err);
}
