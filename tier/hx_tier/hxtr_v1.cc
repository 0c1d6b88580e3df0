// Version 1 of the tier metadata: super block of 144 bytes (magic 0xcacbcccd,
// version 0x10000), bricks, inodes with two reserved words, and extent records
// of sb_extent_size bytes (header and te_bitmap) without mapped meta.
#include <assert.h>
#include <errno.h>
#include <string.h>

#include "hxtr_checksum.h"
#include "hxtr_dump.h"
#include "hxtr_inode.h"
#include "hxtr_log.h"
#include "hxtr_repair.h"
#include "hxtr_text.h"
#include "hxtr_v12.h"
#include "hxtr_version.h"

namespace {

bool v1_sb_match(const void *sb) {
    return hxtr_sb_matches<tier_super_block_v1_t>(sb, TIER_SB_MAGIC_V12, TIER_OLD_VERSION);
}

tier_super_block_v1_t v1_sb(const hxtr_params_t *p) {
    assert(p->sb != nullptr && v1_sb_match(p->sb));
    return hxtr_v12_view(p->sb);
}

std::string v1_sb_json(const tier_super_block_v1_t &sb) {
    std::string s;
    hxtr_v12_sb_json_head(s, sb);
    hxtr_appendf(s, ",\"sb_reserved\":%u}", sb.sb_reserved);
    return s;
}

// An extent record of sb_extent_size bytes holds the 56-byte header and fits
// its block; refused sizes are logged under the checking function `func`.
bool extent_size_ok(const tier_super_block_v1_t &sb, const char *func) {
    if (sb.sb_extent_size >= TIER_EXTENT_BITMAP_OFFSET && sb.sb_extent_size <= HXTR_BLOCK_SIZE)
        return true;
    hxtr_log_msg(HXTR_LOG_ERROR, func, __LINE__, "extent size(%u) is invalid. expect size:[%lu-4096]",
                 sb.sb_extent_size, static_cast<unsigned long>(TIER_EXTENT_BITMAP_OFFSET));
    return false;
}

int __check_sb_params_v1(const tier_super_block_v1_t &sb) {
    static const hxtr_v12_rule before[] = {HXTR_V12_RULE_SB_SIZE, HXTR_V12_RULE_BRICK, HXTR_V12_RULE_INODE,
                                           HXTR_V12_RULE_BLOCK_SIZE};
    static const hxtr_v12_rule after[] = {HXTR_V12_RULE_EXTENT_TABLE, HXTR_V12_RULE_DATA_OFFSET,
                                          HXTR_V12_RULE_SSD_UUID};
    for (hxtr_v12_rule r : before)
        if (!hxtr_v12_rule_ok(r, sb, __func__))
            return -EINVAL;
    if (!extent_size_ok(sb, __func__))
        return -EINVAL;
    for (hxtr_v12_rule r : after)
        if (!hxtr_v12_rule_ok(r, sb, __func__))
            return -EINVAL;
    return 0;
}

/* ---- dump */

int v1_dump_super(hxtr_params_t *p) {
    hxtr_dump_emit(p, "", v1_sb_json(v1_sb(p)));
    return 0;
}

int v1_inode_format(int64_t no, const void *unit, const char *delim, hxtr_params_t *p) {
    const uint64_t off = hxtr_unit_offset(hxtr_v12_inode_start(v1_sb(p)), no);
    return hxtr_inode_format(HXTR_INODE_V1, no, unit, delim, p, off);
}

int v1_dump_inode(hxtr_params_t *p) {
    const tier_super_block_v1_t sb = v1_sb(p);
    return hxtr_dump_table(p, "no", hxtr_v12_inode_start(sb), sb.sb_inode_cnt, v1_inode_format);
}

std::string v1_extent_json(const void *unit, const hxtr_params_t *p, int64_t meta_offset) {
    const tier_super_block_v1_t sb = v1_sb(p);
    std::string s;
    hxtr_v12_extent_json_head(s, unit);
    hxtr_appendf(s, ",\"meta_offset\":%ld,\"te_bitmap\":\"", static_cast<long>(meta_offset));
    // Each word as "0x%016lx " (19 characters); the text stays below
    // sb_extent_size * 3 - 168 bytes, whole words only.
    const int64_t limit = static_cast<int64_t>(sb.sb_extent_size) * 3 - 168;
    const uint64_t words = hxtr_v12_bitmap_words(sb.sb_extent_size);
    int64_t len = 0;
    for (uint64_t i = 0; i < words && len + 19 < limit; i++, len += 19) {
        uint64_t w;
        memcpy(&w, static_cast<const uint8_t *>(unit) + TIER_EXTENT_BITMAP_OFFSET + i * 8, sizeof(w));
        hxtr_appendf(s, "0x%016lx ", static_cast<unsigned long>(w));
    }
    s += "\"}";
    return s;
}

int v1_extent_format(int64_t no, const void *unit, const char *delim, hxtr_params_t *p) {
    return hxtr_v12_extent_format(no, unit, delim, p, v1_sb(p).sb_extent_size, v1_extent_json);
}

int v1_dump_extent(hxtr_params_t *p) {
    const tier_super_block_v1_t sb = v1_sb(p);
    return hxtr_dump_table(p, "te_no", hxtr_v12_extent_start(sb), sb.sb_block_cnt, v1_extent_format);
}

/* ---- repair */

int64_t v1_parse_super(hxtr_params_t *p, const hxtr_json_t *json, void *block) {
    tier_super_block_v1_t sb;
    memset(&sb, 0, sizeof(sb));
    if (hxtr_v12_sb_parse_head(json, &sb) < 0)
        return -EINVAL;
    if (sb.sb_version != TIER_OLD_VERSION) {
        hxtr_err("version %u is invalid, cmd:%d", sb.sb_version, p->cmd);
        return -EINVAL;
    }
    if (!p->force && __check_sb_params_v1(sb) < 0)
        return -EINVAL;
    sb.sb_magic = TIER_SB_MAGIC_V12;
    hxtr_repair_print(v1_sb_json(hxtr_record_seal(block, sb, &tier_super_block_v1_t::sb_checksum)));
    return HXTR_SB_OFFSET;
}

int64_t v1_parse_inode(hxtr_params_t *p, const hxtr_json_t *json, void *block) {
    const tier_super_block_v1_t sb = v1_sb(p);
    uint32_t no, brick_no;
    if (hxtr_inode_build(HXTR_INODE_V1, json, block, &no, &brick_no) < 0)
        return -EINVAL;
    if (no >= sb.sb_inode_cnt || brick_no >= sb.sb_brick_cnt) {
        hxtr_err("i_no %u or brick_no %u is invalid, max i_cnt:%u, max b_cnt:%u", no, brick_no,
                 sb.sb_inode_cnt, sb.sb_brick_cnt);
        return -EINVAL;
    }
    return hxtr_repair_place(hxtr_unit_offset(hxtr_v12_inode_start(sb), no),
                             [&](int64_t off) { return hxtr_inode_json(HXTR_INODE_V1, block, off); });
}

int v1_read_bitmap(const hxtr_json_t *json, uint64_t words, uint8_t *block) {
    const cJSON *bitmap = hxtr_json_member(json->root, "te_bitmap");
    if (!cJSON_IsArray(bitmap) || static_cast<uint64_t>(cJSON_GetArraySize(bitmap)) != words) {
        hxtr_err("te_bitmap is invalid. bitmap:%p, cnt:%d", static_cast<const void *>(bitmap),
                 cJSON_IsArray(bitmap) ? cJSON_GetArraySize(bitmap) : -1);
        return -EINVAL;
    }
    int i = 0;
    for (const cJSON *item = bitmap->child; item != nullptr; item = item->next, i++) {
        uint64_t w;
        if (hxtr_json_number(json, item, ~0ull, &w) < 0) {
            hxtr_err("te_bitmap index %d is invalid, value:%p", i, static_cast<const void *>(item));
            return -EINVAL;
        }
        memcpy(block + TIER_EXTENT_BITMAP_OFFSET + static_cast<uint64_t>(i) * 8, &w, sizeof(w));
    }
    return 0;
}

int64_t v1_parse_extent(hxtr_params_t *p, const hxtr_json_t *json, void *block) {
    using T = tier_extent_v1_t;
    static const hxtr_jfield used[] = {
        HXTR_JF(T, te_block, "te_block", true),
        HXTR_JF(T, te_size, "te_size", true),
        HXTR_JF(T, te_inode_no, "te_inode_no", true),
        HXTR_JF(T, te_sampling_low, "te_sampling_low", true),
        HXTR_JF(T, te_clean, "te_clean", true),
        HXTR_JF(T, te_sampling_mid, "te_sampling_mid", false),
        HXTR_JF(T, te_sampling_high, "te_sampling_high", false),
        HXTR_JF(T, te_ntime, "te_ntime", false),
        HXTR_JF(T, te_hot, "te_hot", false),
    };
    const tier_super_block_v1_t sb = v1_sb(p);
    if (!extent_size_ok(sb, __func__))
        return -EINVAL;
    T te{};
    if (hxtr_v12_extent_parse_head(json, &te) < 0)
        return -EINVAL;
    if (te.te_use != 0) {
        if (hxtr_fields_read(json, json->root, used, &te) < 0 ||
            v1_read_bitmap(json, hxtr_v12_bitmap_words(sb.sb_extent_size), static_cast<uint8_t *>(block)) < 0)
            return -EINVAL;
    }
    return hxtr_v12_extent_finish(p, block, te, sb.sb_extent_size, v1_extent_json);
}

const hxtr_cmd_entry s_v1_cmds[] = {
    {HXTR_CMD_DUMP_SUPER, v1_dump_super},
    {HXTR_CMD_DUMP_BRICK, hxtr_v12_dump_brick},
    {HXTR_CMD_DUMP_INODE, v1_dump_inode},
    {HXTR_CMD_DUMP_EXTENT, v1_dump_extent},
    {HXTR_CMD_REPAIR_SUPER, hxtr_repair_handler<v1_parse_super>},
    {HXTR_CMD_REPAIR_BRICK, hxtr_repair_handler<hxtr_v12_parse_brick>},
    {HXTR_CMD_REPAIR_INODE, hxtr_repair_handler<v1_parse_inode>},
    {HXTR_CMD_REPAIR_EXTENT, hxtr_repair_handler<v1_parse_extent>},
};

} // namespace

void hxtr_v1_register(void) {
    hxtr_func_register(HXTR_VER_CODE_V1, hxtr_selector<s_v1_cmds, v1_sb_match>);
}
