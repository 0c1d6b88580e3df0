// CRC-32 of the volume's metadata: IEEE 802.3 / zlib (reflected, polynomial
// 0xEDB88320), computed by ISA-L.
//
// tier_crc32(data, len) is the standard checksum (initial value 0xFFFFFFFF,
// final complement).  tier_crc32_orig(crc, data, len) is the raw update
// without initial value or final complement, for checksums chained over many
// buffers; tier_crc32_db(a, alen, b, blen) is the standard checksum of the two
// buffers taken as one.
#ifndef KVOL_CRC_H
#define KVOL_CRC_H

#include <stddef.h>
#include <stdint.h>

uint32_t tier_crc32(const void *data, size_t len);
uint32_t tier_crc32_orig(uint32_t crc, const void *data, size_t len);
uint32_t tier_crc32_db(const void *a, size_t alen, const void *b, size_t blen);

#endif
