// On-disk records of the tier cache metadata, versions 1, 2 and 3.
//
// Every record is a packed little-endian struct whose size and field offsets
// are pinned by static_asserts (offsets several layouts share, such as bytes
// 0..79 of every inode, by one layout template applied to each of them); the
// tool reads and writes records only through these structs (copied with
// memcpy out of 4096-byte aligned blocks), never by hand-computed offsets
// elsewhere.  Bit fields packed into words (v3 extent
// entries and shard slots, v2 mapped-meta entries) are read and built through
// the inline accessors below, bit 0 being the least significant bit of the
// little-endian word.
//
// Placement on the device:
//   - the super block is at byte 4096 (HXTR_SB_OFFSET) in every version;
//   - v1/v2: bricks, inodes and extent records follow the super block area in
//     one 4096-byte block each (offsets derived from the super block sizes);
//   - v3: every table starts at the offset its super block gives; shard,
//     extent and hot tables are arrays of 4096-byte pages.
#ifndef HXTR_FORMAT_H
#define HXTR_FORMAT_H

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

static_assert(std::endian::native == std::endian::little,
              "the tier metadata records are little-endian structs");

#define HXTR_BLOCK_SIZE   4096u     /* one record block or table page */
#define HXTR_SB_OFFSET    4096u     /* device offset of the super block */
#define HXTR_SB_AREA_SIZE 0x100000u /* required super block area size */
#define HXTR_MiB          0x100000ull

/* Super block magics and version words. */
#define TIER_SB_MAGIC_V12 0xcacbcccdu
#define TIER_SB_MAGIC_V3  0xcacbdcbdu
#define TIER_OLD_VERSION  0x10000u
#define TIER_VERSION_V2   0x20000u
#define TIER_VERSION_V3   0x30000u

/* Record magics. */
#define TIER_BRICK_MAGIC_V12 0x42524b49u /* bytes "IKRB" */
#define TIER_BRICK_MAGIC_V3  0x42584b69u /* bytes "iKXB" */
#define TIER_INODE_MAGIC_V12 0x494e4f44u
#define TIER_INODE_MAGIC_V3  0x498e4f54u
#define TIER_SHARD_MAGIC_V3  0x2183ba9du

/* v2 expansion inode area. */
#define TIER_EXP_INODE_MAGIC 0x4558u
#define TIER_EXP_INODE_INUSE 0x53u
#define TIER_EXP_INODE_UNIT  25600u  /* inodes per sb_inode_exp_area unit */
#define TIER_EXP_INODE_MIN   153600u /* smallest formatted area */
#define TIER_V2_INODE_NO_MAX 499999u /* largest valid v2 inode number */

/* Text field sizes. */
#define TIER_SSD_UUID_LEN      48 /* sb_cdev_uuid / sb_ssd_uuid */
#define TIER_SSD_UUID_TEXT_LEN 38 /* length of a valid volume uuid text */
#define TIER_BRICKID_LEN       128
#define TIER_BRICKID_TEXT_LEN  93 /* length of a used brick's id */

/* v3 page geometry. */
#define TIER_V3_ENTRIES_PER_PAGE   512u /* 8-byte entries (or slots) per page */
#define TIER_V3_EXTENT_CRC_ENTRIES 32u  /* entries carrying one CRC bit each */

/* ------------------------------------------------------------------ v3 */

struct __attribute__((packed)) tier_super_block_v3_t {
    uint32_t sb_checksum;
    uint32_t sb_magic;
    uint64_t sb_sb_offset;
    uint64_t sb_sb_size;
    uint64_t sb_reserved_offset;
    uint64_t sb_reserved_size;
    uint64_t sb_ctime;
    uint8_t sb_uuid[16];
    char sb_cdev_uuid[TIER_SSD_UUID_LEN];
    uint32_t sb_version;
    uint32_t sb_reserved;
    uint64_t sb_brick_table_offset;
    uint64_t sb_brick_table_size;
    uint64_t sb_brick_table_cnt;
    uint64_t sb_inode_table_offset;
    uint64_t sb_inode_table_size;
    uint64_t sb_inode_table_cnt;
    uint64_t sb_shard_table_offset;
    uint64_t sb_shard_table_size;
    uint64_t sb_shard_table_cnt;
    uint64_t sb_extent_table_offset;
    uint64_t sb_extent_table_size;
    uint64_t sb_extent_table_cnt;
    uint64_t sb_hot_table_offset;
    uint64_t sb_hot_table_size;
    uint64_t sb_block_area_offset;
    uint64_t sb_block_area_size;
    uint64_t sb_block_size;
    uint64_t sb_block_cnt;
};
static_assert(sizeof(tier_super_block_v3_t) == 264);
static_assert(offsetof(tier_super_block_v3_t, sb_checksum) == 0);
static_assert(offsetof(tier_super_block_v3_t, sb_magic) == 4);
static_assert(offsetof(tier_super_block_v3_t, sb_sb_offset) == 8);
static_assert(offsetof(tier_super_block_v3_t, sb_sb_size) == 16);
static_assert(offsetof(tier_super_block_v3_t, sb_reserved_offset) == 24);
static_assert(offsetof(tier_super_block_v3_t, sb_reserved_size) == 32);
static_assert(offsetof(tier_super_block_v3_t, sb_ctime) == 40);
static_assert(offsetof(tier_super_block_v3_t, sb_uuid) == 48);
static_assert(offsetof(tier_super_block_v3_t, sb_cdev_uuid) == 64);
static_assert(offsetof(tier_super_block_v3_t, sb_version) == 112);
static_assert(offsetof(tier_super_block_v3_t, sb_reserved) == 116);
static_assert(offsetof(tier_super_block_v3_t, sb_brick_table_offset) == 120);
static_assert(offsetof(tier_super_block_v3_t, sb_brick_table_size) == 128);
static_assert(offsetof(tier_super_block_v3_t, sb_brick_table_cnt) == 136);
static_assert(offsetof(tier_super_block_v3_t, sb_inode_table_offset) == 144);
static_assert(offsetof(tier_super_block_v3_t, sb_inode_table_size) == 152);
static_assert(offsetof(tier_super_block_v3_t, sb_inode_table_cnt) == 160);
static_assert(offsetof(tier_super_block_v3_t, sb_shard_table_offset) == 168);
static_assert(offsetof(tier_super_block_v3_t, sb_shard_table_size) == 176);
static_assert(offsetof(tier_super_block_v3_t, sb_shard_table_cnt) == 184);
static_assert(offsetof(tier_super_block_v3_t, sb_extent_table_offset) == 192);
static_assert(offsetof(tier_super_block_v3_t, sb_extent_table_size) == 200);
static_assert(offsetof(tier_super_block_v3_t, sb_extent_table_cnt) == 208);
static_assert(offsetof(tier_super_block_v3_t, sb_hot_table_offset) == 216);
static_assert(offsetof(tier_super_block_v3_t, sb_hot_table_size) == 224);
static_assert(offsetof(tier_super_block_v3_t, sb_block_area_offset) == 232);
static_assert(offsetof(tier_super_block_v3_t, sb_block_area_size) == 240);
static_assert(offsetof(tier_super_block_v3_t, sb_block_size) == 248);
static_assert(offsetof(tier_super_block_v3_t, sb_block_cnt) == 256);

/* Brick record: one layout for every version, only the magic differs. */
struct __attribute__((packed)) tier_brick_info_v3_t {
    uint32_t bi_checksum;
    uint32_t bi_magic;
    uint32_t bi_use;
    uint32_t bi_no;
    uint8_t bi_uuid[16];
    char bi_brickid[TIER_BRICKID_LEN];
    uint32_t bi_unlink;
    uint32_t bi_reserved;
};
static_assert(sizeof(tier_brick_info_v3_t) == 168);
static_assert(offsetof(tier_brick_info_v3_t, bi_checksum) == 0);
static_assert(offsetof(tier_brick_info_v3_t, bi_magic) == 4);
static_assert(offsetof(tier_brick_info_v3_t, bi_use) == 8);
static_assert(offsetof(tier_brick_info_v3_t, bi_no) == 12);
static_assert(offsetof(tier_brick_info_v3_t, bi_uuid) == 16);
static_assert(offsetof(tier_brick_info_v3_t, bi_brickid) == 32);
static_assert(offsetof(tier_brick_info_v3_t, bi_unlink) == 160);
static_assert(offsetof(tier_brick_info_v3_t, bi_reserved) == 164);
typedef tier_brick_info_v3_t tier_brick_info_v2_t;
typedef tier_brick_info_v3_t tier_brick_info_v1_t;

/* Inode record of v2 and v3: one layout, a template over the type of i_no
 * (signed in v3, unsigned in v2); each version has its own magic. */
template <typename NoT> struct __attribute__((packed)) tier_inode_t {
    uint32_t i_checksum;
    uint32_t i_magic;
    uint64_t i_atime;
    uint64_t i_ctime;
    uint64_t i_mtime;
    uint64_t i_dtime;
    uint8_t i_uuid[16];
    uint64_t i_size;
    uint32_t i_priority;
    NoT i_no;
    uint32_t i_brick_no;
    uint16_t i_unlink;
    uint16_t i_use;
    uint64_t new_data;
    uint64_t i_blocks;
};
typedef tier_inode_t<int32_t> tier_inode_v3_t;
typedef tier_inode_t<uint32_t> tier_inode_v2_t;

/* Size and bytes 0..79 of every inode layout (v1 differs only behind them). */
template <typename T> struct tier_inode_head_layout {
    static_assert(sizeof(T) == 96);
    static_assert(offsetof(T, i_checksum) == 0);
    static_assert(offsetof(T, i_magic) == 4);
    static_assert(offsetof(T, i_atime) == 8);
    static_assert(offsetof(T, i_ctime) == 16);
    static_assert(offsetof(T, i_mtime) == 24);
    static_assert(offsetof(T, i_dtime) == 32);
    static_assert(offsetof(T, i_uuid) == 40);
    static_assert(offsetof(T, i_size) == 56);
    static_assert(offsetof(T, i_priority) == 64);
    static_assert(offsetof(T, i_no) == 68);
    static_assert(offsetof(T, i_brick_no) == 72);
    static_assert(offsetof(T, i_unlink) == 76);
    static_assert(offsetof(T, i_use) == 78);
    static constexpr bool ok = true;
};
static_assert(tier_inode_head_layout<tier_inode_v3_t>::ok);
static_assert(tier_inode_head_layout<tier_inode_v2_t>::ok);
static_assert(offsetof(tier_inode_v3_t, new_data) == 80);
static_assert(offsetof(tier_inode_v3_t, i_blocks) == 88);
static_assert(offsetof(tier_inode_v2_t, new_data) == 80);
static_assert(offsetof(tier_inode_v2_t, i_blocks) == 88);

/* v3 shard page: slot 0 is the header (CRC and magic), slots 1..511 shards.
 * Slot word: bits 0-17 ino, bit 18 in_use, bits 19-31 reserved, 32-63 index. */
struct __attribute__((packed)) tier_shard_v3_t {
    uint32_t crc;
    uint32_t magic;
    uint64_t slot[TIER_V3_ENTRIES_PER_PAGE - 1];
};
static_assert(sizeof(tier_shard_v3_t) == HXTR_BLOCK_SIZE);
static_assert(offsetof(tier_shard_v3_t, crc) == 0);
static_assert(offsetof(tier_shard_v3_t, magic) == 4);
static_assert(offsetof(tier_shard_v3_t, slot) == 8);

/* v3 extent page: 512 entries of one 64-bit word each. */
struct __attribute__((packed)) tier_extent_v3_t {
    uint64_t entry[TIER_V3_ENTRIES_PER_PAGE];
};
static_assert(sizeof(tier_extent_v3_t) == HXTR_BLOCK_SIZE);

/* A field of `width` bits starting at bit `shift` of a word. */
struct hxtr_bits {
    unsigned shift;
    unsigned width;
};

constexpr uint64_t hxtr_bits_max(hxtr_bits b) {
    return b.width >= 64 ? ~0ull : (1ull << b.width) - 1;
}
constexpr uint64_t hxtr_bits_get(uint64_t word, hxtr_bits b) {
    return (word >> b.shift) & hxtr_bits_max(b);
}
/* REQUIRES: v <= hxtr_bits_max(b). */
constexpr uint64_t hxtr_bits_set(uint64_t word, hxtr_bits b, uint64_t v) {
    return (word & ~(hxtr_bits_max(b) << b.shift)) | ((v & hxtr_bits_max(b)) << b.shift);
}

/* v3 extent entry bits. */
constexpr hxtr_bits TIER_EXT_CHECKSUM{0, 1};
constexpr hxtr_bits TIER_EXT_LBA{1, 19};
constexpr hxtr_bits TIER_EXT_SHARD{20, 19};
constexpr hxtr_bits TIER_EXT_DIRTY{39, 1};
constexpr hxtr_bits TIER_EXT_BITMAP{40, 16};
constexpr hxtr_bits TIER_EXT_IN_USE{56, 1};
constexpr hxtr_bits TIER_EXT_SENSE{57, 4};
constexpr hxtr_bits TIER_EXT_DEMOTE{61, 1};
constexpr hxtr_bits TIER_EXT_DM_ERR{62, 1};
constexpr hxtr_bits TIER_EXT_RESERVED{63, 1};

/* v3 shard slot bits. */
constexpr hxtr_bits TIER_SHARD_INO{0, 18};
constexpr hxtr_bits TIER_SHARD_IN_USE{18, 1};
constexpr hxtr_bits TIER_SHARD_RESERVED{19, 13};
constexpr hxtr_bits TIER_SHARD_INDEX{32, 32};

/* ------------------------------------------------------------------ v2 */

struct __attribute__((packed)) tier_super_block_v2_t {
    uint32_t sb_checksum;
    uint32_t sb_magic;
    uint64_t sb_brick_table_size;
    uint64_t sb_inode_table_size;
    uint64_t sb_extent_table_size;
    uint64_t sb_data_offset;
    uint64_t sb_ctime;
    uint8_t sb_uuid[16];
    char sb_ssd_uuid[TIER_SSD_UUID_LEN];
    uint32_t sb_version;
    uint32_t sb_size;
    uint32_t sb_brick_cnt;
    uint32_t sb_inode_cnt;
    uint32_t sb_block_size;
    uint32_t sb_block_cnt;
    uint32_t sb_extent_size;
    uint16_t sb_inode_exp_magic;
    uint8_t sb_inode_exp_area;
    uint8_t sb_inode_exp_inuse;
    uint32_t sb_min_alloc_size;
    uint32_t sb_total_map_size;
    uint32_t sb_map_cnt;
    uint32_t sb_size_mapped_meta;
    uint32_t sb_hot_size;
    uint32_t sb_total_extent_size;
};
/* Bytes 0..139 of the v1 and v2 super blocks, which agree on them. */
template <typename T> struct tier_super_block_v12_head_layout {
    static_assert(offsetof(T, sb_checksum) == 0);
    static_assert(offsetof(T, sb_magic) == 4);
    static_assert(offsetof(T, sb_brick_table_size) == 8);
    static_assert(offsetof(T, sb_inode_table_size) == 16);
    static_assert(offsetof(T, sb_extent_table_size) == 24);
    static_assert(offsetof(T, sb_data_offset) == 32);
    static_assert(offsetof(T, sb_ctime) == 40);
    static_assert(offsetof(T, sb_uuid) == 48);
    static_assert(offsetof(T, sb_ssd_uuid) == 64);
    static_assert(offsetof(T, sb_version) == 112);
    static_assert(offsetof(T, sb_size) == 116);
    static_assert(offsetof(T, sb_brick_cnt) == 120);
    static_assert(offsetof(T, sb_inode_cnt) == 124);
    static_assert(offsetof(T, sb_block_size) == 128);
    static_assert(offsetof(T, sb_block_cnt) == 132);
    static_assert(offsetof(T, sb_extent_size) == 136);
    static constexpr bool ok = true;
};
static_assert(sizeof(tier_super_block_v2_t) == 168);
static_assert(tier_super_block_v12_head_layout<tier_super_block_v2_t>::ok);
static_assert(offsetof(tier_super_block_v2_t, sb_inode_exp_magic) == 140);
static_assert(offsetof(tier_super_block_v2_t, sb_inode_exp_area) == 142);
static_assert(offsetof(tier_super_block_v2_t, sb_inode_exp_inuse) == 143);
static_assert(offsetof(tier_super_block_v2_t, sb_min_alloc_size) == 144);
static_assert(offsetof(tier_super_block_v2_t, sb_total_map_size) == 148);
static_assert(offsetof(tier_super_block_v2_t, sb_map_cnt) == 152);
static_assert(offsetof(tier_super_block_v2_t, sb_size_mapped_meta) == 156);
static_assert(offsetof(tier_super_block_v2_t, sb_hot_size) == 160);
static_assert(offsetof(tier_super_block_v2_t, sb_total_extent_size) == 164);

/* Extent record header shared by v1 and v2; te_bitmap words follow at byte
 * 56 up to sb_extent_size, then (v2 only) the mapped-meta array and the hot
 * bytes. */
struct __attribute__((packed)) tier_extent_v2_t {
    uint32_t te_checksum;
    uint32_t te_block;
    uint64_t te_size;
    uint32_t te_inode_no;
    uint32_t te_sampling_low;
    uint32_t te_sampling_mid;
    uint32_t te_sampling_high;
    uint16_t te_use;
    uint16_t te_clean;
    uint32_t te_ntime;
    uint64_t te_hot;
    uint64_t te_reserved1; /* te_no: the record's own number */
};
static_assert(sizeof(tier_extent_v2_t) == 56);
static_assert(offsetof(tier_extent_v2_t, te_checksum) == 0);
static_assert(offsetof(tier_extent_v2_t, te_block) == 4);
static_assert(offsetof(tier_extent_v2_t, te_size) == 8);
static_assert(offsetof(tier_extent_v2_t, te_inode_no) == 16);
static_assert(offsetof(tier_extent_v2_t, te_sampling_low) == 20);
static_assert(offsetof(tier_extent_v2_t, te_sampling_mid) == 24);
static_assert(offsetof(tier_extent_v2_t, te_sampling_high) == 28);
static_assert(offsetof(tier_extent_v2_t, te_use) == 32);
static_assert(offsetof(tier_extent_v2_t, te_clean) == 34);
static_assert(offsetof(tier_extent_v2_t, te_ntime) == 36);
static_assert(offsetof(tier_extent_v2_t, te_hot) == 40);
static_assert(offsetof(tier_extent_v2_t, te_reserved1) == 48);
typedef tier_extent_v2_t tier_extent_v1_t;
#define TIER_EXTENT_BITMAP_OFFSET 56u /* first te_bitmap word */

/* Mapped-meta entry: second word holds clean (bit 0) and orig_len (1-31). */
struct __attribute__((packed)) tier_mapped_meta_v2_t {
    uint64_t offset;
    uint32_t clean_len;
    uint16_t begin;
    uint16_t cnt;
};
static_assert(sizeof(tier_mapped_meta_v2_t) == 16);
static_assert(offsetof(tier_mapped_meta_v2_t, offset) == 0);
static_assert(offsetof(tier_mapped_meta_v2_t, clean_len) == 8);
static_assert(offsetof(tier_mapped_meta_v2_t, begin) == 12);
static_assert(offsetof(tier_mapped_meta_v2_t, cnt) == 14);
constexpr hxtr_bits TIER_MAP_CLEAN{0, 1};
constexpr hxtr_bits TIER_MAP_ORIG_LEN{1, 31};
#define TIER_MAP_CNT_MAX      64u
#define TIER_MAPPED_META_SIZE 16u
#define TIER_HOT_SIZE         64u

/* ------------------------------------------------------------------ v1 */

struct __attribute__((packed)) tier_super_block_v1_t {
    uint32_t sb_checksum;
    uint32_t sb_magic;
    uint64_t sb_brick_table_size;
    uint64_t sb_inode_table_size;
    uint64_t sb_extent_table_size;
    uint64_t sb_data_offset;
    uint64_t sb_ctime;
    uint8_t sb_uuid[16];
    char sb_ssd_uuid[TIER_SSD_UUID_LEN];
    uint32_t sb_version;
    uint32_t sb_size;
    uint32_t sb_brick_cnt;
    uint32_t sb_inode_cnt;
    uint32_t sb_block_size;
    uint32_t sb_block_cnt;
    uint32_t sb_extent_size;
    uint32_t sb_reserved;
};
static_assert(sizeof(tier_super_block_v1_t) == 144);
static_assert(tier_super_block_v12_head_layout<tier_super_block_v1_t>::ok);
static_assert(offsetof(tier_super_block_v1_t, sb_reserved) == 140);

struct __attribute__((packed)) tier_inode_v1_t {
    uint32_t i_checksum;
    uint32_t i_magic;
    uint64_t i_atime;
    uint64_t i_ctime;
    uint64_t i_mtime;
    uint64_t i_dtime;
    uint8_t i_uuid[16];
    uint64_t i_size;
    uint32_t i_priority;
    uint32_t i_no;
    uint32_t i_brick_no;
    uint16_t i_unlink;
    uint16_t i_use;
    uint64_t i_reserved1;
    uint64_t i_reserved2;
};
static_assert(tier_inode_head_layout<tier_inode_v1_t>::ok);
static_assert(offsetof(tier_inode_v1_t, i_reserved1) == 80);
static_assert(offsetof(tier_inode_v1_t, i_reserved2) == 88);

/* The checksum covers a record from byte 4 (after the checksum itself). */
#define HXTR_CKSUM_FROM 4u

/* Device offset of unit `no` (record or page) of a table of 4096-byte units. */
constexpr uint64_t hxtr_unit_offset(uint64_t table, uint64_t no) {
    return table + no * HXTR_BLOCK_SIZE;
}

/* The record of type T at the start of `block` (any alignment). */
template <typename T> T hxtr_record_load(const void *block) {
    T rec;
    memcpy(&rec, block, sizeof(rec));
    return rec;
}

#endif
