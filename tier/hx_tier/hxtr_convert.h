// Conversion of a v1 super block description to v2 (convert_super with a
// JSON "version" of 0x10000): the v2-only fields are derived from the cache
// geometry and from the extent records on the device, whose checksums reveal
// how many mapped-meta entries each record holds.
//
// Reads the first readable 1 MiB of the extent area once (256 records) and
// tries each candidate map count against all of them.  Writes nothing.
#ifndef HXTR_CONVERT_H
#define HXTR_CONVERT_H

#include <cstdint>

#include "hxtr_cmdline.h"
#include "hxtr_format.h"

/* Minimum allocation size for a cache of block_cnt blocks of block_size
 * bytes, or 0 when the block size admits none (above 4 MiB, or more than 64
 * allocation units per block). */
uint32_t hxtr_convert_min_alloc(uint32_t block_size, uint32_t block_cnt);

/* Fills sb_hot_size, sb_size_mapped_meta, sb_min_alloc_size, sb_map_cnt,
 * sb_total_map_size, sb_total_extent_size and sets version 0x20000, from the
 * fields of `sb` already read and the device.  0, -EINVAL or -EIO (logged). */
int hxtr_convert_v1_to_v2(const hxtr_params_t *params, tier_super_block_v2_t *sb);

#endif
