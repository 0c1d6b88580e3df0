// Unit tests of hx_tier's pure modules: checksums against a bitwise CRC-32 and the
// standard check value, exact JSON number reading, text escaping, filters,
// the v1 to v2 minimum allocation table.
#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "hxtr_checksum.h"
#include "hxtr_cmdline.h"
#include "hxtr_convert.h"
#include "hxtr_json.h"
#include "hxtr_text.h"
#include "hxtr_version.h"
#include "tier_fixture.h"

namespace {

uint32_t ref_crc(const void *p, size_t n) {
    return tiertest::crc32(p, n);
}

TEST(HxtrChecksum, Crc32IsTheStandardCrc) {
    EXPECT_EQ(hxtr_crc32("123456789", 9), 0xCBF43926u);
    EXPECT_EQ(hxtr_crc32("", 0), 0u);
    EXPECT_EQ(ref_crc("123456789", 9), 0xCBF43926u); // the reference itself
    std::mt19937 rng(7);
    std::vector<uint8_t> buf(4096);
    for (auto &b : buf)
        b = static_cast<uint8_t>(rng());
    for (size_t len : {1u, 3u, 92u, 164u, 4092u, 4096u})
        EXPECT_EQ(hxtr_crc32(buf.data(), len), ref_crc(buf.data(), len)) << len;
}

// The extent page CRC: bit i of the CRC of the page (with bit 0 of entries
// 0..31 cleared) is stored in bit 0 of entry i.
TEST(HxtrChecksum, ExtentPageCrcIsSpreadOverEntryBitZero) {
    std::mt19937_64 rng(11);
    tier_extent_v3_t page;
    for (unsigned i = 0; i < 512; i++)
        page.entry[i] = rng();
    hxtr_extent_page_seal(&page);

    std::vector<uint8_t> bytes(4096);
    memcpy(bytes.data(), &page, 4096);
    uint32_t stored = 0;
    for (int i = 0; i < 32; i++) {
        stored |= static_cast<uint32_t>(bytes[i * 8] & 1) << i;
        bytes[i * 8] &= 0xfe;
    }
    EXPECT_EQ(stored, ref_crc(bytes.data(), 4096));
    EXPECT_EQ(hxtr_extent_page_stored_crc(&page), stored);
    EXPECT_EQ(hxtr_extent_page_crc(&page), stored);

    page.entry[100] ^= 1ull << 40; // any other bit spoils it
    EXPECT_NE(hxtr_extent_page_crc(&page), hxtr_extent_page_stored_crc(&page));
}

TEST(HxtrChecksum, ShardPageSealSetsMagicAndCrc) {
    tier_shard_v3_t page{};
    page.slot[0] = 0x0000000700040005ull;
    hxtr_shard_page_seal(&page);
    uint8_t bytes[4096];
    memcpy(bytes, &page, 4096);
    EXPECT_EQ(bytes[4] | bytes[5] << 8 | bytes[6] << 16 | static_cast<uint32_t>(bytes[7]) << 24, 0x2183ba9du);
    uint32_t crc = bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<uint32_t>(bytes[3]) << 24;
    EXPECT_EQ(crc, ref_crc(bytes + 4, 4092));
}

struct NumberCase {
    const char *text;
    uint64_t max;
    int ret;
    uint64_t value;
};

TEST(HxtrJson, NumberTextIsReadExactly) {
    const NumberCase cases[] = {
        {"0", UINT64_MAX, 0, 0},
        {"18446744073709551615", UINT64_MAX, 0, UINT64_MAX},
        {"18446744073709551616", UINT64_MAX, -ERANGE, 0},
        {"9007199254740993", UINT64_MAX, 0, 9007199254740993ull}, // 2^53 + 1: no double holds it
        {"9223372036854775813", UINT64_MAX, 0, 9223372036854775813ull},
        {"12.99", UINT64_MAX, 0, 12}, // fractions cut off
        {"1.5e3", UINT64_MAX, 0, 1500},
        {"1844674407370955161.5e1", UINT64_MAX, 0, 18446744073709551615ull},
        {"25e-1", UINT64_MAX, 0, 2},
        {"1e-999999999", UINT64_MAX, 0, 0},
        {"1e20", UINT64_MAX, -ERANGE, 0},
        {"0e999999", UINT64_MAX, 0, 0},
        {"000000000000000000000000042", UINT64_MAX, 0, 42},
        {"-0", UINT64_MAX, 0, 0},
        {"-0.5", UINT64_MAX, 0, 0},
        {"-1", UINT64_MAX, -ERANGE, 0}, // never wrapped to 2^64 - 1
        {"4294967295", UINT32_MAX, 0, UINT32_MAX},
        {"4294967296", UINT32_MAX, -ERANGE, 0}, // never cut to the field width
        {"2147483648", INT32_MAX, -ERANGE, 0},
        {"262143", (1u << 18) - 1, 0, 262143},
        {"262144", (1u << 18) - 1, -ERANGE, 0},
        {"", UINT64_MAX, -ERANGE, 0},
        {"-", UINT64_MAX, -ERANGE, 0},
        {"1e", UINT64_MAX, -ERANGE, 0},
        {"1-2", UINT64_MAX, -ERANGE, 0},
    };
    for (const NumberCase &c : cases) {
        uint64_t v = 777;
        EXPECT_EQ(hxtr_number_text_value(c.text, c.max, &v), c.ret) << c.text;
        if (c.ret == 0) {
            EXPECT_EQ(v, c.value) << c.text;
        }
    }
}

TEST(HxtrJson, NumbersKeepTheirTextThroughTheTree) {
    const char *doc =
        "\xEF\xBB\xBF{\"a\":18446744073709551615, \"s\":\"12 \\\"34\\\" -5\", \"arr\":[1, {\"b\":-0, \"c\":"
        "9007199254740993}], \"t\":true, \"n\":null, \"last\":1e2} 77 trailing";
    hxtr_json_t *json = nullptr;
    ASSERT_EQ(hxtr_json_parse_text(doc, strlen(doc), &json), 0);
    uint64_t v;
    EXPECT_EQ(hxtr_json_get_u64(json, json->root, "a", UINT64_MAX, true, &v), 0);
    EXPECT_EQ(v, UINT64_MAX);
    const cJSON *arr = hxtr_json_member(json->root, "arr");
    EXPECT_EQ(hxtr_json_number(json, cJSON_GetArrayItem(arr, 0), UINT64_MAX, &v), 0);
    EXPECT_EQ(v, 1u);
    const cJSON *obj = cJSON_GetArrayItem(arr, 1);
    EXPECT_EQ(hxtr_json_get_u64(json, obj, "c", UINT64_MAX, true, &v), 0);
    EXPECT_EQ(v, 9007199254740993ull);
    EXPECT_EQ(hxtr_json_get_u64(json, obj, "b", UINT64_MAX, true, &v), 0);
    EXPECT_EQ(v, 0u);
    EXPECT_EQ(hxtr_json_get_u64(json, json->root, "last", UINT64_MAX, true, &v), 0);
    EXPECT_EQ(v, 100u);
    // A string is not a number; absent optional keys leave the value alone.
    EXPECT_EQ(hxtr_json_get_u64(json, json->root, "s", UINT64_MAX, true, &v), -EINVAL);
    v = 5;
    EXPECT_EQ(hxtr_json_get_u64(json, json->root, "s", UINT64_MAX, false, &v), 1);
    EXPECT_EQ(hxtr_json_get_u64(json, json->root, "missing", UINT64_MAX, false, &v), 1);
    EXPECT_EQ(v, 5u);
    EXPECT_EQ(hxtr_json_get_u64(json, json->root, "A", UINT64_MAX, true, &v), -EINVAL); // exact keys
    hxtr_json_free(json);

    for (const char *bad : {"", "{", "{\"a\":}", "[1,]", "{\"a\":01x}"}) {
        json = nullptr;
        EXPECT_EQ(hxtr_json_parse_text(bad, strlen(bad), &json), -EINVAL) << bad;
        EXPECT_EQ(json, nullptr);
    }
}

TEST(HxtrJson, HexTextReadsUpToTheFirstNonDigit) {
    uint64_t v;
    EXPECT_EQ(hxtr_hex_text_value("0x179a5c2b1e2f1d15(2023-11-14 22:13:20)", 18, &v), 0);
    EXPECT_EQ(v, 0x179a5c2b1e2f1d15ull);
    EXPECT_EQ(hxtr_hex_text_value("30000", 31, &v), 0);
    EXPECT_EQ(v, 0x30000u);
    EXPECT_EQ(hxtr_hex_text_value("0x12345", 4, &v), 0); // only the first characters count
    EXPECT_EQ(v, 0x12u);
    EXPECT_EQ(hxtr_hex_text_value("0x", 18, &v), -ERANGE);
    EXPECT_EQ(hxtr_hex_text_value("-1", 18, &v), -ERANGE);
    EXPECT_EQ(hxtr_hex_text_value("11112222333344445", 18, &v), -ERANGE); // 17 digits
}

// Every byte value in a text field gives valid JSON, and the field is never
// read past its size even without a NUL.
TEST(HxtrText, AnyFieldBytesGiveValidJson) {
    char field[256 + 8];
    for (int i = 0; i < 256; i++)
        field[i] = static_cast<char>(i == 0 ? 1 : i);
    memcpy(field + 256, "TAILTAIL", 8); // the next field: must not show
    const std::string text = hxtr_json_text(field, 256);
    const std::string doc = "{\"t\":\"" + text + "\"}";
    cJSON *root = cJSON_Parse(doc.c_str());
    ASSERT_NE(root, nullptr) << doc;
    const char *back = cJSON_GetStringValue(cJSON_GetObjectItem(root, "t"));
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(strstr(back, "TAIL"), nullptr);
    // ASCII survives unchanged; well-formed UTF-8 passes through.
    EXPECT_NE(strstr(back, "/0123456789:;<=>?@ABC"), nullptr);
    cJSON_Delete(root);

    const char utf8[] = "caf\xc3\xa9 \xe2\x82\xac";
    EXPECT_EQ(hxtr_json_text(utf8, sizeof(utf8)), utf8);
    EXPECT_EQ(hxtr_json_text("a\"b\\c\n\x7f\xff", 16), "a\\\"b\\\\c\\n\x7f\\u00ff");
}

TEST(HxtrCmdline, FilterTextIsParsed) {
    hxtr_filter_t f{-1, -1, -1, nullptr};
    EXPECT_EQ(hxtr_parse_filter("use=1,owner=0x3,error=0,other=9,id=/qo/a=b", &f), 0);
    EXPECT_EQ(f.use, 1);
    EXPECT_EQ(f.owner, 3);
    EXPECT_EQ(f.error, 0);
    ASSERT_NE(f.id, nullptr);
    EXPECT_STREQ(f.id, "/qo/a=b");
    EXPECT_EQ(hxtr_parse_filter("use=yes", &f), -EINVAL);
    EXPECT_EQ(hxtr_parse_filter("owner=", &f), -EINVAL);
    free(f.id);
}

TEST(HxtrConvert, MinimumAllocationFollowsCapacityAndBlockSize) {
    struct Case {
        uint32_t block_size, block_cnt, min_alloc;
    } cases[] = {
        {0x40000, 1000, 16384},
        {0x40000, 0x7800000000ull / 0x40000, 16384}, // 480 GiB
        {0x40000, 0x7800000000ull / 0x40000 + 1, 32768},
        {0x40000, (1u << 22), 32768}, // 1 TiB
        {0x40000, (1u << 22) + 1, 65536},
        {0x40000, (1u << 24) + 1, 131072}, // above 4 TiB
        {0x100000, 10, 32768},             // 1 MiB blocks
        {0x200000, 10, 32768},
        {0x400000, 10, 65536}, // 4 MiB blocks
        {0x300000, 10, 0},     // 96 units per block
        {0x800000, 10, 0},     // above 4 MiB
    };
    for (const Case &c : cases)
        EXPECT_EQ(hxtr_convert_min_alloc(c.block_size, c.block_cnt), c.min_alloc)
            << c.block_size << " " << c.block_cnt;
}

TEST(HxtrVersion, VersionsRegisterInOrderAndSelectByCommand) {
    hxtr_register_versions();
    for (int v = 1; v <= 3; v++)
        ASSERT_NE(hxtr_func_selector(v), nullptr);
    EXPECT_EQ(hxtr_func_selector(0), nullptr);
    EXPECT_EQ(hxtr_func_selector(4), nullptr);
    hxtr_cmd_func_t f;
    EXPECT_EQ(hxtr_func_selector(1)(HXTR_CMD_DUMP_SHARD, nullptr, &f), 0);
    EXPECT_EQ(f, nullptr);
    EXPECT_EQ(hxtr_func_selector(2)(HXTR_CMD_CONVERT_SUPER, nullptr, &f), 0);
    EXPECT_NE(f, nullptr);
    EXPECT_EQ(hxtr_func_selector(3)(HXTR_CMD_CONVERT_SUPER, nullptr, &f), 0);
    EXPECT_EQ(f, nullptr);
    uint8_t zero[4096] = {};
    for (int v = 1; v <= 3; v++)
        EXPECT_EQ(hxtr_func_selector(v)(HXTR_CMD_DUMP_SUPER, zero, &f), -EFAULT);
}

} // namespace
