#include "hxtr_checksum.h"

#include <isa-l/crc.h>

#include <cstring>

uint32_t hxtr_crc32(const void *buf, size_t len) {
    // crc32_gzip_refl complements on entry and exit, so an initial 0 gives the
    // standard CRC-32 (check value 0xCBF43926 for "123456789").
    return crc32_gzip_refl(0, static_cast<const unsigned char *>(buf), len);
}

uint32_t hxtr_record_crc(const void *block, uint64_t len) {
    const uint64_t room = HXTR_BLOCK_SIZE - HXTR_CKSUM_FROM;
    if (len > room)
        len = room;
    return hxtr_crc32(static_cast<const uint8_t *>(block) + HXTR_CKSUM_FROM, len);
}

uint32_t hxtr_extent_page_stored_crc(const tier_extent_v3_t *page) {
    uint32_t crc = 0;
    for (unsigned i = 0; i < TIER_V3_EXTENT_CRC_ENTRIES; i++)
        crc |= static_cast<uint32_t>(hxtr_bits_get(page->entry[i], TIER_EXT_CHECKSUM)) << i;
    return crc;
}

uint32_t hxtr_extent_page_crc(const tier_extent_v3_t *page) {
    tier_extent_v3_t copy;
    memcpy(&copy, page, sizeof(copy));
    for (unsigned i = 0; i < TIER_V3_EXTENT_CRC_ENTRIES; i++)
        copy.entry[i] = hxtr_bits_set(copy.entry[i], TIER_EXT_CHECKSUM, 0);
    return hxtr_crc32(&copy, sizeof(copy));
}

void hxtr_extent_page_seal(tier_extent_v3_t *page) {
    const uint32_t crc = hxtr_extent_page_crc(page);
    for (unsigned i = 0; i < TIER_V3_EXTENT_CRC_ENTRIES; i++)
        page->entry[i] = hxtr_bits_set(page->entry[i], TIER_EXT_CHECKSUM, (crc >> i) & 1);
}

uint32_t hxtr_shard_page_crc(const tier_shard_v3_t *page) {
    return hxtr_crc32(reinterpret_cast<const uint8_t *>(page) + HXTR_CKSUM_FROM,
                      sizeof(*page) - HXTR_CKSUM_FROM);
}

void hxtr_shard_page_seal(tier_shard_v3_t *page) {
    page->magic = TIER_SHARD_MAGIC_V3;
    page->crc = hxtr_shard_page_crc(page);
}
