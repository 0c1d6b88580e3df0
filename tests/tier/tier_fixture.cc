#include "tier_fixture.h"

#include <fcntl.h>
#include <stdarg.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace tiertest {

namespace {

std::string fmt(const char *f, ...) __attribute__((format(printf, 1, 2)));
std::string fmt(const char *f, ...) {
    char buf[8192];
    va_list ap;
    va_start(ap, f);
    vsnprintf(buf, sizeof(buf), f, ap);
    va_end(ap);
    return buf;
}

using ul = unsigned long;

uint64_t round_up(uint64_t v, uint64_t to) {
    return (v + to - 1) / to * to;
}

uint32_t bswap32(uint32_t v) {
    return (v >> 24) | ((v >> 8) & 0xff00) | ((v << 8) & 0xff0000) | (v << 24);
}

} // namespace

uint32_t crc32(const void *p, size_t n) {
    // Bit by bit from the definition: reflected polynomial 0xEDB88320,
    // initial value 0xFFFFFFFF, final complement.
    const auto *b = static_cast<const uint8_t *>(p);
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; i++) {
        crc ^= b[i];
        for (int k = 0; k < 8; k++)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

void Image::put(uint64_t off, const void *p, size_t n) {
    const auto *b = static_cast<const uint8_t *>(p);
    for (size_t i = 0; i < n; i++) {
        auto &blk = blocks_[(off + i) / kBlk]; // new blocks start zeroed
        blk[(off + i) % kBlk] = b[i];
    }
}

void Image::put_le(uint64_t off, uint64_t v, unsigned bytes) {
    for (unsigned i = 0; i < bytes; i++) {
        const uint8_t byte = static_cast<uint8_t>(v >> (8 * i));
        put(off + i, &byte, 1);
    }
}

std::vector<uint8_t> Image::get(uint64_t off, size_t n) const {
    std::vector<uint8_t> out(n, 0);
    for (size_t i = 0; i < n; i++) {
        auto it = blocks_.find((off + i) / kBlk);
        if (it != blocks_.end())
            out[i] = it->second[(off + i) % kBlk];
    }
    return out;
}

uint64_t Image::get_le(uint64_t off, unsigned bytes) const {
    auto b = get(off, bytes);
    uint64_t v = 0;
    for (unsigned i = 0; i < bytes; i++)
        v |= uint64_t{b[i]} << (8 * i);
    return v;
}

void Image::write(const std::string &path) const {
    int fd = open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
    if (fd < 0)
        throw std::runtime_error("open " + path);
    for (const auto &[no, blk] : blocks_)
        if (no * kBlk < size_ && pwrite(fd, blk.data(), kBlk, static_cast<off_t>(no * kBlk)) != kBlk)
            throw std::runtime_error("pwrite " + path);
    if (ftruncate(fd, static_cast<off_t>(size_)) != 0)
        throw std::runtime_error("ftruncate " + path);
    close(fd);
}

Uuid uuid_of(uint8_t seed) {
    Uuid u;
    for (int i = 0; i < 16; i++)
        u[i] = static_cast<uint8_t>(seed + i);
    return u;
}

std::string uuid_text(const Uuid &u) {
    std::string s;
    for (int i = 0; i < 16; i++) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            s += '-';
        s += fmt("%02x", u[i]);
    }
    return s;
}

std::string utc_text(uint64_t ns) {
    time_t sec = static_cast<time_t>(ns / 1000000000ull);
    struct tm tm;
    gmtime_r(&sec, &tm);
    char buf[64];
    strftime(buf, sizeof(buf), "%Y-%m-%d %H:%M:%S", &tm);
    return buf;
}

std::string hex(uint64_t v) {
    return fmt("0x%lx", static_cast<ul>(v));
}

std::string brick_id(uint8_t seed) {
    std::string s = std::string("/qo/data/hx/local/") + kCdevUuid + "/" + uuid_text(uuid_of(seed));
    if (s.size() != 93)
        throw std::logic_error("brick id length");
    return s;
}

// ---- bricks and inodes

void put_brick(Image &img, uint64_t off, uint32_t magic, const BrickVals &b, bool bad_crc) {
    img.put32(off + 4, magic);
    img.put32(off + 8, b.use);
    img.put32(off + 12, b.no);
    img.put(off + 16, b.uuid.data(), 16);
    img.put(off + 32, b.id.data(), b.id.size() < 128 ? b.id.size() : 128);
    img.put32(off + 160, b.unlink);
    img.put32(off + 164, b.reserved);
    img.put32(off, img.crc(off + 4, 164) ^ (bad_crc ? 1u : 0u));
}

std::string brick_json(const Image &img, uint64_t off, const BrickVals &b, uint32_t magic, long meta_offset) {
    return fmt(
        "{\"bi_checksum\":\"0x%x\",\"bi_magic\":\"0x%x\",\"bi_use\":%u,\"bi_no\":%u,\"bi_uuid\":\"%s\","
        "\"bi_brickid\":\"%s\",\"bi_unlink\":%u,\"bi_reserved\":%u,\"meta_offset\":%ld}",
        static_cast<uint32_t>(img.get_le(off, 4)), magic, b.use, b.no, uuid_text(b.uuid).c_str(),
        b.id.c_str(), b.unlink, b.reserved, meta_offset);
}

void put_inode(Image &img, uint64_t off, uint32_t magic, const InodeVals &in, bool bad_crc) {
    img.put32(off + 4, magic);
    img.put64(off + 8, in.atime);
    img.put64(off + 16, in.ctime);
    img.put64(off + 24, in.mtime);
    img.put64(off + 32, in.dtime);
    img.put(off + 40, in.uuid.data(), 16);
    img.put64(off + 56, in.size);
    img.put32(off + 64, in.priority);
    img.put32(off + 68, in.no);
    img.put32(off + 72, in.brick_no);
    img.put16(off + 76, in.unlink);
    img.put16(off + 78, in.use);
    img.put64(off + 80, in.w80);
    img.put64(off + 88, in.w88);
    img.put32(off, img.crc(off + 4, 92) ^ (bad_crc ? 1u : 0u));
}

std::string inode_json(const Image &img, uint64_t off, const InodeVals &in, uint32_t magic, bool v1,
                       long meta_offset) {
    return fmt("{\"checksum\":\"0x%x\",\"magic\":\"0x%x\",\"atime\":\"%s\",\"ctime\":\"%s\",\"mtime\":\"%s\","
               "\"dtime\":\"%s\",\"uuid\":\"%s\",\"size\":%lu,\"priority\":%u,\"no\":%u,\"brick_no\":%u,"
               "\"unlink\":%u,\"use\":%u,\"%s\":%lu,\"%s\":%lu,\"meta_offset\":%ld}",
               static_cast<uint32_t>(img.get_le(off, 4)), magic, utc_text(in.atime).c_str(),
               utc_text(in.ctime).c_str(), utc_text(in.mtime).c_str(), utc_text(in.dtime).c_str(),
               uuid_text(in.uuid).c_str(), static_cast<ul>(in.size), in.priority, in.no, in.brick_no,
               in.unlink, in.use, v1 ? "reserved1" : "new_data", static_cast<ul>(in.w80),
               v1 ? "reserved2" : "blocks", static_cast<ul>(in.w88), meta_offset);
}

std::string inode_repair_json(const InodeVals &in, bool v1) {
    std::string s =
        fmt("{\"i_no\":%u,\"i_use\":%u,\"i_atime\":%lu,\"i_ctime\":%lu,\"i_mtime\":%lu,\"i_dtime\":%lu,"
            "\"i_uuid\":\"%s\",\"i_size\":%lu,\"i_priority\":%u,\"i_brick_no\":%u,\"i_unlink\":%u",
            in.no, in.use, static_cast<ul>(in.atime), static_cast<ul>(in.ctime), static_cast<ul>(in.mtime),
            static_cast<ul>(in.dtime), uuid_text(in.uuid).c_str(), static_cast<ul>(in.size), in.priority,
            in.brick_no, in.unlink);
    if (!v1)
        s += fmt(",\"new_data\":%lu,\"i_blocks\":%lu", static_cast<ul>(in.w80), static_cast<ul>(in.w88));
    return s + "}";
}

namespace {

// The bricks and inodes 0..3 every test device holds, in their slots: brick
// 2 and inode 3 with a bad CRC, brick 1 and inode 2 unused.
void put_common_records(std::vector<BrickVals> &bricks, std::vector<InodeVals> &inodes, Image &img,
                        uint64_t brick_table, uint32_t brick_magic, uint64_t inode_table,
                        uint32_t inode_magic) {
    bricks = {
        {1, 0, uuid_of(0x30), brick_id(1), 0, 0},
        {0, 1, uuid_of(0x40), "", 0, 0},
        {1, 2, uuid_of(0x50), brick_id(2), 0, 0}, // bad CRC
        {1, 3, uuid_of(0x60), brick_id(3), 1, 0},
    };
    for (const BrickVals &b : bricks)
        put_brick(img, brick_table + b.no * kBlk, brick_magic, b, b.no == 2);

    InodeVals i0{1600000001000000000ull,
                 1600000002000000000ull,
                 1600000003000000000ull,
                 0,
                 uuid_of(0x70),
                 4096,
                 3,
                 0,
                 0,
                 0,
                 1,
                 11,
                 22};
    InodeVals i1{1700000000999999999ull, 1, 2, 3, uuid_of(0x80), UINT64_MAX, 1, 1, 3, 0, 1, (1ull << 63) + 5,
                 (1ull << 53) + 1};
    InodeVals i2{};
    i2.no = 2;
    i2.use = 0;
    InodeVals i3 = i0;
    i3.no = 3;
    i3.brick_no = 3;
    inodes = {i0, i1, i2, i3};
    for (size_t s = 0; s < inodes.size(); s++)
        put_inode(img, inode_table + s * kBlk, inode_magic, inodes[s], s == 3); // bad CRC in slot 3
}

} // namespace

// ---- v3

void put_v3_super(Image &img, const V3Geo &g) {
    const uint64_t o = 4096;
    img.put32(o + 4, kV3SbMagic);
    img.put64(o + 8, 4096);
    img.put64(o + 16, 0x100000);
    img.put64(o + 24, 0);
    img.put64(o + 32, 0);
    img.put64(o + 40, g.ctime);
    img.put(o + 48, g.uuid.data(), 16);
    img.put(o + 64, kCdevUuid, strlen(kCdevUuid));
    img.put32(o + 112, 0x30000);
    img.put32(o + 116, 0);
    img.put64(o + 120, g.brick_off);
    img.put64(o + 128, g.brick_cnt * kBlk);
    img.put64(o + 136, g.brick_cnt);
    img.put64(o + 144, g.inode_off);
    img.put64(o + 152, g.inode_cnt * kBlk);
    img.put64(o + 160, g.inode_cnt);
    img.put64(o + 168, g.shard_off);
    img.put64(o + 176, g.shard_cnt * 8);
    img.put64(o + 184, g.shard_cnt);
    img.put64(o + 192, g.extent_off);
    img.put64(o + 200, g.extent_cnt * 8);
    img.put64(o + 208, g.extent_cnt);
    img.put64(o + 216, g.hot_off);
    img.put64(o + 224, g.hot_size);
    img.put64(o + 232, g.data_off);
    img.put64(o + 240, g.block_size * g.block_cnt);
    img.put64(o + 248, g.block_size);
    img.put64(o + 256, g.block_cnt);
    img.put32(o, img.crc(o + 4, 260));
}

std::string v3_super_json(const Image &img, const V3Geo &g) {
    return fmt(
        "{\"checksum\":\"0x%x\",\"magic\":\"0xcacbdcbd\",\"sb_offset\":4096,\"super block size\":1048576,"
        "\"reserved_offset\":0,\"reserved_size\":0,\"ctime\":\"0x%lx(%s)\",\"uuid\":\"%s\",\"ssd_uuid\":\"%"
        "s\","
        "\"version\":\"0x30000\",\"reserved\":0,\"brick_table_offset\":%lu,\"brick_table_size\":%lu,"
        "\"brick_cnt\":%lu,\"inode_table_offset\":%lu,\"inode_table_size\":%lu,\"inode_cnt\":%lu,"
        "\"shard_table_offset\":%lu,\"shard_table_size\":%lu,\"shard_table_cnt\":%lu,"
        "\"extent_table_offset\":%lu,\"extent_table_size\":%lu,\"extent_table_cnt\":%lu,"
        "\"hot_table_offset\":%lu,\"hot_table_size\":%lu,\"data_offset\":%lu,\"data_table_size\":%lu,"
        "\"block_size\":%lu,\"block_cnt\":%lu}",
        static_cast<uint32_t>(img.get_le(4096, 4)), static_cast<ul>(g.ctime), utc_text(g.ctime).c_str(),
        uuid_text(g.uuid).c_str(), kCdevUuid, static_cast<ul>(g.brick_off),
        static_cast<ul>(g.brick_cnt * kBlk), static_cast<ul>(g.brick_cnt), static_cast<ul>(g.inode_off),
        static_cast<ul>(g.inode_cnt * kBlk), static_cast<ul>(g.inode_cnt), static_cast<ul>(g.shard_off),
        static_cast<ul>(g.shard_cnt * 8), static_cast<ul>(g.shard_cnt), static_cast<ul>(g.extent_off),
        static_cast<ul>(g.extent_cnt * 8), static_cast<ul>(g.extent_cnt), static_cast<ul>(g.hot_off),
        static_cast<ul>(g.hot_size), static_cast<ul>(g.data_off), static_cast<ul>(g.block_size * g.block_cnt),
        static_cast<ul>(g.block_size), static_cast<ul>(g.block_cnt));
}

uint64_t ext_word(const ExtEntry &x) {
    // Bits: 1-19 lba, 20-38 shard, 39 dirty, 40-55 bitmap, 56 in_use, 57-60
    // sense, 61 demote, 62 dm_err, 63 reserved (bit 0 carries the page CRC).
    return (uint64_t{x.lba} << 1) | (uint64_t{x.shard} << 20) | (uint64_t{x.dirty} << 39) |
           (uint64_t{x.bitmap} << 40) | (uint64_t{x.in_use} << 56) | (uint64_t{x.sense} << 57) |
           (uint64_t{x.demote} << 61) | (uint64_t{x.dm_err} << 62) | (uint64_t{x.reserved} << 63);
}

void put_extent_page(Image &img, uint64_t off, const std::vector<ExtEntry> &entries, bool bad_crc) {
    std::vector<uint8_t> page(kBlk, 0);
    for (const ExtEntry &x : entries) {
        const uint64_t w = ext_word(x);
        for (int i = 0; i < 8; i++)
            page[x.e * 8 + i] = static_cast<uint8_t>(w >> (8 * i));
    }
    for (int i = 0; i < 32; i++)
        page[i * 8] &= 0xfe;
    uint32_t crc = crc32(page.data(), kBlk) ^ (bad_crc ? 0x10u : 0u);
    for (int i = 0; i < 32; i++)
        page[i * 8] |= (crc >> i) & 1;
    img.put(off, page.data(), kBlk);
}

uint32_t extent_page_crc(const Image &img, uint64_t off) {
    uint32_t crc = 0;
    for (int i = 0; i < 32; i++)
        crc |= static_cast<uint32_t>(img.get_le(off + i * 8, 1) & 1) << i;
    return crc;
}

void put_shard_page(Image &img, uint64_t off, const std::vector<ShardSlot> &slots, bool bad_crc) {
    for (const ShardSlot &s : slots) {
        img.put32(off + 8 * s.s, s.ino | (s.in_use << 18) | (s.reserved << 19));
        img.put32(off + 8 * s.s + 4, s.index);
    }
    img.put32(off + 4, kShardMagic);
    img.put32(off, img.crc(off + 4, kBlk - 4) ^ (bad_crc ? 1u : 0u));
}

V3Dev make_v3() {
    V3Dev d;
    d.img = Image(d.g.end());
    const V3Geo &g = d.g;
    put_v3_super(d.img, g);

    put_common_records(d.bricks, d.inodes, d.img, g.brick_off, kV3BrickMagic, g.inode_off, kV3InodeMagic);
    InodeVals i4 = d.inodes[0];
    i4.no = 4;
    i4.brick_no = 3;
    i4.uuid = uuid_of(0x90);
    InodeVals i5 = d.inodes[0];
    i5.no = 9; // stored in slot 5: its number does not match
    d.inodes.push_back(i4);
    d.inodes.push_back(i5);
    put_inode(d.img, g.inode_off + 4 * kBlk, kV3InodeMagic, i4);
    put_inode(d.img, g.inode_off + 5 * kBlk, kV3InodeMagic, i5);
    // Slots 6 and 7 stay zero: no magic.

    put_shard_page(
        d.img, g.shard_off,
        {{1, 5, 1, 0, 7}, {2, 3, 1, 0x1abc, 1}, {3, 4, 0, 0, 2}, {511, 0x3ffff, 1, 0x1fff, 0xffffffff}});
    put_shard_page(d.img, g.shard_off + kBlk, {});

    put_extent_page(d.img, g.extent_off,
                    {{0, 100, 1, 1, 0xffff, 1, 5, 1, 0, 1},
                     {1, 0x7ffff, 0x7ffff, 0, 0x8001, 1, 15, 0, 1, 0},
                     {40, 3, 2, 0, 0, 0, 0, 0, 0, 0},
                     {511, 9, 1, 1, 2, 1, 0, 0, 0, 0}});
    put_extent_page(d.img, g.extent_off + kBlk, {{3, 1, 1, 0, 0, 1, 0, 0, 0, 0}}, true);

    std::vector<uint8_t> hot(kBlk);
    for (size_t i = 0; i < hot.size(); i++)
        hot[i] = static_cast<uint8_t>(i * 7 + 1);
    d.img.put(g.hot_off, hot.data(), hot.size());
    return d;
}

// ---- v1 and v2

uint64_t V12Geo::inode_table_size() const {
    const uint64_t head = 4096 + uint64_t{sb_size} + brick_table_size();
    return round_up(head + uint64_t{inode_cnt} * kBlk, kMiB) - head;
}

uint64_t V12Geo::data_off() const {
    return round_up(4096 + uint64_t{sb_size} + brick_table_size() + inode_table_size() + extent_table_size() +
                        2 * kMiB,
                    kMiB);
}

void put_v12_super(Image &img, const V12Geo &g, bool v1) {
    const uint64_t o = 4096;
    img.put32(o + 4, kV12SbMagic);
    img.put64(o + 8, g.brick_table_size());
    img.put64(o + 16, g.inode_table_size());
    img.put64(o + 24, g.extent_table_size());
    img.put64(o + 32, g.data_off());
    img.put64(o + 40, g.ctime);
    img.put(o + 48, g.uuid.data(), 16);
    img.put(o + 64, kCdevUuid, strlen(kCdevUuid));
    img.put32(o + 112, v1 ? 0x10000 : 0x20000);
    img.put32(o + 116, g.sb_size);
    img.put32(o + 120, g.brick_cnt);
    img.put32(o + 124, g.inode_cnt);
    img.put32(o + 128, g.block_size);
    img.put32(o + 132, g.block_cnt);
    img.put32(o + 136, g.extent_size);
    if (v1) {
        img.put32(o + 140, 0);
        img.put32(o, img.crc(o + 4, 140));
        return;
    }
    img.put16(o + 140, g.exp_magic);
    img.put8(o + 142, g.exp_area);
    img.put8(o + 143, g.exp_inuse);
    img.put32(o + 144, g.min_alloc);
    img.put32(o + 148, g.map_cnt * g.mapped_meta);
    img.put32(o + 152, g.map_cnt);
    img.put32(o + 156, g.mapped_meta);
    img.put32(o + 160, g.hot);
    img.put32(o + 164, g.total_extent_size());
    img.put32(o, img.crc(o + 4, 164));
}

std::string v12_super_json(const Image &img, const V12Geo &g, bool v1) {
    std::string s = fmt(
        "{\"checksum\":\"0x%x\",\"magic\":\"0xcacbcccd\",\"brick_table_size\":%lu,\"inode_table_size\":%lu,"
        "\"extent_table_size\":%lu,\"data_offset\":%lu,\"ctime\":\"0x%lx(%s)\",\"uuid\":\"%s\",\"ssd_uuid\":"
        "\"%s\","
        "\"version\":\"%s\",\"super block size\":%u,\"brick_cnt\":%u,\"inode_cnt\":%u,\"block_size\":%u,"
        "\"block_cnt\":%u,\"extent_size\":%u",
        static_cast<uint32_t>(img.get_le(4096, 4)), static_cast<ul>(g.brick_table_size()),
        static_cast<ul>(g.inode_table_size()), static_cast<ul>(g.extent_table_size()),
        static_cast<ul>(g.data_off()), static_cast<ul>(g.ctime), utc_text(g.ctime).c_str(),
        uuid_text(g.uuid).c_str(), kCdevUuid, v1 ? "0x10000" : "0x20000", g.sb_size, g.brick_cnt, g.inode_cnt,
        g.block_size, g.block_cnt, g.extent_size);
    if (v1)
        return s + ",\"sb_reserved\":0}";
    return s + fmt(",\"exp_inode_magic\":\"0x%x\",\"exp_inode_cnt\":%u,\"exp_inode_inuse\":\"0x%x\","
                   "\"sb_inode_exp_area\":%u,\"min_alloc_size\":%u,\"total_map_size\":%u,\"map_cnt\":%u,"
                   "\"size_mapped_meta\":%u,\"hot_size\":%u,\"total_extent_size\":%u}",
                   g.exp_magic, g.exp_area * 25600u, g.exp_inuse, g.exp_area, g.min_alloc,
                   g.map_cnt * g.mapped_meta, g.map_cnt, g.mapped_meta, g.hot, g.total_extent_size());
}

void put_extent_rec(Image &img, uint64_t off, const ExtVals &x, const V12Geo &g, uint32_t crc_end,
                    bool bad_crc) {
    img.put32(off + 4, x.block);
    img.put64(off + 8, x.size);
    img.put32(off + 16, x.inode_no);
    img.put32(off + 20, x.s_low);
    img.put32(off + 24, x.s_mid);
    img.put32(off + 28, x.s_high);
    img.put16(off + 32, x.use);
    img.put16(off + 34, x.clean);
    img.put32(off + 36, x.ntime);
    img.put64(off + 40, x.hot);
    img.put64(off + 48, x.no);
    for (size_t i = 0; i < x.bitmap.size(); i++)
        img.put64(off + 56 + 8 * i, x.bitmap[i]);
    for (const MapVals &m : x.maps) {
        const uint64_t at = off + g.extent_size + 16 * m.slot;
        img.put64(at, m.offset);
        img.put32(at + 8, m.clean | (m.orig_len << 1));
        img.put16(at + 12, m.begin);
        img.put16(at + 14, m.cnt);
    }
    img.put32(off, img.crc(off + 4, crc_end - 4) ^ (bad_crc ? 1u : 0u));
}

namespace {

std::string extent_head_json(const Image &img, uint64_t off, const ExtVals &x) {
    return fmt("{\"te_checksum\":\"0x%x\",\"te_block\":%u,\"te_size\":%lu,\"te_inode_no\":%u,"
               "\"te_sampling_low\":\"%08x\",\"te_sampling_mid\":%u,\"te_sampling_high\":%u,\"te_use\":%u,"
               "\"te_clean\":%u,\"te_ntime\":%u,\"te_hot\":%lu,\"te_no\":%lu",
               static_cast<uint32_t>(img.get_le(off, 4)), x.block, static_cast<ul>(x.size), x.inode_no,
               bswap32(x.s_low), x.s_mid, x.s_high, x.use, x.clean, x.ntime, static_cast<ul>(x.hot),
               static_cast<ul>(x.no));
}

} // namespace

std::string v1_extent_json(const Image &img, uint64_t off, const ExtVals &x, long meta_offset) {
    std::string s = extent_head_json(img, off, x) + fmt(",\"meta_offset\":%ld,\"te_bitmap\":\"", meta_offset);
    for (uint64_t w : x.bitmap)
        s += fmt("0x%016lx ", static_cast<ul>(w));
    return s + "\"}";
}

std::string v2_extent_json(const Image &img, uint64_t off, const ExtVals &x, const V12Geo &g,
                           long meta_offset) {
    std::string s =
        extent_head_json(img, off, x) + fmt(",\"meta_offset\": %ld,\"te_mapped_meta\":[", meta_offset);
    const char *sep = "";
    for (const MapVals &m : x.maps) {
        if (m.orig_len == 0)
            continue;
        s += fmt("%s{\"offset\":%lu,\"clean\":%u,\"orig_len\":%u,\"begin\":%u,\"cnt\":%u,\"mapno\":%u,"
                 "\"data_phy_offset\":%lu}",
                 sep, static_cast<ul>(m.offset), m.clean, m.orig_len, m.begin, m.cnt, m.slot,
                 static_cast<ul>(g.data_off() + x.no * g.block_size + uint64_t{m.begin} * 4096));
        sep = ",";
    }
    return s + "]}";
}

V12Dev make_v2(bool exp_area) {
    V12Dev d;
    if (!exp_area)
        d.g.exp_magic = 0, d.g.exp_area = 0, d.g.exp_inuse = 0;
    const V12Geo &g = d.g;
    const uint64_t exp_cnt = uint64_t{g.exp_area} * 25600;
    d.img = Image(exp_area ? g.exp_start() + exp_cnt * kBlk : g.exp_start());
    put_v12_super(d.img, g, false);
    put_common_records(d.bricks, d.inodes, d.img, g.brick_start(), kV12BrickMagic, g.inode_start(),
                       kV12InodeMagic);
    if (exp_area) {
        // First and last inode of the expansion area.
        InodeVals first = d.inodes[0];
        first.no = g.inode_cnt;
        first.uuid = uuid_of(0xa0);
        InodeVals last = d.inodes[0];
        last.no = static_cast<uint32_t>(g.inode_cnt + exp_cnt - 1);
        last.brick_no = 3;
        last.uuid = uuid_of(0xb0);
        d.inodes.push_back(first);
        d.inodes.push_back(last);
        put_inode(d.img, g.exp_start(), kV12InodeMagic, first);
        put_inode(d.img, g.exp_start() + (exp_cnt - 1) * kBlk, kV12InodeMagic, last);
    }
    ExtVals e0;
    e0.inode_no = 1;
    e0.s_low = 0x11223344;
    e0.s_mid = 5;
    e0.s_high = 6;
    e0.no = 0;
    e0.maps = {{0, 1ull << 40, 1, 0x40000, 0, 16}, {1, 0, 0, 0, 0, 0}, {3, 123, 0, 8192, 62, 2}};
    ExtVals e1;
    e1.block = 9;
    e1.size = 1ull << 33;
    e1.inode_no = 3;
    e1.clean = 1;
    e1.ntime = 77;
    e1.hot = 88;
    e1.no = 1;
    e1.bitmap = {0xdeadbeefcafef00dull, 1};
    e1.maps = {{2, 7, 1, 4096, 1, 1}};
    ExtVals e2;
    e2.use = 0;
    e2.no = 2;
    d.extents = {e0, e1, e2};
    for (size_t s = 0; s < d.extents.size(); s++)
        put_extent_rec(d.img, g.extent_start() + s * kBlk, d.extents[s], g, g.total_extent_size());
    // Hot bytes of record 1 are covered by its checksum but not interpreted.
    d.img.put64(g.extent_start() + kBlk + g.extent_size + g.map_cnt * 16, 0x5555);
    put_extent_rec(d.img, g.extent_start() + kBlk, d.extents[1], g, g.total_extent_size());
    // Record 3 claims number 7.
    ExtVals bad = e0;
    bad.no = 7;
    put_extent_rec(d.img, g.extent_start() + 3 * kBlk, bad, g, g.total_extent_size());
    return d;
}

V12Dev make_v1() {
    V12Dev d;
    d.g.extent_size = 88; // four bitmap words
    d.g.exp_magic = 0, d.g.exp_area = 0, d.g.exp_inuse = 0;
    const V12Geo &g = d.g;
    d.img = Image(g.data_off() + uint64_t{g.block_size} * g.block_cnt);
    put_v12_super(d.img, g, true);
    put_common_records(d.bricks, d.inodes, d.img, g.brick_start(), kV12BrickMagic, g.inode_start(),
                       kV12InodeMagic);
    ExtVals e0;
    e0.block = 3;
    e0.size = 1ull << 62;
    e0.inode_no = 1;
    e0.s_low = 0xa1b2c3d4;
    e0.s_mid = 1;
    e0.s_high = 2;
    e0.clean = 1;
    e0.ntime = 4;
    e0.hot = 5;
    e0.no = 0;
    e0.bitmap = {UINT64_MAX, 0, 0x0123456789abcdefull, 1ull << 63};
    ExtVals e1;
    e1.use = 0;
    e1.no = 1;
    e1.bitmap = {0, 0, 0, 0};
    ExtVals e2 = e0;
    e2.no = 2;
    e2.inode_no = 3;
    d.extents = {e0, e1, e2};
    for (size_t s = 0; s < d.extents.size(); s++)
        put_extent_rec(d.img, g.extent_start() + s * kBlk, d.extents[s], g, g.extent_size, s == 2);
    return d;
}

// ---- running the tool

ToolRun run_tool(const std::string &dir, const std::vector<std::string> &args, bool log) {
    std::vector<std::string> argv_s{HX_TIER_BIN};
    if (log) {
        argv_s.push_back("-l");
        argv_s.push_back(dir + "/hx_tier.log");
    }
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &a : argv_s)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const std::string out = dir + "/stdout", err = dir + "/stderr";
    pid_t pid = fork();
    if (pid == 0) {
        int o = open(out.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
        int e = open(err.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
        if (o < 0 || e < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0)
            _exit(127);
        setenv("TZ", "UTC", 1);
        execv(argv[0], argv.data());
        _exit(127);
    }
    ToolRun r;
    int st = 0;
    if (pid < 0 || waitpid(pid, &st, 0) != pid)
        throw std::runtime_error("cannot run hx_tier");
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    r.out = read_file(out);
    r.err = read_file(err);
    return r;
}

std::string read_file(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

void write_file(const std::string &path, const std::string &text) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << text;
}

std::vector<uint8_t> read_bytes(const std::string &path, uint64_t off, size_t n) {
    std::vector<uint8_t> b(n, 0);
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0)
        throw std::runtime_error("open " + path);
    ssize_t got = pread(fd, b.data(), n, static_cast<off_t>(off));
    close(fd);
    if (got != static_cast<ssize_t>(n))
        throw std::runtime_error("short read " + path);
    return b;
}

} // namespace tiertest
