// The inode table, inode references, write-back, destruction and preload.

// Programming errors (list membership, reference counts) abort in every
// build type.
#include <assert.h>

#include "itable.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <uuid/uuid.h>
#include <xxhash.h>

#include <algorithm>

#include "ioengine.h"
#include "clock.h"
#include "bitarray.h"
#include "logger.h"
#include "memory.h"

namespace {

uint64_t now_ns() {
    return tav_realtime_ns();
}

uint64_t mono_ms() {
    return tav_monotonic_ns() / 1000000ull;
}

inline tav_inode_table *table_of(tav_inode_info *inode) {
    return inode->itable;
}

inline tav_inode_info *inode_of_entry(list_head *e) {
    return list_entry(e, tav_inode_info, entry);
}

inline tav_inode_info *inode_of_cache(ext_cache_t *cache) {
    return reinterpret_cast<tav_inode_info *>(reinterpret_cast<char *>(cache) -
                                              offsetof(tav_inode_info, extent_cache));
}

inline bool is_compressible(const tav_inode_info *inode) {
    return inode->ondisk.i_type & TAV_FILE_TYPE_COMPRESSIBLE;
}

inline list_head *bucket_of(tav_inode_table *itable, const unsigned char *gfid) {
    return &itable->hash_table[tav_gfid_hash(gfid) % INODE_HASHTABLE_LEN];
}

/* Runs timer work with the table's charge record (the space-accounting hooks
 * need one) and under the host's timer argument, and puts the coroutine's
 * own back after. */
class TimerWorkScope {
public:
    explicit TimerWorkScope(tav_inode_table *itable) : co_(coroutine_self()) {
        prev_arg_ = coroutine_get_argument(co_);
        prev_charge_ = coroutine_charge();
        if (itable->host.timer_arg != nullptr)
            coroutine_set_argument(co_, itable->host.timer_arg);
        coroutine_set_charge(co_, &itable->timer_charge);
    }
    ~TimerWorkScope() {
        coroutine_set_argument(co_, prev_arg_);
        coroutine_set_charge(co_, prev_charge_);
    }
    TimerWorkScope(const TimerWorkScope &) = delete;
    TimerWorkScope &operator=(const TimerWorkScope &) = delete;

private:
    Coroutine *co_;
    void *prev_arg_;
    tav_charge *prev_charge_;
};

/* A reference for walkers that yield: an inode waiting on the unlink list has
 * no reference, so it is taken off the list (the unlink timer cannot destroy
 * it meanwhile) and put back by release_walked. */
bool grab_walked(tav_inode_info *inode) {
    if (inode->ref > 0) {
        inode->ref++;
        return false;
    }
    tav_itable_delete_unlink(table_of(inode), inode);
    inode->ref = 1;
    return true;
}

void release_walked(tav_inode_info *inode, bool from_unlink) {
    if (from_unlink && inode->ref == 1) {
        inode->ref = 0;
        tav_itable_insert_unlink(table_of(inode), inode);
        return;
    }
    tav_inode_unref(inode, __func__);
}

/* Collects every inode of the hash table, the unlink list and the vacant
 * list, each with a reference; null with n 0 when there is none. */
struct Walked {
    tav_inode_info *inode;
    bool from_unlink;
};

Walked *collect_all(tav_inode_table *itable, size_t *n, int *err) {
    size_t total = itable->inode_count + itable->vacant_inode_count;
    list_head *pos;
    list_for_each(pos, &itable->unlink_list) total++;
    *n = 0;
    *err = 0;
    if (total == 0)
        return nullptr;
    Walked *w = static_cast<Walked *>(tav_malloc(total * sizeof(*w), TAV_MEM_OTHER));
    if (!w) {
        *err = -ENOMEM;
        return nullptr;
    }
    size_t k = 0;
    auto add = [&](list_head *head) {
        list_head *p;
        list_for_each(p, head) {
            assert(k < total);
            w[k++].inode = inode_of_entry(p);
        }
    };
    for (int b = 0; b < INODE_HASHTABLE_LEN; b++)
        add(&itable->hash_table[b]);
    add(&itable->unlink_list);
    add(&itable->vacant_inode_list);
    // Take the references only after the walk: grabbing moves unlink-list
    // inodes off their list.
    for (size_t i = 0; i < k; i++)
        w[i].from_unlink = grab_walked(w[i].inode);
    *n = k;
    return w;
}

/* Read and write twice, so that both copies hold the current record. */
TAV_COROUTINE_FN int flush_both_copies(tav_inode_info *inode) {
    int ret = 0;
    for (int pass = 0; pass < 2 && ret == 0; pass++) {
        ret = tav_inode_read(inode);
        if (ret == 0)
            ret = tav_inode_write(inode);
    }
    char text[37];
    uuid_unparse(inode->ondisk.i_uuid, text);
    log_info("flush inode <gfid:%s,ino:%lu> ret:%d", text, (unsigned long)inode->ondisk.i_no, ret);
    return ret;
}

/* Slices of the file in `pblock` that the maps of this page record as
 * mapped. */
int slices_in_page(blkmap_t *map) {
    ext_page_t *page = map->page;
    int n = 0;
    for (uint32_t i = 0; i < page->count; i++) {
        blkmap_t *e = ext_page_blkmap_get_index(page, i);
        n += e->state == TAV_BLKMAP_STATE_MAPPED && e->pblock == map->pblock;
    }
    return n;
}

tav_charge *running_charge() {
    tav_charge *charge = coroutine_charge();
    assert(charge != nullptr);
    return charge;
}

void block_map_hook(ext_cache_t *cache, blkmap_t *map) {
    tav_inode_info *inode = inode_of_cache(cache);
    tav_disk_inode *d = &inode->ondisk;
    tav_charge *charge = running_charge();
    if (!is_compressible(inode)) {
        d->i_blocks += 1;
        d->i_slices += TAV_SLICES_PER_BLOCK;
        charge->blocks += 1;
    } else {
        d->i_slices += 1;
        // The entry is already mapped: one mapped slice in its block means
        // the block is new to the file.
        if (slices_in_page(map) == 1) {
            d->i_blocks += 1;
            charge->blocks += 1;
        }
    }
    tav_inode_mark_dirty(inode);
}

void block_unmap_hook(ext_cache_t *cache, blkmap_t *map) {
    tav_inode_info *inode = inode_of_cache(cache);
    tav_disk_inode *d = &inode->ondisk;
    if (!is_compressible(inode)) {
        if (d->i_blocks > 0)
            d->i_blocks -= 1;
        if (d->i_slices >= TAV_SLICES_PER_BLOCK)
            d->i_slices -= TAV_SLICES_PER_BLOCK;
    } else {
        if (map->pblock == d->i_cur_pblk)
            d->i_cur_pblk = 0;
        // The entry is still mapped: it is the block's last slice of the
        // file when it is the only one.
        if (slices_in_page(map) == 1 && d->i_blocks > 0)
            d->i_blocks -= 1;
        if (d->i_slices > 0)
            d->i_slices -= 1;
    }
    tav_inode_mark_dirty(inode);
}

TAV_COROUTINE_FN int get_extent_blkno(ext_cache_t *cache, uint32_t extent_no, uint64_t *pblk) {
    tav_inode_info *inode = inode_of_cache(cache);
    assert(extent_no < TAV_EXTENT_BLOCKS_PER_FILE);
    if (inode->extents[extent_no] == 0) {
        int ret = tav_inode_read(inode);
        if (ret < 0) {
            log_error("read inode failed");
            return -EIO;
        }
        // A block number read from the device must name a block of the data
        // area; anything else (the superblock, the inode table, the zone
        // map, beyond the device) would be read and written as extent pages.
        uint64_t blk = inode->ondisk.i_extents[extent_no];
        const tav_sb_ondisk *dsb = &table_of(inode)->host.sb->tav_disk_sb;
        if (blk != 0 && (blk < dsb->s_first_data_block || blk >= dsb->s_blocks_count)) {
            log_error("inode:%lu extent block %u is %lu, outside the data area [%lu, %lu)",
                      (unsigned long)inode->ondisk.i_no, extent_no, (unsigned long)blk,
                      (unsigned long)dsb->s_first_data_block, (unsigned long)dsb->s_blocks_count);
            return -EIO;
        }
        inode->extents[extent_no] = blk;
    }
    *pblk = inode->extents[extent_no];
    return 0;
}

ext_type_t get_extent_type(ext_cache_t *cache) {
    return tav_inode_blkmap_type(&inode_of_cache(cache)->ondisk);
}

/* True when the zone map has `pblock` in use as a whole block, so that it
 * can be freed; a block number read from an inode is not trusted blindly. */
TAV_COROUTINE_FN bool block_in_use(zmap_t *zmap, uint64_t pblock) {
    zmap_page_t *page = nullptr;
    if (zmap_page_from_pblock(zmap, pblock, &page) < 0)
        return false;
    int used = zmap_page_test_pblock(page, pblock, -1);
    zmap_page_put(page);
    return used == 1;
}

void send_notify(tav_inode_table *itable, const unsigned char *gfid, int64_t size, uint32_t type) {
    if (!itable->host.notify) {
        log_debug("notify fd = %d, donot notify", -1);
        return;
    }
    itable->host.notify(itable->host.fs, gfid, size, type);
}

} // namespace

const tav_extent_fops tav_inode_extent_fops = {get_extent_blkno, get_extent_type, block_map_hook,
                                               block_unmap_hook};

// ---- table ---------------------------------------------------------------------------

void tav_itable_init(tav_inode_table *itable, const tav_itable_host *host) {
    assert(itable->init_flags == 0);
    for (auto &b : itable->hash_table)
        INIT_LIST_HEAD(&b);
    INIT_LIST_HEAD(&itable->unlink_list);
    INIT_LIST_HEAD(&itable->dirty_list);
    INIT_LIST_HEAD(&itable->compress_list);
    INIT_LIST_HEAD(&itable->vacant_inode_list);
    itable->inode_count = itable->vacant_inode_count = itable->error_inode_count = 0;
    itable->host = *host;
    itable->imap = nullptr;
    itable->imap_bits = 0;
    itable->timer_charge.blocks = 0;
    itable->stopping = 0;
    co_mutex_init(&itable->background);
    itable->init_flags = TAV_ITABLE_INITED;
}

void tav_itable_fini(tav_inode_table *itable) {
    assert(itable->init_flags == TAV_ITABLE_INITED);
    assert(list_empty(&itable->vacant_inode_list));
    for (auto &bucket : itable->hash_table) {
        list_head *pos, *n;
        list_for_each_safe(pos, n, &bucket) {
            tav_inode_info *inode = inode_of_entry(pos);
            assert(inode->ondisk.i_state == TAV_I_NORMAL || inode->ondisk.i_state == TAV_I_ERROR);
            inode->ref++;
            if (!list_empty(&inode->compress_entry)) {
                list_del_init(&inode->compress_entry);
                inode->ref--;
            }
            if (inode->fd_cnt == 0) {
                __tav_inode_unlink(inode);
                assert(inode->ref == 1);
                inode->ref = 0;
                tav_inode_free(inode);
            } else {
                tav_inode_unref(inode, __func__);
            }
        }
    }
    while (tav_inode_info *inode = tav_inode_get_unlink(itable))
        tav_inode_free(inode);
    itable->init_flags = 0;
}

uint32_t tav_gfid_hash(const unsigned char *gfid) {
    return XXH32(gfid, 16, 0);
}

void tav_itable_insert_htable(tav_inode_table *itable, tav_inode_info *inode) {
    assert(list_empty(&inode->entry));
    list_add(&inode->entry, bucket_of(itable, inode->ondisk.i_uuid));
}

void tav_itable_delele_htable(tav_inode_table *, tav_inode_info *inode) {
    list_del_init(&inode->entry);
}

void tav_itable_insert_unlink(tav_inode_table *itable, tav_inode_info *inode) {
    assert(list_empty(&inode->entry) && !inode->linked && inode->ref == 0);
    list_add(&inode->entry, &itable->unlink_list);
}

void tav_itable_delete_unlink(tav_inode_table *, tav_inode_info *inode) {
    list_del_init(&inode->entry);
}

void tav_itable_insert_vacant(tav_inode_table *itable, tav_inode_info *inode) {
    assert(list_empty(&inode->entry) && !inode->linked && inode->ref > 0);
    list_add(&inode->entry, &itable->vacant_inode_list);
    itable->vacant_inode_count++;
}

void tav_itable_delete_vacant(tav_inode_table *itable, tav_inode_info *inode) {
    assert(itable->vacant_inode_count > 0);
    list_del_init(&inode->entry);
    itable->vacant_inode_count--;
}

void tav_itable_insert_dirty(tav_inode_table *itable, tav_inode_info *inode) {
    if (list_empty(&inode->dirty_entry))
        list_add_tail(&inode->dirty_entry, &itable->dirty_list);
}

void tav_itable_delete_dirty(tav_inode_table *, tav_inode_info *inode) {
    list_del_init(&inode->dirty_entry);
}

void tav_inode_link(tav_inode_info *inode) {
    tav_inode_table *itable = table_of(inode);
    assert(!inode->linked);
    tav_inode_ref(inode, __func__);
    tav_itable_insert_htable(itable, inode);
    itable->inode_count++;
    inode->linked = 1;
}

static void unhash(tav_inode_info *inode) {
    tav_inode_table *itable = table_of(inode);
    assert(inode->linked);
    tav_itable_delele_htable(itable, inode);
    assert(itable->inode_count > 0);
    itable->inode_count--;
    inode->linked = 0;
}

void __tav_inode_unlink(tav_inode_info *inode) {
    unhash(inode);
    tav_inode_unref(inode, __func__);
}

void tav_inode_unlink(tav_inode_info *inode) {
    unhash(inode);
    if (inode->ref > 1) {
        inode->ref--;
        tav_itable_insert_vacant(table_of(inode), inode);
        return;
    }
    tav_inode_unref(inode, __func__);
}

tav_inode_info *tav_inode_find_get(tav_inode_table *itable, const unsigned char *gfid,
                                   int ignore_initializing) {
    list_head *pos;
    list_for_each(pos, bucket_of(itable, gfid)) {
        tav_inode_info *inode = inode_of_entry(pos);
        if (memcmp(inode->ondisk.i_uuid, gfid, 16) != 0)
            continue;
        if (!ignore_initializing && inode->ondisk.i_state == TAV_I_INIT)
            continue;
        return tav_inode_ref(inode, __func__);
    }
    return nullptr;
}

TAV_COROUTINE_FN tav_inode_info *tav_inode_link_ex(tav_inode_table *itable, tav_inode_info *curr) {
    tav_inode_info *orig = tav_inode_find_get(itable, curr->ondisk.i_uuid, 0);
    if (!orig) {
        tav_inode_link(curr);
        return curr;
    }
    log_warn("reset inode orig_inode:(%p,%lu,%lu) curr_inode:(%p,%lu,%lu)", (void *)orig,
             (unsigned long)orig->ondisk.i_no, (unsigned long)orig->ondisk.i_state, (void *)curr,
             (unsigned long)curr->ondisk.i_no, (unsigned long)curr->ondisk.i_state);
    uint64_t os = orig->ondisk.i_state, cs = curr->ondisk.i_state;
    bool orig_sound = os == TAV_I_NORMAL || os == TAV_I_INIT;
    bool curr_sound = cs == TAV_I_NORMAL || cs == TAV_I_INIT;
    if (orig_sound || !curr_sound) {
        tav_inode_reset(itable, curr);
        return orig;
    }
    __tav_inode_unlink(orig);
    tav_inode_link(curr);
    tav_inode_reset(itable, orig);
    tav_inode_unref(orig, __func__);
    return curr;
}

tav_inode_info *tav_inode_get_unlink(tav_inode_table *itable) {
    if (list_empty(&itable->unlink_list))
        return nullptr;
    tav_inode_info *inode = inode_of_entry(itable->unlink_list.next);
    tav_itable_delete_unlink(itable, inode);
    return inode;
}

static int list_foreach(list_head *head, tav_itable_fn fn, void *data) {
    list_head *pos, *n;
    list_for_each_safe(pos, n, head) {
        int r = fn(inode_of_entry(pos), data);
        if (r < 0)
            return r;
    }
    return 0;
}

int tav_itable_hash_foreach(tav_inode_table *itable, tav_itable_fn fn, void *data) {
    for (auto &bucket : itable->hash_table) {
        int r = list_foreach(&bucket, fn, data);
        if (r < 0)
            return r;
    }
    return 0;
}

int tav_itable_unlink_foreach(tav_inode_table *itable, tav_itable_fn fn, void *data) {
    return list_foreach(&itable->unlink_list, fn, data);
}

int tav_itable_vacant_foreach(tav_inode_table *itable, tav_itable_fn fn, void *data) {
    return list_foreach(&itable->vacant_inode_list, fn, data);
}

int tav_itable_foreach(tav_inode_table *itable, tav_itable_fn fn, void *data) {
    int r = tav_itable_hash_foreach(itable, fn, data);
    if (r >= 0)
        r = tav_itable_unlink_foreach(itable, fn, data);
    if (r >= 0)
        r = tav_itable_vacant_foreach(itable, fn, data);
    return r;
}

int tav_itable_badinode_foreach(tav_inode_table *itable, tav_itable_fn fn, void *data) {
    struct Ctx {
        tav_itable_fn fn;
        void *data;
    } ctx = {fn, data};
    return tav_itable_hash_foreach(
        itable,
        [](tav_inode_info *inode, void *p) {
            Ctx *c = static_cast<Ctx *>(p);
            return inode->ondisk.i_state == TAV_I_ERROR ? c->fn(inode, c->data) : 0;
        },
        &ctx);
}

namespace {
bool listed(const tav_inode_info *inode, int flag) {
    uint64_t st = inode->ondisk.i_state;
    if (!inode->linked || st == TAV_I_INIT || st == TAV_I_ERROR)
        return false;
    return !(flag == TAV_LIST_UNOPEN && inode->fd_cnt > 0);
}
} // namespace

TAV_COROUTINE_FN int tav_itable_for_each_opened(tav_inode_table *itable, tav_itable_opened_fn fn, int flag,
                                                void *data) {
    // The callback may yield (it may run requests' synchronous helpers), and
    // meanwhile any inode may be unlinked or freed: the walk goes over a
    // referenced copy of the table, rechecking each inode before its call.
    size_t cap = itable->inode_count, n = 0;
    if (cap == 0)
        return 0;
    tav_inode_info **inodes =
        static_cast<tav_inode_info **>(tav_malloc(cap * sizeof(*inodes), TAV_MEM_OTHER));
    if (!inodes)
        return -ENOMEM;
    for (auto &bucket : itable->hash_table) {
        list_head *pos;
        list_for_each(pos, &bucket) {
            tav_inode_info *inode = inode_of_entry(pos);
            if (listed(inode, flag)) {
                assert(n < cap);
                inodes[n++] = tav_inode_ref(inode, __func__);
            }
        }
    }
    int r = 0;
    for (size_t i = 0; i < n; i++) {
        if (r >= 0 && listed(inodes[i], flag)) {
            // The callback gets its own copy: the inode's name is not its to change.
            unsigned char gfid[16];
            memcpy(gfid, inodes[i]->ondisk.i_uuid, sizeof(gfid));
            r = fn(itable->host.fs, gfid, data);
        }
        tav_inode_unref(inodes[i], __func__);
    }
    tav_free(inodes);
    return r < 0 ? r : 0;
}

// ---- references and dirty tracking -------------------------------------------------

tav_inode_info *tav_inode_ref(tav_inode_info *inode, const char *caller) {
    (void)caller;
    assert(inode->ref > 0);
    inode->ref++;
    return inode;
}

void tav_inode_unref(tav_inode_info *inode, const char *caller) {
    (void)caller;
    assert(inode->ref > 0);
    if (--inode->ref > 0)
        return;
    tav_inode_table *itable = table_of(inode);
    assert(!inode->linked);
    if (!list_empty(&inode->entry))
        tav_itable_delete_vacant(itable, inode);
    switch (inode->ondisk.i_state) {
    case TAV_I_FREE:
    case TAV_I_ERROR: tav_inode_free(inode); break;
    case TAV_I_UNLINK:
    case TAV_I_PBLOCK_FREE:
        tav_itable_delete_dirty(itable, inode);
        tav_itable_insert_unlink(itable, inode);
        break;
    default: break;
    }
}

void tav_inode_mark_dirty(tav_inode_info *inode) {
    inode->dirty_flag = 1;
    if (inode->ondisk.i_state != TAV_I_UNLINK)
        tav_itable_insert_dirty(table_of(inode), inode);
}

void tav_inode_mark_compress(tav_inode_info *inode) {
    assert(list_empty(&inode->compress_entry));
    tav_inode_ref(inode, __func__);
    list_add_tail(&inode->compress_entry, &table_of(inode)->compress_list);
}

// ---- write-back ----------------------------------------------------------------------

TAV_COROUTINE_FN void tav_itable_dirty_tick(tav_inode_table *itable) {
    tav_inode_info *batch[TAV_DIRTY_BATCH];
    int n = 0;
    list_head *pos;
    list_for_each(pos, &itable->dirty_list) {
        if (n == TAV_DIRTY_BATCH)
            break;
        tav_inode_info *inode = list_entry(pos, tav_inode_info, dirty_entry);
        if (!inode->dirty_hold)
            batch[n++] = tav_inode_ref(inode, __func__);
    }
    TimerWorkScope scope(itable);
    for (int i = 0; i < n; i++) {
        tav_inode_info *inode = batch[i];
        int ret = tav_inode_read(inode);
        if (ret < 0) {
            log_error("read inode:%ld failed", (long)inode->ondisk.i_no);
        } else {
            ret = tav_inode_write(inode);
            if (ret < 0)
                log_error("flush inode:%d failed", (int)inode->ondisk.i_no);
        }
        if (ret < 0 && !list_empty(&inode->dirty_entry))
            list_move_tail(&inode->dirty_entry, &itable->dirty_list);
        tav_inode_unref(inode, __func__);
    }
}

TAV_COROUTINE_FN uint64_t tav_itable_unlink_tick(tav_inode_table *itable, uint64_t now) {
    list_head keep;
    INIT_LIST_HEAD(&keep);
    uint64_t total = 0;
    // A table that is stopping takes no further inode: those left keep their
    // state on the device for the next start.
    while (tav_inode_info *inode = itable->stopping ? nullptr : tav_inode_get_unlink(itable)) {
        uint64_t dtime = inode->ondisk.i_dtime;
        if (dtime == 0 || (now > dtime && now - dtime > TAV_DESTROY_RETRY_NS)) {
            uint64_t released = 0;
            int ret;
            {
                TimerWorkScope scope(itable);
                ret = tav_inode_destroy(inode, &released);
            }
            if (ret == 0) {
                log_info("blocks_released: %ld", (long)released);
                total += released;
                tav_inode_free(inode);
                continue;
            }
            log_error("free inode:%d failed: %s", (int)inode->ondisk.i_no, strerror(-ret));
            inode->ondisk.i_dtime = now;
        }
        list_add_tail(&inode->entry, &keep);
    }
    // Every inode that arrived meanwhile was taken above, unless the table
    // is stopping: the kept ones go back behind whatever is left.
    assert(itable->stopping || list_empty(&itable->unlink_list));
    list_splice_tail_init(&keep, &itable->unlink_list);
    notify_free_blocks(itable, static_cast<int64_t>(total * 1048576ull));
    return total;
}

TAV_COROUTINE_FN int flush_zmap_and_cache(tav_inode_table *itable, tav_inode_info *inode) {
    CoMutexGuard guard(&inode->flush_lock);
    int ret = zmap_flush(itable->host.zmap, 0);
    if (ret > 0)
        log_info("flush %d zmap page to disk", ret);
    if (ret < 0)
        return -EIO;
    ext_table_t *etable = itable->host.etable;
    etable->flushing_cache++;
    ret = ext_cache_flush(&inode->extent_cache);
    if (ret > 0)
        log_info("flush %d extent page to disk", ret);
    assert(etable->flushing_cache > 0);
    etable->flushing_cache--;
    if (ret < 0)
        return -EIO;
    ext_table_prune(etable);
    return 0;
}

TAV_COROUTINE_FN int tav_inode_sync(tav_inode_info *inode, int flags) {
    tav_inode_table *itable = table_of(inode);
    int ret = 0;
    if (!list_empty(&inode->dirty_entry)) {
        if (flags == TAV_XATTR_SYNC_RESUME) {
            inode->dirty_hold = 0;
            tav_inode_mark_dirty(inode);
        } else {
            // The periodic write-back stays off this inode while it is
            // written here.
            if (itable->host.writeback_pause)
                itable->host.writeback_pause(itable->host.fs, 1);
            int r = tav_inode_read(inode);
            if (r == 0)
                r = tav_inode_write(inode);
            if (itable->host.writeback_pause)
                itable->host.writeback_pause(itable->host.fs, 0);
            if (r < 0)
                ret = -EIO;
        }
    }
    int r = flush_zmap_and_cache(itable, inode);
    if (r < 0)
        ret = -EIO;
    else
        inode->cacheing = 0;
    if (ret < 0)
        log_error("fsync: %d(%s)", ret, strerror(-ret));
    else
        log_trace("fsync: %d(%s)", ret, strerror(-ret));
    return ret;
}

namespace {
// Runs `fn` on every inode of the hash table, the unlink list and the vacant
// list, each held by a reference while `fn` may yield: -ENOMEM, or minus the
// number of inodes for which `fn` failed.
TAV_COROUTINE_FN int walk_all(tav_inode_table *itable,
                              TAV_COROUTINE_FN int (*fn)(tav_inode_table *, tav_inode_info *)) {
    size_t n;
    int err;
    Walked *w = collect_all(itable, &n, &err);
    if (err < 0)
        return err;
    int failed = 0;
    for (size_t i = 0; i < n; i++) {
        if (fn(itable, w[i].inode) < 0)
            failed++;
        release_walked(w[i].inode, w[i].from_unlink);
    }
    tav_free(w);
    return -failed;
}
} // namespace

TAV_COROUTINE_FN int tav_itable_flush(tav_inode_table *itable) {
    return walk_all(itable,
                    [](tav_inode_table *, tav_inode_info *inode) { return flush_both_copies(inode); });
}

TAV_COROUTINE_FN int tav_itable_flush_caches(tav_inode_table *itable) {
    // Inodes waiting for destruction count too: blocks their unwritten
    // extent pages map would otherwise never be found by the destroy.
    return walk_all(itable, [](tav_inode_table *t, tav_inode_info *inode) {
        int ret = flush_zmap_and_cache(t, inode);
        if (ret < 0)
            log_error("flush of inode:%lu at stop failed", (unsigned long)inode->ondisk.i_no);
        return ret;
    });
}

TAV_COROUTINE_FN void tav_itable_stop_background(tav_inode_table *itable) {
    itable->stopping = 1;
    // A tick that is working holds the mutex until it has finished the
    // inode in hand.
    CoMutexGuard guard(&itable->background);
}

TAV_COROUTINE_FN int tav_itable_flush_by_ino(tav_inode_table *itable, uint64_t ino) {
    struct Find {
        uint64_t ino;
        tav_inode_info *found;
    } f = {ino, nullptr};
    tav_itable_foreach(
        itable,
        [](tav_inode_info *inode, void *p) {
            Find *fp = static_cast<Find *>(p);
            if (inode->ondisk.i_no != fp->ino)
                return 0;
            fp->found = inode;
            return -1;
        },
        &f);
    if (!f.found) {
        log_error("inode ino:%lu not found", (unsigned long)ino);
        return -ENOENT;
    }
    bool from_unlink = grab_walked(f.found);
    int ret = flush_both_copies(f.found);
    release_walked(f.found, from_unlink);
    return ret < 0 ? -EIO : 0;
}

// ---- start-up guard of the unlink list ----------------------------------------------

void tav_itable_guard_unlinked(tav_inode_table *itable) {
    struct Named {
        uint64_t blk, ino;
    };
    size_t total = 0;
    auto count = [&](list_head *head) {
        list_head *p;
        list_for_each(p, head) {
            const tav_disk_inode *d = &inode_of_entry(p)->ondisk;
            for (int j = 0; j < TAV_EXTENT_BLOCKS_PER_FILE; j++)
                total += d->i_extents[j] != 0;
        }
    };
    bool queued = !list_empty(&itable->unlink_list);
    if (!queued)
        return;
    for (auto &bucket : itable->hash_table)
        count(&bucket);
    count(&itable->unlink_list);
    Named *named = static_cast<Named *>(tav_malloc(total * sizeof(Named), TAV_MEM_OTHER));
    if (!named) {
        // Without the check no queued inode may release anything: they are
        // dropped from memory and stay queued on the device for a later
        // start.
        log_error("no memory to check the extent blocks of unlinked inodes: %lu bytes",
                  (unsigned long)(total * sizeof(Named)));
        while (tav_inode_info *inode = tav_inode_get_unlink(itable))
            tav_inode_free(inode);
        return;
    }
    size_t k = 0;
    auto add = [&](list_head *head) {
        list_head *p;
        list_for_each(p, head) {
            const tav_disk_inode *d = &inode_of_entry(p)->ondisk;
            for (int j = 0; j < TAV_EXTENT_BLOCKS_PER_FILE; j++)
                if (d->i_extents[j] != 0)
                    named[k++] = {d->i_extents[j], d->i_no};
        }
    };
    for (auto &bucket : itable->hash_table)
        add(&bucket);
    add(&itable->unlink_list);
    std::sort(named, named + k, [](const Named &a, const Named &b) { return a.blk < b.blk; });

    list_head *p;
    list_for_each(p, &itable->unlink_list) {
        tav_inode_info *inode = inode_of_entry(p);
        for (int j = 0; j < TAV_EXTENT_BLOCKS_PER_FILE; j++) {
            uint64_t blk = inode->ondisk.i_extents[j];
            if (blk == 0)
                continue;
            const Named *lo =
                std::lower_bound(named, named + k, blk, [](const Named &a, uint64_t b) { return a.blk < b; });
            for (const Named *n = lo; n < named + k && n->blk == blk; n++) {
                // The inode's own entries (one naming the block twice frees
                // it once).
                if (n->ino == inode->ondisk.i_no)
                    continue;
                log_error("extent block %lu of unlinked inode:%lu is also named by inode:%lu, not freed",
                          (unsigned long)blk, (unsigned long)inode->ondisk.i_no, (unsigned long)n->ino);
                inode->ondisk.i_extents[j] = 0;
                inode->extents[j] = 0;
                break;
            }
        }
    }
    tav_free(named);
}

// ---- destruction ----------------------------------------------------------------------

TAV_COROUTINE_FN int tav_inode_destroy(tav_inode_info *inode, uint64_t *blocks_released) {
    tav_inode_table *itable = table_of(inode);
    uint64_t start = mono_ms();
    log_info("inode destroy begin");
    int ret = tav_inode_read(inode);
    if (ret < 0) {
        log_error("read inode failed: %d", ret);
        return ret;
    }
    tav_disk_inode *d = &inode->ondisk;
    if (d->i_state != TAV_I_PBLOCK_FREE && d->i_state != TAV_I_FREE && !(d->i_type & TAV_FILE_TYPE_INLINE)) {
        if ((d->i_type & TAV_FILE_TYPE_BORROW) && d->i_legacy.lba_len > 0) {
            uint64_t bs = itable->host.sb->tav_disk_sb.s_block_size;
            uint64_t off = d->i_legacy.lba_start * bs, size = d->i_legacy.lba_len * bs;
            ret = ioengine_unmap(ioengine_get_default(), off, size);
            if (ret < 0) {
                log_error("unmap offset:%lu, size:%lu failed: %d(%s)", (unsigned long)off,
                          (unsigned long)size, ret, strerror(-ret));
                return ret;
            }
            log_info("unmap offset:%lu, size:%lu succeed", (unsigned long)off, (unsigned long)size);
        }
        ret = tav_inode_free_blocks(inode, blocks_released);
        if (ret < 0) {
            log_error("free extent failed opret:%d(%s)", ret, strerror(-ret));
            return ret;
        }
        ret = tav_inode_read(inode);
        if (ret < 0) {
            log_error("read inode failed: %d", ret);
            return ret;
        }
        d->i_state = TAV_I_PBLOCK_FREE;
        ret = tav_inode_write(inode);
        if (ret < 0) {
            log_error("set inode status TAV_I_PBLOCK_FREE failed: %d", ret);
            return ret;
        }
        for (int j = 0; j < TAV_EXTENT_BLOCKS_PER_FILE; j++) {
            uint64_t blk = d->i_extents[j];
            if (!blk)
                continue;
            int r =
                block_in_use(itable->host.zmap, blk) ? zmap_free_blocks(itable->host.zmap, blk, 1) : -EINVAL;
            if (r < 0)
                log_error("free inode extent:%ld failed: %d", (long)blk, r);
            else
                (*blocks_released)++;
        }
    }
    ret = tav_inode_read(inode);
    if (ret < 0) {
        log_error("read inode failed: %d", ret);
        return ret;
    }
    d->i_state = TAV_I_FREE;
    d->i_dtime = now_ns();
    ret = tav_inode_write(inode);
    if (ret < 0) {
        log_error("flush inode failed: %d", ret);
        return ret;
    }
    if (itable->host.put_ino)
        itable->host.put_ino(itable->host.fs, d->i_no);
    log_info("inode destroy succeed, time consumed: %lu ms", (unsigned long)(mono_ms() - start));
    return 0;
}

TAV_COROUTINE_FN int tav_inode_free_blocks(tav_inode_info *inode, uint64_t *blocks_released) {
    tav_inode_table *itable = table_of(inode);
    tav_disk_inode *d = &inode->ondisk;
    if (inode->cacheing) {
        int r = flush_zmap_and_cache(itable, inode);
        if (r < 0) {
            log_error("inode flush cache failed, return -EIO");
            return r;
        }
    }
    // The release reads the extent pages from the device: changes still
    // cached must be there first, or their blocks would be missed.
    int r = ext_cache_flush(&inode->extent_cache);
    if (r < 0) {
        log_error("inode flush cache failed, return -EIO");
        return -EIO;
    }
    ext_cache_cleanup(&inode->extent_cache);

    bool compressible = is_compressible(inode);
    bool borrow = d->i_type & TAV_FILE_TYPE_BORROW;
    size_t page_size = compressible ? 65536 : TAV_EXTENT_PAGE_SIZE;
    uint32_t ppb = static_cast<uint32_t>(TAV_BLOCK_SIZE / page_size);
    uint32_t per_page = ext_blkmaps_per_page(tav_inode_blkmap_type(d), page_size);
    pslice_t *items = static_cast<pslice_t *>(tav_malloc(per_page * sizeof(pslice_t), TAV_MEM_OTHER));
    if (!items) {
        log_error("out of memory");
        return -ENOMEM;
    }
    uint64_t released = 0;
    int ret = 0;
    for (uint32_t j = 0; j < TAV_EXTENT_BLOCKS_PER_FILE && ret == 0; j++) {
        if (!d->i_extents[j])
            continue;
        bool all_pages = true;
        for (uint32_t idx = j * ppb; idx < (j + 1) * ppb; idx++) {
            ext_page_t *page = ext_page_get_nostd(&inode->extent_cache, page_size, idx);
            if (!page) {
                int e = errno;
                log_error("can't get extent page with index %u: %d(%s), skipped", idx, -e, strerror(e));
                all_pages = false;
                continue;
            }
            uint32_t n = 0;
            for (uint32_t i = 0; i < page->count; i++) {
                blkmap_t *map = ext_page_blkmap_get_index(page, i);
                if (map->state != TAV_BLKMAP_STATE_MAPPED)
                    continue;
                uint64_t pblk = map->pblock;
                int pslice = map->pslice;
                ext_blkmap_unmap_pblock(map, pblk, pslice);
                // A borrowed block with a bad track goes back with the
                // borrowed range, not to the zone map.
                if (!compressible && borrow &&
                    ioengine_test_badtrack(ioengine_get_default(), pblk * TAV_BLOCK_SIZE, TAV_BLOCK_SIZE,
                                           nullptr, 0) > 0)
                    continue;
                items[n].pblock = pblk;
                items[n].pslice = pslice;
                n++;
            }
            if (ext_page_write(page) < 0) {
                log_error("write extent page with index %u failed", idx);
                ext_page_put(page);
                ret = -EIO;
                break;
            }
            ext_page_put(page);
            if (n == 0)
                continue;
            // Two maps naming one block or slice can only come from damage;
            // the zone map must see each of them once.
            std::sort(items, items + n, [](const pslice_t &a, const pslice_t &b) {
                return a.pblock != b.pblock ? a.pblock < b.pblock : a.pslice < b.pslice;
            });
            n = static_cast<uint32_t>(std::unique(items, items + n,
                                                  [](const pslice_t &a, const pslice_t &b) {
                                                      return a.pblock == b.pblock && a.pslice == b.pslice;
                                                  }) -
                                      items);
            int fr = zmap_batch_free_blocks(itable->host.zmap, items, n);
            if (fr < 0)
                log_error("free pblocks in extent page %d failed: %d(%s)", (int)idx, fr, strerror(-fr));
            else
                released += static_cast<uint64_t>(fr);
        }
        if (ret == -EIO)
            log_error("free inode:%ld failed opret:%d(%s)", (long)d->i_no, ret, strerror(-ret));
        if (!all_pages && ret == 0) {
            // Every page of an extent block is formatted when the block is
            // allocated: one that does not read as extent pages may be
            // another file's block now.  It is not freed, and left to the
            // consistency check.
            log_error("extent block %lu of inode:%lu does not read as extent pages, not freed",
                      (unsigned long)d->i_extents[j], (unsigned long)d->i_no);
            d->i_extents[j] = 0;
            inode->extents[j] = 0;
        }
    }
    tav_free(items);
    log_info("blocks released: %u, ret: %d, ext_page_size: %lu", (unsigned)released, ret,
             (unsigned long)page_size);
    *blocks_released += released;
    return ret;
}

// ---- start-up preload -------------------------------------------------------------------

TAV_COROUTINE_FN void tav_itable_preload_extent(tav_inode_table *itable, ext_table_t *etable) {
    uint64_t start = mono_ms();
    uint64_t now = now_ns();
    size_t cap = itable->inode_count, n = 0;
    tav_inode_info **inodes = nullptr;
    if (cap > 0) {
        inodes = static_cast<tav_inode_info **>(tav_malloc(cap * sizeof(*inodes), TAV_MEM_OTHER));
        if (!inodes) {
            log_error("no memory for inode_array, abort");
            return;
        }
    }
    for (auto &bucket : itable->hash_table) {
        list_head *pos;
        list_for_each(pos, &bucket) {
            tav_inode_info *inode = inode_of_entry(pos);
            const tav_disk_inode *d = &inode->ondisk;
            if (d->i_state != TAV_I_NORMAL || (d->i_type & TAV_FILE_TYPE_INLINE) ||
                memcmp(d->i_uuid, tav_shmlog_gfid, 16) == 0)
                continue;
            uint64_t latest = std::max({d->i_atime, d->i_mtime, d->i_ctime});
            if (latest + TAV_PRELOAD_WINDOW_NS <= now)
                continue;
            assert(n < cap);
            inodes[n++] = tav_inode_ref(inode, __func__);
        }
    }
    std::sort(inodes, inodes + n, [](const tav_inode_info *a, const tav_inode_info *b) {
        return a->ondisk.i_atime > b->ondisk.i_atime;
    });
    uint64_t pages = 0;
    bool full = false;
    for (size_t i = 0; i < n && !full; i++) {
        tav_inode_info *inode = inodes[i];
        ext_cache_t *cache = &inode->extent_cache;
        uint32_t want = ext_cache_max_count(cache, inode->ondisk.i_size);
        int loaded = 0, ret = 0;
        for (uint32_t idx = 0; idx < want; idx++) {
            if (etable->count >= etable->max) {
                ret = -ENOSPC;
                break;
            }
            int a = ext_page_addressable(cache, TAV_EXTENT_PAGE_SIZE, idx);
            if (a < 0) {
                ret = a;
                break;
            }
            if (a == 0)
                continue;
            ext_page_t *page = ext_page_get(cache, idx);
            if (!page) {
                ret = -errno;
                break;
            }
            ext_page_put(page);
            loaded++;
        }
        char text[37];
        uuid_unparse(inode->ondisk.i_uuid, text);
        log_debug("preload %d/%lu extent pages of inode %s, ret:%d", loaded, (unsigned long)want, text, ret);
        pages += static_cast<uint64_t>(loaded);
        if (ret == -ENOSPC)
            full = true;
        else if (ret < 0)
            log_error("extent preload failed: %d", ret);
    }
    for (size_t i = 0; i < n; i++)
        tav_inode_unref(inodes[i], __func__);
    tav_free(inodes);
    log_info("preload %lu extent page of %lu inodes done. time consumed: %lu ms", (unsigned long)pages,
             (unsigned long)n, (unsigned long)(mono_ms() - start));
}

// ---- consistency check -------------------------------------------------------------------

namespace {

uint64_t fsck_file_count(void *owner) {
    tav_inode_table *itable = static_cast<tav_inode_table *>(owner);
    uint64_t n = itable->inode_count + itable->vacant_inode_count;
    list_head *pos;
    list_for_each(pos, &itable->unlink_list) n++;
    return n;
}

TAV_COROUTINE_FN int fsck_foreach(void *owner, tav_fsck_visit_fn visit, void *ctx) {
    size_t n;
    int ret;
    Walked *w = collect_all(static_cast<tav_inode_table *>(owner), &n, &ret);
    if (ret < 0)
        return ret;
    for (size_t i = 0; i < n; i++) {
        tav_inode_info *inode = w[i].inode;
        const uint64_t state = inode->ondisk.i_state;
        if (ret == 0 && state == TAV_I_ERROR) {
            ret = -TAV_INODE_EREAD;
        } else if (ret == 0 && state != TAV_I_FREE && state != TAV_I_PBLOCK_FREE && state != TAV_I_INIT) {
            uint64_t extents[TAV_EXTENT_BLOCKS_PER_FILE];
            memcpy(extents, inode->ondisk.i_extents, sizeof(extents));
            tav_fsck_file f = {inode->ondisk.i_uuid, inode->ondisk.i_no, extents, is_compressible(inode),
                               &inode->extent_cache};
            ret = visit(ctx, &f);
        }
        release_walked(inode, w[i].from_unlink);
    }
    tav_free(w);
    return ret;
}

} // namespace

tav_fsck_files tav_itable_fsck_files(tav_inode_table *itable) {
    return tav_fsck_files{fsck_foreach, fsck_file_count, itable};
}

// ---- notifications -----------------------------------------------------------------------

void notify_free_blocks(tav_inode_table *itable, int64_t bytes) {
    if (bytes <= 0)
        return;
    send_notify(itable, nullptr, bytes, TAV_NOTIFY_FREE_BLOCKS);
}

void notify_compress_finish(tav_inode_table *itable, tav_inode_info *inode) {
    send_notify(itable, inode->ondisk.i_uuid, 0, TAV_NOTIFY_COMPRESSED);
}

void notify_alloc_extent(tav_inode_table *itable, int64_t bytes) {
    send_notify(itable, nullptr, bytes, TAV_NOTIFY_ALLOC_EXTENT);
}

void notify_inline_transform(tav_inode_table *itable, int64_t bytes) {
    send_notify(itable, nullptr, bytes, TAV_NOTIFY_INLINE_TRANSFORM);
}
