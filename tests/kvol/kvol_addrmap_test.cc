// Listeners and their lines, unmap and recycle of foreign mappings, discard
// on a block device, statistics and the dump classes.
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <stdio.h>

#include <gtest/gtest.h>
#include <uuid/uuid.h>

#include "kvol_test_util.h"
#include "kvol_volume.h"

using namespace kvoltest;

namespace {

constexpr uint64_t T0 = 2 * GiB - DATA_START;

// Reads everything currently in a non-blocking pipe.
std::string drain(int fd) {
    std::string s;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof(buf))) > 0)
        s.append(buf, n);
    return s;
}

// The event bits of the lines, checking each line's shape and uuid.
std::vector<int> events_of(const std::string &text, const std::string &uuid) {
    std::vector<int> ev;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        EXPECT_NE(nl, std::string::npos) << text;
        if (nl == std::string::npos)
            break;
        std::string l = text.substr(pos, nl - pos);
        unsigned t;
        char u[64];
        int bit, used = 0;
        EXPECT_EQ(sscanf(l.c_str(), "%u %63s %d %n", &t, u, &bit, &used), 3) << l;
        EXPECT_EQ(size_t(used), l.size()) << "line: '" << l << "'";
        EXPECT_EQ(l.back(), ' ');
        EXPECT_EQ(u, uuid);
        ev.push_back(bit);
        pos = nl + 1;
    }
    return ev;
}

class KvolAddrmap : public OpenVolumeTest {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(OpenVolumeTest::SetUp());
        unsigned char u[16];
        ASSERT_EQ(kvol_get_kvol_uuid(kv_, u), 0);
        char text[37];
        uuid_unparse(u, text);
        uuid_ = text;
        ASSERT_EQ(pipe2(pipe_, O_NONBLOCK | O_CLOEXEC), 0);
    }
    void TearDown() override {
        OpenVolumeTest::TearDown();
        close(pipe_[0]);
        close(pipe_[1]);
    }
    // Appends backing files of 64 MiB; foreign ones carry KVOL_ATTR_FOREIGN.
    std::string add(const std::string &name, uint32_t attr) {
        std::string p = make_sparse(vol_.dir.path(), name, 64 * MiB);
        kvol_expand_entry_t e = {};
        e.length = 64 * MiB;
        e.attribute = attr | KVOL_ATTR_IFREG | KVOL_ATTR_ODIRECT;
        e.path = p.c_str();
        EXPECT_EQ(kvol_expand(kv_, &e, 1), 0);
        return p;
    }

    std::string uuid_;
    int pipe_[2] = {-1, -1};
};

TEST_F(KvolAddrmap, ListenersGetOneLinePerEventTheyAskedFor) {
    const uint32_t mask = KVOL_EVENT_BITMAP_MODIFIED | KVOL_EVENT_EXPAND_START | KVOL_EVENT_EXPAND_END |
                          KVOL_EVENT_ENTRY_MODIFIED;
    ASSERT_EQ(kvol_notify_add_listener(kv_, mask, pipe_[1], "/run/listener"), 0);
    ASSERT_EQ(kvol_mark_badtrack(kv_, 0, GRAN), 0);
    EXPECT_EQ(events_of(drain(pipe_[0]), uuid_), std::vector<int>({64}));

    // Expansion: start, (superblock not asked for), end and entry.
    add("b.img", 0);
    EXPECT_EQ(events_of(drain(pipe_[0]), uuid_), std::vector<int>({4, 8, 32}));

    // The same path again adds events to its slot.
    ASSERT_EQ(kvol_notify_add_listener(kv_, KVOL_EVENT_SUPER_MODIFIED, pipe_[1], "/run/listener"), 0);
    add("c.img", 0);
    EXPECT_EQ(events_of(drain(pipe_[0]), uuid_), std::vector<int>({4, 16, 8, 32}));

    ASSERT_EQ(kvol_notify_del_listener(kv_, pipe_[1]), 0);
    ASSERT_EQ(kvol_clear_badtrack(kv_, 0, GRAN), 0);
    EXPECT_EQ(drain(pipe_[0]), "");
    EXPECT_EQ(kvol_notify_del_listener(kv_, pipe_[1]), -22);
    EXPECT_EQ(kvol_notify_add_listener(kv_, 0, pipe_[1], "x"), -22);
    EXPECT_EQ(kvol_notify_add_listener(kv_, 1, -1, "x"), -22);

    // 64 slots, then no more.
    for (int i = 0; i < 64; i++)
        ASSERT_EQ(kvol_notify_add_listener(kv_, 1, 1000 + i, ("/p" + std::to_string(i)).c_str()), 0);
    EXPECT_EQ(kvol_notify_add_listener(kv_, 1, 2000, "/one-more"), -1);
}

TEST_F(KvolAddrmap, ListenerWriteErrorIsLoggedAndNothingBreaks) {
    ASSERT_EQ(kvol_notify_add_listener(kv_, KVOL_EVENT_BITMAP_MODIFIED, pipe_[1], nullptr), 0);
    close(pipe_[0]); // nobody reads: the write fails with EPIPE
    pipe_[0] = open("/dev/null", O_RDONLY);
    signal(SIGPIPE, SIG_IGN);
    std::string log = capture_log([&] { EXPECT_EQ(kvol_mark_badtrack(kv_, 0, GRAN), 0); });
    EXPECT_NE(log.find("write notify failed fd=" + std::to_string(pipe_[1]) + " event=64 totalsize="),
              std::string::npos)
        << log;
}

TEST_F(KvolAddrmap, UnmapMarksOnlyForeignMappingsAndRecycleRetiresThem) {
    std::string native = add("native.img", 0);
    std::string foreign = add("foreign.img", KVOL_ATTR_FOREIGN);
    ASSERT_EQ(kvol_notify_add_listener(kv_, 0x7F, pipe_[1], "/l"), 0);

    // A range over the end of mapping 0, all of mapping 1 and half of the
    // foreign mapping 2.
    ASSERT_EQ(kvol_unmap(kv_, T0 - GRAN, GRAN + 64 * MiB + 2 * GRAN), 0);
    EXPECT_EQ(kvol_test_badtrack(kv_, 0, T0 + 64 * MiB, nullptr, 0), 0);
    EXPECT_EQ(kv_->mappings[2]->state, uint32_t(KVOL_ST_BADTRACK));
    EXPECT_EQ(events_of(drain(pipe_[0]), uuid_), std::vector<int>({64, 32}));
    EXPECT_EQ(dump(kv_, KVOL_DUMP_CLASS_LOOKUP_UNMAP), "");

    // The rest of the foreign mapping: it becomes recyclable.
    std::string log = capture_log([&] { ASSERT_EQ(kvol_unmap(kv_, T0 + 64 * MiB, 64 * MiB), 0); });
    EXPECT_NE(log.find("kvol foreign unavalable path=" + foreign), std::string::npos) << log;
    EXPECT_EQ(kv_->mappings[2]->state, uint32_t(KVOL_ST_UNAVAILABLE));
    EXPECT_EQ(events_of(drain(pipe_[0]), uuid_), std::vector<int>({64, 1, 32}));
    EXPECT_EQ(dump(kv_, KVOL_DUMP_CLASS_LOOKUP_UNMAP),
              "path=" + foreign + " py_offset=0 length=67108864 attribute=19 blksize=4096 gfid=" +
                  "00000000-0000-0000-0000-000000000000 shard_no=0 \n");

    // Recycle: a path that names no mapping fails the whole call; a
    // non-foreign mapping is left alone.
    const char *bad[] = {foreign.c_str(), "/nowhere"};
    EXPECT_EQ(kvol_recycle(kv_, bad, 2), -22);
    EXPECT_EQ(kv_->mappings[2]->state, uint32_t(KVOL_ST_UNAVAILABLE));
    const char *too_many[] = {foreign.c_str(), foreign.c_str(), foreign.c_str(), foreign.c_str()};
    EXPECT_EQ(kvol_recycle(kv_, too_many, 4), -22);
    const char *paths[] = {native.c_str(), foreign.c_str()};
    ASSERT_EQ(kvol_recycle(kv_, paths, 2), 0);
    EXPECT_EQ(kv_->mappings[1]->state, uint32_t(KVOL_ST_OK));
    EXPECT_EQ(kv_->mappings[2]->state, uint32_t(KVOL_ST_RECYCLED));
    EXPECT_EQ(events_of(drain(pipe_[0]), uuid_), std::vector<int>({2, 32}));

    // Recycled is final: clearing its bad tracks does not bring it back, and
    // the state was written.
    ASSERT_EQ(kvol_clear_badtrack(kv_, T0 + 64 * MiB, 64 * MiB), 0);
    EXPECT_EQ(kv_->mappings[2]->state, uint32_t(KVOL_ST_RECYCLED));
    kvol_fini(kv_);
    kv_ = kvol_init(vol_.path.c_str(), O_RDWR);
    ASSERT_NE(kv_, nullptr);
    EXPECT_EQ(kv_->mappings[2]->state, uint32_t(KVOL_ST_RECYCLED));
    AlignedBuf buf(1 * MiB);
    struct iovec v = buf.iov();
    EXPECT_EQ(kvol_preadv(kv_, &v, 1, T0 + 64 * MiB), -1);

    // Unmap arguments.
    EXPECT_EQ(kvol_unmap(kv_, 4096, GRAN), -22);
    EXPECT_EQ(kvol_unmap(kv_, T0 + 128 * MiB, GRAN), -22);
}

TEST_F(KvolAddrmap, StatCountsNativeSpaceAndFollowsBadTracks) {
    add("foreign.img", KVOL_ATTR_FOREIGN);
    add("native.img", 0);
    ASSERT_EQ(kvol_mark_badtrack(kv_, GRAN, GRAN), 0);
    kvol_stat_t st;
    ASSERT_EQ(kvol_stat(kv_, &st), 0);
    EXPECT_EQ(st.va_total, T0 + 128 * MiB);
    EXPECT_EQ(st.va_avail, T0 + 128 * MiB - GRAN);
    EXPECT_EQ(st.va_native, T0 + 64 * MiB);
    EXPECT_EQ(st.btbmp_gran, GRAN);
    EXPECT_EQ(st.phy_blksz, 4096u);
    EXPECT_EQ(kvol_stat(nullptr, &st), -22);
}

TEST_F(KvolAddrmap, DumpClasses) {
    std::string b = add("b.img", 0);
    ASSERT_EQ(kvol_mark_badtrack(kv_, 3 * GRAN, GRAN), 0);
    ASSERT_EQ(kvol_mark_badtrack(kv_, 7 * GRAN, GRAN), 0);
    ASSERT_EQ(kvol_mark_badtrack(kv_, 12 * GRAN, GRAN), 0);

    std::string maps = dump(kv_, KVOL_DUMP_CLASS_MAPPINGS);
    unsigned long va, len, pa, blksz, gen;
    unsigned attr, state, ts_c, ts_m, shard, ts_f;
    char path[256], gfid[64];
    int fd, used = 0;
    ASSERT_EQ(
        sscanf(maps.c_str(),
               "va_start=%lu va_length=%lu path=%255s pa_offset=%lu attribute=%u state=%u psy_blksz=%lu "
               "generation=%lu ts_create=%u ts_modify=%u gfid=%63s shard_no=%u ts_failed=%u fd=%d\n%n",
               &va, &len, path, &pa, &attr, &state, &blksz, &gen, &ts_c, &ts_m, gfid, &shard, &ts_f, &fd,
               &used),
        14)
        << maps;
    EXPECT_EQ(maps[used - 1], '\n');
    EXPECT_EQ(va, 0u);
    EXPECT_EQ(len, T0);
    EXPECT_EQ(path, vol_.path);
    EXPECT_EQ(pa, DATA_START);
    EXPECT_EQ(attr, 3u);
    EXPECT_EQ(state, 1u);
    EXPECT_EQ(blksz, 4096u);
    EXPECT_EQ(gen, 1u);
    EXPECT_EQ(std::string(gfid), "00000000-0000-0000-0000-000000000000");
    EXPECT_EQ(shard, 0u);
    EXPECT_EQ(ts_f, 0u);
    EXPECT_EQ(fd, kv_->fd);
    EXPECT_EQ(maps.substr(used, 9), "va_start=") << "one line per mapping";

    std::string sb = dump(kv_, KVOL_DUMP_CLASS_SUPERBLOCK);
    EXPECT_EQ(sb.rfind("\n magic=4822678189205111\n checksum=", 0), 0u) << sb;
    EXPECT_NE(sb.find("\n generation=6\n uuid=" + uuid_ + "\n amtlb_start=8388608\n amtlb_entry_num=4\n"),
              std::string::npos)
        << sb;
    EXPECT_NE(sb.find(" va_len_avail=" + std::to_string(T0 + 64 * MiB - 3 * GRAN) + "\n phy_blksz=4096\n"),
              std::string::npos)
        << sb;

    // Bytes of the bitmap as signed numbers: granules 3 and 7 are byte 0
    // (0x88), granule 12 is byte 1 (0x10).
    std::string bt = dump(kv_, KVOL_DUMP_CLASS_BADTRACK);
    EXPECT_EQ(bt.rfind("checksum=", 0), 0u) << bt;
    const std::string middle =
        " vsersion=65536 magic=1234605616436508552 generation=4 state=1 valid_len=4064 mtime=";
    EXPECT_NE(bt.find(middle), std::string::npos) << bt;
    const std::string tail = " btmap=[0]=-120[1]=16 \n";
    ASSERT_GT(bt.size(), tail.size());
    EXPECT_EQ(bt.substr(bt.size() - tail.size()), tail) << bt;

    char small[8];
    EXPECT_EQ(kvol_dump(kv_, KVOL_DUMP_CLASS_STATISTICS, small, 8), 0);
    EXPECT_EQ(kvol_dump(kv_, KVOL_DUMP_CLASS_STATISTICS_RESET, small, 8), 0);
    EXPECT_EQ(dump(kv_, KVOL_DUMP_CLASS_EXPAND), vol_.path + " 0 " + std::to_string(T0) + " \n" + b + " " +
                                                     std::to_string(T0) + " " + std::to_string(64 * MiB) +
                                                     " \n");

    std::string log = capture_log([&] { EXPECT_EQ(kvol_dump(kv_, 7, small, 8), -22); });
    EXPECT_NE(log.find("dump error class=7 not find"), std::string::npos);
    EXPECT_EQ(kvol_dump(kv_, KVOL_DUMP_CLASS_MAPPINGS, small, 8), -1);
    EXPECT_EQ(kvol_dump(kv_, KVOL_DUMP_CLASS_MAPPINGS, nullptr, 8), -22);
    EXPECT_EQ(kvol_dump(kv_, KVOL_DUMP_CLASS_MAPPINGS, small, 0), -22);
    EXPECT_EQ(kvol_dump(nullptr, KVOL_DUMP_CLASS_MAPPINGS, small, 8), -22);
}

TEST(KvolDiscard, ReachesTheBackingBytesBehindTheVolumeAddress) {
    LoopVolume vol;
    if (vol.loop.path().empty())
        GTEST_SKIP() << kNoLoopDevice;
    ASSERT_EQ(vol.mkfs_ret, 0);
    const std::string &file = vol.file;
    LoopDevice &loop = vol.loop;
    kvol_t *kv = kvol_init(loop.path().c_str(), O_RDWR);
    ASSERT_NE(kv, nullptr);
    ASSERT_TRUE(kv->mappings[0]->attribute & KVOL_ATTR_DISCARD) << "the trial discard decides it";
    EXPECT_EQ(kv->mappings[0]->attribute, KVOL_ATTR_ODIRECT | KVOL_ATTR_DISCARD);

    AlignedBuf w(2 * MiB, 8);
    struct iovec v = w.iov();
    ASSERT_EQ(kvol_writev(kv, &v, 1, GRAN - 1 * MiB), ssize_t(2 * MiB));
    ASSERT_EQ(read_at(file, DATA_START + GRAN - 1 * MiB, 2 * MiB), w.bytes());

    // Discarding granule 0 of the VA removes the data behind it, on the
    // device after the metadata, and nothing else.
    std::string log = capture_log([&] { ASSERT_EQ(kvol_discard(kv, 0, GRAN), 0); });
    EXPECT_NE(log.find("kvol discard successed offset=0, size_t=16777216"), std::string::npos) << log;
    Bytes after = read_at(file, DATA_START + GRAN - 1 * MiB, 2 * MiB);
    Bytes written = w.bytes();
    EXPECT_EQ(Bytes(after.begin(), after.begin() + MiB), Bytes(MiB, 0));
    EXPECT_EQ(Bytes(after.begin() + MiB, after.end()), Bytes(written.begin() + MiB, written.end()));
    EXPECT_EQ(kvol_discard(kv, T0 - GRAN, 2 * GRAN), -22);
    kvol_fini(kv);

    kv = kvol_init(loop.path().c_str(), O_RDONLY); // metadata intact
    ASSERT_NE(kv, nullptr);
    kvol_fini(kv);
}

TEST(KvolDiscard, MappingWithoutTheAttributeIsLeftAlone) {
    VolumeFile vol;
    ASSERT_EQ(vol.mkfs_ret, 0);
    kvol_t *kv = kvol_init(vol.path.c_str(), O_RDWR);
    ASSERT_NE(kv, nullptr);
    AlignedBuf w(1 * MiB, 2);
    struct iovec v = w.iov();
    ASSERT_EQ(kvol_writev(kv, &v, 1, 0), ssize_t(1 * MiB));
    EXPECT_EQ(kvol_discard(kv, 0, GRAN), 0);
    EXPECT_EQ(read_at(vol.path, DATA_START, 1 * MiB), w.bytes());
    kvol_fini(kv);
}

} // namespace
