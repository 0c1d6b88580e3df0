// The read path: zeros without device I/O where nothing was written, one
// aligned device read per segment with unwritten pages zeroed afterwards,
// inline reads, and the translation between file offsets and device
// addresses.
#include <assert.h>

#include <errno.h>
#include <string.h>

#include <algorithm>

#include "data.h"
#include "segment.h"
#include "ioengine.h"
#include "iovec.h"
#include "logger.h"

using namespace tavfiles;

namespace {

inline void zero(const struct iovec *iov, int iovcnt, uint64_t size) {
    iov_memset(iov, static_cast<unsigned>(iovcnt), 0, 0, size);
}

// Reads [off, off + size) of segment `seg`; `ctx` is the caller's flags.
TAV_COROUTINE_FN ssize_t read_segment(tav_inode_info *inode, uint64_t seg, const struct iovec *iov,
                                      int iovcnt, uint64_t off, uint64_t size, void *ctx) {
    int *flags = static_cast<int *>(ctx);
    const Segment sg = segment_of(inode, seg);
    const bool slices = sg.islice >= 0;
    assert(off + size <= sg.size);
    log_trace("enter iblock: %lu, offset: %lu, size: %lu", static_cast<unsigned long>(sg.iblock),
              static_cast<unsigned long>(off), static_cast<unsigned long>(size));
    int addressable =
        ext_page_addressable(&inode->extent_cache, TAV_EXTENT_PAGE_SIZE, extent_page_of(inode, sg.iblock));
    if (addressable < 0)
        return -EIO;
    if (addressable == 0) {
        zero(iov, iovcnt, size);
        return static_cast<ssize_t>(size);
    }
    ext_page_t *page = nullptr;
    blkmap_t *map = tav_segment_map(inode, seg, &page);
    if (!map) {
        log_error("blkmap not found for iblock: %lu", static_cast<unsigned long>(sg.iblock));
        return -EIO;
    }
    const uint64_t end = off + size;
    const uint32_t sbit = static_cast<uint32_t>(off / kGran),
                   nbits = static_cast<uint32_t>((end - 1) / kGran) - sbit + 1;
    if (!ext_blkmap_get_pblock(map) || ext_blkmap_is_bits_clr(map, sbit, nbits)) {
        ext_page_put(page);
        zero(iov, iovcnt, size);
        return static_cast<ssize_t>(size);
    }
    if (slices)
        assert(ext_blkmap_get_pslice(map) >= 0 && ext_blkmap_get_pslice(map) < TAV_SLICES_PER_BLOCK);
    IoAlign al;
    int ret = al.build(iov, iovcnt, off, off % kGran, end % kGran ? kGran - end % kGran : 0);
    if (ret < 0) {
        ext_page_put(page);
        return ret;
    }
    if (flags)
        *flags |= TAV_FLAG_BD;
    const uint64_t total = al.total(size);
    const uint64_t pba = segment_pba(map) + al.offset;
    log_trace("actual read offset: %lu, size: %lu", static_cast<unsigned long>(al.offset),
              static_cast<unsigned long>(total));
    ssize_t n = ioengine_co_preadv(ioengine_get_default(), al.iovec, al.iovcnt, static_cast<off_t>(pba));
    if (n < 0) {
        if (slices)
            log_error("read data failed: %s, pba: %lu, len: %lu", strerror(static_cast<int>(-n)),
                      static_cast<unsigned long>(pba), static_cast<unsigned long>(total));
        else
            log_error("read data failed: %s", strerror(static_cast<int>(-n)));
        ext_page_put(page);
        return n;
    }
    log_trace("actual rsize: %ld", static_cast<long>(n));
    if (ext_page_access(page) < 0) {
        log_error("extent page access failed, iblock: %lu", static_cast<unsigned long>(sg.iblock));
        ext_page_put(page);
        return -EIO;
    }
    // Pages never written read as zeros, whatever the device holds there.
    const uint32_t abit = static_cast<uint32_t>(al.offset / kGran),
                   apages = static_cast<uint32_t>(total / kGran);
    if (!ext_blkmap_is_bits_set(map, abit, apages))
        for (uint32_t i = 0; i < apages; i++)
            if (!ext_blkmap_is_bits_set(map, abit + i, 1))
                iov_memset(al.iovec, static_cast<unsigned>(al.iovcnt), static_cast<size_t>(i) * kGran, 0,
                           kGran);
    ext_page_put(page);
    const uint64_t head = al.extra_head_len;
    ssize_t result = static_cast<uint64_t>(n) > head
                         ? static_cast<ssize_t>(std::min<uint64_t>(size, static_cast<uint64_t>(n) - head))
                         : 0;
    log_trace("quit iblock: %lu, offset: %lu, size: %lu, rsize: %ld", static_cast<unsigned long>(sg.iblock),
              static_cast<unsigned long>(off), static_cast<unsigned long>(size), static_cast<long>(result));
    return result;
}

TAV_COROUTINE_FN int update_inode_after_read(tav_inode_info *inode, tav_data_req *req) {
    if (tav_file_read_inode(inode) < 0)
        return -EIO;
    if (req->prestat)
        tav_inode_get_stat(inode, req->prestat);
    // In memory only: the new atime reaches the device with the next write
    // of the inode for another reason.
    tav_inode_update_amctime(inode, TAV_INODE_ATIME, nullptr);
    if (req->poststat)
        tav_inode_get_stat(inode, req->poststat);
    return 0;
}

// Device address of segment `seg`: -1 when it is not mapped (or its extent
// page not addressable), -EIO when its map cannot be had.
TAV_COROUTINE_FN int64_t segment_device(tav_inode_info *inode, uint64_t seg) {
    int ok = ext_page_addressable(&inode->extent_cache, TAV_EXTENT_PAGE_SIZE,
                                  extent_page_of(inode, segment_of(inode, seg).iblock));
    if (ok <= 0)
        return ok < 0 ? -EIO : -1;
    ext_page_t *page = nullptr;
    blkmap_t *map = tav_segment_map(inode, seg, &page);
    if (!map)
        return -EIO;
    int64_t pba = ext_blkmap_get_pba(map);
    ext_page_put(page);
    return pba;
}

// Start of the inline area of the inode's current copy on the device.
uint64_t inline_base(const tav_inode_info *inode) {
    const tav_disk_inode *d = &inode->ondisk;
    return tav_inode_slot_offset(d->i_no) + (d->i_header.generation % 2 ? 0 : TAV_INODE_PAGESIZE) +
           TAV_INODE_INLINE_OFFSET;
}

} // namespace

TAV_COROUTINE_FN ssize_t tav_read_data(tav_inode_info *inode, const struct iovec *iov, int iovcnt,
                                       uint64_t offset, uint64_t size, int *flags) {
    InodeRangeGuard lock(inode, offset, size);
    return tav_rw_data(inode, iov, iovcnt, offset, size, read_segment, flags);
}

ssize_t tav_read_inline_data(tav_inode_info *inode, const struct iovec *iov, int iovcnt, uint64_t offset,
                             uint64_t size) {
    assert(tav_file_inline(inode) && inode->inline_buffer);
    assert(offset + size <= inode->ondisk.i_size);
    uint64_t in = offset >= TAV_INODE_INLINE_SIZE ? 0 : std::min(size, TAV_INODE_INLINE_SIZE - offset);
    if (in)
        iov_from_buf(iov, static_cast<unsigned>(iovcnt), 0,
                     static_cast<const char *>(inode->inline_buffer) + offset, in);
    if (size > in)
        iov_memset(iov, static_cast<unsigned>(iovcnt), in, 0, size - in);
    return static_cast<ssize_t>(size);
}

TAV_COROUTINE_FN int64_t tav_file_preadv(tav_inode_info *inode, tav_data_req *req) {
    const uint64_t offset = req->offset;
    uint64_t size = req->size;
    int touched = 0;
    log_trace("<==> preadv begin. offset: %lu, size: %lu", static_cast<unsigned long>(offset),
              static_cast<unsigned long>(size));
    tav_file_iolog(inode, nullptr, 0, static_cast<int64_t>(offset), size, 0, TAV_READ);
    int64_t ret = 0;
    if (tav_file_read_inode(inode) < 0) {
        ret = -EIO;
    } else if (offset >= inode->ondisk.i_size) {
        log_trace("offset(%lu) exceeds filesize(%lu)", static_cast<unsigned long>(offset),
                  static_cast<unsigned long>(inode->ondisk.i_size));
        ret = 0;
    } else {
        if (offset + size > inode->ondisk.i_size) {
            log_trace("offset + size (%lu) exceeds filesize(%lu)", static_cast<unsigned long>(offset + size),
                      static_cast<unsigned long>(inode->ondisk.i_size));
            size = inode->ondisk.i_size - offset;
        }
        bool extent = !tav_file_inline(inode);
        if (!extent) {
            int st = tav_file_lock_inline(inode);
            if (st < 0) {
                ret = st;
            } else if (st == 0) {
                extent = true;
            } else {
                co_mutex_unlock(&inode->lock);
                // The size may have moved while the mutex was awaited.
                size = std::min(size, inode->ondisk.i_size > offset ? inode->ondisk.i_size - offset : 0);
                ret = size ? tav_read_inline_data(inode, req->iov, req->iovcnt, offset, size) : 0;
            }
        }
        if (extent)
            ret = tav_read_data(inode, req->iov, req->iovcnt, offset, size, &touched);
    }
    int r = update_inode_after_read(inode, req);
    if (r < 0)
        ret = r;
    if (ret >= 0 && (req->flags & TAV_FLAG_BD) && req->poststat && !(touched & TAV_FLAG_BD))
        req->poststat->st_blocks = 0;
    uint32_t err = ret < 0 ? static_cast<uint32_t>(-ret) : 0;
    if (ret < 0)
        log_error("preadv end. offset: %lu, size: %lu, op_ret: %ld, op_errno: %u",
                  static_cast<unsigned long>(offset), static_cast<unsigned long>(req->size), -1L, err);
    else
        log_trace("preadv end. offset: %lu, size: %lu, op_ret: %ld, op_errno: %u",
                  static_cast<unsigned long>(offset), static_cast<unsigned long>(req->size),
                  static_cast<long>(ret), err);
    tav_file_iolog(inode, req->iov, req->iovcnt, static_cast<int64_t>(offset),
                   ret > 0 ? static_cast<uint64_t>(ret) : 0, ret, TAV_READ_CBK);
    return ret;
}

TAV_COROUTINE_FN int64_t tav_inode_paddr(tav_inode_info *inode, int64_t addr) {
    if (tav_inode_read(inode) < 0)
        return -EIO;
    const uint64_t isize = inode->ondisk.i_size;
    if (tav_file_inline(inode)) {
        const uint64_t base = inline_base(inode);
        if (addr <= 0) {
            uint64_t o = static_cast<uint64_t>(-addr);
            return o < isize ? static_cast<int64_t>(base + o) : -1;
        }
        uint64_t d = static_cast<uint64_t>(addr);
        return d >= base && d - base < isize ? static_cast<int64_t>(d - base) : -1;
    }
    const uint64_t segsize = tav_file_segment(inode);
    const int shift = segsize == TAV_SEGMENT_SLICE ? 17 : 20;
    if (addr <= 0) {
        uint64_t o = static_cast<uint64_t>(-addr);
        if (o >= isize)
            return -1;
        int64_t pba = segment_device(inode, o / segsize);
        return pba < 0 ? pba : static_cast<int64_t>(static_cast<uint64_t>(pba) | (o % segsize));
    }
    if (isize == 0)
        return -1;
    const uint64_t d = static_cast<uint64_t>(addr);
    const uint64_t last = (isize - 1) / segsize;
    for (uint64_t seg = 0; seg <= last; seg++) {
        int64_t pba = segment_device(inode, seg);
        if (pba == -EIO)
            return -EIO;
        if (pba >= 0 && d >= static_cast<uint64_t>(pba) && d - static_cast<uint64_t>(pba) < segsize) {
            uint64_t o = (seg << shift) | (d % segsize);
            return o < isize ? static_cast<int64_t>(o) : -1;
        }
    }
    return -1;
}
