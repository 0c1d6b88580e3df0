// Loading the volume: copy choice by generation, damaged copies, the address
// map and its lookup, state repair, opening rules, expansion after a damaged
// last entry.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>

#include <gtest/gtest.h>

#include "kvol_test_util.h"
#include "kvol_volume.h"

using namespace kvoltest;

namespace {

constexpr uint64_t T0 = 2 * GiB - DATA_START; // length of mapping 0 of a 2 GiB volume

// The superblock of a freshly created 2 GiB volume, as fields.
SbFields current_sb(const std::string &path) {
    Bytes b = read_at(path, 0, 4096);
    SbFields f;
    f.generation = get64(b, 16);
    memcpy(f.uuid, &b[24], 16);
    f.entry_num = get64(b, 48);
    f.entry_max = get64(b, 56);
    f.va_total = get64(b, 104);
    f.va_avail = get64(b, 112);
    f.phy_blksz = get32(b, 120);
    f.ts_format = get32(b, 124);
    f.ts_expand = get32(b, 128);
    return f;
}

// Adds one backing file of `len` bytes as a new mapping.
int expand_file(kvol_t *kv, const std::string &path, uint64_t len, uint32_t attr = 0) {
    kvol_expand_entry_t e = {};
    e.offset = 0;
    e.length = len;
    e.attribute = attr;
    e.path = path.c_str();
    return kvol_expand(kv, &e, 1);
}

TEST(KvolMeta, CopyIsChosenByGeneration) {
    struct Case {
        uint64_t gen0, gen1;
        uint32_t expect_ts; // ts_expand marks which copy was taken
        uint64_t next_slot; // slot of the next write (generation max + 1)
    } cases[] = {{6, 7, 701, 0}, {7, 6, 600, 0}, {6, 6, 600, 1}};
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.gen0 << "/" << c.gen1);
        VolumeFile vol;
        ASSERT_EQ(vol.mkfs_ret, 0);
        SbFields f = current_sb(vol.path);
        f.generation = c.gen0;
        f.ts_expand = 600;
        write_at(vol.path, sb_slot(0), expect_sb_slot(f));
        f.generation = c.gen1;
        f.ts_expand = 701;
        write_at(vol.path, sb_slot(1), expect_sb_slot(f));

        kvol_t *kv = kvol_init(vol.path.c_str(), O_RDWR);
        ASSERT_NE(kv, nullptr);
        std::string sb = dump(kv, KVOL_DUMP_CLASS_SUPERBLOCK);
        EXPECT_NE(sb.find(" ts_expand=" + std::to_string(c.expect_ts) + "\n"), std::string::npos) << sb;
        // One metadata change writes generation max + 1 into its slot and
        // leaves the other copy alone.
        ASSERT_EQ(kvol_mark_badtrack(kv, 0, GRAN), 0);
        kvol_fini(kv);
        uint64_t next = std::max(c.gen0, c.gen1) + 1;
        Bytes written = read_at(vol.path, sb_slot(c.next_slot), 4096);
        EXPECT_EQ(get64(written, 16), next);
        EXPECT_EQ(get32(written, 128), c.expect_ts);
        EXPECT_EQ(get64(read_at(vol.path, sb_slot(1 - c.next_slot), 4096), 16),
                  c.next_slot == 0 ? c.gen1 : c.gen0);
    }
}

TEST(KvolMeta, DamagedSuperblockOrBitmapCopyRefusesTheOpen) {
    struct Case {
        const char *what;
        uint64_t offset; // byte flipped
        const char *message;
    } cases[] = {
        {"superblock copy 0 magic", sb_slot(0) + 8, "superblock crc magic generation="},
        {"superblock copy 1 body", sb_slot(1) + 100, "superblock crc checknum generation="},
        {"bitmap block 0 copy 0 magic", bt_slot(0, 0) + 9, "badtrack crc magic generation="},
        {"bitmap block 0 copy 1 body", bt_slot(0, 1) + 1000, "badtrack crc checknum generation="},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        VolumeFile vol;
        ASSERT_EQ(vol.mkfs_ret, 0);
        flip_byte(vol.path, c.offset);
        kvol_t *kv = nullptr;
        std::string log = capture_log([&] { kv = kvol_init(vol.path.c_str(), O_RDWR); });
        EXPECT_EQ(kv, nullptr);
        EXPECT_NE(log.find(c.message), std::string::npos) << log;
        if (kv != nullptr)
            kvol_fini(kv);
        // The refused open released the device lock.
        kvol_t *again = kvol_init(vol.path.c_str(), O_RDWR);
        EXPECT_EQ(again, nullptr);
        int fd = open(vol.path.c_str(), O_RDWR);
        EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
        close(fd);
    }
}

// Rewrites the newest superblock copy (copy 0 of a fresh volume) with one
// field changed and the checksum recomputed, so that the field check is what
// is tested.
void set_sb_field(const std::string &path, size_t off, uint64_t value, int width = 8) {
    Bytes sb = read_at(path, sb_slot(0), 4096);
    if (width == 8)
        put64(sb, off, value);
    else
        put32(sb, off, static_cast<uint32_t>(value));
    put32(sb, 0, ref_crc32(sb.data() + 4, 508));
    write_at(path, sb_slot(0), sb);
}

TEST(KvolMeta, SuperblockWithImpossibleGeometryIsRefusedWithEio) {
    struct Case {
        const char *field;
        size_t off;
        uint64_t value;
        int width;
    } cases[] = {
        {"sb_version", 4, 0x20000, 4},
        {"sb_amtlb_start", 40, 0x1000, 8},
        {"sb_amtlb_entry_num", 48, 0, 8},
        {"sb_amtlb_entry_num", 48, 3, 8},
        {"sb_amtlb_entry_num", 48, 65538, 8},
        {"sb_amtlb_entry_max", 56, ~0ULL, 8},
        {"sb_amtlb_entry_size", 64, 4096, 8},
        {"sb_btbmp_start", 72, 0, 8},
        {"sb_btbmp_size", 80, 0, 8},
        {"sb_btbmp_gran", 88, 0, 8},
        {"sb_frspc_start", 96, 0, 8},
        {"sb_va_len_total", 104, 0, 8},
        {"sb_va_len_total", 104, ~0ULL & ~(GRAN - 1), 8},
        {"sb_va_len_avail", 112, T0 + GRAN, 8},
        {"sb_va_len_avail", 112, 4096, 8},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.field) + "=" + std::to_string(c.value));
        VolumeFile vol;
        ASSERT_EQ(vol.mkfs_ret, 0);
        set_sb_field(vol.path, c.off, c.value, c.width);
        Bytes copy1 = read_at(vol.path, sb_slot(1), 4096);
        kvol_t *kv = nullptr;
        errno = 0;
        std::string log = capture_log([&] { kv = kvol_init(vol.path.c_str(), O_RDWR); });
        EXPECT_EQ(kv, nullptr);
        EXPECT_EQ(errno, EIO);
        EXPECT_NE(log.find(std::string("superblock geometry invalid path=") + vol.path), std::string::npos)
            << log;
        EXPECT_NE(log.find(std::string(": ") + c.field + "=" + std::to_string(c.value) + ", expected "),
                  std::string::npos)
            << log;
        EXPECT_EQ(read_at(vol.path, sb_slot(1), 4096), copy1) << "a refused open writes nothing";
        if (kv != nullptr)
            kvol_fini(kv);
    }
}

// sb_va_len_avail is derived from the bitmap, which is written first: a crash
// between the two leaves them apart, and the bitmap wins.
TEST(KvolMeta, AvailableLengthFollowsTheBitmapAtOpen) {
    VolumeFile vol;
    ASSERT_EQ(vol.mkfs_ret, 0);
    BtFields f;
    f.generation = 2;
    f.bad_bits = {3, 4};
    write_at(vol.path, bt_slot(0, 0), expect_bt_slot(f));
    set_sb_field(vol.path, 112, 0); // as if every granule were bad
    kvol_t *kv = nullptr;
    std::string log = capture_log([&] { kv = kvol_init(vol.path.c_str(), O_RDWR); });
    ASSERT_NE(kv, nullptr);
    EXPECT_NE(log.find("superblock va_len_avail=0 disagrees with the bad-track bitmap (2 bad granules"),
              std::string::npos)
        << log;
    kvol_stat_t st;
    ASSERT_EQ(kvol_stat(kv, &st), 0);
    EXPECT_EQ(st.va_avail, T0 - 2 * GRAN);
    kvol_fini(kv);
    // Written back: the newest copy (generation 3, copy 1) carries it.
    Bytes sb = read_at(vol.path, sb_slot(1), 4096);
    EXPECT_EQ(get64(sb, 16), 3u);
    EXPECT_EQ(get64(sb, 112), T0 - 2 * GRAN);
    EXPECT_EQ(get32(sb, 0), ref_crc32(sb.data() + 4, 508));
}

// A volume device cut short cannot hold what mapping 0 maps.
TEST(KvolMeta, TruncatedVolumeDeviceIsRefusedWithEio) {
    VolumeFile vol;
    ASSERT_EQ(vol.mkfs_ret, 0);
    ASSERT_EQ(truncate(vol.path.c_str(), static_cast<off_t>(DATA_START + 161 * MiB)), 0);
    kvol_t *kv = nullptr;
    errno = 0;
    std::string log = capture_log([&] { kv = kvol_init(vol.path.c_str(), O_RDONLY); });
    EXPECT_EQ(kv, nullptr);
    EXPECT_EQ(errno, EIO);
    EXPECT_NE(log.find("volume device " + vol.path + " holds " + std::to_string(DATA_START + 161 * MiB) +
                       " bytes, mapping 0 needs " + std::to_string(2 * GiB)),
              std::string::npos)
        << log;
}

// The superblock's VA lengths against the address map: the total is where
// the last mapping ends (every expansion appends there and grows the total by
// what it added); when the last entry is damaged its length is unknown, and
// only a volume of mapping 0 alone still has a bound, its device.  A refused
// open is EIO, names the field, its value and the bound, and writes neither
// superblock copy, though the available length disagrees with the bitmap.
TEST(KvolMeta, SuperblockLengthsBeyondTheAddressMapAreRefused) {
    struct Case {
        const char *what;
        bool three_mappings;
        int damaged_entry; // -1: none; else copy 0 of this entry is flipped
        int64_t total_delta, avail_delta;
        std::string message; // empty: the volume opens
    } cases[] = {
        {"total beyond mapping 0", false, -1, int64_t(GRAN), 0,
         "sb_va_len_total=" + std::to_string(T0 + GRAN) + ", expected " + std::to_string(T0) +
             " (the end of mapping 0)"},
        {"both lengths beyond mapping 0", false, -1, int64_t(GRAN), int64_t(GRAN),
         "sb_va_len_total=" + std::to_string(T0 + GRAN) + ", expected " + std::to_string(T0) +
             " (the end of mapping 0)"},
        {"total short of mapping 0", false, -1, -int64_t(GRAN), -int64_t(GRAN),
         "check address is invalid offset=0, size=" + std::to_string(T0) +
             ", totalsize=" + std::to_string(T0 - GRAN)},
        {"total beyond mapping 2", true, -1, int64_t(GRAN), int64_t(GRAN),
         "sb_va_len_total=" + std::to_string(T0 + 128 * MiB + GRAN) + ", expected " +
             std::to_string(T0 + 128 * MiB) + " (the end of mapping 2)"},
        {"total beyond a damaged last entry", true, 2, int64_t(GRAN), int64_t(GRAN), ""},
        {"damaged mapping 0 alone, total within the device", false, 0, 0, 0, ""},
        {"damaged mapping 0 alone, total beyond the device", false, 0, int64_t(GRAN), int64_t(GRAN),
         "sb_va_len_total=" + std::to_string(T0 + GRAN) + ", expected at most " + std::to_string(T0) +
             " (the volume device's data area)"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        VolumeFile vol;
        ASSERT_EQ(vol.mkfs_ret, 0);
        if (c.three_mappings) {
            kvol_t *kv = kvol_init(vol.path.c_str(), O_RDWR);
            ASSERT_NE(kv, nullptr);
            ASSERT_EQ(expand_file(kv, make_sparse(vol.dir.path(), "b.img", 64 * MiB), 64 * MiB), 0);
            ASSERT_EQ(expand_file(kv, make_sparse(vol.dir.path(), "c.img", 64 * MiB), 64 * MiB), 0);
            kvol_fini(kv);
        }
        if (c.damaged_entry >= 0)
            flip_byte(vol.path, am_slot(c.damaged_entry, 0) + 200);
        // The newer copy by generation, the lengths moved, the checksum
        // recomputed.
        Bytes sb0 = read_at(vol.path, sb_slot(0), 4096), sb1 = read_at(vol.path, sb_slot(1), 4096);
        const unsigned newer = get64(sb1, 16) > get64(sb0, 16) ? 1 : 0;
        Bytes sb = newer ? sb1 : sb0;
        put64(sb, 104, get64(sb, 104) + c.total_delta);
        put64(sb, 112, get64(sb, 112) + c.avail_delta);
        put32(sb, 0, ref_crc32(sb.data() + 4, 508));
        write_at(vol.path, sb_slot(newer), sb);
        const Bytes both = read_at(vol.path, 0, 0x2000);

        kvol_t *kv = nullptr;
        errno = 0;
        std::string log = capture_log([&] { kv = kvol_init(vol.path.c_str(), O_RDWR); });
        if (c.message.empty()) {
            ASSERT_NE(kv, nullptr) << log;
            kvol_stat_t st;
            ASSERT_EQ(kvol_stat(kv, &st), 0);
            EXPECT_EQ(st.va_total, get64(sb, 104));
            kvol_fini(kv);
            continue;
        }
        EXPECT_EQ(kv, nullptr);
        EXPECT_EQ(errno, EIO);
        EXPECT_NE(log.find(c.message), std::string::npos) << log;
        EXPECT_EQ(read_at(vol.path, 0, 0x2000), both) << "a refused open writes no superblock copy";
        if (kv != nullptr)
            kvol_fini(kv);
    }
}

// A volume of mapping 0 and two 64 MiB backing files (mappings 1 and 2).
class KvolThreeMappings : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(vol_.mkfs_ret, 0);
        b_ = make_sparse(vol_.dir.path(), "b.img", 64 * MiB);
        c_ = make_sparse(vol_.dir.path(), "c.img", 64 * MiB);
        kvol_t *kv = kvol_init(vol_.path.c_str(), O_RDWR);
        ASSERT_NE(kv, nullptr);
        ASSERT_EQ(expand_file(kv, b_, 64 * MiB), 0);
        ASSERT_EQ(expand_file(kv, c_, 64 * MiB), 0);
        kvol_fini(kv);
    }

    VolumeFile vol_;
    std::string b_, c_;
};

TEST_F(KvolThreeMappings, DamagedEntryCopyMakesOnlyThatMappingUnavailable) {
    flip_byte(vol_.path, am_slot(1, 0) + 70); // inside am_path of entry 1, copy 0
    kvol_t *kv = nullptr;
    std::string log = capture_log([&] { kv = kvol_init(vol_.path.c_str(), O_RDWR); });
    ASSERT_NE(kv, nullptr);
    EXPECT_NE(log.find("adressmap crc checksum generation="), std::string::npos) << log;
    EXPECT_NE(log.find("addressmap crc error kvol = " + vol_.path + ", index=1, amtlb_num=6"),
              std::string::npos)
        << log;

    EXPECT_EQ(kvol_lookup_mapping(kv, 0), 0);
    EXPECT_EQ(kvol_lookup_mapping(kv, T0 - 1), 0);
    // The first byte after mapping 0 is followed by the empty entry.
    EXPECT_EQ(kvol_lookup_mapping(kv, T0), -1);
    EXPECT_EQ(kvol_lookup_mapping(kv, T0 + 64 * MiB - 1), -1);
    EXPECT_EQ(kvol_lookup_mapping(kv, T0 + 64 * MiB), 2);
    EXPECT_EQ(kvol_lookup_mapping(kv, T0 + 128 * MiB - 1), 2);

    std::string maps = dump(kv, KVOL_DUMP_CLASS_MAPPINGS);
    EXPECT_NE(maps.find("va_start=0 va_length=0 path=(null) pa_offset=0 attribute=0 state=2 "),
              std::string::npos)
        << maps;

    // Mapping 2 still carries I/O; the damaged one refuses it.
    AlignedBuf w(1 * MiB, 5), r(1 * MiB);
    struct iovec wv = w.iov(), rv = r.iov();
    EXPECT_EQ(kvol_writev(kv, &wv, 1, T0 + 64 * MiB), ssize_t(1 * MiB));
    EXPECT_EQ(kvol_preadv(kv, &rv, 1, T0 + 64 * MiB), ssize_t(1 * MiB));
    EXPECT_EQ(r.bytes(), w.bytes());
    EXPECT_EQ(read_at(c_, 0, 1 * MiB), w.bytes());
    EXPECT_LT(kvol_preadv(kv, &rv, 1, T0), 0);
    kvol_fini(kv);
}

TEST_F(KvolThreeMappings, ExpansionAfterADamagedLastEntryStartsAtTheEndOfTheVolume) {
    // Entry 2 (the last) is damaged: it loads as an empty mapping at VA 0.
    flip_byte(vol_.path, am_slot(2, 1) + 200);
    std::string d = make_sparse(vol_.dir.path(), "d.img", 64 * MiB);
    kvol_t *kv = kvol_init(vol_.path.c_str(), O_RDWR);
    ASSERT_NE(kv, nullptr);
    ASSERT_EQ(expand_file(kv, d, 64 * MiB), 0);

    // The new mapping follows the whole old VA, including the range the
    // damaged entry still claims, and overlaps nothing.
    const uint64_t d_start = T0 + 128 * MiB;
    std::string maps = dump(kv, KVOL_DUMP_CLASS_EXPAND);
    EXPECT_NE(maps.find(d + " " + std::to_string(d_start) + " " + std::to_string(64 * MiB) + " \n"),
              std::string::npos)
        << maps;
    EXPECT_EQ(kvol_lookup_mapping(kv, 0), 0);
    EXPECT_EQ(kvol_lookup_mapping(kv, d_start), 3);
    kvol_stat_t st;
    ASSERT_EQ(kvol_stat(kv, &st), 0);
    EXPECT_EQ(st.va_total, T0 + 192 * MiB);

    // I/O at the new mapping reaches d, and mapping 0's data stays where it is.
    AlignedBuf zero_probe(1 * MiB), w(1 * MiB, 9);
    struct iovec wv = w.iov();
    ASSERT_EQ(kvol_writev(kv, &wv, 1, d_start), ssize_t(1 * MiB));
    kvol_fini(kv);
    EXPECT_EQ(read_at(d, 0, 1 * MiB), w.bytes());
    EXPECT_EQ(read_at(vol_.path, DATA_START, 1 * MiB), zero_probe.bytes());

    // The volume still loads: the new entry passes the address checks.
    kv = kvol_init(vol_.path.c_str(), O_RDONLY);
    ASSERT_NE(kv, nullptr);
    EXPECT_EQ(kvol_lookup_mapping(kv, d_start + 64 * MiB - 1), 3);
    kvol_fini(kv);
}

TEST(KvolMeta, BadTracksOnDiskRepairTheMappingStateAtOpen) {
    VolumeFile vol;
    ASSERT_EQ(vol.mkfs_ret, 0);
    // Granule 1 marked bad in a newer bitmap copy, mapping 0 still OK.
    BtFields f;
    f.generation = 2;
    f.mtime = 1;
    f.bad_bits = {1};
    write_at(vol.path, bt_slot(0, 0), expect_bt_slot(f));
    kvol_t *kv = kvol_init(vol.path.c_str(), O_RDWR);
    ASSERT_NE(kv, nullptr);
    EXPECT_NE(dump(kv, KVOL_DUMP_CLASS_MAPPINGS).find(" state=1 "), std::string::npos);
    kvol_fini(kv);
    // Written back at once: entry 0 generation 2 (copy 0) carries BADTRACK.
    Bytes am = read_at(vol.path, am_slot(0, 0), 4096);
    EXPECT_EQ(get64(am, 16), 2u);
    EXPECT_EQ(get32(am, 44), uint32_t(KVOL_ST_BADTRACK));
    EXPECT_EQ(get32(am, 0), ref_crc32(am.data() + 4, 508));
}

TEST(KvolMeta, OpeningRules) {
    VolumeFile vol;
    ASSERT_EQ(vol.mkfs_ret, 0);
    std::string log;
    log = capture_log([&] { EXPECT_EQ(kvol_init(vol.path.c_str(), O_RDWR | O_CREAT), nullptr); });
    log = capture_log([&] { EXPECT_EQ(kvol_init(std::string(256, 'a').c_str(), O_RDONLY), nullptr); });
    EXPECT_NE(log.find("init kvol error buf_size=256 path="), std::string::npos) << log;
    log = capture_log([&] { EXPECT_EQ(kvol_init((vol.dir.path() + "/none").c_str(), O_RDONLY), nullptr); });
    EXPECT_NE(log.find("open " + vol.dir.path() + "/none flag="), std::string::npos) << log;

    // One writer at a time; readers are not locked out.
    kvol_t *w = kvol_init(vol.path.c_str(), O_RDWR);
    ASSERT_NE(w, nullptr);
    log = capture_log([&] { EXPECT_EQ(kvol_init(vol.path.c_str(), O_WRONLY), nullptr); });
    EXPECT_NE(log.find("kvol try lock fail path " + vol.path), std::string::npos) << log;
    kvol_t *r = kvol_init(vol.path.c_str(), O_RDONLY);
    EXPECT_NE(r, nullptr);
    kvol_fini(r);
    kvol_fini(w);
    w = kvol_init(vol.path.c_str(), O_WRONLY); // a writer too, and it can write
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(kvol_mark_badtrack(w, 0, GRAN), 0);
    kvol_fini(w);
    w = kvol_init(vol.path.c_str(), O_RDWR); // the lock went with kvol_fini
    EXPECT_NE(w, nullptr);
    unsigned char uuid[16];
    EXPECT_EQ(kvol_get_kvol_uuid(w, uuid), 0);
    EXPECT_EQ(memcmp(uuid, read_at(vol.path, 24, 16).data(), 16), 0);
    kvol_fini(w);
}

// Entries with a good checksum but values no writer of this volume manager
// produces are damaged entries: the mapping becomes unavailable and the rest
// of the volume opens (mapping 0 is the volume device itself, so only an
// entry other than 0 can be isolated that way).
TEST_F(KvolThreeMappings, ImpossibleEntryIsTreatedAsDamaged) {
    Bytes sb = read_at(vol_.path, 0, 4096);
    struct Case {
        const char *field;
        std::function<void(AmFields &)> change;
    } cases[] = {
        {"am_va_start", [](AmFields &f) { f.va_start += 4096; }},
        {"am_length", [](AmFields &f) { f.length = GRAN + 4096; }},
        {"am_state", [](AmFields &f) { f.state = 7; }},
        {"am_owner", [](AmFields &f) { f.owner[0] ^= 1; }},
        {"am_pa_offset", [](AmFields &f) { f.pa_offset = ~0ULL - 4096; }},
        {"am_path", [this](AmFields &f) { f.path = vol_.path; }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.field);
        Bytes saved0 = read_at(vol_.path, am_slot(1, 0), 4096),
              saved1 = read_at(vol_.path, am_slot(1, 1), 4096);
        for (unsigned copy = 0; copy < 2; copy++) {
            AmFields f;
            f.generation = copy;
            memcpy(f.owner, &sb[24], 16);
            f.va_start = T0;
            f.length = 64 * MiB;
            f.path = b_;
            c.change(f);
            write_at(vol_.path, am_slot(1, copy), expect_am_slot(f));
        }
        kvol_t *kv = nullptr;
        std::string log = capture_log([&] { kv = kvol_init(vol_.path.c_str(), O_RDONLY); });
        ASSERT_NE(kv, nullptr) << log;
        EXPECT_NE(log.find(std::string("adressmap entry invalid index=1 generation=1: ") + c.field + "="),
                  std::string::npos)
            << log;
        EXPECT_EQ(kvol_lookup_mapping(kv, T0), -1);
        EXPECT_EQ(kvol_lookup_mapping(kv, T0 + 64 * MiB), 2);
        kvol_fini(kv);
        write_at(vol_.path, am_slot(1, 0), saved0);
        write_at(vol_.path, am_slot(1, 1), saved1);
    }
}

// Mapping 0 in front of the data area would put volume addresses on the
// volume's own metadata: the entry is damaged, and no address reaches it.
TEST(KvolMeta, MappingZeroOverTheMetadataIsRefused) {
    VolumeFile vol;
    ASSERT_EQ(vol.mkfs_ret, 0);
    Bytes sb = read_at(vol.path, 0, 4096);
    for (unsigned copy = 0; copy < 2; copy++) {
        AmFields f;
        f.generation = copy;
        memcpy(f.owner, &sb[24], 16);
        f.va_start = 0;
        f.length = T0;
        f.path = vol.path;
        f.pa_offset = 0;
        write_at(vol.path, am_slot(0, copy), expect_am_slot(f));
    }
    kvol_t *kv = nullptr;
    std::string log = capture_log([&] { kv = kvol_init(vol.path.c_str(), O_RDWR); });
    ASSERT_NE(kv, nullptr) << log;
    EXPECT_NE(log.find("am_pa_offset=0, expected 0x13000000 for mapping 0"), std::string::npos) << log;
    AlignedBuf w(1 * MiB, 3);
    struct iovec wv = w.iov();
    EXPECT_LT(kvol_writev(kv, &wv, 1, 0), 0);
    kvol_fini(kv);
    EXPECT_EQ(read_at(vol.path, 0, 4096), sb) << "the volume's metadata is untouched";
}

} // namespace
