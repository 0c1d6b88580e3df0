// The on-disk format of an instance: its units, the device layout and every
// record stored on the device, shared by the code that writes them and the
// code that reads them back.
//
// A device is cut into 1 MiB blocks (the public TAV_BLOCK_SIZE); a block of
// data is mapped whole or as eight 128 KiB slices (TAV_SLICE_SIZE); metadata is read and
// written in 4096-byte pages.  Every record is little-endian, packed, and has
// its size and field offsets pinned by static_asserts next to it, so that a
// change to a record that would move bytes on the device does not build.
//
// Layout of a device (every region starts on a block boundary):
//   block 0                      the superblock block: copies A and B
//   s_first_inode_block (1) ...  the inode table: one 8 KiB slot per inode
//   s_first_bitmap_block ...     the zone map: 256 pages of 4096 bytes a block
//   s_first_data_block - 1       backup of block 0 as formatted
//   s_first_data_block ...       data and extent blocks, from the zone map
// With the most inode groups and up to 33,423,360 blocks these are blocks
// 1-1024, 1025-1056, 1057 and 1058 on.
//
// Only records and constants live here; the modules that read and write them
// (super, zmap, extent, inode) keep their in-memory records and functions.
#ifndef TAV_ONDISK_FORMAT_H
#define TAV_ONDISK_FORMAT_H

#include <stddef.h>
#include <stdint.h>

#include "tav.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "on-disk records are little-endian");

/* A block number: the byte address is blkno << TAV_BLOCK_SHIFT. */
typedef uint64_t blkno_t;

#define TAV_BLOCK_SHIFT      20
#define TAV_SLICES_PER_BLOCK 8

static_assert(TAV_BLOCK_SIZE == 1ULL << TAV_BLOCK_SHIFT);
static_assert(TAV_SLICE_SIZE * TAV_SLICES_PER_BLOCK == TAV_BLOCK_SIZE);

typedef enum tav_meta_type {
    TAV_META_NULL = 0,
    TAV_META_SUPER = 1,
    TAV_META_INODE = 2,
} tav_meta_type;

/* Common header of the superblock and inode pages (48 bytes).  `checksum`
 * is xxhash_64 of bytes 8..4095 of the 4096-byte page. */
typedef struct __attribute__((packed)) meta_head {
    uint64_t checksum;
    char magic[8];
    uint64_t version;
    uint64_t generation;
    uint64_t length;
    uint32_t type;
    uint32_t pad;
} meta_head;

static_assert(sizeof(meta_head) == 48);
static_assert(offsetof(meta_head, checksum) == 0);
static_assert(offsetof(meta_head, magic) == 8);
static_assert(offsetof(meta_head, version) == 16);
static_assert(offsetof(meta_head, generation) == 24);
static_assert(offsetof(meta_head, length) == 32);
static_assert(offsetof(meta_head, type) == 40);
static_assert(offsetof(meta_head, pad) == 44);

/* ---- device layout --------------------------------------------------------- */

#define TAV_SB_PAGE_SIZE         4096
#define TAV_SB_COPY_A_OFFSET     0x10000
#define TAV_SB_COPY_B_OFFSET     0x12000
#define TAV_SB_FIRST_INODE_BLOCK 1ULL
#define TAV_SB_INODE_PER_GROUP   16384ULL
#define TAV_SB_INODE_MAX_GROUPS  8ULL /* the inode area holds 1024 blocks */
#define TAV_SB_MIN_BITMAP_BLOCKS 32ULL
#define TAV_SB_FSCK_INTERVAL     2592000ULL /* 30 days, in seconds */
#define TAV_SB_CRASH_LIMIT       100ULL

/* Inode number `ino` owns the 8 KiB slot at TAV_INODE_AREA_OFFSET + ino *
 * 8192: copy A in its first 4 KiB, copy B in its second. */
#define TAV_INODE_PAGESIZE        4096
#define TAV_INODE_SLOT_SIZE       8192
#define TAV_INODE_SLOTS_PER_BLOCK 128
#define TAV_INODE_AREA_OFFSET     (TAV_SB_FIRST_INODE_BLOCK << TAV_BLOCK_SHIFT)
#define TAV_INODE_MAX_SLOTS       131072
/* The inode area of the most inode groups ends before this block. */
#define TAV_FIRST_BITMAP_BLOCK                                                                               \
    (TAV_SB_FIRST_INODE_BLOCK + TAV_SB_INODE_MAX_GROUPS * TAV_SB_INODE_PER_GROUP / TAV_INODE_SLOTS_PER_BLOCK)
/* Blocks up to this one (superblock, inode area, zone map and backup of the
 * standard layout) are never tested for bad tracks. */
#define TAV_ZMAP_BADTRACK_SCAN_FLOOR (TAV_FIRST_BITMAP_BLOCK + TAV_SB_MIN_BITMAP_BLOCKS)

static_assert(TAV_INODE_SLOT_SIZE == 2 * TAV_INODE_PAGESIZE);
static_assert(TAV_INODE_SLOTS_PER_BLOCK * TAV_INODE_SLOT_SIZE == TAV_BLOCK_SIZE);
static_assert(TAV_INODE_MAX_SLOTS == TAV_SB_INODE_MAX_GROUPS * TAV_SB_INODE_PER_GROUP);
static_assert(TAV_INODE_AREA_OFFSET == 1048576);
static_assert(TAV_FIRST_BITMAP_BLOCK == 1025);
static_assert(TAV_ZMAP_BADTRACK_SCAN_FLOOR == 1057);

/* ---- superblock (copies A and B of block 0) --------------------------------- */

/* Header values. */
#define TAV_SB_MAGIC             "_TAVSB_" /* 7 characters and a zero byte */
#define TAV_SB_LENGTH            464ULL
#define TAV_SB_VERSION_1         1ULL                  /* zone map: one bit per block */
#define TAV_SB_VERSION_2         2ULL                  /* zone map: one byte per block */
#define TAV_SB_VERSION_UPGRADING 0xFFFFFFFFFFFFFFFFULL /* 1 -> 2 in progress; read as 2 */

enum { TAV_STAT_STOPPED = 0, TAV_STAT_RUNNING = 1 };

/* The superblock record, at the start of a 4096-byte page whose other bytes
 * are zero. */
typedef struct __attribute__((packed)) tav_sb_ondisk {
    meta_head s_header;
    uint8_t s_uuid[16];
    uint64_t s_state;
    uint64_t s_block_size;
    uint64_t s_blocks_count;
    uint64_t s_first_inode_block;
    uint64_t s_inode_blocks;
    uint64_t s_first_bitmap_block;
    uint64_t s_bitmap_blocks;
    uint64_t s_first_data_block;
    uint64_t s_inode_max_count;
    uint64_t s_inode_size;
    uint64_t s_inode_per_group;
    uint64_t s_inode_active_group;
    uint64_t s_inode_max_group;
    uint64_t s_ts_modify;
    uint64_t s_ts_fsck;
    uint64_t s_ts_format;
    uint64_t s_fsck_interval;
    uint64_t s_crash_count;
    uint64_t s_crash_limit;
} tav_sb_ondisk;

static_assert(sizeof(tav_sb_ondisk) == 216);
static_assert(offsetof(tav_sb_ondisk, s_header) == 0);
static_assert(offsetof(tav_sb_ondisk, s_uuid) == 48);
static_assert(offsetof(tav_sb_ondisk, s_state) == 64);
static_assert(offsetof(tav_sb_ondisk, s_block_size) == 72);
static_assert(offsetof(tav_sb_ondisk, s_blocks_count) == 80);
static_assert(offsetof(tav_sb_ondisk, s_first_inode_block) == 88);
static_assert(offsetof(tav_sb_ondisk, s_inode_blocks) == 96);
static_assert(offsetof(tav_sb_ondisk, s_first_bitmap_block) == 104);
static_assert(offsetof(tav_sb_ondisk, s_bitmap_blocks) == 112);
static_assert(offsetof(tav_sb_ondisk, s_first_data_block) == 120);
static_assert(offsetof(tav_sb_ondisk, s_inode_max_count) == 128);
static_assert(offsetof(tav_sb_ondisk, s_inode_size) == 136);
static_assert(offsetof(tav_sb_ondisk, s_inode_per_group) == 144);
static_assert(offsetof(tav_sb_ondisk, s_inode_active_group) == 152);
static_assert(offsetof(tav_sb_ondisk, s_inode_max_group) == 160);
static_assert(offsetof(tav_sb_ondisk, s_ts_modify) == 168);
static_assert(offsetof(tav_sb_ondisk, s_ts_fsck) == 176);
static_assert(offsetof(tav_sb_ondisk, s_ts_format) == 184);
static_assert(offsetof(tav_sb_ondisk, s_fsck_interval) == 192);
static_assert(offsetof(tav_sb_ondisk, s_crash_count) == 200);
static_assert(offsetof(tav_sb_ondisk, s_crash_limit) == 208);

/* ---- zone map ---------------------------------------------------------------- */

/* Version 2 (superblock version 2 or upgrading): one byte per block, block p
 * at byte p % 4080 of page p / 4080; 0 free, 0xFF a whole block (or a bad
 * track), anything else a slice block whose bit s marks slice s in use.
 * Version 1: one bit per block, least significant bit first, 32640 blocks a
 * page; only read, by the upgrade.  Both versions share the page record. */
#define TAV_ZMAP_PAGE_SIZE          4096
#define TAV_ZMAP_PAGE_BITMAP_SIZE   4080
#define TAV_ZMAP_PAGE_PER_BLOCK     256
#define TAV_ZMAP_V1_BLOCKS_PER_PAGE (TAV_ZMAP_PAGE_BITMAP_SIZE * 8)
#define TAV_ZMAP_MAGIC              "_blkbmp_" /* 8 bytes, no terminator on disk */
#define TAV_ZMAP_BLOCK_USED         0xFF

/* One zone-map page on disk. */
typedef struct __attribute__((packed)) tav_zmap_page_ondisk {
    char magic[8];
    uint64_t checksum; /* xxhash_64 of `bitmaps` */
    uint8_t bitmaps[TAV_ZMAP_PAGE_BITMAP_SIZE];
} tav_zmap_page_ondisk;

static_assert(sizeof(tav_zmap_page_ondisk) == 4096);
static_assert(offsetof(tav_zmap_page_ondisk, magic) == 0);
static_assert(offsetof(tav_zmap_page_ondisk, checksum) == 8);
static_assert(offsetof(tav_zmap_page_ondisk, bitmaps) == 16);

/* ---- extent pages ------------------------------------------------------------ */

/* An extent block holds 128 pages of 8 KiB, each an array of block-map
 * entries of the file's type (no page header); an inode names up to 16
 * extent blocks. */
#define TAV_EXTENT_PAGE_SIZE         8192
#define TAV_EXTENT_PAGES_PER_BLOCK   (TAV_BLOCK_SIZE / TAV_EXTENT_PAGE_SIZE)
#define TAV_EXTENT_BLOCKS_PER_FILE   16
#define TAV_BLKMAP_BITMAP_BITS       256
#define TAV_BLKMAP_SLICE_BITMAP_BITS (TAV_BLKMAP_BITMAP_BITS / 8)

#define TAV_BLKMAP_MAGIC "_blkmap_"

typedef enum ext_type_t {
    TAV_BLKMAP_TYPE_BLOCK = 0,
    TAV_BLKMAP_TYPE_SLICE = 1,
    TAV_BLKMAP_TYPE_SLICE_V2 = 2,
    TAV_BLKMAP_TYPE_MAX = 3,
} ext_type_t;

enum {
    TAV_BLKMAP_STATE_INIT = 1, /* never mapped */
    TAV_BLKMAP_STATE_MAPPED = 2,
    TAV_BLKMAP_STATE_DELETED = 3, /* was mapped, released */
    TAV_BLKMAP_STATE_ERROR = 4,   /* failed its check at load; in memory only */
    TAV_BLKMAP_STATE_MAX = 5,
};

/* Version 1 (BLOCK and SLICE maps), 64 bytes.  `checksum` is the low 32 bits
 * of XXH64 (seed 1011) over bytes 12..63. */
typedef struct tav_block_map_ondisk {
    char magic[8]; /* "_blkmap_" */
    uint32_t checksum;
    uint32_t state;
    uint64_t block; /* physical block, 0 when not mapped */
    uint16_t slice; /* 0..7 for mapped SLICE entries, else 0xFFFF */
    uint16_t type;  /* 0 BLOCK, 1 SLICE */
    uint32_t reserved;
    uint8_t bitmaps[32];
} __attribute__((packed)) tav_block_map_ondisk;

static_assert(sizeof(tav_block_map_ondisk) == 64);
static_assert(offsetof(tav_block_map_ondisk, magic) == 0);
static_assert(offsetof(tav_block_map_ondisk, checksum) == 8);
static_assert(offsetof(tav_block_map_ondisk, state) == 12);
static_assert(offsetof(tav_block_map_ondisk, block) == 16);
static_assert(offsetof(tav_block_map_ondisk, slice) == 24);
static_assert(offsetof(tav_block_map_ondisk, type) == 26);
static_assert(offsetof(tav_block_map_ondisk, reserved) == 28);
static_assert(offsetof(tav_block_map_ondisk, bitmaps) == 32);

/* Version 2 (SLICE_V2 maps), 16 bytes.  `checksum` is the low 32 bits of
 * XXH64 (seed 1011) over bytes 4..15. */
typedef struct tav_block_map_ondisk_v2 {
    uint32_t checksum;
    uint8_t state;
    uint8_t slice; /* 0..7, 0xFF when not mapped */
    uint16_t reserved;
    uint32_t block;
    uint8_t bitmaps[4];
} __attribute__((packed)) tav_block_map_ondisk_v2;

static_assert(sizeof(tav_block_map_ondisk_v2) == 16);
static_assert(offsetof(tav_block_map_ondisk_v2, checksum) == 0);
static_assert(offsetof(tav_block_map_ondisk_v2, state) == 4);
static_assert(offsetof(tav_block_map_ondisk_v2, slice) == 5);
static_assert(offsetof(tav_block_map_ondisk_v2, reserved) == 6);
static_assert(offsetof(tav_block_map_ondisk_v2, block) == 8);
static_assert(offsetof(tav_block_map_ondisk_v2, bitmaps) == 12);
static_assert(TAV_EXTENT_PAGE_SIZE / sizeof(tav_block_map_ondisk) == 128);
static_assert(TAV_EXTENT_PAGE_SIZE / sizeof(tav_block_map_ondisk_v2) == 512);

/* ---- inode pages ------------------------------------------------------------- */

/* A 4096-byte inode page: the 512-byte record, then the serialised extended
 * attributes (3584 bytes; 1536 while the page carries inline data), then for
 * an INLINE file 2048 bytes of data at offset 2048.  Bytes not written are
 * zero; the checksum covers bytes 8..4095. */
#define TAV_INODE_RECORD_SIZE      512
#define TAV_INODE_INLINE_OFFSET    2048
#define TAV_INODE_INLINE_SIZE      2048
#define TAV_INODE_XATTR_OFFSET     512
#define TAV_INODE_XATTR_MAX        3584 /* attributes of an extent file */
#define TAV_INODE_XATTR_INLINE_MAX 1536 /* attributes of an INLINE file */
#define TAV_INODE_MAGIC            "_TAVINO_"
#define TAV_INODE_VERSION          1
#define TAV_INODE_LENGTH           464

static_assert(TAV_INODE_XATTR_OFFSET == TAV_INODE_RECORD_SIZE);
static_assert(TAV_INODE_XATTR_OFFSET + TAV_INODE_XATTR_MAX == TAV_INODE_PAGESIZE);
static_assert(TAV_INODE_XATTR_OFFSET + TAV_INODE_XATTR_INLINE_MAX == TAV_INODE_INLINE_OFFSET);
static_assert(TAV_INODE_INLINE_OFFSET + TAV_INODE_INLINE_SIZE == TAV_INODE_PAGESIZE);
static_assert(TAV_INODE_LENGTH == TAV_INODE_RECORD_SIZE - sizeof(meta_head));

/* i_type bits. */
#define TAV_FILE_TYPE_INLINE       0x01
#define TAV_FILE_TYPE_LEGACY       0x02
#define TAV_FILE_TYPE_BD           0x04
#define TAV_FILE_TYPE_BORROW       0x08
#define TAV_FILE_TYPE_INLINE_DATA  0x10
#define TAV_FILE_TYPE_COMPRESSIBLE 0x20

typedef enum tav_inode_stat {
    TAV_I_UNLINK = 0, /* unlinked; blocks still to be released */
    TAV_I_FREE = 1,   /* released; the slot may be reused */
    TAV_I_NORMAL = 2,
    TAV_I_ERROR = 3,       /* one copy damaged (in memory only) */
    TAV_I_INIT = 4,        /* formatted, never used (or reset) */
    TAV_I_PBLOCK_FREE = 5, /* data released, extent blocks still to be freed */
} tav_inode_stat;

/* The 512-byte inode record. */
typedef struct __attribute__((packed)) tav_disk_inode {
    meta_head i_header;
    uint64_t i_no;
    uint64_t i_state;
    uint8_t i_uuid[16];
    uint64_t i_type;
    uint64_t i_mode;
    uint64_t i_flags;
    uint64_t i_uid;
    uint64_t i_gid;
    uint64_t i_size;
    uint64_t i_blocks;
    uint64_t i_atime;
    uint64_t i_ctime;
    uint64_t i_mtime;
    uint64_t i_dtime;
    uint64_t i_ntime;
    struct __attribute__((packed)) {
        uint64_t lba_start;
        uint64_t lba_len;
    } i_legacy;
    uint64_t i_statex;
    uint64_t i_cur_pblk;
    uint64_t i_extents[TAV_EXTENT_BLOCKS_PER_FILE];
    uint64_t i_reserved[20];
    uint64_t i_blkmap_type;
    uint64_t i_slices;
} tav_disk_inode;

static_assert(sizeof(tav_disk_inode) == TAV_INODE_RECORD_SIZE);
static_assert(offsetof(tav_disk_inode, i_header) == 0);
static_assert(offsetof(tav_disk_inode, i_no) == 48);
static_assert(offsetof(tav_disk_inode, i_state) == 56);
static_assert(offsetof(tav_disk_inode, i_uuid) == 64);
static_assert(offsetof(tav_disk_inode, i_type) == 80);
static_assert(offsetof(tav_disk_inode, i_mode) == 88);
static_assert(offsetof(tav_disk_inode, i_flags) == 96);
static_assert(offsetof(tav_disk_inode, i_uid) == 104);
static_assert(offsetof(tav_disk_inode, i_gid) == 112);
static_assert(offsetof(tav_disk_inode, i_size) == 120);
static_assert(offsetof(tav_disk_inode, i_blocks) == 128);
static_assert(offsetof(tav_disk_inode, i_atime) == 136);
static_assert(offsetof(tav_disk_inode, i_ctime) == 144);
static_assert(offsetof(tav_disk_inode, i_mtime) == 152);
static_assert(offsetof(tav_disk_inode, i_dtime) == 160);
static_assert(offsetof(tav_disk_inode, i_ntime) == 168);
static_assert(offsetof(tav_disk_inode, i_legacy) == 176);
static_assert(offsetof(tav_disk_inode, i_statex) == 192);
static_assert(offsetof(tav_disk_inode, i_cur_pblk) == 200);
static_assert(offsetof(tav_disk_inode, i_extents) == 208);
static_assert(offsetof(tav_disk_inode, i_reserved) == 336);
static_assert(offsetof(tav_disk_inode, i_blkmap_type) == 496);
static_assert(offsetof(tav_disk_inode, i_slices) == 504);

#endif
