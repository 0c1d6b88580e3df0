// Creating a volume on a device or file.
#include <errno.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <uuid/uuid.h>

#include "kvol_log.h"
#include "kvol_meta.h"
#include "kvol_volume.h"

namespace {

struct mkfs_ctx {
    int fd = -1;
    unsigned char *buf = nullptr; // bitmap area: 1023 pairs of blocks
    ~mkfs_ctx() {
        free(buf);
        if (fd >= 0)
            close(fd); // also drops the lock
    }
};

void fill_sb(kvol_super_block_t *sb, const unsigned char *uuid, uint32_t max_mapping, uint32_t blksz,
             uint32_t now) {
    memset(sb, 0, sizeof(*sb));
    sb->sb_version = KVOL_VERSION;
    sb->sb_magic = KVOL_SB_MAGIC;
    memcpy(sb->sb_uuid, uuid, 16);
    sb->sb_amtlb_start = KVOL_AMTLB_START;
    sb->sb_amtlb_entry_max = 2ULL * max_mapping;
    sb->sb_amtlb_entry_size = KVOL_RECORD_SIZE;
    sb->sb_btbmp_start = KVOL_BTBMP_START;
    sb->sb_btbmp_size = KVOL_BTBMP_SIZE;
    sb->sb_btbmp_gran = KVOL_GRAN;
    sb->sb_frspc_start = KVOL_FRSPC_START;
    sb->sb_phy_blksz = blksz;
    sb->sb_ts_format = now;
}

// Writes two copies (generations g and g + 1) of a 4096-byte slot image.
template <typename T, typename Seal>
int write_pair(int fd, unsigned char *buf, T rec, uint64_t generation_field_offset, uint64_t offset,
               Seal seal) {
    memset(buf, 0, KVOL_PAIR_SIZE);
    for (unsigned copy = 0; copy < 2; copy++) {
        uint64_t gen = copy;
        memcpy(reinterpret_cast<unsigned char *>(&rec) + generation_field_offset, &gen, sizeof(gen));
        seal(&rec);
        memcpy(buf + copy * KVOL_SLOT_SIZE, &rec, sizeof(rec));
    }
    return kvol_writen(fd, buf, KVOL_PAIR_SIZE, offset);
}

} // namespace

extern "C" KVOL_API uint64_t kvol_mkfs_va_length(uint64_t device_size) {
    uint64_t size = device_size & ~(KVOL_GRAN - 1);
    if (size < KVOL_MIN_DEVICE_SIZE)
        return 0;
    return size - KVOL_FRSPC_START;
}

extern "C" KVOL_API int kvol_mkfs(const kvol_mkfs_param_t *param) {
    if (param == nullptr || param->path == nullptr)
        return -EINVAL;
    const char *path = param->path;
    if (strlen(path) >= KVOL_PATH_MAX) {
        kvol_log_error("mkfs path too long path=%s", path);
        return -EINVAL;
    }
    uint32_t max_mapping = param->max_mapping;
    if (max_mapping < 1 || max_mapping > KVOL_MAX_MAPPING)
        max_mapping = KVOL_MAX_MAPPING;

    struct stat st;
    if (stat(path, &st) != 0 || !(S_ISBLK(st.st_mode) || S_ISREG(st.st_mode))) {
        kvol_log_error("mkfs %s is not a block device or regular file", path);
        return -EINVAL;
    }
    bool blk = S_ISBLK(st.st_mode);
    int flags = O_RDWR | O_DIRECT | O_CLOEXEC | (blk ? 0 : O_DSYNC);
    mkfs_ctx ctx;
    ctx.fd = open(path, flags);
    if (ctx.fd < 0) {
        kvol_log_error("open %s flag=%o error: %s", path, flags, strerror(errno));
        return -1;
    }
    if (flock(ctx.fd, LOCK_EX | LOCK_NB) != 0) {
        kvol_log_error("kvol try lock fail path %s errno=%s", path, strerror(errno));
        return -1;
    }
    uint64_t size = static_cast<uint64_t>(st.st_size);
    if (blk && ioctl(ctx.fd, BLKGETSIZE64, &size) != 0) {
        kvol_log_error("mkfs get size of %s failed: %s", path, strerror(errno));
        return -1;
    }
    size &= ~(KVOL_GRAN - 1);
    if (size <= 0x3FFFFFFF) {
        kvol_log_error("mkfs %s size=%lu too small, at least %lu", path, size, KVOL_MIN_DEVICE_SIZE);
        return -EINVAL;
    }
    ctx.buf = static_cast<unsigned char *>(kvol_aligned_alloc(KVOL_AMTLB_START - KVOL_BTBMP_START));
    if (ctx.buf == nullptr)
        return -1;
    if (!param->force) {
        if (kvol_readn(ctx.fd, ctx.buf, KVOL_PAIR_SIZE, 0) < 0) {
            kvol_log_error("mkfs read %s failed", path);
            return -1;
        }
        for (unsigned copy = 0; copy < 2; copy++) {
            auto *sb = reinterpret_cast<const kvol_super_block_t *>(ctx.buf + copy * KVOL_SLOT_SIZE);
            if (kvol_sb_valid(sb)) {
                kvol_log_error("there is a valid sb in %s, offset %lu.", path, kvol_sb_slot(copy));
                return -EINVAL;
            }
        }
    }

    unsigned char uuid[16];
    uuid_generate(uuid);
    uint32_t now = kvol_now();
    uint32_t blksz = static_cast<uint32_t>(st.st_blksize);

    // Superblock copies with an empty address map.
    kvol_super_block_t sb;
    fill_sb(&sb, uuid, max_mapping, blksz, now);
    if (write_pair(ctx.fd, ctx.buf, sb, offsetof(kvol_super_block_t, sb_generation), 0, kvol_sb_seal) < 0)
        goto write_fail;

    // Every bitmap block, both copies, in one write.
    {
        kvol_btbmp_t bt;
        memset(ctx.buf, 0, KVOL_AMTLB_START - KVOL_BTBMP_START);
        for (unsigned copy = 0; copy < 2; copy++) {
            kvol_bt_init(&bt);
            bt.bt_mtime = now;
            bt.bt_generation = copy;
            kvol_bt_seal(&bt);
            for (uint32_t n = 0; n < KVOL_MAX_BTBLOCKS; n++)
                memcpy(ctx.buf + kvol_bt_slot(n, copy) - KVOL_BTBMP_START, &bt, sizeof(bt));
        }
        if (kvol_writen(ctx.fd, ctx.buf, KVOL_AMTLB_START - KVOL_BTBMP_START, KVOL_BTBMP_START) < 0)
            goto write_fail;
    }

    // Mapping 0: the data area of the device itself.
    {
        uint32_t attribute = blk ? KVOL_ATTR_ODIRECT : (KVOL_ATTR_IFREG | KVOL_ATTR_ODIRECT);
        if (blk) {
            uint64_t range[2] = {KVOL_FRSPC_START, 4096};
            if (ioctl(ctx.fd, BLKDISCARD, range) == 0)
                attribute |= KVOL_ATTR_DISCARD;
            else
                kvol_log_warn("discard divice %s failed, errno %d, fd %d ,trusted as not support discard",
                              path, errno, ctx.fd);
        }
        kvol_mapping_t m = {};
        m.va_start = 0;
        m.va_length = size - KVOL_FRSPC_START;
        m.pa_offset = KVOL_FRSPC_START;
        m.psy_blksz = static_cast<uint64_t>(st.st_blksize);
        m.attribute = attribute;
        m.state = KVOL_ST_OK;
        m.ts_create = m.ts_modify = now;
        m.path = const_cast<char *>(path);
        memset(ctx.buf, 0, KVOL_PAIR_SIZE);
        for (unsigned copy = 0; copy < 2; copy++)
            kvol_am_build(uuid, &m, copy,
                          reinterpret_cast<kvol_am_entry_t *>(ctx.buf + copy * KVOL_SLOT_SIZE));
        if (kvol_writen(ctx.fd, ctx.buf, KVOL_PAIR_SIZE, kvol_am_slot(0, 0)) < 0)
            goto write_fail;

        // The superblock that publishes mapping 0, as the next generation.
        sb.sb_amtlb_entry_num = 2;
        sb.sb_va_len_total = sb.sb_va_len_avail = m.va_length;
        sb.sb_ts_expand = now;
        sb.sb_generation = 2;
        kvol_sb_seal(&sb);
        memset(ctx.buf, 0, KVOL_SLOT_SIZE);
        memcpy(ctx.buf, &sb, sizeof(sb));
        if (kvol_writen(ctx.fd, ctx.buf, KVOL_SLOT_SIZE, kvol_sb_slot(sb.sb_generation % 2)) < 0)
            goto write_fail;
    }
    if (fsync(ctx.fd) != 0)
        goto write_fail;
    kvol_log_info("mkfs success.");
    return 0;
write_fail:
    kvol_log_error("mkfs write %s failed: %s", path, strerror(errno));
    return -1;
}
