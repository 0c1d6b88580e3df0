#include "hxtr_brick.h"

#include <errno.h>
#include <string.h>
#include <uuid/uuid.h>

#include "hxtr_checksum.h"
#include "hxtr_dump.h"
#include "hxtr_format.h"
#include "hxtr_log.h"
#include "hxtr_repair.h"
#include "hxtr_text.h"

namespace {

constexpr uint64_t kBrickCrcLen = sizeof(tier_brick_info_v3_t) - HXTR_CKSUM_FROM;

bool field_equals(const char *field, size_t cap, const char *text) {
    const size_t len = hxtr_field_len(field, cap);
    return strlen(text) == len && memcmp(field, text, len) == 0;
}

} // namespace

std::string hxtr_brick_json(const void *unit, int64_t meta_offset) {
    const auto b = hxtr_record_load<tier_brick_info_v3_t>(unit);
    std::string s;
    hxtr_appendf(s,
                 "{\"bi_checksum\":\"0x%x\",\"bi_magic\":\"0x%x\",\"bi_use\":%u,\"bi_no\":%u,"
                 "\"bi_uuid\":\"%s\",\"bi_brickid\":\"%s\",\"bi_unlink\":%u,\"bi_reserved\":%u,"
                 "\"meta_offset\":%ld}",
                 b.bi_checksum, b.bi_magic, b.bi_use, b.bi_no, hxtr_uuid_text(b.bi_uuid).c_str(),
                 hxtr_json_text(b.bi_brickid, sizeof(b.bi_brickid)).c_str(), b.bi_unlink, b.bi_reserved,
                 static_cast<long>(meta_offset));
    return s;
}

int hxtr_brick_format(uint32_t magic, int64_t no, const void *unit, const char *delim, hxtr_params_t *p,
                      uint64_t offset) {
    const auto b = hxtr_record_load<tier_brick_info_v3_t>(unit);
    const uint32_t crc = hxtr_record_crc(unit, kBrickCrcLen);
    if (b.bi_magic != magic || b.bi_no != static_cast<uint64_t>(no) || b.bi_checksum != crc) {
        hxtr_err("no:%ld, brick no: %u magic: 0x%x, checksum: 0x%x crc32: 0x%x", static_cast<long>(no),
                 b.bi_no, b.bi_magic, b.bi_checksum, crc);
        hxtr_log_text(hxtr_brick_json(unit, 0).c_str());
        return -EFAULT;
    }
    const hxtr_filter_t &f = p->filter;
    const std::string id = hxtr_json_text(b.bi_brickid, sizeof(b.bi_brickid));
    if (f.error == 1 || (f.use >= 0 && (f.use != 0) != (b.bi_use != 0)) ||
        (f.id != nullptr && !field_equals(b.bi_brickid, sizeof(b.bi_brickid), f.id))) {
        hxtr_dbg("ignore brick %ld, bi_use=%u, bi_brickid=%s", static_cast<long>(no), b.bi_use, id.c_str());
        return 1;
    }
    hxtr_dump_emit(p, delim, hxtr_brick_json(unit, static_cast<int64_t>(offset)));
    return 0;
}

int64_t hxtr_brick_build(const hxtr_json_t *json, uint32_t magic, uint64_t brick_cnt, uint64_t table,
                         void *block) {
    static const hxtr_jfield head[] = {
        HXTR_JF(tier_brick_info_v3_t, bi_use, "bi_use", true),
        HXTR_JF(tier_brick_info_v3_t, bi_no, "bi_no", true),
    };
    static const hxtr_jfield tail[] = {
        HXTR_JF(tier_brick_info_v3_t, bi_unlink, "bi_unlink", false),
    };
    tier_brick_info_v3_t b;
    memset(&b, 0, sizeof(b));
    const cJSON *root = json->root;
    if (hxtr_fields_read(json, root, head, &b) < 0)
        return -EINVAL;
    if (b.bi_use != 0) {
        if (hxtr_json_get_uuid(root, "bi_uuid", b.bi_uuid) < 0)
            return -EINVAL;
        const char *id = hxtr_json_get_text(root, "bi_brickid");
        if (id == nullptr)
            return -EINVAL;
        const size_t len = strnlen(id, sizeof(b.bi_brickid) - 1);
        if (len != TIER_BRICKID_TEXT_LEN) {
            hxtr_err("parse %s failed", "bi_brickid");
            return -EINVAL;
        }
        memcpy(b.bi_brickid, id, len);
        if (hxtr_fields_read(json, root, tail, &b) < 0)
            return -EINVAL;
    } else {
        uuid_generate(b.bi_uuid);
    }
    if (b.bi_no >= brick_cnt) {
        hxtr_err("bi_no %u is invalid, max: %lu", b.bi_no, static_cast<unsigned long>(brick_cnt));
        return -EINVAL;
    }
    b.bi_magic = magic;
    hxtr_record_seal(block, b, &tier_brick_info_v3_t::bi_checksum);
    return hxtr_repair_place(hxtr_unit_offset(table, b.bi_no),
                             [&](int64_t off) { return hxtr_brick_json(block, off); });
}
