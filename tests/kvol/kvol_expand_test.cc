// Creation refusals, expansion from a list (records, checks, nothing written
// on refusal) and from a JSON file.
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include <gtest/gtest.h>

#include "kvol_test_util.h"
#include "kvol_volume.h"

using namespace kvoltest;

namespace {

constexpr uint64_t T0 = 2 * GiB - DATA_START;

TEST(KvolMkfs, RefusesSmallDevicesAndValidVolumesWithoutForce) {
    tavtest::TempDir dir;
    // Under 1 GiB once rounded down to 16 MiB: nothing is written.
    std::string small = make_sparse(dir.path(), "small.img", 1 * GiB + 15 * MiB);
    Bytes none(0x3000, 0);
    write_at(small, 0, none);
    kvol_mkfs_param_t p = {0, 0, nullptr};
    std::string tiny = make_sparse(dir.path(), "tiny.img", 1 * GiB - 1);
    p.path = tiny.c_str();
    EXPECT_EQ(kvol_mkfs(&p), -22);
    EXPECT_EQ(read_at(tiny, 0, 0x3000), none);
    // Exactly 1 GiB is enough.
    p.path = small.c_str();
    ASSERT_EQ(kvol_mkfs(&p), 0);

    // A valid superblock in either copy refuses a second creation.
    Bytes sb = read_at(small, 0, 0x2000);
    std::string log = capture_log([&] { EXPECT_EQ(kvol_mkfs(&p), -22); });
    EXPECT_NE(log.find("there is a valid sb in " + small + ", offset 0."), std::string::npos) << log;
    EXPECT_EQ(read_at(small, 0, 0x2000), sb);
    flip_byte(small, 8); // copy 0 damaged, copy 1 still valid
    log = capture_log([&] { EXPECT_EQ(kvol_mkfs(&p), -22); });
    EXPECT_NE(log.find("there is a valid sb in " + small + ", offset 4096."), std::string::npos) << log;

    // With force: a new volume (new uuid).
    p.force = 1;
    ASSERT_EQ(kvol_mkfs(&p), 0);
    EXPECT_NE(memcmp(read_at(small, 24, 16).data(), &sb[24], 16), 0);
    kvol_t *kv = kvol_init(small.c_str(), O_RDONLY);
    ASSERT_NE(kv, nullptr);
    kvol_stat_t st;
    ASSERT_EQ(kvol_stat(kv, &st), 0);
    EXPECT_EQ(st.va_total, 1 * GiB - DATA_START);
    kvol_fini(kv);

    // Locked by an open volume; a directory is no device.
    kv = kvol_init(small.c_str(), O_RDWR);
    ASSERT_NE(kv, nullptr);
    EXPECT_EQ(kvol_mkfs(&p), -1);
    kvol_fini(kv);
    p.path = dir.path().c_str();
    EXPECT_EQ(kvol_mkfs(&p), -22);
    EXPECT_EQ(kvol_mkfs(nullptr), -22);
}

class KvolExpand : public OpenVolumeTest {
protected:
    KvolExpand() : OpenVolumeTest(2 * GiB, 4) {}
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(OpenVolumeTest::SetUp());
        b_ = make_sparse(vol_.dir.path(), "b.img", 256 * MiB);
    }
    kvol_expand_entry_t entry(const std::string &path, uint64_t offset, uint64_t length) {
        kvol_expand_entry_t e = {};
        e.offset = offset;
        e.length = length;
        e.attribute = KVOL_ATTR_IFREG | KVOL_ATTR_ODIRECT;
        e.path = path.c_str();
        return e;
    }

    std::string b_;
};

TEST_F(KvolExpand, WritesBothCopiesOfEachEntryThenTheSuperblock) {
    uint32_t lo = static_cast<uint32_t>(time(nullptr));
    kvol_expand_entry_t e[2] = {entry(b_, 32 * MiB, 128 * MiB), entry(b_, 0, 0)};
    std::string c = make_sparse(vol_.dir.path(), "c.img", 64 * MiB);
    e[1] = entry(c, 0, 64 * MiB);
    e[1].blksize = 512;
    e[1].shard_no = 9;
    for (int i = 0; i < 16; i++)
        e[1].gfid[i] = static_cast<unsigned char>(i + 1);
    ASSERT_EQ(kvol_expand(kv_, e, 2), 0);
    uint32_t hi = static_cast<uint32_t>(time(nullptr));

    Bytes sb = read_at(vol_.path, 0, 4096);
    for (unsigned copy = 0; copy < 2; copy++) {
        Bytes got = read_at(vol_.path, am_slot(1, copy), 4096);
        AmFields f;
        f.generation = copy;
        memcpy(f.owner, &sb[24], 16);
        f.attribute = 3;
        f.va_start = T0;
        f.length = 128 * MiB;
        f.path = b_;
        f.pa_offset = 32 * MiB;
        f.phy_blksz = 4096; // st_blksize of the file
        f.ts_create = f.ts_modify = get32(got, 384);
        EXPECT_TRUE(f.ts_create >= lo && f.ts_create <= hi);
        EXPECT_EQ(got, expect_am_slot(f)) << "entry 1 copy " << copy;

        got = read_at(vol_.path, am_slot(2, copy), 4096);
        f.va_start = T0 + 128 * MiB;
        f.length = 64 * MiB;
        f.path = c;
        f.pa_offset = 0;
        f.phy_blksz = 512;
        memcpy(f.gfid, e[1].gfid, 16);
        f.shard_no = 9;
        EXPECT_EQ(got, expect_am_slot(f)) << "entry 2 copy " << copy;
    }
    // Superblock generation 3 (copy 1): four more records, the new lengths.
    Bytes sb1 = read_at(vol_.path, sb_slot(1), 4096);
    SbFields f;
    f.generation = 3;
    memcpy(f.uuid, &sb[24], 16);
    f.entry_num = 6;
    f.entry_max = 8;
    f.va_total = f.va_avail = T0 + 192 * MiB;
    f.ts_format = get32(sb, 124);
    f.ts_expand = get32(sb1, 128);
    EXPECT_TRUE(f.ts_expand >= lo && f.ts_expand <= hi);
    EXPECT_EQ(sb1, expect_sb_slot(f));

    kvol_stat_t st;
    ASSERT_EQ(kvol_stat(kv_, &st), 0);
    EXPECT_EQ(st.va_total, T0 + 192 * MiB);
    EXPECT_EQ(kvol_lookup_mapping(kv_, T0 + 128 * MiB), 2);
}

TEST_F(KvolExpand, RefusedExpansionsWriteNothing) {
    std::string odd = make_sparse(vol_.dir.path(), "odd.img", 40 * MiB);
    std::string missing = vol_.dir.path() + "/missing.img";
    struct Case {
        const char *what;
        std::vector<kvol_expand_entry_t> list;
        const char *message;
    } cases[] = {
        {"null path", {entry(b_, 0, GRAN)}, "expand failed path null or length=0 gfrid="},
        {"zero length", {entry(b_, 0, 0)}, "expand failed path null or length=0 gfrid="},
        {"missing file", {entry(missing, 0, GRAN)}, "expand failed path="},
        {"beyond the file", {entry(odd, 16 * MiB, 32 * MiB)}, "expand path "},
        {"unaligned length", {entry(odd, 0, 40 * MiB)}, "expand length not align path "},
        {"already mapped", {entry(vol_.path, 0, GRAN)}, "expand failed path already exsit path="},
        {"twice in the list", {entry(b_, 0, GRAN), entry(b_, GRAN, GRAN)}, "already exsit"},
        {"too many", std::vector<kvol_expand_entry_t>(4, entry(b_, 0, GRAN)),
         "expand failed table_length=1, max_cnt=4 count=4 too big"},
    };
    cases[0].list[0].path = nullptr;
    Bytes before = read_at(vol_.path, 0, 0x810000);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::string log = capture_log(
            [&] { EXPECT_EQ(kvol_expand(kv_, c.list.data(), static_cast<int>(c.list.size())), -22); });
        EXPECT_NE(log.find(c.message), std::string::npos) << log;
        EXPECT_EQ(kv_->table_length, 1u);
    }
    EXPECT_EQ(read_at(vol_.path, 0, 0x810000), before);

    kvol_fini(kv_);
    kv_ = kvol_init(vol_.path.c_str(), O_RDONLY);
    ASSERT_NE(kv_, nullptr);
    kvol_expand_entry_t e = entry(b_, 0, GRAN);
    EXPECT_EQ(kvol_expand(kv_, &e, 1), -22);
}

// ---- from a JSON file ----------------------------------------------------------

class KvolStaticExpand : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(vol_.mkfs_ret, 0); }
    std::string json(const std::string &text) {
        std::string p = vol_.dir.path() + "/expand.json";
        int fd = open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        EXPECT_EQ(write(fd, text.data(), text.size()), ssize_t(text.size()));
        close(fd);
        return p;
    }
    kvol_mapping_t last_mapping(kvol_t **kv) {
        *kv = kvol_init(vol_.path.c_str(), O_RDONLY);
        EXPECT_NE(*kv, nullptr);
        return *(*kv)->mappings[(*kv)->table_length - 1];
    }
    VolumeFile vol_;
};

TEST_F(KvolStaticExpand, BuildsEntriesFromTheFileAndTheBackingName) {
    std::string b = make_sparse(vol_.dir.path(), "disk_0123456789abcdef0123456789ABCDEF.7", 6 * GiB);
    // "offset" as a string of digits (64-bit) and as a number beyond 32 bits.
    std::string j = json("{\"expand_list\":[{\"path\":\"" + b +
                         "\",\"offset\":4294967296,\"length\":\"33554432\",\"discard\":1,\"legacy\":0}]}");
    ASSERT_EQ(kvol_static_expand(vol_.path.c_str(), j.c_str()), 0);
    kvol_t *kv;
    kvol_mapping_t m = last_mapping(&kv);
    EXPECT_EQ(m.va_start, T0);
    EXPECT_EQ(m.va_length, 32 * MiB);
    EXPECT_EQ(m.pa_offset, 4294967296ULL);
    EXPECT_EQ(m.attribute, KVOL_ATTR_IFREG | KVOL_ATTR_ODIRECT | KVOL_ATTR_DISCARD);
    EXPECT_EQ(m.shard_no, 7u);
    const unsigned char gfid[16] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef,
                                    0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef};
    EXPECT_EQ(memcmp(m.gfid, gfid, 16), 0);
    EXPECT_EQ(m.psy_blksz, 4096u);
    kvol_fini(kv);
}

TEST_F(KvolStaticExpand, ForeignRuleLooksAtTheDeviceName) {
    struct Case {
        const char *dirs; // below the temporary directory
        const char *name;
        bool foreign;
    } cases[] = {
        {"/dev/xsdb", "/disk_0011223344556677.1", true}, // "sdb" does not occur again
        {"/dev/xsdb", "/sdb_0011223344556677.2", false}, // it does
        {"/data", "/disk_0011223344556677.3", false},    // no "/dev/"
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::string d = vol_.dir.path() + c.dirs;
        ASSERT_EQ(system(("mkdir -p " + d).c_str()), 0);
        std::string b = make_sparse(d, c.name + 1, 64 * MiB);
        std::string j = json("{\"expand_list\":[{\"path\":\"" + b +
                             "\",\"offset\":0,\"length\":16777216,\"foreign\":1}]}");
        ASSERT_EQ(kvol_static_expand(vol_.path.c_str(), j.c_str()), 0);
        kvol_t *kv;
        kvol_mapping_t m = last_mapping(&kv);
        EXPECT_EQ(bool(m.attribute & KVOL_ATTR_FOREIGN), c.foreign);
        unsigned char half[16] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77};
        EXPECT_EQ(memcmp(m.gfid, half, 16), 0);
        kvol_fini(kv);
    }
}

TEST_F(KvolStaticExpand, BadFilesFailWithoutTouchingTheVolume) {
    std::string good = make_sparse(vol_.dir.path(), "disk_0011223344556677.1", 64 * MiB);
    std::string noname = make_sparse(vol_.dir.path(), "plain.img", 64 * MiB);
    std::string shorthex = make_sparse(vol_.dir.path(), "disk_0011223344.1", 64 * MiB);
    std::string noshard = make_sparse(vol_.dir.path(), "disk_0011223344556677.x", 64 * MiB);
    auto list = [](const std::string &members) { return "{\"expand_list\":[{" + members + "}]}"; };
    const std::string path = "\"path\":\"" + good + "\"";
    struct Case {
        const char *what;
        std::string text;
        const char *message;
    } cases[] = {
        {"not JSON", "{\"expand_list\":[", "expand json parase expand_list error size = 0"},
        {"no list", "{\"other\":[]}", "expand json parase expand_list error size = 0"},
        {"empty list", "{\"expand_list\":[]}", "expand json parase expand_list error size = 0"},
        {"no path", list("\"offset\":0,\"length\":16777216"), "path/offset/length required"},
        {"no length", list(path + ",\"offset\":0"), "path/offset/length required"},
        {"zero length", list(path + ",\"offset\":0,\"length\":0"), "expand json parase str=length"},
        {"offset of a wrong type", list(path + ",\"offset\":true,\"length\":16777216"),
         "expand json parase str=offset type="},
        {"negative offset", list(path + ",\"offset\":-4096,\"length\":16777216"),
         "expand json parase str=offset"},
        {"digits with junk", list(path + ",\"offset\":\"12ab\",\"length\":16777216"),
         "expand json parase str=offset"},
        {"no gfid in the name", list("\"path\":\"" + noname + "\",\"offset\":0,\"length\":16777216"),
         "not match"},
        {"short gfid", list("\"path\":\"" + shorthex + "\",\"offset\":0,\"length\":16777216"),
         "uuid=0011223344 len=10 not match"},
        {"no shard number", list("\"path\":\"" + noshard + "\",\"offset\":0,\"length\":16777216"),
         "shard_no"},
        {"backing too small", list(path + ",\"offset\":0,\"length\":134217728"), "expand path "},
    };
    Bytes before = read_at(vol_.path, 0, 0x810000);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::string j = json(c.text);
        std::string log =
            capture_log([&] { EXPECT_EQ(kvol_static_expand(vol_.path.c_str(), j.c_str()), -1); });
        EXPECT_NE(log.find(c.message), std::string::npos) << log;
    }
    EXPECT_EQ(read_at(vol_.path, 0, 0x810000), before);

    std::string big = make_sparse(vol_.dir.path(), "big.json", 0x6400001);
    std::string log = capture_log([&] { EXPECT_EQ(kvol_static_expand(vol_.path.c_str(), big.c_str()), -1); });
    EXPECT_NE(log.find("json file too big size=104857601"), std::string::npos) << log;
    EXPECT_EQ(kvol_static_expand(vol_.path.c_str(), (vol_.dir.path() + "/none.json").c_str()), -1);
}

} // namespace
