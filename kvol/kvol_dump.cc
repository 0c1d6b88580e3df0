// Text dumps of a volume's in-memory state, one class at a time.
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

#include <uuid/uuid.h>

#include "kvol_log.h"
#include "kvol_volume.h"

namespace {

constexpr size_t kBitmapTextMax = 48767;

struct text_out {
    char *buf;
    size_t max;
    size_t len = 0;
    bool overflow = false;

    void add(const char *fmt, ...) __attribute__((format(printf, 2, 3))) {
        if (overflow)
            return;
        va_list ap;
        va_start(ap, fmt);
        int n = vsnprintf(buf + len, max - len, fmt, ap);
        va_end(ap);
        if (n < 0 || size_t(n) >= max - len) {
            overflow = true;
            buf[len] = '\0';
            return;
        }
        len += n;
    }
};

const char *uuid_text(const unsigned char *u, char out[37]) {
    uuid_unparse(u, out);
    return out;
}

void dump_mappings(const kvol_t *kvol, text_out *t) {
    char g[37];
    for (uint32_t j = 0; j < kvol->table_length; j++) {
        const kvol_mapping_t *m = kvol->mappings[j];
        t->add("va_start=%lu va_length=%zu path=%s pa_offset=%lu attribute=%u state=%u psy_blksz=%zu "
               "generation=%lu ts_create=%u ts_modify=%u gfid=%s shard_no=%u ts_failed=%u fd=%d\n",
               m->va_start, size_t(m->va_length), m->path ? m->path : "(null)", m->pa_offset, m->attribute,
               m->state, size_t(m->psy_blksz), m->generation, m->ts_create, m->ts_modify,
               uuid_text(m->gfid, g), m->shard_no, m->ts_failed, m->fd);
    }
}

void dump_super(const kvol_t *kvol, text_out *t) {
    const kvol_super_block_t &sb = kvol->sb;
    char u[37];
    t->add("\n magic=%lu\n checksum=%u\n version=%u\n generation=%lu\n uuid=%s\n amtlb_start=%lu\n "
           "amtlb_entry_num=%lu\n amtlb_entry_max=%lu\n amtlb_entry_size=%lu\n btbmp_start=%lu\n "
           "btbmp_size=%lu\n btbmp_gran=%lu\n frspc_start=%lu\n va_len_total=%lu\n va_len_avail=%lu\n "
           "phy_blksz=%u\n ts_format=%u\n ts_expand=%u\n",
           sb.sb_magic, sb.sb_checksum, sb.sb_version, sb.sb_generation, uuid_text(sb.sb_uuid, u),
           sb.sb_amtlb_start, sb.sb_amtlb_entry_num, sb.sb_amtlb_entry_max, sb.sb_amtlb_entry_size,
           sb.sb_btbmp_start, sb.sb_btbmp_size, sb.sb_btbmp_gran, sb.sb_frspc_start, sb.sb_va_len_total,
           sb.sb_va_len_avail, sb.sb_phy_blksz, sb.sb_ts_format, sb.sb_ts_expand);
}

int dump_badtrack(const kvol_t *kvol, text_out *t) {
    auto *bits = static_cast<char *>(kvol_calloc(kBitmapTextMax + 1));
    if (bits == nullptr)
        return -1;
    for (uint32_t n = 0; n < kvol->bmpblk_cnt; n++) {
        const kvol_btbmp_t &bt = kvol->bmpblks[n];
        text_out b{bits, kBitmapTextMax + 1};
        bits[0] = '\0';
        for (size_t i = 0; i < sizeof(bt.bt_bitmap); i++)
            if (bt.bt_bitmap[i] != 0)
                b.add("[%d]=%d", int(i), int(static_cast<signed char>(bt.bt_bitmap[i])));
        t->add("checksum=%u vsersion=%u magic=%lu generation=%lu state=%u valid_len=%u mtime=%u btmap=%s \n",
               bt.bt_checksum, bt.bt_version, bt.bt_magic, bt.bt_generation, bt.bt_state, bt.bt_valid_len,
               bt.bt_mtime, bits);
    }
    free(bits);
    return 0;
}

void dump_unmap(const kvol_t *kvol, text_out *t) {
    char g[37];
    for (uint32_t j = 0; j < kvol->table_length; j++) {
        const kvol_mapping_t *m = kvol->mappings[j];
        if (!(m->attribute & KVOL_ATTR_FOREIGN) || m->state != KVOL_ST_UNAVAILABLE)
            continue;
        t->add("path=%s py_offset=%lu length=%zu attribute=%u blksize=%zu gfid=%s shard_no=%u \n",
               m->path ? m->path : "(null)", m->pa_offset, size_t(m->va_length), m->attribute,
               size_t(m->psy_blksz), uuid_text(m->gfid, g), m->shard_no);
    }
}

void dump_expand(const kvol_t *kvol, text_out *t) {
    for (uint32_t j = 0; j < kvol->table_length; j++) {
        const kvol_mapping_t *m = kvol->mappings[j];
        t->add("%s %lu %lu \n", m->path ? m->path : "(null)", m->va_start, m->va_length);
    }
}

} // namespace

extern "C" KVOL_API int kvol_dump(kvol_t *kvol, int dump_class, char *buff, int maxlen) {
    if (kvol == nullptr || buff == nullptr || maxlen <= 0)
        return -EINVAL;
    if (dump_class < 0 || dump_class > KVOL_DUMP_CLASS_EXPAND) {
        kvol_log_error("dump error class=%d not find", dump_class);
        return -EINVAL;
    }
    text_out t{buff, size_t(maxlen)};
    buff[0] = '\0';
    switch (dump_class) {
    case KVOL_DUMP_CLASS_MAPPINGS: dump_mappings(kvol, &t); break;
    case KVOL_DUMP_CLASS_SUPERBLOCK: dump_super(kvol, &t); break;
    case KVOL_DUMP_CLASS_BADTRACK:
        if (dump_badtrack(kvol, &t) < 0)
            return -1;
        break;
    case KVOL_DUMP_CLASS_LOOKUP_UNMAP: dump_unmap(kvol, &t); break;
    case KVOL_DUMP_CLASS_EXPAND: dump_expand(kvol, &t); break;
    default: // statistics: nothing is kept
        break;
    }
    return t.overflow ? -1 : static_cast<int>(t.len);
}
