// Checksums of the tier metadata.
//
// hxtr_crc32 is the standard CRC-32 (reflected polynomial 0xEDB88320, initial
// value 0xFFFFFFFF, final complement), computed by ISA-L.  Records carry it
// over their bytes from offset 4; v3 shard pages over bytes 4..4095; v3 extent
// pages spread it over bit 0 of their entries 0..31 (the CRC of the page with
// those bits cleared).  None of these functions modifies its input except the
// *_seal functions, which store the checksum into the record or page.
#ifndef HXTR_CHECKSUM_H
#define HXTR_CHECKSUM_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "hxtr_format.h"

uint32_t hxtr_crc32(const void *buf, size_t len);

/* CRC of a record block from byte 4 over `len` bytes; len is clamped to what
 * the 4096-byte block holds after byte 4. */
uint32_t hxtr_record_crc(const void *block, uint64_t len);

/* Copies `rec` to the start of the 4096-byte `block` with its `checksum`
 * field set to the CRC of the block's `len` bytes from byte 4 (by default the
 * rest of the struct; v1/v2 extent records reach past it).  Returns the
 * sealed record. */
template <typename T>
T hxtr_record_seal(void *block, T rec, uint32_t T::*checksum, uint64_t len = sizeof(T) - HXTR_CKSUM_FROM) {
    memcpy(block, &rec, sizeof(rec));
    rec.*checksum = hxtr_record_crc(block, len);
    memcpy(block, &rec, sizeof(rec));
    return rec;
}

/* v3 extent page: the CRC spelled by bit 0 of entries 0..31, and the CRC of
 * the page with those bits cleared. */
uint32_t hxtr_extent_page_stored_crc(const tier_extent_v3_t *page);
uint32_t hxtr_extent_page_crc(const tier_extent_v3_t *page);
void hxtr_extent_page_seal(tier_extent_v3_t *page);

/* v3 shard page: CRC over bytes 4..4095; seal sets magic then CRC. */
uint32_t hxtr_shard_page_crc(const tier_shard_v3_t *page);
void hxtr_shard_page_seal(tier_shard_v3_t *page);

#endif
