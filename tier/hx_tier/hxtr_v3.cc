/*
 * Version 3 of the tier metadata: super block of 264 bytes (magic 0xcacbdcbd,
 * version 0x30000) giving every table's offset, bricks and inodes of one
 * block each, and shard, extent and hot tables of 4096-byte pages.  Shard
 * pages carry a magic and a CRC in slot 0; extent pages spread their CRC over
 * bit 0 of entries 0..31; hot pages are opaque.
 */
#include <assert.h>
#include <errno.h>
#include <string.h>

#include "hxtr_brick.h"
#include "hxtr_checksum.h"
#include "hxtr_dump.h"
#include "hxtr_inode.h"
#include "hxtr_log.h"
#include "hxtr_repair.h"
#include "hxtr_text.h"
#include "hxtr_version.h"

namespace {

constexpr uint64_t kPageEntries = TIER_V3_ENTRIES_PER_PAGE;

bool v3_sb_match(const void *sb) {
    return hxtr_sb_matches<tier_super_block_v3_t>(sb, TIER_SB_MAGIC_V3, TIER_VERSION_V3);
}

tier_super_block_v3_t v3_sb(const hxtr_params_t *p) {
    assert(p->sb != nullptr && v3_sb_match(p->sb));
    return hxtr_record_load<tier_super_block_v3_t>(p->sb);
}

/* ---- super block */

using SbV3 = tier_super_block_v3_t;

// The super block in the order of both forms.  The version word is read by
// v3_parse_super where its row stands.
constexpr hxtr_jfield kSbFields[] = {
    HXTR_JF_AS(SbV3, sb_checksum, "checksum", HXTR_JFORM_HEX),
    HXTR_JF_AS(SbV3, sb_magic, "magic", HXTR_JFORM_HEX),
    HXTR_JF(SbV3, sb_sb_offset, "sb_offset", true),
    HXTR_JF(SbV3, sb_sb_size, "super block size", true),
    HXTR_JF(SbV3, sb_reserved_offset, "reserved_offset", true),
    HXTR_JF(SbV3, sb_reserved_size, "reserved_size", true),
    HXTR_JF_AS(SbV3, sb_ctime, "ctime", HXTR_JFORM_CTIME),
    HXTR_JF_AS(SbV3, sb_uuid, "uuid", HXTR_JFORM_UUID),
    HXTR_JF_AS(SbV3, sb_cdev_uuid, "ssd_uuid", HXTR_JFORM_TEXT),
    HXTR_JF_AS(SbV3, sb_version, "version", HXTR_JFORM_HEX),
    HXTR_JF(SbV3, sb_reserved, "reserved", true),
    HXTR_JF(SbV3, sb_brick_table_offset, "brick_table_offset", true),
    HXTR_JF(SbV3, sb_brick_table_size, "brick_table_size", true),
    HXTR_JF(SbV3, sb_brick_table_cnt, "brick_cnt", true),
    HXTR_JF(SbV3, sb_inode_table_offset, "inode_table_offset", true),
    HXTR_JF(SbV3, sb_inode_table_size, "inode_table_size", true),
    HXTR_JF(SbV3, sb_inode_table_cnt, "inode_cnt", true),
    HXTR_JF(SbV3, sb_shard_table_offset, "shard_table_offset", true),
    HXTR_JF(SbV3, sb_shard_table_size, "shard_table_size", true),
    HXTR_JF(SbV3, sb_shard_table_cnt, "shard_table_cnt", true),
    HXTR_JF(SbV3, sb_extent_table_offset, "extent_table_offset", true),
    HXTR_JF(SbV3, sb_extent_table_size, "extent_table_size", true),
    HXTR_JF(SbV3, sb_extent_table_cnt, "extent_table_cnt", true),
    HXTR_JF(SbV3, sb_hot_table_offset, "hot_table_offset", true),
    HXTR_JF(SbV3, sb_hot_table_size, "hot_table_size", true),
    HXTR_JF(SbV3, sb_block_area_offset, "data_offset", true),
    HXTR_JF(SbV3, sb_block_area_size, "data_table_size", true),
    HXTR_JF(SbV3, sb_block_size, "block_size", true),
    HXTR_JF(SbV3, sb_block_cnt, "block_cnt", true),
};
constexpr size_t kSbVersionRow = hxtr_field_index(kSbFields, "version");
static_assert(kSbVersionRow < std::size(kSbFields));

std::string v3_sb_json(const tier_super_block_v3_t &sb) {
    std::string s = "{";
    hxtr_fields_text(s, kSbFields, &sb);
    s += "}";
    return s;
}

int __check_sb_params_v3(const tier_super_block_v3_t &sb) {
    auto u = [](uint64_t v) { return static_cast<unsigned long>(v); };
    if (sb.sb_sb_size != HXTR_SB_AREA_SIZE) {
        hxtr_err("sb size is invalid. expect:%u, real:%lu", HXTR_SB_AREA_SIZE, u(sb.sb_sb_size));
        return -EINVAL;
    }
    if (sb.sb_block_size < 8192 || sb.sb_block_size > 65536 || sb.sb_block_size % HXTR_BLOCK_SIZE != 0) {
        hxtr_err("block size(%lu) is invalid. expect block_size:[%u-%u] and must 4k aligned", u(sb.sb_block_size),
                 8192u, 65536u);
        return -EINVAL;
    }
    // Counts are bounded before they are multiplied, so no product wraps.
    if (sb.sb_brick_table_cnt < 1 || sb.sb_brick_table_cnt > 300 ||
        sb.sb_brick_table_size < sb.sb_brick_table_cnt * HXTR_BLOCK_SIZE) {
        hxtr_err("brick params is invalid. brick_cnt:%lu, brick_table_size:%lu, expect brick_cnt:[%u-%u]",
                 u(sb.sb_brick_table_cnt), u(sb.sb_brick_table_size), 1u, 300u);
        return -EINVAL;
    }
    if (sb.sb_inode_table_cnt < 1 || sb.sb_inode_table_cnt > 262144 ||
        sb.sb_inode_table_size != sb.sb_inode_table_cnt * HXTR_BLOCK_SIZE) {
        hxtr_err("inode params is invalid. inode_cnt:%lu, itable_size:%lu, expect inode_cnt:[%u-%u]",
                 u(sb.sb_inode_table_cnt), u(sb.sb_inode_table_size), 1u, 262144u);
        return -EINVAL;
    }
    if (sb.sb_shard_table_cnt < 1 || sb.sb_shard_table_cnt > 524288 ||
        sb.sb_shard_table_size != sb.sb_shard_table_cnt * 8) {
        hxtr_err("shard params is invalid. shard_cnt:%lu, itable_size:%lu, expect shard_cnt:[%u-%u]",
                 u(sb.sb_shard_table_cnt), u(sb.sb_shard_table_size), 1u, 524288u);
        return -EINVAL;
    }
    if (sb.sb_extent_table_cnt < 1 || sb.sb_extent_table_cnt > 1073741824 ||
        sb.sb_extent_table_size != sb.sb_extent_table_cnt * 8) {
        hxtr_err("extent params is invalid. extent_cnt:%lu, itable_size:%lu, expect extent_cnt:[%u-%u]",
                 u(sb.sb_extent_table_cnt), u(sb.sb_extent_table_size), 1u, 1073741824u);
        return -EINVAL;
    }
    uint64_t area;
    if (__builtin_mul_overflow(sb.sb_block_cnt, sb.sb_block_size, &area) || sb.sb_block_area_size != area) {
        hxtr_err("data params is invalid. sb_block_size:%lu, sb_block_cnt:%lu", u(sb.sb_block_size),
                 u(sb.sb_block_cnt));
        return -EINVAL;
    }
    const size_t len = hxtr_field_len(sb.sb_cdev_uuid, sizeof(sb.sb_cdev_uuid));
    if (len != TIER_SSD_UUID_TEXT_LEN) {
        hxtr_err("ssd uuid(%s) length(%ld) is invalid. expect:%ld",
                 hxtr_json_text(sb.sb_cdev_uuid, sizeof(sb.sb_cdev_uuid)).c_str(), static_cast<long>(len),
                 static_cast<long>(TIER_SSD_UUID_TEXT_LEN));
        return -EINVAL;
    }
    return 0;
}

int64_t v3_parse_super(hxtr_params_t *p, const hxtr_json_t *json, void *block) {
    const std::span<const hxtr_jfield> fields(kSbFields);
    tier_super_block_v3_t sb{};
    if (hxtr_fields_read(json, json->root, fields.first(kSbVersionRow), &sb) < 0)
        return -EINVAL;
    uint64_t version;
    if (hxtr_json_get_hex(json->root, "version", 31, &version) < 0)
        return -EINVAL;
    if (version != TIER_VERSION_V3) {
        hxtr_err("version %u is invalid, cmd:%d", static_cast<unsigned>(version), p->cmd);
        return -EINVAL;
    }
    sb.sb_version = TIER_VERSION_V3;
    if (hxtr_fields_read(json, json->root, fields.subspan(kSbVersionRow + 1), &sb) < 0)
        return -EINVAL;
    if (!p->force && __check_sb_params_v3(sb) < 0)
        return -EINVAL;
    sb.sb_magic = TIER_SB_MAGIC_V3;
    hxtr_repair_print(v3_sb_json(hxtr_record_seal(block, sb, &tier_super_block_v3_t::sb_checksum)));
    return HXTR_SB_OFFSET;
}

/* ---- dump */

int v3_dump_super(hxtr_params_t *p) {
    hxtr_dump_emit(p, "", v3_sb_json(v3_sb(p)));
    return 0;
}

int v3_brick_format(int64_t no, const void *unit, const char *delim, hxtr_params_t *p) {
    return hxtr_brick_format(TIER_BRICK_MAGIC_V3, no, unit, delim, p, hxtr_unit_offset(v3_sb(p).sb_brick_table_offset, no));
}

int v3_dump_brick(hxtr_params_t *p) {
    const tier_super_block_v3_t sb = v3_sb(p);
    return hxtr_dump_table(p, "bi_no", sb.sb_brick_table_offset, sb.sb_brick_table_cnt, v3_brick_format);
}

int v3_inode_format(int64_t no, const void *unit, const char *delim, hxtr_params_t *p) {
    return hxtr_inode_format(HXTR_INODE_V3, no, unit, delim, p, hxtr_unit_offset(v3_sb(p).sb_inode_table_offset, no));
}

int v3_dump_inode(hxtr_params_t *p) {
    const tier_super_block_v3_t sb = v3_sb(p);
    return hxtr_dump_table(p, "no", sb.sb_inode_table_offset, sb.sb_inode_table_cnt, v3_inode_format);
}

// An entry of a page is listed when it matches the filter.
bool entry_matches(const hxtr_filter_t &f, bool in_use, uint64_t parent) {
    return f.error != 1 && (f.use < 0 || (f.use != 0) == in_use) &&
           (f.owner < 0 || (in_use && parent == static_cast<uint64_t>(f.owner)));
}

int v3_extent_format(int64_t no, const void *unit, const char *delim, hxtr_params_t *p) {
    const auto *page = static_cast<const tier_extent_v3_t *>(unit);
    const uint32_t stored = hxtr_extent_page_stored_crc(page);
    const uint32_t crc = hxtr_extent_page_crc(page);
    if (stored != crc) {
        hxtr_err("extent no: %u, crc_ondisk: 0x%x crc: 0x%x", static_cast<unsigned>(no), stored, crc);
        return -EFAULT;
    }
    std::string list;
    const char *sep = "";
    for (uint64_t e = 0; e < kPageEntries; e++) {
        const uint64_t w = page->entry[e];
        const uint64_t eno = static_cast<uint64_t>(no) * kPageEntries + e;
        const bool in_use = hxtr_bits_get(w, TIER_EXT_IN_USE) != 0;
        const auto shard = static_cast<unsigned>(hxtr_bits_get(w, TIER_EXT_SHARD));
        if (!entry_matches(p->filter, in_use, shard)) {
            hxtr_dbg("ignore extent:%lu, in_use:%d, shard_no:%u", static_cast<unsigned long>(eno), in_use, shard);
            continue;
        }
        hxtr_appendf(list,
                     "%s{\"lba\":%u,\"shard\":%u,\"dirty\":%u,\"in_use\":%u,\"sense\":%u,\"demote\":%u,"
                     "\"dm_err\":%u,\"reserved\":%u,\"eno\":%lu,\"bitmap\":%u}",
                     sep, static_cast<unsigned>(hxtr_bits_get(w, TIER_EXT_LBA)), shard,
                     static_cast<unsigned>(hxtr_bits_get(w, TIER_EXT_DIRTY)), static_cast<unsigned>(in_use),
                     static_cast<unsigned>(hxtr_bits_get(w, TIER_EXT_SENSE)),
                     static_cast<unsigned>(hxtr_bits_get(w, TIER_EXT_DEMOTE)),
                     static_cast<unsigned>(hxtr_bits_get(w, TIER_EXT_DM_ERR)),
                     static_cast<unsigned>(hxtr_bits_get(w, TIER_EXT_RESERVED)), static_cast<unsigned long>(eno),
                     static_cast<unsigned>(hxtr_bits_get(w, TIER_EXT_BITMAP)));
        sep = ",";
    }
    if (*sep == '\0' && p->meta_no < 0)
        return 1;
    std::string s;
    hxtr_appendf(s, "{\"checksum\":\"0x%x\",\"meta_offset\": %ld,\"extents\":[", stored,
                 static_cast<long>(hxtr_unit_offset(v3_sb(p).sb_extent_table_offset, no)));
    s += list;
    s += "]}";
    hxtr_dump_emit(p, delim, s);
    return 0;
}

int v3_dump_extent(hxtr_params_t *p) {
    const tier_super_block_v3_t sb = v3_sb(p);
    return hxtr_dump_table(p, "extent_no", sb.sb_extent_table_offset, sb.sb_extent_table_cnt / kPageEntries,
                           v3_extent_format);
}

int v3_shard_format(int64_t no, const void *unit, const char *delim, hxtr_params_t *p) {
    const auto *page = static_cast<const tier_shard_v3_t *>(unit);
    const uint32_t crc = hxtr_shard_page_crc(page);
    if (page->magic != TIER_SHARD_MAGIC_V3 || page->crc != crc) {
        hxtr_err("shard no: %u, magic_ondisk: 0x%x magic: 0x%x, crc_ondisk: 0x%x crc: 0x%x",
                 static_cast<unsigned>(no), page->magic, TIER_SHARD_MAGIC_V3, page->crc, crc);
        return -EFAULT;
    }
    std::string list;
    const char *sep = "";
    for (uint64_t s = 1; s < kPageEntries; s++) {
        const uint64_t w = page->slot[s - 1];
        const uint64_t sno = static_cast<uint64_t>(no) * kPageEntries + s;
        const bool in_use = hxtr_bits_get(w, TIER_SHARD_IN_USE) != 0;
        const auto ino = static_cast<unsigned>(hxtr_bits_get(w, TIER_SHARD_INO));
        if (!entry_matches(p->filter, in_use, ino)) {
            hxtr_dbg("ignore shard:%lu, in_use:%d, inode_no:%u", static_cast<unsigned long>(sno), in_use, ino);
            continue;
        }
        hxtr_appendf(list, "%s{\"ino\":%u,\"in_use\":%u,\"reserved\":%u,\"sno\":%lu,\"index\":%u}", sep, ino,
                     static_cast<unsigned>(in_use), static_cast<unsigned>(hxtr_bits_get(w, TIER_SHARD_RESERVED)),
                     static_cast<unsigned long>(sno), static_cast<unsigned>(hxtr_bits_get(w, TIER_SHARD_INDEX)));
        sep = ",";
    }
    if (*sep == '\0' && p->meta_no < 0)
        return 1;
    std::string s;
    hxtr_appendf(s, "{\"checksum\":\"0x%x\",\"magic\":\"0x%x\",\"meta_offset\": %ld,\"shards\":[", page->crc,
                 page->magic, static_cast<long>(hxtr_unit_offset(v3_sb(p).sb_shard_table_offset, no)));
    s += list;
    s += "]}";
    hxtr_dump_emit(p, delim, s);
    return 0;
}

int v3_dump_shard(hxtr_params_t *p) {
    const tier_super_block_v3_t sb = v3_sb(p);
    return hxtr_dump_table(p, "shard_no", sb.sb_shard_table_offset, sb.sb_shard_table_cnt / kPageEntries,
                           v3_shard_format);
}

int v3_hot_format(int64_t no, const void *, const char *delim, hxtr_params_t *p) {
    if (p->filter.error == 1) {
        hxtr_dbg("ignore hot:%ld", static_cast<long>(no));
        return 1;
    }
    std::string s;
    hxtr_appendf(s, "{\"meta_offset\":%ld}", static_cast<long>(hxtr_unit_offset(v3_sb(p).sb_hot_table_offset, no)));
    hxtr_dump_emit(p, delim, s);
    return 0;
}

int v3_dump_hot(hxtr_params_t *p) {
    const tier_super_block_v3_t sb = v3_sb(p);
    return hxtr_dump_table(p, "hot_no", sb.sb_hot_table_offset, sb.sb_hot_table_size / HXTR_BLOCK_SIZE,
                           v3_hot_format);
}

/* ---- repair */

int64_t v3_parse_brick(hxtr_params_t *p, const hxtr_json_t *json, void *block) {
    const tier_super_block_v3_t sb = v3_sb(p);
    return hxtr_brick_build(json, TIER_BRICK_MAGIC_V3, sb.sb_brick_table_cnt, sb.sb_brick_table_offset, block);
}

int64_t v3_parse_inode(hxtr_params_t *p, const hxtr_json_t *json, void *block) {
    const tier_super_block_v3_t sb = v3_sb(p);
    uint32_t no, brick_no;
    if (hxtr_inode_build(HXTR_INODE_V3, json, block, &no, &brick_no) < 0)
        return -EINVAL;
    if (no >= sb.sb_inode_table_cnt || brick_no >= sb.sb_brick_table_cnt) {
        hxtr_err("i_no %u or brick_no %u is invalid, max i_cnt:%lu, max b_cnt:%lu", no, brick_no,
                 static_cast<unsigned long>(sb.sb_inode_table_cnt),
                 static_cast<unsigned long>(sb.sb_brick_table_cnt));
        return -EINVAL;
    }
    return hxtr_repair_place(hxtr_unit_offset(sb.sb_inode_table_offset, no),
                             [&](int64_t off) { return hxtr_inode_json(HXTR_INODE_V3, block, off); });
}

// The page that "meta_offset" names: inside [table, window_end), on a page
// boundary of the table and below its `pages` pages, so that a page is
// never written over another table or under another page's numbers.
int64_t page_at(const hxtr_json_t *json, uint64_t table, uint64_t window_end, uint64_t pages, uint64_t *page) {
    uint64_t off;
    if (hxtr_json_get_u64(json, json->root, "meta_offset", INT64_MAX, true, &off) < 0)
        return -EINVAL;
    if (off < table || off >= window_end || (off - table) % HXTR_BLOCK_SIZE != 0 ||
        (off - table) / HXTR_BLOCK_SIZE >= pages) {
        hxtr_err("meta_offset: %ld invalid", static_cast<long>(off));
        return -EINVAL;
    }
    *page = (off - table) / HXTR_BLOCK_SIZE;
    return hxtr_repair_target(off);
}

struct jbits {
    const char *key;
    hxtr_bits bits;
    bool required;
};

// Reads bit fields of one entry object into `word`.  0 or -EINVAL (logged).
int read_bits(const hxtr_json_t *json, const cJSON *obj, const jbits *fields, size_t n, uint64_t *word) {
    for (size_t i = 0; i < n; i++) {
        uint64_t v;
        int ret = hxtr_json_get_u64(json, obj, fields[i].key, hxtr_bits_max(fields[i].bits), fields[i].required, &v);
        if (ret < 0)
            return ret;
        if (ret == 0)
            *word = hxtr_bits_set(*word, fields[i].bits, v);
    }
    return 0;
}

int64_t v3_parse_shard(hxtr_params_t *p, const hxtr_json_t *json, void *block) {
    static const jbits fields[] = {
        {"ino", TIER_SHARD_INO, true},
        {"index", TIER_SHARD_INDEX, true},
        {"reserved", TIER_SHARD_RESERVED, false},
    };
    const tier_super_block_v3_t sb = v3_sb(p);
    uint64_t page_no;
    int64_t off = page_at(json, sb.sb_shard_table_offset, sb.sb_hot_table_offset,
                          sb.sb_shard_table_cnt / kPageEntries, &page_no);
    if (off < 0)
        return off;
    const cJSON *shards = hxtr_json_member(json->root, "shards");
    if (!cJSON_IsArray(shards)) {
        hxtr_err("shards_json is invalid. shards_json:%p", static_cast<const void *>(shards));
        return -EINVAL;
    }
    const int cnt = cJSON_GetArraySize(shards);
    if (cnt > static_cast<int>(kPageEntries - 1)) {
        hxtr_err("shards_cnt: %d bigger than %d", cnt, static_cast<int>(kPageEntries));
        return -EINVAL;
    }
    auto *page = static_cast<tier_shard_v3_t *>(block);
    int index = 0;
    for (const cJSON *obj = shards->child; obj != nullptr; obj = obj->next, index++) {
        if (!cJSON_IsObject(obj)) {
            hxtr_err("shards_json index: %d invalid", index);
            return -EINVAL;
        }
        uint64_t sno;
        if (hxtr_json_get_u64(json, obj, "sno", INT64_MAX, true, &sno) < 0)
            return -EINVAL;
        const uint64_t slot = sno % kPageEntries;
        if (slot == 0 || sno / kPageEntries != page_no) {
            hxtr_err("shards_json sno: %ld invalid", static_cast<long>(sno));
            return -EINVAL;
        }
        uint64_t w = 0;
        if (read_bits(json, obj, fields, 3, &w) < 0)
            return -EINVAL;
        page->slot[slot - 1] = hxtr_bits_set(w, TIER_SHARD_IN_USE, 1);
    }
    hxtr_shard_page_seal(page);
    return off;
}

int64_t v3_parse_extent(hxtr_params_t *p, const hxtr_json_t *json, void *block) {
    static const jbits fields[] = {
        {"lba", TIER_EXT_LBA, true},       {"shard", TIER_EXT_SHARD, true},
        {"dirty", TIER_EXT_DIRTY, true},   {"bitmap", TIER_EXT_BITMAP, true},
        {"sense", TIER_EXT_SENSE, false},  {"demote", TIER_EXT_DEMOTE, false},
        {"dm_err", TIER_EXT_DM_ERR, false}, {"reserved", TIER_EXT_RESERVED, false},
    };
    const tier_super_block_v3_t sb = v3_sb(p);
    uint64_t page_no;
    int64_t off = page_at(json, sb.sb_extent_table_offset, sb.sb_block_area_offset,
                          sb.sb_extent_table_cnt / kPageEntries, &page_no);
    if (off < 0)
        return off;
    const cJSON *extents = hxtr_json_member(json->root, "extents");
    if (!cJSON_IsArray(extents)) {
        hxtr_err("extents_json is invalid. shards_json:%p", static_cast<const void *>(extents));
        return -EINVAL;
    }
    const int cnt = cJSON_GetArraySize(extents);
    if (cnt > static_cast<int>(kPageEntries)) {
        hxtr_err("extents_cnt: %d bigger than %d", cnt, static_cast<int>(kPageEntries));
        return -EINVAL;
    }
    auto *page = static_cast<tier_extent_v3_t *>(block);
    int index = 0;
    for (const cJSON *obj = extents->child; obj != nullptr; obj = obj->next, index++) {
        if (!cJSON_IsObject(obj)) {
            hxtr_err("extent_json index: %d invalid", index);
            return -EINVAL;
        }
        uint64_t eno;
        if (hxtr_json_get_u64(json, obj, "eno", INT64_MAX, true, &eno) < 0)
            return -EINVAL;
        if (eno / kPageEntries != page_no) {
            hxtr_err("extents_json eno: %ld invalid", static_cast<long>(eno));
            return -EINVAL;
        }
        uint64_t w = 0;
        if (read_bits(json, obj, fields, sizeof(fields) / sizeof(fields[0]), &w) < 0)
            return -EINVAL;
        page->entry[eno % kPageEntries] = hxtr_bits_set(w, TIER_EXT_IN_USE, 1);
    }
    hxtr_extent_page_seal(page);
    return off;
}

int64_t v3_parse_hot(hxtr_params_t *p, const hxtr_json_t *json, void *) {
    const tier_super_block_v3_t sb = v3_sb(p);
    uint64_t page_no;
    // The block stays all zeros.
    return page_at(json, sb.sb_hot_table_offset, sb.sb_extent_table_offset, sb.sb_hot_table_size / HXTR_BLOCK_SIZE,
                   &page_no);
}

const hxtr_cmd_entry s_v3_cmds[] = {
    {HXTR_CMD_DUMP_SUPER, v3_dump_super},
    {HXTR_CMD_DUMP_BRICK, v3_dump_brick},
    {HXTR_CMD_DUMP_INODE, v3_dump_inode},
    {HXTR_CMD_DUMP_EXTENT, v3_dump_extent},
    {HXTR_CMD_DUMP_SHARD, v3_dump_shard},
    {HXTR_CMD_DUMP_HOT_TABLE, v3_dump_hot},
    {HXTR_CMD_REPAIR_SUPER, hxtr_repair_handler<v3_parse_super>},
    {HXTR_CMD_REPAIR_BRICK, hxtr_repair_handler<v3_parse_brick>},
    {HXTR_CMD_REPAIR_INODE, hxtr_repair_handler<v3_parse_inode>},
    {HXTR_CMD_REPAIR_EXTENT, hxtr_repair_handler<v3_parse_extent>},
    {HXTR_CMD_REPAIR_SHARD, hxtr_repair_handler<v3_parse_shard>},
    {HXTR_CMD_REPAIR_HOT_TABLE, hxtr_repair_handler<v3_parse_hot>},
};

int v3_selector(hxtr_cmd_t cmd, const void *sb, hxtr_cmd_func_t *func) {
    return hxtr_select_cmd(s_v3_cmds, v3_sb_match, cmd, sb, func);
}

}  // namespace

void hxtr_v3_register(void) { hxtr_func_register(HXTR_VER_CODE_V3, v3_selector); }
