// Range sets: adding with cuts, merging into the canonical form by a sweep
// over range boundaries, and queries on the merged form.
//
// Programming errors (querying an unmerged set, an inconsistent attribute
// pair, an index out of range) abort in every build type.
#undef NDEBUG
#include <assert.h>

#include "range_merge.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

namespace {

inline uint64_t end_of(const range &r) {
    return r.offset + r.length;
}

void check_attr(const range_set_attr &a) {
    assert(a.slice_size == 0 || a.slice_size >= a.max_length);
    (void)a;
}

int append(range_set *set, uint64_t offset, uint64_t length, uint8_t bitmask) {
    const range_set_attr &a = set->attr;
    if ((a.max_offset && offset > a.max_offset) || (a.max_bitmask && bitmask > a.max_bitmask))
        return -EINVAL;
    assert(a.max_length == 0 || length <= a.max_length);
    if (set->cur_cnt == set->max_cnt) {
        uint64_t cnt = (uint64_t)set->max_cnt + a.base_cnt;
        if (cnt > UINT32_MAX)
            return -ENOMEM;
        range *grown = (range *)realloc(set->ranges, cnt * sizeof(range));
        if (!grown)
            return -ENOMEM;
        set->ranges = grown;
        set->max_cnt = (uint32_t)cnt;
    }
    range &r = set->ranges[set->cur_cnt++];
    memset(&r, 0, sizeof(r));
    r.offset = offset;
    r.length = length;
    r.bitmask = bitmask;
    set->is_merged = 0;
    return 0;
}

// One boundary of an added range: its mask starts (+1) or stops (-1)
// covering bytes at `pos`.
struct Edge {
    uint64_t pos;
    uint8_t mask;
    int8_t delta;
};

void check_merged(const range_set *set) {
    assert(set->cur_cnt == 0 || set->is_merged);
    (void)set;
}

} // namespace

void range_set_init(range_set *set, const range_set_attr *attr) {
    memset(set, 0, sizeof(*set));
    if (attr)
        set->attr = *attr;
    if (set->attr.base_cnt == 0)
        set->attr.base_cnt = RANGE_SET_BASE_CNT;
    check_attr(set->attr);
}

void range_set_fini(range_set *set) {
    free(set->ranges);
    set->ranges = nullptr;
    set->max_cnt = set->cur_cnt = 0;
    set->is_merged = 0;
}

void range_set_clear(range_set *set) {
    set->cur_cnt = 0;
    set->is_merged = 0;
}

int range_set_add(range_set *set, uint64_t offset, uint64_t length, uint8_t bitmask) {
    if (length == 0 || bitmask == 0 || offset + length < offset)
        return -EINVAL;
    const range_set_attr &a = set->attr;
    if (a.max_length == 0 && a.slice_size == 0)
        return append(set, offset, length, bitmask);
    while (length > 0) {
        uint64_t piece = length;
        if (a.max_length && piece > a.max_length)
            piece = a.max_length;
        if (a.slice_size) {
            uint64_t to_boundary = a.slice_size - offset % a.slice_size;
            if (piece > to_boundary)
                piece = to_boundary;
        }
        int ret = append(set, offset, piece, bitmask);
        if (ret < 0)
            return ret;
        offset += piece;
        length -= piece;
    }
    return 0;
}

int range_set_merge(range_set *set, const range_set_attr *attr) {
    if (set->cur_cnt == 0 && !attr)
        return 0;
    if (set->is_merged && !attr)
        return 0;
    range_set fresh;
    range_set_init(&fresh, attr ? attr : &set->attr);
    if (set->cur_cnt == 0) {
        set->attr = fresh.attr;
        set->is_merged = 1;
        return 0;
    }

    size_t n = (size_t)set->cur_cnt * 2;
    Edge *edges = (Edge *)malloc(n * sizeof(Edge));
    if (!edges)
        return -ENOMEM;
    for (uint32_t i = 0; i < set->cur_cnt; i++) {
        const range &r = set->ranges[i];
        edges[2 * i] = {r.offset, r.bitmask, 1};
        edges[2 * i + 1] = {end_of(r), r.bitmask, -1};
    }
    std::sort(edges, edges + n, [](const Edge &x, const Edge &y) { return x.pos < y.pos; });

    // Sweep: between two boundaries the mask is every bit some covering range
    // carries; runs of equal masks are emitted as one range.
    uint32_t cover[8] = {};
    uint64_t run_start = 0;
    uint8_t run_mask = 0;
    int ret = 0;
    for (size_t i = 0; i < n && ret == 0;) {
        uint64_t pos = edges[i].pos;
        for (; i < n && edges[i].pos == pos; i++)
            for (int b = 0; b < 8; b++)
                if (edges[i].mask & (1u << b))
                    cover[b] += (uint32_t)edges[i].delta;
        uint8_t mask = 0;
        for (int b = 0; b < 8; b++)
            if (cover[b])
                mask |= (uint8_t)(1u << b);
        if (mask == run_mask)
            continue;
        if (run_mask)
            ret = range_set_add(&fresh, run_start, pos - run_start, run_mask);
        run_start = pos;
        run_mask = mask;
    }
    free(edges);
    if (ret < 0) {
        range_set_fini(&fresh);
        return ret;
    }
    free(set->ranges);
    *set = fresh;
    set->is_merged = 1;
    return 0;
}

uint32_t range_set_search(const range_set *set, uint64_t offset) {
    check_merged(set);
    if (set->cur_cnt == 0)
        return 0;
    // The last range starting at or before `offset` (or the first range):
    // no earlier range can reach `offset`, the ranges being disjoint.
    uint32_t lo = 0, hi = set->cur_cnt - 1;
    while (lo < hi) {
        uint32_t mid = lo + (hi - lo + 1) / 2;
        uint64_t o = set->ranges[mid].offset;
        if (o == offset)
            return mid;
        if (o < offset)
            lo = mid;
        else
            hi = mid - 1;
    }
    return lo;
}

int range_set_get_slice(const range_set *set, uint64_t slice_size, uint64_t slice_idx, uint8_t bitmask,
                        range_set *out) {
    check_merged(set);
    assert(slice_size > 0);
    uint64_t ws = slice_idx * slice_size, we = ws + slice_size;
    for (uint32_t i = range_set_search(set, ws); i < set->cur_cnt; i++) {
        const range &r = set->ranges[i];
        if (r.offset >= we)
            break;
        uint64_t s = std::max(r.offset, ws), e = std::min(end_of(r), we);
        if (s >= e || !(r.bitmask & bitmask))
            continue;
        int ret = range_set_add(out, s, e - s, r.bitmask & bitmask);
        if (ret < 0)
            return ret;
    }
    return 0;
}

int range_set_test_overlap(const range_set *set, uint64_t offset, uint64_t length, uint8_t bitmask) {
    check_merged(set);
    uint64_t end = offset + length;
    for (uint32_t i = range_set_search(set, offset); i < set->cur_cnt; i++) {
        const range &r = set->ranges[i];
        if (r.offset >= end)
            break;
        if (end_of(r) > offset && (r.bitmask & bitmask))
            return 1;
    }
    return 0;
}

int range_update_bitmask(range_set *set, uint32_t idx, uint8_t bitmask) {
    assert(idx < set->cur_cnt);
    if (set->attr.max_bitmask && bitmask > set->attr.max_bitmask)
        return -EINVAL;
    set->ranges[idx].bitmask = bitmask;
    return 0;
}
