#include "data_support.h"

#include <errno.h>
#include <ev.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include "fd.h"
#include "data.h"
#include "ioengine.h"
#include "itable.h"
#include "coroutine.h"
#include "memory.h"
#include "zmap.h"

namespace datatest {

using tavtest::CbkResult;
using tavtest::common_cbk;

const char *kind_name(Kind k) {
    switch (k) {
    case Kind::Plain: return "plain";
    case Kind::Compressible: return "compressible";
    case Kind::Bd: return "bd";
    }
    return "?";
}

Buf::Buf(size_t size, uint8_t fill) : p(nullptr), n(size) {
    if (posix_memalign(reinterpret_cast<void **>(&p), 4096, size ? size : 1) != 0)
        abort();
    memset(p, fill, n);
}

Buf::~Buf() {
    free(p);
}

Fiemap::Fiemap(uint32_t count, uint64_t start, uint64_t length)
    : mem(sizeof(struct fiemap) + count * sizeof(struct fiemap_extent), 0) {
    fm()->fm_start = start;
    fm()->fm_length = length;
    fm()->fm_extent_count = count;
}

void DataTest::SetUp() {
    InstanceTest::SetUp();
    if (volume_) {
        tavtest::format_volume(dev_, blocks_);
        raw_base_ = tavtest::kVolumeDataStart;
        setenv("TAV_IOENGINE", "kvol", 1);
    } else if (blocks_ != 200) {
        tavtest::format_device(dev_, blocks_);
    }
    if (faulty_) {
        tavtest::fault_engine().reset();
        tavtest::fault_engine().backend = volume_ ? "kvol" : "libaio";
        setenv("TAV_IOENGINE", tavtest::kFaultEngine, 1);
    }
    start();
}

void DataTest::TearDown() {
    if (inst_)
        stop();
    InstanceTest::TearDown();
}

void DataTest::start() {
    CbkResult r;
    ASSERT_EQ(0, init(dev_, O_RDWR, &r));
    ASSERT_EQ(0, r.ret);
    inst_ = r.instance;
    ASSERT_NE(nullptr, inst_);
    // Handles of the previous run are gone: open the same files again.
    std::vector<unsigned char> tags;
    for (auto &kv : fds_)
        tags.push_back(kv.first);
    fds_.clear();
    for (unsigned char tag : tags)
        EXPECT_NE(nullptr, open(tag)) << "file " << static_cast<int>(tag) << " lost across the restart";
}

void DataTest::stop() {
    for (auto &kv : fds_) {
        if (!kv.second)
            continue;
        EXPECT_EQ(0, fsync(kv.second)) << "file " << static_cast<int>(kv.first);
        EXPECT_EQ(0, tav_close(kv.second));
        kv.second = nullptr;
    }
    fini(inst_);
    inst_ = nullptr;
}

void DataTest::gfid_of(unsigned char tag, unsigned char *gfid) {
    const unsigned char g[16] = {0xda, 0x7a, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x11, tag};
    memcpy(gfid, g, 16);
}

tav_fd *DataTest::create(unsigned char tag, Kind kind) {
    unsigned char g[16];
    gfid_of(tag, g);
    tav_fd *fdp = nullptr;
    co([&] {
        uint64_t ino;
        ASSERT_EQ(0, tav_super_get_ino(inst_, &ino));
        tav_inode_info *inode = tav_inode_create(&inst_->itable, g, nullptr, nullptr);
        ASSERT_NE(nullptr, inode);
        tav_inode_bind(inode, ino);
        tav_disk_inode *d = &inode->ondisk;
        d->i_type = TAV_FILE_TYPE_INLINE | (kind == Kind::Bd ? TAV_FILE_TYPE_BD : 0) |
                    (kind == Kind::Compressible ? TAV_FILE_TYPE_COMPRESSIBLE : 0);
        d->i_blkmap_type = 2;
        d->i_mode = 0100644;
        if (!inode->inline_buffer)
            inode->inline_buffer = tav_calloc(1, TAV_INODE_INLINE_SIZE, TAV_MEM_INODE_INLINE_BUFFER);
        ASSERT_EQ(inode, tav_inode_link_ex(&inst_->itable, inode));
        ASSERT_EQ(0, tav_inode_fresh_write(inode));
        fdp = tav_fd_create(inode, O_RDWR);
        tav_inode_unref(inode, "test");
    });
    EXPECT_NE(nullptr, fdp);
    fds_[tag] = fdp;
    return fdp;
}

tav_fd *DataTest::open(unsigned char tag) {
    unsigned char g[16];
    gfid_of(tag, g);
    tav_fd *fdp = nullptr;
    co([&] {
        tav_inode_info *inode = tav_inode_find_get(&inst_->itable, g, 0);
        if (!inode)
            return;
        if (tav_inode_read(inode) == 0)
            fdp = tav_fd_create(inode, O_RDWR);
        tav_inode_unref(inode, "test");
    });
    if (fdp)
        fds_[tag] = fdp;
    return fdp;
}

void DataTest::close(unsigned char tag) {
    EXPECT_EQ(0, tav_close(fds_.at(tag)));
    fds_.erase(tag);
}

namespace {

int64_t result(int launched, const CbkResult &r) {
    if (launched < 0)
        return launched;
    EXPECT_EQ(1, r.calls);
    return r.ret < 0 ? -static_cast<int64_t>(r.err) : r.ret;
}

} // namespace

#define RUN(call)                                                                                            \
    do {                                                                                                     \
        CbkResult r;                                                                                         \
        int launched = (call);                                                                               \
        if (launched == 0) {                                                                                 \
            EXPECT_TRUE(wait(&r)) << #call;                                                                  \
        }                                                                                                    \
        return result(launched, r);                                                                          \
    } while (0)

int64_t DataTest::pwrite(tav_fd *f, const void *buf, size_t len, uint64_t off, struct stat *pre,
                         struct stat *post) {
    struct iovec v = {const_cast<void *>(buf), len};
    RUN(tav_pwritev_async(f, &v, 1, (off_t)off, pre, post, common_cbk, &r));
}

int64_t DataTest::pwritev(tav_fd *f, const struct iovec *iov, int cnt, uint64_t off) {
    RUN(tav_pwritev_async(f, iov, cnt, (off_t)off, nullptr, nullptr, common_cbk, &r));
}

int64_t DataTest::pread(tav_fd *f, void *buf, size_t len, uint64_t off, int flags, struct stat *post) {
    struct iovec v = {buf, len};
    RUN(tav_preadv_async_with_flags(f, &v, 1, (off_t)off, nullptr, post, flags, common_cbk, &r));
}

int64_t DataTest::ftruncate(tav_fd *f, uint64_t len, struct stat *pre, struct stat *post) {
    RUN(tav_ftruncate_async(f, (off_t)len, pre, post, common_cbk, &r));
}

int64_t DataTest::fallocate(tav_fd *f, int mode, uint64_t off, uint64_t len, struct stat *pre,
                            struct stat *post) {
    RUN(tav_fallocate_async(f, mode, (off_t)off, len, pre, post, common_cbk, &r));
}

int64_t DataTest::discard(tav_fd *f, uint64_t off, uint64_t len) {
    RUN(tav_discard_async(f, (off_t)off, len, nullptr, nullptr, common_cbk, &r));
}

int64_t DataTest::zerofill(tav_fd *f, int mode, uint64_t off, uint64_t len) {
    RUN(tav_zerofill_async(f, mode, (off_t)off, len, nullptr, nullptr, common_cbk, &r));
}

int64_t DataTest::fiemap(tav_fd *f, struct fiemap *fm) {
    RUN(tav_fiemap_async(f, fm, nullptr, nullptr, common_cbk, &r));
}

int64_t DataTest::fsync(tav_fd *f) {
    RUN(tav_fsync_async(f, 0, common_cbk, &r));
}

int64_t DataTest::statfs(struct statvfs *sv) {
    RUN(tav_statfs_async(inst_, sv, common_cbk, &r));
}

#undef RUN

Bytes DataTest::read_all(tav_fd *f, uint64_t off, size_t len) {
    Buf b(len, 0xee);
    EXPECT_EQ((int64_t)len, pread(f, b.data(), len, off)) << "read at " << off;
    return b.bytes();
}

int64_t DataTest::paddr(tav_fd *f, uint64_t off) {
    int64_t r = 0;
    co([&] { r = tav_inode_paddr(f->inode, -static_cast<int64_t>(off)); });
    return r;
}

std::vector<bool> DataTest::bits(tav_fd *f, uint64_t seg) {
    std::vector<bool> out;
    co([&] {
        ext_page_t *page = nullptr;
        blkmap_t *map = tav_segment_map(f->inode, seg, &page);
        ASSERT_NE(nullptr, map);
        uint32_t n = tav_file_compressible(f->inode) ? TAV_BLKMAP_SLICE_BITS : TAV_BLKMAP_BITMAP_BITS;
        for (uint32_t b = 0; b < n; b++)
            out.push_back(ext_blkmap_get_pblock(map) && ext_blkmap_is_bits_set(map, b, 1));
        ext_page_put(page);
    });
    return out;
}

namespace {

struct RefWalk {
    tav *inst;
    std::map<std::pair<uint64_t, int>, std::string> refs; // (pblock, pslice or -1) -> owner
    bool ok = true;
    std::string why;
};

void add_ref(RefWalk *w, uint64_t pb, int ps, const std::string &owner) {
    auto key = std::make_pair(pb, ps);
    auto whole = std::make_pair(pb, -1);
    bool dup = w->refs.count(key) || (ps >= 0 && w->refs.count(whole));
    if (ps < 0)
        for (int s = 0; s < TAV_SLICES_PER_BLOCK; s++)
            dup |= w->refs.count(std::make_pair(pb, s)) > 0;
    if (dup && w->ok) {
        w->ok = false;
        w->why = "block " + std::to_string(pb) + "/" + std::to_string(ps) + " referenced by " + owner +
                 " and " + (w->refs.count(key) ? w->refs[key] : w->refs[whole]);
    }
    w->refs[key] = owner;
}

TAV_COROUTINE_FN int walk_inode(tav_inode_info *inode, void *data) {
    RefWalk *w = static_cast<RefWalk *>(data);
    if (tav_inode_read(inode) < 0 || tav_file_inline(inode))
        return 0;
    std::string name = "ino " + std::to_string(inode->ondisk.i_no);
    const uint32_t per_block = TAV_EXTENT_PAGES_PER_BLOCK;
    for (uint32_t j = 0; j < TAV_EXTENT_BLOCKS_PER_FILE; j++) {
        uint64_t eb = inode->ondisk.i_extents[j];
        if (!eb)
            continue;
        add_ref(w, eb, -1, name + " extent block " + std::to_string(j));
        for (uint32_t p = j * per_block; p < (j + 1) * per_block; p++) {
            ext_page_t *page = ext_page_get(&inode->extent_cache, p);
            if (!page) {
                w->ok = false;
                w->why = name + ": extent page " + std::to_string(p) + " unreadable";
                return -1;
            }
            for (uint32_t i = 0; i < page->count; i++) {
                blkmap_t *m = ext_page_blkmap_get_index(page, i);
                uint64_t pb = ext_blkmap_get_pblock(m);
                if (pb)
                    add_ref(w, pb, ext_blkmap_get_pslice(m), name + " iblock " + std::to_string(m->iblock));
            }
            ext_page_put(page);
        }
    }
    return 0;
}

} // namespace

void DataTest::check_references() {
    RefWalk w;
    w.inst = inst_;
    co([&] {
        tav_itable_hash_foreach(&inst_->itable, walk_inode, &w);
        for (auto &kv : w.refs) {
            zmap_page_t *zp = nullptr;
            uint64_t pb = kv.first.first;
            if (zmap_page_from_pblock(&inst_->zmap, pb, &zp) < 0) {
                w.ok = false;
                w.why = "block " + std::to_string(pb) + " outside the zone map (" + kv.second + ")";
                return;
            }
            int used = zmap_page_test_pblock(zp, pb, kv.first.second);
            zmap_page_put(zp);
            if (used != 1 && w.ok) {
                w.ok = false;
                w.why = "block " + std::to_string(pb) + " referenced by " + kv.second + " but free";
            }
        }
    });
    EXPECT_TRUE(w.ok) << w.why;
}

Bytes DataTest::raw_read(uint64_t off, size_t len) const {
    Bytes b(len);
    int f = ::open(dev_.c_str(), O_RDONLY);
    EXPECT_GE(f, 0);
    EXPECT_EQ((ssize_t)len, ::pread(f, b.data(), len, (off_t)(raw_base_ + off)));
    ::close(f);
    return b;
}

void DataTest::raw_write(uint64_t off, const Bytes &b) const {
    int f = ::open(dev_.c_str(), O_WRONLY);
    EXPECT_GE(f, 0);
    EXPECT_EQ((ssize_t)b.size(), ::pwrite(f, b.data(), b.size(), (off_t)(raw_base_ + off)));
    ::fsync(f);
    ::close(f);
}

void DataTest::quiet_timers() {
    if (inst_->dirty_timer)
        tav_timer_stop(inst_->dirty_timer);
    if (inst_->unlink_timer)
        tav_timer_stop(inst_->unlink_timer);
    if (inst_->compress_timer)
        tav_timer_stop(inst_->compress_timer);
}

DataTest::Io DataTest::io_since(size_t mark) {
    const tav_sb_ondisk *sb = &inst_->sb.tav_disk_sb;
    std::vector<uint64_t> extent_blocks;
    for (auto &kv : fds_)
        for (int j = 0; j < TAV_EXTENT_BLOCKS_PER_FILE; j++)
            if (kv.second->inode->ondisk.i_extents[j])
                extent_blocks.push_back(kv.second->inode->ondisk.i_extents[j]);
    Io io;
    const auto &t = tavtest::fault_engine().transfers;
    for (size_t i = mark; i < t.size(); i++) {
        if (!t[i].forwarded)
            continue;
        uint64_t blk = t[i].off / MiB;
        bool ext = std::find(extent_blocks.begin(), extent_blocks.end(), blk) != extent_blocks.end();
        if (blk >= sb->s_first_inode_block && blk < sb->s_first_inode_block + sb->s_inode_blocks) {
            io.inode_writes += t[i].write;
        } else if (blk >= sb->s_first_bitmap_block && blk < sb->s_first_bitmap_block + sb->s_bitmap_blocks) {
            io.zmap_writes += t[i].write;
        } else if (ext) {
            (t[i].write ? io.extent_writes : io.extent_reads)++;
        } else if (blk >= sb->s_first_data_block) {
            (t[i].write ? io.data_writes : io.data_reads)++;
            (t[i].write ? io.data_write_bytes : io.data_read_bytes) += t[i].len;
        }
    }
    return io;
}

uint64_t DataTest::bounces() {
    ioengine_status *s = ioengine_status_get(ioengine_get_default());
    return s->unaligned_read_count + s->unaligned_write_count;
}

std::string engine_test_name(const ::testing::TestParamInfo<tavtest::Backend> &info) {
    return tavtest::backend_name(info.param);
}

int run_crashing_child(const std::function<bool()> &body) {
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        ev_loop_fork(EV_DEFAULT);
        bool ok = body();
        fflush(nullptr);
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    EXPECT_EQ(pid, waitpid(pid, &status, 0));
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

} // namespace datatest
