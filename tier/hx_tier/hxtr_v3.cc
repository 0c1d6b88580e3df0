// Version 3 of the tier metadata: super block of 264 bytes (magic 0xcacbdcbd,
// version 0x30000) giving every table's offset, bricks and inodes of one
// block each, and shard, extent and hot tables of 4096-byte pages.  Shard
// pages carry a magic and a CRC in slot 0; extent pages spread their CRC over
// bit 0 of entries 0..31; hot pages are opaque.
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
        hxtr_err("block size(%lu) is invalid. expect block_size:[%u-%u] and must 4k aligned",
                 u(sb.sb_block_size), 8192u, 65536u);
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

/* ---- shard and extent pages */

// A key of a page entry and its bits in the entry's slot word; the bits
// kEntryNo stand for the entry's number (page * 512 + slot).
struct jbits {
    const char *key;
    hxtr_bits bits;
    bool required = false; // in the repair form
};
constexpr hxtr_bits kEntryNo{0, 0};

// Shard and extent pages both hold 512 eight-byte slots of bit-packed
// entries and differ only in data: where the entries start (slot 0 of a
// shard page is its header), the entries' bits and keys, and the names in
// their messages.
struct page_kind {
    unsigned first_slot;
    hxtr_bits in_use;
    hxtr_bits owner;              // what the "owner" filter compares
    std::span<const jbits> shown; // keys of the dump form, in order
    std::span<const jbits> read;  // keys of the repair form, in reading order
    const char *list_key;         // the entries' array in both forms
    const char *item_name;        // in "<item_name>_json index: %d invalid"
    const char *no_key;           // an entry's number in the repair form
    const char *entry_name;       // in "ignore <entry_name>:%lu, in_use:%d, <owner_name>:%u"
    const char *owner_name;
    uint64_t (*get)(const void *page, unsigned slot);
    void (*set)(void *page, unsigned slot, uint64_t word);
};

constexpr jbits kExtentShown[] = {
    {"lba", TIER_EXT_LBA},       {"shard", TIER_EXT_SHARD},       {"dirty", TIER_EXT_DIRTY},
    {"in_use", TIER_EXT_IN_USE}, {"sense", TIER_EXT_SENSE},       {"demote", TIER_EXT_DEMOTE},
    {"dm_err", TIER_EXT_DM_ERR}, {"reserved", TIER_EXT_RESERVED}, {"eno", kEntryNo},
    {"bitmap", TIER_EXT_BITMAP},
};
constexpr jbits kExtentRead[] = {
    {"lba", TIER_EXT_LBA, true},        {"shard", TIER_EXT_SHARD, true},
    {"dirty", TIER_EXT_DIRTY, true},    {"bitmap", TIER_EXT_BITMAP, true},
    {"sense", TIER_EXT_SENSE, false},   {"demote", TIER_EXT_DEMOTE, false},
    {"dm_err", TIER_EXT_DM_ERR, false}, {"reserved", TIER_EXT_RESERVED, false},
};
const page_kind kExtentPage = {
    .first_slot = 0,
    .in_use = TIER_EXT_IN_USE,
    .owner = TIER_EXT_SHARD,
    .shown = kExtentShown,
    .read = kExtentRead,
    .list_key = "extents",
    .item_name = "extent",
    .no_key = "eno",
    .entry_name = "extent",
    .owner_name = "shard_no",
    .get = [](const void *page,
              unsigned slot) { return static_cast<const tier_extent_v3_t *>(page)->entry[slot]; },
    .set = [](void *page, unsigned slot,
              uint64_t w) { static_cast<tier_extent_v3_t *>(page)->entry[slot] = w; },
};

constexpr jbits kShardShown[] = {
    {"ino", TIER_SHARD_INO}, {"in_use", TIER_SHARD_IN_USE}, {"reserved", TIER_SHARD_RESERVED},
    {"sno", kEntryNo},       {"index", TIER_SHARD_INDEX},
};
constexpr jbits kShardRead[] = {
    {"ino", TIER_SHARD_INO, true},
    {"index", TIER_SHARD_INDEX, true},
    {"reserved", TIER_SHARD_RESERVED, false},
};
const page_kind kShardPage = {
    .first_slot = 1,
    .in_use = TIER_SHARD_IN_USE,
    .owner = TIER_SHARD_INO,
    .shown = kShardShown,
    .read = kShardRead,
    .list_key = "shards",
    .item_name = "shards",
    .no_key = "sno",
    .entry_name = "shard",
    .owner_name = "inode_no",
    .get = [](const void *page,
              unsigned slot) { return static_cast<const tier_shard_v3_t *>(page)->slot[slot - 1]; },
    .set = [](void *page, unsigned slot,
              uint64_t w) { static_cast<tier_shard_v3_t *>(page)->slot[slot - 1] = w; },
};

// An entry of a page is listed when it matches the filter.
bool entry_matches(const hxtr_filter_t &f, bool in_use, uint64_t owner) {
    return f.error != 1 && (f.use < 0 || (f.use != 0) == in_use) &&
           (f.owner < 0 || (in_use && owner == static_cast<uint64_t>(f.owner)));
}

// Format function body of a checked page: `head` (the page's own keys up to
// its entries' array), the entries the filter selects in slot order, "]}".
// When all pages are dumped, a page without any selected entry is left out
// (1).
int page_format(const page_kind &k, int64_t no, const void *page, std::string head, const char *delim,
                hxtr_params_t *p) {
    const char *sep = "";
    for (unsigned slot = k.first_slot; slot < kPageEntries; slot++) {
        const uint64_t w = k.get(page, slot);
        const uint64_t eno = static_cast<uint64_t>(no) * kPageEntries + slot;
        const bool in_use = hxtr_bits_get(w, k.in_use) != 0;
        const auto owner = static_cast<unsigned>(hxtr_bits_get(w, k.owner));
        if (!entry_matches(p->filter, in_use, owner)) {
            hxtr_dbg("ignore %s:%lu, in_use:%d, %s:%u", k.entry_name, static_cast<unsigned long>(eno), in_use,
                     k.owner_name, owner);
            continue;
        }
        head += sep;
        const char *fsep = "{";
        for (const jbits &f : k.shown) {
            const uint64_t v = f.bits.width == 0 ? eno : hxtr_bits_get(w, f.bits);
            hxtr_appendf(head, "%s\"%s\":%lu", fsep, f.key, static_cast<unsigned long>(v));
            fsep = ",";
        }
        head += "}";
        sep = ",";
    }
    if (*sep == '\0' && p->meta_no < 0)
        return 1;
    head += "]}";
    hxtr_dump_emit(p, delim, head);
    return 0;
}

int v3_extent_format(int64_t no, const void *unit, const char *delim, hxtr_params_t *p) {
    const auto *page = static_cast<const tier_extent_v3_t *>(unit);
    const uint32_t stored = hxtr_extent_page_stored_crc(page);
    const uint32_t crc = hxtr_extent_page_crc(page);
    if (stored != crc) {
        hxtr_err("extent no: %u, crc_ondisk: 0x%x crc: 0x%x", static_cast<unsigned>(no), stored, crc);
        return -EFAULT;
    }
    std::string head;
    hxtr_appendf(head, "{\"checksum\":\"0x%x\",\"meta_offset\": %ld,\"extents\":[", stored,
                 static_cast<long>(hxtr_unit_offset(v3_sb(p).sb_extent_table_offset, no)));
    return page_format(kExtentPage, no, unit, std::move(head), delim, p);
}

int v3_shard_format(int64_t no, const void *unit, const char *delim, hxtr_params_t *p) {
    const auto *page = static_cast<const tier_shard_v3_t *>(unit);
    const uint32_t crc = hxtr_shard_page_crc(page);
    if (page->magic != TIER_SHARD_MAGIC_V3 || page->crc != crc) {
        hxtr_err("shard no: %u, magic_ondisk: 0x%x magic: 0x%x, crc_ondisk: 0x%x crc: 0x%x",
                 static_cast<unsigned>(no), page->magic, TIER_SHARD_MAGIC_V3, page->crc, crc);
        return -EFAULT;
    }
    std::string head;
    hxtr_appendf(head, "{\"checksum\":\"0x%x\",\"magic\":\"0x%x\",\"meta_offset\": %ld,\"shards\":[",
                 page->crc, page->magic,
                 static_cast<long>(hxtr_unit_offset(v3_sb(p).sb_shard_table_offset, no)));
    return page_format(kShardPage, no, unit, std::move(head), delim, p);
}

// The page that "meta_offset" names: inside [table, window_end), on a page
// boundary of the table and below its `pages` pages, so that a page is
// never written over another table or under another page's numbers.
int64_t page_at(const hxtr_json_t *json, uint64_t table, uint64_t window_end, uint64_t pages,
                uint64_t *page) {
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

// The entries of page `page_no` from its repair form into the zeroed page,
// each in its slot and marked in use.  0 or -EINVAL (logged).
int page_parse(const page_kind &k, const hxtr_json_t *json, uint64_t page_no, void *page) {
    const cJSON *list = hxtr_json_member(json->root, k.list_key);
    if (!cJSON_IsArray(list)) {
        hxtr_err("%s_json is invalid. shards_json:%p", k.list_key, static_cast<const void *>(list));
        return -EINVAL;
    }
    const int cnt = cJSON_GetArraySize(list);
    if (cnt > static_cast<int>(kPageEntries - k.first_slot)) {
        hxtr_err("%s_cnt: %d bigger than %d", k.list_key, cnt, static_cast<int>(kPageEntries));
        return -EINVAL;
    }
    int index = 0;
    for (const cJSON *obj = list->child; obj != nullptr; obj = obj->next, index++) {
        if (!cJSON_IsObject(obj)) {
            hxtr_err("%s_json index: %d invalid", k.item_name, index);
            return -EINVAL;
        }
        uint64_t no;
        if (hxtr_json_get_u64(json, obj, k.no_key, INT64_MAX, true, &no) < 0)
            return -EINVAL;
        const uint64_t slot = no % kPageEntries;
        if (slot < k.first_slot || no / kPageEntries != page_no) {
            hxtr_err("%s_json %s: %ld invalid", k.list_key, k.no_key, static_cast<long>(no));
            return -EINVAL;
        }
        uint64_t w = 0;
        for (const jbits &f : k.read) {
            uint64_t v;
            int ret = hxtr_json_get_u64(json, obj, f.key, hxtr_bits_max(f.bits), f.required, &v);
            if (ret < 0)
                return ret;
            if (ret == 0)
                w = hxtr_bits_set(w, f.bits, v);
        }
        k.set(page, static_cast<unsigned>(slot), hxtr_bits_set(w, k.in_use, 1));
    }
    return 0;
}

int64_t v3_parse_shard(hxtr_params_t *p, const hxtr_json_t *json, void *block) {
    const tier_super_block_v3_t sb = v3_sb(p);
    uint64_t page_no;
    int64_t off = page_at(json, sb.sb_shard_table_offset, sb.sb_hot_table_offset,
                          sb.sb_shard_table_cnt / kPageEntries, &page_no);
    if (off < 0)
        return off;
    if (page_parse(kShardPage, json, page_no, block) < 0)
        return -EINVAL;
    hxtr_shard_page_seal(static_cast<tier_shard_v3_t *>(block));
    return off;
}

int64_t v3_parse_extent(hxtr_params_t *p, const hxtr_json_t *json, void *block) {
    const tier_super_block_v3_t sb = v3_sb(p);
    uint64_t page_no;
    int64_t off = page_at(json, sb.sb_extent_table_offset, sb.sb_block_area_offset,
                          sb.sb_extent_table_cnt / kPageEntries, &page_no);
    if (off < 0)
        return off;
    if (page_parse(kExtentPage, json, page_no, block) < 0)
        return -EINVAL;
    hxtr_extent_page_seal(static_cast<tier_extent_v3_t *>(block));
    return off;
}

/* ---- dump */

int v3_dump_super(hxtr_params_t *p) {
    hxtr_dump_emit(p, "", v3_sb_json(v3_sb(p)));
    return 0;
}

int v3_brick_format(int64_t no, const void *unit, const char *delim, hxtr_params_t *p) {
    const uint64_t off = hxtr_unit_offset(v3_sb(p).sb_brick_table_offset, no);
    return hxtr_brick_format(TIER_BRICK_MAGIC_V3, no, unit, delim, p, off);
}

int v3_dump_brick(hxtr_params_t *p) {
    const tier_super_block_v3_t sb = v3_sb(p);
    return hxtr_dump_table(p, "bi_no", sb.sb_brick_table_offset, sb.sb_brick_table_cnt, v3_brick_format);
}

int v3_inode_format(int64_t no, const void *unit, const char *delim, hxtr_params_t *p) {
    const uint64_t off = hxtr_unit_offset(v3_sb(p).sb_inode_table_offset, no);
    return hxtr_inode_format(HXTR_INODE_V3, no, unit, delim, p, off);
}

int v3_dump_inode(hxtr_params_t *p) {
    const tier_super_block_v3_t sb = v3_sb(p);
    return hxtr_dump_table(p, "no", sb.sb_inode_table_offset, sb.sb_inode_table_cnt, v3_inode_format);
}

int v3_dump_extent(hxtr_params_t *p) {
    const tier_super_block_v3_t sb = v3_sb(p);
    return hxtr_dump_table(p, "extent_no", sb.sb_extent_table_offset, sb.sb_extent_table_cnt / kPageEntries,
                           v3_extent_format);
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
    hxtr_appendf(s, "{\"meta_offset\":%ld}",
                 static_cast<long>(hxtr_unit_offset(v3_sb(p).sb_hot_table_offset, no)));
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
    return hxtr_brick_build(json, TIER_BRICK_MAGIC_V3, sb.sb_brick_table_cnt, sb.sb_brick_table_offset,
                            block);
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

int64_t v3_parse_hot(hxtr_params_t *p, const hxtr_json_t *json, void *) {
    const tier_super_block_v3_t sb = v3_sb(p);
    uint64_t page_no;
    // The block stays all zeros.
    return page_at(json, sb.sb_hot_table_offset, sb.sb_extent_table_offset,
                   sb.sb_hot_table_size / HXTR_BLOCK_SIZE, &page_no);
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

} // namespace

void hxtr_v3_register(void) {
    hxtr_func_register(HXTR_VER_CODE_V3, hxtr_selector<s_v3_cmds, v3_sb_match>);
}
