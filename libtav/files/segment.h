// Pieces shared by the segment readers and writers of the data path: where a
// segment's map lives, and the vector sent for one segment with its 4 KiB
// padding.  Internal to files/.
#ifndef TAV_FILES_SEGMENT_H
#define TAV_FILES_SEGMENT_H

#include <errno.h>
#include <string.h>

#include "data.h"
#include "memory.h"

namespace tavfiles {

constexpr uint64_t kGran = TAV_FLOCK_GRAN;
constexpr int kInlineVec = 16; // vector elements handled without allocating

inline uint64_t round_down(uint64_t v, uint64_t a) {
    return v / a * a;
}
inline uint64_t round_up(uint64_t v, uint64_t a) {
    return (v + a - 1) / a * a;
}

/* Segment `seg` of a file: its logical block, its slice (-1 for whole-block
 * maps), its size and its number of written bits. */
struct Segment {
    uint64_t iblock;
    int islice;
    uint64_t size;
    uint32_t bits;
};

inline Segment segment_of(const tav_inode_info *inode, uint64_t seg) {
    if (tav_file_compressible(inode))
        return {seg / TAV_SLICES_PER_BLOCK, static_cast<int>(seg % TAV_SLICES_PER_BLOCK), TAV_SEGMENT_SLICE,
                TAV_BLKMAP_SLICE_BITS};
    return {seg, -1, TAV_SEGMENT_BLOCK, TAV_BLKMAP_BITMAP_BITS};
}

/* The segment's map in `page`, which holds it. */
inline blkmap_t *segment_map_in(ext_page_t *page, const Segment &sg) {
    blkmap_t *first = ext_page_blkmaps_get(page, sg.iblock);
    return sg.islice < 0 ? first : ext_blkmaps_at(first, sg.islice);
}

/* Device byte address of a mapped segment's first byte. */
inline uint64_t segment_pba(const blkmap_t *map) {
    return static_cast<uint64_t>(ext_blkmap_get_pba(map));
}

/* Index of the 8 KiB extent page holding the map of logical block `iblock`. */
inline uint32_t extent_page_of(const tav_inode_info *inode, uint64_t iblock) {
    return static_cast<uint32_t>(
        iblock / ext_iblocks_per_page(tav_inode_blkmap_type(&inode->ondisk), TAV_EXTENT_PAGE_SIZE));
}

/* The vector actually sent for one segment: the caller's part, with a zeroed
 * head and tail around it where the transfer must cover whole 4 KiB pages.
 * Without padding the caller's vector is used as it is; small vectors are
 * held inline, so the common request allocates nothing.  Padding buffers
 * come from the 4 KiB I/O buffer pool. */
struct IoAlign {
    struct iovec *iovec = nullptr;
    int iovcnt = 0;
    uint64_t offset = 0; /* in the segment, after alignment */
    uint64_t extra_head_len = 0;
    void *extra_head_buf = nullptr;
    uint64_t extra_tail_len = 0;
    void *extra_tail_buf = nullptr;
    struct iovec iovec_static[kInlineVec + 2];
    struct iovec *heap = nullptr;

    IoAlign() = default;
    IoAlign(const IoAlign &) = delete;
    IoAlign &operator=(const IoAlign &) = delete;
    ~IoAlign() {
        if (extra_head_buf)
            tav_iobuf_put(extra_head_buf);
        if (extra_tail_buf)
            tav_iobuf_put(extra_tail_buf);
        tav_free(heap);
    }

    uint64_t total(uint64_t size) const { return extra_head_len + size + extra_tail_len; }

    /* 0 or -ENOMEM.  `head` and `tail` are the padding lengths (0: none). */
    int build(const struct iovec *iov, int cnt, uint64_t off, uint64_t head, uint64_t tail) {
        offset = off - head;
        if (!head && !tail) {
            iovec = const_cast<struct iovec *>(iov);
            iovcnt = cnt;
            return 0;
        }
        if (cnt + 2 <= kInlineVec + 2) {
            iovec = iovec_static;
        } else {
            heap = static_cast<struct iovec *>(
                tav_malloc(sizeof(struct iovec) * static_cast<size_t>(cnt + 2), TAV_MEM_IOVEC));
            if (!heap)
                return -ENOMEM;
            iovec = heap;
        }
        int n = 0;
        if (head) {
            extra_head_buf = tav_iobuf_get(kGran, TAV_MEM_IO_ALIGNED_BUFFER);
            if (!extra_head_buf)
                return -ENOMEM;
            memset(extra_head_buf, 0, head);
            extra_head_len = head;
            iovec[n++] = {extra_head_buf, head};
        }
        for (int i = 0; i < cnt; i++)
            iovec[n++] = iov[i];
        if (tail) {
            extra_tail_buf = tav_iobuf_get(kGran, TAV_MEM_IO_ALIGNED_BUFFER);
            if (!extra_tail_buf)
                return -ENOMEM;
            memset(extra_tail_buf, 0, tail);
            extra_tail_len = tail;
            iovec[n++] = {extra_tail_buf, tail};
        }
        iovcnt = n;
        return 0;
    }
};

} // namespace tavfiles

#endif
