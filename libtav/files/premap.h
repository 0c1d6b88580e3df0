// Files laid over an existing device range.
//
// A pre-mapped (LEGACY) file is created empty and then laid over a
// contiguous range of physical blocks that the caller already owns: the
// range is reserved in the zone map, the file becomes a BD extent file of
// whole-block maps, and file block i maps physical block pblock + i with
// every 4 KiB unit marked written.  Its extent blocks come from the data
// path's allocator (files/data.h), formatted before the inode names them.
//
// It runs in a coroutine of the instance's I/O thread whose argument is a
// request stub (the space-accounting hooks charge the mapped blocks to it).
#ifndef TAV_PREMAP_H
#define TAV_PREMAP_H

#include <stdint.h>

#include "inode.h"

/* Blocks one extent block maps with whole-block maps (128 pages of 128). */
#define TAV_PREMAP_BLOCKS_PER_EXTENT 16384ULL
/* The longest range a file can be laid over: 16 extent blocks. */
#define TAV_PREMAP_MAX_BLOCKS        (TAV_PREMAP_BLOCKS_PER_EXTENT * TAV_EXTENT_BLOCKS_PER_FILE)

/* Lays a new, still INLINE file over blocks [pblock, pblock + count) with
 * file size `realsize` and the extra type bits `type`.  REQUIRES: count in
 * 1..TAV_PREMAP_MAX_BLOCKS.  0 or negative errno; each failing step logs. */
TAV_COROUTINE_FN int tav_inode_premap(tav_inode_info *inode, uint64_t pblock, uint32_t count,
                                      uint64_t realsize, uint32_t type);

#endif
