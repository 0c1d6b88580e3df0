// Files laid over an existing device range.

// Programming errors abort in every build type.
#include <assert.h>

#include "premap.h"

#include <errno.h>
#include <string.h>

#include "data.h"
#include "itable.h"
#include "logger.h"
#include "memory.h"

namespace {

// Maps file blocks 0..count-1 to pblock.. with every unit written, one
// extent page at a time.
TAV_COROUTINE_FN int map_range(tav_inode_info *inode, uint64_t pblock, uint32_t count) {
    ext_cache_t *cache = &inode->extent_cache;
    uint32_t per_page = ext_iblocks_per_page(TAV_BLKMAP_TYPE_BLOCK, TAV_EXTENT_PAGE_SIZE);
    for (uint32_t first = 0; first < count; first += per_page) {
        uint32_t index = first / per_page;
        ext_page_t *page = ext_page_get_nocache(cache, index);
        if (page == nullptr) {
            log_error("get page null with page_index(%ld) inode(%ld)", (long)index, (long)inode->ondisk.i_no);
            return -ENOMEM;
        }
        uint32_t end = first + per_page < count ? first + per_page : count;
        for (uint32_t i = first; i < end; i++) {
            blkmap_t *map = ext_page_blkmaps_get(page, i);
            if (map->state != TAV_BLKMAP_STATE_MAPPED)
                ext_blkmap_set_pblock(map, pblock + i, -1);
            ext_blkmap_set_bits(map, 0, TAV_BLKMAP_BITMAP_BITS);
        }
        int ret = ext_page_write(page);
        ext_page_put(page);
        if (ret < 0) {
            log_error("write extent page with index %u failed", index);
            return -EIO;
        }
    }
    return 0;
}

} // namespace

TAV_COROUTINE_FN int tav_inode_premap(tav_inode_info *inode, uint64_t pblock, uint32_t count,
                                      uint64_t realsize, uint32_t type) {
    assert(count >= 1 && count <= TAV_PREMAP_MAX_BLOCKS);
    CoMutexGuard guard(&inode->lock);
    int ret = zmap_alloc_blocks_manual(inode->itable->host.zmap, pblock, count);
    if (ret < 0) {
        log_error("alloc blocks manual failed pblock:%lu count:%u", (unsigned long)pblock, count);
        return ret;
    }
    if (tav_inode_read(inode) < 0) {
        log_error("inode access failed, return -EIO");
        return -EIO;
    }
    tav_disk_inode *d = &inode->ondisk;
    // Still the fresh file its create made: nothing else may change its
    // kind while the mutex is held.
    assert(d->i_type & TAV_FILE_TYPE_INLINE);
    d->i_legacy.lba_start = pblock;
    d->i_legacy.lba_len = count;
    d->i_type &= ~static_cast<uint64_t>(TAV_FILE_TYPE_COMPRESSIBLE);
    d->i_type |= TAV_FILE_TYPE_LEGACY | TAV_FILE_TYPE_BD | type;
    d->i_blocks = 0;
    d->i_size = realsize;
    if (tav_inode_write(inode) < 0) {
        log_error("inode write failed, return -EIO");
        return -EIO;
    }
    uint32_t extents =
        static_cast<uint32_t>((count + TAV_PREMAP_BLOCKS_PER_EXTENT - 1) / TAV_PREMAP_BLOCKS_PER_EXTENT);
    for (uint32_t idx = 0; idx < extents; idx++) {
        ret = tav_inode_alloc_extent_block(inode, idx);
        if (ret < 0)
            return ret;
    }
    if (tav_inode_read(inode) < 0) {
        log_error("inode access failed, return -EIO");
        return -EIO;
    }
    d->i_type &= ~static_cast<uint64_t>(TAV_FILE_TYPE_INLINE);
    if (tav_inode_write(inode) < 0) {
        log_error("inode write failed, return -EIO");
        d->i_type |= TAV_FILE_TYPE_INLINE;
        return -EIO;
    }
    tav_free(inode->inline_buffer);
    inode->inline_buffer = nullptr;
    return map_range(inode, pblock, count);
}
