#include "hxtr_inode.h"

#include <errno.h>
#include <stdint.h>
#include <string.h>
#include <strings.h>

#include "hxtr_checksum.h"
#include "hxtr_dump.h"
#include "hxtr_format.h"
#include "hxtr_log.h"
#include "hxtr_text.h"

namespace {

// v1, v2 and v3 agree on size and bytes 0..79 (tier_inode_head_layout); the
// v2 struct reads them for all.

constexpr uint64_t kInodeCrcLen = sizeof(tier_inode_v2_t) - HXTR_CKSUM_FROM;

uint32_t inode_magic(hxtr_inode_kind kind) {
    return kind == HXTR_INODE_V3 ? TIER_INODE_MAGIC_V3 : TIER_INODE_MAGIC_V12;
}

} // namespace

std::string hxtr_inode_json(hxtr_inode_kind kind, const void *unit, int64_t meta_offset) {
    const auto in = hxtr_record_load<tier_inode_v2_t>(unit);
    std::string s;
    hxtr_appendf(s,
                 "{\"checksum\":\"0x%x\",\"magic\":\"0x%x\",\"atime\":\"%s\",\"ctime\":\"%s\","
                 "\"mtime\":\"%s\",\"dtime\":\"%s\",\"uuid\":\"%s\",\"size\":%lu,\"priority\":%u,"
                 "\"no\":%u,\"brick_no\":%u,\"unlink\":%hu,\"use\":%hu,",
                 in.i_checksum, in.i_magic, hxtr_time_text(in.i_atime).c_str(),
                 hxtr_time_text(in.i_ctime).c_str(), hxtr_time_text(in.i_mtime).c_str(),
                 hxtr_time_text(in.i_dtime).c_str(), hxtr_uuid_text(in.i_uuid).c_str(),
                 static_cast<unsigned long>(in.i_size), in.i_priority, in.i_no, in.i_brick_no, in.i_unlink,
                 in.i_use);
    // Bytes 80..95: new_data and i_blocks (v2, v3) or two reserved words (v1).
    if (kind == HXTR_INODE_V1) {
        const auto v1 = hxtr_record_load<tier_inode_v1_t>(unit);
        hxtr_appendf(s, "\"reserved1\":%lu,\"reserved2\":%lu,", static_cast<unsigned long>(v1.i_reserved1),
                     static_cast<unsigned long>(v1.i_reserved2));
    } else {
        hxtr_appendf(s, "\"new_data\":%lu,\"blocks\":%lu,", static_cast<unsigned long>(in.new_data),
                     static_cast<unsigned long>(in.i_blocks));
    }
    hxtr_appendf(s, "\"meta_offset\":%ld}", static_cast<long>(meta_offset));
    return s;
}

bool hxtr_inode_valid(hxtr_inode_kind kind, const void *unit, uint32_t no, hxtr_inode_seen *seen) {
    const auto in = hxtr_record_load<tier_inode_v2_t>(unit);
    seen->no = in.i_no;
    seen->magic = in.i_magic;
    seen->checksum = in.i_checksum;
    seen->crc = hxtr_record_crc(unit, kInodeCrcLen);
    return in.i_magic == inode_magic(kind) && in.i_no == no && in.i_checksum == seen->crc;
}

int hxtr_inode_format(hxtr_inode_kind kind, int64_t no, const void *unit, const char *delim, hxtr_params_t *p,
                      uint64_t offset) {
    hxtr_inode_seen seen;
    if (no < 0 || no > UINT32_MAX || !hxtr_inode_valid(kind, unit, static_cast<uint32_t>(no), &seen)) {
        if (kind == HXTR_INODE_V2)
            hxtr_err("inode no: %ld no: %u magic: 0x%x, checksum: 0x%x crc32: 0x%x", static_cast<long>(no),
                     seen.no, seen.magic, seen.checksum, seen.crc);
        else
            hxtr_err("inode no: %ld magic: 0x%x, checksum: 0x%x crc32: 0x%x", static_cast<long>(no),
                     seen.magic, seen.checksum, seen.crc);
        hxtr_log_text(hxtr_inode_json(kind, unit, 0).c_str());
        return -EFAULT;
    }
    const auto in = hxtr_record_load<tier_inode_v2_t>(unit);
    const hxtr_filter_t &f = p->filter;
    const std::string uuid = hxtr_uuid_text(in.i_uuid);
    if (f.error == 1 || (f.use >= 0 && (f.use != 0) != (in.i_use != 0)) ||
        (f.id != nullptr && strcasecmp(uuid.c_str(), f.id) != 0) ||
        (f.owner >= 0 && (in.i_use == 0 || in.i_brick_no != static_cast<uint32_t>(f.owner)))) {
        hxtr_dbg("ignore inode %ld, i_use:%u, i_uuid:%s, i_brick_no:%u", static_cast<long>(no), in.i_use,
                 uuid.c_str(), in.i_brick_no);
        return 1;
    }
    hxtr_dump_emit(p, delim, hxtr_inode_json(kind, unit, static_cast<int64_t>(offset)));
    return 0;
}

int hxtr_inode_build(hxtr_inode_kind kind, const hxtr_json_t *json, void *block, uint32_t *i_no,
                     uint32_t *brick_no) {
    // A v3 inode number is signed: numbers past INT32_MAX would turn negative.
    const uint64_t no_max = kind == HXTR_INODE_V3 ? INT32_MAX : UINT32_MAX;
    const hxtr_jfield head[] = {
        {"i_no", offsetof(tier_inode_v2_t, i_no), 4, true, no_max},
        HXTR_JF(tier_inode_v2_t, i_use, "i_use", true),
    };
    static const hxtr_jfield times[] = {
        HXTR_JF(tier_inode_v2_t, i_atime, "i_atime", false),
        HXTR_JF(tier_inode_v2_t, i_ctime, "i_ctime", false),
        HXTR_JF(tier_inode_v2_t, i_mtime, "i_mtime", false),
        HXTR_JF(tier_inode_v2_t, i_dtime, "i_dtime", false),
    };
    static const hxtr_jfield body[] = {
        HXTR_JF(tier_inode_v2_t, i_size, "i_size", true),
        HXTR_JF(tier_inode_v2_t, i_priority, "i_priority", true),
        HXTR_JF(tier_inode_v2_t, i_brick_no, "i_brick_no", true),
        HXTR_JF(tier_inode_v2_t, i_unlink, "i_unlink", false),
        HXTR_JF(tier_inode_v2_t, new_data, "new_data", false),
        HXTR_JF(tier_inode_v2_t, i_blocks, "i_blocks", false),
    };
    // v1 has reserved words where new_data and i_blocks are: not read.
    const size_t body_cnt = kind == HXTR_INODE_V1 ? 4 : 6;

    tier_inode_v2_t in;
    memset(&in, 0, sizeof(in));
    const cJSON *root = json->root;
    if (hxtr_fields_read(json, root, head, &in) < 0)
        return -EINVAL;
    if (in.i_use != 0) {
        if (hxtr_fields_read(json, root, times, &in) < 0 ||
            hxtr_json_get_uuid(root, "i_uuid", in.i_uuid) < 0 ||
            hxtr_fields_read(json, root, std::span(body).first(body_cnt), &in) < 0)
            return -EINVAL;
    }
    in.i_magic = inode_magic(kind);
    hxtr_record_seal(block, in, &tier_inode_v2_t::i_checksum);
    *i_no = in.i_no;
    *brick_no = in.i_brick_no;
    return 0;
}
