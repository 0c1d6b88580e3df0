// Extent pages, block maps, the per-inode page cache and the instance LRU.
// Programming errors (broken entry state rules, unbalanced pins) abort in
// every build type, so the checks must not depend on NDEBUG.
#include <assert.h>

#include "extent.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/uio.h>

#include <algorithm>

#include "ioengine.h"
#include "checksum.h"
#include "logger.h"
#include "memory.h"

namespace {

constexpr uint64_t kSliceSize = TAV_SLICE_SIZE;

/* Entry checksums are the low 32 bits of the metadata checksum. */
inline uint32_t entry_checksum(const void *p, size_t len) {
    return static_cast<uint32_t>(xxhash_64(p, len));
}

inline ext_page_t *page_of_mbuf(mbuf *mb) {
    return reinterpret_cast<ext_page_t *>(reinterpret_cast<char *>(mb) - offsetof(ext_page_t, mbuf));
}

inline ext_page_t *page_of_node(rb_node *n) {
    return reinterpret_cast<ext_page_t *>(reinterpret_cast<char *>(n) - offsetof(ext_page_t, node));
}

inline blkmap_t *page_entry(ext_page_t *page, uint32_t i) {
    assert(i < page->count);
    return reinterpret_cast<blkmap_t *>(page->blkmaps + static_cast<size_t>(i) * page->stride);
}

inline bool is_slice_type(ext_type_t type) {
    return type != TAV_BLKMAP_TYPE_BLOCK;
}

/* Entries that make up one logical block. */
inline uint32_t entries_per_iblock(ext_type_t type) {
    return is_slice_type(type) ? TAV_SLICES_PER_BLOCK : 1;
}

inline uint32_t bitmap_bits(ext_type_t type) {
    return is_slice_type(type) ? TAV_BLKMAP_SLICE_BITMAP_BITS : TAV_BLKMAP_BITMAP_BITS;
}

inline ext_type_t map_type(const blkmap_t *map) {
    return map->page->type;
}

// ---- the cache tree of pages, keyed by page index --------------------------

ext_page_t *tree_find(ext_cache_t *cache, uint32_t index) {
    rb_node *n = cache->root.node;
    while (n) {
        ext_page_t *p = page_of_node(n);
        if (index < p->index)
            n = n->left;
        else if (index > p->index)
            n = n->right;
        else
            return p;
    }
    return nullptr;
}

/* Inserts `page` unless a page with its index is there; returns that one. */
ext_page_t *tree_insert(ext_cache_t *cache, ext_page_t *page) {
    rb_node **link = &cache->root.node, *parent = nullptr;
    while (*link) {
        parent = *link;
        ext_page_t *p = page_of_node(parent);
        if (page->index < p->index)
            link = &parent->left;
        else if (page->index > p->index)
            link = &parent->right;
        else
            return p;
    }
    rb_link_node(&page->node, parent, link);
    rb_insert_color(&page->node, &cache->root);
    page->intree = 1;
    cache->status.count++;
    return nullptr;
}

bool page_less(const rb_node *a, const rb_node *b) {
    return page_of_node(const_cast<rb_node *>(a))->index < page_of_node(const_cast<rb_node *>(b))->index;
}

// ---- on-disk entry formats ---------------------------------------------------

uint16_t ondisk_v1_type(ext_type_t type) {
    return type == TAV_BLKMAP_TYPE_BLOCK ? 0 : 1;
}

void fill_empty_v1(tav_block_map_ondisk *o, ext_type_t type) {
    memset(o, 0, sizeof(*o));
    memcpy(o->magic, TAV_BLKMAP_MAGIC, 8);
    o->state = TAV_BLKMAP_STATE_INIT;
    o->block = 0;
    o->slice = 0xFFFF;
    o->type = ondisk_v1_type(type);
    o->checksum = entry_checksum(reinterpret_cast<const char *>(o) + 12, sizeof(*o) - 12);
}

void format_block_v1(void *buf) {
    fill_empty_v1(static_cast<tav_block_map_ondisk *>(buf), TAV_BLKMAP_TYPE_BLOCK);
}
void format_slice_v1(void *buf) {
    fill_empty_v1(static_cast<tav_block_map_ondisk *>(buf), TAV_BLKMAP_TYPE_SLICE);
}

void format_slice_v2(void *buf) {
    tav_block_map_ondisk_v2 *o = static_cast<tav_block_map_ondisk_v2 *>(buf);
    memset(o, 0, sizeof(*o));
    o->state = TAV_BLKMAP_STATE_INIT;
    o->slice = 0xFF;
    o->checksum = entry_checksum(reinterpret_cast<const char *>(o) + 4, sizeof(*o) - 4);
}

/* Numbering: entry i of page p is global entry p * N + i. */
void entry_position(ext_page_t *page, uint32_t i, blkmap_t *e) {
    uint64_t n = static_cast<uint64_t>(page->index) * page->count + i;
    e->page = page;
    if (is_slice_type(page->type)) {
        e->iblock = n / TAV_SLICES_PER_BLOCK;
        e->islice = static_cast<int8_t>(n % TAV_SLICES_PER_BLOCK);
    } else {
        e->iblock = n;
        e->islice = -1;
    }
}

void mark_entry_error(ext_page_t *page, uint32_t i, blkmap_t *e) {
    log_error("illegal blkmap, page index: %u, phy_addr: %lu, blkmap index: %d", page->index,
              (unsigned long)page->phy_addr, (int)i);
    e->state = TAV_BLKMAP_STATE_ERROR;
    e->pblock = 0;
    e->pslice = -1;
    memset(e->bitmaps, 0, bitmap_bits(page->type) / 8);
}

int v1_serialize(mbuf *mb, void *buffer, size_t size) {
    ext_page_t *page = page_of_mbuf(mb);
    assert(size == page->size);
    assert(page->type != TAV_BLKMAP_TYPE_SLICE_V2);
    tav_block_map_ondisk *o = static_cast<tav_block_map_ondisk *>(buffer);
    bool slices = is_slice_type(page->type);
    for (uint32_t i = 0; i < page->count; i++, o++) {
        blkmap_t *e = page_entry(page, i);
        assert(e->state >= TAV_BLKMAP_STATE_INIT && e->state < TAV_BLKMAP_STATE_MAX);
        memset(o, 0, sizeof(*o));
        memcpy(o->magic, TAV_BLKMAP_MAGIC, 8);
        o->state = e->state;
        o->block = e->pblock;
        if (slices) {
            assert(e->islice >= 0 && e->islice < TAV_SLICES_PER_BLOCK);
            assert(e->pslice < TAV_SLICES_PER_BLOCK);
            o->slice = e->pslice < 0 ? 0xFFFF : static_cast<uint16_t>(e->pslice);
            o->type = 1;
            memcpy(o->bitmaps, e->bitmaps, TAV_BLKMAP_SLICE_BITMAP_BITS / 8);
        } else {
            assert(e->islice == -1 && e->pslice == -1);
            o->slice = 0xFFFF;
            o->type = 0;
            memcpy(o->bitmaps, e->bitmaps, TAV_BLKMAP_BITMAP_BITS / 8);
        }
        o->checksum = entry_checksum(reinterpret_cast<const char *>(o) + 12, sizeof(*o) - 12);
    }
    return 0;
}

/* Reason an on-disk v1 entry is illegal, logged; true when legal. */
bool v1_check(const tav_block_map_ondisk *o, ext_type_t type) {
    if (memcmp(o->magic, TAV_BLKMAP_MAGIC, 8) != 0) {
        uint64_t magic;
        memcpy(&magic, o->magic, 8);
        log_error("blkmap: invalid magic 0x%lx", (unsigned long)magic);
        return false;
    }
    if (o->checksum != entry_checksum(reinterpret_cast<const char *>(o) + 12, sizeof(*o) - 12)) {
        log_error("blkmap: checksum failed 0x%x", o->checksum);
        return false;
    }
    if (o->state < TAV_BLKMAP_STATE_INIT || o->state >= TAV_BLKMAP_STATE_MAX) {
        log_error("blkmap: invalid state: %d", (int)o->state);
        return false;
    }
    if (o->type != ondisk_v1_type(type)) {
        log_error("blkmap: invalid type: %d (expected: %d)", (int)o->type, (int)ondisk_v1_type(type));
        return false;
    }
    if (o->state == TAV_BLKMAP_STATE_MAPPED && is_slice_type(type) && o->slice >= TAV_SLICES_PER_BLOCK) {
        log_error("blkmap: invalid slice: %d", (int)o->slice);
        return false;
    }
    // Block 0 is the superblock: a mapped entry there could only make the
    // data path write over the instance's own metadata.
    if (o->state == TAV_BLKMAP_STATE_MAPPED && o->block == 0) {
        log_error("blkmap: invalid block: %lu", (unsigned long)o->block);
        return false;
    }
    return true;
}

int v1_unserialize(mbuf *mb, const void *buffer, size_t size) {
    ext_page_t *page = page_of_mbuf(mb);
    assert(size == page->size);
    const tav_block_map_ondisk *o = static_cast<const tav_block_map_ondisk *>(buffer);
    bool slices = is_slice_type(page->type);
    int ret = 0;
    for (uint32_t i = 0; i < page->count; i++, o++) {
        blkmap_t *e = page_entry(page, i);
        entry_position(page, i, e);
        if (!v1_check(o, page->type)) {
            mark_entry_error(page, i, e);
            ret = -EACCES;
            continue;
        }
        e->state = static_cast<uint8_t>(o->state);
        e->pblock = o->block;
        if (slices) {
            e->pslice = o->slice < TAV_SLICES_PER_BLOCK ? static_cast<int8_t>(o->slice) : -1;
            memcpy(e->bitmaps, o->bitmaps, TAV_BLKMAP_SLICE_BITMAP_BITS / 8);
        } else {
            e->pslice = -1;
            memcpy(e->bitmaps, o->bitmaps, TAV_BLKMAP_BITMAP_BITS / 8);
        }
    }
    return ret;
}

int v2_serialize(mbuf *mb, void *buffer, size_t size) {
    ext_page_t *page = page_of_mbuf(mb);
    assert(size == page->size);
    assert(page->type == TAV_BLKMAP_TYPE_SLICE_V2);
    tav_block_map_ondisk_v2 *o = static_cast<tav_block_map_ondisk_v2 *>(buffer);
    for (uint32_t i = 0; i < page->count; i++, o++) {
        blkmap_t *e = page_entry(page, i);
        assert(e->islice >= 0 && e->islice < TAV_SLICES_PER_BLOCK);
        assert(e->pslice < TAV_SLICES_PER_BLOCK);
        assert(e->pblock <= 0xFFFFFFFFull);
        assert(e->state >= TAV_BLKMAP_STATE_INIT && e->state < TAV_BLKMAP_STATE_MAX);
        memset(o, 0, sizeof(*o));
        o->state = e->state;
        o->slice = e->pslice < 0 ? 0xFF : static_cast<uint8_t>(e->pslice);
        o->block = static_cast<uint32_t>(e->pblock);
        memcpy(o->bitmaps, e->bitmaps, sizeof(o->bitmaps));
        o->checksum = entry_checksum(reinterpret_cast<const char *>(o) + 4, sizeof(*o) - 4);
    }
    return 0;
}

bool v2_check(const tav_block_map_ondisk_v2 *o) {
    if (o->checksum != entry_checksum(reinterpret_cast<const char *>(o) + 4, sizeof(*o) - 4)) {
        log_error("blkmap: checksum failed 0x%x", o->checksum);
        return false;
    }
    if (o->state < TAV_BLKMAP_STATE_INIT || o->state >= TAV_BLKMAP_STATE_MAX) {
        log_error("blkmap: invalid state: %d", (int)o->state);
        return false;
    }
    if (o->state == TAV_BLKMAP_STATE_MAPPED && o->slice >= TAV_SLICES_PER_BLOCK) {
        log_error("blkmap: invalid slice: %d", (int)o->slice);
        return false;
    }
    if (o->state == TAV_BLKMAP_STATE_MAPPED && o->block == 0) {
        log_error("blkmap: invalid block: %lu", (unsigned long)o->block);
        return false;
    }
    return true;
}

int v2_unserialize(mbuf *mb, const void *buffer, size_t size) {
    ext_page_t *page = page_of_mbuf(mb);
    assert(size == page->size);
    const tav_block_map_ondisk_v2 *o = static_cast<const tav_block_map_ondisk_v2 *>(buffer);
    int ret = 0;
    for (uint32_t i = 0; i < page->count; i++, o++) {
        blkmap_t *e = page_entry(page, i);
        entry_position(page, i, e);
        if (!v2_check(o)) {
            mark_entry_error(page, i, e);
            ret = -EACCES;
            continue;
        }
        e->state = o->state;
        e->pblock = o->block;
        e->pslice = o->slice < TAV_SLICES_PER_BLOCK ? static_cast<int8_t>(o->slice) : -1;
        memcpy(e->bitmaps, o->bitmaps, sizeof(o->bitmaps));
    }
    return ret;
}

off_t page_get_offset(mbuf *mb, int is_write) {
    (void)is_write;
    return static_cast<off_t>(page_of_mbuf(mb)->phy_addr);
}

const mbuf_fops_t kV1Fops = {page_get_offset, v1_serialize, v1_unserialize};
const mbuf_fops_t kV2Fops = {page_get_offset, v2_serialize, v2_unserialize};

const tav_extent_desc kExtentDesc[TAV_BLKMAP_TYPE_MAX] = {
    {&kV1Fops, format_block_v1, sizeof(tav_block_map_ondisk), sizeof(blkmap_t) + 32},
    {&kV1Fops, format_slice_v1, sizeof(tav_block_map_ondisk), sizeof(blkmap_t) + 4},
    {&kV2Fops, format_slice_v2, sizeof(tav_block_map_ondisk_v2), sizeof(blkmap_t) + 4},
};

const tav_extent_desc *desc_of(ext_type_t type) {
    assert(type >= TAV_BLKMAP_TYPE_BLOCK && type < TAV_BLKMAP_TYPE_MAX);
    return &kExtentDesc[type];
}

// ---- pages ------------------------------------------------------------------

void page_destroy(ext_page_t *page) {
    assert(page->in_use == 0);
    if (page->intree) {
        rb_erase(&page->node, &page->cache->root);
        page->intree = 0;
        page->cache->status.count--;
    }
    if (!list_empty(&page->entry)) {
        list_del_init(&page->entry);
        page->table->count--;
    }
    mbuf_fini(&page->mbuf);
    tav_free(page);
}

TAV_COROUTINE_FN ext_page_t *page_create(ext_cache_t *cache, size_t page_size, uint32_t index, bool nocache) {
    ext_table_t *table = cache->table;
    assert(page_size % TAV_EXTENT_PAGE_SIZE == 0 && page_size <= TAV_BLOCK_SIZE);
    ext_type_t type = table->fops->get_extent_type(cache);
    uint32_t count = ext_blkmaps_per_page(type, page_size);
    size_t stride = ext_blkmap_size(type);

    uint32_t pages_per_block = static_cast<uint32_t>(TAV_BLOCK_SIZE / page_size);
    uint32_t extent_no = index / pages_per_block;
    if (extent_no >= TAV_EXTENT_BLOCKS_PER_FILE) {
        log_error("extent page index %u beyond the file's %d extent blocks, page size: %lu", index,
                  TAV_EXTENT_BLOCKS_PER_FILE, (unsigned long)page_size);
        errno = EFBIG;
        return nullptr;
    }

    uint64_t pblk = 0;
    int ret = table->fops->get_extent_blkno(cache, extent_no, &pblk);
    if (ret < 0) {
        log_error("get_extent_blkno failed: %s, extent page size: %lu, extent page index: %u, "
                  "extent block index: %u",
                  strerror(-ret), (unsigned long)page_size, index, extent_no);
        errno = -ret;
        return nullptr;
    }
    if (pblk == 0) {
        log_error("get_extent_blkno failed: %s, extent page size: %lu, extent page index: %u, "
                  "extent block index: %u",
                  strerror(ENOENT), (unsigned long)page_size, index, extent_no);
        errno = ENOENT;
        return nullptr;
    }

    ext_page_t *page = static_cast<ext_page_t *>(
        tav_calloc(1, sizeof(ext_page_t) + static_cast<size_t>(count) * stride, TAV_MEM_EXTENT_PAGE));
    if (!page) {
        log_error("out of memory, extent page size:%lu, index:%u", (unsigned long)page_size, index);
        errno = ENOMEM;
        return nullptr;
    }
    INIT_LIST_HEAD(&page->entry);
    page->table = table;
    page->cache = cache;
    page->size = page_size;
    page->index = index;
    page->type = type;
    page->count = count;
    page->stride = static_cast<uint32_t>(stride);
    page->phy_addr = pblk * TAV_BLOCK_SIZE + static_cast<uint64_t>(index % pages_per_block) * page_size;
    ret = mbuf_init(&page->mbuf, nullptr, page_size, ext_mbuf_fops(type));
    if (ret < 0) {
        log_error("mbuf_init failed: (%d)%s, extent page index: %u, phy_addr: %lu", ret, strerror(-ret),
                  index, (unsigned long)page->phy_addr);
        tav_free(page);
        errno = -ret;
        return nullptr;
    }
    batch_runner_init(&page->runner);

    if (nocache || page_size != TAV_EXTENT_PAGE_SIZE)
        return page;
    // get_extent_blkno may have yielded: another coroutine may have cached
    // the same page meanwhile.
    ext_page_t *existing = tree_insert(cache, page);
    if (existing) {
        mbuf_fini(&page->mbuf);
        tav_free(page);
        return existing;
    }
    list_add(&page->entry, &table->lru);
    table->count++;
    return page;
}

TAV_COROUTINE_FN ext_page_t *page_get(ext_cache_t *cache, uint32_t index, bool nocache) {
    ext_page_t *page = tree_find(cache, index);
    if (page) {
        cache->status.hit++;
        list_del_init(&page->entry);
        list_add(&page->entry, &cache->table->lru);
    } else {
        cache->status.miss++;
        page = page_create(cache, TAV_EXTENT_PAGE_SIZE, index, nocache);
        if (!page)
            return nullptr;
    }
    page->in_use++;
    int ret = ext_page_access(page);
    if (ret < 0) {
        log_error("ext_page_access failed: (%d)%s, extent page index: %u, phy_addr: %lu", ret, strerror(-ret),
                  index, (unsigned long)page->phy_addr);
        ext_page_put(page);
        errno = -ret;
        return nullptr;
    }
    return page;
}

void update_bits(blkmap_t *map, uint32_t sbit, uint32_t bcnt, bool set) {
    assert(map->state == TAV_BLKMAP_STATE_MAPPED);
    assert(sbit + bcnt <= bitmap_bits(map_type(map)));
    bool changed = false;
    for (uint32_t b = sbit; b < sbit + bcnt; b++) {
        uint8_t mask = static_cast<uint8_t>(1u << (b % 8));
        uint8_t &byte = map->bitmaps[b / 8];
        if (set && !(byte & mask)) {
            byte |= mask;
            changed = true;
        } else if (!set && (byte & mask)) {
            byte &= static_cast<uint8_t>(~mask);
            changed = true;
        }
    }
    if (changed)
        ext_page_mark_dirty(map->page);
}

bool bits_all(const blkmap_t *map, uint32_t sbit, uint32_t bcnt, bool set) {
    assert(sbit + bcnt <= bitmap_bits(map_type(map)));
    for (uint32_t b = sbit; b < sbit + bcnt; b++) {
        bool isset = map->bitmaps[b / 8] & (1u << (b % 8));
        if (isset != set)
            return false;
    }
    return true;
}

} // namespace

// ---- formats ------------------------------------------------------------------

uint32_t ext_blkmaps_per_page(ext_type_t type, size_t page_size) {
    assert(page_size > 0 && page_size % TAV_EXTENT_PAGE_SIZE == 0);
    return static_cast<uint32_t>(page_size / desc_of(type)->blkmap_ondisk_size);
}

size_t ext_blkmap_ondisk_size(ext_type_t type) {
    return desc_of(type)->blkmap_ondisk_size;
}
size_t ext_blkmap_size(ext_type_t type) {
    return desc_of(type)->blkmap_size;
}
const mbuf_fops_t *ext_mbuf_fops(ext_type_t type) {
    return desc_of(type)->mbuf_fops;
}
void ext_blkmap_ondisk_format(ext_type_t type, void *buf) {
    desc_of(type)->blkmap_ondisk_format(buf);
}

uint32_t ext_iblocks_per_page(ext_type_t type, size_t page_size) {
    return ext_blkmaps_per_page(type, page_size) / entries_per_iblock(type);
}

TAV_COROUTINE_FN int ext_block_format(uint64_t pblock, ext_type_t type) {
    void *buf = tav_iobuf_get(TAV_EXTENT_PAGE_SIZE, TAV_MEM_IO_ALIGNED_BUFFER);
    if (!buf) {
        log_error("tav_iobuf_get: %s", strerror(ENOMEM));
        return -ENOMEM;
    }
    size_t esize = ext_blkmap_ondisk_size(type);
    for (size_t off = 0; off < TAV_EXTENT_PAGE_SIZE; off += esize)
        ext_blkmap_ondisk_format(type, static_cast<char *>(buf) + off);
    struct iovec iov[TAV_EXTENT_PAGES_PER_BLOCK];
    for (auto &v : iov) {
        v.iov_base = buf;
        v.iov_len = TAV_EXTENT_PAGE_SIZE;
    }
    off_t offset = static_cast<off_t>(pblock * TAV_BLOCK_SIZE);
    int ret = ioengine_co_pwritevn(ioengine_get_default(), iov, TAV_EXTENT_PAGES_PER_BLOCK, offset);
    if (ret < 0)
        log_error("co_pwritev: %d(%s), offset: %lu", ret, strerror(-ret), (unsigned long)offset);
    tav_iobuf_put(buf);
    return ret < 0 ? ret : 0;
}

// ---- table and cache --------------------------------------------------------------

void ext_table_init(ext_table_t *table, const tav_extent_fops *fops, uint32_t max) {
    assert(fops && fops->get_extent_blkno && fops->get_extent_type);
    INIT_LIST_HEAD(&table->lru);
    table->max = max;
    table->count = 0;
    table->fops = fops;
    table->flushing_cache = 0;
}

void ext_table_destroy(ext_table_t *table) {
    list_head *pos, *n;
    list_for_each_safe(pos, n, &table->lru) {
        ext_page_t *page = list_entry(pos, ext_page_t, entry);
        assert(page->in_use == 0);
        page_destroy(page);
    }
    assert(table->count == 0);
}

void ext_table_set_lru(ext_table_t *table, uint32_t max) {
    table->max = max;
    ext_table_prune(table);
}

void ext_table_prune(ext_table_t *table) {
    if (table->flushing_cache || table->count <= table->max)
        return;
    list_head *pos = table->lru.prev;
    while (pos != &table->lru && table->count > table->max) {
        list_head *prev = pos->prev;
        ext_page_t *page = list_entry(pos, ext_page_t, entry);
        if (page->in_use == 0 && page->dirty == 0)
            page_destroy(page);
        pos = prev;
    }
}

void ext_table_dump(ext_table_t *table) {
    log_info("extent table: max: %u, count: %u, flushing_cache: %d", table->max, table->count,
             table->flushing_cache);
}

void ext_cache_init(ext_cache_t *cache, ext_table_t *table) {
    cache->table = table;
    cache->root.node = nullptr;
    cache->status = {};
}

void ext_cache_cleanup(ext_cache_t *cache) {
    while (cache->root.node) {
        ext_page_t *page = page_of_node(cache->root.node);
        assert(page->in_use == 0);
        page_destroy(page);
    }
    assert(cache->status.count == 0);
}

TAV_COROUTINE_FN int ext_cache_flush(ext_cache_t *cache) {
    if (cache->table->count == 0 || cache->status.count == 0)
        return 0;
    uint32_t n = cache->status.count;
    ext_page_t **pages = static_cast<ext_page_t **>(tav_malloc(n * sizeof(*pages), TAV_MEM_OTHER));
    if (!pages)
        return -ENOMEM;
    uint32_t k = 0;
    for (rb_node *node = rb_first(&cache->root); node; node = rb_next(node)) {
        pages[k] = page_of_node(node);
        pages[k]->in_use++;
        k++;
    }
    assert(k == n);
    int ret = 0, written = 0;
    for (uint32_t i = 0; i < n; i++) {
        ext_page_t *page = pages[i];
        // A clean page has nothing to write: it is not even loaded, so that a
        // damaged page nobody changed does not fail the flush.
        if (ret == 0 && page->dirty) {
            int r = ext_page_access(page);
            if (r == 0) {
                r = ext_page_write(page);
                if (r == 0)
                    written++;
            }
            if (r < 0)
                ret = -EIO;
        }
        ext_page_put(page);
    }
    tav_free(pages);
    return ret < 0 ? ret : written;
}

int ext_cache_is_empty(ext_cache_t *cache) {
    return cache->status.count == 0;
}

ext_type_t ext_cache_blkmap_type(ext_cache_t *cache) {
    return cache->table->fops->get_extent_type(cache);
}

uint32_t ext_cache_max_count(ext_cache_t *cache, uint64_t filesize) {
    uint64_t span =
        static_cast<uint64_t>(ext_iblocks_per_page(ext_cache_blkmap_type(cache), TAV_EXTENT_PAGE_SIZE)) *
        TAV_BLOCK_SIZE;
    // A size read from the device may be anything: never more pages than a
    // file's extent blocks hold, and no wrap-around.
    uint64_t pages = filesize / span + (filesize % span != 0);
    return static_cast<uint32_t>(
        std::min<uint64_t>(pages, TAV_EXTENT_BLOCKS_PER_FILE * TAV_EXTENT_PAGES_PER_BLOCK));
}

void ext_cache_dump(ext_cache_t *cache) {
    log_info("extent cache: count: %u, hit: %lu, miss: %lu", cache->status.count,
             (unsigned long)cache->status.hit, (unsigned long)cache->status.miss);
    for (rb_node *node = rb_first(&cache->root); node; node = rb_next(node)) {
        ext_page_t *p = page_of_node(node);
        log_info("  page index: %u, phy_addr: %lu, in_use: %u, dirty: %u, state: %d", p->index,
                 (unsigned long)p->phy_addr, p->in_use, p->dirty, (int)p->mbuf.state);
    }
}

int ext_cache_verify(ext_cache_t *cache) {
    if (rb_verify(&cache->root, page_less) < 0)
        return -1;
    uint32_t n = 0;
    for (rb_node *node = rb_first(&cache->root); node; node = rb_next(node))
        n++;
    return n == cache->status.count ? 0 : -1;
}

TAV_COROUTINE_FN int ext_cache_dump_blkmaps(ext_cache_t *cache, uint64_t iblk, char *buf, size_t len,
                                            int whole_page) {
    assert(buf && len > 0);
    buf[0] = '\0';
    ext_page_t *page = nullptr;
    blkmap_t *first = ext_blkmaps_get(cache, iblk, &page);
    if (!first)
        return -errno;
    size_t used = 0;
    uint32_t from, to;
    uint32_t per = entries_per_iblock(page->type);
    if (whole_page) {
        from = 0;
        to = page->count;
    } else {
        from = static_cast<uint32_t>(
            (reinterpret_cast<char *>(first) - reinterpret_cast<char *>(page->blkmaps)) / page->stride);
        to = from + per;
    }
    used += snprintf(buf + used, len - used, "page index: %u, phy_addr: %lu, dirty: %u\n", page->index,
                     static_cast<unsigned long>(page->phy_addr), page->dirty);
    for (uint32_t i = from; i < to && used < len; i++) {
        blkmap_t *e = page_entry(page, i);
        used += snprintf(buf + used, len - used,
                         "iblock:%lu islice:%d state:%u pblock:%lu "
                         "pslice:%d bits:",
                         static_cast<unsigned long>(e->iblock), e->islice, e->state,
                         static_cast<unsigned long>(e->pblock), e->pslice);
        for (uint32_t b = 0; b < bitmap_bits(page->type) / 8 && used < len; b++)
            used += snprintf(buf + used, len - used, "%02x", e->bitmaps[b]);
        if (used < len)
            used += snprintf(buf + used, len - used, "\n");
    }
    ext_page_put(page);
    return static_cast<int>(used < len ? used : len - 1);
}

// ---- pages --------------------------------------------------------------------------

TAV_COROUTINE_FN ext_page_t *ext_page_get(ext_cache_t *cache, uint32_t index) {
    return page_get(cache, index, false);
}

TAV_COROUTINE_FN ext_page_t *ext_page_get_nocache(ext_cache_t *cache, uint32_t index) {
    return page_get(cache, index, true);
}

TAV_COROUTINE_FN ext_page_t *ext_page_get_nostd(ext_cache_t *cache, size_t page_size, uint32_t page_index) {
    assert(ext_cache_is_empty(cache));
    ext_page_t *page = page_create(cache, page_size, page_index, true);
    if (!page)
        return nullptr;
    page->in_use++;
    int ret = ext_page_access(page);
    if (ret < 0) {
        log_error("ext_page_access failed: (%d)%s, extent page index: %u, phy_addr: %lu", ret, strerror(-ret),
                  page_index, (unsigned long)page->phy_addr);
        ext_page_put(page);
        errno = -ret;
        return nullptr;
    }
    return page;
}

TAV_COROUTINE_FN int ext_page_access(ext_page_t *page) {
    return mbuf_get(&page->mbuf);
}

TAV_COROUTINE_FN int ext_page_addressable(ext_cache_t *cache, size_t page_size, uint32_t page_index) {
    uint32_t extent_no = page_index / static_cast<uint32_t>(TAV_BLOCK_SIZE / page_size);
    if (extent_no >= TAV_EXTENT_BLOCKS_PER_FILE)
        return 0;
    uint64_t pblk = 0;
    int ret = cache->table->fops->get_extent_blkno(cache, extent_no, &pblk);
    if (ret < 0)
        return ret;
    return pblk != 0;
}

void ext_page_mark_dirty(ext_page_t *page) {
    page->dirty++;
}

TAV_COROUTINE_FN int ext_page_write(ext_page_t *page) {
    if (page->dirty == 0)
        return 0;
    uint32_t dirty = page->dirty;
    page->dirty = 0;
    // The in-memory entries are the only copy and are changed in place by
    // whoever holds a pin, so there is no private copy that could be stale:
    // no read credential is needed to write them.
    int ret = mbuf_set_unsafe(&page->mbuf);
    log_debug("write extent page %u: %d", page->index, ret);
    if (ret < 0)
        page->dirty += dirty;
    return ret;
}

void ext_page_put(ext_page_t *page) {
    assert(page->in_use > 0);
    page->in_use--;
    if (list_empty(&page->entry)) {
        if (page->in_use == 0)
            page_destroy(page);
        return;
    }
    ext_table_prune(page->table);
}

ext_cache_t *ext_page_owner(ext_page_t *page) {
    return page->cache;
}

// ---- entries ------------------------------------------------------------------------

TAV_COROUTINE_FN blkmap_t *ext_blkmaps_get(ext_cache_t *cache, uint64_t iblock, ext_page_t **page) {
    ext_type_t type = ext_cache_blkmap_type(cache);
    uint64_t n = iblock * entries_per_iblock(type);
    uint64_t index = n / ext_blkmaps_per_page(type, TAV_EXTENT_PAGE_SIZE);
    if (index > UINT32_MAX) {
        errno = EFBIG;
        return nullptr;
    }
    ext_page_t *p = ext_page_get(cache, static_cast<uint32_t>(index));
    if (!p)
        return nullptr;
    *page = p;
    return ext_page_blkmaps_get(p, iblock);
}

TAV_COROUTINE_FN blkmap_t *ext_blkmap_get(ext_cache_t *cache, uint64_t iblock, int islice,
                                          ext_page_t **page) {
    blkmap_t *first = ext_blkmaps_get(cache, iblock, page);
    return first ? ext_blkmaps_at(first, islice) : nullptr;
}

int ext_page_has_iblock(ext_page_t *page, uint64_t iblock) {
    uint32_t per = entries_per_iblock(page->type);
    uint64_t first = static_cast<uint64_t>(page->index) * page->count;
    uint64_t n = iblock * per;
    return n >= first && n < first + page->count;
}

blkmap_t *ext_page_blkmaps_get(ext_page_t *page, uint64_t iblock) {
    assert(ext_page_has_iblock(page, iblock));
    uint64_t n = iblock * entries_per_iblock(page->type);
    return page_entry(page, static_cast<uint32_t>(n - static_cast<uint64_t>(page->index) * page->count));
}

blkmap_t *ext_page_blkmap_get(ext_page_t *page, uint64_t iblock, int islice) {
    return ext_blkmaps_at(ext_page_blkmaps_get(page, iblock), islice);
}

blkmap_t *ext_page_blkmap_get_index(ext_page_t *page, uint32_t index) {
    return page_entry(page, index);
}

uint64_t ext_page_find_goal(ext_page_t *page, uint64_t iblock) {
    if (iblock == 0 || !ext_page_has_iblock(page, iblock - 1))
        return 0;
    blkmap_t *prev = ext_page_blkmaps_get(page, iblock - 1);
    uint64_t pblk = ext_blkmaps_first_pblock(prev);
    return pblk ? pblk + 1 : 0;
}

uint64_t ext_blkmap_get_iblock(const blkmap_t *map) {
    return map->iblock;
}
int ext_blkmap_get_islice(const blkmap_t *map) {
    return map->islice;
}

uint64_t ext_blkmap_get_pblock(const blkmap_t *map) {
    return map->state == TAV_BLKMAP_STATE_MAPPED ? map->pblock : 0;
}

int ext_blkmap_get_pslice(const blkmap_t *map) {
    return map->state == TAV_BLKMAP_STATE_MAPPED ? map->pslice : -1;
}

uint64_t ext_blkmap_get_lba(const blkmap_t *map) {
    uint64_t lba = map->iblock * TAV_BLOCK_SIZE;
    if (map->islice >= 0)
        lba += static_cast<uint64_t>(map->islice) * kSliceSize;
    return lba;
}

int64_t ext_blkmap_get_pba(const blkmap_t *map) {
    if (map->state != TAV_BLKMAP_STATE_MAPPED)
        return -1;
    uint64_t pba = map->pblock * TAV_BLOCK_SIZE;
    if (map->pslice >= 0)
        pba += static_cast<uint64_t>(map->pslice) * kSliceSize;
    return static_cast<int64_t>(pba);
}

blkmap_t *ext_blkmap_to_blkmaps(blkmap_t *map) {
    if (map->islice <= 0)
        return map;
    return reinterpret_cast<blkmap_t *>(reinterpret_cast<char *>(map) -
                                        static_cast<size_t>(map->islice) * map->page->stride);
}

blkmap_t *ext_blkmaps_at(blkmap_t *blkmaps, int islice) {
    if (!is_slice_type(map_type(blkmaps))) {
        assert(islice <= 0);
        return blkmaps;
    }
    assert(islice >= 0 && islice < TAV_SLICES_PER_BLOCK && blkmaps->islice == 0);
    return reinterpret_cast<blkmap_t *>(reinterpret_cast<char *>(blkmaps) +
                                        static_cast<size_t>(islice) * blkmaps->page->stride);
}

uint64_t ext_blkmaps_get_pblock(blkmap_t *blkmaps, int islice) {
    return ext_blkmap_get_pblock(ext_blkmaps_at(blkmaps, islice));
}

int ext_blkmaps_get_pslice(blkmap_t *blkmaps, int islice) {
    return ext_blkmap_get_pslice(ext_blkmaps_at(blkmaps, islice));
}

uint64_t ext_blkmaps_first_pblock(blkmap_t *blkmaps) {
    if (!is_slice_type(map_type(blkmaps)))
        return ext_blkmap_get_pblock(blkmaps);
    for (int s = 0; s < TAV_SLICES_PER_BLOCK; s++) {
        uint64_t pblk = ext_blkmaps_get_pblock(blkmaps, s);
        if (pblk)
            return pblk;
    }
    return 0;
}

int ext_blkmaps_pslice_count(blkmap_t *blkmaps) {
    if (!is_slice_type(map_type(blkmaps)))
        return blkmaps->state == TAV_BLKMAP_STATE_MAPPED ? TAV_SLICES_PER_BLOCK : 0;
    int n = 0;
    for (int s = 0; s < TAV_SLICES_PER_BLOCK; s++)
        n += ext_blkmaps_at(blkmaps, s)->state == TAV_BLKMAP_STATE_MAPPED;
    return n;
}

void ext_blkmap_update_pblock(blkmap_t *map, uint64_t pblock, int pslice, blkmap_op_t op) {
    ext_page_t *page = map->page;
    const tav_extent_fops *fops = page->table->fops;
    assert(pblock != 0 && pslice < TAV_SLICES_PER_BLOCK);
    assert(is_slice_type(page->type) ? pslice >= 0 : pslice == -1);
    switch (op) {
    case TAV_BLKMAP_OP_SET:
        assert(map->state != TAV_BLKMAP_STATE_MAPPED);
        map->pblock = pblock;
        map->pslice = static_cast<int8_t>(pslice);
        map->state = TAV_BLKMAP_STATE_MAPPED;
        // A freshly mapped block holds nothing written yet: an entry that was
        // only unmapped still carries the bits of its former block.
        memset(map->bitmaps, 0, bitmap_bits(page->type) / 8);
        if (fops->block_map_hook)
            fops->block_map_hook(page->cache, map);
        break;
    case TAV_BLKMAP_OP_DELETE:
    case TAV_BLKMAP_OP_UNMAP:
        assert(map->state == TAV_BLKMAP_STATE_MAPPED);
        assert(map->pblock == pblock && map->pslice == pslice);
        if (fops->block_unmap_hook)
            fops->block_unmap_hook(page->cache, map);
        map->state = TAV_BLKMAP_STATE_DELETED;
        if (op == TAV_BLKMAP_OP_DELETE) {
            map->pblock = 0;
            map->pslice = -1;
            memset(map->bitmaps, 0, bitmap_bits(page->type) / 8);
        }
        break;
    case TAV_BLKMAP_OP_REPLACE:
        assert(map->state == TAV_BLKMAP_STATE_MAPPED);
        map->pblock = pblock;
        map->pslice = static_cast<int8_t>(pslice);
        break;
    default: assert(!"unknown block-map operation");
    }
    ext_page_mark_dirty(page);
}

void ext_blkmap_set_pblock(blkmap_t *map, uint64_t pblock, int pslice) {
    ext_blkmap_update_pblock(map, pblock, pslice, TAV_BLKMAP_OP_SET);
}
void ext_blkmap_delete_pblock(blkmap_t *map, uint64_t pblock, int pslice) {
    ext_blkmap_update_pblock(map, pblock, pslice, TAV_BLKMAP_OP_DELETE);
}
void ext_blkmap_unmap_pblock(blkmap_t *map, uint64_t pblock, int pslice) {
    ext_blkmap_update_pblock(map, pblock, pslice, TAV_BLKMAP_OP_UNMAP);
}
void ext_blkmap_replace_pblock(blkmap_t *map, uint64_t pblock, int pslice) {
    ext_blkmap_update_pblock(map, pblock, pslice, TAV_BLKMAP_OP_REPLACE);
}

static void check_slice_pair(int islice, int pslice) {
    (void)islice;
    (void)pslice;
    assert((islice >= 0 && pslice >= 0) || (islice == -1 && pslice == -1));
}

void ext_blkmaps_set_pblock(blkmap_t *blkmaps, int islice, uint64_t pblock, int pslice) {
    check_slice_pair(islice, pslice);
    ext_blkmap_set_pblock(ext_blkmaps_at(blkmaps, islice), pblock, pslice);
}
void ext_blkmaps_delete_pblock(blkmap_t *blkmaps, int islice, uint64_t pblock, int pslice) {
    check_slice_pair(islice, pslice);
    ext_blkmap_delete_pblock(ext_blkmaps_at(blkmaps, islice), pblock, pslice);
}
void ext_blkmaps_replace_pblock(blkmap_t *blkmaps, int islice, uint64_t pblock, int pslice) {
    check_slice_pair(islice, pslice);
    ext_blkmap_replace_pblock(ext_blkmaps_at(blkmaps, islice), pblock, pslice);
}

void ext_blkmap_set_bits(blkmap_t *map, uint32_t sbit, uint32_t bcnt) {
    update_bits(map, sbit, bcnt, true);
}
void ext_blkmap_clr_bits(blkmap_t *map, uint32_t sbit, uint32_t bcnt) {
    update_bits(map, sbit, bcnt, false);
}
void ext_blkmaps_set_bits(blkmap_t *blkmaps, int islice, uint32_t sbit, uint32_t bcnt) {
    update_bits(ext_blkmaps_at(blkmaps, islice), sbit, bcnt, true);
}
void ext_blkmaps_clr_bits(blkmap_t *blkmaps, int islice, uint32_t sbit, uint32_t bcnt) {
    update_bits(ext_blkmaps_at(blkmaps, islice), sbit, bcnt, false);
}
int ext_blkmap_is_bits_set(const blkmap_t *map, uint32_t sbit, uint32_t bcnt) {
    return bits_all(map, sbit, bcnt, true);
}
int ext_blkmap_is_bits_clr(const blkmap_t *map, uint32_t sbit, uint32_t bcnt) {
    return bits_all(map, sbit, bcnt, false);
}
int ext_blkmaps_is_bits_set(blkmap_t *blkmaps, int islice, uint32_t sbit, uint32_t bcnt) {
    return bits_all(ext_blkmaps_at(blkmaps, islice), sbit, bcnt, true);
}
int ext_blkmaps_is_bits_clr(blkmap_t *blkmaps, int islice, uint32_t sbit, uint32_t bcnt) {
    return bits_all(ext_blkmaps_at(blkmaps, islice), sbit, bcnt, false);
}
int ext_blkmaps_all_bits_clr(blkmap_t *blkmaps, int islice) {
    blkmap_t *map = ext_blkmaps_at(blkmaps, islice);
    return bits_all(map, 0, bitmap_bits(map_type(map)), false);
}

// ---- request batching -------------------------------------------------------------------

TAV_COROUTINE_FN void ext_page_batch_run(ext_page_t *page, req_t *req, batch_process_fn batch_process,
                                         void *data) {
    batch_request_run(&page->runner, req, batch_process, data);
}

ext_page_t *ext_page_from_batch(batch_t *runner) {
    return reinterpret_cast<ext_page_t *>(reinterpret_cast<char *>(runner) - offsetof(ext_page_t, runner));
}
