// On-disk format of a volume.
//
// Every record is a packed little-endian struct; the static_asserts pin the
// size and each field's offset so the layout cannot drift.  Records are kept
// in two copies; a write of generation g goes to copy g % 2.  All metadata
// lives at the head of the volume device:
//
//   0x0                    superblock copy 0 (512-byte record, 4096-byte slot)
//   0x1000                 superblock copy 1
//   0x2000 + n*0x2000      bad-track bitmap block n, copy 0   (n < 1023)
//   0x3000 + n*0x2000      bad-track bitmap block n, copy 1
//   0x800000 + j*0x2000    address-map entry j, copy 0 (512-byte record in a slot)
//   0x801000 + j*0x2000    address-map entry j, copy 1
//   0x13000000             data area of the volume device (mapping 0)
#ifndef KVOL_FORMAT_H
#define KVOL_FORMAT_H

#include <stddef.h>
#include <stdint.h>

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "on-disk records are little-endian");

constexpr uint32_t KVOL_VERSION = 0x10000;
constexpr uint64_t KVOL_SB_MAGIC = 0x0011223344556677ULL;
constexpr uint64_t KVOL_BT_MAGIC = 0x1122334455667788ULL;
constexpr uint64_t KVOL_AM_MAGIC = 0x2233445566778899ULL;

constexpr uint64_t KVOL_SLOT_SIZE = 4096; // one copy of a record
constexpr uint64_t KVOL_PAIR_SIZE = 2 * KVOL_SLOT_SIZE;
constexpr uint64_t KVOL_SB_OFFSET = 0;
constexpr uint64_t KVOL_BTBMP_START = 0x2000;
constexpr uint64_t KVOL_AMTLB_START = 0x800000;
constexpr uint64_t KVOL_FRSPC_START = 0x13000000;
constexpr uint64_t KVOL_RECORD_SIZE = 512; // superblock and address-map records
constexpr uint64_t KVOL_GRAN = 0x1000000;  // 16 MiB of VA per bitmap bit
constexpr uint32_t KVOL_BTBMP_SIZE = 4096;
constexpr uint32_t KVOL_BT_VALID_LEN = 4064;                    // bytes of bt_bitmap in use
constexpr uint64_t KVOL_BITS_PER_BLOCK = KVOL_BT_VALID_LEN * 8; // 32512 granules
constexpr uint32_t KVOL_MAX_BTBLOCKS = 1023;
constexpr uint32_t KVOL_MAX_MAPPING = 32768;
constexpr uint64_t KVOL_MIN_DEVICE_SIZE = 0x40000000; // 1 GiB
constexpr size_t KVOL_PATH_MAX = 256;                 // am_path, terminator included

enum : uint16_t {
    KVOL_BADTRACK_NOT_CLEAN = 0,
    KVOL_BADTRACK_CLEAN = 1,
};

struct __attribute__((packed)) kvol_super_block_t {
    uint32_t sb_checksum; // CRC-32 of bytes 4..511
    uint32_t sb_version;
    uint64_t sb_magic;
    uint64_t sb_generation;
    unsigned char sb_uuid[16];
    uint64_t sb_amtlb_start;
    uint64_t sb_amtlb_entry_num; // 2 x number of mappings
    uint64_t sb_amtlb_entry_max; // 2 x max_mapping
    uint64_t sb_amtlb_entry_size;
    uint64_t sb_btbmp_start;
    uint64_t sb_btbmp_size;
    uint64_t sb_btbmp_gran;
    uint64_t sb_frspc_start;
    uint64_t sb_va_len_total;
    uint64_t sb_va_len_avail;
    uint32_t sb_phy_blksz;
    uint32_t sb_ts_format;
    uint32_t sb_ts_expand;
    unsigned char sb_reserved[380];
};
static_assert(sizeof(kvol_super_block_t) == 512);
static_assert(offsetof(kvol_super_block_t, sb_checksum) == 0);
static_assert(offsetof(kvol_super_block_t, sb_version) == 4);
static_assert(offsetof(kvol_super_block_t, sb_magic) == 8);
static_assert(offsetof(kvol_super_block_t, sb_generation) == 16);
static_assert(offsetof(kvol_super_block_t, sb_uuid) == 24);
static_assert(offsetof(kvol_super_block_t, sb_amtlb_start) == 40);
static_assert(offsetof(kvol_super_block_t, sb_amtlb_entry_num) == 48);
static_assert(offsetof(kvol_super_block_t, sb_amtlb_entry_max) == 56);
static_assert(offsetof(kvol_super_block_t, sb_amtlb_entry_size) == 64);
static_assert(offsetof(kvol_super_block_t, sb_btbmp_start) == 72);
static_assert(offsetof(kvol_super_block_t, sb_btbmp_size) == 80);
static_assert(offsetof(kvol_super_block_t, sb_btbmp_gran) == 88);
static_assert(offsetof(kvol_super_block_t, sb_frspc_start) == 96);
static_assert(offsetof(kvol_super_block_t, sb_va_len_total) == 104);
static_assert(offsetof(kvol_super_block_t, sb_va_len_avail) == 112);
static_assert(offsetof(kvol_super_block_t, sb_phy_blksz) == 120);
static_assert(offsetof(kvol_super_block_t, sb_ts_format) == 124);
static_assert(offsetof(kvol_super_block_t, sb_ts_expand) == 128);
static_assert(offsetof(kvol_super_block_t, sb_reserved) == 132);

struct __attribute__((packed)) kvol_btbmp_t {
    uint32_t bt_checksum; // CRC-32 of bytes 4..4095
    uint32_t bt_version;
    uint64_t bt_magic;
    uint64_t bt_generation;
    uint16_t bt_state;     // KVOL_BADTRACK_CLEAN when created
    uint16_t bt_valid_len; // bytes of bt_bitmap in use
    uint32_t bt_mtime;
    unsigned char bt_bitmap[4064]; // one bit per granule, least significant first
};
static_assert(sizeof(kvol_btbmp_t) == 4096);
static_assert(offsetof(kvol_btbmp_t, bt_checksum) == 0);
static_assert(offsetof(kvol_btbmp_t, bt_version) == 4);
static_assert(offsetof(kvol_btbmp_t, bt_magic) == 8);
static_assert(offsetof(kvol_btbmp_t, bt_generation) == 16);
static_assert(offsetof(kvol_btbmp_t, bt_state) == 24);
static_assert(offsetof(kvol_btbmp_t, bt_valid_len) == 26);
static_assert(offsetof(kvol_btbmp_t, bt_mtime) == 28);
static_assert(offsetof(kvol_btbmp_t, bt_bitmap) == 32);

struct __attribute__((packed)) kvol_am_entry_t {
    uint32_t am_checksum; // CRC-32 of bytes 4..511
    uint32_t am_version;
    uint64_t am_magic;
    uint64_t am_generation;
    unsigned char am_owner[16]; // the volume's sb_uuid
    uint32_t am_attribute;
    uint32_t am_state;
    uint64_t am_va_start;
    uint64_t am_length;
    char am_path[256];
    uint64_t am_pa_offset;
    uint64_t am_phy_blksz;
    unsigned char am_reserved1[48];
    uint32_t am_ts_create;
    uint32_t am_ts_modify;
    unsigned char am_gfid[16];
    uint32_t am_shard_no;
    uint32_t am_ts_failed;
    unsigned char am_reserved2[96];
};
static_assert(sizeof(kvol_am_entry_t) == 512);
static_assert(offsetof(kvol_am_entry_t, am_checksum) == 0);
static_assert(offsetof(kvol_am_entry_t, am_version) == 4);
static_assert(offsetof(kvol_am_entry_t, am_magic) == 8);
static_assert(offsetof(kvol_am_entry_t, am_generation) == 16);
static_assert(offsetof(kvol_am_entry_t, am_owner) == 24);
static_assert(offsetof(kvol_am_entry_t, am_attribute) == 40);
static_assert(offsetof(kvol_am_entry_t, am_state) == 44);
static_assert(offsetof(kvol_am_entry_t, am_va_start) == 48);
static_assert(offsetof(kvol_am_entry_t, am_length) == 56);
static_assert(offsetof(kvol_am_entry_t, am_path) == 64);
static_assert(offsetof(kvol_am_entry_t, am_pa_offset) == 320);
static_assert(offsetof(kvol_am_entry_t, am_phy_blksz) == 328);
static_assert(offsetof(kvol_am_entry_t, am_reserved1) == 336);
static_assert(offsetof(kvol_am_entry_t, am_ts_create) == 384);
static_assert(offsetof(kvol_am_entry_t, am_ts_modify) == 388);
static_assert(offsetof(kvol_am_entry_t, am_gfid) == 392);
static_assert(offsetof(kvol_am_entry_t, am_shard_no) == 408);
static_assert(offsetof(kvol_am_entry_t, am_ts_failed) == 412);
static_assert(offsetof(kvol_am_entry_t, am_reserved2) == 416);

// Slot offsets of each record copy.
constexpr uint64_t kvol_sb_slot(unsigned copy) {
    return KVOL_SB_OFFSET + copy * KVOL_SLOT_SIZE;
}
constexpr uint64_t kvol_bt_slot(uint64_t n, unsigned copy) {
    return KVOL_BTBMP_START + n * KVOL_PAIR_SIZE + copy * KVOL_SLOT_SIZE;
}
constexpr uint64_t kvol_am_slot(uint64_t j, unsigned copy) {
    return KVOL_AMTLB_START + j * KVOL_PAIR_SIZE + copy * KVOL_SLOT_SIZE;
}
static_assert(kvol_bt_slot(KVOL_MAX_BTBLOCKS, 0) == KVOL_AMTLB_START);
static_assert(kvol_am_slot(KVOL_MAX_MAPPING, 0) <= KVOL_FRSPC_START);

#endif
