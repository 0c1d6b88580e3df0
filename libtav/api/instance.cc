// The instance: creation, loading, references, destruction, the lock file,
// notifications and deferred shutdown.
#include "instance.h"

#include <assert.h>
#include <errno.h>
#include <fcntl.h>
#include <md5.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <unistd.h>
#include <uuid/uuid.h>

#include "fd.h"
#include "handlers.h"
#include "ioengine.h"
#include "load.h"
#include "logging.h"
#include "logger.h"
#include "memory.h"
#include "paths.h"

namespace {

const tav_file_lock_fops kLockFops = {tav_trylock, tav_unlock};

struct init_ctx {
    tav_init_cbk_fn cbk;
    void *data;
};

// The init coroutine: loads the instance and reports exactly once.
void tav_init_wrapper(void *arg) {
    tav_stub *stub = static_cast<tav_stub *>(arg);
    tav *instance = stub->tav;
    tav_init_cbk_fn cbk = reinterpret_cast<tav_init_cbk_fn>(stub->cbk);
    void *data = stub->data;

    int err = tav_load(instance);
    if (err == 0) {
        log_info("tav init succeed");
        cbk(0, 0, data, instance);
        tav_stub_free(stub);
        coroutine_set_argument(coroutine_self(), nullptr);
        return;
    }
    // Dropping the creation reference and the stub's destroys the instance
    // (closing the engine and releasing the lock file) before the callback.
    tav_unref(instance);
    tav_stub_free(stub);
    coroutine_set_argument(coroutine_self(), nullptr);
    log_error("tav init failed: %d(%s)", -1, strerror(err));
    cbk(-1, static_cast<uint32_t>(err), data, nullptr);
}

void tav_fini_handler(void *arg) {
    tav *instance = static_cast<tav *>(arg);
    tav_fini_cbk_fn cbk = instance->fini_fn;
    void *data = instance->fini_data;
    if (tav_writable(instance)) {
        int ret = tav_unload(instance);
        if (ret < 0 && cbk)
            cbk(-1, static_cast<uint32_t>(-ret), data);
    }
    tav_iobuf_pool_fini();
    // The instance may die below while this coroutine still logs: it must
    // no longer be taken for a request.
    coroutine_set_argument(coroutine_self(), nullptr);
    tav_unref(instance);
}

void tav_fini_timer(tav_timer *timer, void *priv) {
    tav *instance = static_cast<tav *>(priv);
    tav_timer_destroy(timer);
    Coroutine *co = coroutine_create(tav_fini_handler, instance);
    if (co == nullptr) {
        if (instance->fini_fn)
            instance->fini_fn(-1, ENOMEM, instance->fini_data);
        tav_unref(instance);
        return;
    }
    coroutine_enter(co);
}

} // namespace

int tav_lock_path(const char *device_path, char *out, size_t outlen) {
    MD5_CTX ctx;
    unsigned char digest[16];
    MD5Init(&ctx);
    MD5Update(&ctx, reinterpret_cast<const uint8_t *>(device_path), strlen(device_path));
    MD5Final(digest, &ctx);
    char text[37];
    uuid_unparse(digest, text);
    int n = snprintf(out, outlen, "%s/tav_%s.lock", tav_run_dir(), text);
    return (n < 0 || static_cast<size_t>(n) >= outlen) ? -ENAMETOOLONG : 0;
}

int tav_device_lock(const char *path, int *fd_out) {
    *fd_out = -1;
    if (access(tav_run_dir(), F_OK) != 0) {
        log_warn("tav lock root path(%s) is not exit", tav_run_dir());
        return 0;
    }
    char lockpath[4096];
    int ret = tav_lock_path(path, lockpath, sizeof(lockpath));
    if (ret < 0) {
        log_error("tav make lockpath fail: %s", strerror(-ret));
        return ret;
    }
    int fd = open(lockpath, O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        int err = errno;
        log_error("open lockfile %s failed: %s", lockpath, strerror(err));
        return -err;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) < 0) {
        int err = errno;
        log_error("try lock %s failed: %s", lockpath, strerror(err));
        close(fd);
        return -err;
    }
    *fd_out = fd;
    return 0;
}

int tav_trylock(tav *instance, const char *path) {
    int fd = -1;
    int ret = tav_device_lock(path, &fd);
    if (ret == 0)
        instance->file_lock.file_lock_fd = fd;
    return ret;
}

void tav_unlock(tav *instance, const char *uuid_text) {
    if (instance->file_lock.file_lock_fd < 0)
        return;
    char lockpath[4096];
    int n = snprintf(lockpath, sizeof(lockpath), "%s/tav_%s.lock", tav_run_dir(), uuid_text);
    if (n < 0 || static_cast<size_t>(n) >= sizeof(lockpath)) {
        log_error("make lockpath failed: %s", strerror(ENAMETOOLONG));
        return;
    }
    if (flock(instance->file_lock.file_lock_fd, LOCK_UN) < 0)
        log_error("unlock uuid %s failed: %s", uuid_text, strerror(errno));
    close(instance->file_lock.file_lock_fd);
    instance->file_lock.file_lock_fd = -1;
    unlink(lockpath);
}

tav *tav_create(ev_driver *driver, int flags) {
    assert(driver->ev_register);
    tav *instance = static_cast<tav *>(tav_calloc(1, sizeof(tav), TAV_MEM_TAV));
    if (instance == nullptr) {
        log_error("allocate tav failed");
        return nullptr;
    }
    instance->driver = driver;
    instance->flags = flags;
    instance->refcount = 1;
    instance->file_lock.fops = &kLockFops;
    instance->file_lock.file_lock_fd = -1;
    instance->notify_fd = -1;
    co_mutex_init(&instance->format_lock);
    INIT_LIST_HEAD(&instance->running_io);
    tav_instance_parts_init(instance);
    return instance;
}

void tav_destroy(tav *instance) {
    assert(instance->refcount == 0);
    assert(tav_running_io_empty(instance));
    assert(instance->status.fd_cnt == 0);
    tav_fini_cbk_fn fini_fn = instance->fini_fn;
    void *fini_data = instance->fini_data;

    tav_timer_destroy(instance->dirty_timer);
    tav_timer_destroy(instance->unlink_timer);
    tav_timer_destroy(instance->compress_timer);
    instance->dirty_timer = instance->unlink_timer = instance->compress_timer = nullptr;
    char uuid_text[37] = {};
    tav_instance_parts_destroy(instance, uuid_text);
    if (ioengine_get_default())
        ioengine_default_fini();
    instance->file_lock.fops->unlock(instance, uuid_text);
    // The lock taken under the device path's name is released even when the
    // superblock UUID (and so the name formed above) is unknown.
    if (instance->file_lock.file_lock_fd >= 0) {
        close(instance->file_lock.file_lock_fd);
        instance->file_lock.file_lock_fd = -1;
    }
    tav_free(instance);
    if (fini_fn)
        fini_fn(0, 0, fini_data);
    log_info("tav destroyed");
}

tav *tav_ref(tav *instance) {
    assert(instance->refcount > 0);
    instance->refcount++;
    return instance;
}

void tav_unref(tav *instance) {
    assert(instance->refcount > 0);
    if (--instance->refcount == 0)
        tav_destroy(instance);
}

bool tav_running_io_empty(tav *instance) {
    return list_empty(&instance->running_io);
}

int tav_init_async(ev_driver *driver, const char *path, int flags, tav_init_cbk_fn cbk, void *data) {
    tav_logging_init();
    log_info("tav init start: %s", path);
    if (!driver || !path || !cbk) {
        log_error("invaid arguments: driver:%p, path:%p, cbk:%p", (void *)driver, (const void *)path,
                  (void *)cbk);
        return -EINVAL;
    }
    if (getenv("TAV_ACCT") || tav_cfg_flag("tav_acct_enable"))
        tav_acct_toggle(1);
    const char *engine = getenv("TAV_IOENGINE");
    if (engine == nullptr || engine[0] == '\0')
        engine = "kvol";

    tav *instance = tav_create(driver, flags);
    if (instance == nullptr)
        return -ENOMEM;
    int mode = flags & 3;
    if (mode == 1 || mode == 2) {
        int ret = instance->file_lock.fops->trylock(instance, path);
        if (ret != 0) {
            tav_free(instance);
            return ret;
        }
    }
    // Every writable instance reads its own metadata: access modes 1 and 3
    // (3 would give a descriptor that can neither read nor write) open the
    // device for reading and writing.
    int engine_flags = flags;
    if (mode == O_WRONLY || mode == 3)
        engine_flags = (flags & ~O_ACCMODE) | O_RDWR;
    int ret = ioengine_default_init(driver, engine, path, engine_flags);
    if (ret < 0) {
        if (instance->file_lock.file_lock_fd >= 0)
            close(instance->file_lock.file_lock_fd);
        tav_free(instance);
        return ret;
    }
    tav_stub *stub = tav_stub_new(instance, TAV_OP_INIT, reinterpret_cast<void *>(cbk), data);
    Coroutine *co = stub ? coroutine_create(tav_init_wrapper, stub) : nullptr;
    if (co == nullptr) {
        if (stub)
            tav_stub_free(stub);
        tav_unref(instance);
        return -ENOMEM;
    }
    coroutine_enter(co);
    return 0;
}

int tav_fini(tav *instance, tav_fini_cbk_fn cbk, void *data) {
    if (instance == nullptr || instance->fini_fn != nullptr || instance->fini_pending)
        return -EINVAL;
    instance->notify_fd = -1;
    instance->fini_fn = cbk;
    instance->fini_data = data;
    instance->fini_pending = 1;
    tav_timer *timer = tav_timer_create(instance->driver, 0, 1, tav_fini_timer, instance);
    if (timer == nullptr) {
        tav_unref(instance);
        return -ENOMEM;
    }
    if (tav_timer_start(timer) < 0) {
        tav_timer_destroy(timer);
        tav_unref(instance);
        return -1;
    }
    return 0;
}

void tav_notify_send(tav *instance, const void *buffer, size_t length) {
    const char *p = static_cast<const char *>(buffer);
    while (length > 0) {
        ssize_t n = write(instance->notify_fd, p, length);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        if (n <= 0) {
            log_error("write fd(%d) fail, errno = %d", instance->notify_fd, n < 0 ? errno : 0);
            abort();
        }
        p += n;
        length -= static_cast<size_t>(n);
    }
}

void tav_notify(tav *instance, const unsigned char *gfid, int64_t size, uint32_t type) {
    if (instance->notify_fd < 0) {
        log_debug("notify fd = %d, donot notify", instance->notify_fd);
        return;
    }
    notify_argv_t rec = {};
    if (gfid)
        memcpy(rec.gfid, gfid, 16);
    rec.size = size;
    rec.type = type;
    tav_notify_send(instance, &rec, sizeof(rec));
}

int tav_set_notify_fd(tav *instance, int fd) {
    if (fd < 0) {
        log_error("invaid arguments: fd:%d", fd);
        return -EINVAL;
    }
    assert(instance->notify_fd < 0);
    instance->notify_fd = fd;
    return 0;
}

void tav_dump(const char *title, tav *instance, int index) {
    assert(index < INODE_HASHTABLE_LEN);
    tav_sb_dump(title, &instance->sb);
    int first = index < 0 ? 0 : index;
    int last = index < 0 ? INODE_HASHTABLE_LEN - 1 : index;
    for (int b = first; b <= last; b++) {
        list_head *pos;
        list_for_each(pos, &instance->itable.hash_table[b]) {
            tav_inode_dump(title, list_entry(pos, tav_inode_info, entry));
        }
    }
}

int tav_set_logger_sync(tav *instance, logger_extern_fn_t logger_fn, void *logger_ctx) {
    if (instance == nullptr || logger_fn == nullptr)
        return -EINVAL;
    return logger_set_logger(logger_fn, logger_ctx);
}
