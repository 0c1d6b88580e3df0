// The calls of tav_format.h: the layout and the probe compute from the
// format's own rules; each asynchronous call runs one coroutine on the
// caller's loop, with this thread's default engine open on the device for
// the coroutine's lifetime, and calls back after everything it opened is
// closed again.
#include "tav_format.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "instance.h"
#include "logging.h"
#include "inode.h"
#include "ioengine.h"
#include "progress.h"
#include "super.h"
#include "upgrade.h"
#include "coroutine.h"
#include "logger.h"
#include "memory.h"

namespace {

enum class Action { FORMAT, GET_VERSION, UPGRADE, RESTORE };

struct format_job {
    Action action;
    ev_driver *driver;
    const char *engine;
    const char *path;
    const char *backup;
    uint64_t blocks, groups; /* FORMAT */
    uint64_t *version;       /* GET_VERSION */
    tav_common_cbk_fn cbk;
    void *data;
};

/* The device through this thread's default engine, and its superblock;
 * both released on every path. */
class Device {
public:
    Device() = default;
    Device(const Device &) = delete;
    Device &operator=(const Device &) = delete;
    ~Device() {
        if (sb_loaded_)
            tav_sb_destroy(&sb_);
        if (opened_)
            ioengine_default_fini();
    }
    /* 0, or -EINVAL when the engine cannot open the device. */
    int open(const format_job *j, int oflag) {
        if (ioengine_default_init(j->driver, j->engine, j->path, oflag) < 0)
            return -EINVAL;
        opened_ = true;
        return 0;
    }
    TAV_COROUTINE_FN int open_and_load(const format_job *j, int oflag) {
        if (open(j, oflag) < 0) {
            log_error("invalid source path: %s", j->path);
            return -EINVAL;
        }
        int ret = tav_sb_load(&sb_);
        if (ret < 0) {
            log_error("load super block failed: %d", ret);
            return ret;
        }
        sb_loaded_ = true;
        return 0;
    }
    tav_sb_info *sb() { return &sb_; }
    uint64_t version() const { return sb_.tav_disk_sb.s_header.version; }

private:
    tav_sb_info sb_ = {};
    bool opened_ = false;
    bool sb_loaded_ = false;
};

/* The device's lock file, held while the job changes the device. */
class DeviceLock {
public:
    DeviceLock() = default;
    DeviceLock(const DeviceLock &) = delete;
    DeviceLock &operator=(const DeviceLock &) = delete;
    ~DeviceLock() {
        if (fd_ >= 0)
            close(fd_);
    }
    int take(const char *path) { return tav_device_lock(path, &fd_); }

private:
    int fd_ = -1;
};

/* Inode group 0 is formatted by the inode module, as every later group is. */
TAV_COROUTINE_FN int format_inode_blocks(void *, blkno_t ibegin, uint64_t count) {
    return tav_inode_format(ibegin, count);
}

TAV_COROUTINE_FN int do_format(format_job *j) {
    Device dev;
    int ret = dev.open(j, O_RDWR);
    if (ret < 0) {
        log_error("cannot open %s with ioengine %s", j->path, j->engine);
        return ret;
    }
    const tav_sb_format_args args = {j->blocks, j->groups, j->path};
    return tav_sb_format_instance(&args, format_inode_blocks, nullptr);
}

TAV_COROUTINE_FN int do_get_version(format_job *j) {
    Device dev;
    int ret = dev.open_and_load(j, O_RDONLY);
    if (ret < 0)
        return ret;
    *j->version = dev.version();
    if (dev.version() == TAV_SB_VERSION_2)
        log_info("tav has been upgraded, do nothing");
    return 0;
}

TAV_COROUTINE_FN int do_upgrade(format_job *j) {
    DeviceLock lock;
    int ret = lock.take(j->path);
    if (ret < 0)
        return ret;
    Device dev;
    ret = dev.open_and_load(j, O_RDWR);
    if (ret < 0)
        return ret;
    if (dev.version() == TAV_SB_VERSION_2) {
        log_info("tav has been upgraded, do nothing");
        return 0;
    }
    if (dev.version() == TAV_SB_VERSION_UPGRADING) {
        log_error("last upgrade was interrupted, run resotre first");
        return -EAGAIN;
    }
    ret = tav_upgrade_run(j->driver, dev.sb(), j->backup, TAV_UPGRADE_TOOL);
    if (ret == 0)
        log_info("tav upgrade succeed");
    return ret;
}

TAV_COROUTINE_FN int do_restore(format_job *j) {
    DeviceLock lock;
    int ret = lock.take(j->path);
    if (ret < 0)
        return ret;
    Device dev;
    ret = dev.open_and_load(j, O_RDWR);
    if (ret < 0)
        return ret;
    if (dev.version() == TAV_SB_VERSION_2)
        log_warn("restoring a version 2 device: blocks allocated since the backup was taken become free");
    ret = tav_upgrade_restore_zmap(j->driver, &dev.sb()->tav_disk_sb, j->backup, TAV_UPGRADE_TOOL);
    if (ret < 0) {
        log_error("restore zmap from %s failed: %d", j->backup, ret);
        return ret;
    }
    ret = tav_upgrade_update_super(dev.sb(), TAV_SB_VERSION_1);
    if (ret < 0) {
        log_error("restore TAV version to %d failed: %d", 1, ret);
        return ret;
    }
    log_info("tav restore succeed");
    return 0;
}

void job_entry(void *opaque) {
    format_job *j = static_cast<format_job *>(opaque);
    int ret = 0;
    switch (j->action) {
    case Action::FORMAT: ret = do_format(j); break;
    case Action::GET_VERSION: ret = do_get_version(j); break;
    case Action::UPGRADE: ret = do_upgrade(j); break;
    case Action::RESTORE: ret = do_restore(j); break;
    }
    const tav_common_cbk_fn cbk = j->cbk;
    void *data = j->data;
    tav_free(j);
    tav_iobuf_pool_fini();
    if (ret < 0)
        cbk(-1, static_cast<uint32_t>(-ret), data);
    else
        cbk(0, 0, data);
}

int start(const format_job &proto) {
    if (proto.driver == nullptr || proto.engine == nullptr || proto.path == nullptr || proto.cbk == nullptr)
        return -EINVAL;
    if (ioengine_get_default() != nullptr)
        return -EBUSY;
    format_job *j = static_cast<format_job *>(tav_calloc(1, sizeof(format_job), TAV_MEM_OTHER));
    if (j == nullptr)
        return -ENOMEM;
    *j = proto;
    Coroutine *co = coroutine_create(job_entry, j);
    if (co == nullptr) {
        tav_free(j);
        return -ENOMEM;
    }
    tav_iobuf_pool_init();
    coroutine_enter(co);
    return 0;
}

} // namespace

int tav_format_set_log(int mode) {
    switch (mode) {
    case TAV_FORMAT_LOG_ENV: tav_logging_init(); return 0;
    case TAV_FORMAT_LOG_ERRORS:
        logger_set_target(LOG_TARGET_STDERR, nullptr);
        logger_set_loglevel(LOG_LEVEL_ERROR);
        return 0;
    case TAV_FORMAT_LOG_DEBUG:
        tav_logging_init();
        logger_set_loglevel(LOG_LEVEL_ALL);
        logger_set_target(LOG_TARGET_STDOUT, nullptr);
        return 0;
    default: return -EINVAL;
    }
}

void tav_format_set_progress(tav_format_progress_fn fn, void *priv) {
    tav_progress_set_sink(fn, priv);
}

int tav_ioengine_available(const char *name) {
    return name != nullptr && *name != '\0' && ioengine_plugin_find(name) != nullptr;
}

int tav_format_layout_of(const char *path, uint64_t blocks, uint64_t inode_groups,
                         tav_format_layout *layout) {
    if (path == nullptr || layout == nullptr || blocks == 0 || inode_groups < 1 ||
        inode_groups > TAV_SB_INODE_MAX_GROUPS)
        return -EINVAL;
    static_assert(TAV_FORMAT_MAX_INODE_GROUPS == TAV_SB_INODE_MAX_GROUPS);
    tav_sb_ondisk d = {};
    d.s_blocks_count = blocks;
    d.s_inode_max_group = inode_groups;
    tav_sb_fill_default(&d);
    int ret = 0;
    if (d.s_blocks_count <= d.s_first_data_block) {
        ret = -ENOSPC;
    } else {
        /* What a start accepts, checked with the start's own rule. */
        const tav_sb_format_args args = {blocks, inode_groups, path};
        if (tav_sb_check_layout(&d, blocks, false) != 0 || tav_sb_build(&args, 0, &d) != 0)
            return -EINVAL;
    }
    *layout = {};
    layout->blocks_count = d.s_blocks_count;
    layout->inode_groups = d.s_inode_max_group;
    layout->inode_per_group = d.s_inode_per_group;
    layout->first_inode_block = d.s_first_inode_block;
    layout->inode_blocks = d.s_inode_blocks;
    layout->first_bitmap_block = d.s_first_bitmap_block;
    layout->bitmap_blocks = d.s_bitmap_blocks;
    layout->zmap_pages = d.s_bitmap_blocks * TAV_ZMAP_PAGE_PER_BLOCK;
    layout->first_data_block = d.s_first_data_block;
    if (ret == 0)
        memcpy(layout->uuid, d.s_uuid, sizeof(layout->uuid));
    return ret;
}

int tav_format_probe(const char *path) {
    if (path == nullptr)
        return -EINVAL;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -errno;
    uint8_t *page = static_cast<uint8_t *>(tav_malloc(TAV_SB_PAGE_SIZE, TAV_MEM_OTHER));
    if (page == nullptr) {
        close(fd);
        return -ENOMEM;
    }
    int found = 0;
    const off_t copies[] = {TAV_SB_COPY_A_OFFSET, TAV_SB_COPY_B_OFFSET};
    for (off_t off : copies) {
        if (pread(fd, page, TAV_SB_PAGE_SIZE, off) == static_cast<ssize_t>(TAV_SB_PAGE_SIZE) &&
            tav_sb_is_legal_quiet(page) == 0)
            found = 1;
    }
    tav_free(page);
    close(fd);
    return found;
}

int tav_format_async(ev_driver *driver, const char *ioengine, const char *path, uint64_t blocks,
                     uint64_t inode_groups, tav_common_cbk_fn cbk, void *data) {
    tav_format_layout layout;
    if (tav_format_layout_of(path, blocks, inode_groups, &layout) != 0)
        return -EINVAL;
    format_job j = {};
    j.action = Action::FORMAT;
    j.driver = driver;
    j.engine = ioengine;
    j.path = path;
    j.blocks = blocks;
    j.groups = inode_groups;
    j.cbk = cbk;
    j.data = data;
    return start(j);
}

int tav_upgrade_get_version_async(ev_driver *driver, const char *ioengine, const char *path,
                                  uint64_t *version, tav_common_cbk_fn cbk, void *data) {
    if (version == nullptr)
        return -EINVAL;
    format_job j = {};
    j.action = Action::GET_VERSION;
    j.driver = driver;
    j.engine = ioengine;
    j.path = path;
    j.version = version;
    j.cbk = cbk;
    j.data = data;
    return start(j);
}

int tav_upgrade_async(ev_driver *driver, const char *ioengine, const char *path, const char *backup_path,
                      tav_common_cbk_fn cbk, void *data) {
    if (backup_path == nullptr)
        return -EINVAL;
    format_job j = {};
    j.action = Action::UPGRADE;
    j.driver = driver;
    j.engine = ioengine;
    j.path = path;
    j.backup = backup_path;
    j.cbk = cbk;
    j.data = data;
    return start(j);
}

int tav_upgrade_restore_async(ev_driver *driver, const char *ioengine, const char *path,
                              const char *backup_path, tav_common_cbk_fn cbk, void *data) {
    if (backup_path == nullptr)
        return -EINVAL;
    format_job j = {};
    j.action = Action::RESTORE;
    j.driver = driver;
    j.engine = ioengine;
    j.path = path;
    j.backup = backup_path;
    j.cbk = cbk;
    j.data = data;
    return start(j);
}
