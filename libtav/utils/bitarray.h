// Bit arrays, least significant bit first: bit b lives in byte b / 8 under
// the mask 1 << (b % 8).  This is the on-disk order of every bitmap of the
// file system (inode-number bitmap, version-1 zone map, written-unit maps),
// so the functions never depend on the host's word order.
//
// Runs are given as (start, count) for the change and count functions and
// as a half-open range [sbit, ebit) for the searches.  Runs are handled a bit
// at a time up to a byte boundary and then 64 bits at a time; the caller
// guarantees that the run lies inside the array.  Pure functions, no
// allocation, any thread.
#ifndef TAV_UTILS_BITARRAY_H
#define TAV_UTILS_BITARRAY_H

#include <errno.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "bit arrays load words little-endian");

namespace bmap_detail {

inline uint8_t *bytes(void *bmap) {
    return static_cast<uint8_t *>(bmap);
}
inline const uint8_t *bytes(const void *bmap) {
    return static_cast<const uint8_t *>(bmap);
}

inline uint64_t load64(const uint8_t *p) {
    uint64_t v;
    memcpy(&v, p, sizeof(v));
    return v;
}

/* First bit of [sbit, ebit) whose value is `Set`. */
template <bool Set> inline int find(const void *bmap, uint64_t sbit, uint64_t ebit, uint64_t *bit) {
    const uint8_t *p = bytes(bmap);
    uint64_t i = sbit;
    for (; i < ebit && (i & 7); i++) {
        if (((p[i >> 3] >> (i & 7)) & 1) == Set) {
            *bit = i;
            return 0;
        }
    }
    for (; i + 64 <= ebit; i += 64) {
        uint64_t w = load64(p + (i >> 3));
        if (!Set)
            w = ~w;
        if (w) {
            *bit = i + __builtin_ctzll(w);
            return 0;
        }
    }
    for (; i + 8 <= ebit; i += 8) {
        unsigned b = p[i >> 3];
        if (!Set)
            b = ~b & 0xFFu;
        if (b) {
            *bit = i + __builtin_ctz(b);
            return 0;
        }
    }
    for (; i < ebit; i++) {
        if (((p[i >> 3] >> (i & 7)) & 1) == Set) {
            *bit = i;
            return 0;
        }
    }
    return -ENOSPC;
}

template <bool Set> inline void fill(void *bmap, uint64_t start, uint64_t count) {
    uint8_t *p = bytes(bmap);
    uint64_t i = start, end = start + count;
    for (; i < end && (i & 7); i++) {
        if (Set)
            p[i >> 3] |= static_cast<uint8_t>(1u << (i & 7));
        else
            p[i >> 3] &= static_cast<uint8_t>(~(1u << (i & 7)));
    }
    if (end - i >= 8) {
        uint64_t nbytes = (end - i) >> 3;
        memset(p + (i >> 3), Set ? 0xFF : 0, nbytes);
        i += nbytes << 3;
    }
    for (; i < end; i++) {
        if (Set)
            p[i >> 3] |= static_cast<uint8_t>(1u << (i & 7));
        else
            p[i >> 3] &= static_cast<uint8_t>(~(1u << (i & 7)));
    }
}

} // namespace bmap_detail

inline void bmap_bit_set(void *bmap, uint64_t bit) {
    bmap_detail::bytes(bmap)[bit >> 3] |= static_cast<uint8_t>(1u << (bit & 7));
}
inline void bmap_bit_clr(void *bmap, uint64_t bit) {
    bmap_detail::bytes(bmap)[bit >> 3] &= static_cast<uint8_t>(~(1u << (bit & 7)));
}
inline bool bmap_is_bit_set(const void *bmap, uint64_t bit) {
    return (bmap_detail::bytes(bmap)[bit >> 3] >> (bit & 7)) & 1;
}
inline bool bmap_is_bit_clr(const void *bmap, uint64_t bit) {
    return !bmap_is_bit_set(bmap, bit);
}

inline void bmap_bits_set(void *bmap, uint64_t start, uint64_t count) {
    bmap_detail::fill<true>(bmap, start, count);
}
inline void bmap_bits_free(void *bmap, uint64_t start, uint64_t count) {
    bmap_detail::fill<false>(bmap, start, count);
}

/* First set / clear bit of [sbit, ebit) into *bit: 0, or -ENOSPC when none. */
inline int bmap_bit_find_set(const void *bmap, uint64_t sbit, uint64_t ebit, uint64_t *bit) {
    return bmap_detail::find<true>(bmap, sbit, ebit, bit);
}
inline int bmap_bit_find_clr(const void *bmap, uint64_t sbit, uint64_t ebit, uint64_t *bit) {
    return bmap_detail::find<false>(bmap, sbit, ebit, bit);
}

/* Whether every bit of the run is set / clear (an empty run is both). */
inline bool bmap_is_bits_set(const void *bmap, uint64_t start, uint64_t count) {
    uint64_t bit;
    return bmap_bit_find_clr(bmap, start, start + count, &bit) == -ENOSPC;
}
inline bool bmap_is_bits_clr(const void *bmap, uint64_t start, uint64_t count) {
    uint64_t bit;
    return bmap_bit_find_set(bmap, start, start + count, &bit) == -ENOSPC;
}

/* Number of set / clear bits of the run. */
inline uint64_t bmap_set_bits_num(const void *bmap, uint64_t start, uint64_t count) {
    const uint8_t *p = bmap_detail::bytes(bmap);
    uint64_t i = start, end = start + count, n = 0;
    for (; i < end && (i & 7); i++)
        n += (p[i >> 3] >> (i & 7)) & 1;
    for (; i + 64 <= end; i += 64)
        n += __builtin_popcountll(bmap_detail::load64(p + (i >> 3)));
    for (; i + 8 <= end; i += 8)
        n += __builtin_popcount(p[i >> 3]);
    for (; i < end; i++)
        n += (p[i >> 3] >> (i & 7)) & 1;
    return n;
}
inline uint64_t bmap_clr_bits_num(const void *bmap, uint64_t start, uint64_t count) {
    return count - bmap_set_bits_num(bmap, start, count);
}

#endif
