// Internals shared by zmap.cc (the map) and zmap_page.cc (its pages).
// Not for use outside the zone map.
#ifndef TAV_ZMAP_INTERNAL_H
#define TAV_ZMAP_INTERNAL_H

#include <assert.h>

#include "zmap.h"

/* Whether the device reports a bad track in block `pblk` / in the range; a
 * failed query counts as bad. */
bool zmap_block_badtrack(blkno_t pblk);
bool zmap_range_badtrack(blkno_t pblk, uint64_t cnt);

/* Adds to the page's and the map's counters. */
void zmap_page_account(zmap_page_t *page, int64_t blocks, int64_t slices);
/* Whether the page's usable range holds a free byte (exact). */
bool zmap_page_has_free(const zmap_page_t *page);

inline blkno_t zmap_page_base(const zmap_page_t *page) {
    return static_cast<blkno_t>(page->index) * TAV_ZMAP_PAGE_BITMAP_SIZE;
}

extern const mbuf_fops_t zmap_page_mbuf_fops;

#endif
