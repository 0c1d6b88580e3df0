// The format upgrade of the library on real files: version-1 devices laid out
// from the format tables are upgraded in place and compared page by page with
// the version-2 map they must end with; the backup file is compared with the
// header table; interrupted upgrades resume from their backup; backups that
// fail a check are refused without a write.
#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "upgrade.h"
#include "ondisk_util.h"
#include "super.h"
#include "support/bytes.h"
#include "support/device.h"
#include "support/instance.h"
#include "support/log_capture.h"
#include "support/loop.h"

namespace {

using ondisk::MiB;
using tavtest::get64;
using tavtest::xxh64_1011;

constexpr uint64_t kBlocks = 1200, kGroups = 1;

class UpgradeTest : public tavtest::DeviceTest {
protected:
    void SetUp() override {
        path_ = dir_.path() + "/dev.img";
        backup_dir_ = dir_.path() + "/log/tav_upgrade";
        tavtest::format_device(path_, kBlocks, kGroups);
        layout_ = ondisk::layout_of(kBlocks, kGroups);
    }

    std::vector<uint8_t> make_v1(const ondisk::Runs &used) {
        return ondisk::make_v1_instance(path_, kBlocks, kGroups, used);
    }
    std::vector<uint8_t> zmap_bytes() const {
        return read_bytes(layout_.first_bitmap * MiB, layout_.bitmap_blocks * MiB);
    }
    uint64_t version(uint64_t copy_offset) const { return get64(read_bytes(copy_offset, 4096), 16); }
    std::string backup_path() const {
        tav_sb_ondisk d = {};
        auto page = read_bytes(0x10000, 4096);
        memcpy(&d, page.data(), sizeof(d));
        char *p = tav_upgrade_get_backup_path(backup_dir_.c_str(), d.s_uuid);
        std::string s(p);
        free(p);
        return s;
    }

    // Loads the superblock and runs `body` on it in a coroutine, with the
    // engine open (the fault engine when `faulty`; `setup` adds its faults).
    void with_sb(
        const std::function<void(tav_sb_info *)> &body, bool faulty = false,
        const std::function<void()> &setup = [] {}) {
        open_device(kBlocks * MiB, faulty ? tavtest::kFaultEngine : "libaio");
        setup();
        co([&] {
            tav_sb_info sb = {};
            ASSERT_EQ(0, tav_sb_load(&sb));
            body(&sb);
            tav_sb_destroy(&sb);
        });
        close_device();
    }
    int upgrade(
        bool faulty = false, const std::function<void()> &setup = [] {}) {
        int ret = 1;
        with_sb([&](tav_sb_info *sb) { ret = tav_upgrade(tavtest::driver(), sb, backup_dir_.c_str()); },
                faulty, setup);
        return ret;
    }

    // The version-2 map the upgrade must leave, compared page by page.
    void expect_v2(const ondisk::Runs &used) const {
        auto want = ondisk::upgraded_zmap_image(kBlocks, kGroups, used);
        auto got = zmap_bytes();
        ASSERT_EQ(want.size(), got.size());
        for (size_t off = 0; off < want.size(); off += 4096)
            ASSERT_TRUE(std::equal(want.begin() + off, want.begin() + off + 4096, got.begin() + off))
                << "zone-map page " << off / 4096;
        EXPECT_EQ(2u, version(0x10000));
        EXPECT_EQ(2u, version(0x12000));
    }

    std::string backup_dir_;
    ondisk::Layout layout_;
};

TEST_F(UpgradeTest, UpgradesInPlaceAndKeepsAVerifiedBackup) {
    // Runs inside the data area, one across its start (blocks 100..161 are
    // metadata), the tail bits beyond the device, a run of the second
    // version-1 page (far beyond the device) and a bad track at 1100.
    const ondisk::Runs used = {{170, 5}, {300, 1}, {100, 70}, {1190, 40}, {32640 + 5, 3}};
    const auto old_map = make_v1(used);
    const uint64_t t0 = tavtest::now_ns();
    tavtest::LogCapture log(LOG_LEVEL_INFO);
    ASSERT_EQ(0, upgrade(true, [] { tavtest::fault_engine().add_badtrack(1100 * MiB, MiB); }));
    const uint64_t t1 = tavtest::now_ns();

    ondisk::Runs want = used;
    want.push_back({1100, 1});
    expect_v2(want);
    EXPECT_TRUE(log.contains("drop pblocks [100-161] of the old zmap: outside the data area [162-1199]"))
        << log.text();
    EXPECT_TRUE(log.contains("drop pblocks [1200-1229]")) << log.text();
    EXPECT_TRUE(log.contains("dropped 95 blocks in 3 runs")) << log.text();
    EXPECT_TRUE(log.contains("old tav version 1 detected, starting upgrade"));
    EXPECT_TRUE(log.contains("tav upgrade succeed, time consumed: "));

    // The backup, against the header table.
    const std::string path = backup_path();
    struct stat st;
    ASSERT_EQ(0, stat(path.c_str(), &st));
    ASSERT_EQ((layout_.bitmap_blocks + 1) * MiB, (uint64_t)st.st_size);
    auto file = tavtest::read_file_bytes(path, 0, st.st_size);
    const uint8_t *h = file.data();
    EXPECT_EQ(xxh64_1011(h + 8, MiB - 8), get64(h)) << "cksum_header";
    EXPECT_EQ(xxh64_1011(h + MiB, old_map.size()), get64(h + 8)) << "cksum_data";
    auto sb = read_bytes(0x10000, 4096);
    EXPECT_EQ(0, memcmp(h + 16, sb.data() + 48, 16)) << "tav_uuid";
    EXPECT_EQ(path_, std::string(reinterpret_cast<const char *>(h + 32))) << "tav_path";
    EXPECT_GE(get64(h + 4128), t0);
    EXPECT_LE(get64(h + 4128), t1);
    EXPECT_EQ(layout_.first_bitmap, get64(h + 4136)) << "block_start";
    EXPECT_EQ(layout_.bitmap_blocks, get64(h + 4144)) << "block_count";
    EXPECT_TRUE(std::all_of(h + 32 + path_.size(), h + 4128, [](uint8_t b) { return b == 0; }));
    EXPECT_TRUE(std::all_of(h + 4152, h + MiB, [](uint8_t b) { return b == 0; }));
    EXPECT_TRUE(std::equal(old_map.begin(), old_map.end(), file.begin() + MiB)) << "the old map, unchanged";

    // A second start has nothing to do.
    tavtest::LogCapture again(LOG_LEVEL_TRACE);
    ASSERT_EQ(0, upgrade());
    EXPECT_TRUE(again.contains("tav has been upgraded, do nothing"));
}

TEST_F(UpgradeTest, EmptyOldMapCompletesWithItsWarning) {
    make_v1({});
    tavtest::LogCapture log(LOG_LEVEL_WARNING);
    ASSERT_EQ(0, upgrade());
    EXPECT_TRUE(log.contains("ranges is empty"));
    expect_v2({});
}

TEST_F(UpgradeTest, RefusesGeometriesTheNewMapCannotDescribe) {
    struct Case {
        uint64_t blocks;
        const char *message;
    } cases[] = {
        {0x800000000ULL, "can not upgrade: blocks count(34359738368) larger than 34359738368"},
        // 32 zone-map blocks describe 32 * 256 * 4080 blocks, one short.
        {33423361, "can not upgrade: blocks count(33423361) larger than 33423360"},
    };
    const auto old_map = make_v1({{200, 4}});
    for (const Case &c : cases) {
        SCOPED_TRACE(c.blocks);
        tavtest::LogCapture log(LOG_LEVEL_ERROR);
        int ret = 0;
        size_t writes = 1;
        with_sb(
            [&](tav_sb_info *sb) {
                sb->tav_disk_sb.s_blocks_count = c.blocks;
                ret = tav_upgrade(tavtest::driver(), sb, backup_dir_.c_str());
                writes = tavtest::fault_engine().writes().size();
            },
            true);
        EXPECT_EQ(-1, ret);
        EXPECT_TRUE(log.contains(c.message)) << log.text();
        EXPECT_EQ(0u, writes) << "refused before anything is written";
        EXPECT_NE(0, access(backup_path().c_str(), F_OK));
    }
    EXPECT_EQ(1u, version(0x10000));
    EXPECT_EQ(old_map, zmap_bytes());
}

TEST_F(UpgradeTest, InterruptedUpgradeResumesFromItsBackup) {
    const ondisk::Runs used = {{170, 5}, {400, 300}};
    const auto old_map = make_v1(used);
    // The format of the second zone-map block fails, after the first was
    // rewritten: the device is left at -1 with a half-new map.
    const uint64_t second = (layout_.first_bitmap + 1) * MiB;
    ASSERT_NE(0, upgrade(true, [&] { tavtest::fault_engine().fail_writes(second, MiB); }));
    EXPECT_EQ(~0ULL, version(0x10000));
    EXPECT_EQ(~0ULL, version(0x12000));
    EXPECT_NE(old_map, zmap_bytes());

    tavtest::LogCapture log(LOG_LEVEL_INFO);
    ASSERT_EQ(0, upgrade());
    EXPECT_TRUE(log.contains("last upgrade was interrupted, run resotre first"));
    EXPECT_TRUE(log.contains("restore zmap(pblock start: 129, count: 32) from "));
    expect_v2(used);
}

TEST_F(UpgradeTest, RestoreRefusesBackupsThatFailTheirChecks) {
    const auto old_map = make_v1({{170, 5}});
    const std::string good = dir_.path() + "/good.backup";
    with_sb([&](tav_sb_info *sb) {
        ASSERT_EQ(0, tav_upgrade_backup_zmap(tavtest::driver(), &sb->tav_disk_sb, good.c_str(),
                                             TAV_UPGRADE_LIBRARY));
    });
    const auto backup = tavtest::read_file_bytes(good, 0, (layout_.bitmap_blocks + 1) * MiB);
    // The device as an interrupted upgrade leaves it: a map that is no longer
    // the old one.
    std::vector<uint8_t> partial = ondisk::v2_zmap_image(layout_.bitmap_blocks, {});
    write_bytes(layout_.first_bitmap * MiB, partial.data(), partial.size());

    auto reheader = [](std::vector<uint8_t> &b) { tavtest::put64(b, 0, xxh64_1011(b.data() + 8, MiB - 8)); };
    struct Case {
        const char *name;
        std::function<void(std::vector<uint8_t> &)> damage;
        int err;
        const char *message;
    } cases[] = {
        {"data altered", [](std::vector<uint8_t> &b) { b[MiB + 5000] ^= 1; }, -EFAULT,
         "invalid backup file: data checksum("},
        {"header altered", [](std::vector<uint8_t> &b) { b[40] ^= 1; }, -EFAULT,
         "invalid backup file: header checksum("},
        {"other block count",
         [&](std::vector<uint8_t> &b) {
             tavtest::put64(b, 4144, 31);
             reheader(b);
         },
         -EFAULT, "invalid backup file: pblocks start(129) or count(31) not matched, expected:129, 32"},
        {"other device",
         [&](std::vector<uint8_t> &b) {
             b[16] ^= 0xFF;
             reheader(b);
         },
         -EFAULT, "invalid backup file: tav uuid not matched"},
        {"cut short", [](std::vector<uint8_t> &b) { b.resize(MiB + 3 * MiB); }, -EIO,
         "failed to read pblock"},
        {"empty", [](std::vector<uint8_t> &b) { b.clear(); }, -EIO, "failed to read backup header"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        auto bad = backup;
        c.damage(bad);
        const std::string path = dir_.path() + "/bad.backup";
        unlink(path.c_str());
        tavtest::make_file(path, 0);
        if (!bad.empty())
            tavtest::write_file_bytes(path, 0, bad.data(), bad.size());
        tavtest::LogCapture log(LOG_LEVEL_ERROR);
        int ret = 0;
        size_t writes = 1;
        with_sb(
            [&](tav_sb_info *sb) {
                ret = tav_upgrade_restore_zmap(tavtest::driver(), &sb->tav_disk_sb, path.c_str(),
                                               TAV_UPGRADE_LIBRARY);
                writes = tavtest::fault_engine().writes().size();
            },
            true);
        EXPECT_EQ(c.err, ret);
        EXPECT_TRUE(log.contains(c.message)) << log.text();
        EXPECT_TRUE(log.contains("restore zmap(pblock start: 129, count: 32) from " + path + " failed"));
        EXPECT_EQ(0u, writes) << "nothing written to the device";
    }
    int ret = 0;
    with_sb([&](tav_sb_info *sb) {
        ret = tav_upgrade_restore_zmap(tavtest::driver(), &sb->tav_disk_sb, "/nonexistent/x.backup",
                                       TAV_UPGRADE_TOOL);
    });
    EXPECT_EQ(-EINVAL, ret);
    EXPECT_EQ(partial, zmap_bytes());

    // The intact backup brings the old map back.
    with_sb([&](tav_sb_info *sb) {
        ret = tav_upgrade_restore_zmap(tavtest::driver(), &sb->tav_disk_sb, good.c_str(), TAV_UPGRADE_TOOL);
    });
    EXPECT_EQ(0, ret);
    EXPECT_EQ(old_map, zmap_bytes());
}

} // namespace
