// Checksums of the library.
//
// xxhash_64 is the checksum of every metadata record of the file system
// (superblock, zone-map and inode pages): XXH64 with the fixed seed 1011.
// crc32 and crc64 are the standard CRCs that tools and the debug service
// show for raw pages:
//   - crc32: IEEE 802.3, reflected polynomial 0xEDB88320, initial value and
//     final XOR 0xFFFFFFFF (check value of "123456789": 0xCBF43926);
//   - crc64: ECMA-182 polynomial 0x42F0E1EBA9EA3693, most significant bit
//     first, initial value and final XOR all ones (check value of
//     "123456789": 0x62EC59E3F1A4F00A).
// cksum32/cksum64 accept any input: a null buffer or an empty range gives 0.
// All functions are pure and thread-safe.
#ifndef TAV_UTILS_CHECKSUM_H
#define TAV_UTILS_CHECKSUM_H

#include <stddef.h>
#include <stdint.h>

#define TAV_XXHASH_SEED 1011

uint64_t xxhash_64(const void *buf, size_t size);

uint32_t crc32(const void *data, size_t len);
uint64_t crc64(const void *data, size_t len);
uint32_t cksum32(const void *data, size_t len);
uint64_t cksum64(const void *data, size_t len);

#endif
