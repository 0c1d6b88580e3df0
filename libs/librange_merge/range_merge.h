// Range sets: a growable array of (offset, length, bitmask) ranges with a
// merge step that turns any collection of possibly overlapping ranges into
// sorted, disjoint ranges whose masks are the union of what covered them.
//
// Adding never sorts; ranges are cut on the way in when the attributes ask
// for it (at most `max_length` long, never crossing a multiple of
// `slice_size`).  range_set_merge produces the canonical form: disjoint
// ranges in offset order, each byte carrying the OR of the masks of every
// added range that covered it, neighbouring ranges with equal masks joined
// (and cut again by the attributes).  Queries (search, slice, overlap) need
// the canonical form: querying a non-empty set that was changed since its
// last merge is a programming error.
//
// Errors are negative errno values: -EINVAL for refused ranges, -ENOMEM when
// the array cannot grow.  No locking: a set belongs to its user.
#ifndef TAV_RANGE_MERGE_H
#define TAV_RANGE_MERGE_H

#include <stddef.h>
#include <stdint.h>

typedef struct range {
    uint64_t offset;
    uint64_t length;
    uint8_t bitmask;
} range;

static_assert(sizeof(range) == 24, "range is 24 bytes");

typedef struct range_set_attr {
    uint32_t base_cnt;   /* growth step in ranges; 0 means 1024 */
    uint64_t max_offset; /* 0 = unlimited; larger offsets are refused */
    uint64_t max_length; /* 0 = unlimited; longer ranges are cut */
    uint8_t max_bitmask; /* 0 = unlimited; larger masks are refused */
    uint64_t slice_size; /* 0 = none; ranges are cut at its multiples */
} range_set_attr;

typedef struct range_set {
    range *ranges; /* owned */
    range_set_attr attr;
    uint32_t max_cnt; /* capacity */
    uint32_t cur_cnt; /* ranges in use */
    int is_merged;    /* merged, nothing added since */
} range_set;

#define RANGE_SET_BASE_CNT 1024

/* Empty set with a copy of `attr` (all zero when null).  REQUIRES: a
 * non-zero slice_size is at least max_length. */
void range_set_init(range_set *set, const range_set_attr *attr);
void range_set_fini(range_set *set);
/* Forgets the ranges, keeps the array. */
void range_set_clear(range_set *set);
/* 0, -EINVAL (length 0, mask 0, offset or mask beyond the limits) or
 * -ENOMEM.  A range cut into pieces may be stored in part on failure. */
int range_set_add(range_set *set, uint64_t offset, uint64_t length, uint8_t bitmask);
/* Canonical form, with `attr` (optional) replacing the attributes; 0 or the
 * first error of storing the result (the set is then unchanged). */
int range_set_merge(range_set *set, const range_set_attr *attr);
/* Index at or before the first range that can overlap `offset`; scan
 * forward from it.  REQUIRES: merged or empty (0 when empty). */
uint32_t range_set_search(const range_set *set, uint64_t offset);
/* Appends to `out` the parts of the set inside slice `slice_idx` of
 * `slice_size` bytes whose masks share a bit with `bitmask`, clipped to the
 * slice, each with mask & `bitmask`; 0 or the error of adding to `out`. */
int range_set_get_slice(const range_set *set, uint64_t slice_size, uint64_t slice_idx, uint8_t bitmask,
                        range_set *out);
/* 1 when some range overlaps [offset, offset + length) and shares a bit with
 * `bitmask`, else 0. */
int range_set_test_overlap(const range_set *set, uint64_t offset, uint64_t length, uint8_t bitmask);
/* Replaces the mask of range `idx`: 0, or -EINVAL beyond a non-zero
 * max_bitmask. */
int range_update_bitmask(range_set *set, uint32_t idx, uint8_t bitmask);

#endif
