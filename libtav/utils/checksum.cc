#include "checksum.h"

#include <isa-l/crc.h>
#include <isa-l/crc64.h>
#include <xxhash.h>

uint64_t xxhash_64(const void *buf, size_t size) {
    return XXH64(buf, size, TAV_XXHASH_SEED);
}

/* ISA-L inverts the initial value and the result itself, so an initial value
 * of 0 gives the standard all-ones register and final XOR. */
uint32_t crc32(const void *data, size_t len) {
    return crc32_gzip_refl(0, static_cast<const unsigned char *>(data), len);
}

uint64_t crc64(const void *data, size_t len) {
    return crc64_ecma_norm(0, static_cast<const unsigned char *>(data), len);
}

uint32_t cksum32(const void *data, size_t len) {
    if (data == nullptr || len == 0)
        return 0;
    return crc32(data, len);
}

uint64_t cksum64(const void *data, size_t len) {
    if (data == nullptr || len == 0)
        return 0;
    return crc64(data, len);
}
