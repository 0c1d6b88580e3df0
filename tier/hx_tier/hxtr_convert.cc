#include "hxtr_convert.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "hxtr_checksum.h"
#include "hxtr_io.h"
#include "hxtr_log.h"

namespace {

constexpr uint64_t kRecordsPerChunk = HXTR_MiB / HXTR_BLOCK_SIZE; // 256

// Reads the first whole 1 MiB of the extent area, from its start in 1 MiB
// steps below the data area.  0 or -EIO (logged).
int read_extent_chunk(int fd, uint64_t start, uint64_t end, uint8_t *buf) {
    uint64_t off = start;
    int ret = -EIO;
    for (; off < end && off >= start; off += HXTR_MiB) {
        ssize_t n = hxtr_pread(fd, buf, HXTR_MiB, off);
        if (n == static_cast<ssize_t>(HXTR_MiB))
            return 0;
        ret = n < 0 ? static_cast<int>(n) : -EIO;
        hxtr_dbg("read extent failed:%d, offset:%ld", ret, static_cast<long>(off));
    }
    hxtr_err("all extent area read failed:%d, offset:%ld, end:%ld", ret, static_cast<long>(off),
             static_cast<long>(end));
    return -EIO;
}

// True when every record of the chunk carries the checksum of a record with
// `map_cnt` mapped-meta entries.
bool map_cnt_fits(const uint8_t *chunk, uint32_t map_cnt, uint32_t extent_size) {
    const uint64_t total =
        static_cast<uint64_t>(map_cnt) * TIER_MAPPED_META_SIZE + extent_size + TIER_HOT_SIZE;
    if (total > HXTR_BLOCK_SIZE)
        return false;
    for (uint64_t r = 0; r < kRecordsPerChunk; r++) {
        const uint8_t *rec = chunk + r * HXTR_BLOCK_SIZE;
        const uint32_t cksum = hxtr_record_load<tier_extent_v2_t>(rec).te_checksum;
        const uint32_t crc = hxtr_record_crc(rec, total - HXTR_CKSUM_FROM);
        if (crc != cksum) {
            hxtr_dbg("extent %lu check failed. crc:%u, cksum:%u, map_cnt:%u", static_cast<unsigned long>(r),
                     crc, cksum, map_cnt);
            return false;
        }
    }
    return true;
}

int find_map_cnt(const hxtr_params_t *p, const tier_super_block_v2_t &sb, uint32_t *found) {
    const uint64_t start =
        HXTR_SB_OFFSET + static_cast<uint64_t>(sb.sb_size) + sb.sb_brick_table_size + sb.sb_inode_table_size;
    int err;
    auto *chunk = static_cast<uint8_t *>(hxtr_alloc_block(HXTR_MiB, &err));
    if (chunk == nullptr) {
        hxtr_err("posix memalign failed:%d", err);
        return -ENOMEM;
    }
    int ret = read_extent_chunk(p->fd, start, sb.sb_data_offset, chunk);
    if (ret == 0) {
        const uint32_t first = (sb.sb_block_size + sb.sb_min_alloc_size - 1) / sb.sb_min_alloc_size;
        uint32_t m = first;
        for (; m <= TIER_MAP_CNT_MAX; m++)
            if (map_cnt_fits(chunk, m, sb.sb_extent_size))
                break;
        if (m <= TIER_MAP_CNT_MAX) {
            hxtr_dbg("find map_cnt:%d", static_cast<int>(m));
            *found = m;
        } else {
            ret = -EINVAL;
            hxtr_err("cannot find valid map_cnt. ret:%d, map_cnt:%d", ret, static_cast<int>(m));
        }
    }
    free(chunk);
    return ret;
}

} // namespace

uint32_t hxtr_convert_min_alloc(uint32_t block_size, uint32_t block_cnt) {
    const uint64_t capacity = static_cast<uint64_t>(block_size) * block_cnt;
    uint32_t min_alloc;
    if (capacity <= 0x7800000000ull) // 480 GiB
        min_alloc = 16384;
    else if (capacity <= (1ull << 40)) // 1 TiB
        min_alloc = 32768;
    else if (capacity <= (4ull << 40)) // 4 TiB
        min_alloc = 65536;
    else
        min_alloc = 131072;
    if (block_size >= HXTR_MiB && min_alloc < 32768)
        min_alloc = 32768;
    if (block_size == 4 * HXTR_MiB && min_alloc < 65536)
        min_alloc = 65536;
    if (block_size > 4 * HXTR_MiB || block_size / min_alloc > TIER_MAP_CNT_MAX)
        return 0;
    return min_alloc;
}

int hxtr_convert_v1_to_v2(const hxtr_params_t *p, tier_super_block_v2_t *sb) {
    sb->sb_hot_size = TIER_HOT_SIZE;
    sb->sb_size_mapped_meta = TIER_MAPPED_META_SIZE;
    sb->sb_min_alloc_size = hxtr_convert_min_alloc(sb->sb_block_size, sb->sb_block_cnt);
    int ret = -EINVAL;
    uint32_t map_cnt = 0;
    if (sb->sb_min_alloc_size != 0)
        ret = find_map_cnt(p, *sb, &map_cnt);
    if (ret < 0) {
        hxtr_err("convert super block failed:%ld", static_cast<long>(ret));
        return ret;
    }
    sb->sb_map_cnt = map_cnt;
    sb->sb_total_map_size = map_cnt * TIER_MAPPED_META_SIZE;
    sb->sb_total_extent_size = sb->sb_hot_size + sb->sb_total_map_size + sb->sb_extent_size;
    sb->sb_version = TIER_VERSION_V2;
    return 0;
}
