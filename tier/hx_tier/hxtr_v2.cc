// Version 2 of the tier metadata: super block of 168 bytes (magic 0xcacbcccd,
// version 0x20000) with the expansion inode area and mapped-meta geometry,
// bricks, inodes (main table, then the expansion area behind the data
// blocks), and extent records carrying mapped-meta entries.
#include <assert.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "hxtr_checksum.h"
#include "hxtr_convert.h"
#include "hxtr_dump.h"
#include "hxtr_inode.h"
#include "hxtr_io.h"
#include "hxtr_log.h"
#include "hxtr_repair.h"
#include "hxtr_text.h"
#include "hxtr_v12.h"
#include "hxtr_version.h"

namespace {

constexpr size_t kSbSharedLen = offsetof(tier_super_block_v2_t, sb_inode_exp_magic); // 140
static_assert(offsetof(tier_super_block_v1_t, sb_reserved) == kSbSharedLen);

bool v2_sb_match(const void *sb) {
    return hxtr_sb_matches<tier_super_block_v2_t>(sb, TIER_SB_MAGIC_V12, TIER_VERSION_V2);
}

tier_super_block_v2_t v2_sb(const hxtr_params_t *p) {
    assert(p->sb != nullptr && v2_sb_match(p->sb));
    return hxtr_record_load<tier_super_block_v2_t>(p->sb);
}

tier_super_block_v1_t view_of(const tier_super_block_v2_t &sb) {
    return hxtr_v12_view(&sb);
}

/* ---- expansion inode area */

uint64_t exp_start(const tier_super_block_v2_t &sb) {
    return sb.sb_data_offset + static_cast<uint64_t>(sb.sb_block_size) * sb.sb_block_cnt + HXTR_MiB;
}

uint64_t exp_cnt(const tier_super_block_v2_t &sb) {
    return static_cast<uint64_t>(sb.sb_inode_exp_area) * TIER_EXP_INODE_UNIT;
}

bool exp_formatted(const tier_super_block_v2_t &sb) {
    return sb.sb_inode_exp_magic == TIER_EXP_INODE_MAGIC;
}

bool inode_no_valid(const tier_super_block_v2_t &sb, uint64_t no) {
    if (no > TIER_V2_INODE_NO_MAX)
        return false;
    if (no < sb.sb_inode_cnt)
        return true;
    return exp_formatted(sb) && sb.sb_inode_exp_inuse == TIER_EXP_INODE_INUSE &&
           no < sb.sb_inode_cnt + exp_cnt(sb);
}

uint64_t inode_offset(const tier_super_block_v2_t &sb, uint64_t no) {
    if (no < sb.sb_inode_cnt)
        return hxtr_unit_offset(hxtr_v12_inode_start(view_of(sb)), no);
    return hxtr_unit_offset(exp_start(sb), no - sb.sb_inode_cnt);
}

/* ---- super block */

// The mapped-meta geometry of the super block in the order of both forms;
// the total extent size is derived from the others, not read.
constexpr hxtr_jfield kSbMaps[] = {
    HXTR_JF(tier_super_block_v2_t, sb_min_alloc_size, "min_alloc_size", true),
    HXTR_JF(tier_super_block_v2_t, sb_total_map_size, "total_map_size", true),
    HXTR_JF(tier_super_block_v2_t, sb_map_cnt, "map_cnt", true),
    HXTR_JF(tier_super_block_v2_t, sb_size_mapped_meta, "size_mapped_meta", true),
    HXTR_JF(tier_super_block_v2_t, sb_hot_size, "hot_size", true),
    HXTR_JF_AS(tier_super_block_v2_t, sb_total_extent_size, "total_extent_size", HXTR_JFORM_NUM_OUT),
};

std::string v2_sb_json(const tier_super_block_v2_t &sb) {
    std::string s;
    hxtr_v12_sb_json_head(s, view_of(sb));
    // The expansion area keys have their own repair rules (parse_exp_area).
    hxtr_appendf(s,
                 ",\"exp_inode_magic\":\"0x%x\",\"exp_inode_cnt\":%u,\"exp_inode_inuse\":\"0x%x\","
                 "\"sb_inode_exp_area\":%u,",
                 sb.sb_inode_exp_magic, static_cast<unsigned>(exp_cnt(sb)), sb.sb_inode_exp_inuse,
                 sb.sb_inode_exp_area);
    hxtr_fields_text(s, kSbMaps, &sb);
    s += "}";
    return s;
}

int __check_sb_params_v2(const tier_super_block_v2_t &sb) {
    const tier_super_block_v1_t v = view_of(sb);
    static const hxtr_v12_rule before[] = {HXTR_V12_RULE_SB_SIZE, HXTR_V12_RULE_BRICK, HXTR_V12_RULE_INODE,
                                           HXTR_V12_RULE_BLOCK_SIZE};
    for (hxtr_v12_rule r : before)
        if (!hxtr_v12_rule_ok(r, v, __func__))
            return -EINVAL;
    if (sb.sb_extent_size < TIER_EXTENT_BITMAP_OFFSET || sb.sb_extent_size > HXTR_BLOCK_SIZE ||
        sb.sb_total_extent_size > HXTR_BLOCK_SIZE) {
        hxtr_err("extent size(%u) is invalid. totoal extent_size:%u, expect size:[%lu-4096]",
                 sb.sb_extent_size, sb.sb_total_extent_size,
                 static_cast<unsigned long>(TIER_EXTENT_BITMAP_OFFSET));
        return -EINVAL;
    }
    if (!hxtr_v12_rule_ok(HXTR_V12_RULE_EXTENT_TABLE, v, __func__))
        return -EINVAL;
    if (sb.sb_min_alloc_size > sb.sb_block_size) {
        hxtr_err("min_alloc_size(%u) is invalid. block_size:%u", sb.sb_min_alloc_size, sb.sb_block_size);
        return -EINVAL;
    }
    if (sb.sb_map_cnt > TIER_MAP_CNT_MAX ||
        sb.sb_total_map_size != static_cast<uint64_t>(sb.sb_size_mapped_meta) * sb.sb_map_cnt) {
        hxtr_err("map params is invalid. map_cnt:%u, map_size:%u, total_map_size:%u", sb.sb_map_cnt,
                 sb.sb_size_mapped_meta, sb.sb_total_map_size);
        return -EINVAL;
    }
    if (!hxtr_v12_rule_ok(HXTR_V12_RULE_DATA_OFFSET, v, __func__) ||
        !hxtr_v12_rule_ok(HXTR_V12_RULE_SSD_UUID, v, __func__))
        return -EINVAL;
    return 0;
}

// Reads inode `no` of the expansion area and checks it.  0, -EIO, -EINVAL.
int check_exp_inode(const hxtr_params_t *p, const tier_super_block_v2_t &sb, uint64_t no, uint8_t *buf) {
    const uint64_t off = inode_offset(sb, no);
    ssize_t n = hxtr_pread(p->fd, buf, HXTR_BLOCK_SIZE, off);
    if (n != HXTR_BLOCK_SIZE)
        return n < 0 ? static_cast<int>(n) : -EIO;
    hxtr_inode_seen seen;
    if (!hxtr_inode_valid(HXTR_INODE_V2, buf, static_cast<uint32_t>(no), &seen)) {
        hxtr_err("inode ondisk no: %u(off: %lu) inode_no: %u magic: 0x%x, checksum: 0x%x crc32: 0x%x",
                 seen.no, static_cast<unsigned long>(off), static_cast<unsigned>(no), seen.magic,
                 seen.checksum, seen.crc);
        return -EINVAL;
    }
    return 0;
}

// The expansion area of `cnt` inodes is formatted: large enough, placed
// behind the data blocks, first and last inode present.  0 or negative.
int check_exp_format(const hxtr_params_t *p, const tier_super_block_v2_t &sb, uint64_t cnt) {
    if (cnt < TIER_EXP_INODE_MIN) {
        hxtr_err("exp check inode format failed, exp_inode_size: %d cmd: %d", static_cast<int>(cnt), p->cmd);
        return -EINVAL;
    }
    const uint64_t start = exp_start(sb);
    if (start <= sb.sb_data_offset) {
        hxtr_err("exp offset(%lu) is invalid, sb_data_off: %lu sb_block_cnt: %u sb_block_size: %u",
                 static_cast<unsigned long>(start), static_cast<unsigned long>(sb.sb_data_offset),
                 sb.sb_block_cnt, sb.sb_block_size);
        return -EINVAL;
    }
    int err;
    auto *buf = static_cast<uint8_t *>(hxtr_alloc_block(HXTR_BLOCK_SIZE, &err));
    if (buf == nullptr) {
        hxtr_err("posix memalign failed:%d", err);
        return -ENOMEM;
    }
    const uint64_t first = sb.sb_inode_cnt;
    const uint64_t last = first + cnt - 1;
    int ret = check_exp_inode(p, sb, first, buf);
    if (ret < 0) {
        hxtr_err("check exp inode first failed, exp_off: %lu, ino: %u ret: %d",
                 static_cast<unsigned long>(start), static_cast<unsigned>(first), ret);
    } else if ((ret = check_exp_inode(p, sb, last, buf)) < 0) {
        hxtr_err("check exp inode last failed, exp_off: %lu, ino: %u ret: %d",
                 static_cast<unsigned long>(start), static_cast<unsigned>(last), ret);
    }
    free(buf);
    return ret;
}

// The expansion area keys of the repair form.  0 or negative (logged).
int parse_exp_area(const hxtr_params_t *p, const hxtr_json_t *json, tier_super_block_v2_t *sb) {
    const uint64_t max_cnt = 255ull * TIER_EXP_INODE_UNIT + TIER_EXP_INODE_UNIT - 1; // area count fits 8 bits
    uint64_t cnt = 0;
    int ret = hxtr_json_get_u64(json, json->root, "exp_inode_cnt", max_cnt, false, &cnt);
    if (ret < 0)
        return ret;
    if (ret == 1 || cnt == 0)
        return 0;
    const char *magic = hxtr_json_get_text(json->root, "exp_inode_magic");
    if (magic == nullptr)
        return -EINVAL;
    if (strncmp(magic, "0x4558", 6) != 0)
        return 0; // any other magic: no expansion area
    if ((ret = check_exp_format(p, *sb, cnt)) < 0)
        return ret;
    const char *inuse = hxtr_json_get_text(json->root, "exp_inode_inuse");
    if (inuse == nullptr)
        return -EINVAL;
    sb->sb_inode_exp_inuse = strncmp(inuse, "0x53", 4) == 0 ? TIER_EXP_INODE_INUSE : 0;
    sb->sb_inode_exp_area = static_cast<uint8_t>(cnt / TIER_EXP_INODE_UNIT);
    sb->sb_inode_exp_magic = TIER_EXP_INODE_MAGIC;
    return 0;
}

int64_t v2_parse_super(hxtr_params_t *p, const hxtr_json_t *json, void *block) {
    using T = tier_super_block_v2_t;
    tier_super_block_v1_t head;
    memset(&head, 0, sizeof(head));
    if (hxtr_v12_sb_parse_head(json, &head) < 0)
        return -EINVAL;
    T sb;
    memset(&sb, 0, sizeof(sb));
    memcpy(&sb, &head, kSbSharedLen);
    const bool convert = p->cmd == HXTR_CMD_CONVERT_SUPER;
    if (sb.sb_version != TIER_VERSION_V2 && !(convert && sb.sb_version == TIER_OLD_VERSION)) {
        hxtr_err("version %u is invalid, cmd:%d", sb.sb_version, p->cmd);
        return -EINVAL;
    }
    int ret = parse_exp_area(p, json, &sb);
    if (ret < 0)
        return ret;
    if (sb.sb_version == TIER_VERSION_V2) {
        if (hxtr_fields_read(json, json->root, kSbMaps, &sb) < 0)
            return -EINVAL;
        const uint64_t total =
            static_cast<uint64_t>(sb.sb_extent_size) + sb.sb_total_map_size + sb.sb_hot_size;
        if (total > UINT32_MAX) {
            hxtr_err("parse %s failed", "hot_size");
            return -EINVAL;
        }
        sb.sb_total_extent_size = static_cast<uint32_t>(total);
    } else if ((ret = hxtr_convert_v1_to_v2(p, &sb)) < 0) {
        return ret;
    }
    if (!p->force && __check_sb_params_v2(sb) < 0)
        return -EINVAL;
    sb.sb_magic = TIER_SB_MAGIC_V12;
    hxtr_repair_print(v2_sb_json(hxtr_record_seal(block, sb, &tier_super_block_v2_t::sb_checksum)));
    return HXTR_SB_OFFSET;
}

/* ---- dump */

int v2_dump_super(hxtr_params_t *p) {
    hxtr_dump_emit(p, "", v2_sb_json(v2_sb(p)));
    return 0;
}

int v2_inode_format(int64_t no, const void *unit, const char *delim, hxtr_params_t *p) {
    return hxtr_inode_format(HXTR_INODE_V2, no, unit, delim, p,
                             inode_offset(v2_sb(p), static_cast<uint64_t>(no)));
}

int v2_dump_inode(hxtr_params_t *p) {
    const tier_super_block_v2_t sb = v2_sb(p);
    const uint64_t main_start = hxtr_v12_inode_start(view_of(sb));
    if (p->meta_no >= 0) {
        if (static_cast<uint64_t>(p->meta_no) < sb.sb_inode_cnt)
            return hxtr_dump_common(p, "no", main_start, sb.sb_inode_cnt, v2_inode_format);
        if (!exp_formatted(sb)) {
            hxtr_err("exp inode not format, invalid inode %d", p->meta_no);
            return -EINVAL;
        }
        p->base_no = sb.sb_inode_cnt;
        return hxtr_dump_common(p, "no", exp_start(sb), exp_cnt(sb), v2_inode_format);
    }
    fputs("{ \"inode\":", p->out_fp);
    int ret = hxtr_dump_common(p, "no", main_start, sb.sb_inode_cnt, v2_inode_format);
    if (ret == 0 && exp_formatted(sb)) {
        fputs(", \"exp_inode\":", p->out_fp);
        p->base_no = sb.sb_inode_cnt;
        ret = hxtr_dump_common(p, "no", exp_start(sb), exp_cnt(sb), v2_inode_format);
    }
    fputs("}\n", p->out_fp);
    return ret;
}

std::string v2_extent_json(const void *unit, const hxtr_params_t *p, int64_t meta_offset) {
    const tier_super_block_v2_t sb = v2_sb(p);
    std::string s;
    hxtr_v12_extent_json_head(s, unit);
    hxtr_appendf(s, ",\"meta_offset\": %ld,\"te_mapped_meta\":[", static_cast<long>(meta_offset));
    const auto te = hxtr_record_load<tier_extent_v2_t>(unit);
    const char *sep = "";
    for (uint32_t m = 0; m < sb.sb_map_cnt; m++) {
        const uint64_t at =
            static_cast<uint64_t>(sb.sb_extent_size) + static_cast<uint64_t>(m) * TIER_MAPPED_META_SIZE;
        if (at + sizeof(tier_mapped_meta_v2_t) > HXTR_BLOCK_SIZE)
            break; // a damaged super block must not take the read past the record
        const auto mm = hxtr_record_load<tier_mapped_meta_v2_t>(static_cast<const uint8_t *>(unit) + at);
        const uint32_t orig_len = static_cast<uint32_t>(hxtr_bits_get(mm.clean_len, TIER_MAP_ORIG_LEN));
        if (orig_len == 0)
            continue;
        const uint64_t phy = sb.sb_data_offset + te.te_reserved1 * sb.sb_block_size +
                             static_cast<uint64_t>(mm.begin) * HXTR_BLOCK_SIZE;
        hxtr_appendf(s,
                     "%s{\"offset\":%lu,\"clean\":%u,\"orig_len\":%u,\"begin\":%hu,\"cnt\":%hu,\"mapno\":%u,"
                     "\"data_phy_offset\":%lu}",
                     sep, static_cast<unsigned long>(mm.offset),
                     static_cast<unsigned>(hxtr_bits_get(mm.clean_len, TIER_MAP_CLEAN)), orig_len, mm.begin,
                     mm.cnt, m, static_cast<unsigned long>(phy));
        sep = ",";
    }
    s += "]}";
    return s;
}

int v2_extent_format(int64_t no, const void *unit, const char *delim, hxtr_params_t *p) {
    return hxtr_v12_extent_format(no, unit, delim, p, v2_sb(p).sb_total_extent_size, v2_extent_json);
}

int v2_dump_extent(hxtr_params_t *p) {
    const tier_super_block_v2_t sb = v2_sb(p);
    return hxtr_dump_table(p, "te_no", hxtr_v12_extent_start(view_of(sb)), sb.sb_block_cnt, v2_extent_format);
}

/* ---- repair */

// The v2 super block built from the repair form (a v1 description is
// converted), printed and never written.
int v2_convert_super(hxtr_params_t *p) {
    return hxtr_repair_common(p, v2_parse_super, HXTR_REPAIR_BUILD_ONLY);
}

int64_t v2_parse_inode(hxtr_params_t *p, const hxtr_json_t *json, void *block) {
    const tier_super_block_v2_t sb = v2_sb(p);
    uint32_t no, brick_no;
    if (hxtr_inode_build(HXTR_INODE_V2, json, block, &no, &brick_no) < 0)
        return -EINVAL;
    if (brick_no >= sb.sb_brick_cnt || !inode_no_valid(sb, no)) {
        hxtr_err(
            "repiar_file i_no %u input ino: %d or brick_no %u is invalid, exp_magic :0x%x exp exp_inuse: "
            "0x%xmax i_cnt:%u, max b_cnt:%u",
            no, static_cast<int>(no), brick_no, sb.sb_inode_exp_magic, sb.sb_inode_exp_inuse, sb.sb_inode_cnt,
            sb.sb_brick_cnt);
        return -EINVAL;
    }
    return hxtr_repair_place(inode_offset(sb, no),
                             [&](int64_t off) { return hxtr_inode_json(HXTR_INODE_V2, block, off); });
}

// One "te_mapped_meta" entry into its slot.  0 or -EINVAL (logged).
int parse_mapped_meta(const hxtr_json_t *json, const cJSON *obj, int index, const tier_super_block_v2_t &sb,
                      uint8_t *block) {
    uint64_t mapno, offset, clean, len, begin, cnt;
    if (hxtr_json_get_u64(json, obj, "mapno", UINT32_MAX, true, &mapno) < 0)
        return -EINVAL;
    const uint64_t at = static_cast<uint64_t>(sb.sb_extent_size) + mapno * TIER_MAPPED_META_SIZE;
    if (mapno >= sb.sb_map_cnt || at + TIER_MAPPED_META_SIZE > HXTR_BLOCK_SIZE) {
        hxtr_err("te_mapped_meta mapno %d is invalid, index:%d, map_cnt:%d", static_cast<int>(mapno), index,
                 static_cast<int>(sb.sb_map_cnt));
        return -EINVAL;
    }
    if (hxtr_json_get_u64(json, obj, "offset", ~0ull, true, &offset) < 0 ||
        hxtr_json_get_u64(json, obj, "clean", hxtr_bits_max(TIER_MAP_CLEAN), true, &clean) < 0 ||
        hxtr_json_get_u64(json, obj, "len", hxtr_bits_max(TIER_MAP_ORIG_LEN), true, &len) < 0 ||
        hxtr_json_get_u64(json, obj, "begin", UINT16_MAX, true, &begin) < 0 ||
        hxtr_json_get_u64(json, obj, "cnt", UINT16_MAX, true, &cnt) < 0)
        return -EINVAL;
    if (len > sb.sb_block_size) {
        hxtr_err("map %d orig_len(%u) is invalid, block_size:%u", static_cast<int>(mapno),
                 static_cast<unsigned>(len), sb.sb_block_size);
        return -EINVAL;
    }
    tier_mapped_meta_v2_t mm;
    mm.offset = offset;
    mm.clean_len =
        static_cast<uint32_t>(hxtr_bits_set(hxtr_bits_set(0, TIER_MAP_CLEAN, clean), TIER_MAP_ORIG_LEN, len));
    mm.begin = static_cast<uint16_t>(begin);
    mm.cnt = static_cast<uint16_t>(cnt);
    memcpy(block + at, &mm, sizeof(mm));
    return 0;
}

int64_t v2_parse_extent(hxtr_params_t *p, const hxtr_json_t *json, void *block) {
    using T = tier_extent_v2_t;
    static const hxtr_jfield used[] = {
        HXTR_JF(T, te_inode_no, "te_inode_no", true),
        HXTR_JF(T, te_sampling_low, "te_sampling_low", true),
        HXTR_JF(T, te_sampling_mid, "te_sampling_mid", false),
        HXTR_JF(T, te_sampling_high, "te_sampling_high", false),
    };
    const tier_super_block_v2_t sb = v2_sb(p);
    T te{};
    if (hxtr_v12_extent_parse_head(json, &te) < 0)
        return -EINVAL;
    if (te.te_use != 0) {
        if (hxtr_fields_read(json, json->root, used, &te) < 0)
            return -EINVAL;
        const cJSON *maps = hxtr_json_member(json->root, "te_mapped_meta");
        if (!cJSON_IsArray(maps)) {
            hxtr_err("te_mapped_meta is invalid. te_mapped_meta:%p", static_cast<const void *>(maps));
            return -EINVAL;
        }
        int index = 0;
        for (const cJSON *m = maps->child; m != nullptr; m = m->next, index++) {
            if (!cJSON_IsObject(m)) {
                hxtr_err("te_mapped_meta index %d is invalid, value:%p", index, static_cast<const void *>(m));
                return -EINVAL;
            }
            if (parse_mapped_meta(json, m, index, sb, static_cast<uint8_t *>(block)) < 0)
                return -EINVAL;
        }
    }
    return hxtr_v12_extent_finish(p, block, te, sb.sb_total_extent_size, v2_extent_json);
}

const hxtr_cmd_entry s_v2_cmds[] = {
    {HXTR_CMD_DUMP_SUPER, v2_dump_super},
    {HXTR_CMD_DUMP_BRICK, hxtr_v12_dump_brick},
    {HXTR_CMD_DUMP_INODE, v2_dump_inode},
    {HXTR_CMD_DUMP_EXTENT, v2_dump_extent},
    {HXTR_CMD_REPAIR_SUPER, hxtr_repair_handler<v2_parse_super>},
    {HXTR_CMD_REPAIR_BRICK, hxtr_repair_handler<hxtr_v12_parse_brick>},
    {HXTR_CMD_REPAIR_INODE, hxtr_repair_handler<v2_parse_inode>},
    {HXTR_CMD_REPAIR_EXTENT, hxtr_repair_handler<v2_parse_extent>},
    {HXTR_CMD_CONVERT_SUPER, v2_convert_super},
};

} // namespace

void hxtr_v2_register(void) {
    hxtr_func_register(HXTR_VER_CODE_V2, hxtr_selector<s_v2_cmds, v2_sb_match>);
}
