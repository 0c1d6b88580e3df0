// The units of the on-disk format and the header its metadata pages share.
//
// A device is cut into 1 MiB blocks (the public TAV_BLOCK_SIZE); a block of
// data is mapped whole or as eight 128 KiB slices (TAV_SLICE_SIZE); metadata is read and
// written in 4096-byte pages.  Every record is little-endian, packed, and has
// its size and field offsets pinned by static_asserts next to it, so that a
// change to a record that would move bytes on the device does not build.
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

#endif
