// Loading and unloading an instance: the steps run in order by the init
// coroutine, the stop mark at fini, and the release of what they built.
#include "load.h"

#include <errno.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <uuid/uuid.h>

#include <initializer_list>

#include "background.h"
#include "inode.h"
#include "ioengine.h"
#include "fsck.h"
#include "logger.h"
#include "memory.h"
#include "paths.h"
#include "upgrade.h"

namespace {

tav *instance_of(zmap_t *zmap) {
    return static_cast<tav *>(zmap->priv);
}

TAV_COROUTINE_FN int zmap_limit(zmap_t *zmap, blkno_t *min, blkno_t *max) {
    return tav_sb_blkno_limit(&instance_of(zmap)->sb, min, max);
}

int zmap_sb_version(zmap_t *zmap, uint64_t *version) {
    *version = instance_of(zmap)->sb.tav_disk_sb.s_header.version;
    return 0;
}

const tav_zmap_fops kZmapFops = {zmap_limit, nullptr, nullptr, zmap_sb_version};

void host_notify(tav *fs, const unsigned char *gfid, int64_t size, uint32_t type) {
    tav_notify(fs, gfid, size, type);
}

void host_writeback_pause(tav *fs, int pause) {
    if (fs->dirty_timer == nullptr)
        return;
    if (pause)
        tav_timer_stop(fs->dirty_timer);
    else
        tav_timer_start(fs->dirty_timer);
}

int host_put_ino(tav *fs, uint64_t ino) {
    return tav_super_put_ino(fs, ino);
}

TAV_COROUTINE_FN int format_inode_blocks(void *, blkno_t ibegin, uint64_t count) {
    return tav_inode_format(ibegin, count);
}

tav_ino_ctx ino_ctx(tav *instance) {
    return tav_ino_ctx{
        &instance->sb,       instance->imap, instance->imap_bits, &instance->last_ino, &instance->format_lock,
        format_inode_blocks, nullptr};
}

// The boot marker: a semaphore set that exists until the machine restarts,
// so that a later start can tell a restart from a process crash.
void create_boot_marker(tav *instance) {
    key_t key = tav_fsck_marker_key(ioengine_get_path(ioengine_get_default()),
                                    instance->sb.tav_disk_sb.s_header.version);
    if (key == -1 || semget(key, 1, IPC_CREAT | 0666) < 0)
        log_error("semget failed: %s", strerror(errno));
}

// Brings an older format up to date.  A read-only instance never writes:
// it leaves the upgrade to the next writable start (an old zone map is read
// as it is; a read-only instance allocates nothing).
TAV_COROUTINE_FN int upgrade_format(tav *instance) {
    uint64_t version = instance->sb.tav_disk_sb.s_header.version;
    if (!tav_writable(instance)) {
        if (version != TAV_SB_VERSION_2)
            log_info("tav version %lu: the upgrade waits for a writable start", version);
        return 0;
    }
    std::string dir = tav_log_path(TAV_UPGRADE_BACKUP_DIR_NAME);
    return tav_upgrade(instance->driver, &instance->sb, dir.c_str());
}

// Writes every dirty inode, as the dirty timer would, until none is left or a
// round makes no progress (a failing device).  Changes held for a sync are
// written too: they were acknowledged, and a clean stop must not drop them.
TAV_COROUTINE_FN void write_back_dirty(tav *instance) {
    list_head *pos;
    list_for_each(pos, &instance->itable.dirty_list) {
        list_entry(pos, tav_inode_info, dirty_entry)->dirty_hold = 0;
    }
    size_t before = SIZE_MAX;
    for (;;) {
        size_t n = 0;
        list_for_each(pos, &instance->itable.dirty_list) n++;
        if (n == 0 || n >= before)
            return;
        before = n;
        tav_itable_dirty_tick(&instance->itable);
    }
}

} // namespace

TAV_COROUTINE_FN int tav_need_fsck(tav *instance) {
    tav_fsck_policy policy = {tav_writable(instance), instance->itable.error_inode_count, &instance->sb,
                              ioengine_get_path(ioengine_get_default())};
    return tav_fsck_decide(&policy);
}

TAV_COROUTINE_FN int tav_fsck(tav *instance) {
    tav_fsck_target target = {&instance->sb, &instance->zmap, tav_itable_fsck_files(&instance->itable)};
    return tav_fsck_run(&target);
}

TAV_COROUTINE_FN int tav_super_get_ino(tav *instance, uint64_t *ino) {
    tav_ino_ctx ctx = ino_ctx(instance);
    return tav_sb_get_ino(&ctx, ino);
}

int tav_super_put_ino(tav *instance, uint64_t ino) {
    tav_ino_ctx ctx = ino_ctx(instance);
    return tav_sb_put_ino(&ctx, ino);
}

int tav_super_get_statfs(tav *instance, struct statvfs *st) {
    return tav_sb_statfs(&instance->sb, ioengine_get_default(), zmap_blocks_allocated(&instance->zmap),
                         instance->itable.inode_count, st);
}

void tav_instance_parts_init(tav *instance) {
    ext_table_init(&instance->etable, &tav_inode_extent_fops, TAV_EXTENT_TABLE_MAX);
    memset(&instance->timer_stub, 0, sizeof(instance->timer_stub));
    INIT_LIST_HEAD(&instance->timer_stub.list);
    instance->timer_stub.magic = TAV_STUB_MAGIC;
    instance->timer_stub.op = TAV_OP_TIMER;
    instance->timer_stub.tav = instance;
    tav_itable_host host = {instance,      &instance->etable, &instance->zmap,
                            &instance->sb, host_notify,       host_put_ino};
    host.timer_arg = &instance->timer_stub;
    host.writeback_pause = host_writeback_pause;
    tav_itable_init(&instance->itable, &host);
}

void tav_instance_parts_destroy(tav *instance, char *uuid_text) {
    tav_itable_fini(&instance->itable);
    if (instance->sb.mbuf.state != MBUF_STATE_NULL)
        uuid_unparse(instance->sb.tav_disk_sb.s_uuid, uuid_text);
    tav_sb_destroy(&instance->sb);
    if (instance->imap) {
        tav_imap_destroy(instance->imap);
        instance->imap = nullptr;
    }
    ext_table_destroy(&instance->etable);
    if (instance->zmap.fops)
        zmap_destroy(&instance->zmap);
}

namespace {
// Load steps report positive errno values; a step that only knows "failed"
// (-1) is reported as an I/O error.
int load_err(int ret) {
    return ret == -1 ? EIO : -ret;
}
} // namespace

TAV_COROUTINE_FN int tav_load(tav *instance) {
    tav_iobuf_pool_init();

    int ret = tav_sb_load(&instance->sb);
    if (ret < 0)
        return load_err(ret);
    const tav_sb_ondisk *dsb = &instance->sb.tav_disk_sb;

    ret = upgrade_format(instance);
    if (ret < 0)
        return load_err(ret);

    if (tav_writable(instance)) {
        ret = tav_sb_mark_running(&instance->sb);
        if (ret < 0)
            return load_err(ret);
    }

    zmap_init(&instance->zmap, &kZmapFops, dsb->s_first_bitmap_block);
    instance->zmap.priv = instance;
    ret = zmap_load(&instance->zmap, dsb->s_bitmap_blocks * TAV_ZMAP_PAGE_PER_BLOCK);
    if (ret < 0)
        return load_err(ret);

    instance->imap = tav_imap_init(dsb->s_inode_max_count);
    if (instance->imap == nullptr)
        return ENOMEM;
    instance->imap_bits = dsb->s_inode_max_count;

    ret = tav_inode_load(&instance->itable, instance->imap, instance->imap_bits, &instance->last_ino,
                         dsb->s_first_inode_block, dsb->s_inode_active_group * dsb->s_inode_per_group / 128);
    if (ret < 0)
        return load_err(ret);

    // Only a zone map that claims a used block free stops the start: it
    // would hand that block out again.
    if (tav_need_fsck(instance) && tav_fsck(instance) == -EFAULT)
        return EFAULT;

    create_boot_marker(instance);

    if (tav_writable(instance)) {
        instance->dirty_timer = tav_dirty_timer(&instance->itable, instance->driver);
        instance->unlink_timer = tav_unlink_timer(&instance->itable, instance->driver);
        instance->compress_timer = tav_compress_timer(&instance->itable, instance->driver);
        if (!instance->dirty_timer || !instance->unlink_timer || !instance->compress_timer)
            return ENOMEM;
    }

    tav_itable_preload_extent(&instance->itable, &instance->etable);
    return 0;
}

TAV_COROUTINE_FN int tav_unload(tav *instance) {
    // No background tick may work between the write-back and the stop mark;
    // one that is working finishes its inode first.  Inodes still waiting
    // for destruction are left for the next start.
    tav_itable_stop_background(&instance->itable);
    for (tav_timer *t : {instance->dirty_timer, instance->unlink_timer, instance->compress_timer})
        if (t)
            tav_timer_stop(t);
    write_back_dirty(instance);
    // Zone-map pages and every cached file's extent pages, those of inodes
    // waiting for destruction included.
    if (tav_itable_flush_caches(&instance->itable) < 0)
        log_error("flush of the extent caches at stop failed");
    if (zmap_flush(&instance->zmap, 0) < 0)
        log_error("flush of the zone map at stop failed");
    return tav_sb_mark_stopped(&instance->sb);
}
