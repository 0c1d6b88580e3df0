// The on-disk inode page, its copies, slot decoding and the start-up scan.

// Programming errors abort in every build type.
#include <assert.h>

#include "inode.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/uio.h>
#include <time.h>
#include <uuid/uuid.h>

#include "ioengine.h"
#include "itable.h"
#include "clock.h"
#include "bitarray.h"
#include "checksum.h"
#include "logger.h"
#include "memory.h"

const unsigned char tav_shmlog_gfid[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};

namespace {

uint64_t now_ns() {
    return tav_realtime_ns();
}

inline tav_inode_info *inode_of_mbuf(mbuf *mb) {
    return reinterpret_cast<tav_inode_info *>(reinterpret_cast<char *>(mb) - offsetof(tav_inode_info, mbuf));
}

inline bool is_inline(const tav_disk_inode *d) {
    return d->i_type & TAV_FILE_TYPE_INLINE;
}

inline size_t xattr_allowance(const tav_disk_inode *d) {
    return is_inline(d) ? TAV_INODE_XATTR_INLINE_MAX : TAV_INODE_XATTR_MAX;
}

/* Odd generations live in copy A, even ones in copy B. */
inline uint64_t copy_offset(uint64_t ino, uint64_t generation) {
    return tav_inode_slot_offset(ino) + ((generation & 1) ? 0 : TAV_INODE_PAGESIZE);
}

void seal_page(void *page) {
    tav_disk_inode *d = static_cast<tav_disk_inode *>(page);
    d->i_header.checksum = tav_inode_checksum(page);
}

off_t inode_get_offset(mbuf *mb, int is_write) {
    tav_inode_info *inode = inode_of_mbuf(mb);
    meta_head *h = &inode->ondisk.i_header;
    uint64_t generation;
    if (is_write) {
        // After a failed write the generation is kept: the retry goes to the
        // copy that failed, never over the last good one.
        if (inode->last_errno == 0)
            h->generation++;
        generation = h->generation;
    } else {
        // After a failed write the copy of the current generation may be torn:
        // read the other one, the last written successfully.
        generation = inode->last_errno ? h->generation + 1 : h->generation;
    }
    log_trace("%s ino:%ld, generation:%ld, last_errno:%d", is_write ? "write" : "read",
              (long)inode->ondisk.i_no, (long)h->generation, inode->last_errno);
    return static_cast<off_t>(copy_offset(inode->ondisk.i_no, generation));
}

int inode_serialize(mbuf *mb, void *buffer, size_t size) {
    tav_inode_info *inode = inode_of_mbuf(mb);
    assert(size == TAV_INODE_PAGESIZE);
    char *page = static_cast<char *>(buffer);
    memset(page, 0, size);
    memcpy(page, &inode->ondisk, sizeof(inode->ondisk));
    if (is_inline(&inode->ondisk) && inode->inline_buffer)
        memcpy(page + TAV_INODE_INLINE_OFFSET, inode->inline_buffer, TAV_INODE_INLINE_SIZE);
    size_t allowance = xattr_allowance(&inode->ondisk);
    size_t len = xdict_serialized_length(inode->xattr);
    if (len > allowance) {
        log_error("xattr too large: %u", (unsigned)len);
        return -EFBIG;
    }
    int ret = xdict_serialize(inode->xattr, page + TAV_INODE_XATTR_OFFSET, allowance);
    if (ret < 0) {
        log_error("xattr serialize failed: %d", ret);
        return ret;
    }
    seal_page(page);
    inode->ondisk.i_header.checksum = (reinterpret_cast<tav_disk_inode *>(page))->i_header.checksum;
    return 0;
}

int inode_unserialize(mbuf *mb, const void *buffer, size_t size) {
    tav_inode_info *inode = inode_of_mbuf(mb);
    assert(size == TAV_INODE_PAGESIZE);
    const char *page = static_cast<const char *>(buffer);
    if (tav_inode_is_legal(page) == 1)
        return -1;
    const tav_disk_inode *rec = reinterpret_cast<const tav_disk_inode *>(page);
    if (rec->i_state == TAV_I_ERROR) {
        log_error("tav inode can not read.i_stat:%d", (int)rec->i_state);
        return -1;
    }
    if (is_inline(rec) && !inode->inline_buffer) {
        inode->inline_buffer = tav_calloc(1, TAV_INODE_INLINE_SIZE, TAV_MEM_INODE_INLINE_BUFFER);
        if (!inode->inline_buffer) {
            log_error("alloc inline_buffer failed");
            return -ENOMEM;
        }
    }
    // Check the attributes before anything changes, so that a page whose
    // attributes cannot be decoded leaves the in-memory inode as it was.  The
    // dictionary itself is kept (callers may hold it) and refilled in place.
    size_t allowance = xattr_allowance(rec);
    xdict *probe = xdict_new();
    if (!probe)
        return -ENOMEM;
    int ret = xdict_unserialize(probe, page + TAV_INODE_XATTR_OFFSET, allowance);
    xdict_destroy(probe);
    if (ret < 0) {
        log_error("xdict_unserialize failed");
        return ret;
    }
    xdict_cleanup(inode->xattr);
    ret = xdict_unserialize(inode->xattr, page + TAV_INODE_XATTR_OFFSET, allowance);
    if (ret < 0) {
        log_error("xdict_unserialize failed");
        return ret;
    }
    memcpy(&inode->ondisk, rec, sizeof(inode->ondisk));
    if (is_inline(rec))
        memcpy(inode->inline_buffer, page + TAV_INODE_INLINE_OFFSET, TAV_INODE_INLINE_SIZE);
    if (rec->i_statex == TAV_STATEX_COMPRESSING || rec->i_statex == TAV_STATEX_COMPRESSED)
        inode->blkmap_mode = TAV_BLKMAP_MODE_COMPACT;
    return 0;
}

const mbuf_fops_t kInodeFops = {inode_get_offset, inode_serialize, inode_unserialize};

void uuid_text(const unsigned char *gfid, char *out) {
    uuid_unparse(gfid, out);
}

void fill_time(struct timespec *ts, uint64_t ns) {
    ts->tv_sec = static_cast<time_t>(ns / 1000000000ull);
    ts->tv_nsec = static_cast<long>(ns % 1000000000ull);
}

/* Drops the only reference of an inode that is on no list and frees it,
 * whatever its state. */
void drop_and_free(tav_inode_info *inode) {
    assert(inode->ref == 1 && !inode->linked);
    inode->ref = 0;
    tav_inode_free(inode);
}

} // namespace

// ---- the page ----------------------------------------------------------------------

uint64_t tav_inode_checksum(const void *page) {
    return xxhash_64(static_cast<const char *>(page) + 8, TAV_INODE_PAGESIZE - 8);
}

int tav_inode_is_legal(const void *page, off_t offset) {
    const tav_disk_inode *d = static_cast<const tav_disk_inode *>(page);
    const meta_head *h = &d->i_header;
    if (memcmp(h->magic, TAV_INODE_MAGIC, 8) != 0) {
        char magic[9];
        for (int i = 0; i < 8; i++)
            magic[i] = (h->magic[i] >= ' ' && h->magic[i] <= '~') ? h->magic[i] : '.';
        magic[8] = '\0';
        log_error("tav_inode: invalid magic:  %s ", magic);
        return 1;
    }
    if (h->checksum != tav_inode_checksum(page)) {
        log_error("tav_inode: checksum failed , offset %ld:", (long)offset);
        return 1;
    }
    if (h->version != TAV_INODE_VERSION) {
        log_error("tav_inode: invalid version: %lu", (unsigned long)h->version);
        return 1;
    }
    if (h->length != TAV_INODE_LENGTH) {
        log_error("tav_inode: invalid length: %lu", (unsigned long)h->length);
        return 1;
    }
    if (h->type == TAV_META_NULL) {
        log_warn("tav_inode: invalid type: %lu", (unsigned long)h->type);
        return 2;
    }
    if (h->type != TAV_META_INODE) {
        log_error("tav_inode: invalid type: %lu", (unsigned long)h->type);
        return 1;
    }
    // A state outside the table cannot be acted on: treat it like ERROR.
    if (d->i_state == TAV_I_ERROR || d->i_state > TAV_I_PBLOCK_FREE) {
        log_error("tav_inode: state is unnormal: %lu:", (unsigned long)d->i_state);
        return 1;
    }
    if (d->i_state == TAV_I_INIT)
        return 2;
    return 0;
}

tav_bak_stat_type tav_inode_check(int ret_a, int ret_b) {
    assert(ret_a >= 0 && ret_a <= 2 && ret_b >= 0 && ret_b <= 2);
    static const tav_bak_stat_type table[3][3] = {
        /* B: legal   illegal   unused */
        {AB_OK, AB_ERROR, A_OK},        /* A legal */
        {AB_ERROR, AB_ERROR, AB_ERROR}, /* A illegal */
        {B_OK, AB_ERROR, AB_UNUSED},    /* A unused */
    };
    return table[ret_a][ret_b];
}

uint64_t tav_inode_slot_offset(uint64_t ino) {
    assert(ino < TAV_INODE_MAX_SLOTS);
    return TAV_INODE_AREA_OFFSET + ino * TAV_INODE_SLOT_SIZE;
}

uint64_t tav_inode_offset_to_ino(uint64_t offset) {
    assert(offset >= TAV_INODE_AREA_OFFSET && offset < TAV_FIRST_BITMAP_BLOCK * 1048576ull);
    return ((offset / TAV_INODE_PAGESIZE) - 256) / 2;
}

void tav_inode_fill_default(tav_disk_inode *d, const unsigned char *gfid) {
    memset(d, 0, sizeof(*d));
    memcpy(d->i_header.magic, TAV_INODE_MAGIC, 8);
    d->i_header.version = TAV_INODE_VERSION;
    d->i_header.generation = 0;
    d->i_header.length = TAV_INODE_LENGTH;
    d->i_header.type = TAV_META_INODE;
    d->i_state = TAV_I_INIT;
    if (gfid)
        memcpy(d->i_uuid, gfid, 16);
    uint64_t now = now_ns();
    d->i_atime = d->i_ctime = d->i_mtime = now;
}

void tav_inode_default_page(void *page, const unsigned char *gfid) {
    memset(page, 0, TAV_INODE_PAGESIZE);
    tav_inode_fill_default(static_cast<tav_disk_inode *>(page), gfid);
    // An empty attribute set serialises to 00 00: the zeroed page holds it.
    seal_page(page);
}

ext_type_t tav_inode_blkmap_type(const tav_disk_inode *d) {
    if (!(d->i_type & TAV_FILE_TYPE_COMPRESSIBLE))
        return TAV_BLKMAP_TYPE_BLOCK;
    return d->i_blkmap_type == 0 ? TAV_BLKMAP_TYPE_SLICE : TAV_BLKMAP_TYPE_SLICE_V2;
}

// ---- the in-memory inode -------------------------------------------------------------

tav_inode_info *tav_inode_create(tav_inode_table *itable, const unsigned char *gfid, const void *srcbuf,
                                 const xdict *xattr) {
    char text[37];
    uuid_text(gfid, text);
    tav_inode_info *inode = static_cast<tav_inode_info *>(tav_calloc(1, sizeof(*inode), TAV_MEM_INODE));
    if (!inode) {
        log_error("tav inode:%s init failed", text);
        errno = ENOMEM;
        return nullptr;
    }
    inode->xattr = xattr ? xdict_dup(xattr) : xdict_new();
    if (!inode->xattr) {
        log_error("tav inode:%s init failed", text);
        tav_free(inode);
        errno = ENOMEM;
        return nullptr;
    }
    INIT_LIST_HEAD(&inode->entry);
    INIT_LIST_HEAD(&inode->dirty_entry);
    INIT_LIST_HEAD(&inode->compress_entry);
    INIT_LIST_HEAD(&inode->fd_list);
    inode->itable = itable;
    inode->tav = itable->host.fs;
    inode->ref = 1;
    co_mutex_init(&inode->lock);
    co_flock_init(&inode->flock);
    co_mutex_init(&inode->flush_lock);
    ext_cache_init(&inode->extent_cache, itable->host.etable);
    int ret;
    if (srcbuf) {
        ret = mbuf_init(&inode->mbuf, srcbuf, TAV_INODE_PAGESIZE, &kInodeFops);
    } else {
        tav_inode_fill_default(&inode->ondisk, gfid);
        ret = mbuf_init(&inode->mbuf, nullptr, TAV_INODE_PAGESIZE, &kInodeFops);
    }
    if (ret < 0) {
        log_error("tav inode:%s init failed", text);
        xdict_destroy(inode->xattr);
        tav_free(inode->inline_buffer);
        tav_free(inode);
        // A page that cannot be decoded is damage, not a lack of memory.
        errno = ret == -ENOMEM ? ENOMEM : EINVAL;
        return nullptr;
    }
    return inode;
}

void tav_inode_bind(tav_inode_info *inode, uint64_t ino) {
    inode->ondisk.i_no = ino;
    inode->ondisk.i_ntime = now_ns();
}

void tav_inode_free(tav_inode_info *inode) {
    assert(inode->ref == 0);
    assert(!inode->linked && list_empty(&inode->entry));
    assert(list_empty(&inode->compress_entry));
    // The dirty list holds no reference: an inode freed while queued must not
    // stay reachable from it.
    list_del_init(&inode->dirty_entry);
    ext_cache_cleanup(&inode->extent_cache);
    xdict_destroy(inode->xattr);
    tav_free(inode->inline_buffer);
    mbuf_fini(&inode->mbuf);
    tav_free(inode);
}

TAV_COROUTINE_FN int tav_inode_read(tav_inode_info *inode) {
    if (inode->ondisk.i_state == TAV_I_ERROR)
        return -TAV_INODE_EREAD;
    int ret = mbuf_get(&inode->mbuf);
    if (ret == 0)
        inode->last_errno = 0;
    return ret;
}

TAV_COROUTINE_FN int tav_inode_write(tav_inode_info *inode) {
    int had_flag = inode->dirty_flag, had_hold = inode->dirty_hold;
    inode->dirty_flag = 0;
    inode->dirty_hold = 0;
    int ret = mbuf_set(&inode->mbuf);
    if (ret == 0) {
        inode->last_errno = 0;
        // The write may have yielded: leave the inode queued if it was
        // dirtied again meanwhile.
        if (!inode->dirty_flag)
            list_del_init(&inode->dirty_entry);
        return 0;
    }
    if (had_flag)
        inode->dirty_flag = 1;
    if (had_hold)
        inode->dirty_hold = 1;
    inode->last_errno = ret;
    return ret;
}

TAV_COROUTINE_FN int tav_inode_fresh_write(tav_inode_info *inode) {
    void *buf = tav_iobuf_get(TAV_INODE_PAGESIZE, TAV_MEM_IO_ALIGNED_BUFFER);
    if (!buf) {
        log_error("tav_iobuf_get: %s", strerror(ENOMEM));
        return -ENOMEM;
    }
    tav_inode_default_page(buf, nullptr);
    struct iovec iov[2] = {{buf, TAV_INODE_PAGESIZE}, {buf, TAV_INODE_PAGESIZE}};
    int ret = ioengine_co_pwritevn(ioengine_get_default(), iov, 2,
                                   static_cast<off_t>(tav_inode_slot_offset(inode->ondisk.i_no)));
    tav_iobuf_put(buf);
    if (ret < 0)
        return ret;
    inode->ondisk.i_state = TAV_I_NORMAL;
    ret = mbuf_set_unsafe(&inode->mbuf);
    inode->last_errno = ret;
    return ret;
}

TAV_COROUTINE_FN int tav_inode_format(uint64_t ibegin, uint64_t count) {
    void *buf = tav_iobuf_get(TAV_INODE_PAGESIZE, TAV_MEM_IO_ALIGNED_BUFFER);
    if (!buf) {
        log_error("tav_iobuf_get: %s", strerror(ENOMEM));
        return -ENOMEM;
    }
    tav_inode_default_page(buf, nullptr);
    constexpr int kPages = TAV_INODE_SLOTS_PER_BLOCK * 2;
    struct iovec iov[kPages];
    int ret = 0;
    for (uint64_t i = 0; i < count && ret == 0; i++) {
        for (auto &v : iov) {
            v.iov_base = buf;
            v.iov_len = TAV_INODE_PAGESIZE;
        }
        off_t offset = static_cast<off_t>((ibegin + i) * 1048576ull);
        ret = ioengine_co_pwritevn(ioengine_get_default(), iov, kPages, offset);
        if (ret < 0)
            log_error("format inode block %lu failed: %d(%s)", (unsigned long)(ibegin + i), ret,
                      strerror(-ret));
    }
    tav_iobuf_put(buf);
    return ret;
}

TAV_COROUTINE_FN int tav_inode_writev(tav_inode_info *inode, off_t offset, uint64_t state) {
    void *buf = tav_iobuf_get(TAV_INODE_PAGESIZE, TAV_MEM_IO_ALIGNED_BUFFER);
    if (!buf) {
        log_error("tav_iobuf_get: %s", strerror(ENOMEM));
        return -ENOMEM;
    }
    memset(buf, 0, TAV_INODE_PAGESIZE);
    memcpy(buf, &inode->ondisk, sizeof(inode->ondisk));
    (static_cast<tav_disk_inode *>(buf))->i_state = state;
    seal_page(buf);
    int ret = ioengine_co_pwriten(ioengine_get_default(), buf, TAV_INODE_PAGESIZE, offset);
    if (ret < 0)
        log_error("ioengine_co_pwriten failed. ret: %d", ret);
    tav_iobuf_put(buf);
    return ret;
}

size_t tav_inode_xattr_limit(const tav_inode_info *inode) {
    return xattr_allowance(&inode->ondisk);
}

namespace {
// Bytes one item takes in the serialised form: both size fields, the key
// with its zero byte and the value.
size_t item_length(const char *key, size_t size) {
    return strlen(key) + size + 5;
}
} // namespace

size_t tav_inode_xattr_length_with(const tav_inode_info *inode, const char *key, size_t size) {
    size_t len = xdict_serialized_length(inode->xattr);
    size_t old = 0;
    if (xdict_get_data(inode->xattr, key, &old) != nullptr)
        len -= item_length(key, old);
    return len + item_length(key, size);
}

size_t tav_inode_xattr_length_with_dict(const tav_inode_info *inode, const xdict *from) {
    struct Sum {
        const xdict *into;
        size_t len;
    } sum = {inode->xattr, xdict_serialized_length(inode->xattr)};
    xdict_for_each(
        from,
        [](const char *key, const void *, size_t size, void *p) {
            Sum *s = static_cast<Sum *>(p);
            size_t old = 0;
            if (xdict_get_data(s->into, key, &old) != nullptr)
                s->len -= item_length(key, old);
            s->len += item_length(key, size);
            return 0;
        },
        &sum);
    return sum.len;
}

int tav_inode_setup_new(tav_inode_info *inode, int flags, mode_t mode) {
    tav_disk_inode *d = &inode->ondisk;
    d->i_type = TAV_FILE_TYPE_INLINE;
    if (flags & TAV_FLAG_BD)
        d->i_type |= TAV_FILE_TYPE_BD;
    if (!(flags & TAV_FLAG_UNCOMPRESSIBLE))
        d->i_type |= TAV_FILE_TYPE_COMPRESSIBLE;
    if (flags & TAV_FLAG_COMPRESSED) {
        d->i_statex = TAV_STATEX_COMPRESSED;
        inode->blkmap_mode = TAV_BLKMAP_MODE_COMPACT;
    } else {
        d->i_statex = TAV_STATEX_UNCOMPRESSED;
    }
    d->i_flags = static_cast<uint64_t>(flags & TAV_OPEN_FLAGS_MASK);
    d->i_blkmap_type = 2;
    d->i_mode = (static_cast<uint64_t>(mode) & ~0xF000ull) | S_IFREG;
    if (!inode->inline_buffer) {
        inode->inline_buffer = tav_calloc(1, TAV_INODE_INLINE_SIZE, TAV_MEM_INODE_INLINE_BUFFER);
        if (!inode->inline_buffer)
            return -ENOMEM;
    }
    return 0;
}

bool tav_inode_bd_repair(tav_inode_info *inode) {
    if ((inode->ondisk.i_type & TAV_FILE_TYPE_BD) || !xdict_get(inode->xattr, TAV_XATTR_BD_KEY))
        return false;
    inode->ondisk.i_type |= TAV_FILE_TYPE_BD;
    return true;
}

xdict *tav_inode_info2dict(const tav_inode_info *inode) {
    const tav_disk_inode *d = &inode->ondisk;
    const struct {
        const char *key;
        uint64_t value;
    } fields[] = {{"i_uid", d->i_uid},
                  {"i_type", d->i_type},
                  {"i_state", d->i_state},
                  {"i_size", d->i_size},
                  {"i_no", d->i_no},
                  {"i_mode", d->i_mode},
                  {"i_gid", d->i_gid},
                  {"i_blocks", d->i_blocks},
                  {"i_flags", d->i_flags},
                  {"lba_start", d->i_legacy.lba_start},
                  {"lba_len", d->i_legacy.lba_len}};
    xdict *dict = xdict_new();
    if (!dict)
        return nullptr;
    for (const auto &f : fields) {
        if (xdict_set(dict, f.key, &f.value, sizeof(f.value)) < 0) {
            xdict_destroy(dict);
            return nullptr;
        }
    }
    return dict;
}

void tav_inode_get_stat(const tav_inode_info *inode, struct stat *st) {
    const tav_disk_inode *d = &inode->ondisk;
    memset(st, 0, sizeof(*st));
    st->st_mode = static_cast<mode_t>((d->i_mode & ~0xF000ull) | S_IFREG);
    st->st_ino = d->i_no;
    st->st_dev = 0;
    st->st_rdev = 0;
    st->st_nlink = 1;
    st->st_uid = static_cast<uid_t>(d->i_uid);
    st->st_gid = static_cast<gid_t>(d->i_gid);
    st->st_size = static_cast<off_t>(d->i_size);
    fill_time(&st->st_atim, d->i_atime);
    fill_time(&st->st_mtim, d->i_mtime);
    fill_time(&st->st_ctim, d->i_ctime);
    st->st_blksize = 512;
    st->st_blocks = static_cast<blkcnt_t>(d->i_blocks * 2048);
}

void tav_inode_get_statex(const tav_inode_info *inode, tav_statex *statex) {
    statex->slices = inode->ondisk.i_slices;
    statex->slice_size = 131072;
    statex->type = static_cast<uint32_t>(inode->ondisk.i_type);
    statex->statex = static_cast<uint32_t>(inode->ondisk.i_statex);
}

void tav_inode_update_amctime(tav_inode_info *inode, int flags, const uint64_t *ts) {
    assert(flags & (TAV_INODE_ATIME | TAV_INODE_MTIME | TAV_INODE_CTIME));
    uint64_t now = ts ? 0 : now_ns();
    // Without a given time a stamp only moves forward.
    auto stamp = [&](uint64_t cur) { return ts ? *ts : (cur > now ? cur : now); };
    tav_disk_inode *d = &inode->ondisk;
    if (flags & TAV_INODE_ATIME)
        d->i_atime = stamp(d->i_atime);
    if (flags & TAV_INODE_MTIME)
        d->i_mtime = stamp(d->i_mtime);
    if (flags & TAV_INODE_CTIME)
        d->i_ctime = stamp(d->i_ctime);
}

void tav_inode_dump(const char *title, const tav_inode_info *inode) {
    const tav_disk_inode *d = &inode->ondisk;
    const meta_head *h = &d->i_header;
    char magic[9], text[37];
    memcpy(magic, h->magic, 8);
    magic[8] = '\0';
    uuid_text(d->i_uuid, text);
    log_info("[==]%s", title);
    log_info("[====================head=====================");
    log_info("magic:               %s", magic);
    log_info("generation:          %lu", (unsigned long)h->generation);
    log_info("length:              %lu", (unsigned long)h->length);
    log_info("type:                %u", h->type);
    log_info("version:             %lu", (unsigned long)h->version);
    log_info("checksum:            %lu", (unsigned long)h->checksum);
    log_info("[====================data=====================");
    log_info("i_uuid:              %s", text);
    log_info("i_uid:               %lu", (unsigned long)d->i_uid);
    log_info("i_type:              %lu", (unsigned long)d->i_type);
    log_info("i_state:             %lu", (unsigned long)d->i_state);
    log_info("i_size:              %lu", (unsigned long)d->i_size);
    log_info("i_no:                %lu", (unsigned long)d->i_no);
    log_info("i_mode:              %lu", (unsigned long)d->i_mode);
    log_info("i_gid:               %lu", (unsigned long)d->i_gid);
    log_info("i_blocks:            %lu", (unsigned long)d->i_blocks);
    log_info("i_flags:             %lu", (unsigned long)d->i_flags);
    log_info("lba_start:           %lu", (unsigned long)d->i_legacy.lba_start);
    log_info("lba_len:             %lu", (unsigned long)d->i_legacy.lba_len);
    for (int i = 0; i < TAV_EXTENT_BLOCKS_PER_FILE; i++) {
        if (d->i_extents[i])
            log_info("i_extents[%d]:        %lu", i, (unsigned long)d->i_extents[i]);
    }
    const struct {
        const char *name;
        uint64_t ns;
    } times[] = {{"i_atime", d->i_atime},
                 {"i_ctime", d->i_ctime},
                 {"i_mtime", d->i_mtime},
                 {"i_dtime", d->i_dtime},
                 {"i_ntime", d->i_ntime}};
    for (const auto &t : times)
        log_info("%-21s%s", t.name,
                 time2str_nsec((long)(t.ns / 1000000000ull), (long)(t.ns % 1000000000ull)));
    log_info("[====================end=====================");
}

// ---- slots ----------------------------------------------------------------------------

tav_inode_load_ret tav_inode_page_init(tav_inode_info **out, const void *slot_buffer, size_t page_size,
                                       tav_inode_table *itable) {
    assert(page_size == TAV_INODE_PAGESIZE);
    const char *a = static_cast<const char *>(slot_buffer);
    const char *b = a + page_size;
    int ra = tav_inode_is_legal(a), rb = tav_inode_is_legal(b);
    tav_bak_stat_type st = tav_inode_check(ra, rb);
    const char *src = nullptr;
    bool damaged = false;
    switch (st) {
    case AB_UNUSED: return I_UNUSED;
    case A_OK: src = a; break;
    case B_OK: src = b; break;
    case AB_OK: {
        uint64_t ga = (reinterpret_cast<const tav_disk_inode *>(a))->i_header.generation;
        uint64_t gb = (reinterpret_cast<const tav_disk_inode *>(b))->i_header.generation;
        src = ga > gb ? a : b;
        if ((reinterpret_cast<const tav_disk_inode *>(src))->i_state == TAV_I_FREE)
            return I_UNUSED;
        break;
    }
    case AB_ERROR: {
        log_error("inode A and B is illegal");
        if ((ra == 0) == (rb == 0))
            return I_ERROR;
        src = ra == 0 ? a : b;
        const tav_disk_inode *d = reinterpret_cast<const tav_disk_inode *>(src);
        if (d->i_state != TAV_I_NORMAL || uuid_is_null(d->i_uuid) ||
            memcmp(d->i_uuid, tav_shmlog_gfid, 16) == 0)
            return I_ERROR;
        st = ra == 0 ? A_OK : B_OK;
        log_error("INO: %lu A/B is ok. bak type: %d", (unsigned long)d->i_no, (int)st);
        damaged = true;
        break;
    }
    }
    const tav_disk_inode *d = reinterpret_cast<const tav_disk_inode *>(src);
    tav_inode_info *inode = tav_inode_create(itable, d->i_uuid, src, nullptr);
    if (!inode) {
        if (errno == ENOMEM) {
            log_error("inode contex calloc failed");
            return I_CALLOC_FAILE;
        }
        // A sealed page whose contents cannot be decoded is damage.
        return I_ERROR;
    }
    inode->btype = st;
    if (damaged) {
        itable->error_inode_count++;
        inode->ondisk.i_state = TAV_I_ERROR;
    }
    *out = inode;
    return I_OK;
}

// ---- start-up scan ------------------------------------------------------------------------

TAV_COROUTINE_FN int tav_inode_load(tav_inode_table *itable, uint8_t *imap, uint64_t imap_bits,
                                    uint64_t *last_ino, uint64_t first_inode_block, uint64_t count) {
    itable->imap = imap;
    itable->imap_bits = imap_bits;
    if (count > imap_bits / TAV_INODE_SLOTS_PER_BLOCK) {
        log_error("inode blocks to scan: %lu, more than the %lu inode numbers", (unsigned long)count,
                  (unsigned long)imap_bits);
        return -EINVAL;
    }
    char *buf = static_cast<char *>(tav_iobuf_get(1048576, TAV_MEM_IO_ALIGNED_BUFFER));
    if (!buf) {
        log_error("out of memory");
        return -ENOMEM;
    }
    bool have_last = false;
    uint64_t last_ntime = 0;
    auto update_last = [&](const tav_inode_info *inode) {
        if (!have_last || inode->ondisk.i_ntime >= last_ntime) {
            *last_ino = inode->ondisk.i_no;
            last_ntime = inode->ondisk.i_ntime;
            have_last = true;
        }
    };
    struct iovec iov[TAV_INODE_SLOTS_PER_BLOCK];
    int ret = 0;
    for (uint64_t i = 0; i < count && ret == 0; i++) {
        for (int j = 0; j < TAV_INODE_SLOTS_PER_BLOCK; j++) {
            iov[j].iov_base = buf + static_cast<size_t>(j) * TAV_INODE_SLOT_SIZE;
            iov[j].iov_len = TAV_INODE_SLOT_SIZE;
        }
        ret = ioengine_co_preadvn(ioengine_get_default(), iov, TAV_INODE_SLOTS_PER_BLOCK,
                                  static_cast<off_t>((first_inode_block + i) * 1048576ull));
        if (ret < 0) {
            log_error("read inode block failed,block:%d", (int)i);
            break;
        }
        for (int j = 0; j < TAV_INODE_SLOTS_PER_BLOCK; j++) {
            uint64_t ino = i * TAV_INODE_SLOTS_PER_BLOCK + j;
            tav_inode_info *inode = nullptr;
            tav_inode_load_ret r = tav_inode_page_init(
                &inode, buf + static_cast<size_t>(j) * TAV_INODE_SLOT_SIZE, TAV_INODE_PAGESIZE, itable);
            if (r == I_UNUSED)
                continue;
            if (r == I_CALLOC_FAILE) {
                log_error("INODE:%d init failed for calloc new inode contex failed", (int)ino);
                ret = -ENOMEM;
                break;
            }
            if (r == I_OK && inode->ondisk.i_no != ino) {
                // A sealed record in the wrong slot (a copied page): acting on
                // it would make writes land in another inode's slot.
                log_error("inode in slot %lu claims number %lu", (unsigned long)ino,
                          (unsigned long)inode->ondisk.i_no);
                if (inode->ondisk.i_state != TAV_I_ERROR)
                    itable->error_inode_count++;
                drop_and_free(inode);
                r = I_ERROR;
            } else if (r == I_ERROR) {
                itable->error_inode_count++;
            }
            if (r == I_ERROR) {
                log_error("INODE:%d is ERROR", (int)ino);
                bmap_bit_set(imap, ino);
                continue;
            }
            switch (inode->ondisk.i_state) {
            case TAV_I_NORMAL:
            case TAV_I_ERROR: {
                inode->ondisk.i_cur_pblk = 0;
                tav_inode_info *won = tav_inode_link_ex(itable, inode);
                if (won == inode) {
                    bmap_bit_set(imap, ino);
                    update_last(inode);
                    if (inode->ondisk.i_state == TAV_I_NORMAL &&
                        inode->ondisk.i_statex == TAV_STATEX_COMPRESSING)
                        tav_inode_mark_compress(inode);
                    tav_inode_unref(inode, __func__);
                } else {
                    tav_inode_unref(won, __func__);
                    // The reset loser is on no list: free it whatever its
                    // in-memory state.
                    drop_and_free(inode);
                }
                break;
            }
            case TAV_I_UNLINK:
            case TAV_I_PBLOCK_FREE:
                bmap_bit_set(imap, ino);
                update_last(inode);
                tav_inode_unref(inode, __func__); // to the unlink list
                break;
            default: // FREE
                drop_and_free(inode);
                break;
            }
        }
    }
    tav_iobuf_put(buf);
    if (ret == 0)
        tav_itable_guard_unlinked(itable);
    return ret;
}

TAV_COROUTINE_FN int tav_inode_reset(tav_inode_table *itable, tav_inode_info *inode) {
    assert(!inode->linked);
    uint64_t slot = tav_inode_slot_offset(inode->ondisk.i_no);
    int good = inode->btype;
    if (good == AB_OK) {
        // A sound duplicate: its current record is in the copy of its
        // generation's parity.
        good = (inode->ondisk.i_header.generation & 1) ? A_OK : B_OK;
    }
    uint64_t ok_off, bad_off;
    if (good == A_OK) {
        ok_off = slot;
        bad_off = slot + TAV_INODE_PAGESIZE;
    } else if (good == B_OK) {
        ok_off = slot + TAV_INODE_PAGESIZE;
        bad_off = slot;
    } else {
        log_error("tav inode reset: no good copy, btype: %d", good);
        abort();
    }
    log_info("tav inode reset begin. inode: %p ino: %lu ok_off: %lu bad_off: %lu", (void *)inode,
             (unsigned long)inode->ondisk.i_no, (unsigned long)ok_off, (unsigned long)bad_off);
    // Crash-safe order: the damaged copy is marked first, so that a crash
    // leaves at most one legal copy and never two that disagree.
    int ret = tav_inode_writev(inode, static_cast<off_t>(bad_off), TAV_I_ERROR);
    if (ret == 0)
        ret = tav_inode_writev(inode, static_cast<off_t>(ok_off), TAV_I_INIT);
    if (ret == 0)
        ret = tav_inode_writev(inode, static_cast<off_t>(bad_off), TAV_I_INIT);
    uint64_t ino = inode->ondisk.i_no;
    bool have_bit = itable->imap && ino < itable->imap_bits;
    if (ret < 0) {
        log_error("tav inode reset failed. inode: %p ino: %lu ok_off: %lu bad_off: %lu", (void *)inode,
                  (unsigned long)ino, (unsigned long)ok_off, (unsigned long)bad_off);
        // The slot still holds a record: its number must not be handed out.
        if (have_bit)
            bmap_bit_set(itable->imap, ino);
        return -1;
    }
    log_info("tav inode reset end. inode: %p ino: %lu ok_off: %lu bad_off: %lu", (void *)inode,
             (unsigned long)ino, (unsigned long)ok_off, (unsigned long)bad_off);
    if (have_bit)
        bmap_bit_clr(itable->imap, ino);
    if (inode->ondisk.i_state == TAV_I_ERROR) {
        assert(itable->error_inode_count > 0);
        itable->error_inode_count--;
    }
    return 0;
}

// ---- the inode-number bitmap ------------------------------------------------------------------

uint8_t *tav_imap_init(uint64_t count) {
    // More numbers than the inode area has slots cannot come from a sound
    // superblock; refusing them also keeps the byte count from wrapping.
    if (count == 0 || count > TAV_INODE_MAX_SLOTS) {
        log_error("inode bitmap of %lu bits refused: 1..%d inode numbers exist", (unsigned long)count,
                  TAV_INODE_MAX_SLOTS);
        return nullptr;
    }
    return static_cast<uint8_t *>(tav_calloc((count + 7) / 8, 1, TAV_MEM_IMAP_BUFFER));
}

void tav_imap_destroy(uint8_t *imap) {
    tav_free(imap);
}
