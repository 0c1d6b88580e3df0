#include "hxtr_dump.h"

#include <errno.h>
#include <stdlib.h>

#include "hxtr_format.h"
#include "hxtr_io.h"
#include "hxtr_log.h"

namespace {

constexpr uint64_t kChunkUnits = HXTR_MiB / HXTR_BLOCK_SIZE;

struct dump_walk {
    hxtr_params_t *params;
    const char *meta_type;
    meta_format_func_t format;
    const char *delim = "";
};

void dump_unit(dump_walk &w, int64_t no, const void *unit, int read_ret, uint64_t offset) {
    int ret = read_ret < 0 ? read_ret : w.format(no, unit, w.delim, w.params);
    if (ret == 0) {
        w.delim = ",";
    } else if (ret < 0 && w.params->filter.error != 0) {
        fprintf(w.params->out_fp, "%s{\"error\":%d, \"%s\":%ld, \"meta_offset\":%ld}\n", w.delim, -ret,
                w.meta_type, static_cast<long>(no), static_cast<long>(offset));
        w.delim = ",";
    }
}

int dump_one(hxtr_params_t *p, const char *meta_type, uint64_t meta_start, meta_format_func_t format,
             void *buf) {
    const uint64_t offset =
        meta_start + static_cast<uint64_t>(int64_t{p->meta_no} - p->base_no) * HXTR_BLOCK_SIZE;
    ssize_t n = hxtr_pread(p->fd, buf, HXTR_BLOCK_SIZE, offset);
    if (n != HXTR_BLOCK_SIZE) {
        hxtr_err("read %s %d failed:%d, offset:%ld", meta_type, p->meta_no,
                 static_cast<int>(n < 0 ? n : -EIO), static_cast<long>(offset));
        return -EIO;
    }
    int ret = format(p->meta_no, buf, "", p);
    return ret > 0 ? 0 : ret;
}

void dump_all(hxtr_params_t *p, const char *meta_type, uint64_t meta_start, uint64_t max_cnt,
              meta_format_func_t format, uint8_t *buf) {
    dump_walk w{p, meta_type, format};
    fputs("[", p->out_fp);
    for (uint64_t idx = 0; idx < max_cnt; idx += kChunkUnits) {
        const uint64_t units = max_cnt - idx < kChunkUnits ? max_cnt - idx : kChunkUnits;
        const uint64_t off = meta_start + idx * HXTR_BLOCK_SIZE;
        const size_t len = units * HXTR_BLOCK_SIZE;
        ssize_t n = hxtr_pread(p->fd, buf, len, off);
        const bool whole = n == static_cast<ssize_t>(len);
        if (!whole)
            hxtr_dbg("read %s failed:%d, offset:%ld, len:%d", meta_type, static_cast<int>(n < 0 ? n : -EIO),
                     static_cast<long>(off), static_cast<int>(len));
        for (uint64_t u = 0; u < units; u++) {
            const int64_t no = static_cast<int64_t>(idx + u) + p->base_no;
            const uint64_t uoff = off + u * HXTR_BLOCK_SIZE;
            uint8_t *unit = buf + u * HXTR_BLOCK_SIZE;
            int read_ret = 0;
            if (!whole) {
                ssize_t un = hxtr_pread(p->fd, unit, HXTR_BLOCK_SIZE, uoff);
                if (un != HXTR_BLOCK_SIZE) {
                    hxtr_dbg("read %s %ld failed:%d, offset:%ld", meta_type, static_cast<long>(no),
                             static_cast<int>(un < 0 ? un : -EIO), static_cast<long>(uoff));
                    read_ret = -EIO;
                }
            }
            dump_unit(w, no, unit, read_ret, uoff);
        }
    }
    fputs("]", p->out_fp);
}

} // namespace

int hxtr_dump_common(hxtr_params_t *p, const char *meta_type, uint64_t meta_start, uint64_t max_cnt,
                     meta_format_func_t format) {
    if (p->meta_no >= 0 &&
        (p->meta_no < p->base_no || static_cast<uint64_t>(int64_t{p->meta_no} - p->base_no) >= max_cnt)) {
        hxtr_err("invalid %s %d, max cnt:%lu", meta_type, p->meta_no, static_cast<unsigned long>(max_cnt));
        return -EINVAL;
    }
    int err;
    auto *buf = static_cast<uint8_t *>(hxtr_alloc_block(HXTR_MiB, &err));
    if (buf == nullptr) {
        hxtr_err("posix memalign failed:%d, %s:%d", err, __FILE__, __LINE__);
        return -ENOMEM;
    }
    int ret = 0;
    if (p->meta_no >= 0)
        ret = dump_one(p, meta_type, meta_start, format, buf);
    else
        dump_all(p, meta_type, meta_start, max_cnt, format, buf);
    free(buf);
    return ret;
}

int hxtr_dump_table(hxtr_params_t *p, const char *meta_type, uint64_t meta_start, uint64_t max_cnt,
                    meta_format_func_t format) {
    int ret = hxtr_dump_common(p, meta_type, meta_start, max_cnt, format);
    if (ret == 0 && p->meta_no < 0)
        fputs("\n", p->out_fp);
    return ret;
}

void hxtr_dump_emit(hxtr_params_t *p, const char *delim, const std::string &object) {
    fprintf(p->out_fp, "%s%s\n", delim, object.c_str());
}
