// Expected images of the on-disk records of an instance, laid out by hand
// from the format tables (never through the code under test).
#ifndef TAV_TEST_ONDISK_UTIL_H
#define TAV_TEST_ONDISK_UTIL_H

#include <stdint.h>

#include <string>
#include <vector>

namespace ondisk {

constexpr uint64_t MiB = 1048576;

// The 4096-byte superblock page the format tables describe.
struct SbFields {
    uint64_t version = 2, generation = 0, blocks = 0, groups = 8, state = 0;
    uint64_t active = 1, crash = 0, ts_modify = 0, ts_fsck = 0, ts_format = 0;
    std::string path;
};
std::vector<uint8_t> expected_sb_page(const SbFields &f);
// An empty zone-map page: magic, checksum of 4080 zero bytes, zero map.
std::vector<uint8_t> expected_zmap_page(const uint8_t *map4080 = nullptr);

} // namespace ondisk

#endif
