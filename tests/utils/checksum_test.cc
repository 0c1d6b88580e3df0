// The CRC helpers against the standard check values of their catalogues, and
// the metadata checksum against xxHash with the format's seed.
#include "checksum.h"

#include <gtest/gtest.h>
#include <xxhash.h>

#include <string>
#include <vector>

namespace {

const char kCheck[] = "123456789";

TEST(Checksum, CrcCheckValues) {
    EXPECT_EQ(0xCBF43926u, crc32(kCheck, 9));           // CRC-32 (IEEE 802.3)
    EXPECT_EQ(0x62EC59E3F1A4F00Aull, crc64(kCheck, 9)); // CRC-64/WE (ECMA-182, MSB first)
    EXPECT_EQ(0xCBF43926u, cksum32(kCheck, 9));
    EXPECT_EQ(0x62EC59E3F1A4F00Aull, cksum64(kCheck, 9));
}

TEST(Checksum, CrcOfOneZeroByte) {
    // Distinguishes the initial value and final XOR: a CRC with a zero
    // register or without the final inversion gives other values here.
    const unsigned char zero = 0;
    EXPECT_EQ(0xD202EF8Du, crc32(&zero, 1));
    EXPECT_EQ(0x9AFCE626CE85B5F8ull, crc64(&zero, 1));
}

TEST(Checksum, CksumRefusesEmptyInput) {
    EXPECT_EQ(0u, cksum32(nullptr, 9));
    EXPECT_EQ(0u, cksum32(kCheck, 0));
    EXPECT_EQ(0u, cksum64(nullptr, 9));
    EXPECT_EQ(0u, cksum64(kCheck, 0));
}

TEST(Checksum, MetadataHashUsesSeed1011) {
    std::vector<unsigned char> page(4088);
    for (size_t i = 0; i < page.size(); i++)
        page[i] = static_cast<unsigned char>(i * 7);
    EXPECT_EQ(XXH64(page.data(), page.size(), 1011), xxhash_64(page.data(), page.size()));
    EXPECT_NE(XXH64(page.data(), page.size(), 0), xxhash_64(page.data(), page.size()));
}

} // namespace
