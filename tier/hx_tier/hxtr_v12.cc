#include "hxtr_v12.h"

#include <assert.h>
#include <errno.h>
#include <string.h>
#include <uuid/uuid.h>

#include "hxtr_brick.h"
#include "hxtr_checksum.h"
#include "hxtr_dump.h"
#include "hxtr_log.h"
#include "hxtr_repair.h"
#include "hxtr_text.h"

namespace {

constexpr uint64_t kBrickCntMax = 300;
constexpr uint64_t kInodeCntMax = 100000;
constexpr uint32_t kBlockSizeMin = 0x40000;
constexpr uint32_t kBlockSizeMax = 0x400000;

uint64_t round_up(uint64_t v, uint64_t to) {
    return (v + to - 1) / to * to;
}

} // namespace

tier_super_block_v1_t hxtr_v12_view(const void *sb) {
    return hxtr_record_load<tier_super_block_v1_t>(sb);
}

tier_super_block_v1_t hxtr_v12_sb(const hxtr_params_t *p) {
    assert(p->sb != nullptr);
    const tier_super_block_v1_t sb = hxtr_v12_view(p->sb);
    assert(sb.sb_magic == TIER_SB_MAGIC_V12 &&
           (sb.sb_version == TIER_OLD_VERSION || sb.sb_version == TIER_VERSION_V2));
    return sb;
}

uint64_t hxtr_v12_brick_start(const tier_super_block_v1_t &sb) {
    return HXTR_SB_OFFSET + static_cast<uint64_t>(sb.sb_size);
}

uint64_t hxtr_v12_inode_start(const tier_super_block_v1_t &sb) {
    return hxtr_v12_brick_start(sb) + sb.sb_brick_table_size;
}

uint64_t hxtr_v12_extent_start(const tier_super_block_v1_t &sb) {
    return hxtr_v12_inode_start(sb) + sb.sb_inode_table_size;
}

namespace {

using SbV12 = tier_super_block_v1_t;

// The super block fields both versions share, in the order of both forms.
// The version word is read by hxtr_v12_sb_parse_head where its row stands.
constexpr hxtr_jfield kSbHead[] = {
    HXTR_JF_AS(SbV12, sb_checksum, "checksum", HXTR_JFORM_HEX),
    HXTR_JF_AS(SbV12, sb_magic, "magic", HXTR_JFORM_HEX),
    HXTR_JF(SbV12, sb_brick_table_size, "brick_table_size", true),
    HXTR_JF(SbV12, sb_inode_table_size, "inode_table_size", true),
    HXTR_JF(SbV12, sb_extent_table_size, "extent_table_size", true),
    HXTR_JF(SbV12, sb_data_offset, "data_offset", true),
    HXTR_JF_AS(SbV12, sb_ctime, "ctime", HXTR_JFORM_CTIME),
    HXTR_JF_AS(SbV12, sb_uuid, "uuid", HXTR_JFORM_UUID),
    HXTR_JF_AS(SbV12, sb_ssd_uuid, "ssd_uuid", HXTR_JFORM_TEXT),
    HXTR_JF_AS(SbV12, sb_version, "version", HXTR_JFORM_HEX),
    HXTR_JF(SbV12, sb_size, "super block size", true),
    HXTR_JF(SbV12, sb_brick_cnt, "brick_cnt", true),
    HXTR_JF(SbV12, sb_inode_cnt, "inode_cnt", true),
    HXTR_JF(SbV12, sb_block_size, "block_size", true),
    HXTR_JF(SbV12, sb_block_cnt, "block_cnt", true),
    HXTR_JF(SbV12, sb_extent_size, "extent_size", true),
};
constexpr size_t kSbVersionRow = hxtr_field_index(kSbHead, "version");
static_assert(kSbVersionRow < std::size(kSbHead));

} // namespace

void hxtr_v12_sb_json_head(std::string &s, const tier_super_block_v1_t &sb) {
    s += "{";
    hxtr_fields_text(s, kSbHead, &sb);
}

int hxtr_v12_sb_parse_head(const hxtr_json_t *json, tier_super_block_v1_t *sb) {
    const std::span<const hxtr_jfield> head(kSbHead);
    if (hxtr_fields_read(json, json->root, head.first(kSbVersionRow), sb) < 0)
        return -EINVAL;
    uint64_t version;
    if (hxtr_json_get_hex(json->root, "version", 31, &version) < 0)
        return -EINVAL;
    if (version > UINT32_MAX) {
        hxtr_err("parse %s failed", "version");
        return -EINVAL;
    }
    sb->sb_version = static_cast<uint32_t>(version);
    return hxtr_fields_read(json, json->root, head.subspan(kSbVersionRow + 1), sb);
}

bool hxtr_v12_rule_ok(hxtr_v12_rule rule, const tier_super_block_v1_t &sb, const char *func) {
    // Rules are checked in order and each one may rely on those before it
    // (bounded table sizes), so no sum below can wrap.
    const uint64_t head = HXTR_SB_OFFSET + static_cast<uint64_t>(sb.sb_size) + sb.sb_brick_table_size;
    switch (rule) {
    case HXTR_V12_RULE_SB_SIZE:
        if (sb.sb_size == HXTR_SB_AREA_SIZE)
            return true;
        hxtr_log_msg(HXTR_LOG_ERROR, func, __LINE__, "sb size is invalid. expect:%u, real:%u",
                     HXTR_SB_AREA_SIZE, sb.sb_size);
        return false;
    case HXTR_V12_RULE_BRICK:
        if (sb.sb_brick_cnt >= 1 && sb.sb_brick_cnt <= kBrickCntMax &&
            sb.sb_brick_table_size == static_cast<uint64_t>(sb.sb_brick_cnt) * HXTR_BLOCK_SIZE)
            return true;
        hxtr_log_msg(HXTR_LOG_ERROR, func, __LINE__,
                     "brick params is invalid. brick_cnt:%u, brick_table_size:%lu, expect brick_cnt:[%u-%u]",
                     sb.sb_brick_cnt, static_cast<unsigned long>(sb.sb_brick_table_size), 1u,
                     static_cast<unsigned>(kBrickCntMax));
        return false;
    case HXTR_V12_RULE_INODE:
        if (sb.sb_inode_cnt >= 1 && sb.sb_inode_cnt <= kInodeCntMax &&
            sb.sb_inode_table_size ==
                round_up(head + static_cast<uint64_t>(sb.sb_inode_cnt) * HXTR_BLOCK_SIZE, HXTR_MiB) - head)
            return true;
        hxtr_log_msg(HXTR_LOG_ERROR, func, __LINE__,
                     "inode params is invalid. inode_cnt:%u, itable_size:%lu, expect inode_cnt:[%d-%d]",
                     sb.sb_inode_cnt, static_cast<unsigned long>(sb.sb_inode_table_size), 1,
                     static_cast<int>(kInodeCntMax));
        return false;
    case HXTR_V12_RULE_BLOCK_SIZE:
        if (sb.sb_block_size >= kBlockSizeMin && sb.sb_block_size <= kBlockSizeMax &&
            sb.sb_block_size % HXTR_BLOCK_SIZE == 0)
            return true;
        hxtr_log_msg(HXTR_LOG_ERROR, func, __LINE__,
                     "block size(%u) is invalid. expect block_size:[%u-%u] and must 4k aligned",
                     sb.sb_block_size, kBlockSizeMin, kBlockSizeMax);
        return false;
    case HXTR_V12_RULE_EXTENT_TABLE:
        if (sb.sb_extent_table_size == static_cast<uint64_t>(sb.sb_block_cnt) * HXTR_BLOCK_SIZE)
            return true;
        hxtr_log_msg(HXTR_LOG_ERROR, func, __LINE__, "extent table size(%lu) is invalid. block_cnt:%u",
                     static_cast<unsigned long>(sb.sb_extent_table_size), sb.sb_block_cnt);
        return false;
    case HXTR_V12_RULE_DATA_OFFSET: {
        const uint64_t expect =
            round_up(head + sb.sb_inode_table_size + sb.sb_extent_table_size + 2 * HXTR_MiB, HXTR_MiB);
        if (sb.sb_data_offset == expect)
            return true;
        hxtr_log_msg(HXTR_LOG_ERROR, func, __LINE__, "data offset(%lu) is invalid. expect:%lu",
                     static_cast<unsigned long>(sb.sb_data_offset), static_cast<unsigned long>(expect));
        return false;
    }
    case HXTR_V12_RULE_SSD_UUID: {
        const size_t len = hxtr_field_len(sb.sb_ssd_uuid, sizeof(sb.sb_ssd_uuid));
        if (len == TIER_SSD_UUID_TEXT_LEN)
            return true;
        hxtr_log_msg(HXTR_LOG_ERROR, func, __LINE__, "ssd uuid(%s) length(%ld) is invalid. expect:%ld",
                     hxtr_json_text(sb.sb_ssd_uuid, sizeof(sb.sb_ssd_uuid)).c_str(), static_cast<long>(len),
                     static_cast<long>(TIER_SSD_UUID_TEXT_LEN));
        return false;
    }
    }
    return false;
}

namespace {

int brick_format(int64_t no, const void *unit, const char *delim, hxtr_params_t *p) {
    const uint64_t off = hxtr_unit_offset(hxtr_v12_brick_start(hxtr_v12_sb(p)), no);
    return hxtr_brick_format(TIER_BRICK_MAGIC_V12, no, unit, delim, p, off);
}

} // namespace

int hxtr_v12_dump_brick(hxtr_params_t *p) {
    const tier_super_block_v1_t sb = hxtr_v12_sb(p);
    return hxtr_dump_table(p, "bi_no", hxtr_v12_brick_start(sb), sb.sb_brick_cnt, brick_format);
}

int64_t hxtr_v12_parse_brick(hxtr_params_t *p, const hxtr_json_t *json, void *block) {
    const tier_super_block_v1_t sb = hxtr_v12_sb(p);
    return hxtr_brick_build(json, TIER_BRICK_MAGIC_V12, sb.sb_brick_cnt, hxtr_v12_brick_start(sb), block);
}

void hxtr_v12_extent_json_head(std::string &s, const void *unit) {
    const auto te = hxtr_record_load<tier_extent_v2_t>(unit);
    hxtr_appendf(s,
                 "{\"te_checksum\":\"0x%x\",\"te_block\":%u,\"te_size\":%lu,\"te_inode_no\":%u,"
                 "\"te_sampling_low\":\"%08x\",\"te_sampling_mid\":%u,\"te_sampling_high\":%u,"
                 "\"te_use\":%hu,\"te_clean\":%hu,\"te_ntime\":%u,\"te_hot\":%lu,\"te_no\":%lu",
                 te.te_checksum, te.te_block, static_cast<unsigned long>(te.te_size), te.te_inode_no,
                 __builtin_bswap32(te.te_sampling_low), te.te_sampling_mid, te.te_sampling_high, te.te_use,
                 te.te_clean, te.te_ntime, static_cast<unsigned long>(te.te_hot),
                 static_cast<unsigned long>(te.te_reserved1));
}

namespace {

int hxtr_v12_extent_check(int64_t no, const void *unit, uint64_t crc_len_end) {
    const auto te = hxtr_record_load<tier_extent_v2_t>(unit);
    const uint32_t crc =
        hxtr_record_crc(unit, crc_len_end > HXTR_CKSUM_FROM ? crc_len_end - HXTR_CKSUM_FROM : 0);
    if (te.te_reserved1 == static_cast<uint64_t>(no) && te.te_checksum == crc)
        return 0;
    hxtr_err("extent no: %lu, checksum: 0x%x crc32: 0x%x", static_cast<unsigned long>(no), te.te_checksum,
             crc);
    return -EFAULT;
}

// Filter of a good extent record: true when it is kept (else logged).
bool hxtr_v12_extent_keep(int64_t no, const void *unit, const hxtr_filter_t &f) {
    const auto te = hxtr_record_load<tier_extent_v2_t>(unit);
    if (f.error == 1 || (f.use >= 0 && (f.use != 0) != (te.te_use != 0)) ||
        (f.owner >= 0 && (te.te_use == 0 || te.te_inode_no != static_cast<uint32_t>(f.owner)))) {
        hxtr_dbg("ignore extent %ld, te_use:%u, te_brick_no:%u", static_cast<long>(no), te.te_use,
                 te.te_inode_no);
        return false;
    }
    return true;
}

} // namespace

int hxtr_v12_extent_format(int64_t no, const void *unit, const char *delim, hxtr_params_t *p,
                           uint64_t crc_len_end, hxtr_v12_extent_form_t form) {
    if (hxtr_v12_extent_check(no, unit, crc_len_end) < 0) {
        hxtr_log_text(form(unit, p, 0).c_str());
        return -EFAULT;
    }
    if (!hxtr_v12_extent_keep(no, unit, p->filter))
        return 1;
    const uint64_t off = hxtr_unit_offset(hxtr_v12_extent_start(hxtr_v12_sb(p)), no);
    hxtr_dump_emit(p, delim, form(unit, p, static_cast<int64_t>(off)));
    return 0;
}

int hxtr_v12_extent_parse_head(const hxtr_json_t *json, tier_extent_v2_t *te) {
    static const hxtr_jfield head[] = {
        HXTR_JF(tier_extent_v2_t, te_use, "te_use", true),
        HXTR_JF(tier_extent_v2_t, te_reserved1, "te_no", true),
    };
    return hxtr_fields_read(json, json->root, head, te);
}

int64_t hxtr_v12_extent_finish(hxtr_params_t *p, void *block, const tier_extent_v2_t &te,
                               uint64_t crc_len_end, hxtr_v12_extent_form_t form) {
    const tier_super_block_v1_t sb = hxtr_v12_sb(p);
    if (te.te_reserved1 >= sb.sb_block_cnt || te.te_inode_no >= sb.sb_inode_cnt) {
        hxtr_err("te_no %lu or i_no %u is invalid, block_cnt:%u, inode_cnt:%u",
                 static_cast<unsigned long>(te.te_reserved1), te.te_inode_no, sb.sb_block_cnt,
                 sb.sb_inode_cnt);
        return -EINVAL;
    }
    hxtr_record_seal(block, te, &tier_extent_v2_t::te_checksum,
                     crc_len_end > HXTR_CKSUM_FROM ? crc_len_end - HXTR_CKSUM_FROM : 0);
    return hxtr_repair_place(hxtr_unit_offset(hxtr_v12_extent_start(sb), te.te_reserved1),
                             [&](int64_t off) { return form(block, p, off); });
}

uint64_t hxtr_v12_bitmap_words(uint32_t extent_size) {
    uint64_t end = extent_size < HXTR_BLOCK_SIZE ? extent_size : HXTR_BLOCK_SIZE;
    return end > TIER_EXTENT_BITMAP_OFFSET ? (end - TIER_EXTENT_BITMAP_OFFSET) / 8 : 0;
}
