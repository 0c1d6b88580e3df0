// The bad-track bitmap and the mapping states derived from it.
//
// Granule g (VA [g*16 MiB, (g+1)*16 MiB)) is bit (g mod 32512) mod 8, least
// significant first, of byte (g mod 32512) / 8 of block g / 32512; a set bit
// means the granule is bad.  Bits outside the loaded blocks, or past a
// block's valid bytes, read as good and cannot be changed.
//
// kvol_mark_badtrack() and kvol_clear_badtrack() (public) write through at
// once: mark writes the touched bitmap blocks, then changed mapping states,
// then the superblock; clear writes bitmap blocks, superblock, then mapping
// states.  When a bitmap block cannot be written the in-memory bitmap is
// restored, so that a retry writes again instead of finding nothing to do.
// Nothing here yields.
#ifndef KVOL_BADTRACK_H
#define KVOL_BADTRACK_H

#include "kvol_volume.h"

/* Whether granule g can be read (lies in a loaded block's valid bytes). */
bool kvol_bt_present(const kvol_t *kvol, uint64_t g);
bool kvol_bt_get(const kvol_t *kvol, uint64_t g);
/* Counts bad granules in [first, end); -1 when part of the range lies
 * beyond the bitmap, else 0. */
int kvol_bt_count(const kvol_t *kvol, uint64_t first, uint64_t end, uint64_t *bad);
/* The first run of bad granules inside [offset, offset + size) clipped to
 * the range's granules: 1 (run filled in), 0 (none) or -22. */
int kvol_bt_first_run(kvol_t *kvol, uint64_t offset, uint64_t size, kvol_range_t *run);
/* Recomputes the states of the mappings covering [offset, offset + size)
 * and writes those that changed.  0, -22 or -1. */
int kvol_recompute_states(kvol_t *kvol, uint64_t offset, uint64_t size);

#endif
