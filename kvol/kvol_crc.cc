// CRC-32 helpers over ISA-L's reflected IEEE CRC.
#include "kvol_crc.h"

#include <isa-l/crc.h>

// crc32_gzip_refl(init, ...) complements `init` on entry and the result on
// exit, so the raw update is its complement on both sides.
uint32_t tier_crc32_orig(uint32_t crc, const void *data, size_t len) {
    return ~crc32_gzip_refl(~crc, static_cast<const unsigned char *>(data), len);
}

uint32_t tier_crc32(const void *data, size_t len) {
    return crc32_gzip_refl(0, static_cast<const unsigned char *>(data), len);
}

uint32_t tier_crc32_db(const void *a, size_t alen, const void *b, size_t blen) {
    uint32_t crc = tier_crc32_orig(0xFFFFFFFFu, a, alen);
    crc = tier_crc32_orig(crc, b, blen);
    return ~crc;
}
