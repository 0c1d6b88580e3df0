// Metadata checksum, backup and recovery, including paths that a shell would
// have taken as commands.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "kvol_test_util.h"

using namespace kvoltest;

namespace {

constexpr int64_t kMetaLen = 0x800000 + 8192; // address-map start + one mapping

class KvolBackup : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(vol_.mkfs_ret, 0);
        bak_ = make_sparse(vol_.dir.path(), "meta.bak", 16 * MiB);
    }
    VolumeFile vol_;
    std::string bak_;
};

TEST_F(KvolBackup, ChecksumIsTheRawCrcOfTheHead) {
    Bytes head = read_at(vol_.path, 0, kMetaLen);
    // Chained from 0xFFFFFFFF without the final complement.
    EXPECT_EQ(kvol_metadata_checksum(vol_.path.c_str(), kMetaLen), ~ref_crc32(head.data(), head.size()));
    for (int64_t bad : {int64_t(0x800000 - 8192), kMetaLen + 4096, int64_t(-8192)}) {
        std::string log = capture_log([&] { EXPECT_EQ(kvol_metadata_checksum(vol_.path.c_str(), bad), 0u); });
        EXPECT_NE(log.find("bad metadata_len " + std::to_string(bad)), std::string::npos) << log;
    }
    EXPECT_EQ(kvol_metadata_checksum((vol_.dir.path() + "/none").c_str(), kMetaLen), 0u);
    std::string shorter = make_sparse(vol_.dir.path(), "short", 0x800000);
    EXPECT_EQ(kvol_metadata_checksum(shorter.c_str(), kMetaLen), 0u);
}

TEST_F(KvolBackup, BackupThenRecoverRestoresADamagedVolume) {
    uint32_t crc = kvol_backup_metadata(vol_.path.c_str(), bak_.c_str(), kMetaLen);
    ASSERT_NE(crc, 0u);
    EXPECT_EQ(crc, kvol_metadata_checksum(vol_.path.c_str(), kMetaLen));
    EXPECT_EQ(read_at(bak_, 0, kMetaLen), read_at(vol_.path, 0, kMetaLen));
    EXPECT_EQ(read_at(bak_, kMetaLen, 4096), Bytes(4096, 0)); // not truncated, nothing more

    flip_byte(vol_.path, 100);
    EXPECT_EQ(kvol_init(vol_.path.c_str(), O_RDONLY), nullptr);
    std::string log = capture_log(
        [&] { EXPECT_EQ(kvol_recover_metadata(vol_.path.c_str(), bak_.c_str(), kMetaLen, crc + 1), -1); });
    EXPECT_NE(log.find("metadata on " + bak_ + " is not ok"), std::string::npos) << log;
    EXPECT_EQ(kvol_recover_metadata(vol_.path.c_str(), bak_.c_str(), kMetaLen, 0), -1);

    ASSERT_EQ(kvol_recover_metadata(vol_.path.c_str(), bak_.c_str(), kMetaLen, crc), 0);
    kvol_t *kv = kvol_init(vol_.path.c_str(), O_RDONLY);
    ASSERT_NE(kv, nullptr);
    kvol_fini(kv);
}

TEST_F(KvolBackup, BackupFileMustExistAndBeLargeEnough) {
    std::string small = make_sparse(vol_.dir.path(), "small.bak", kMetaLen - 8192);
    std::string log =
        capture_log([&] { EXPECT_EQ(kvol_backup_metadata(vol_.path.c_str(), small.c_str(), kMetaLen), 0u); });
    EXPECT_NE(log.find("bak_file_fd is too small, bak metadata size " + std::to_string(kMetaLen) +
                       ", bak_file size " + std::to_string(kMetaLen - 8192)),
              std::string::npos)
        << log;
    std::string none = vol_.dir.path() + "/none.bak";
    log =
        capture_log([&] { EXPECT_EQ(kvol_backup_metadata(vol_.path.c_str(), none.c_str(), kMetaLen), 0u); });
    EXPECT_NE(log.find("failed to open bak_file " + none + ", errno 2"), std::string::npos) << log;
    EXPECT_EQ(access(none.c_str(), F_OK), -1);
}

TEST_F(KvolBackup, PathsAreNeverRunAsCommands) {
    // A backup path that would close the quoting and run a command (which
    // would create the marker in the working directory).
    std::string dir = vol_.dir.path();
    const std::string marker = "kvol-injected-" + dir.substr(dir.rfind('.') + 1);
    std::string evil = make_sparse(dir, "it's'; touch " + marker + "; echo '.bak", 16 * MiB);
    uint32_t crc = 0;
    std::string log =
        capture_log([&] { crc = kvol_backup_metadata(vol_.path.c_str(), evil.c_str(), kMetaLen); });
    ASSERT_NE(crc, 0u) << log;
    EXPECT_EQ(read_at(evil, 0, kMetaLen), read_at(vol_.path, 0, kMetaLen));
    EXPECT_EQ(kvol_recover_metadata(vol_.path.c_str(), evil.c_str(), kMetaLen, crc), 0);
    EXPECT_EQ(access(marker.c_str(), F_OK), -1);
    unlink(marker.c_str());

    // A volume path with a quote is refused, with the message.
    std::string quoted = make_sparse(dir, "vol'x.img", 16 * MiB);
    log = capture_log([&] { EXPECT_EQ(kvol_backup_metadata(quoted.c_str(), bak_.c_str(), kMetaLen), 0u); });
    EXPECT_NE(log.find("there are single quotas in lv_tav_path(" + quoted + ")"), std::string::npos) << log;
    log = capture_log(
        [&] { EXPECT_EQ(kvol_recover_metadata(quoted.c_str(), bak_.c_str(), kMetaLen, crc), -1); });
    EXPECT_NE(log.find("there are single quotas in lv_tav_path(" + quoted + ")"), std::string::npos) << log;
}

TEST_F(KvolBackup, FailedCopyIsReportedWithTheCommand) {
    uint32_t crc = kvol_backup_metadata(vol_.path.c_str(), bak_.c_str(), kMetaLen);
    ASSERT_NE(crc, 0u);
    // A directory cannot be the target of the copy.
    std::string target = vol_.dir.path() + "/dir";
    ASSERT_EQ(mkdir(target.c_str(), 0755), 0);
    std::string log = capture_log(
        [&] { EXPECT_EQ(kvol_recover_metadata(target.c_str(), bak_.c_str(), kMetaLen, crc), -1); });
    EXPECT_NE(log.find("dd failed , status "), std::string::npos) << log;
    EXPECT_NE(log.find(", cmd dd if='" + bak_ + "' of='" + target +
                       "' bs=8192 count=1025 iflag=direct oflag=direct conv=notrunc"),
              std::string::npos)
        << log;
}

} // namespace
