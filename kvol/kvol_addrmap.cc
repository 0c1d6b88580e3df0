// Address-map operations over ranges: unmap, recycle and discard.
#include <errno.h>
#include <linux/fs.h>
#include <string.h>
#include <sys/ioctl.h>

#include "kvol_badtrack.h"
#include "kvol_log.h"
#include "kvol_meta.h"
#include "kvol_notify.h"
#include "kvol_volume.h"

namespace {

int find_by_path(const kvol_t *kvol, const char *path) {
    for (uint32_t j = 0; j < kvol->table_length; j++) {
        const kvol_mapping_t *m = kvol->mappings[j];
        if (m->path != nullptr && strcmp(m->path, path) == 0)
            return static_cast<int>(j);
    }
    return -1;
}

} // namespace

extern "C" {

KVOL_API int kvol_unmap(kvol_t *kvol, uint64_t offset, uint64_t size) {
    if (kvol == nullptr || offset % KVOL_GRAN != 0 || size % KVOL_GRAN != 0) {
        kvol_log_error("unmap address not align 16m offset=%lu,size=%zu", offset, static_cast<size_t>(size));
        return -EINVAL;
    }
    int i0 = kvol_range_valid(kvol, offset, size) ? kvol_find_mapping(kvol, offset) : -1;
    int i1 = i0 >= 0 ? kvol_find_mapping(kvol, offset + size - 1) : -1;
    if (i0 < 0 || i1 < 0) {
        kvol_log_error("unmap address not find in addressmap,offset=%lu,size=%zu va_total=%lu", offset,
                       static_cast<size_t>(size), kvol->sb.sb_va_len_total);
        return -EINVAL;
    }
    uint32_t events = 0;
    uint64_t end = offset + size;
    for (int j = i0; j <= i1; j++) {
        kvol_mapping_t *m = kvol->mappings[j];
        if (kvol_mapping_empty(m) || !(m->attribute & KVOL_ATTR_FOREIGN))
            continue;
        uint64_t s = offset > m->va_start ? offset : m->va_start;
        uint64_t e = end < m->va_start + m->va_length ? end : m->va_start + m->va_length;
        if (s >= e)
            continue;
        if (kvol_mark_badtrack(kvol, s, e - s) < 0) {
            kvol_log_error("ummap mark badtrack failed index=%d,offset=%lu, size=%zu", j, s,
                           static_cast<size_t>(e - s));
            kvol_notify(kvol, events);
            return -EINVAL;
        }
        if (m->state == KVOL_ST_UNAVAILABLE) {
            kvol_log_info("kvol foreign unavalable path=%s", m->path);
            events |= KVOL_EVENT_RECYCLABLE | KVOL_EVENT_ENTRY_MODIFIED;
        } else {
            events |= KVOL_EVENT_ENTRY_MODIFIED;
        }
    }
    kvol_notify(kvol, events);
    return 0;
}

KVOL_API int kvol_recycle(kvol_t *kvol, const char *const *paths, int count) {
    if (kvol == nullptr || paths == nullptr || count <= 0)
        return -EINVAL;
    if (static_cast<uint32_t>(count) > kvol->table_length) {
        kvol_log_error("recycle count too big count=%d table_length=%u", count, kvol->table_length);
        return -EINVAL;
    }
    for (int i = 0; i < count; i++) {
        if (paths[i] == nullptr || find_by_path(kvol, paths[i]) < 0) {
            kvol_log_error("recycle failed path=%s not find", paths[i] ? paths[i] : "(null)");
            return -EINVAL;
        }
    }
    bool recycled = false;
    int ret = 0;
    for (int i = 0; i < count; i++) {
        kvol_mapping_t *m = kvol->mappings[find_by_path(kvol, paths[i])];
        if (!(m->attribute & KVOL_ATTR_FOREIGN) || m->state != KVOL_ST_UNAVAILABLE)
            continue;
        uint32_t old_modify = m->ts_modify;
        m->state = KVOL_ST_RECYCLED;
        m->ts_modify = kvol_now();
        if (kvol_sync_mapping(kvol, m) < 0) {
            kvol_log_error("recycle write mappings failed mappings=%d,offset=%lu, size=%zu", int(m->index),
                           m->va_start, static_cast<size_t>(m->va_length));
            m->state = KVOL_ST_UNAVAILABLE; // not recorded: a retry must write it
            m->ts_modify = old_modify;
            ret = -EINVAL;
            break;
        }
        recycled = true;
    }
    if (recycled)
        kvol_notify(kvol, KVOL_EVENT_RECYCLED | KVOL_EVENT_ENTRY_MODIFIED);
    return ret;
}

KVOL_API int kvol_discard(kvol_t *kvol, uint64_t offset, uint64_t size) {
    if (kvol == nullptr || !kvol_range_valid(kvol, offset, size)) {
        kvol_log_error("kvol_discard address invalid offset=%lu, size=%lu", offset, size);
        return -EINVAL;
    }
    uint64_t pos = offset, end = offset + size;
    while (pos < end) {
        int idx = kvol_find_mapping(kvol, pos);
        if (idx < 0) {
            kvol_log_error("lookup mapping failed, addr %ld", static_cast<long>(pos));
            return -EINVAL;
        }
        kvol_mapping_t *m = kvol->mappings[idx];
        uint64_t piece_end = m->va_start + m->va_length < end ? m->va_start + m->va_length : end;
        uint64_t len = piece_end - pos;
        // An unavailable or recycled backing may belong to someone else now.
        bool usable = m->state != KVOL_ST_UNAVAILABLE && m->state != KVOL_ST_RECYCLED;
        if ((m->attribute & KVOL_ATTR_DISCARD) && usable) {
            // The device bytes behind the piece: the mapping's VA starts at
            // pa_offset on its backing (mapping 0 starts after the metadata).
            uint64_t range[2] = {pos - m->va_start + m->pa_offset, len};
            if (kvol_mapping_open(kvol, m) < 0 || ioctl(m->fd, BLKDISCARD, range) != 0) {
                kvol_log_error("kvol_discard failed, ioctl error offset=%lu, size=%lu", pos, len);
                return -EINVAL;
            }
        }
        pos = piece_end;
    }
    kvol_log_info("kvol discard successed offset=%lu, size_t=%lu", offset, size);
    return 0;
}

} // extern "C"
