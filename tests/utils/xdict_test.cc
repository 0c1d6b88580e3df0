// Property dictionary: bucket hash against an independent reference, item
// operations and limits, iteration order, and the serialised form with its
// expected bytes built here from the format table.
#include "xdict.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// SuperFastHash written from its description, byte by byte: length below 2
// gives 1; seed = length; per 4 bytes two little-endian 16-bit units; a 1- or
// 3-byte tail takes its last byte as signed; the standard avalanche.
uint32_t ref_hash(const std::string &s, bool signed_tail = true) {
    const size_t n = s.size();
    if (n < 2)
        return 1;
    auto byte = [&](size_t i) { return static_cast<uint32_t>(static_cast<uint8_t>(s[i])); };
    auto u16 = [&](size_t i) { return byte(i) + 256 * byte(i + 1); };
    auto sbyte = [&](size_t i) {
        return signed_tail ? static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(s[i]))) : byte(i);
    };
    uint32_t h = static_cast<uint32_t>(n);
    size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        h += u16(i);
        uint32_t t = (u16(i + 2) << 11) ^ h;
        h = (h << 16) ^ t;
        h += h >> 11;
    }
    switch (n - i) {
    case 3:
        h += u16(i);
        h ^= h << 16;
        h ^= sbyte(i + 2) << 18;
        h += h >> 11;
        break;
    case 2:
        h += u16(i);
        h ^= h << 11;
        h += h >> 17;
        break;
    case 1:
        h += sbyte(i);
        h ^= h << 10;
        h += h >> 1;
        break;
    }
    h ^= h << 3;
    h += h >> 5;
    h ^= h << 4;
    h += h >> 17;
    h ^= h << 25;
    h += h >> 6;
    return h;
}

// Serialised item built from the table: key_size, key, zero, value_size, value.
void put_item(Bytes &out, const std::string &key, const Bytes &value) {
    size_t ks = key.size() + 1;
    out.push_back(ks & 0xff);
    out.push_back(ks >> 8);
    out.insert(out.end(), key.begin(), key.end());
    out.push_back(0);
    out.push_back(value.size() & 0xff);
    out.push_back(value.size() >> 8);
    out.insert(out.end(), value.begin(), value.end());
}

Bytes header(uint16_t count) {
    return {static_cast<uint8_t>(count & 0xff), static_cast<uint8_t>(count >> 8)};
}

std::vector<std::string> keys_in_order(const xdict *d) {
    std::vector<std::string> keys;
    xdict_for_each(
        d,
        [](const char *key, const void *, size_t, void *priv) {
            static_cast<std::vector<std::string> *>(priv)->push_back(key);
            return 0;
        },
        &keys);
    return keys;
}

// A generated key whose bucket is `b`.
std::string key_in_bucket(uint32_t b, const std::string &stem) {
    for (int i = 0;; i++) {
        std::string k = stem + std::to_string(i);
        if (ref_hash(k) % XDICT_HASH_SIZE == b)
            return k;
    }
}

struct DictDeleter {
    void operator()(xdict *d) const { xdict_destroy(d); }
};
using Dict = std::unique_ptr<xdict, DictDeleter>;
Dict make_dict() {
    Dict d(xdict_new());
    EXPECT_NE(nullptr, d);
    return d;
}

TEST(XdictHash, MatchesReferenceIncludingSignedTails) {
    const std::vector<std::string> keys = {"",           "a",
                                           "\xff",       "ab",
                                           "abc",        "abcd",
                                           "abcde",      "abcdef",
                                           "abcdefg",    "user.glusterfs.bd",
                                           "ab\x80",     "abcd\xfe",
                                           "abcdef\x90", "\x80\x81\x82\x83\x84",
                                           "trusted.x",  "security.selinux"};
    for (const std::string &k : keys)
        EXPECT_EQ(ref_hash(k), string_hash(k.data(), k.size())) << "key of length " << k.size();
    EXPECT_EQ(1u, string_hash(nullptr, 10));
    // A high tail byte counts as negative (an unsigned reading gives another hash).
    for (const std::string k : {"ab\x80", "abcd\xfe", "abcdef\x90"})
        EXPECT_NE(ref_hash(k, false), string_hash(k.data(), k.size())) << k;
}

TEST(Xdict, BucketsThenInsertionOrder) {
    Dict d = make_dict();
    const uint8_t v = 1;
    const std::string b2 = key_in_bucket(2, "k"), b0 = key_in_bucket(0, "k");
    for (const std::string &k : {b2, std::string("z"), std::string("a"), b0})
        ASSERT_EQ(1, xdict_set(d.get(), k.c_str(), &v, 1));
    // One-character keys all hash to 1, so they share bucket 1, in insertion order.
    EXPECT_EQ((std::vector<std::string>{b0, "z", "a", b2}), keys_in_order(d.get()));
}

TEST(Xdict, SetGetReplaceDelete) {
    Dict d = make_dict();
    EXPECT_EQ(1, xdict_set(d.get(), "user.a", "xyz", 3));
    EXPECT_EQ(0, xdict_set(d.get(), "user.a", "12", 2)); // replaced
    EXPECT_EQ(1, xdict_item_cnt(d.get()));
    size_t size = 0;
    const char *v = static_cast<const char *>(xdict_get_data(d.get(), "user.a", &size));
    ASSERT_NE(nullptr, v);
    EXPECT_EQ(2u, size);
    EXPECT_EQ(0, memcmp("12", v, 2));
    EXPECT_STREQ("12", xdict_get_str(d.get(), "user.a")); // terminated although stored unterminated
    EXPECT_EQ(nullptr, xdict_get(d.get(), "user.b"));
    EXPECT_EQ(nullptr, xdict_get_data(d.get(), "user.b", &size));
    EXPECT_EQ(nullptr, xdict_get_str(d.get(), "user.b"));

    std::vector<char> big(65536, 'v');
    EXPECT_EQ(-EINVAL, xdict_set(d.get(), "user.big", big.data(), big.size()));
    EXPECT_EQ(1, xdict_set(d.get(), "user.big", big.data(), 65535));
    EXPECT_EQ(2, xdict_item_cnt(d.get()));

    EXPECT_EQ(0, xdict_del(d.get(), "user.a"));
    EXPECT_EQ(-ENODATA, xdict_del(d.get(), "user.a"));
    EXPECT_EQ(1, xdict_item_cnt(d.get()));
    xdict_cleanup(d.get());
    EXPECT_EQ(0, xdict_item_cnt(d.get()));
    EXPECT_EQ(nullptr, xdict_get(d.get(), "user.big"));
}

TEST(Xdict, NumericGetters) {
    Dict d = make_dict();
    struct {
        const char *text;
        size_t len; // bytes stored (may omit the terminator)
        int ret32;
        uint32_t v32;
        int ret64;
        uint64_t v64;
    } cases[] = {
        {"123", 3, 0, 123, 0, 123},
        {"1234", 2, 0, 12, 0, 12}, // only the stored bytes are parsed
        {"4294967296", 10, 0, 0, 0, 4294967296ull},
        {"18446744073709551615", 20, 0, 0xffffffffu, 0, 18446744073709551615ull},
        {"18446744073709551616", 20, -ERANGE, 0, -ERANGE, 0},
        {"abc", 3, 0, 0, 0, 0},
    };
    for (const auto &c : cases) {
        ASSERT_GE(xdict_set(d.get(), "n", c.text, c.len), 0);
        uint32_t v32 = 7;
        uint64_t v64 = 7;
        EXPECT_EQ(c.ret32, xdict_get_uint32(d.get(), "n", &v32)) << c.text;
        EXPECT_EQ(c.ret64, xdict_get_uint64(d.get(), "n", &v64)) << c.text;
        if (c.ret32 == 0) {
            EXPECT_EQ(c.v32, v32) << c.text;
        }
        if (c.ret64 == 0) {
            EXPECT_EQ(c.v64, v64) << c.text;
        }
    }
    uint32_t v32;
    uint64_t v64;
    EXPECT_EQ(-ENODATA, xdict_get_uint32(d.get(), "absent", &v32));
    EXPECT_EQ(-ENODATA, xdict_get_uint64(d.get(), "absent", &v64));
}

TEST(Xdict, ItemLimitRefusesEvenReplacement) {
    Dict d = make_dict();
    const uint8_t v = 0;
    char key[16];
    for (int i = 0; i < XDICT_MAX_ITEMS; i++) {
        snprintf(key, sizeof(key), "k%d", i);
        ASSERT_EQ(1, xdict_set(d.get(), key, &v, 1)) << i;
    }
    EXPECT_EQ(XDICT_MAX_ITEMS, xdict_item_cnt(d.get()));
    EXPECT_EQ(-ENOSPC, xdict_set(d.get(), "another", &v, 1));
    EXPECT_EQ(-ENOSPC, xdict_set(d.get(), "k7", &v, 1));
    EXPECT_EQ(0, xdict_del(d.get(), "k0"));
    EXPECT_EQ(0, xdict_set(d.get(), "k7", &v, 1));
    EXPECT_EQ(1, xdict_set(d.get(), "another", &v, 1));
}

TEST(Xdict, WalkDupAndCopy) {
    Dict d = make_dict();
    ASSERT_EQ(1, xdict_set(d.get(), "one", "1", 1));
    ASSERT_EQ(1, xdict_set(d.get(), "two", "22", 2));
    ASSERT_EQ(1, xdict_set(d.get(), "three", "333", 3));

    // A negative result stops the walk and is returned.
    int calls = 0;
    EXPECT_EQ(-EIO, xdict_for_each(
                        d.get(),
                        [](const char *, const void *, size_t, void *priv) {
                            return ++*static_cast<int *>(priv) == 2 ? -EIO : 1;
                        },
                        &calls));
    EXPECT_EQ(2, calls);

    Dict dup(xdict_dup(d.get()));
    ASSERT_NE(nullptr, dup);
    EXPECT_EQ(keys_in_order(d.get()), keys_in_order(dup.get()));
    EXPECT_STREQ("22", xdict_get_str(dup.get(), "two"));
    EXPECT_NE(xdict_get_str(d.get(), "two"), xdict_get_str(dup.get(), "two"));

    Dict to = make_dict();
    ASSERT_EQ(1, xdict_set(to.get(), "two", "old", 3));
    ASSERT_EQ(1, xdict_set(to.get(), "four", "4", 1));
    EXPECT_EQ(0, xdict_copy(d.get(), to.get()));
    EXPECT_EQ(4, xdict_item_cnt(to.get()));
    EXPECT_STREQ("22", xdict_get_str(to.get(), "two"));

    // The walk tolerates deleting the item it is visiting.
    EXPECT_EQ(0, xdict_for_each(
                     to.get(),
                     [](const char *key, const void *, size_t, void *priv) {
                         return xdict_del(static_cast<xdict *>(priv), key);
                     },
                     to.get()));
    EXPECT_EQ(0, xdict_item_cnt(to.get()));
}

TEST(XdictFormat, TwentyFourByteExample) {
    Dict d = make_dict();
    const Bytes v1 = {0x07}, v6 = {0x01, 0x02, 0x03, 0x04};
    ASSERT_EQ(1, xdict_set(d.get(), "a", v1.data(), v1.size()));
    ASSERT_EQ(1, xdict_set(d.get(), "abcdef", v6.data(), v6.size()));

    // Items are written bucket by bucket: "a" is in bucket 1.
    Bytes want = header(2);
    if (ref_hash("abcdef") % XDICT_HASH_SIZE < 1) {
        put_item(want, "abcdef", v6);
        put_item(want, "a", v1);
    } else {
        put_item(want, "a", v1);
        put_item(want, "abcdef", v6);
    }
    ASSERT_EQ(24u, want.size());
    ASSERT_EQ(24u, xdict_serialized_length(d.get()));
    Bytes got(24, 0xee);
    ASSERT_EQ(0, xdict_serialize(d.get(), got.data(), got.size()));
    EXPECT_EQ(want, got);
    EXPECT_EQ(-ERANGE, xdict_serialize(d.get(), got.data(), 23));

    Dict back = make_dict();
    ASSERT_GE(xdict_unserialize(back.get(), want.data(), want.size()), 0);
    EXPECT_EQ(2, xdict_item_cnt(back.get()));
    size_t size = 0;
    const void *p = xdict_get_data(back.get(), "abcdef", &size);
    ASSERT_NE(nullptr, p);
    EXPECT_EQ(Bytes(static_cast<const uint8_t *>(p), static_cast<const uint8_t *>(p) + size), v6);
    p = xdict_get_data(back.get(), "a", &size);
    ASSERT_NE(nullptr, p);
    EXPECT_EQ(1u, size);
    EXPECT_EQ(0x07, *static_cast<const uint8_t *>(p));

    Bytes empty(2, 0xee);
    Dict e = make_dict();
    ASSERT_EQ(0, xdict_serialize(e.get(), empty.data(), empty.size()));
    EXPECT_EQ(header(0), empty);
}

TEST(XdictFormat, ReaderResults) {
    struct {
        const char *what;
        Bytes bytes;
        int ret;
        std::vector<std::pair<std::string, std::string>> items;
    } cases[] = {
        {"no items", header(0), 0, {}},
        {"one item, trailing bytes ignored",
         [] {
             Bytes b = header(1);
             put_item(b, "k", {'v'});
             b.push_back(0x55);
             return b;
         }(),
         1,
         {{"k", "v"}}},
        {"repeated key replaces",
         [] {
             Bytes b = header(2);
             put_item(b, "k", {'1'});
             put_item(b, "k", {'2'});
             return b;
         }(),
         0,
         {{"k", "2"}}},
        {"empty value skipped",
         [] {
             Bytes b = header(2);
             put_item(b, "k", {'1'});
             put_item(b, "e", {});
             return b;
         }(),
         1,
         {{"k", "1"}}},
    };
    for (const auto &c : cases) {
        Dict d = make_dict();
        EXPECT_EQ(c.ret, xdict_unserialize(d.get(), c.bytes.data(), c.bytes.size())) << c.what;
        EXPECT_EQ((int)c.items.size(), xdict_item_cnt(d.get())) << c.what;
        for (const auto &[k, v] : c.items) {
            const char *got = xdict_get_str(d.get(), k.c_str());
            ASSERT_NE(nullptr, got) << c.what;
            EXPECT_EQ(v, got) << c.what;
        }
    }
}

TEST(XdictFormat, MalformedInputLeavesDictionaryEmpty) {
    // Each case starts with one good item so that clean-up is visible.
    auto with_good = [](uint16_t count, const Bytes &rest) {
        Bytes b = header(count);
        put_item(b, "good", {'g'});
        b.insert(b.end(), rest.begin(), rest.end());
        return b;
    };
    struct {
        const char *what;
        Bytes bytes;
        int ret;
    } cases[] = {
        {"item missing", with_good(2, {}), -ERANGE},
        {"half a key_size", with_good(2, {0x02}), -ERANGE},
        {"key shorter than key_size", with_good(2, {0x05, 0x00, 'a', 'b'}), -ERANGE},
        {"key_size 5: two letters and three zeros",
         with_good(2, {0x05, 0x00, 'a', 'b', 0, 0, 0, 0x01, 0x00, 'v'}), -EFAULT},
        {"key_size 0", with_good(2, {0x00, 0x00, 0x01, 0x00, 'v'}), -EFAULT},
        {"key without its zero", with_good(2, {0x02, 0x00, 'a', 'b', 0x01, 0x00, 'v'}), -EFAULT},
        {"value_size missing", with_good(2, {0x02, 0x00, 'a', 0, 0x01}), -ERANGE},
        {"value shorter than value_size", with_good(2, {0x02, 0x00, 'a', 0, 0x03, 0x00, 'v', 'w'}), -ERANGE},
    };
    for (const auto &c : cases) {
        Dict d = make_dict();
        EXPECT_EQ(c.ret, xdict_unserialize(d.get(), c.bytes.data(), c.bytes.size())) << c.what;
        EXPECT_EQ(0, xdict_item_cnt(d.get())) << c.what;
        EXPECT_EQ(nullptr, xdict_get(d.get(), "good")) << c.what;
    }
}

TEST(XdictFormat, KeyList) {
    Dict d = make_dict();
    ASSERT_EQ(1, xdict_set(d.get(), "user.x", "1", 1));
    ASSERT_EQ(1, xdict_set(d.get(), "trusted.yy", "2", 1));
    std::string want;
    for (const std::string &k : keys_in_order(d.get()))
        want += k + '\0';
    ASSERT_EQ(18u, want.size());
    EXPECT_EQ((ssize_t)want.size(), xdict_serialize_keys(d.get(), nullptr, 0));
    std::string got(want.size(), 'X');
    EXPECT_EQ((ssize_t)want.size(), xdict_serialize_keys(d.get(), got.data(), got.size()));
    EXPECT_EQ(want, got);
    EXPECT_EQ(-ERANGE, xdict_serialize_keys(d.get(), got.data(), got.size() - 1));
    EXPECT_EQ(-ERANGE, xdict_serialize_keys(d.get(), got.data(), 0));
    Dict e = make_dict();
    EXPECT_EQ(0, xdict_serialize_keys(e.get(), got.data(), 0));
}

TEST(XdictDeath, ProgrammingErrorsAreFatal) {
    Dict d = make_dict();
    ASSERT_EQ(1, xdict_set(d.get(), "k", "v", 1));
    EXPECT_DEATH(xdict_set(d.get(), "", "v", 1), "key\\[0\\] != '\\\\0'");
    EXPECT_DEATH(xdict_set(d.get(), "k2", nullptr, 1), "value != nullptr");
    EXPECT_DEATH(xdict_set(d.get(), "k2", "v", 0), "size > 0");
    const Bytes empty = header(0);
    EXPECT_DEATH(xdict_unserialize(d.get(), empty.data(), empty.size()), "count == 0");
}

} // namespace
