// The asynchronous API: argument checks, stub builders and launch.
//
// Every entry point either returns a negative errno (nothing launched, no
// callback) or 0, after which exactly one callback follows.
#include <errno.h>
#include <fcntl.h>
#include <linux/fiemap.h>
#include <string.h>
#include <uuid/uuid.h>

#include "fd.h"
#include "handlers.h"
#include "instance.h"
#include "stub.h"
#include "logger.h"
#include "memory.h"

namespace {

// Name checks shared by name-based entry points: the null UUID is never a file.
bool name_ok(const unsigned char *name) {
    if (uuid_is_null(name)) {
        log_error("name uuid is null");
        return false;
    }
    return true;
}

bool range_ok(int64_t offset, uint64_t size) {
    uint64_t end = static_cast<uint64_t>(offset) + size;
    if (end > TAV_MAX_FILE_SIZE) {
        log_error("offset(%ld) + size(%lu) = %lu exceeds max file size(%lu)", (long)offset,
                  (unsigned long)size, (unsigned long)end, (unsigned long)TAV_MAX_FILE_SIZE);
        return false;
    }
    return true;
}

bool length_range_ok(int64_t offset, uint64_t length) {
    uint64_t end = static_cast<uint64_t>(offset) + length;
    if (end > TAV_MAX_FILE_SIZE) {
        log_error("offset(%ld) + length(%lu) = %lu exceeds max file size(%lu)", (long)offset,
                  (unsigned long)length, (unsigned long)end, (unsigned long)TAV_MAX_FILE_SIZE);
        return false;
    }
    return true;
}

tav *fd_instance(tav_fd *fd) {
    return fd->fs;
}

// Launches a built stub; frees it when no coroutine can be made.
int launch(tav_stub *stub, tav_stub_handler_fn handler) {
    if (stub == nullptr)
        return -ENOMEM;
    int ret = tav_stub_launch(stub, handler);
    if (ret < 0)
        tav_stub_free(stub);
    return ret;
}

tav_stub *stub_by_name(tav *instance, tav_op_t op, const unsigned char *name, void *cbk, void *data) {
    tav_stub *stub = tav_stub_new(instance, op, cbk, data);
    if (stub)
        memcpy(stub->args.name, name, 16);
    return stub;
}

tav_stub *stub_by_fd(tav_fd *fd, tav_op_t op, void *cbk, void *data) {
    tav_stub *stub = tav_stub_new(fd_instance(fd), op, cbk, data);
    if (stub)
        stub->args.fd = fd;
    return stub;
}

void set_stats(tav_stub *stub, struct stat *prestat, struct stat *poststat) {
    stub->args.prestat = prestat;
    stub->args.poststat = poststat;
}

// Copies the caller's vector: one element inside the stub, more in an array.
bool copy_iovec(tav_stub *stub, const struct iovec *iov, int count) {
    if (count == 1) {
        stub->args.iovec_static = iov[0];
        stub->args.iovec = &stub->args.iovec_static;
    } else {
        stub->args.iovec = static_cast<struct iovec *>(
            tav_malloc(sizeof(struct iovec) * static_cast<size_t>(count), TAV_MEM_IOVEC));
        if (stub->args.iovec == nullptr)
            return false;
        memcpy(stub->args.iovec, iov, sizeof(struct iovec) * static_cast<size_t>(count));
    }
    stub->args.iovcnt = count;
    return true;
}

int rw_async(tav_op_t op, tav_fd *fd, const struct iovec *iov, int count, off_t offset, struct stat *prestat,
             struct stat *poststat, int flags, tav_common_cbk_fn cbk, void *data) {
    if (!fd || !fd->inode || !iov || count <= 0 || offset < 0 || !cbk) {
        log_error("invaid arguments: fd:%p, iovec:%p, count:%u, offset:%ld, cbk:%p", (void *)fd,
                  (const void *)iov, (unsigned)count, (long)offset, (void *)cbk);
        return -EINVAL;
    }
    size_t size = 0;
    for (int i = 0; i < count; i++)
        size += iov[i].iov_len;
    if (size == 0) {
        log_error("size is zero, iovec[0].iov_len: %lu", (unsigned long)iov[0].iov_len);
        return -EINVAL;
    }
    if (!range_ok(offset, size))
        return -EFBIG;
    tav_stub *stub = stub_by_fd(fd, op, reinterpret_cast<void *>(cbk), data);
    if (stub == nullptr)
        return -ENOMEM;
    if (!copy_iovec(stub, iov, count)) {
        tav_stub_free(stub);
        return -ENOMEM;
    }
    stub->args.offset = offset;
    stub->args.size = size;
    stub->args.flags = flags;
    set_stats(stub, prestat, poststat);
    tav_stub_bsrange_update(stub);
    return launch(stub, op == TAV_OP_READ ? tav_preadv_handler : tav_pwritev_handler);
}

int open_common(tav *instance, const unsigned char *name, int flags, mode_t mode, xdict *xattr,
                tav_open_cbk_fn cbk, void *data) {
    if (!instance || !name || !cbk) {
        log_error("invaid arguments: tav:%p, name:%p, cbk:%p", (void *)instance, (const void *)name,
                  (void *)cbk);
        return -EINVAL;
    }
    if (!name_ok(name))
        return -EINVAL;
    tav_stub *stub = tav_stub_for_open(instance, name, flags, mode, reinterpret_cast<void *>(cbk), data);
    if (stub == nullptr)
        return -ENOMEM;
    stub->args.other = xattr;
    return launch(stub, tav_open_handler);
}

// Space operations share their checks: fallocate, zerofill, discard.
int space_async(tav_op_t op, tav_fd *fd, int mode, off_t offset, size_t length, struct stat *prestat,
                struct stat *poststat, tav_common_cbk_fn cbk, void *data, tav_stub_handler_fn handler) {
    if (!fd || !fd->inode || !cbk || offset < 0 || length == 0) {
        if (op == TAV_OP_FALLOCATE)
            log_error("invaid arguments: fd:%p, mode:%d, offset:%ld, length:%lu, cbk:%p", (void *)fd, mode,
                      (long)offset, (unsigned long)length, (void *)cbk);
        else
            log_error("invaid arguments: fd:%p, offset:%ld, length:%lu, cbk:%p", (void *)fd, (long)offset,
                      (unsigned long)length, (void *)cbk);
        return -EINVAL;
    }
    if (op == TAV_OP_DISCARD && (static_cast<uint64_t>(offset) % 4096 || length % 4096)) {
        log_error("offset(%ld) or length(%lu) unaligned to %lu", (long)offset, (unsigned long)length, 4096UL);
        return -EINVAL;
    }
    if (!length_range_ok(offset, length))
        return -EFBIG;
    tav_stub *stub = stub_by_fd(fd, op, reinterpret_cast<void *>(cbk), data);
    if (stub == nullptr)
        return -ENOMEM;
    stub->args.mode = static_cast<uint32_t>(mode);
    stub->args.offset = offset;
    stub->args.size = length;
    set_stats(stub, prestat, poststat);
    return launch(stub, handler);
}

bool key_ok(const char *key) {
    return key != nullptr && key[0] != '\0';
}
bool both_or_none(const void *value, size_t size) {
    return (value == nullptr) == (size == 0);
}

} // namespace

tav_stub *tav_stub_for_open(tav *instance, const unsigned char *name, int flags, mode_t mode, void *cbk,
                            void *data) {
    tav_stub *stub = stub_by_name(instance, TAV_OP_OPEN, name, cbk, data);
    if (stub) {
        stub->args.flags = flags;
        stub->args.mode = mode;
    }
    return stub;
}

extern "C" {

int tav_statfs_async(tav *instance, struct statvfs *stbuf, tav_statfs_cbk_fn cbk, void *data) {
    if (!instance || !stbuf || !cbk) {
        log_error("invaid arguments: tav:%p, statvfs:%p, cbk:%p", (void *)instance, (void *)stbuf,
                  (void *)cbk);
        return -EINVAL;
    }
    tav_stub *stub = tav_stub_new(instance, TAV_OP_STATFS, (void *)cbk, data);
    if (stub)
        stub->args.statvfs = stbuf;
    return launch(stub, tav_statfs_handler);
}

int tav_open_async(tav *instance, const unsigned char *name, int flags, mode_t mode, tav_open_cbk_fn cbk,
                   void *data) {
    return open_common(instance, name, flags, mode, nullptr, cbk, data);
}

int tav_create_async(tav *instance, const unsigned char *name, int flags, mode_t mode, tav_open_cbk_fn cbk,
                     void *data) {
    return open_common(instance, name, flags | O_CREAT | O_EXCL, mode, nullptr, cbk, data);
}

int tav_open_with_dict_async(tav *instance, const unsigned char *name, int flags, mode_t mode, xdict *xattr,
                             tav_open_cbk_fn cbk, void *data) {
    return open_common(instance, name, flags, mode, xattr, cbk, data);
}

int tav_create_ex(tav *instance, const unsigned char *name, off_t phyoff, size_t phylen, size_t realsize,
                  int flags, mode_t mode, uint32_t type, tav_open_cbk_fn cbk, void *data) {
    // A file can map at most 256 GiB: a longer range or size could not be
    // laid out in its extent blocks.
    if (!instance || !name || !cbk || phylen == 0 || realsize == 0 || phyoff < 0 ||
        (uint64_t)phyoff % TAV_BLOCK_SIZE || phylen % TAV_BLOCK_SIZE || phylen > TAV_MAX_FILE_SIZE ||
        realsize > TAV_MAX_FILE_SIZE) {
        log_error("invaid arguments: tav:%p, name:%p, phyoff:%ld, phylen:%lu, realsize:%lu, "
                  "cbk:%p",
                  (void *)instance, (const void *)name, (long)phyoff, (unsigned long)phylen,
                  (unsigned long)realsize, (void *)cbk);
        return -EINVAL;
    }
    if (!name_ok(name))
        return -EINVAL;
    uint64_t pblock = (uint64_t)phyoff / TAV_BLOCK_SIZE;
    if (pblock < instance->sb.tav_disk_sb.s_first_data_block)
        return -EINVAL;
    create_ex_info *ctx = static_cast<create_ex_info *>(tav_calloc(1, sizeof(*ctx), TAV_MEM_OTHER));
    if (ctx == nullptr)
        return -ENOMEM;
    *ctx = {pblock, (uint32_t)(phylen / TAV_BLOCK_SIZE), realsize, type, instance, cbk, data};
    int ret = open_common(instance, name, flags | O_CREAT | O_EXCL, mode, nullptr, tav_create_ex_cbk, ctx);
    if (ret < 0)
        tav_free(ctx);
    return ret;
}

int tav_unlink_async(tav *instance, const unsigned char *name, tav_unlink_cbk_fn cbk, void *data) {
    if (!instance || !name || !cbk) {
        log_error("invaid arguments: tav:%p, name:%p, cbk:%p", (void *)instance, (const void *)name,
                  (void *)cbk);
        return -EINVAL;
    }
    if (!name_ok(name))
        return -EINVAL;
    return launch(stub_by_name(instance, TAV_OP_UNLINK, name, (void *)cbk, data), tav_unlink_handler);
}

int tav_getattr_async(tav *instance, const unsigned char *name, struct stat *stbuf, tav_getattr_cbk_fn cbk,
                      void *data) {
    if (!instance || !name || !stbuf || !cbk) {
        log_error("invaid arguments: tav:%p, name:%p, stat:%p, cbk:%p", (void *)instance, (const void *)name,
                  (void *)stbuf, (void *)cbk);
        return -EINVAL;
    }
    if (!name_ok(name))
        return -EINVAL;
    tav_stub *stub = stub_by_name(instance, TAV_OP_GETATTR, name, (void *)cbk, data);
    if (stub)
        stub->args.stat = stbuf;
    return launch(stub, tav_getattr_handler);
}

int tav_fgetattr_async(tav_fd *fd, struct stat *stbuf, tav_getattr_cbk_fn cbk, void *data) {
    if (!fd || !stbuf || !cbk) {
        log_error("invaid arguments: fd:%p, stat:%p, cbk:%p", (void *)fd, (void *)stbuf, (void *)cbk);
        return -EINVAL;
    }
    tav_stub *stub = stub_by_fd(fd, TAV_OP_FGETATTR, (void *)cbk, data);
    if (stub)
        stub->args.stat = stbuf;
    return launch(stub, tav_getattr_handler);
}

int tav_setattr_async(tav *instance, const unsigned char *name, struct stat *stbuf, int valid,
                      struct stat *prestat, struct stat *poststat, tav_setattr_cbk_fn cbk, void *data) {
    if (!instance || !name || !stbuf || !cbk || valid == 0) {
        log_error("invaid arguments: tav:%p, name:%p, stat:%p, valid:0x%x, cbk:%p", (void *)instance,
                  (const void *)name, (void *)stbuf, valid, (void *)cbk);
        return -EINVAL;
    }
    if (!name_ok(name))
        return -EINVAL;
    tav_stub *stub = stub_by_name(instance, TAV_OP_SETATTR, name, (void *)cbk, data);
    if (stub) {
        stub->args.stat = stbuf;
        stub->args.valid = valid;
        set_stats(stub, prestat, poststat);
    }
    return launch(stub, tav_setattr_handler);
}

int tav_fsetattr_async(tav_fd *fd, struct stat *stbuf, int valid, struct stat *prestat, struct stat *poststat,
                       tav_setattr_cbk_fn cbk, void *data) {
    if (!fd || !stbuf || !cbk || valid == 0) {
        log_error("invaid arguments: fd:%p, stat:%p, valid:0x%x, cbk:%p", (void *)fd, (void *)stbuf, valid,
                  (void *)cbk);
        return -EINVAL;
    }
    tav_stub *stub = stub_by_fd(fd, TAV_OP_FSETATTR, (void *)cbk, data);
    if (stub) {
        stub->args.stat = stbuf;
        stub->args.valid = valid;
        set_stats(stub, prestat, poststat);
    }
    return launch(stub, tav_setattr_handler);
}

int tav_getxattr_async(tav *instance, const unsigned char *name, const char *key, void *value, size_t size,
                       tav_getxattr_cbk_fn cbk, void *data) {
    if (!instance || !name || !cbk || !key_ok(key) || !both_or_none(value, size)) {
        log_error("invaid arguments: tav:%p, name:%p, key:%p, value:%p, size:%lu, cbk:%p", (void *)instance,
                  (const void *)name, (const void *)key, value, (unsigned long)size, (void *)cbk);
        return -EINVAL;
    }
    if (!name_ok(name))
        return -EINVAL;
    tav_stub *stub = stub_by_name(instance, TAV_OP_GETXATTR, name, (void *)cbk, data);
    if (stub) {
        stub->args.key = key;
        stub->args.value = value;
        stub->args.size = size;
    }
    return launch(stub, tav_getxattr_handler);
}

int tav_fgetxattr_async(tav_fd *fd, const char *key, void *value, size_t size, tav_getxattr_cbk_fn cbk,
                        void *data) {
    if (!fd || !cbk || !key_ok(key) || !both_or_none(value, size)) {
        log_error("invaid arguments: fd:%p, key:%p, value:%p, size:%lu, cbk:%p", (void *)fd,
                  (const void *)key, value, (unsigned long)size, (void *)cbk);
        return -EINVAL;
    }
    tav_stub *stub = stub_by_fd(fd, TAV_OP_FGETXATTR, (void *)cbk, data);
    if (stub) {
        stub->args.key = key;
        stub->args.value = value;
        stub->args.size = size;
    }
    return launch(stub, tav_getxattr_handler);
}

int tav_setxattr_async(tav *instance, const unsigned char *name, const char *key, const void *value,
                       size_t size, int syncflag, struct stat *prestat, struct stat *poststat,
                       tav_setxattr_cbk_fn cbk, void *data) {
    if (!instance || !name || !cbk || !key_ok(key) || !value || size == 0) {
        log_error("invaid arguments: tav:%p, name:%p, key:%p, value:%p, size:%lu, cbk:%p", (void *)instance,
                  (const void *)name, (const void *)key, value, (unsigned long)size, (void *)cbk);
        return -EINVAL;
    }
    if (!name_ok(name))
        return -EINVAL;
    tav_stub *stub = stub_by_name(instance, TAV_OP_SETXATTR, name, (void *)cbk, data);
    if (stub) {
        stub->args.key = key;
        stub->args.value = const_cast<void *>(value);
        stub->args.size = size;
        stub->args.flags = syncflag;
        set_stats(stub, prestat, poststat);
    }
    return launch(stub, tav_setxattr_handler);
}

int tav_fsetxattr_async(tav_fd *fd, const char *key, const void *value, size_t size, int syncflag,
                        struct stat *prestat, struct stat *poststat, tav_setxattr_cbk_fn cbk, void *data) {
    if (!fd || !cbk || !key_ok(key) || !value || size == 0) {
        log_error("invaid arguments: fd:%p, key:%p, value:%p, size:%lu, cbk:%p", (void *)fd,
                  (const void *)key, value, (unsigned long)size, (void *)cbk);
        return -EINVAL;
    }
    tav_stub *stub = stub_by_fd(fd, TAV_OP_FSETXATTR, (void *)cbk, data);
    if (stub) {
        stub->args.key = key;
        stub->args.value = const_cast<void *>(value);
        stub->args.size = size;
        stub->args.flags = syncflag;
        set_stats(stub, prestat, poststat);
    }
    return launch(stub, tav_setxattr_handler);
}

int tav_setxattr_with_dict_async(tav *instance, const unsigned char *name, xdict *xattr, int syncflag,
                                 struct stat *prestat, struct stat *poststat, tav_setxattr_cbk_fn cbk,
                                 void *data) {
    if (!instance || !name || !xattr || !cbk) {
        log_error("invaid arguments: tav:%p, name:%p, xattr:%p, cbk:%p", (void *)instance, (const void *)name,
                  (void *)xattr, (void *)cbk);
        return -EINVAL;
    }
    if (!name_ok(name))
        return -EINVAL;
    tav_stub *stub = stub_by_name(instance, TAV_OP_SETXATTR, name, (void *)cbk, data);
    if (stub) {
        stub->args.other = xattr;
        stub->args.flags = syncflag;
        set_stats(stub, prestat, poststat);
    }
    return launch(stub, tav_setxattr_with_dict_handler);
}

int tav_fsetxattr_with_dict_async(tav_fd *fd, xdict *xattr, int syncflag, struct stat *prestat,
                                  struct stat *poststat, tav_setxattr_cbk_fn cbk, void *data) {
    if (!fd || !xattr || !cbk) {
        log_error("invaid arguments: fd:%p, xattr:%p, cbk:%p", (void *)fd, (void *)xattr, (void *)cbk);
        return -EINVAL;
    }
    tav_stub *stub = stub_by_fd(fd, TAV_OP_FSETXATTR, (void *)cbk, data);
    if (stub) {
        stub->args.other = xattr;
        stub->args.flags = syncflag;
        set_stats(stub, prestat, poststat);
    }
    return launch(stub, tav_setxattr_with_dict_handler);
}

int tav_getxattr_with_dict_async(tav *instance, const unsigned char *name, xdict *xattr,
                                 tav_getxattr_cbk_fn cbk, void *data) {
    if (!instance || !name || !xattr || !cbk) {
        log_error("invaid arguments: tav:%p, name:%p, xattr:%p, cbk:%p", (void *)instance, (const void *)name,
                  (void *)xattr, (void *)cbk);
        return -EINVAL;
    }
    if (!name_ok(name))
        return -EINVAL;
    tav_stub *stub = stub_by_name(instance, TAV_OP_GETXATTR, name, (void *)cbk, data);
    if (stub)
        stub->args.other = xattr;
    return launch(stub, tav_getxattr_with_dict_handler);
}

int tav_fgetxattr_with_dict_async(tav_fd *fd, xdict *xattr, tav_getxattr_cbk_fn cbk, void *data) {
    if (!fd || !xattr || !cbk) {
        log_error("invaid arguments: fd:%p, xattr:%p, cbk:%p", (void *)fd, (void *)xattr, (void *)cbk);
        return -EINVAL;
    }
    tav_stub *stub = stub_by_fd(fd, TAV_OP_FGETXATTR, (void *)cbk, data);
    if (stub)
        stub->args.other = xattr;
    return launch(stub, tav_getxattr_with_dict_handler);
}

int tav_removexattr_async(tav *instance, const unsigned char *name, const char *key, int syncflag,
                          struct stat *prestat, struct stat *poststat, tav_removexattr_cbk_fn cbk,
                          void *data) {
    if (!instance || !name || !cbk || !key_ok(key)) {
        log_error("invaid arguments: tav:%p, name:%p, key:%p, cbk:%p", (void *)instance, (const void *)name,
                  (const void *)key, (void *)cbk);
        return -EINVAL;
    }
    if (!name_ok(name))
        return -EINVAL;
    tav_stub *stub = stub_by_name(instance, TAV_OP_REMOVEXATTR, name, (void *)cbk, data);
    if (stub) {
        stub->args.key = key;
        stub->args.flags = syncflag;
        set_stats(stub, prestat, poststat);
    }
    return launch(stub, tav_removexattr_handler);
}

int tav_fremovexattr_async(tav_fd *fd, const char *key, int syncflag, struct stat *prestat,
                           struct stat *poststat, tav_removexattr_cbk_fn cbk, void *data) {
    if (!fd || !cbk || !key_ok(key)) {
        log_error("invaid arguments: fd:%p, key:%p, cbk:%p", (void *)fd, (const void *)key, (void *)cbk);
        return -EINVAL;
    }
    tav_stub *stub = stub_by_fd(fd, TAV_OP_FREMOVEXATTR, (void *)cbk, data);
    if (stub) {
        stub->args.key = key;
        stub->args.flags = syncflag;
        set_stats(stub, prestat, poststat);
    }
    return launch(stub, tav_removexattr_handler);
}

int tav_listxattr_async(tav *instance, const unsigned char *name, void *value, size_t size,
                        tav_listxattr_cbk_fn cbk, void *data) {
    if (!instance || !name || !cbk || !both_or_none(value, size)) {
        log_error("invaid arguments: tav:%p, name:%p, value:%p, size:%lu, cbk:%p", (void *)instance,
                  (const void *)name, value, (unsigned long)size, (void *)cbk);
        return -EINVAL;
    }
    if (!name_ok(name))
        return -EINVAL;
    tav_stub *stub = stub_by_name(instance, TAV_OP_LISTXATTR, name, (void *)cbk, data);
    if (stub) {
        stub->args.value = value;
        stub->args.size = size;
    }
    return launch(stub, tav_listxattr_handler);
}

int tav_flistxattr_async(tav_fd *fd, void *value, size_t size, tav_listxattr_cbk_fn cbk, void *data) {
    if (!fd || !cbk || !both_or_none(value, size)) {
        log_error("invaid arguments: fd:%p, value:%p, size:%lu, cbk:%p", (void *)fd, value,
                  (unsigned long)size, (void *)cbk);
        return -EINVAL;
    }
    tav_stub *stub = stub_by_fd(fd, TAV_OP_FLISTXATTR, (void *)cbk, data);
    if (stub) {
        stub->args.value = value;
        stub->args.size = size;
    }
    return launch(stub, tav_listxattr_handler);
}

int tav_list_file(tav *instance, tav_listfile_filter_fn fn, tav_listfile_cbk_fn cbk, int flag, void *data) {
    // Without a filter the walk would have nothing to call.
    if (!instance || !cbk || !fn)
        return -EINVAL;
    tav_stub *stub = tav_stub_new(instance, TAV_OP_LISTFILE, (void *)cbk, data);
    if (stub) {
        stub->args.other = (void *)fn;
        stub->args.flags = flag;
    }
    return launch(stub, tav_listfile_handler);
}

int tav_set_iolog(tav *instance, int priv_iolog, tav_setiolog_cbk_fn cbk, void *data) {
    if (!instance || !cbk)
        return -EINVAL;
    tav_stub *stub = tav_stub_new(instance, TAV_OP_SETIOLOG, (void *)cbk, data);
    if (stub)
        stub->priv_iolog = priv_iolog;
    return launch(stub, tav_setiolog_handler);
}

int tav_file_is_borrow(tav *instance, const unsigned char *name, tav_common_cbk_fn cbk, void *data) {
    if (!instance || !name || !cbk) {
        log_error("invaid arguments: tav:%p, name:%p, cbk:%p", (void *)instance, (const void *)name,
                  (void *)cbk);
        return -EINVAL;
    }
    if (!name_ok(name))
        return -EINVAL;
    return launch(tav_stub_for_open(instance, name, 0, 0, (void *)cbk, data), tav_file_is_borrow_handler);
}

int tav_get_inode_info(tav *instance, const unsigned char *name, const char *key, void *value, size_t size,
                       tav_common_cbk_fn cbk, void *data) {
    if (!key || !value || !instance || !name || !cbk) {
        log_error("invaid arguments: tav:%p, name:%p, key:%p, value:%p, cbk:%p", (void *)instance,
                  (const void *)name, (const void *)key, value, (void *)cbk);
        return -EINVAL;
    }
    if (!name_ok(name))
        return -EINVAL;
    tav_stub *stub = tav_stub_for_open(instance, name, 0, 0, (void *)cbk, data);
    if (stub) {
        stub->args.key = key;
        stub->args.value = value;
        stub->args.size = size;
    }
    return launch(stub, tav_get_inode_info_handler);
}

int tav_preadv_async(tav_fd *fd, const struct iovec *iov, int count, off_t offset, struct stat *prestat,
                     struct stat *poststat, tav_preadv_cbk_fn cbk, void *data) {
    return rw_async(TAV_OP_READ, fd, iov, count, offset, prestat, poststat, 0, cbk, data);
}

int tav_preadv_async_with_flags(tav_fd *fd, const struct iovec *iov, int count, off_t offset,
                                struct stat *prestat, struct stat *poststat, int flags, tav_preadv_cbk_fn cbk,
                                void *data) {
    return rw_async(TAV_OP_READ, fd, iov, count, offset, prestat, poststat, flags, cbk, data);
}

int tav_pwritev_async(tav_fd *fd, const struct iovec *iov, int count, off_t offset, struct stat *prestat,
                      struct stat *poststat, tav_pwritev_cbk_fn cbk, void *data) {
    return rw_async(TAV_OP_WRITE, fd, iov, count, offset, prestat, poststat, 0, cbk, data);
}

int tav_truncate_async(tav *instance, const unsigned char *name, off_t length, struct stat *prestat,
                       struct stat *poststat, tav_truncate_cbk_fn cbk, void *data) {
    if (!instance || !name || !cbk || length < 0) {
        log_error("invaid arguments: tav:%p, name:%p, len:%ld, cbk:%p", (void *)instance, (const void *)name,
                  (long)length, (void *)cbk);
        return -EINVAL;
    }
    if (!name_ok(name))
        return -EINVAL;
    if ((uint64_t)length > TAV_MAX_FILE_SIZE) {
        log_error("length(%ld) exceeds max file size(%lu)", (long)length, (unsigned long)TAV_MAX_FILE_SIZE);
        return -EFBIG;
    }
    tav_stub *stub = stub_by_name(instance, TAV_OP_TRUNCATE, name, (void *)cbk, data);
    if (stub) {
        stub->args.offset = length;
        set_stats(stub, prestat, poststat);
    }
    return launch(stub, tav_truncate_handler);
}

int tav_ftruncate_async(tav_fd *fd, off_t length, struct stat *prestat, struct stat *poststat,
                        tav_truncate_cbk_fn cbk, void *data) {
    if (!fd || !fd->inode || !cbk || length < 0) {
        log_error("invaid arguments: fd:%p, len:%ld, cbk:%p", (void *)fd, (long)length, (void *)cbk);
        return -EINVAL;
    }
    if ((uint64_t)length > TAV_MAX_FILE_SIZE) {
        log_error("length(%ld) exceeds max file size(%lu)", (long)length, (unsigned long)TAV_MAX_FILE_SIZE);
        return -EFBIG;
    }
    tav_stub *stub = stub_by_fd(fd, TAV_OP_FTRUNCATE, (void *)cbk, data);
    if (stub) {
        stub->args.offset = length;
        set_stats(stub, prestat, poststat);
    }
    return launch(stub, tav_truncate_handler);
}

int tav_fallocate_async(tav_fd *fd, int mode, off_t offset, size_t length, struct stat *prestat,
                        struct stat *poststat, tav_fallocate_cbk_fn cbk, void *data) {
    return space_async(TAV_OP_FALLOCATE, fd, mode, offset, length, prestat, poststat, cbk, data,
                       tav_fallocate_handler);
}

int tav_discard_async(tav_fd *fd, off_t offset, size_t length, struct stat *prestat, struct stat *poststat,
                      tav_discard_cbk_fn cbk, void *data) {
    return space_async(TAV_OP_DISCARD, fd, 0, offset, length, prestat, poststat, cbk, data,
                       tav_discard_handler);
}

int tav_zerofill_async(tav_fd *fd, int mode, off_t offset, size_t length, struct stat *prestat,
                       struct stat *poststat, tav_zerofill_cbk_fn cbk, void *data) {
    return space_async(TAV_OP_ZEROFILL, fd, mode, offset, length, prestat, poststat, cbk, data,
                       tav_zerofill_handler);
}

int tav_fiemap_async(tav_fd *fd, struct fiemap *fieinfo, struct stat *prestat, struct stat *poststat,
                     tav_fiemap_cbk_fn cbk, void *data) {
    if (!fd || !fd->inode || !cbk || !fieinfo) {
        log_error("invaid arguments: fd:%p, cbk:%p, fieinfo:%p", (void *)fd, (void *)cbk, (void *)fieinfo);
        return -EINVAL;
    }
    tav_stub *stub = stub_by_fd(fd, TAV_OP_FIEMAP, (void *)cbk, data);
    if (stub) {
        stub->args.offset = (int64_t)fieinfo->fm_start;
        stub->args.size = fieinfo->fm_length;
        stub->args.other = fieinfo;
        set_stats(stub, prestat, poststat);
    }
    return launch(stub, tav_fiemap_handler);
}

int tav_sync_async(tav *instance, const unsigned char *name, int flags, tav_sync_cbk_fn cbk, void *data) {
    if (!instance || !name || !cbk) {
        log_error("invaid arguments: tav:%p, name:%p, cbk:%p", (void *)instance, (const void *)name,
                  (void *)cbk);
        return -EINVAL;
    }
    if (!name_ok(name))
        return -EINVAL;
    tav_stub *stub = stub_by_name(instance, TAV_OP_SYNC, name, (void *)cbk, data);
    if (stub)
        stub->args.flags = flags;
    return launch(stub, tav_sync_handler);
}

int tav_fsync_async(tav_fd *fd, int flags, tav_sync_cbk_fn cbk, void *data) {
    if (!fd || !cbk) {
        log_error("invaid arguments: fd:%p, cbk:%p", (void *)fd, (void *)cbk);
        return -EINVAL;
    }
    tav_stub *stub = stub_by_fd(fd, TAV_OP_FSYNC, (void *)cbk, data);
    if (stub)
        stub->args.flags = flags;
    return launch(stub, tav_sync_handler);
}

int tav_compress_async(tav *instance, const unsigned char *name, tav_compress_cbk_fn cbk, void *data) {
    if (!instance || !name || !cbk) {
        log_error("invaid arguments: tav:%p, name:%p, cbk:%p", (void *)instance, (const void *)name,
                  (void *)cbk);
        return -EINVAL;
    }
    if (!name_ok(name))
        return -EINVAL;
    return launch(stub_by_name(instance, TAV_OP_COMPRESS, name, (void *)cbk, data), tav_compress_handler);
}

int tav_statex_async(tav *instance, const unsigned char *name, tav_statex *statex, tav_statex_cbk_fn cbk,
                     void *data) {
    if (!instance || !name || !cbk || !statex) {
        log_error("invaid arguments: tav:%p, name:%p, cbk:%p, statex:%p", (void *)instance,
                  (const void *)name, (void *)cbk, (void *)statex);
        return -EINVAL;
    }
    if (!name_ok(name))
        return -EINVAL;
    tav_stub *stub = stub_by_name(instance, TAV_OP_STATEX, name, (void *)cbk, data);
    if (stub)
        stub->args.other = statex;
    return launch(stub, tav_statex_handler);
}

int tav_expand_async(tav *instance, size_t length, tav_expand_cbk_fn cbk, void *data) {
    if (!instance || !cbk) {
        log_error("invaid arguments: tav:%p, cbk:%p", (void *)instance, (void *)cbk);
        return -EINVAL;
    }
    tav_stub *stub = tav_stub_new(instance, TAV_OP_EXPAND, (void *)cbk, data);
    if (stub)
        stub->args.size = length;
    return launch(stub, tav_expand_handler);
}

} // extern "C"
